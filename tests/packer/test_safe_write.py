#!/usr/bin/env python3
# kelvra-pack extract into a target that holds links, replace that keeps the old file
# until the new one is whole, and entries that can't be replaced failing the run.
# Run by CTest with KELVRA_PACK set to the built program.
import os
import shutil
import subprocess
import tempfile
import unittest
import zlib

from test_packer import PACK, forge, run


class SafeWrite(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kelvra-pack-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.target = os.path.join(self.dir, "x")
        self.outside = os.path.join(self.dir, "outside")
        os.makedirs(self.target)
        os.makedirs(self.outside)

    def archive(self, entries):
        path = os.path.join(self.dir, "a.bin")
        with open(path, "wb") as f:
            f.write(forge(entries))
        return path

    def extract(self, archive, policy):
        return run("extract", archive, "-C", self.target, "--overwrite", policy)

    def test_links_in_the_target_are_never_written_through(self):
        cases = [
            ("folder link", "sub", b"sub\\evil.txt"),
            ("link deeper down", os.path.join("a", "b"), b"a\\b\\c\\d.txt"),
        ]
        for name, link, entry in cases:
            for policy in ("skip", "replace"):
                with self.subTest(name, policy=policy):
                    shutil.rmtree(self.target)
                    os.makedirs(os.path.dirname(os.path.join(self.target, link)) or self.target,
                                exist_ok=True)
                    os.makedirs(self.target, exist_ok=True)
                    os.symlink(self.outside, os.path.join(self.target, link))
                    archive = self.archive([(entry, [zlib.compress(b"attack")]),
                                            (b"next.txt", [zlib.compress(b"next")])])
                    result = self.extract(archive, policy)
                    self.assertEqual(1, result.returncode, result.stderr)
                    self.assertEqual([], os.listdir(self.outside))
                    self.assertIn("Uh-Oh! " + entry.decode() + ": ", result.stderr)
                    with open(os.path.join(self.target, "next.txt"), "rb") as f:
                        self.assertEqual(b"next", f.read())

    def test_replace_through_a_link_leaves_its_target_alone(self):
        kept = os.path.join(self.outside, "kept.txt")
        with open(kept, "wb") as f:
            f.write(b"not yours")
        os.chmod(kept, 0o444)
        os.symlink(kept, os.path.join(self.target, "f.txt"))
        result = self.extract(self.archive([(b"f.txt", [zlib.compress(b"new")])]), "replace")
        self.assertEqual(0, result.returncode, result.stderr)
        with open(kept, "rb") as f:
            self.assertEqual(b"not yours", f.read())
        self.assertFalse(os.stat(kept).st_mode & 0o222)
        self.assertFalse(os.path.islink(os.path.join(self.target, "f.txt")))

    def test_a_damaged_entry_never_costs_the_old_file(self):
        old = os.path.join(self.target, "config.ini")
        with open(old, "wb") as f:
            f.write(b"old settings")
        os.chmod(old, 0o444)
        damaged = b"\x00\x01" + zlib.compress(b"new settings")[2:]
        result = self.extract(self.archive([(b"config.ini", [damaged])]), "replace")
        self.assertEqual(1, result.returncode)
        self.assertIn("Uh-Oh! config.ini: ", result.stderr)
        with open(old, "rb") as f:
            self.assertEqual(b"old settings", f.read())
        self.assertFalse(os.stat(old).st_mode & 0o222)
        self.assertEqual(["config.ini"], os.listdir(self.target))

    def test_what_cannot_be_replaced_fails_the_run(self):
        # name, how the target's "a" is made, policy, exit status, reported
        cases = [
            ("folder, replace", lambda p: os.makedirs(p), "replace", 1, True),
            ("folder, skip", lambda p: os.makedirs(p), "skip", 0, False),
            ("dangling link, replace", lambda p: os.symlink(os.path.join(self.outside, "none"), p),
             "replace", 0, False),
        ]
        for name, make, policy, status, reported in cases:
            with self.subTest(name):
                shutil.rmtree(self.target)
                os.makedirs(self.target)
                make(os.path.join(self.target, "a"))
                result = self.extract(self.archive([(b"a", [zlib.compress(b"data")])]), policy)
                self.assertEqual(status, result.returncode, result.stderr)
                self.assertEqual(reported, "Uh-Oh! a: " in result.stderr, result.stderr)
                self.assertEqual([], os.listdir(self.outside))
                a = os.path.join(self.target, "a")
                if status == 0 and policy == "replace":
                    self.assertFalse(os.path.islink(a))
                    with open(a, "rb") as f:
                        self.assertEqual(b"data", f.read())


if __name__ == "__main__":
    unittest.main()
