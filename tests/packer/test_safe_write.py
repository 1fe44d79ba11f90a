#!/usr/bin/env python3
# kelvra-pack extract into a target that holds a link out of it: the entry is refused
# with its status and message and the run goes on. Every other link, replace that
# keeps the old file until the new one is whole, and entries that can't be replaced:
# the safe-writing unit tests, on the same code.
# Run by CTest with KELVRA_PACK set to the built program.
import os
import unittest
import zlib

from packer_helpers import PackerCase, forge, read, run


class SafeWrite(PackerCase):
    def test_a_link_in_the_target_is_not_written_through(self):
        root = self.dir
        target, outside = os.path.join(root, "x"), os.path.join(root, "outside")
        os.makedirs(target)
        os.makedirs(outside)
        os.symlink(outside, os.path.join(target, "sub"))
        archive = self.write(self.path("a.bin"), forge([(b"sub\\evil.txt", [zlib.compress(b"attack")]),
                                                         (b"next.txt", [zlib.compress(b"next")])]))
        result = run("extract", archive, "-C", target, "--overwrite", "replace")
        self.assertEqual(1, result.returncode, result.stderr)
        self.assertIn("Uh-Oh! sub\\evil.txt: ", result.stderr)
        self.assertEqual([], os.listdir(outside))
        self.assertEqual(b"next", read(os.path.join(target, "next.txt")))


if __name__ == "__main__":
    unittest.main()
