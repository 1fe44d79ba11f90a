#!/usr/bin/env python3
# Progress of create, test and extract as a person or a CI log sees it: a bar redrawn
# in place when standard error is a terminal (a pseudo-terminal here), plain lines
# otherwise or with --progress=plain, nothing with --quiet or --progress=none.
import os
import pty
import re
import subprocess
import unittest
import zlib

from packer_helpers import PACK, PackerCase, forge, read, run

BAR = re.compile(r"^(compressing|testing|extracting) +\d+% (\[[#.]+\] )?[\d.]+/[\d.]+ (B|KiB|MiB) \d+/\d+ files")
PLAIN_END = re.compile(r"^kelvra-pack: (compressing|testing|extracting): 100%  .* of .*  (\d+) of \2 files( .*)?"
                       r"  in \d+:\d\d$")


def run_on_terminal(args, columns=80):
    """Runs kelvra-pack with standard error on a pseudo-terminal: (status, stderr, stdout)."""
    master, slave = pty.openpty()
    env = dict(os.environ, COLUMNS=str(columns))
    process = subprocess.Popen([PACK, *map(str, args)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=slave, env=env)
    os.close(slave)
    err = b""
    while True:
        try:
            data = os.read(master, 65536)
        except OSError:  # the other side closed: the program has ended
            break
        if not data:
            break
        err += data
    os.close(master)
    out = process.stdout.read()
    process.stdout.close()
    process.wait(timeout=300)
    # The terminal turns each line end into CR LF.
    return process.returncode, err.decode(errors="replace").replace("\r\n", "\n"), out.decode(errors="replace")


def drawn_lines(err):
    """Every state of the bar: the texts between carriage returns, line erasing taken out."""
    return [part.rstrip("\n") for part in err.replace("\x1b[K", "").split("\r") if part.strip()]


class Progress(PackerCase):
    def setUp(self):
        super().setUp()
        self.write_tree(self.path("src"), {"f%d.bin" % i: os.urandom(300000) + b"text " * 100000 for i in range(3)})
        self.ok(self.create(self.path("src"), out="made.exe"))
        os.makedirs(self.path("x"))
        self.commands = {
            "compressing": ["create", "-o", self.path("out.exe"), "--stub", self.stub, self.path("src")],
            "testing": ["test", self.path("made.exe")],
            "extracting": ["extract", self.path("made.exe"), "-C", self.path("x"), "--overwrite", "replace"],
        }

    def test_a_bar_on_a_terminal_plain_lines_elsewhere_nothing_when_quiet(self):
        for action, args in self.commands.items():
            with self.subTest(action):
                status, err, out = run_on_terminal(args)
                self.assertEqual(0, status, err)
                lines = drawn_lines(err)
                self.assertTrue(lines and all(BAR.match(line) and line.startswith(action) and len(line) < 80
                                              for line in lines), lines)
                # The bar keeps one width from first to last.
                self.assertEqual(1, len({len(re.search(r"\[[#.]+\]", line).group()) for line in lines}), lines)
                self.assertRegex(lines[-1], r"100% \[#+\] .* 3/3 files .*in \d+:\d\d$")
                self.assertTrue(err.endswith("\n"))
                self.assertEqual(3 if action == "extracting" else 0, out.count("  inflating: "))
                # Plain lines into a pipe, or on a terminal when asked for.
                result = run(*args)
                plain = run_on_terminal([*args, "--progress=plain"])
                for status, err in ((result.returncode, result.stderr), plain[:2]):
                    self.assertEqual((0, set()), (status, set("\r\x1b") & set(err)), err)
                    self.assertRegex(err.splitlines()[-1], PLAIN_END)
                    self.assertTrue(all(line.startswith("kelvra-pack: %s: " % action) for line in err.splitlines()))
                # Nothing with --quiet (extract's own lines too) or --progress none (they stay).
                status, err, out = run_on_terminal([*args, "--quiet"])
                self.assertEqual((0, "", False), (status, err, "inflating" in out))
                result = run(*args, "--progress", "none")
                self.assertEqual((0, "", 3 if action == "extracting" else 0),
                                 (result.returncode, result.stderr, result.stdout.count("  inflating: ")))

    def test_bar_fits_a_narrow_terminal(self):
        status, err, _ = run_on_terminal(self.commands["compressing"], 40)
        self.assertEqual(0, status, err)
        self.assertTrue(all(len(line) < 40 and "[" not in line for line in drawn_lines(err)), err)

    def test_error_takes_the_bar_off_first(self):
        # A sound checksum over a chunk that does not inflate: found while the bar is drawn.
        good = [zlib.compress(os.urandom(100) * 100) for _ in range(5)]
        self.write(self.path("bad.exe"), read(self.stub) + forge([(b"a", good), (b"b", [b"not zlib"])]))
        status, err, _ = run_on_terminal(["test", self.path("bad.exe")])
        self.assertEqual(1, status)
        self.assertRegex(err, r"^\rtesting +\d+% ")
        self.assertRegex(err, r"\r\x1b\[Kkelvra-pack: .*entry 2 'b', chunk 1: not a complete zlib stream.*\n$")


if __name__ == "__main__":
    unittest.main()
