#!/usr/bin/env python3
# kelvra-pack driven from outside, as a maker would: each command, its refusals and the
# words it puts on the core's verdicts (the core's own rules are the unit tests').
import datetime
import hashlib
import json
import os
import pty
import random
import re
import shutil
import struct
import subprocess
import textwrap
import tomllib
import unittest
import zlib

from packer_helpers import (PACK, EMBEDDED_STUB, PackerCase, archive, check, flip_checksum, forge, framed, read, record,
                            run, tree)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SOURCE = os.environ.get("KELVRA_SOURCE", "")
ABC = zlib.compress(b"abc")
Y2K = 946684800


def password_with_digest(accept):
    n = 0
    while not accept(hashlib.sha1(b"pw%d" % n).digest()):
        n += 1
    return "pw%d" % n


def raw_archive(records, strings=b"\0" * 7, count=None, directory_size=None):
    """A payload-free archive of (name, stored size) records whose trailer may lie."""
    directory = b"".join(record(name, size) for name, size in records) + strings
    body = directory + struct.pack("<II", directory_size or len(directory), count or len(records))
    return body + struct.pack("<I", zlib.crc32(body))


def chunks(n, seed):
    return [zlib.compress(bytes((seed + i + j) % 251 for j in range(4000))) for i in range(n)]


class Create(PackerCase):
    def test_entries_times_attributes_and_strings_told_by_dry_run_then_written(self):
        src = self.sample_tree()
        single = self.write(self.path("single", "setup.exe"), b"MZ run me")
        args = ["--run", "setup.exe", "--arg1", "/S", "--prompt", "Où installer ?", "--default-dir", "C:\\Programme",
                src, single]
        dry = self.ok(self.create("--dry-run", *args))
        self.assertFalse(os.path.exists(self.path("out.exe")))
        for line in ("sub\\café.txt  <-", "6 files,", "Program to run:     setup.exe", "Prompt:             Où"):
            self.assertIn(line, dry.stdout)
        self.ok(self.create(*args))
        info = self.listing()
        by_name = {e["name"]: e for e in info["entries"]}
        self.assertEqual(["big.txt", "empty", "setup.exe", "sub\\café.txt", "sub\\deeper\\noise.bin",
                          "sub\\readonly.txt"], list(by_name))
        self.assertEqual((0x21, 0x20, 0), (by_name["sub\\readonly.txt"]["attributes"],
                                           by_name["big.txt"]["attributes"], by_name["empty"]["stored_size"]))
        self.assertEqual("2000-01-01T00:00:01.2345679Z", by_name["big.txt"]["last_write_time"])
        self.assertEqual(("setup.exe", "/S", "", "Où installer ?", "C:\\Programme", False),
                         (info["run_program"], info["run_arg1"], info["run_arg2"], info["prompt"],
                          info["default_dir"], info["password"]))
        self.ok(self.create(out="none.exe"))  # no inputs: an installer of nothing
        self.assertEqual([], self.listing("none.exe")["entries"])

    def test_same_bytes_for_any_job_count_and_run(self):
        src = self.sample_tree()
        for i in range(30):
            self.write(self.path("src", "many", "f%02d" % i), os.urandom(i * 997) + b"z" * 30000)
        outputs = set()
        for i, jobs in enumerate((1, 2, 4, 4)):
            self.ok(self.create("--jobs", jobs, src, out="out%d.exe" % i))
            outputs.add(read(self.path("out%d.exe" % i)))
        self.assertEqual(1, len(outputs))


