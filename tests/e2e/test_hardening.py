# End-to-end scenarios of a hostile or failing machine: where the stub looks for DLLs
# once it runs, an existing file held open by another program, existing files marked
# read-only, hidden and system, and a target that fills up partway through the run.
import os
import re
import signal
import subprocess
import unittest

import kelvra_e2e as k
import test_installer as base

HELPERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "helpers")


def helper_program(name):
    """helpers/<name>.c built for the architecture under test once per build folder
    (and again when the source changes)."""
    source = os.path.join(HELPERS, name + ".c")
    path = os.path.join(k.WORK, "helpers", k.ARCH, name + ".exe")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with k.locked(os.path.join(k.WORK, "helpers.lock")):
        if not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(source):
            k._run([k.MINGW_CC, "-Os", "-s", "-mwindows", "-Wall", "-Wextra",
                    "-Werror", "-o", path + ".tmp", source, "-lshell32"])
            os.replace(path + ".tmp", path)
    return path


def attributes(s, path):
    """The file's attribute letters as Windows' attrib shows them, e.g. {"A", "R"}."""
    shown = k._run([k.WINE, "cmd", "/c", "attrib", k.windows_path(path)],
                   env=k.wine_env(s.prefix)).stdout
    line = next(l for l in shown.splitlines() if l.strip())
    return {c for c in line.split("Z:", 1)[0] if c.isalpha()}


def set_attributes(s, path, letters):
    # One flag per call: Wine's attrib takes only the last of several.
    for letter in letters:
        k._run([k.WINE, "cmd", "/c", "attrib", "+" + letter.lower(), k.windows_path(path)],
               env=k.wine_env(s.prefix))


class Traced(k.Scenario):
    """A scenario whose Wine processes log every DLL search and load."""

    def start(self, installer, cwd=None):
        self.log = open(os.path.join(self.root, "wine.log"), "w")
        env = k.wine_env(self.prefix, self.display)
        env["WINEDEBUG"] = "+pid,+loaddll,+module"
        self.launcher = subprocess.Popen(
            [k.WINE, "explorer", k.DESKTOP, k.windows_path(installer)],
            cwd=cwd or self.root, env=env, stdout=self.log, stderr=subprocess.STDOUT,
            start_new_session=True)


def traced(path):
    """A Windows path as Wine's trace writes it, backslashes doubled."""
    return path.replace("\\", "\\\\")


