#!/usr/bin/env python3
# kelvra-pack against a hostile or careless maker. Each case checks the status, the
# message, and that nothing was written or run that shouldn't be.
import json
import os
import re
import resource
import signal
import struct
import subprocess
import time
import unittest
import zlib

from packer_helpers import PACK, PackerCase, check, forge, read, run

ABC = zlib.compress(b"abc")
HAS_STUB = bool(os.environ.get("KELVRA_STUB"))


@unittest.skipUnless(HAS_STUB, "no stub built in")
class Signing(PackerCase):
    def setUp(self):
        super().setUp()
        self.src = self.write(self.path("src", "a.txt"), b"payload" * 100)

    def sign(self, output, command):
        return run("create", "--quiet", "-o", output, "--sign", command, self.src, cwd=self.dir)

    def test_paths_are_words_and_a_quoted_placeholder_is_refused_before_anything_runs(self):
        cp, quoted = "touch PWNED; cp ", "--sign: %s stands inside quotes"

        def check(output, command, words):
            made = self.sign(output, command)
            self.assertFalse(os.path.exists(self.path("PWNED")), "the command or a name ran")
            if words is None:
                self.ok(made)
                self.ok(run("test", self.path(output)))
                os.remove(self.path(output))
            else:
                self.refused(made, 2, words, self.path(output))
                self.assertIn("write it bare", made.stderr)
        self.each([
            # -o, the command, the refusal's words (None: it signs, and nothing else ran)
            ("the output closes the quotes", "setup-{out};touch PWNED;.exe", "cp {in} {out}", None),
            ("placeholders inside the output's name", "x{in}{out}.exe", "cp {in} {out}", None),
            ("command substitution in the name", "a$(touch PWNED)`touch PWNED`.exe", "cp {in} {out}", None),
            ("a quote in the name", "it's'; touch PWNED; '.exe", "cp {in} {out}", None),
            ("quotes elsewhere are the maker's", "out.exe", "echo 'signing {x}' \"now\"; cp {in} {out}", None),
            ("double quotes", "out.exe", cp + '"{in}" "{out}"', quoted % "{in}"),
            ("single quotes", "out.exe", cp + "'{in}' {out}", quoted % "{in}"),
            ("only {out}", "out.exe", cp + '{in} "x{out}"', quoted % "{out}"),
            ("escaped", "out.exe", cp + "\\{in} {out}", quoted % "{in}" + " (or after an escape"),
            ("escaped inside double quotes", "out.exe", cp + '"\\{in}" {out}', quoted % "{in}"),
        ], check)

    def test_a_leading_dash_is_a_path_too(self):
        self.ok(self.sign("-rf.exe", "printf '%s\\n' {in} {out} > args.txt; cp -- {in} {out}"))
        given = read(self.path("args.txt")).decode().split("\n")
        self.assertEqual(["./-rf.exe", "./-rf.exe.signed"], [given[0], given[1][:len("./-rf.exe.signed")]])
        self.assertTrue(os.path.isfile(self.path("-rf.exe")))

    def test_a_signer_that_fails_or_leaves_no_installer_is_refused_and_nothing_is_left(self):
        def check(command, status, words):
            made = self.sign("out.exe", command)
            self.refused(made, status, "--sign: the signing command" if status == 1 else "--sign: ")
            self.assertRegex(made.stderr, words)
            self.assertNotIn("bytes out", made.stdout)
        self.each([
            ("exits 1", "echo no key here >&2; exit 1; {in} {out}", 1,
             "failed with exit status 1; its output:\nno key here"),
            ("writes nothing", "true {in} {out}", 1, "wrote nothing to {out}"),
            ("no {out}", "cp {in} elsewhere.exe", 2, "--sign: the command must name {out}"),
            ("a text file", "echo signed > {out}; : {in}", 1, "which is not a PE image"),
            ("a link to a system file", "ln -s /etc/passwd {out}; : {in}", 1, "other than a regular file at {out}"),
            ("the archive damaged", "cp {in} {out} && python3 -c \"import sys; p = sys.argv[1]; "
             "b = bytearray(open(p, 'rb').read()); b[-20] ^= 0xFF; open(p, 'wb').write(b)\" {out}",
             1, "would not find its archive whole"),
        ], check)

    def test_an_interrupted_signer_leaves_no_installer(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal.Signals(sig).name):
                command = "touch started; cp {in} {out}; sleep 60"
                process = subprocess.Popen([PACK, "create", "--quiet", "-o", "out.exe", "--sign", command, self.src],
                                           cwd=self.dir, start_new_session=True,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                deadline = time.monotonic() + 60
                while not (os.path.exists(self.path("started")) and os.path.exists(self.path("out.exe.signed"))):
                    self.assertLess(time.monotonic(), deadline, "the signer never started")
                    time.sleep(0.02)
                os.killpg(process.pid, sig)
                self.assertNotEqual(0, process.wait(timeout=60))
                self.assertFalse([n for n in os.listdir(self.dir) if n.startswith("out.exe")])
                os.remove(self.path("started"))


class OutputAndNamedFiles(PackerCase):
    def test_an_output_inside_an_input_folder_is_refused(self):
        os.makedirs(self.path("src", "deeper"))
        os.symlink(self.path("src"), self.path("link"))
        self.each([("directly", self.path("src", "out.exe")), ("below", self.path("src", "deeper", "out.exe")),
                   ("through a link", self.path("link", "out.exe"))],
                  lambda output: self.refused(run("create", "-o", output, "--stub", self.stub, self.path("src")), 2,
                                              "lies in the input folder", output))
        # A folder that merely starts with the same letters is another folder.
        self.ok(run("create", "-o", self.path("src2.exe"), "--stub", self.stub, self.path("src")))

    def test_named_files_no_regular_file_or_too_large_are_refused_at_once(self):
        src = self.write(self.path("src", "a.txt"), b"payload")
        fifo, big = self.path("fifo"), self.path("big")
        os.mkfifo(fifo)
        os.truncate(self.write(big, b""), 300 << 20)  # sparse

        def check(args, words):
            started = time.monotonic()
            stub = [] if "--stub" in args else ["--stub", self.stub]
            made = run("create", "-o", self.path("out.exe"), *stub, *args, src)
            self.assertLess(time.monotonic() - started, 30)
            self.refused(made, (1, 2), words)
        self.each([
            ("password file a pipe", ["--password-file", fifo], "--password-file: '%s' is not a regular file (a pipe)"
             % fifo),
            ("project a pipe", ["--project", fifo], "cannot read the project file: '%s' is not a regular file" % fifo),
            ("icon a folder", ["--icon", self.path("src")], "is not a regular file (a folder"),
            ("stub too large", ["--stub", big], "bytes; more than"),
        ], check)
        project = self.write(self.path("kelvra.toml"), b'output = "o\\u0000.exe"\n[[input]]\npath = "src"\n')
        self.refused(run("create", "--project", project, "--stub", self.stub, cwd=self.dir), 2,
                     "the name holds a NUL character", self.path("o"))


class CodePages(PackerCase):
    def sample(self, codepage):
        """A character of the code page beyond ASCII, or '' when none of ours is."""
        for c in "éßøÆŁŐŢЖжΩαשׁاאกệẞ中日あ한":
            done = subprocess.run(["iconv", "-f", "UTF-8", "-t", "CP%d" % codepage], input=c.encode(),
                                  capture_output=True)
            # Bytes below 0x80 in it would be ASCII that names can't hold (Johab's '<').
            if done.returncode == 0 and done.stdout and min(done.stdout) >= 0x80 and subprocess.run(
                    ["iconv", "-f", "CP%d" % codepage, "-t", "UTF-8"], input=done.stdout, capture_output=True
            ).stdout.decode(errors="replace") == c:
                return c
        return ""

    def test_names_and_texts_round_trip_in_every_code_page(self):
        accepted = []
        for codepage in sorted({int(m) for m in re.findall(r"\bCP(\d+)\b", check("iconv", "-l"))}):
            probe = run("list", "--codepage", codepage, self.path("none"))
            if "is not known to this system" in probe.stderr:
                continue
            if "does not keep ASCII as it is" in probe.stderr:
                # Refused by every command alike, before anything is read or written.
                self.assertEqual(2, probe.returncode)
                self.refused(self.create("--codepage", codepage), 2, "does not keep ASCII as it is")
                continue
            c = self.sample(codepage)
            names = ["readme.txt", "readme.txx"] + (["x%s.txt" % c, c + c] if c else [])
            out = "cp%d.exe" % codepage
            self.write_tree(self.path("cp%d" % codepage), {n: n.encode() for n in names})
            prompt = "Install %s now%s" % (c, c)
            accepted.append(codepage)
            with self.subTest(codepage=codepage, sample=c):
                self.ok(self.create("--codepage", codepage, "--prompt", prompt, self.path("cp%d" % codepage), out=out))
                info = json.loads(run("list", "--json", "--codepage", codepage, self.path(out)).stdout)
                self.assertEqual((sorted(names), prompt), (sorted(e["name"] for e in info["entries"]), info["prompt"]))
                self.ok(run("test", "--codepage", codepage, self.path(out)))
        self.assertGreater(len(accepted), 10)
        self.assertIn(1255, accepted)


class NameClashes(PackerCase):
    def test_create_refuses_names_that_clash_on_windows(self):
        def check(codepage, names, words):
            src = self.write_tree(self.path("src-" + codepage + names[0]), dict.fromkeys(names, b"x"))
            self.refused(self.create("--codepage", codepage, src), 1,
                         "would be written over one another where the installer runs: stored as " + words)
        self.each([
            ("Greek case", "1253", ["ΩMEGA", "ωmega"], "'ωmega' and 'ΩMEGA'"),
            ("a file and a folder", "1252", ["Ä", "ä/b.txt"], "'ä\\b.txt' and 'Ä'"),
        ], check)


def icon_file(count, shared=False, size=40):
    """An .ico of count bitmap images, each its own bytes or (shared) all the same."""
    image = struct.pack("<IiiHH", 40, 1, 2, 1, 32) + bytes(size - 16)
    offsets = [6 + 16 * count + (0 if shared else i * len(image)) for i in range(count)]
    return (struct.pack("<HHH", 0, 1, count) + b"".join(struct.pack("<BBBBHHII", 1, 1, 0, 0, 1, 32, len(image), at)
                                                       for at in offsets) + image * (1 if shared else count))


def resource_directory(entries):
    return struct.pack("<12xHH", 0, len(entries)) + b"".join(struct.pack("<II", *entry) for entry in entries)


def resource_bomb(blob_size=1 << 20, count=255):
    """A PE image whose one resource type lists count names x count languages, all of one blob."""
    rva, names_at, languages_at = 0x1000, 24, 24 + 16 + 8 * count
    leaf_at = languages_at + 16 + 8 * count
    section = (resource_directory([(10, 0x80000000 | names_at)])
               + resource_directory([(i + 1, 0x80000000 | languages_at) for i in range(count)])
               + resource_directory([(i, leaf_at) for i in range(count)])
               + struct.pack("<IIII", rva + leaf_at + 16, blob_size, 0, 0) + bytes(blob_size))
    section += bytes(-len(section) % 0x200)
    optional = bytearray(224)
    struct.pack_into("<H", optional, 0, 0x10B)
    struct.pack_into("<II", optional, 32, 0x1000, 0x200)
    struct.pack_into("<I", optional, 56, rva + len(section))
    struct.pack_into("<I", optional, 92, 16)
    struct.pack_into("<II", optional, 96 + 2 * 8, rva, len(section))
    pe = b"PE\0\0" + struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, len(optional), 0x102) + bytes(optional)
    pe += b".rsrc\0\0\0" + struct.pack("<IIIIIIHHI", len(section), rva, len(section), 0x200, 0, 0, 0, 0,
                                       0x40000040)
    head = b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + pe
    return head + bytes(0x200 - len(head)) + section