class Refusals(PackerCase):
    def test_each_refusal_names_the_problem_and_leaves_nothing_with_or_without_dry_run(self):
        ok = self.write(self.path("ok", "a.txt"), b"a")
        self.write(self.path("device", "sub", "con.txt"), b"")
        # Two bytes in their code page, the second one 0x5C: one per lead-byte table.
        self.write(self.path("932", "ソ.txt"), b"x")
        self.write(self.path("936", "乗.txt"), b"x")
        weak = password_with_digest(lambda d: d[0] != 0 and 0 in d[1:8])
        backslash = "ends in the byte 0x5C, a backslash"

        def check(args, status, words, stub=None):
            real, dry = (self.create(*extra, *args, stub=stub) for extra in ([], ["--dry-run"]))
            self.refused(real, status, words)
            # --dry-run runs the same checks: same status, same message, no file.
            self.assertEqual((real.returncode, real.stderr), (dry.returncode, dry.stderr))
        self.each([
            ("the writer's refusal", [self.path("device")], 1, "device name"),
            ("missing input", [self.path("missing")], 1, "missing"),
            ("prompt too long", ["--prompt", "p" * 256, ok], 2, "--prompt is 256 bytes"),
            ("argument outside another code page", ["--codepage", "932", "--arg1", "€", ok], 2, "code page 932"),
            ("empty password", ["--password", "", ok], 2, "empty"),
            ("password too long", ["--password", "x" * 80, ok], 2, "the limit is 79"),
            ("password cut short", ["--password", weak, ok], 2, "choose another password"),
            ("password twice", ["--password", "a", "--password-file", ok, ok], 2, "excludes"),
            ("bad level", ["--level", "10", ok], 2, "--level"),
            ("unknown code page", ["--codepage", "7", ok], 2, "code page 7"),
            ("unreadable stub", [ok], 1, "--stub: cannot read", self.path("no-stub")),
            ("0x5C in 932", ["--codepage", "932", self.path("932")], 1, backslash),
            ("0x5C in 936", ["--codepage", "936", self.path("936")], 1, backslash),
        ], check)
        # /proc files say 0 bytes, then read as many.
        self.refused(self.create("/proc/self/status"), 1, "changed while read: it grew past the 0 bytes")

    def test_an_output_that_the_run_reads_is_refused_and_kept(self):
        given = self.write(self.path("same", "a.txt"), b"the user's own file")
        hard = self.path("same", "hard.txt")
        os.link(given, hard)
        icon = self.write(self.path("icon.ico"), b"\0\0\1\0\1\0" + bytes(16))
        password = self.write(self.path("password.txt"), b"a password\n")
        project = self.write(self.path("p", "kelvra.toml"), b"[[input]]\npath = '../same/a.txt'\n")

        def check(output, args, option):
            before = read(output)
            result = run("create", "-o", output, "--stub", self.stub, *args)
            self.assertEqual((2, True, True, before), (result.returncode, option in result.stderr,
                                                       "is the output file itself" in result.stderr, read(output)),
                             result.stderr)
            self.assertEqual(["a.txt", "hard.txt"], sorted(os.listdir(self.path("same"))))
        self.each([
            # -o, the options and inputs, the option named
            ("same name", given, [given], ""),
            ("hard link as the output", hard, [given], ""),
            ("the project file", project, ["--project", project], "--project: "),
            ("the stub", self.stub, [given], "--stub: "),
            ("the icon", icon, ["--icon", icon, given], "--icon: "),
            ("the password file", password, ["--password-file", password, given], "--password-file: "),
        ], check)


