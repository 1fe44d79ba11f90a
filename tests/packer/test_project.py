#!/usr/bin/env python3
# kelvra-pack create --project from outside: the installer matches its description,
# the command line wins over the file, every kind of mistake is named by file, line and
# key before anything is written, exclude patterns, and init's starter file.
import os
import textwrap
import tomllib
import unittest

from packer_helpers import PackerCase, read, run


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
        self.write(self.path("proj", "dist", "a.txt"), b"a")
        self.write(self.path("proj", "dist", "debug.log"), b"log")
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
        example = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                               "examples", "kelvra.toml")
        self.ok(run("create", "--project", example, "-o", self.path("out.exe"), "--stub", self.stub, setup))
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
        self.write(self.path("dist", "app.exe"), b"MZ")
        self.write(self.path("dist", "app.pdb"), b"symbols")
        self.ok(run("create", "--project", starter, "--stub", self.stub))
        info = self.listing("setup.exe")
        self.assertEqual((["app.exe"], "setup.exe", "Install into this folder:"),
                         ([e["name"] for e in info["entries"]], info["run_program"], info["prompt"]))

        self.write(starter, b"# mine\n")
        r = run("init", cwd=self.dir)
        self.assertEqual((1, True), (r.returncode, "--force" in r.stderr))
        self.assertEqual(b"# mine\n", read(starter))
        self.ok(run("init", "--force", starter))
        self.assertEqual(text, read(starter))


if __name__ == "__main__":
    unittest.main()
