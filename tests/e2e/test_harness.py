# The harness's own logic that needs no Wine: making the prefix template survives a
# wineboot that exits non-zero or leaves half a prefix, and fails loudly otherwise.
import os
import shutil
import stat
import tempfile
import unittest

import kelvra_e2e as k

# Stands in for wine: each call takes the next step of $FAKE_PLAN ("status:files"
# separated by ";"), writes those prefix files ("all" or names from PREFIX_FILES by
# index) and exits with that status.
FAKE_WINE = r'''#!/usr/bin/env python3
import os, sys
count_file = os.environ["FAKE_COUNT"]
n = int(open(count_file).read()) if os.path.exists(count_file) else 0
open(count_file, "w").write(str(n + 1))
status, files = os.environ["FAKE_PLAN"].split(";")[n].split(":")
names = os.environ["FAKE_FILES"].split("|")
chosen = names if files == "all" else [names[int(i)] for i in files.split(",") if i]
for name in chosen:
    path = os.path.join(os.environ["WINEPREFIX"], name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "w").write("x")
sys.exit(int(status))
'''


class MakePrefix(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kelvra-harness-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        wine = os.path.join(self.dir, "wine")
        with open(wine, "w") as f:
            f.write(FAKE_WINE)
        os.chmod(wine, stat.S_IRWXU)
        self.count = os.path.join(self.dir, "count")
        saved = (k.WINE, k.WINESERVER)
        self.addCleanup(lambda: (setattr(k, "WINE", saved[0]), setattr(k, "WINESERVER", saved[1])))
        k.WINE, k.WINESERVER = wine, "/bin/true"
        os.environ.update(FAKE_COUNT=self.count, FAKE_FILES="|".join(k.PREFIX_FILES))
        self.addCleanup(lambda: [os.environ.pop(n, None) for n in ("FAKE_COUNT", "FAKE_FILES", "FAKE_PLAN")])
        self.prefix = os.path.join(self.dir, "prefix")

    def calls(self):
        with open(self.count) as f:
            return int(f.read())

    def test_taken(self):
        cases = [
            ("whole at once", "0:all", 1),
            ("non-zero exit, whole prefix", "53:all", 1),
            ("half a prefix, then whole", "0:0,1;53:all", 2),
            ("nothing twice, then whole", "1:;1:;0:all", 3),
        ]
        for name, plan, calls in cases:
            with self.subTest(name):
                os.environ["FAKE_PLAN"] = plan
                with open(self.count, "w") as f:
                    f.write("0")
                k.make_prefix(self.prefix)
                self.assertTrue(k.prefix_complete(self.prefix))
                self.assertEqual(calls, self.calls())

    def test_refused(self):
        cases = [
            ("exit 0 without the registry", "0:3;0:3;0:3", "exited 0"),
            ("never more than half", "53:0,1;53:0,1;53:0,1", "exited 53"),
            # A stale file from the attempt before must not complete the next one.
            ("each attempt a different part", "1:0,1;1:2;1:3", "userdef.reg"),
        ]
        for name, plan, said in cases:
            with self.subTest(name):
                os.environ["FAKE_PLAN"] = plan
                with open(self.count, "w") as f:
                    f.write("0")
                with self.assertRaises(RuntimeError) as raised:
                    k.make_prefix(self.prefix)
                self.assertIn(said, str(raised.exception))
                self.assertIn("after 3 attempts", str(raised.exception))
                self.assertEqual(3, self.calls())

    def test_empty_file_is_not_whole(self):
        os.makedirs(os.path.join(self.prefix, "drive_c", "windows", "system32"))
        for name in k.PREFIX_FILES:
            open(os.path.join(self.prefix, name), "w").close()
        self.assertFalse(k.prefix_complete(self.prefix))


if __name__ == "__main__":
    unittest.main()