class ListAndTest(PackerCase):
    def test_list_columns(self):
        self.create(self.sample_tree(), "--run", "go.exe")
        info = self.listing()
        lines = self.ok(run("list", self.path("out.exe"))).stdout.splitlines()
        self.assertEqual(["Archive:  " + self.path("out.exe"), 36], [lines[0], lines[1].index("Name")])
        rows = ["%10d  %s  2000-01-01 00:00  %s" % (e["stored_size"], "R..A" if e["attributes"] & 1 else "...A",
                                                    e["name"]) for e in info["entries"]]
        self.assertEqual(rows, lines[3:8])
        self.assertEqual(["----------%s-------" % (" " * 26), "%10d%s5 files" % (info["payload_size"], " " * 26)],
                         lines[8:10])
        self.assertIn("go.exe", "\n".join(lines[10:]))

    def test_json_keeps_the_documented_keys_and_types(self):
        manual = read(os.path.join(ROOT, "docs", "kelvra-pack.md")).decode()
        documented = json.loads(re.search(r"```json\n(.*?)```", manual, re.S).group(1))
        self.write(self.path("src", "a"), b"a")
        # The stub built in, the default: its resources say which languages it speaks.
        for out, stub in (("out.exe", []), ("given.exe", ["--stub", EMBEDDED_STUB])):
            self.ok(run("create", "-o", self.path(out), *stub, "--run", "a", "--language", "de", self.path("src")))
        self.assertEqual(read(self.path("given.exe")), read(self.path("out.exe")))
        real = self.listing()

        def shape(value):
            if isinstance(value, dict):
                return {k: shape(v) for k, v in value.items()}
            if isinstance(value, list):
                return [shape(value[0])] if value else []
            return type(value).__name__
        self.assertEqual(shape(documented), shape(real))
        self.assertEqual((list(documented), 2, 1252), (list(real), real["schema"], real["codepage"]))

    def test_each_refusal_of_the_reader_has_its_words(self):
        body = raw_archive([(b"a", 0)])[:-4]
        big = zlib.compress(b"x" * 20000)
        missing = self.path("missing.exe")

        def check(data, words, list_too=True):
            path = missing if data is None else self.write(self.path("a.exe"), data)
            for command in ("list", "test") if list_too else ("test",):
                r = run(command, path)
                self.assertEqual((1, "kelvra-pack: %s: %s\n" % (path, words)), (r.returncode, r.stderr), command)
            if not list_too:
                self.assertEqual(0, run("list", path).returncode)
        self.each([
            ("no file", None, "cannot open '%s': No such file or directory" % missing),
            ("empty file", b"", "the file is 0 bytes, shorter than the 12-byte trailer of an archive"),
            ("too many entries", raw_archive([], count=1001),
             "the trailer counts 1001 entries; the limit is 1000 (not an archive, or a damaged one)"),
            ("directory past the file", raw_archive([], directory_size=1000),
             "the trailer's directory size, 1000 bytes, does not fit the file (not an archive, or a damaged one)"),
            ("a record cut short", raw_archive([(b"a", 0)], count=2),
             "entry 2: its record runs past the end of the directory"),
            ("strings cut short", raw_archive([], directory_size=3), "the directory ends inside its strings"),
            ("long digest", raw_archive([], b"\0" * 5 + bytes([30]) + b"d" * 30 + b"\0"),
             "the password digest is 30 bytes; the limit is 23"),
            ("bytes left over", raw_archive([], b"\0" * 7 + b"xyz"), "3 bytes of the directory are left over"),
            ("sizes past 32 bits", raw_archive([(b"a", 0xFFFFFFF0), (b"b", 0x10)]),
             "the entries' stored sizes add up to 4294967296 bytes, more than the file holds before its directory"),
            ("wrong checksum", body + struct.pack("<I", 0x12345678),
             "checksum mismatch: the trailer says 12345678, the data gives %08X" % zlib.crc32(body)),
            ("a chunk too large", forge([(b"a", [ABC, big])]), "entry 1 'a', chunk 2: it inflates to more than "
             "10100 bytes", False),
            ("a chunk not zlib", forge([(b"a", [b"not zlib"])]),
             "entry 1 'a', chunk 1: not a complete zlib stream (data error)", False),
        ], check)

    def test_text_that_reaches_the_terminal_is_escaped(self):
        # Another maker's tool may write any control byte into the strings and names.
        strings = (b"", b"setup.exe", b"/q\x1b]0;owned\x07", b"", b"line one\r\n\tline two\x1b[2J", b"", b"")
        path = self.write(self.path("a.exe"), forge([(b"a\x7fb.txt", [ABC])], strings))
        listed = self.ok(run("list", path)).stdout
        for escaped in ("a\\u007fb.txt", "line one\\r\\n\\tline two\\u001b[2J", "/q\\u001b]0;owned\\u0007"):
            self.assertIn(escaped, listed)
        extracted = self.ok(run("extract", path, "-C", self.path(), "--overwrite", "skip")).stdout
        self.assertIn("inflating: a\\u007fb.txt", extracted)
        self.assertEqual(set(), set("\x7f\r\x1b") & set(listed + extracted + self.ok(run("test", path)).stdout))

    def test_test_reports_each_name_extract_cannot_make(self):
        long_name = b"\xe9" * 100 + b"\\" + b"\xfc" * 100

        def check(names, faulty, words):
            path = self.write(self.path("a.exe"), forge([(n, [ABC]) for n in names]))
            r = run("test", path)
            self.assertEqual((1, ""), (r.returncode, r.stdout), r.stderr)
            self.assertIn(words, r.stderr)
            reported = [i + 1 for i in range(len(names)) if ": entry %d '" % (i + 1) in r.stderr]
            self.assertEqual(faulty, reported, r.stderr)
            self.assertEqual(len(faulty), r.stderr.count("; extract can't make it\n"), r.stderr)
        self.each([
            ("the writer's rules, two faults", [b"x/", b"y\\z/w"], [1, 2], "mixes \\ and /"),
            ("undefined bytes turn into one character", [b"a\x81.txt", b"a\x8d.txt"], [2],
             "it is 'a\ufffd.txt', the same name as entry 1's"),
            ("case beyond ASCII", [b"\xc9.txt", b"\xe9.txt"], [2], "the same name as entry 1's (names ignore case"),
            ("a folder that is a file", [b"\xc4", b"\xe4\\b.txt"], [2], "its folder '\xe4' is also stored as a file"),
            ("too long once in UTF-8", [long_name], [1], "is 401 bytes in this system's encoding"),
        ], check)
        # extract refuses that entry with the same words, before writing.
        os.makedirs(self.path("x"))
        self.refused(run("extract", self.path("a.exe"), "-C", self.path("x"), "--overwrite", "replace"), 1,
                     "is 401 bytes in this system's encoding", self.path("x") + os.sep)

    def test_what_is_not_a_regular_file_is_refused_without_waiting(self):
        fifo = self.path("pipe.exe")
        os.mkfifo(fifo)
        self.each([
            ("extract of a pipe", ["extract", fifo, "-C", self.path(), "--overwrite", "skip"], "(a pipe)"),
            ("a device", ["test", "/dev/zero"], "(a device)"),
            ("a folder", ["test", self.dir], "(a folder)"),
        ], lambda command, reason: self.refused(run(*command, timeout=30), 1, "not a regular file " + reason))

    def test_same_report_whatever_the_jobs(self):
        inflate_late = chunks(40, 1)
        inflate_late[35] = b"not zlib"
        slow_then_bad = chunks(30, 2)
        # An early chunk that takes long next to a quick broken one: the early one must win.
        slow_then_bad[0] = zlib.compress(b"x" * 10100)[:-3]
        slow_then_bad[1] = b"junk"
        two_batches = chunks(140, 10)
        two_batches[10] = b"first"
        two_batches[100] = b"second"
        mismatch = "checksum mismatch: the trailer says"

        def check(data, words):
            path = self.write(self.path("a.exe"), b"MZ" + data)
            reports = [run("test", "--jobs", jobs, "-q", path) for jobs in (1, 2, 3, 8)]
            self.assertEqual(1, len({(r.returncode, r.stdout, r.stderr) for r in reports}), reports)
            self.assertEqual((0 if words == "57 chunks" else 1, True),
                             (reports[0].returncode, words in reports[0].stdout + reports[0].stderr))
        self.each([
            ("sound", forge([(b"a", chunks(50, 3)), (b"b", chunks(7, 4))]), "57 chunks"),
            ("faults in runs of different threads", forge([(b"a", two_batches)]), "entry 1 'a', chunk 11: not a"),
            ("inflate fault late", forge([(b"a", chunks(9, 5)), (b"b", inflate_late)]), "entry 2 'b', chunk 36: "),
            ("two faults, the first wins", forge([(b"a", slow_then_bad)]), "entry 1 'a', chunk 1: "),
            ("framing fault after an inflate fault", archive([(b"a", framed(chunks(6, 8) + [b"bad"]) + b"\xff\xff")]),
             "entry 1 'a', chunk 7: not a"),
            ("framing fault alone", archive([(b"a", framed(chunks(6, 9)) + b"\xff\xff")]),
             "chunk 7: its length, 65535 bytes, passes"),
            # A wrong checksum outranks whatever else is wrong, though threads sum it as they go.
            ("wrong checksum and a broken stream", flip_checksum(forge([(b"a", two_batches)])), mismatch),
            ("wrong checksum and a name extract can't make",
             flip_checksum(forge([(b"a", chunks(2, 12)), (b"a/b", chunks(2, 13))])), mismatch),
        ], check)
        for jobs in ("0", "257"):
            self.assertEqual(2, run("test", "--jobs", jobs, self.stub).returncode, jobs)


