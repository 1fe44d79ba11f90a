#!/usr/bin/env python3
# kelvra-pack as it is shipped: the Debian package built by CPack, unpacked into a
# throw-away root (never installed system-wide), and its CMake package as a maker's
# project meets it there.
import gzip
import json
import os
import shutil
import subprocess
import tempfile
import textwrap
import unittest

from packer_helpers import check

BUILD = os.environ.get("KELVRA_BUILD_DIR", "")
PACK = os.environ.get("KELVRA_PACK", "")

# A value split at its ; would become options and inputs of its own: a folder packed,
# or a sign step that runs.
INJECTED = "Install;--sign;touch INJECTED && cp {in} {out}"
PROJECT = textwrap.dedent("""\
    cmake_minimum_required(VERSION 3.20)
    project(hello VERSION 2.1 LANGUAGES C)
    find_package(KelvraPack 1 REQUIRED)
    add_executable(hello hello.c)
    install(TARGETS hello DESTINATION bin)
    install(DIRECTORY data/ DESTINATION share/hello)
    kelvra_add_installer(setup OUTPUT setup.exe
      INPUTS $<TARGET_FILE:hello> data
      RUN hello PROMPT "Where to?" DEFAULT_DIR "C:\\\\Hello" LEVEL 6 ARG1 "--from setup" DPI_AWARE OFF
      LANGUAGES de ja)
    kelvra_add_installer(semi OUTPUT semi.exe INPUTS data ARG1 "/lang=en;docs" PROMPT "%s")
    set(CPACK_KELVRA_RUN bin\\\\hello)
    set(CPACK_KELVRA_DPI_AWARE OFF)
    set(CPACK_KELVRA_LANGUAGES fr ko)
    set(CPACK_KELVRA_ARG1 "/lang=en;docs")
    set(CPACK_KELVRA_PROMPT "%s")
    include(KelvraPackCPack)
    include(CPack)
    """ % (INJECTED, INJECTED))