# A sanitizer reserves terabytes up front.
SANITIZED = os.path.exists(PACK) and any(mark in read(PACK) for mark in (b"__asan_init", b"__tsan_init"))


def limited_memory():
    # A bomb that gets through shows as a failed allocation, not as a machine brought
    # to its knees. (Under a sanitizer the peak is checked afterwards instead.)
    if not SANITIZED:
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))


class CostBombs(PackerCase):
    def timed(self, *args, limit=30, status=0):
        """kelvra-pack's run, with this status, under limit seconds and far below a gigabyte."""
        started = time.monotonic()
        r = subprocess.run([PACK, *map(str, args)], capture_output=True, text=True, errors="replace",
                           timeout=300, preexec_fn=limited_memory)
        self.assertLess(time.monotonic() - started, limit)
        self.assertLess(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, 1 << 20)
        self.assertEqual(status, r.returncode, r.stderr)
        return r

    def test_a_resource_tree_naming_one_blob_65025_times(self):
        installer = self.write(self.path("bomb.exe"), resource_bomb() + forge([(b"a.txt", [ABC])]))
        for command in (["list"], ["list", "--json"], ["test"]):
            with self.subTest(command):
                self.assertIn("a.txt" if command[0] == "list" else "OK", self.timed(*command, installer).stdout)

    @unittest.skipUnless(HAS_STUB, "no stub built in")
    def test_icons_of_many_and_of_shared_images(self):
        src = self.write(self.path("src", "a.txt"), b"x")
        icon = self.write(self.path("many.ico"), icon_file(65535))
        self.timed("create", "-o", self.path("out.exe"), "--icon", icon, src, limit=60)
        # list reads back the tree create wrote, every image in it.
        self.assertEqual(65535, len(self.listing()["resources"]["icon"]))
        icon = self.write(self.path("shared.ico"), icon_file(65535, shared=True, size=65536))
        r = self.timed("create", "-o", self.path("shared.exe"), "--icon", icon, src, limit=60, status=1)
        self.assertIn("its images together are larger than the file: they share bytes", r.stderr)
        self.assertFalse(os.path.exists(self.path("shared.exe")))

    def test_an_exclude_pattern_that_would_backtrack(self):
        self.write_tree(self.path("src"), {"a" * 200: b"x", "a" * 200 + "b": b"x"})
        self.timed("create", "-o", self.path("out.exe"), "--stub", self.stub, "--exclude", "*a*a*a*a*a*a*a*a*ab",
                   self.path("src"), limit=10)
        self.assertEqual(["a" * 200], [e["name"] for e in self.listing()["entries"]])


if __name__ == "__main__":
    unittest.main()