class Extract(PackerCase):
    def extract(self, *args, target="x", stdin=subprocess.DEVNULL):
        os.makedirs(self.path(target), exist_ok=True)
        # A run that asks more than the answers given waits on the terminal: 60 s is ample.
        return run("extract", self.path("out.exe"), "-C", self.path(target), *args, stdin=stdin, timeout=60)

    def test_round_trip_skip_replace_and_a_failed_write(self):
        src = self.sample_tree()
        self.write(os.path.join(src, "setup.exe"), b"MZ")
        self.create("--run", "setup.exe", "--arg2", "two", src)
        result = self.ok(self.extract("--overwrite", "skip"))
        self.assertEqual(tree(src), tree(self.path("x")))
        for line in ("  inflating: sub\\deeper\\noise.bin", "would now run: setup.exe  two", "found as"):
            self.assertIn(line, result.stdout)
        changed = self.path("x", "sub", "readonly.txt")
        os.chmod(changed, 0o644)
        self.write(changed, b"changed")
        self.ok(self.extract("--overwrite", "skip"))
        self.assertEqual(b"changed", read(changed))
        self.ok(self.extract("--overwrite", "replace"))
        self.assertEqual(tree(src), tree(self.path("x")))
        self.write(self.path("y", "sub"), b"a file where a folder must go")
        result = self.extract("--overwrite", "replace", target="y")
        self.assertEqual((1, True), (result.returncode, "Uh-Oh! sub\\deeper\\noise.bin: " in result.stderr))

    def test_password_stored_as_digest_warned_of_and_asked_for(self):
        made = self.ok(self.create("--password", "sésame", self.sample_tree()))
        self.assertIn("not encrypted", made.stderr)
        self.assertIn(bytes([20]) + hashlib.sha1("sésame".encode("cp1252")).digest(), read(self.path("out.exe")))
        cut = password_with_digest(lambda d: 0 not in d[:8] and 0 in d[8:])
        self.write(self.path("pw.txt"), cut.encode() + b"\r\n")
        self.assertIn("warning", self.ok(self.create("--password-file", self.path("pw.txt"), out="cut.exe")).stderr)
        for args in (["--password", "Sésame"], []):
            self.refused(self.extract("--overwrite", "skip", *args), 1, "Incorrect password.", self.path("x") + os.sep)
        self.ok(self.extract("--overwrite", "skip", "--password", "sésame"))
        self.assertEqual(2, self.extract("--password", "sésame").returncode)  # ask, but no terminal
        self.refused(run("extract", self.path("out.exe"), "-C", self.path("nowhere"), "--overwrite", "skip",
                         "--password", "sésame"), 1, "Directory does not exist.", self.path("nowhere"))
        self.assertEqual(2, run("extract", self.path("out.exe"), "--overwrite", "maybe").returncode)

    def ask(self, answers):
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        os.write(master, answers.encode())
        result = self.extract(stdin=slave)
        os.close(slave)
        return result

    def test_questions_on_a_terminal(self):
        self.write_tree(self.path("src"), {"a.txt": b"new", "b.txt": b"new"})
        self.create(self.path("src"))

        def check(answers, status, expect):
            shutil.rmtree(self.path("x"), ignore_errors=True)
            self.write_tree(self.path("x"), {"a.txt": b"old", "b.txt": b"old"})
            result = self.ask(answers)
            self.assertEqual(status, result.returncode, result.stderr)
            self.assertEqual(expect, {k: v[0] for k, v in tree(self.path("x")).items()})
        self.each([
            ("unknown, then skip all", "what\nl\n", 0, {"a.txt": b"old", "b.txt": b"old"}),
            ("replace, skip", "r\ns\n", 0, {"a.txt": b"new", "b.txt": b"old"}),
            ("replace all", "a\n", 0, {"a.txt": b"new", "b.txt": b"new"}),
            ("cancel: nothing after it", "c\n", 1, {"a.txt": b"old", "b.txt": b"old"}),
            ("rename", "n\nrenamed.txt\ns\n", 0, {"a.txt": b"old", "b.txt": b"old", "renamed.txt": b"new"}),
        ], check)
        self.assertIn("Cancelled by user.", self.ask("c\n").stderr)


