#!/usr/bin/env python3
# kelvra-pack against a hostile or careless maker: names that try to become shell
# code in the sign step, a signer whose result can't stand in for the installer, files
# that are the output or never end, code pages that hold a character back, names that
# Windows takes for the same, and inputs built to cost minutes or gigabytes.
# Each case checks the status, the message, and that nothing was written or run that
# shouldn't be. The sign step needs a real stub: the one built in (KELVRA_STUB).
import json
import os
import re
import resource
import signal
import stat
import struct
import subprocess
import time
import unittest
import zlib

from packer_helpers import PACK, PackerCase, forge, read, run

ABC = zlib.compress(b"abc")
HAS_STUB = bool(os.environ.get("KELVRA_STUB"))


def iconv_codepages():
    """The Windows-style CPnnn names this system's iconv knows."""
    listed = subprocess.run(["iconv", "-l"], capture_output=True, text=True).stdout
    return sorted({int(m) for m in re.findall(r"\bCP(\d+)\b", listed)})


@unittest.skipUnless(HAS_STUB, "no stub built in")
class Signing(PackerCase):
    def setUp(self):
        super().setUp()
        self.src = self.write(self.path("src", "a.txt"), b"payload" * 100)

    def sign(self, output, command):
        return run("create", "--quiet", "-o", output, "--sign", command, self.src, cwd=self.dir)

    def test_paths_are_words_and_a_quoted_placeholder_is_refused_before_anything_runs(self):
        cp, quoted = "touch PWNED; cp ", "--sign: %s stands inside quotes"
        cases = [
            # name, -o, the command, the refusal's words (None: it signs, and nothing else ran)
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
        ]
        for what, output, command, words in cases:
            with self.subTest(what):
                made = self.sign(output, command)
                self.assertFalse(os.path.exists(self.path("PWNED")), "the command or a name ran")
                if words is None:
                    self.assertEqual(0, made.returncode, made.stderr)
                    self.assertEqual(0, run("test", self.path(output)).returncode)
                    os.remove(self.path(output))
                else:
                    self.refused(made, 2, words, self.path(output))
                    self.assertIn("write it bare", made.stderr)

    def test_the_project_files_output_is_a_path_too(self):
        project = self.write(self.path("kelvra.toml"),
                             b"output = 'o-{out};touch PWNED;.exe'\nsign = 'cp {in} {out}'\n"
                             b"[[input]]\npath = 'src'\n")
        self.ok(run("create", "--quiet", "--project", project, cwd=self.dir))
        self.assertFalse(os.path.exists(self.path("PWNED")))
        self.assertTrue(os.path.isfile(self.path("o-{out};touch PWNED;.exe")))

    def test_a_relative_path_starting_with_a_dash_is_no_option(self):
        self.ok(self.sign("-rf.exe", "printf '%s\\n' {in} {out} > args.txt; cp -- {in} {out}"))
        with open(self.path("args.txt")) as f:
            given = f.read().split("\n")
        self.assertEqual("./-rf.exe", given[0])
        self.assertTrue(given[1].startswith("./-rf.exe.signed"), given)
        self.assertTrue(os.path.isfile(self.path("-rf.exe")))

    def test_a_signer_that_fails_or_leaves_no_installer_is_refused_and_nothing_is_left(self):
        cases = [
            # name, the command, the status, the refusal's words (a pattern)
            ("exits 1", "echo no key here >&2; exit 1; {in} {out}", 1,
             "failed with exit status 1; its output:\nno key here"),
            ("writes nothing", "true {in} {out}", 1, "wrote nothing to {out}"),
            ("no {out}", "cp {in} elsewhere.exe", 2, "--sign: the command must name {out}"),
            ("a text file", "echo signed > {out}; : {in}", 1, "which is not a PE image"),
            ("a folder", "mkdir {out}; : {in}", 1, "other than a regular file at {out}"),
            ("a link to a system file", "ln -s /etc/passwd {out}; : {in}", 1,
             "other than a regular file at {out}"),
            ("the stub alone", "head -c 4096 {in} > {out}", 1, "not a PE image|would not find its archive"),
            ("the archive damaged", "cp {in} {out} && python3 -c \"import sys; p = sys.argv[1]; "
                                    "b = bytearray(open(p, 'rb').read()); b[-20] ^= 0xFF; open(p, 'wb').write(b)\" {out}",
             1, "would not find its archive whole"),
        ]
        for what, command, status, words in cases:
            with self.subTest(what):
                made = self.sign("out.exe", command)
                self.refused(made, status, "--sign: the signing command" if status == 1 else "--sign: ")
                self.assertRegex(made.stderr, words)
                self.assertNotIn("bytes out", made.stdout)
        with open("/etc/passwd", "rb") as f:
            self.assertTrue(f.read())

    def test_an_interrupted_signer_leaves_no_installer(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal.Signals(sig).name):
                started = self.path("started")
                command = "touch started; cp {in} {out}; sleep 60"
                process = subprocess.Popen([PACK, "create", "--quiet", "-o", "out.exe", "--sign", command, self.src],
                                           cwd=self.dir, start_new_session=True,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                deadline = time.monotonic() + 60
                while not (os.path.exists(started) and os.path.exists(self.path("out.exe.signed"))):
                    self.assertLess(time.monotonic(), deadline, "the signer never started")
                    time.sleep(0.02)
                os.killpg(process.pid, sig)
                self.assertNotEqual(0, process.wait(timeout=60))
                self.assertFalse([n for n in os.listdir(self.dir) if n.startswith("out.exe")])
                os.remove(started)


class OutputAndNamedFiles(PackerCase):
    def setUp(self):
        super().setUp()
        self.src = self.write(self.path("src", "a.txt"), b"payload")

    def test_an_output_inside_an_input_folder_is_refused(self):
        cases = [("directly", self.path("src", "out.exe")),
                 ("below", self.path("src", "deeper", "out.exe")),
                 ("through a link", self.path("link", "out.exe"))]
        os.makedirs(self.path("src", "deeper"))
        os.symlink(self.path("src"), self.path("link"))
        for what, output in cases:
            with self.subTest(what):
                self.refused(run("create", "-o", output, "--stub", self.stub, self.path("src")), 2,
                             "lies in the input folder", output)
        # A folder that merely starts with the same letters is another folder.
        self.ok(run("create", "-o", self.path("src2.exe"), "--stub", self.stub, self.path("src")))

    def test_named_files_no_regular_file_or_too_large_are_refused_at_once(self):
        fifo, big = self.path("fifo"), self.path("big")
        os.mkfifo(fifo)
        with open(big, "wb") as f:
            f.truncate(300 << 20)  # sparse
        irregular, large = (1, 2), (1,)
        cases = [
            # name, the options, the statuses allowed, the refusal's words
            ("password file a pipe", ["--password-file", fifo], irregular,
             "--password-file: '%s' is not a regular file (a pipe)" % fifo),
            ("icon a pipe", ["--icon", fifo], irregular, "--icon: '%s' is not a regular file (a pipe)" % fifo),
            ("stub a pipe", ["--stub", fifo], irregular, "--stub: '%s' is not a regular file (a pipe)" % fifo),
            ("project a pipe", ["--project", fifo], irregular,
             "cannot read the project file: '%s' is not a regular file" % fifo),
            ("password file endless", ["--password-file", "/dev/zero"], irregular, "is not a regular file (a device"),
            ("icon a folder", ["--icon", self.path("src")], irregular, "is not a regular file (a folder"),
            ("password file too large", ["--password-file", big], large, "bytes; more than"),
            ("icon too large", ["--icon", big], large, "bytes; more than"),
            ("stub too large", ["--stub", big], large, "bytes; more than"),
        ]
        for what, args, statuses, words in cases:
            with self.subTest(what):
                started = time.monotonic()
                stub = [] if "--stub" in args else ["--stub", self.stub]
                made = run("create", "-o", self.path("out.exe"), *stub, *args, self.src)
                self.assertLess(time.monotonic() - started, 30)
                self.refused(made, statuses, words)

    def test_a_nul_in_the_output_is_refused(self):
        project = self.write(self.path("kelvra.toml"), b'output = "o\\u0000.exe"\n[[input]]\npath = "src"\n')
        self.refused(run("create", "--project", project, "--stub", self.stub, cwd=self.dir), 2,
                     "the name holds a NUL character", self.path("o"))


class CodePages(PackerCase):
    CANDIDATES = "éßøÆŁŐŢЖжΩαשׁاאกệẞ中日あ한"

    def sample(self, codepage):
        """A character of the code page beyond ASCII, or '' when none of ours is."""
        for c in self.CANDIDATES:
            r = subprocess.run(["iconv", "-f", "UTF-8", "-t", "CP%d" % codepage], input=c.encode(),
                               capture_output=True)
            # Bytes below 0x80 in it would be ASCII that names can't hold (Johab's '<').
            if r.returncode == 0 and r.stdout and min(r.stdout) >= 0x80:
                back = subprocess.run(["iconv", "-f", "CP%d" % codepage, "-t", "UTF-8"], input=r.stdout,
                                      capture_output=True)
                if back.stdout.decode(errors="replace") == c:
                    return c
        return ""

    def test_names_and_texts_round_trip_in_every_code_page(self):
        tried = 0
        self.accepted = []
        for codepage in iconv_codepages():
            probe = run("list", "--codepage", codepage, self.path("none"))
            if "is not known to this system" in probe.stderr:
                continue
            if "does not keep ASCII as it is" in probe.stderr:
                # Refused by every command alike, before anything is read or written.
                self.assertEqual(2, probe.returncode)
                self.refused(self.create("--codepage", codepage), 2, "does not keep ASCII as it is")
                continue
            c = self.sample(codepage)
            names = ["readme.txt", "readme.txx", "x%s.txt" % c, "%s%s" % (c, c)] if c else ["readme.txt", "readme.txx"]
            src = self.path("cp%d" % codepage)
            for n in names:
                self.write(os.path.join(src, n), n.encode())
            prompt = "Install %s now%s" % (c, c)
            self.accepted.append(codepage)
            with self.subTest(codepage=codepage, sample=c):
                made = self.create("--codepage", codepage, "--prompt", prompt, src, out="cp%d.exe" % codepage)
                tried += 1
                self.assertEqual(0, made.returncode, made.stderr)
                listed = run("list", "--json", "--codepage", codepage, self.path("cp%d.exe" % codepage))
                info = json.loads(listed.stdout)
                self.assertEqual(sorted(names), sorted(e["name"] for e in info["entries"]))
                self.assertEqual(prompt, info["prompt"])
                self.assertEqual(0, run("test", "--codepage", codepage, self.path("cp%d.exe" % codepage)).returncode)
        self.assertGreater(tried, 10)
        self.assertIn(1255, self.accepted)


class NameClashes(PackerCase):
    def test_create_refuses_names_that_clash_on_windows(self):
        cases = [
            ("case beyond ASCII", "1252", ["É.txt", "é.txt"], "stored as 'é.txt' and 'É.txt'"),
            ("Cyrillic case", "1251", ["Ж.txt", "ж.txt"], "stored as 'ж.txt' and 'Ж.txt'"),
            ("Greek case", "1253", ["ΩMEGA", "ωmega"], "stored as 'ωmega' and 'ΩMEGA'"),
            ("a file and a folder", "1252", ["Ä", "ä/b.txt"], "stored as 'ä\\b.txt' and 'Ä'"),
        ]
        for what, codepage, names, words in cases:
            with self.subTest(what):
                src = self.path(what.replace(" ", "-"))
                for n in names:
                    self.write(os.path.join(src, n), b"x")
                made = self.create("--codepage", codepage, src)
                self.refused(made, 1, words)
                self.assertIn("would be written over one another where the installer runs", made.stderr)

    def test_test_reports_what_extract_would_write_over_or_cannot_make(self):
        long_name = b"\xe9" * 100 + b"\\" + b"\xfc" * 100
        cases = [
            ("undefined bytes turn into one character", [b"a\x81.txt", b"a\x8d.txt"], 2,
             "it is 'a\ufffd.txt', the same name as entry 1's"),
            ("case beyond ASCII", [b"\xc9.txt", b"\xe9.txt"], 2, "the same name as entry 1's (names ignore case"),
            ("a folder that is a file", [b"\xc4", b"\xe4\\b.txt"], 2, "its folder '\xe4' is also stored as a file"),
            ("too long once in UTF-8", [long_name], 1, "is 401 bytes in this system's encoding"),
        ]
        for what, names, faulty, words in cases:
            with self.subTest(what):
                path = self.write(self.path(what + ".exe"), forge([(n, [ABC]) for n in names]))
                tested = run("test", path)
                self.assertEqual(1, tested.returncode, tested.stdout + tested.stderr)
                self.assertIn(": entry %d '" % faulty, tested.stderr)
                self.assertIn(words, tested.stderr)
                self.assertIn("extract can't make it", tested.stderr)
                self.assertNotIn("OK:", tested.stdout)
                if what.startswith("too long"):
                    # extract refuses the same entry with the same words, before writing.
                    os.makedirs(self.path("x"))
                    self.refused(run("extract", path, "-C", self.path("x"), "--overwrite", "replace"), 1, words,
                                 self.path("x") + os.sep)


def icon_file(count, shared=False, size=40):
    """An .ico of count bitmap images, each its own bytes or (shared) all the same."""
    header = struct.pack("<HHH", 0, 1, count)
    directory = b""
    data = b""
    start = 6 + 16 * count
    image = struct.pack("<IiiHH", 40, 1, 2, 1, 32) + bytes(size - 16)
    for i in range(count):
        offset = start if shared else start + i * len(image)
        directory += struct.pack("<BBBBHHII", 1, 1, 0, 0, 1, 32, len(image), offset)
        if not shared or i == 0:
            data += image
    return header + directory + data


def resource_bomb(blob_size=1 << 20, names=255, languages=255):
    """A PE image whose one resource type lists names x languages keys, all of one blob."""
    rva = 0x1000
    root = struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1)
    names_at = 16 + 8
    root += struct.pack("<II", 10, 0x80000000 | names_at)
    languages_at = names_at + 16 + 8 * names
    names_dir = struct.pack("<IIHHHH", 0, 0, 0, 0, 0, names)
    names_dir += b"".join(struct.pack("<II", i + 1, 0x80000000 | languages_at) for i in range(names))
    leaf_at = languages_at + 16 + 8 * languages
    languages_dir = struct.pack("<IIHHHH", 0, 0, 0, 0, 0, languages)
    languages_dir += b"".join(struct.pack("<II", i, leaf_at) for i in range(languages))
    blob_at = leaf_at + 16
    leaf = struct.pack("<IIII", rva + blob_at, blob_size, 0, 0)
    section = root + names_dir + languages_dir + leaf + bytes(blob_size)
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
    mz = bytearray(0x40)
    mz[0:2] = b"MZ"
    struct.pack_into("<I", mz, 0x3C, 0x40)
    head = bytes(mz) + pe
    return head + bytes(0x200 - len(head)) + section


