#!/usr/bin/env python3
# The CMake package as a maker meets it: kelvra-pack installed into a throw-away prefix,
# then a small project of this test's own that finds it, makes an installer of its
# program and data with kelvra_add_installer(), and another with `cpack -G External`.
# Run by CTest with KELVRA_BUILD_DIR set to the native build.
import json
import os
import shutil
import subprocess
import tempfile
import textwrap
import unittest

from packer_helpers import check

BUILD = os.environ.get("KELVRA_BUILD_DIR", "")

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
    set(CPACK_KELVRA_RUN bin\\\\hello)
    set(CPACK_KELVRA_DPI_AWARE OFF)
    set(CPACK_KELVRA_LANGUAGES fr ko)
    set(CPACK_KELVRA_PROMPT "Install hello")
    include(KelvraPackCPack)
    include(CPack)
    """)


class CMakePackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(os.path.join(BUILD, "cmake_install.cmake")):
            raise unittest.SkipTest("KELVRA_BUILD_DIR names no configured build")
        cls.dir = tempfile.mkdtemp(prefix="kelvra-cmake-test-")
        cls.prefix = os.path.join(cls.dir, "prefix")
        check("cmake", "--install", BUILD, "--prefix", cls.prefix)
        cls.pack = os.path.join(cls.prefix, "bin", "kelvra-pack")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def setUp(self):
        self.src = tempfile.mkdtemp(dir=self.dir, prefix="src-")
        self.build = self.src + "-build"
        self.write("hello.c", "int main(void) { return 0; }\n")
        self.write("data/readme.txt", "hello\n" * 100)
        self.write("data/sub/notes.txt", "notes\n")
        self.write("CMakeLists.txt", PROJECT)

    def write(self, name, text):
        path = os.path.join(self.src, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    def configure(self, **env):
        environment = dict(os.environ, **env)
        check("cmake", "-S", self.src, "-B", self.build, "-DCMAKE_PREFIX_PATH=" + self.prefix, env=environment)

    def listing(self, path):
        self.assertTrue(check(self.pack, "test", path).startswith("OK: "))
        return json.loads(check(self.pack, "list", "--json", path))

    def test_kelvra_add_installer_remakes_only_on_change(self):
        self.configure(SOURCE_DATE_EPOCH="946684800")
        check("cmake", "--build", self.build)
        setup = os.path.join(self.build, "setup.exe")
        listing = self.listing(setup)
        self.assertEqual(["hello", "readme.txt", "sub\\notes.txt"], [e["name"] for e in listing["entries"]])
        self.assertEqual(("hello", "--from setup", "Where to?", "C:\\Hello"),
                         (listing["run_program"], listing["run_arg1"], listing["prompt"], listing["default_dir"]))
        self.assertEqual({"dpi_aware": False}, listing["resources"])
        self.assertTrue(all(e["last_write_time"] == "2000-01-01T00:00:00Z" for e in listing["entries"]))
        self.assertEqual(["en", "de", "ja"], listing["languages"])

        def made():
            return os.stat(setup).st_mtime_ns

        cases = [
            ("nothing changed", None, False),
            ("a data file changed", ("data/readme.txt", "changed\n"), True),
            ("a file added to a subfolder", ("data/sub/more.txt", "more\n"), True),
            ("the program's source changed", ("hello.c", "int main(void) { return 1; }\n"), True),
        ]
        for name, change, remade in cases:
            with self.subTest(name):
                before = made()
                if change:
                    self.write(*change)
                    # Newer than the installer even within one clock tick, but not in
                    # the future, which would make every later build remake it.
                    later = (before + 1000, before + 1000)
                    os.utime(os.path.join(self.src, change[0]), ns=later)
                    os.utime(os.path.dirname(os.path.join(self.src, change[0])), ns=later)
                check("cmake", "--build", self.build)
                self.assertEqual(remade, made() != before)
        names = [e["name"] for e in self.listing(setup)["entries"]]
        self.assertIn("sub\\more.txt", names)

    def test_cross_build_for_windows_runs_the_build_machines_program(self):
        toolchain = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake", "mingw-i686.cmake")
        if shutil.which("i686-w64-mingw32-gcc") is None:
            self.skipTest("no i686 mingw compiler")
        check("cmake", "-S", self.src, "-B", self.build, "-DCMAKE_PREFIX_PATH=" + self.prefix,
              "-DCMAKE_TOOLCHAIN_FILE=" + toolchain)
        check("cmake", "--build", self.build)
        names = [e["name"] for e in self.listing(os.path.join(self.build, "setup.exe"))["entries"]]
        self.assertEqual(["hello.exe", "readme.txt", "sub\\notes.txt"], names)

    def test_cpack_external_packs_the_install_tree(self):
        self.configure()
        check("cmake", "--build", self.build)
        check("cpack", "-G", "External", cwd=self.build)
        made = os.path.join(self.build, "hello-2.1-Linux.exe")
        self.assertTrue(os.path.isfile(made), os.listdir(self.build))
        listing = self.listing(made)
        self.assertEqual(["bin\\hello", "share\\hello\\readme.txt", "share\\hello\\sub\\notes.txt"],
                         [e["name"] for e in listing["entries"]])
        self.assertEqual(("bin\\hello", "Install hello"), (listing["run_program"], listing["prompt"]))
        self.assertEqual({"dpi_aware": False}, listing["resources"])
        self.assertEqual(["en", "fr", "ko"], listing["languages"])

    def test_a_value_holding_semicolons_is_one_argument(self):
        # Split at its ;, a value would become options and inputs of its own: a folder
        # packed, or a sign step that runs.
        self.write("docs/secret.txt", "not for the installer\n")
        self.write("CMakeLists.txt", textwrap.dedent("""\
            cmake_minimum_required(VERSION 3.20)
            project(semi VERSION 1.0 LANGUAGES NONE)
            find_package(KelvraPack 1 REQUIRED)
            kelvra_add_installer(setup OUTPUT setup.exe INPUTS data ARG1 "/lang=en;docs"
              PROMPT "Welcome;--sign;touch INJECTED && cp {in} {out}")
            kelvra_add_installer(honest OUTPUT honest.exe INPUTS data PROMPT "Install; then run")
            install(DIRECTORY data/ DESTINATION share)
            set(CPACK_KELVRA_ARG1 "/lang=en;docs")
            set(CPACK_KELVRA_PROMPT "Install;--sign;touch INJECTED && cp {in} {out}")
            include(KelvraPackCPack)
            include(CPack)
            """))
        self.configure()
        check("cmake", "--build", self.build)
        check("cpack", "-G", "External", cwd=self.build)
        cases = [
            ("setup.exe", "/lang=en;docs", "Welcome;--sign;touch INJECTED && cp {in} {out}"),
            ("honest.exe", "", "Install; then run"),
            ("semi-1.0-Linux.exe", "/lang=en;docs", "Install;--sign;touch INJECTED && cp {in} {out}"),
        ]
        for name, arg1, prompt in cases:
            with self.subTest(name):
                listing = self.listing(os.path.join(self.build, name))
                self.assertEqual((arg1, prompt), (listing["run_arg1"], listing["prompt"]))
                self.assertFalse(any("secret" in e["name"] for e in listing["entries"]), listing["entries"])
        for root in (self.src, self.build):
            for base, _, names in os.walk(root):
                self.assertNotIn("INJECTED", names, base)

    def test_bad_arguments_stop_the_configure_run(self):
        cases = {"no OUTPUT": "kelvra_add_installer(x INPUTS data)",
                 "no inputs": "kelvra_add_installer(x OUTPUT x.exe)"}
        for name, call in cases.items():
            with self.subTest(name):
                self.write("CMakeLists.txt", "cmake_minimum_required(VERSION 3.20)\nproject(p NONE)\n"
                           "find_package(KelvraPack REQUIRED)\n" + call + "\n")
                result = subprocess.run(["cmake", "-S", self.src, "-B", self.build + name.replace(" ", "-"),
                                         "-DCMAKE_PREFIX_PATH=" + self.prefix],
                                        capture_output=True, text=True, timeout=300)
                self.assertNotEqual(0, result.returncode)
                self.assertIn("kelvra_add_installer(x)", result.stderr)


if __name__ == "__main__":
    unittest.main()