class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(os.path.join(BUILD, "CPackConfig.cmake")):
            raise unittest.SkipTest("KELVRA_BUILD_DIR names no configured build")
        cls.dir = tempfile.mkdtemp(prefix="kelvra-package-test-")
        packages = os.path.join(cls.dir, "packages")
        check("cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", packages)
        cls.debs = [os.path.join(packages, n) for n in os.listdir(packages) if n.endswith(".deb")]
        cls.prefix = os.path.join(cls.dir, "root", "usr")
        check("dpkg", "-x", cls.debs[0], os.path.dirname(cls.prefix))
        cls.pack = os.path.join(cls.prefix, "bin", "kelvra-pack")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def setUp(self):
        self.src = tempfile.mkdtemp(dir=self.dir, prefix="src-")
        self.build = self.src + "-build"
        for name, text in (("hello.c", "int main(void) { return 0; }\n"), ("data/readme.txt", "hello\n" * 100),
                           ("data/sub/notes.txt", "notes\n"), ("docs/secret.txt", "not for the installer\n"),
                           ("CMakeLists.txt", PROJECT)):
            self.write(name, text)

    def write(self, name, text):
        path = os.path.join(self.src, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    def listing(self, name):
        path = os.path.join(self.build, name)
        self.assertTrue(check(self.pack, "test", path).startswith("OK: "))
        return json.loads(check(self.pack, "list", "--json", path))

    def names(self, name):
        return [e["name"] for e in self.listing(name)["entries"]]

    def test_the_debian_package(self):
        self.assertEqual(1, len(self.debs), self.debs)
        fields = dict(line.strip().split(": ", 1) for line in check("dpkg-deb", "--field", self.debs[0]).splitlines()
                      if ": " in line and not line.startswith(" "))
        self.assertEqual(("kelvra-pack", check(PACK, "--version").split()[-1], check("dpkg", "--print-architecture")
                          .strip()), (fields["Package"], fields["Version"], fields["Architecture"]))
        self.assertIn("zlib1g", fields["Depends"])
        contents = {line.split()[-1] for line in check("dpkg-deb", "--contents", self.debs[0]).splitlines()}
        self.assertFalse([p for p in contents if not p.startswith("./usr/")], contents)
        with gzip.open(os.path.join(self.prefix, "share", "man", "man1", "kelvra-pack.1.gz"), "rt") as f:
            self.assertIn(".TH KELVRA-PACK 1", f.read())
        for name in ("kelvra-pack.md", "kelvra.toml"):
            self.assertTrue(os.path.isfile(os.path.join(self.prefix, "share", "doc", "kelvra-pack", name)), name)

    def test_installers_by_kelvra_add_installer_and_cpack_remade_only_on_change(self):
        env = dict(os.environ, SOURCE_DATE_EPOCH="946684800")
        check("cmake", "-S", self.src, "-B", self.build, "-DCMAKE_PREFIX_PATH=" + self.prefix, env=env)
        check("cmake", "--build", self.build)
        listing = self.listing("setup.exe")
        self.assertEqual(["hello", "readme.txt", "sub\\notes.txt"], [e["name"] for e in listing["entries"]])
        self.assertEqual(("hello", "--from setup", "Where to?", "C:\\Hello", {"dpi_aware": False}, ["en", "de", "ja"]),
                         (listing["run_program"], listing["run_arg1"], listing["prompt"], listing["default_dir"],
                          listing["resources"], listing["languages"]))
        self.assertEqual({"2000-01-01T00:00:00Z"}, {e["last_write_time"] for e in listing["entries"]})
        setup = os.path.join(self.build, "setup.exe")
        for what, change, remade in [
            ("nothing changed", None, False),
            ("a data file changed", ("data/readme.txt", "changed\n"), True),
            ("a file added to a subfolder", ("data/sub/more.txt", "more\n"), True),
            ("the program's source changed", ("hello.c", "int main(void) { return 1; }\n"), True),
        ]:
            with self.subTest(what):
                before = os.stat(setup).st_mtime_ns
                if change:
                    self.write(*change)
                    # Newer than the installer even within one clock tick, but not in
                    # the future, which would make every later build remake it.
                    changed = os.path.join(self.src, change[0])
                    for path in (changed, os.path.dirname(changed)):
                        os.utime(path, ns=(before + 1000, before + 1000))
                check("cmake", "--build", self.build)
                self.assertEqual(remade, os.stat(setup).st_mtime_ns != before)
        self.assertIn("sub\\more.txt", self.names("setup.exe"))
        check("cpack", "-G", "External", cwd=self.build)
        listing = self.listing("hello-2.1-Linux.exe")
        self.assertEqual(["bin\\hello", "share\\hello\\readme.txt", "share\\hello\\sub\\more.txt",
                          "share\\hello\\sub\\notes.txt"], [e["name"] for e in listing["entries"]])
        self.assertEqual(("bin\\hello", {"dpi_aware": False}, ["en", "fr", "ko"]),
                         (listing["run_program"], listing["resources"], listing["languages"]))
        for name in ("semi.exe", "hello-2.1-Linux.exe"):
            listing = self.listing(name)
            self.assertEqual(("/lang=en;docs", INJECTED), (listing["run_arg1"], listing["prompt"]), name)
            self.assertFalse(any("secret" in e["name"] for e in listing["entries"]), name)
        for root in (self.src, self.build):
            self.assertFalse([base for base, _, names in os.walk(root) if "INJECTED" in names])

    def test_cross_build_for_windows_runs_the_build_machines_program(self):
        if shutil.which("i686-w64-mingw32-gcc") is None:
            self.skipTest("no i686 mingw compiler")
        toolchain = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake", "mingw-i686.cmake")
        check("cmake", "-S", self.src, "-B", self.build, "-DCMAKE_PREFIX_PATH=" + self.prefix,
              "-DCMAKE_TOOLCHAIN_FILE=" + toolchain)
        check("cmake", "--build", self.build)
        self.assertEqual(["hello.exe", "readme.txt", "sub\\notes.txt"], self.names("setup.exe"))

    def test_bad_arguments_stop_the_configure_run(self):
        for what, call in (("no OUTPUT", "x INPUTS data"), ("no inputs", "x OUTPUT x.exe")):
            with self.subTest(what):
                self.write("CMakeLists.txt", "cmake_minimum_required(VERSION 3.20)\nproject(p NONE)\n"
                           "find_package(KelvraPack REQUIRED)\nkelvra_add_installer(%s)\n" % call)
                result = subprocess.run(["cmake", "-S", self.src, "-B", self.build + what.replace(" ", "-"),
                                         "-DCMAKE_PREFIX_PATH=" + self.prefix], capture_output=True, text=True)
                self.assertEqual((True, True), (result.returncode != 0, "kelvra_add_installer(x)" in result.stderr))


if __name__ == "__main__":
    unittest.main()