class Usage(unittest.TestCase):
    def test_help_version_and_usage_errors(self):
        self.assertEqual([0, 0, 2, 2, 2, 2, 2], [run(*args).returncode for args in (
            ["--help"], ["--version"], [], ["frobnicate"], ["list"], ["create", "x"], ["test", "a", "b"])])


class ProjectCase(PackerCase):
    def project(self, text):
        return self.write(self.path("proj", "kelvra.toml"), textwrap.dedent(text).encode())

    def names(self, archive):
        return [e["name"] for e in self.listing(archive)["entries"]]


class Described(ProjectCase):
    def test_installer_matches_its_description_from_any_folder(self):
        for name in ("app.exe", "app.pdb", "tmp/cache", "docs/guide.txt", "docs/drafts/d.txt"):
            self.write(self.path("proj", "dist", name), name.encode())
        self.write(self.path("proj", "README.txt"), b"read me")
        self.write(self.path("proj", "pw.txt"), b"sesame\n")
        proj = self.project(f"""\
            output = "out/setup.exe"
            stub = "{self.stub}"
            run = "app.exe"
            arg1 = "/S"
            arg2 = "two words"
            prompt = "Où installer ?"
            default_dir = 'C:\\Apps\\Demo'
            password_file = "pw.txt"
            level = "max"
            codepage = 1252
            jobs = 2
            mtime = "2000-01-01"

            [[input]]
            path = "dist"
            name = "app"
            exclude = ["*.PDB", "tmp", "docs/drafts"]

            [[input]]
            path = "README.txt"
            name = "docs/read me.txt"

            [[input]]
            path = "README.txt"
            name = "legal/"
            """)
        os.makedirs(self.path("proj", "out"))
        # Paths in the file are the file's folder's, whatever the working directory.
        self.ok(run("create", "--project", proj, cwd="/"))
        info = self.listing(os.path.join("proj", "out", "setup.exe"))
        self.assertEqual(["app\\app.exe", "app\\docs\\guide.txt", "docs\\read me.txt", "legal\\README.txt"],
                         [e["name"] for e in info["entries"]])
        self.assertEqual(("app.exe", "/S", "two words", "Où installer ?", "C:\\Apps\\Demo", True),
                         (info["run_program"], info["run_arg1"], info["run_arg2"], info["prompt"],
                          info["default_dir"], info["password"]))
        self.assertEqual({"2000-01-01T00:00:00Z"}, {e["last_write_time"] for e in info["entries"]})
        os.makedirs(self.path("x"))
        self.ok(run("extract", self.path("proj", "out", "setup.exe"), "-C", self.path("x"), "--overwrite", "skip",
                    "--password", "sesame"))

    def test_command_line_wins_and_adds_inputs(self):
        self.write_tree(self.path("proj", "dist"), {"a.txt": b"a", "debug.log": b"log"})
        extra = self.write(self.path("extra", "setup.exe"), b"MZ")
        proj = self.project(f"""\
            output = "from-file.exe"
            stub = "{self.stub}"
            run = "file.exe"
            prompt = "from the file"
            password_file = "no-such-file"
            [[input]]
            path = "dist"
            """)
        self.ok(run("create", "--project", proj, "-o", self.path("cli.exe"), "--prompt", "from the command line",
                    "--password", "secret", "--exclude", "*.log", extra))
        self.assertFalse(os.path.exists(self.path("proj", "from-file.exe")))
        info = self.listing("cli.exe")
        self.assertEqual((["a.txt", "setup.exe"], "file.exe", "from the command line", True),
                         (self.names("cli.exe"), info["run_program"], info["prompt"], info["password"]))

    def test_the_sample_project(self):
        # As the demo uses it: the setup program, a build product, named on the command line.
        setup = self.write(self.path("build", "setup.exe"), b"MZ")
        self.ok(run("create", "--project", os.path.join(ROOT, "examples", "kelvra.toml"), "-o", self.path("out.exe"),
                    "--stub", self.stub, setup))
        self.assertLessEqual({"setup.exe", "readme.txt"}, set(self.names("out.exe")))
        self.assertEqual("setup", self.listing()["run_program"])


