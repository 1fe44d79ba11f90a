#!/usr/bin/env python3
# kelvra-pack extract into a target that holds a link out of it: the entry is refused
# with its status and message and the run goes on. Every other link, replace that
# keeps the old file until the new one is whole, and entries that can't be replaced:
# the safe-writing unit tests, on the same code.
# Run by CTest with KELVRA_PACK set to the built program.
import os
import shutil
import tempfile
import unittest
import zlib

from test_packer import forge, run


class SafeWrite(unittest.TestCase):
    def test_a_link_in_the_target_is_not_written_through(self):
        root = tempfile.mkdtemp(prefix="kelvra-pack-test-")
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        target, outside = os.path.join(root, "x"), os.path.join(root, "outside")
        os.makedirs(target)
        os.makedirs(outside)
        os.symlink(outside, os.path.join(target, "sub"))
        archive = os.path.join(root, "a.bin")
        with open(archive, "wb") as f:
            f.write(forge([(b"sub\\evil.txt", [zlib.compress(b"attack")]), (b"next.txt", [zlib.compress(b"next")])]))
        result = run("extract", archive, "-C", target, "--overwrite", "replace")
        self.assertEqual(1, result.returncode, result.stderr)
        self.assertIn("Uh-Oh! sub\\evil.txt: ", result.stderr)
        self.assertEqual([], os.listdir(outside))
        with open(os.path.join(target, "next.txt"), "rb") as f:
            self.assertEqual(b"next", f.read())


if __name__ == "__main__":
    unittest.main()