def searches_after_start(log_path, installer):
    """The DLL searches that the installer's process made once its own code ran, as
    (dll, search path), the path None where Wine used its own. The program's code
    starts after the last DLL attached at process start: those get a non-null reserved
    argument, a LoadLibrary later on a null one."""
    with open(log_path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    loaded = 'Loaded L"%s"' % traced(k.windows_path(installer))
    pid = next((l.split(":", 1)[0] for l in lines if loaded in l), None)
    if pid is None:
        raise AssertionError("the installer's process isn't in the trace")
    own = [l for l in lines if l.startswith(pid + ":")]
    at_start = [i for i, l in enumerate(own)
                if re.search(r'process_attach \(L"[^"]*",0*[1-9A-Fa-f][0-9A-Fa-f]*\) - END', l)]
    if not at_start:
        raise AssertionError("no DLL attached at the installer's start")
    found = []
    for line in own[at_start[-1] + 1:]:
        match = re.search(r'load_dll looking for L"([^"]*)" in (?:L"([^"]*)"|\(null\))', line)
        if match:
            path = match.group(2)
            found.append((match.group(1), path.replace("\\\\", "\\") if path is not None else None))
    return found


def stop(process):
    if process.poll() is None:
        os.killpg(process.pid, signal.SIGKILL)
    process.wait(timeout=60)


class Hardening(base.Installer):
    """Only the scenarios below; the inherited ones belong to test_installer."""

    def scenario(self, name=None, kind=k.Scenario):
        s = kind(name or self._testMethodName[len("test_"):])
        self.addCleanup(s.close)
        return s.__enter__()

    def test_dll_search_after_start(self):
        """Once the stub runs, every DLL it has the system look for by name is sought in
        the system folder only, never in the folder the installer was downloaded to,
        through the window, the "File Exists" dialog and the save-as prompt (a rename in a
        subfolder).

        Wine resolves its own DLLs' imports and delay-loads with its fixed search path
        (logged as null) and loads its display driver and uxtheme while the process
        starts, before any program code: so a DLL planted under those names would be
        loaded by Wine whatever the stub does, and the signal here is the search path."""
        s = self.scenario(kind=Traced)
        # The clash in a subfolder: the next entry of that subfolder still lands beside it.
        files = {"docs/guide.txt": b"new guide\n", "docs/more.txt": b"more\n", "top.txt": b"top\n"}
        src, expected = self.payload(s, files)
        self.clashes(s, ["docs/guide.txt"])
        installer = s.pack([src], default_dir=k.windows_path(s.target))
        s.start(installer)
        s.press_button(s.wait_window("Kelvra"))
        self.answer(s, base.RENAME)
        s.answer_new_name(os.path.join(s.target, "docs", "guide-renamed.txt"), screenshot="new-name-prompt")
        self.assertEnded(s, installer)
        self.assertKept(s, "docs/guide.txt")
        expected["docs/guide-renamed.txt"] = expected.pop("docs/guide.txt")
        self.assertExtracted(s.target, expected, extra=["docs/guide.txt"])

        k._run([k.WINESERVER, "-w"], env=k.wine_env(s.prefix), timeout=60)
        searches = searches_after_start(os.path.join(s.root, "wine.log"), installer)
        by_path = [(dll, path) for dll, path in searches if path is not None]
        # The display driver is asked for by name when the first window opens.
        self.assertTrue(by_path, "no DLL search by path after start: %r" % searches)
        for dll, path in by_path:
            for part in path.split(";"):
                self.assertTrue(part.lower().startswith("c:\\windows\\system32"),
                                "%s sought in %s" % (dll, path))

    def test_replace_all_over_held_and_marked_files(self):
        """Replace all over existing files (Rename greys once it is ticked). One that another program holds open without
        sharing can't be deleted: it is skipped as it was, attributes included, and the
        later entries are written. Those marked read-only, hidden and system each get
        the archive's content and the archive's attributes, none of the old ones."""
        s = self.scenario()
        files = {"a.txt": b"new a\n", "b-held.txt": b"new b\n", "c-rhs.txt": b"new c\n", "d-hs.txt": b"new d\n",
                 "e-ro-entry.txt": b"new e\n", "f-new.txt": b"f\n"}
        src, expected = self.payload(s, files)
        os.chmod(os.path.join(src, "e-ro-entry.txt"), 0o444)
        self.clashes(s, [name for name in files if name != "f-new.txt"])
        marks = {"b-held.txt": "RH", "c-rhs.txt": "RHS", "d-hs.txt": "HS", "e-ro-entry.txt": "H"}
        for name, letters in marks.items():
            set_attributes(s, os.path.join(s.target, name), letters)
            self.assertEqual(set(letters) | {"A"}, attributes(s, os.path.join(s.target, name)), name)
        held, ready = os.path.join(s.target, "b-held.txt"), os.path.join(s.root, "held")
        holder = subprocess.Popen(
            [k.WINE, helper_program("holder"), k.windows_path(held), k.windows_path(ready)],
            env=k.wine_env(s.prefix), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        self.addCleanup(stop, holder)
        k.wait_for(lambda: os.path.exists(ready) or holder.poll() is not None, 60, "the holder")
        self.assertIsNone(holder.poll(), "the holder couldn't open the file")
        installer = s.pack([src], default_dir=k.windows_path(s.target))
        s.start(installer)
        s.press_button(s.wait_window("Kelvra"))
        dialog = s.wait_window("File Exists")
        self.wait_rename(s, dialog, True)
        self.dialog_click(s, dialog, base.STOP_ASKING)
        self.wait_rename(s, dialog, False)
        s.screenshot("file-exists-stop-asking", dialog)
        self.dialog_click(s, dialog, base.REPLACE)
        self.assertEnded(s, installer)
        self.assertTrue(holder.poll() is None, "the holder ended before the installer")
        self.assertKept(s, "b-held.txt")
        del expected["b-held.txt"]
        self.assertExtracted(s.target, expected, extra=["b-held.txt"])
        want = {"b-held.txt": {"A", "R", "H"}, "e-ro-entry.txt": {"A", "R"}}
        for name in files:
            self.assertEqual(want.get(name, {"A"}), attributes(s, os.path.join(s.target, name)),
                             "%s's attributes" % name)

    def test_target_fills_up(self):
        """A target folder on a small file system that fills up inside the second file:
        the first stays whole, the second holds what fitted, every failed write is
        reported with its "Uh-Oh!" box, a later file fails as well, and the run ends."""
        s = self.scenario()
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "kelvra-e2e", s.target],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if mounted.returncode != 0:
            self.skipTest("can't mount a small file system here: " + mounted.stderr.strip())
        # Torn down before the scenario, which may still have files open in it.
        self.addCleanup(subprocess.run, ["umount", "-l", s.target])
        self.addCleanup(s.close)
        files = {"a.txt": os.urandom(20000), "b-big.bin": os.urandom(80000), "c-after.txt": b"after\n"}
        src, expected = self.payload(s, files)
        installer = s.pack([src], default_dir=k.windows_path(s.target))
        s.start(installer)
        s.press_button(s.wait_window("Kelvra"))

        answered = set()
        k.wait_for(lambda: base.answer_boxes(s, answered), 120, "the run to end", interval=0.2)
        self.assertEnded(s, installer)
        self.assertExtracted(s.target, {"a.txt": expected["a.txt"]}, extra=["b-big.bin", "c-after.txt"])
        written = base.read(os.path.join(s.target, "b-big.bin"))
        self.assertTrue(0 < len(written) < len(files["b-big.bin"]), len(written))
        self.assertEqual(files["b-big.bin"][:len(written)], written)
        self.assertEqual(b"", base.read(os.path.join(s.target, "c-after.txt")))
        # At least one for the big file and one for the file after it.
        self.assertGreaterEqual(len(answered), 2)

    def window_texts(self, s, *titles):
        """The titles and every control's text of visible windows, read by a Windows
        program on the installer's desktop (the installer's own texts are its
        resources; reading them back is the only check of what the loader chose)."""
        out = os.path.join(s.root, "texts.txt")
        if os.path.exists(out):
            os.remove(out)
        k._run([k.WINE, "explorer", k.DESKTOP, helper_program("texts"), k.windows_path(out), *titles],
               env=k.wine_env(s.prefix, s.display), timeout=60)
        k.wait_for(lambda: os.path.exists(out), 30, "the texts of %s" % (titles,))
        with open(out, encoding="utf-8") as f:
            return f.read().split("\n")

    def test_languages(self):
        """An installer carrying German, under a German Windows (LANG=de_DE.UTF-8), asks
        its questions in German; under C.UTF-8 the same installer speaks English, and an
        installer made without languages speaks English under German. A Japanese UI over
        code page 1252 can't show the Japanese texts through the ANSI functions: the
        installer speaks English there. One prefix, four runs, each answering one "File
        Exists" question with Replace; Wine is started again only where the locale changes."""
        s = self.scenario()
        src, expected = self.payload(s, {"a.txt": b"new a\n"})
        self.clashes(s, ["a.txt"])
        german = s.pack([src], output="german.exe", language="de", default_dir=k.windows_path(s.target))
        english = s.pack([src], output="english.exe", default_dir=k.windows_path(s.target))
        japanese = s.pack([src], output="japanese.exe", language="ja", default_dir=k.windows_path(s.target))
        # The dialog's title, caption, buttons and box; then the window's folder label
        # and its button, which reads Cancel while the question is open.
        in_german = ["Datei vorhanden", "Ersetzen", "Überspringen", "Umbenennen", "Nicht mehr fragen", "Ordner:",
                     "Abbrechen"]
        in_english = ["File Exists", "Replace", "Skip", "Rename", "Stop asking", "Expand to:", "Cancel"]
        runs = [("de_DE.UTF-8", None, german, in_german), ("de_DE.UTF-8", None, english, in_english),
                ("C.UTF-8", None, german, in_english), ("C.UTF-8", "ja_JP.UTF-8", japanese, in_english)]
        for number, (lang, messages, installer, texts) in enumerate(runs):
            with self.subTest(lang=lang, messages=messages, installer=os.path.basename(installer)):
                if number > 0 and (lang, messages) != runs[number - 1][:2]:
                    s.stop_wine()
                s.start(installer, lang=lang, messages=messages)
                s.press_button(s.wait_window("Kelvra"))
                dialog = s.wait_window(texts[0])
                self.wait_rename(s, dialog, True)
                shown = self.window_texts(s, texts[0], "Kelvra")
                for text in texts:
                    self.assertIn(text, shown)
                s.screenshot("%s-%s" % (os.path.basename(installer)[:-4], (messages or lang).split(".")[0]))
                self.dialog_click(s, dialog, base.REPLACE)
                self.assertEnded(s, installer)
                self.assertExtracted(s.target, expected)


def load_tests(loader, tests, pattern):
    return k.own_scenarios(Hardening)


if __name__ == "__main__":
    unittest.main()