class Mistakes(ProjectCase):
    def test_each_mistake_names_file_line_and_key_and_writes_nothing(self):
        os.makedirs(self.path("proj", "d"))
        inputs = '\n[[input]]\npath = "d"'
        cases = [
            ('promt = "x"', 2, ":1: key 'promt': unknown key (did you mean 'prompt'?)"),
            ('\n\nlevel = 10', 2, ":3: key 'level': expected 1..9, \"max\" or \"ultra\""),
            ('jobs = 0', 2, ":1: key 'jobs': expected a whole number in 1..256"),
            ('output = 3', 2, ":1: key 'output': expected a string"),
            ('password = "x"', 2, ":1: key 'password': a password does not belong"),
            ('prompt = "a"\nprompt = "b"', 2, ":2:"),
            ('[input]\npath = "d"', 2, ":1: key 'input': expected [[input]] tables"),
            ('[[input]]\nname = "x"', 2, ":1: [[input]] number 1 has no 'path'"),
            ('[[input]]\npath = "d"\nexlude = []', 2, ":3: key 'input.exlude': unknown key (did you mean 'exclude'?)"),
            ('[[input]]\npath = "d"\nname = "../up"', 2, ":3: key 'input.name': '..\\up'"),
            ('[[input]]\npath = "d"\nexclude = "*.pdb"', 2, ":3: key 'input.exclude': expected a list"),
            ('[[input]]\npath = "d"\nexclude = ["a\\\\b"]', 2, ":3: key 'input.exclude': 'a\\b': write folders"),
            ('mtime = "yesterday"' + inputs, 2, ":1: key 'mtime': 'yesterday'"),
            ('[[input]]\npath = "nowhere"', 1, ":2: key 'input.path': cannot read"),
            ('password_file = "nowhere"' + inputs, 1, ":1: key 'password_file': cannot read"),
            ('version = "1.0"', 2, ":1: key 'version': expected a [version] table"),
            ('dpi_aware = "no"', 2, ":1: key 'dpi_aware': expected true or false"),
            ('icon = "not-there.ico"', 1, ":1: key 'icon': cannot read"),
        ]
        for text, status, words in cases:
            with self.subTest(text=text[:40]):
                r = run("create", "--project", self.project(text), "-o", self.path("out.exe"), "--stub", self.stub)
                self.refused(r, status, self.path("proj", "kelvra.toml") + words)
                self.assertEqual(1, len(r.stderr.splitlines()), r.stderr)
        self.refused(run("create", "--project", self.path("missing.toml"), "--stub", self.stub), 2,
                     "missing.toml: cannot read the project file")
        self.refused(run("create", "--stub", self.stub, self.path("proj", "d")), 2, "give -o FILE")


