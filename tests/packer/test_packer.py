#!/usr/bin/env python3
# kelvra-pack driven from outside, as a maker would: create, list, test and extract,
# every refusal (status, message, no file left), and round trips through extraction.
# Run by CTest with KELVRA_PACK set to the built program.
import hashlib
import os
import pty
import shutil
import subprocess
import unittest
import zlib

from packer_helpers import EMBEDDED_STUB, PackerCase, forge, read, run, tree


def password_with_digest(accept):
    """The first password pwN whose SHA-1 digest satisfies accept(digest)."""
    n = 0
    while not accept(hashlib.sha1(b"pw%d" % n).digest()):
        n += 1
    return "pw%d" % n


class Create(PackerCase):
    def test_entries_sorted_with_times_attributes_and_strings(self):
        src = self.sample_tree()
        single = self.write(self.path("single", "setup.exe"), b"MZ run me")
        r = self.create("--run", "setup.exe", "--arg1", "/S", "--prompt", "Où installer ?",
                        "--default-dir", "C:\\Programme", src, single)
        self.assertEqual(0, r.returncode, r.stderr)
        info = self.listing()
        names = [e["name"] for e in info["entries"]]
        self.assertEqual(["big.txt", "empty", "setup.exe", "sub\\café.txt", "sub\\deeper\\noise.bin",
                          "sub\\readonly.txt"], names)
        by_name = {e["name"]: e for e in info["entries"]}
        self.assertEqual(0x21, by_name["sub\\readonly.txt"]["attributes"])
        self.assertEqual(0x20, by_name["big.txt"]["attributes"])
        self.assertEqual(0, by_name["empty"]["stored_size"])
        self.assertEqual("2000-01-01T00:00:01.2345679Z", by_name["big.txt"]["last_write_time"])
        self.assertEqual(("setup.exe", "/S", "", "Où installer ?", "C:\\Programme", False),
                         (info["run_program"], info["run_arg1"], info["run_arg2"], info["prompt"],
                          info["default_dir"], info["password"]))

    def test_same_bytes_for_any_job_count_and_run(self):
        src = self.sample_tree()
        for i in range(30):
            self.write(self.path("src", "many", "f%02d" % i), os.urandom(i * 997) + b"z" * 30000)
        outputs = []
        for jobs in (1, 2, 4, 4):
            self.ok(self.create("--jobs", jobs, src, out="out%d.exe" % len(outputs)))
            outputs.append(read(self.path("out%d.exe" % len(outputs))))
        self.assertTrue(all(o == outputs[0] for o in outputs))

    def test_a_thousand_files_and_no_files(self):
        for i in range(1000):
            self.write(self.path("k", "%04d" % i), b"%d" % i)
        self.assertEqual(0, self.create(self.path("k")).returncode)
        self.assertEqual(1000, len(self.listing()["entries"]))
        self.assertEqual(0, self.create(out="none.exe").returncode)
        self.assertEqual([], self.listing("none.exe")["entries"])

    def test_password_is_stored_as_digest_and_said_not_to_encrypt(self):
        self.write(self.path("src", "a"), b"a")
        r = self.ok(self.create("--password", "sésame", self.path("src")))
        self.assertIn("not encrypted", r.stderr)
        data = read(self.path("out.exe"))
        self.assertIn(bytes([20]) + hashlib.sha1("sésame".encode("cp1252")).digest(), data)
        self.assertTrue(self.listing()["password"])

        cut = password_with_digest(lambda d: 0 not in d[:8] and 0 in d[8:])
        self.write(self.path("pw.txt"), cut.encode() + b"\r\n")
        r = self.ok(self.create("--password-file", self.path("pw.txt"), self.path("src"), out="cut.exe"))
        self.assertIn("warning", r.stderr)

    def test_embedded_stub_is_the_default(self):
        if not EMBEDDED_STUB or not os.path.exists(EMBEDDED_STUB):
            self.skipTest("built without a stub")
        self.write(self.path("src", "a"), b"a")
        self.assertEqual(0, run("create", "-o", self.path("out.exe"), self.path("src")).returncode)
        self.ok(run("create", "-o", self.path("given.exe"), "--stub", EMBEDDED_STUB, self.path("src")))
        self.assertEqual(read(self.path("given.exe")), read(self.path("out.exe")))


