#!/usr/bin/env python3
# What kelvra-pack promises in its documents: list's columns and total line, the
# --json keys and types that docs/kelvra-pack.md shows, and a manual page that names
# every option the program has.
import json
import os
import re
import unittest

from packer_helpers import PackerCase, run

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ROW = re.compile(r"^ *(\d+)  ([R.][H.][S.][A.])  (\d{4}-\d\d-\d\d \d\d:\d\d)  (\S.*)$")
NAME_COLUMN = 36


class Listing(PackerCase):
    def test_columns_and_total_line(self):
        t = 1700000000 * 10**9
        self.write(self.path("src", "a"), b"", t)
        self.write(self.path("src", "deeper", "x" * 200), os.urandom(70000), t + 3600 * 10**9)
        self.write(self.path("src", "with blanks.txt"), b"hello " * 1000, t)
        self.assertEqual(0, self.create(self.path("src")).returncode)
        info = self.listing()
        lines = run("list", self.path("out.exe")).stdout.splitlines()
        self.assertEqual("Archive:  " + self.path("out.exe"), lines[0])
        self.assertEqual(NAME_COLUMN, lines[1].index("Name"))
        self.assertEqual(NAME_COLUMN, lines[2].rindex(" ") + 1)
        rows = [ROW.match(line) for line in lines[3:6]]
        self.assertTrue(all(rows), lines)
        self.assertTrue(all(line.index(m.group(4)) == NAME_COLUMN for line, m in zip(lines[3:6], rows)))
        self.assertEqual([(e["stored_size"], e["name"]) for e in info["entries"]],
                         [(int(m.group(1)), m.group(4)) for m in rows])
        self.assertEqual(["2023-11-14 22:13", "2023-11-14 23:13", "2023-11-14 22:13"], [m.group(3) for m in rows])
        self.assertEqual("----------                          -------", lines[6])
        self.assertEqual("%10d%s3 files" % (info["payload_size"], " " * (NAME_COLUMN - 10)), lines[7])

        self.write(self.path("one", "only"), b"1")
        self.create(self.path("one"), out="one.exe")
        self.assertRegex(run("list", self.path("one.exe")).stdout, r"\n +\d+ {26}1 file\n")

    def test_json_keeps_the_documented_keys_and_types(self):
        with open(os.path.join(ROOT, "docs", "kelvra-pack.md"), encoding="utf-8") as f:
            documented = json.loads(re.search(r"```json\n(.*?)```", f.read(), re.S).group(1))
        self.write(self.path("src", "a"), b"a")
        # The stub built in: its resources say which languages it speaks.
        self.ok(run("create", "-o", self.path("out.exe"), "--run", "a", "--language", "de", self.path("src")))
        real = self.listing()

        def shape(value):
            if isinstance(value, dict):
                return {k: shape(v) for k, v in value.items()}
            if isinstance(value, list):
                return [shape(value[0])] if value else []
            return type(value).__name__

        self.assertEqual(shape(documented), shape(real))
        self.assertEqual(list(documented), list(real))
        self.assertEqual((2, 1252), (real["schema"], real["codepage"]))


class Documents(unittest.TestCase):
    def test_manual_page_names_every_option(self):
        with open(os.path.join(ROOT, "packer", "kelvra-pack.1"), encoding="utf-8") as f:
            page = f.read().replace("\\-", "-")
        for command in ("create", "init", "list", "test", "extract"):
            result = run(command, "--help")
            self.assertEqual(0, result.returncode)
            options = set(re.findall(r"(?<![\w-])(--[a-z][a-z0-9-]*)", result.stdout))
            self.assertTrue(options, result.stdout)
            missing = [o for o in sorted(options) if not re.search(r"(?<![\w-])%s(?![\w-])" % o, page)]
            self.assertEqual([], missing, command)


if __name__ == "__main__":
    unittest.main()
