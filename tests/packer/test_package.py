#!/usr/bin/env python3
# kelvra-pack as it is shipped: the Debian package built by CPack, unpacked into a
# throw-away root (never installed system-wide); the installed program makes and tests
# an installer, and the manual page comes along (`cmake --install`: test_cmake_package).
# Run by CTest with KELVRA_BUILD_DIR set to the native build.
import gzip
import os
import shutil
import tempfile
import unittest

from packer_helpers import check

BUILD = os.environ.get("KELVRA_BUILD_DIR", "")
PACK = os.environ.get("KELVRA_PACK", "")


class Installed(unittest.TestCase):
    def setUp(self):
        if not os.path.exists(os.path.join(BUILD, "CPackConfig.cmake")):
            self.skipTest("KELVRA_BUILD_DIR names no configured build")
        self.dir = tempfile.mkdtemp(prefix="kelvra-package-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.version = check(PACK, "--version").strip()

    def assert_works(self, root):
        """The program under root makes an installer that it then finds sound."""
        program = os.path.join(root, "bin", "kelvra-pack")
        self.assertEqual(self.version, check(program, "--version").strip())
        src = os.path.join(self.dir, "src")
        os.makedirs(src, exist_ok=True)
        with open(os.path.join(src, "hello.txt"), "w") as f:
            f.write("hello\n" * 1000)
        stub = os.path.join(self.dir, "stub.bin")
        with open(stub, "wb") as f:
            f.write(b"MZ" + bytes(510))
        out = os.path.join(self.dir, "setup.exe")
        check(program, "create", "-o", out, "--stub", stub, src)
        self.assertTrue(check(program, "test", out).startswith("OK: "))
        with gzip.open(os.path.join(root, "share", "man", "man1", "kelvra-pack.1.gz"), "rt") as f:
            self.assertIn(".TH KELVRA-PACK 1", f.read())
        for name in ("kelvra-pack.md", "kelvra.toml"):
            self.assertTrue(os.path.isfile(os.path.join(root, "share", "doc", "kelvra-pack", name)), name)

    def test_debian_package(self):
        packages = os.path.join(self.dir, "packages")
        check("cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", packages)
        debs = [n for n in os.listdir(packages) if n.endswith(".deb")]
        self.assertEqual(1, len(debs), debs)
        deb = os.path.join(packages, debs[0])

        fields = dict(line.strip().split(": ", 1) for line in check("dpkg-deb", "--field", deb).splitlines()
                      if ": " in line and not line.startswith(" "))
        self.assertEqual("kelvra-pack", fields["Package"])
        self.assertEqual(self.version.split()[-1], fields["Version"])
        self.assertEqual(check("dpkg", "--print-architecture").strip(), fields["Architecture"])
        self.assertIn("zlib1g", fields["Depends"])
        contents = {line.split()[-1] for line in check("dpkg-deb", "--contents", deb).splitlines()}
        self.assertTrue({"./usr/bin/kelvra-pack", "./usr/share/man/man1/kelvra-pack.1.gz",
                         "./usr/lib/cmake/KelvraPack/KelvraPackConfig.cmake"} <= contents, contents)
        self.assertFalse([p for p in contents if not p.startswith("./usr/")], contents)

        root = os.path.join(self.dir, "root")
        check("dpkg", "-x", deb, root)
        self.assert_works(os.path.join(root, "usr"))


if __name__ == "__main__":
    unittest.main()