class Refusals(PackerCase):
    def test_each_refusal_names_the_problem_and_leaves_nothing_with_or_without_dry_run(self):
        # One row per check: the writer's refusals of the tree (their every bound is
        # in the unit tests), the options' own checks, and the files create must read.
        ok = self.write(self.path("ok", "a.txt"), b"a")
        self.write(self.path("longname", "d", "n" * 254), b"")
        self.write(self.path("device", "sub", "con.txt"), b"")
        weak = password_with_digest(lambda d: d[0] != 0 and 0 in d[1:8])
        cases = [
            ("name too long", [self.path("longname")], 1, "the limit is 255"),
            ("device name", [self.path("device")], 1, "device name"),
            ("missing input", [self.path("missing")], 1, "missing"),
            ("prompt too long", ["--prompt", "p" * 256, ok], 2, "--prompt is 256 bytes"),
            ("argument outside another code page", ["--codepage", "932", "--arg1", "€", ok], 2, "code page 932"),
            ("empty password", ["--password", "", ok], 2, "empty"),
            ("password too long", ["--password", "x" * 80, ok], 2, "the limit is 79"),
            ("password cut short", ["--password", weak, ok], 2, "choose another password"),
            ("missing password file", ["--password-file", self.path("missing"), ok], 1, "missing"),
            ("password twice", ["--password", "a", "--password-file", ok, ok], 2, "excludes"),
            ("bad level", ["--level", "10", ok], 2, "--level"),
            ("unknown code page", ["--codepage", "7", ok], 2, "code page 7"),
            ("unreadable stub", [ok], 1, "--stub: cannot read"),
        ]
        for what, args, status, words in cases:
            with self.subTest(what):
                stub = self.path("no-stub") if what == "unreadable stub" else None
                real, dry = (self.create(*extra, *args, stub=stub) for extra in ([], ["--dry-run"]))
                self.refused(real, status, words)
                # --dry-run runs the same checks: same status, same message, no file.
                self.assertEqual((real.returncode, real.stderr), (dry.returncode, dry.stderr))

    def test_an_output_that_the_run_reads_is_refused_and_kept(self):
        given = self.write(self.path("same", "a.txt"), b"the user's own file")
        hard, link = self.path("same", "hard.txt"), self.path("same", "link.txt")
        os.link(given, hard)
        os.symlink(given, link)
        icon = self.write(self.path("icon.ico"), b"\0\0\1\0\1\0" + bytes(16))
        password = self.write(self.path("password.txt"), b"a password\n")
        project = self.write(self.path("p", "kelvra.toml"), b"[[input]]\npath = '../same/a.txt'\n")
        cases = [
            # name, -o, the options and inputs, the option named
            ("same name", given, [given], ""),
            ("another path to it", given, [self.path("same", "..", "same", "a.txt")], ""),
            ("hard link as the input", given, [hard], ""),
            ("hard link as the output", hard, [given], ""),
            ("symbolic link as the output", link, [given], ""),
            ("the project file", project, ["--project", project], "--project: "),
            ("the stub", self.stub, [given], "--stub: "),
            ("the icon", icon, ["--icon", icon, given], "--icon: "),
            ("the password file", password, ["--password-file", password, given], "--password-file: "),
        ]
        for what, output, args, option in cases:
            with self.subTest(what):
                before = read(output)
                result = run("create", "-o", output, "--stub", self.stub, *args)
                self.assertEqual(2, result.returncode, result.stderr)
                self.assertIn(option, result.stderr)
                self.assertIn("is the output file itself", result.stderr)
                self.assertEqual(before, read(output))
                self.assertEqual(["a.txt", "hard.txt", "link.txt"], sorted(os.listdir(self.path("same"))))

    def test_a_double_byte_character_ending_in_a_backslash_byte_is_refused(self):
        # Each is two bytes in its code page, the second one 0x5C: one per lead-byte table.
        for codepage, name in (("932", "ソ.txt"), ("936", "乗.txt")):
            with self.subTest(codepage):
                self.write(self.path(codepage, name), b"x")
                self.refused(self.create("--codepage", codepage, self.path(codepage)), 1,
                             "ends in the byte 0x5C, a backslash")
        # The same code page with no such character packs.
        self.write(self.path("plain", "日本.txt"), b"x")
        self.assertEqual(0, self.create("--codepage", "932", self.path("plain")).returncode)