class Excludes(ProjectCase):
    def test_patterns(self):
        names = ["a.txt", "a.PDB", "build/x.log", "build/keep.txt", "docs/drafts/d.txt", "docs/guide.txt",
                 "src/tmp/t.c", "tmp/top.c", "deep/a/b/c.bak"]
        src = self.write_tree(self.path("src"), {name: b"x" for name in names})
        every = {name.replace("/", "\\") for name in names}
        # Left out before it is looked at: a link to a folder would be refused.
        os.symlink(self.path("src", "docs"), self.path("src", "tmp", "loop"))
        cases = [
            (["*.pdb", "tmp"], {"a.PDB", "src\\tmp\\t.c", "tmp\\top.c"}),
            (["/tmp", "/src/tmp/"], {"src\\tmp\\t.c", "tmp\\top.c"}),
            (["tmp", "build/*.log", "?.txt"], {"build\\x.log", "a.txt", "docs\\drafts\\d.txt", "src\\tmp\\t.c",
                                             "tmp\\top.c"}),
            (["tmp", "**/*.bak"], {"deep\\a\\b\\c.bak", "src\\tmp\\t.c", "tmp\\top.c"}),
            (["tmp", "d*/**"], {"deep\\a\\b\\c.bak", "docs\\drafts\\d.txt", "docs\\guide.txt", "src\\tmp\\t.c",
                                "tmp\\top.c"}),
        ]
        for patterns, left_out in cases:
            with self.subTest(patterns=patterns):
                self.ok(self.create(*[a for p in patterns for a in ("--exclude", p)], src))
                self.assertEqual(sorted(every - left_out), self.names("out.exe"))
        self.assertEqual(2, self.create("--exclude", "", src).returncode)


class Init(ProjectCase):
    def test_starter_file_works_and_is_kept(self):
        self.ok(run("init", cwd=self.dir))
        starter = self.path("kelvra.toml")
        text = read(starter)
        self.assertEqual("dist", tomllib.loads(text.decode())["input"][0]["path"])
        self.write_tree(self.path("dist"), {"app.exe": b"MZ", "app.pdb": b"symbols"})
        self.ok(run("create", "--project", starter, "--stub", self.stub))
        info = self.listing("setup.exe")
        self.assertEqual((["app.exe"], "setup.exe", "Install into this folder:"),
                         ([e["name"] for e in info["entries"]], info["run_program"], info["prompt"]))

        self.write(starter, b"# mine\n")
        r = run("init", cwd=self.dir)
        self.assertEqual((1, True, b"# mine\n"), (r.returncode, "--force" in r.stderr, read(starter)))
        self.ok(run("init", "--force", starter))
        self.assertEqual(text, read(starter))


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
    try:
        while data := os.read(master, 65536):
            err += data
    except OSError:  # the other side closed: the program has ended
        pass
    os.close(master)
    out = process.communicate(timeout=300)[0]
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
                inflated = 3 if action == "extracting" else 0
                status, err, out = run_on_terminal(args)
                self.assertEqual((0, True, inflated), (status, err.endswith("\n"), out.count("  inflating: ")), err)
                lines = drawn_lines(err)
                self.assertTrue(lines and all(BAR.match(line) and line.startswith(action) and len(line) < 80
                                              for line in lines), lines)
                self.assertEqual(1, len({len(re.search(r"\[[#.]+\]", line).group()) for line in lines}), lines)
                self.assertRegex(lines[-1], r"100% \[#+\] .* 3/3 files .*in \d+:\d\d$")
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
                self.assertEqual((0, "", inflated),
                                 (result.returncode, result.stderr, result.stdout.count("  inflating: ")))
                # On a narrow terminal the bar goes and the line still fits.
                status, err, _ = run_on_terminal(args, 40)
                fits = all(len(line) < 40 and "[" not in line for line in drawn_lines(err))
                self.assertEqual((0, True), (status, fits), err)

    def test_error_takes_the_bar_off_first(self):
        # A sound checksum over a chunk that does not inflate: found while the bar is drawn.
        good = [zlib.compress(os.urandom(100) * 100) for _ in range(5)]
        self.write(self.path("bad.exe"), read(self.stub) + forge([(b"a", good), (b"b", [b"not zlib"])]))
        status, err, _ = run_on_terminal(["test", self.path("bad.exe")])
        self.assertEqual(1, status)
        self.assertRegex(err, r"^\rtesting +\d+% ")
        self.assertRegex(err, r"\r\x1b\[Kkelvra-pack: .*entry 2 'b', chunk 1: not a complete zlib stream.*\n$")


