#!/usr/bin/env python3
# The Windows kelvra-pack under Wine against the Linux one: from the same inputs the
# same branded installer byte for byte, the same listing, and the same tree extracted.
import json
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

from packer_helpers import EMBEDDED_STUB, PACK, PackerCase, read, tree

PACK_WIN = os.environ.get("KELVRA_PACK_WIN", "")
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
MTIME = "2001-02-03T04:05:06Z"


def z(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


@unittest.skipUnless(PACK_WIN and os.path.exists(PACK_WIN), "KELVRA_PACK_WIN names no built kelvra-pack.exe")
class WindowsPacker(PackerCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="kelvra-winpack-")
        # A prefix of its own, shared by the tests, with its own wineserver; the first start creates it.
        cls.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "SOURCE_DATE_EPOCH")}
        cls.env.update(WINEPREFIX=cls.prefix, WINEDEBUG="-all", WINESERVER=WINESERVER, LC_ALL="C.UTF-8",
                       WINEDLLOVERRIDES="mscoree,mshtml=")

    @classmethod
    def tearDownClass(cls):
        subprocess.run([WINESERVER, "-k"], env=cls.env, stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run([WINESERVER, "-w"], env=cls.env, stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def linux(self, *args):
        return subprocess.run([PACK, *args], capture_output=True, env=self.env, timeout=120)

    def wine(self, *args, cwd=None):
        return subprocess.run([WINE, PACK_WIN, *args], capture_output=True, env=self.env, cwd=cwd, timeout=240)

    def listing(self, result):
        listing = json.loads(self.ok(result).stdout.decode("utf-8").replace("\r\n", "\n"))
        del listing["archive"]
        return listing

    @unittest.skipUnless(EMBEDDED_STUB and os.path.exists(EMBEDDED_STUB), "no stub was built in")
    def test_same_installer_listing_and_extraction(self):
        # Neither is given --stub, so this also holds the Windows build's built-in stub
        # to the Linux one; the resource tree is rebuilt by our own code on both.
        numbers = b"".join(b"%d\n" % i for i in range(60_000))
        for name, data in {"readme.txt": b"line one\r\nline two\r\n", "empty.dat": b"",
                           "bin/tool.bin": os.urandom(200_000), "bin/numbers.txt": numbers,
                           "Données/café €.txt": "non-ASCII names in code page 1252".encode()}.items():
            self.write(self.path("in", name), data)
        os.chmod(self.path("in", "readme.txt"), 0o444)
        image = b"\x89PNG\r\n\x1a\n" + bytes(range(200))
        icon = self.write(self.path("app.ico"),
                          struct.pack("<HHHBBBBHHII", 0, 1, 1, 32, 32, 0, 0, 1, 32, len(image), 22) + image)
        common = ["--mtime", MTIME, "--run", "setup.exe", "--arg1", "/quiet", "--prompt", "Où installer ?",
                  "--default-dir", "C:\\Program Files\\Démo", "--password", "sésame", "--level", "6",
                  "--link", "https://example.com/caf\u00e9", "--execution-level", "highestAvailable",
                  "--version-info", "product_name=Démo", "--version-info", "file_version=4.3.2.1"]
        self.ok(self.linux("create", "-o", self.path("linux.exe"), "--icon", icon, *common, self.path("in")))
        self.ok(self.wine("create", "-o", z(self.path("wine.exe")), "--icon", z(icon), *common, z(self.path("in"))))
        self.assertTrue(read(self.path("linux.exe")) == read(self.path("wine.exe")), "the installers differ")

        listed = self.listing(self.wine("list", "--json", z(self.path("linux.exe"))))
        self.assertEqual(self.listing(self.linux("list", "--json", self.path("linux.exe"))), listed)

        os.makedirs(self.path("out-linux"))
        os.makedirs(self.path("out-wine"))
        self.ok(self.linux("extract", "-C", self.path("out-linux"), "--overwrite", "replace", "--password", "sésame",
                           self.path("wine.exe")))
        self.ok(self.wine("extract", "-C", z(self.path("out-wine")), "--overwrite", "replace", "--password", "sésame",
                          z(self.path("wine.exe"))))
        extracted = tree(self.path("out-wine"))
        self.assertEqual(tree(self.path("out-linux")), extracted)

        # The same from and into folders code page 1252 can't spell.
        downloads, target = self.path("Иван", "Загрузки"), self.path("Иван", "Temp")
        os.makedirs(target)
        self.write(os.path.join(downloads, "setup.exe"), read(self.path("wine.exe")))
        installer = z(os.path.join(downloads, "setup.exe"))
        self.assertEqual(listed, self.listing(self.wine("list", "--json", installer)))
        self.ok(self.wine("extract", "-C", z(target), "--overwrite", "replace", "--password", "sésame", installer))
        self.assertEqual(extracted, tree(target))

    @unittest.skipUnless(EMBEDDED_STUB and os.path.exists(EMBEDDED_STUB), "no stub was built in")
    def test_sign_step_hands_paths_to_cmd_as_words(self):
        # An & in the output's name would end the signer's command in cmd; each path
        # reaches it through a variable expanded inside quotes.
        work = os.path.dirname(self.write(self.path("sign", "a.txt"), b"a"))
        cases = [
            ("the name ends the command", "o{out}&copy a.txt PWNED&.exe", "copy {in} {out}", 0, ""),
            ("a quoted placeholder", "q.exe", 'copy "{in}" {out}', 2, "--sign: {in} stands inside quotes"),
            ("a caret before a placeholder", "c.exe", "copy ^{in} {out}", 2, "after an escape character"),
        ]
        for what, name, command, status, words in cases:
            with self.subTest(what):
                made = self.wine("create", "-q", "-o", name, "--sign", command, "a.txt", cwd=work)
                self.assertEqual(status, made.returncode, made.stderr)
                self.assertIn(words, made.stderr.decode(errors="replace"))
                self.assertFalse(os.path.exists(os.path.join(work, "PWNED")), "the name ran as a command")
                self.assertEqual(status == 0, os.path.isfile(os.path.join(work, name)))
                if status == 0:
                    self.assertEqual(0, self.linux("test", os.path.join(work, name)).returncode)

    def test_interrupted_create_leaves_nothing(self):
        # Wine turns SIGINT into the console's Ctrl+C. One thread over 128 MB of noise
        # takes seconds, long enough to be caught writing.
        self.write(self.path("noise", "r.bin"), os.urandom(128 << 20))
        partial = self.path("big.exe.partial")
        run = subprocess.Popen([WINE, PACK_WIN, "create", "-o", z(self.path("big.exe")), "--jobs", "1",
                                "--stub", z(self.path("noise", "r.bin")), z(self.path("noise"))],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env)
        deadline = time.monotonic() + 120
        while not os.path.exists(partial) and run.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(os.path.exists(partial), "the temporary output never appeared")
        run.send_signal(signal.SIGINT)
        out, err = run.communicate(timeout=120)
        # STATUS_CONTROL_C_EXIT, as the loader passes on its low byte.
        self.assertEqual(0x3A, run.returncode, (out, err))
        self.assertEqual([], [n for n in os.listdir(self.dir) if n.startswith("big.exe")])


if __name__ == "__main__":
    unittest.main()