def sanitized():
    """Whether the program is built with a sanitizer, which reserves terabytes up front."""
    try:
        program = read(PACK)
        return b"__asan_init" in program or b"__tsan_init" in program
    except OSError:
        return False


SANITIZED = sanitized()


def limited_memory():
    # A bomb that gets through shows as a failed allocation, not as a machine brought
    # to its knees. (Under a sanitizer the peak is checked afterwards instead.)
    if not SANITIZED:
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))


class CostBombs(PackerCase):
    def timed(self, *args, limit=30):
        started = time.monotonic()
        r = subprocess.run([PACK, *map(str, args)], capture_output=True, text=True, errors="replace",
                           timeout=300, preexec_fn=limited_memory)
        # Children's peak resident size so far, in KiB: no run may have come near a gigabyte.
        self.assertLess(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, 1 << 20)
        return r, time.monotonic() - started

    def test_a_resource_tree_naming_one_blob_65025_times(self):
        installer = self.write(self.path("bomb.exe"), resource_bomb() + forge([(b"a.txt", [ABC])]))
        for command in (["list", installer], ["list", "--json", installer], ["test", installer]):
            with self.subTest(command[:-1]):
                r, took = self.timed(*command)
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertLess(took, 30)
                if command[0] == "list":
                    self.assertIn("a.txt", r.stdout)

    @unittest.skipUnless(HAS_STUB, "no stub built in")
    def test_icons_of_many_and_of_shared_images(self):
        cases = [
            ("65535 images", icon_file(65535), 0, ""),
            ("every entry the same image", icon_file(65535, shared=True, size=65536), 1,
             "its images together are larger than the file: they share bytes"),
        ]
        src = self.write(self.path("src", "a.txt"), b"x")
        for what, data, status, words in cases:
            with self.subTest(what):
                icon = self.write(self.path(what.replace(" ", "-") + ".ico"), data)
                r, took = self.timed("create", "-o", self.path("out.exe"), "--icon", icon, src)
                self.assertEqual(status, r.returncode, r.stderr)
                self.assertIn(words, r.stderr)
                self.assertLess(took, 60)
                self.assertEqual(status == 0, os.path.exists(self.path("out.exe")))
                if status == 0:
                    # list reads back the tree create wrote, every image in it.
                    listed = self.listing()
                    self.assertEqual(65535, len(listed["resources"]["icon"]), listed["resources"])
                    os.remove(self.path("out.exe"))

    def test_an_exclude_pattern_that_would_backtrack(self):
        name = "a" * 200
        self.write(self.path("src", name), b"x")
        self.write(self.path("src", name + "b"), b"x")
        r, took = self.timed("create", "-o", self.path("out.exe"), "--stub", self.stub,
                             "--exclude", "*a*a*a*a*a*a*a*a*ab", self.path("src"))
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertLess(took, 10)
        self.assertEqual([name], [e["name"] for e in self.listing()["entries"]])


class BesideAReplacedFile(PackerCase):
    def test_a_pipe_or_folder_named_for_the_replacement_stays(self):
        archive = self.write(self.path("a.exe"), forge([(b"config.ini", [ABC])]))
        cases = [("a pipe", os.mkfifo, stat.S_ISFIFO), ("a folder", os.mkdir, stat.S_ISDIR)]
        for what, make, kind in cases:
            with self.subTest(what):
                target = self.path("t-" + what.replace(" ", "-"))
                old = self.write(os.path.join(target, "config.ini"), b"the user's")
                make(old + ".kelvra-new")
                r = run("extract", archive, "-C", target, "--overwrite", "replace")
                self.assertEqual(1, r.returncode, r.stdout + r.stderr)
                self.assertIn("config.ini", r.stderr)
                self.assertTrue(kind(os.lstat(old + ".kelvra-new").st_mode))
                with open(old, "rb") as f:
                    self.assertEqual(b"the user's", f.read())
                self.assertEqual(["config.ini", "config.ini.kelvra-new"], sorted(os.listdir(target)))


if __name__ == "__main__":
    unittest.main()