@unittest.skipUnless(SOURCE and shutil.which("i686-w64-mingw32-g++"), "needs KELVRA_SOURCE and mingw i686")
class StubBuild(PackerCase):
    def build(self, name):
        build = self.path(name)
        check("cmake", "-S", SOURCE, "-B", build, "-DCMAKE_BUILD_TYPE=MinSizeRel",
              "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(SOURCE, "cmake", "mingw-i686.cmake"))
        check("cmake", "--build", build, "-j", "2", "--target", "kelvra-stub", timeout=900)
        return read(os.path.join(build, "ui", "kelvra-stub.exe"))

    def test_two_clean_builds_give_the_same_stub(self):
        # Each build takes many seconds, so a link time stamp would differ; so would a
        # build path that found its way in.
        first = self.build("first")
        second = self.build("second-build")
        self.assertGreater(len(first), 1024)
        differing = [i for i, (a, b) in enumerate(zip(first, second)) if a != b]
        self.assertEqual((len(first), []), (len(second), differing[:16]))


class ClampedTimes(PackerCase):
    def setUp(self):
        super().setUp()
        self.env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        self.write_tree(self.path("in"), {"a.txt": b"alpha\n", "sub/b.bin": os.urandom(70_000), "sub/c.txt": b""})

    def create(self, out, *args, **env):
        return run("create", "-o", self.path(out), "--stub", self.stub, *args, self.path("in"),
                   env=dict(self.env, **env))

    def test_the_same_installer_after_a_touch_whatever_the_form_of_time(self):
        self.ok(self.create("one.exe", SOURCE_DATE_EPOCH=str(Y2K)))
        for name in ("a.txt", "sub/b.bin", "sub/c.txt"):
            os.utime(self.path("in", name), (Y2K + 10**8, Y2K + 10**8))
        self.ok(self.create("unclamped.exe"))
        outputs = {read(self.path("one.exe"))}
        for form in [str(Y2K), "2000-01-01", "2000-01-01T00:00:00Z", "2000-01-01 00:00", "2000-01-01t00:00:00z"]:
            with self.subTest(form=form):
                # --mtime wins over SOURCE_DATE_EPOCH.
                self.ok(self.create("f.exe", "--mtime", form, SOURCE_DATE_EPOCH="0"))
                outputs.add(read(self.path("f.exe")))
        self.assertEqual(1, len(outputs))
        # Without the clamp the times show, so the equality above is the clamp's doing.
        self.assertNotEqual(outputs, {read(self.path("unclamped.exe"))})
        # Earlier times stay; later ones (the creation time is the file's birth, now) drop.
        os.utime(self.path("in", "a.txt"), (Y2K - 86400, Y2K - 86400))
        self.ok(self.create("g.exe", "--mtime", str(Y2K)))
        times = {e["name"]: (e["last_write_time"], e["creation_time"]) for e in self.listing("g.exe")["entries"]}
        self.assertEqual(("1999-12-31T00:00:00Z", "2000-01-01T00:00:00Z"), times["a.txt"])
        self.assertEqual(("2000-01-01T00:00:00Z",) * 2, times["sub\\b.bin"])

    def test_bad_times_are_usage_errors_and_write_nothing(self):
        for value in ("yesterday", "2000-02-30", "1600-12-31", "2000-01-01T00:00+02:00", "99999999999999999"):
            with self.subTest(value):
                self.refused(self.create("bad.exe", "--mtime", value), 2, "--mtime", self.path("bad.exe"))
        self.refused(self.create("bad.exe", SOURCE_DATE_EPOCH="12abc"), 2, "SOURCE_DATE_EPOCH", self.path("bad.exe"))


class ListedTimes(PackerCase):
    def test_calendar_against_python(self):
        # The packer does its own calendar arithmetic (the C library's differs between
        # systems); Python's datetime is the reference over 1601..9999.
        epoch, tick = datetime.datetime(1601, 1, 1), datetime.timedelta(microseconds=1)
        last = (datetime.datetime(9999, 12, 31, 23, 59, 59) - epoch) // tick * 10
        days = ["1604-02-29", "1700-03-01", "1900-02-28", "1900-03-01", "2000-02-29", "2100-03-01"]
        rng = random.Random(1601)
        times = [0, 1, last + 9_999_999] + [rng.randrange(last) for _ in range(300)]
        times += [(datetime.datetime.fromisoformat(day) - epoch) // tick * 10 for day in days]
        self.write(self.path("times.bin"), archive([(b"f%d" % i, b"", t) for i, t in enumerate(times)]))
        expected = [(epoch + t // 10 * tick).strftime("%Y-%m-%dT%H:%M:%S") + ("" if t % 10**7 == 0 else
                                                                               ".%07d" % (t % 10**7)) + "Z"
                    for t in times]
        self.assertEqual(expected, [e["last_write_time"] for e in self.listing("times.bin")["entries"]])


if __name__ == "__main__":
    unittest.main()