class ListAndTest(PackerCase):
    def test_list_and_test_of_a_sound_archive(self):
        self.create(self.sample_tree(), "--run", "go.exe")
        table = run("list", self.path("out.exe"))
        self.assertEqual(0, table.returncode)
        self.assertRegex(table.stdout, r"\n {9}0  \.\.\.A  2000-01-01 00:00  empty\n")
        self.assertRegex(table.stdout, r"\n +\d+  R\.\.A  2000-01-01 00:00  sub\\readonly\.txt\n")
        self.assertIn("go.exe", table.stdout)
        result = run("test", self.path("out.exe"))
        self.assertEqual((0, True), (result.returncode, result.stdout.startswith("OK")), result.stdout)

    def test_faults_are_named(self):
        big = zlib.compress(b"x" * 20000)
        cases = {
            "flipped": None,
            "unsafe": (forge([(b"..\\evil", [zlib.compress(b"a")])]), "'..' part"),
            "oversized": (forge([(b"a", [zlib.compress(b"a"), big])]), "chunk 2: it inflates to more than 10100"),
            "garbage": (forge([(b"a", [b"not zlib"])]), "chunk 1: not a complete zlib stream"),
            "short": (b"", "shorter than"),
        }
        self.create(self.sample_tree())
        good = bytearray(read(self.path("out.exe")))
        good[len(good) // 2] ^= 1
        cases["flipped"] = (bytes(good), "checksum mismatch")
        for name, (data, words) in cases.items():
            with self.subTest(name):
                self.write(self.path(name), (read(self.stub) if data else b"MZ") + data)
                result = run("test", self.path(name))
                self.assertEqual((1, True), (result.returncode, words in result.stderr), result.stderr)
        self.assertEqual(1, run("list", self.path("unsafe")).returncode)
        self.assertEqual(0, run("list", self.path("oversized")).returncode)


class Extract(PackerCase):
    def extract(self, *args, target="x", stdin=subprocess.DEVNULL):
        os.makedirs(self.path(target), exist_ok=True)
        # A run that asks more than the answers given waits on the terminal: 60 s is ample.
        return run("extract", self.path("out.exe"), "-C", self.path(target), *args, stdin=stdin, timeout=60)

    def test_round_trip_keeps_bytes_times_and_read_only(self):
        src = self.sample_tree()
        self.write(os.path.join(src, "setup.exe"), b"MZ")
        self.create("--run", "setup.exe", "--arg2", "two", src)
        result = self.ok(self.extract("--overwrite", "skip"))
        self.assertEqual(tree(src), tree(self.path("x")))
        self.assertIn("  inflating: sub\\deeper\\noise.bin", result.stdout)
        self.assertIn("would now run: setup.exe  two", result.stdout)
        self.assertIn("found as", result.stdout)

    def test_replace_and_skip_existing_files(self):
        src = self.sample_tree()
        self.create(src)
        self.assertEqual(0, self.extract("--overwrite", "skip").returncode)
        changed = self.path("x", "sub", "readonly.txt")
        os.chmod(changed, 0o644)
        self.write(changed, b"changed")
        self.assertEqual(0, self.extract("--overwrite", "skip").returncode)
        self.assertEqual(b"changed", read(changed))
        self.assertEqual(0, self.extract("--overwrite", "replace").returncode)
        self.assertEqual(tree(src), tree(self.path("x")))

    def test_password_gate(self):
        self.assertEqual(0, self.create("--password", "secret", self.sample_tree()).returncode)
        for args in (["--password", "Secret"], []):
            self.refused(self.extract("--overwrite", "skip", *args), 1, "Incorrect password.", self.path("x") + os.sep)
        self.assertEqual(0, self.extract("--overwrite", "skip", "--password", "secret").returncode)

    def test_refusals(self):
        self.create(self.sample_tree())
        self.assertEqual(2, self.extract().returncode)  # ask, but no terminal
        self.refused(run("extract", self.path("out.exe"), "-C", self.path("nowhere"), "--overwrite", "skip"), 1,
                     "Directory does not exist.", self.path("nowhere"))
        self.assertEqual(2, run("extract", self.path("out.exe"), "--overwrite", "maybe").returncode)
        self.write(self.path("bad.exe"), b"no archive here at all")
        self.assertEqual(1, run("extract", self.path("bad.exe"), "--overwrite", "skip").returncode)

    def test_failed_writes_are_told_and_fail_the_run(self):
        self.create(self.sample_tree())
        self.write(self.path("x", "sub"), b"a file where a folder must go")
        result = self.extract("--overwrite", "skip")
        self.assertEqual(1, result.returncode)
        self.assertIn("Uh-Oh! sub\\deeper\\noise.bin: ", result.stderr)
        self.assertEqual(b"0123456789" * 2500, open(self.path("x", "big.txt"), "rb").read())

    def ask(self, answers):
        """Extracts over an existing copy with a terminal on standard input."""
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        os.write(master, answers.encode())
        result = self.extract(stdin=slave)
        os.close(slave)
        return result

    def test_questions_on_a_terminal(self):
        self.write(self.path("src", "a.txt"), b"new")
        self.write(self.path("src", "b.txt"), b"new")
        self.create(self.path("src"))
        old = {"a.txt": b"old", "b.txt": b"old"}
        for answers, status, expect in [
            ("what\nl\n", 0, {"a.txt": b"old", "b.txt": b"old"}),   # unknown, then skip all
            ("r\ns\n", 0, {"a.txt": b"new", "b.txt": b"old"}),
            ("a\n", 0, {"a.txt": b"new", "b.txt": b"new"}),
            ("c\n", 1, {"a.txt": b"old", "b.txt": b"old"}),        # cancel: nothing after it
            ("n\nrenamed.txt\ns\n", 0, {"a.txt": b"old", "b.txt": b"old", "renamed.txt": b"new"}),
        ]:
            with self.subTest(answers=answers):
                shutil.rmtree(self.path("x"), ignore_errors=True)
                for name, data in old.items():
                    self.write(self.path("x", name), data)
                result = self.ask(answers)
                self.assertEqual(status, result.returncode, result.stderr)
                got = {k: v[0] for k, v in tree(self.path("x")).items()}
                self.assertEqual(expect, got)
        self.assertIn("Cancelled by user.", self.ask("c\n").stderr)


class Usage(unittest.TestCase):
    def test_help_version_and_usage_errors(self):
        self.assertEqual(0, run("--help").returncode)
        self.assertIn("not encrypted", run("--help").stdout)
        self.assertIn("times slower", run("create", "--help").stdout)
        self.assertEqual(0, run("--version").returncode)
        for args in ([], ["frobnicate"], ["list"], ["create", "x"], ["test", "a", "b"]):
            self.assertEqual(2, run(*args).returncode, args)


if __name__ == "__main__":
    unittest.main()
