#!/usr/bin/env python3
# kelvra-pack against input meant to hurt: archive text that would act on a terminal,
# names the installer can't make, a pipe where a file should be, a file that changes
# while it is read (an output that is one of its own inputs: test_packer.py).
import os
import struct
import unittest
import zlib

from packer_helpers import PackerCase, forge, run

ABC = zlib.compress(b"abc")


def strings(**given):
    order = ["reserved", "run", "arg1", "arg2", "prompt", "digest", "dir"]
    return tuple(given.get(k, b"") for k in order)


class Escaping(PackerCase):
    def archive(self, entries, texts=(b"",) * 7, name="a.exe"):
        return self.write(self.path(name), forge(entries, texts))

    def test_text_that_reaches_the_terminal_is_escaped(self):
        # Another maker's tool may write any control byte into the strings; the installer
        # takes them, and what prints them escapes them.
        path = self.archive([(b"a\x7fb.txt", [ABC])],
                            strings(prompt=b"line one\r\n\tline two\x1b[2J", run=b"setup.exe",
                                    arg1=b"/q\x1b]0;owned\x07"))
        r = self.ok(run("list", path))
        self.assertIn("a\\u007fb.txt", r.stdout, "DEL in a name")
        self.assertIn("line one\\r\\n\\tline two\\u001b[2J", r.stdout, "the prompt's layout")
        self.assertIn("/q\\u001b]0;owned\\u0007", r.stdout, "an escape in an argument")
        self.assertNotIn("\x7f", r.stdout)
        self.assertNotIn("\r", r.stdout)
        self.assertNotIn("\x1b", r.stdout)
        r = self.ok(run("test", path))
        self.assertNotIn("\x1b", r.stdout + r.stderr)
        r = self.ok(run("extract", path, "-C", self.path(), "--overwrite", "skip"))
        self.assertIn("inflating: a\\u007fb.txt", r.stdout)
        self.assertNotIn("\x7f", r.stdout)
        self.assertTrue(os.path.exists(self.path("a\x7fb.txt")))

    def test_an_escape_in_a_name_refuses_the_archive_and_creates_nothing(self):
        path = self.archive([(b"\x1b]0;owned\x07.txt", [ABC])])
        target = self.path("t")
        os.makedirs(target)
        for command in (["list", path], ["test", path], ["extract", path, "-C", target, "--overwrite", "replace"]):
            with self.subTest(command[0]):
                r = run(*command)
                self.refused(r, 1, "control character", target + os.sep)
                # Nothing raw: the reason quotes the name escaped.
                self.assertNotIn("\x1b", r.stderr + r.stdout)


def archive_with(records, strings=b"\0" * 7, count=None, directory_size=None, checksum=None):
    """A payload-free archive of (name, stored size) records whose trailer may lie."""
    directory = b"".join(bytes([len(n)]) + n + struct.pack("<IBQQ", size, 0x20, 0, 0) for n, size in records)
    directory += strings
    body = directory + struct.pack("<II", len(directory) if directory_size is None else directory_size,
                                   len(records) if count is None else count)
    return body + struct.pack("<I", zlib.crc32(body) if checksum is None else checksum)


class Refusals(PackerCase):
    def test_each_reason_the_reader_keeps_has_its_words(self):
        body = archive_with([(b"a", 0)])[:-4]
        cases = [
            ("empty file", b"", "the file is 0 bytes, shorter than the 12-byte trailer of an archive"),
            ("too many entries", archive_with([], count=1001),
             "the trailer counts 1001 entries; the limit is 1000 (not an archive, or a damaged one)"),
            ("directory past the file", archive_with([], directory_size=1000),
             "the trailer's directory size, 1000 bytes, does not fit the file (not an archive, or a damaged one)"),
            ("a record cut short", archive_with([(b"a", 0)], count=2),
             "entry 2: its record runs past the end of the directory"),
            ("a device name", archive_with([(b"ok", 0), (b"b", 0), (b"CON.txt", 0)]),
             "entry 3 'CON.txt': the name has a part that is a Windows device name"),
            ("strings cut short", archive_with([], directory_size=3), "the directory ends inside its strings"),
            ("long digest", archive_with([], b"\0" * 5 + bytes([30]) + b"d" * 30 + b"\0"),
             "the password digest is 30 bytes; the limit is 23"),
            ("bytes left over", archive_with([], b"\0" * 7 + b"xyz"), "3 bytes of the directory are left over"),
            ("sizes past 32 bits", archive_with([(b"a", 0xFFFFFFF0), (b"b", 0x10)]),
             "the entries' stored sizes add up to 4294967296 bytes, more than the file holds before its directory"),
            ("wrong checksum", body + struct.pack("<I", 0x12345678),
             "checksum mismatch: the trailer says 12345678, the data gives %08X" % zlib.crc32(body)),
        ]
        for what, data, words in cases:
            with self.subTest(what):
                path = self.write(self.path(what + ".exe"), data)
                for command in ("list", "test"):
                    r = run(command, path)
                    self.assertEqual((1, "kelvra-pack: %s: %s\n" % (path, words)), (r.returncode, r.stderr))
        missing = self.path("missing.exe")
        self.assertEqual("kelvra-pack: %s: cannot open '%s': No such file or directory\n" % (missing, missing),
                         run("list", missing).stderr)


class TestHoldsTheWritersRules(PackerCase):
    def test_names_extract_cannot_make_are_each_reported(self):
        cases = [
            ("mixed separators", [b"ok.txt", b"a/b\\c.txt"], [2], "mixes \\ and /"),
            ("empty part", [b"a\\\\b.txt"], [1], "empty part"),
            ("file and folder", [b"a", b"a\\b.txt"], [2], "its folder 'a' is also stored as a file"),
            ("same name but for case", [b"A.txt", b"a.TXT"], [2], "same name"),
            ("two faults", [b"x/", b"y\\z/w"], [1, 2], "extract can't make it"),
        ]
        for what, names, faulty, reason in cases:
            with self.subTest(what):
                path = self.write(self.path(what + ".exe"), forge([(n, [ABC]) for n in names]))
                r = run("test", path)
                self.assertEqual(1, r.returncode, r.stdout + r.stderr)
                self.assertIn(reason, r.stderr)
                reported = [i + 1 for i in range(len(names)) if ": entry %d '" % (i + 1) in r.stderr]
                self.assertEqual(faulty, reported, r.stderr)
                self.assertNotIn("OK:", r.stdout)


class NotAFile(PackerCase):
    def test_what_is_not_a_regular_file_is_refused_without_waiting(self):
        fifo = self.path("pipe.exe")
        os.mkfifo(fifo)
        cases = [
            ("extract of a pipe", ["extract", fifo, "-C", self.path(), "--overwrite", "skip"],
             "not a regular file (a pipe)"),
            ("a device", ["test", "/dev/zero"], "(a device)"),
            ("a folder", ["test", self.dir], "(a folder)"),
        ]
        for what, command, reason in cases:
            with self.subTest(what):
                # A regression blocks on the open: the timeout turns it into a failure.
                self.refused(run(*command, timeout=30), 1, reason)


class CreateInputs(PackerCase):
    def test_a_file_that_grows_while_read_is_refused(self):
        # /proc files are regular and report 0 bytes, then read as many: the file grew.
        r = self.create("/proc/self/status")
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertIn("changed while read: it grew past the 0 bytes", r.stderr)
        self.assertFalse(os.path.exists(self.path("out.exe")))


if __name__ == "__main__":
    unittest.main()
