# End-to-end scenarios of safe writing: a link in the target folder that leads out of
# it, reached from folders the code page can't spell, and an installer whose own file
# changes after its check, under Replace.
import os
import unittest

import kelvra_e2e as k
import test_installer as base


def put_back(name, value):
    if value is None:
        os.environ.pop(name, None)
    else:
        os.environ[name] = value


class Safety(base.Installer):
    """Only the scenarios below; the inherited ones belong to test_installer."""

    def test_link_in_target_not_followed(self):
        """The installer lies in a folder whose name code page 1252 can't spell
        (Иван/Загрузки, Wine under C.UTF-8) and TEMP, set in the prefix's registry, is
        such a folder too: the installer finds itself and proposes TEMP, which becomes
        the target. There, sub is a link to a folder outside it (a unix symlink inside
        the prefix's drive, which Wine reports as a reparse point): the entry below sub
        is reported with one "Uh-Oh!" box and not written, the outside folder stays
        empty. a.txt is replaced (Replace) although a read-only temporary that a
        cut-short run left beside it is in the way, and the other entries are written."""
        s = self.scenario()
        for name in ("LANG", "LC_ALL"):
            self.addCleanup(put_back, name, os.environ.get(name))
            os.environ[name] = "C.UTF-8"  # Wine reaches non-ASCII paths only so
        s.target = os.path.join(s.root, "Иван", "Temp")
        os.makedirs(s.target)
        s.set_environment(TEMP=k.windows_path(s.target))
        outside = os.path.join(s.root, "outside")
        os.makedirs(outside)
        os.symlink(outside, os.path.join(s.target, "sub"))
        files = {"a.txt": b"new a\n", "sub/evil.txt": b"through the link\n", "z.txt": b"z\n"}
        src, expected = self.payload(s, files)
        self.clashes(s, ["a.txt"])
        leftover = os.path.join(s.target, "a.txt.kelvra-new")
        with open(leftover, "wb") as f:
            f.write(b"left by a run cut short")
        os.chmod(leftover, 0o444)
        downloads = os.path.join(s.root, "Иван", "Загрузки")
        os.makedirs(downloads)
        installer = s.pack([src], output=os.path.join(downloads, "setup.exe"))
        s.start(installer)
        s.press_button(s.wait_window("Kelvra"))
        self.answer(s, base.REPLACE)
        answered = set()
        k.wait_for(lambda: base.answer_boxes(s, answered), 120, "the run to end", interval=0.2)
        self.assertEnded(s, installer)
        self.assertEqual([], os.listdir(outside))
        self.assertEqual(1, len(answered))
        del expected["sub/evil.txt"]
        self.assertEqual(sorted(["a.txt", "sub", "z.txt"]), sorted(os.listdir(s.target)))
        for name, (content, mtime) in expected.items():
            path = os.path.join(s.target, name)
            self.assertEqual(content, base.read(path), name)
            self.assertEqual(mtime, int(os.stat(path).st_mtime), name)

    def test_changed_after_check_keeps_old_file(self):
        """The installer's own file is rewritten inside an entry's data after the check
        (the window is up): Replace keeps the old file whole and leaves no temporary,
        the run ends with "This file is corrupted." and the window waiting, and the
        after-run program is not started."""
        s = self.scenario()
        files = {"a-config.ini": b"new settings\n" * 200, "setup.exe": base.read(k.probe_program())}
        src, _ = self.payload(s, files)
        self.clashes(s, ["a-config.ini"])
        installer = s.pack([src], run="setup", default_dir=k.windows_path(s.target))
        s.start(installer)
        window = s.wait_window("Kelvra")
        with open(installer, "r+b") as f:
            f.seek(base.archive_start(installer) + 3)  # inside a-config.ini's first chunk
            byte = f.read(1)
            f.seek(-1, os.SEEK_CUR)
            f.write(bytes([byte[0] ^ 0x10]))
        s.press_button(window)
        self.answer(s, base.REPLACE)
        answered = set()

        def waiting_after_run():
            base.answer_boxes(s, answered)
            return bool(answered) and not s.windows("File Exists") and s.running() and \
                os.path.exists(os.path.join(s.target, "setup.exe"))

        k.wait_for(waiting_after_run, 120, "the run to stop with the window up", interval=0.2)
        s.screenshot("corrupted", window)
        self.assertTrue(s.running())
        self.assertKept(s, "a-config.ini")
        self.assertFalse(os.path.exists(os.path.join(s.target, "a-config.ini.kelvra-new")))
        s.press_button(window)
        self.assertEnded(s, installer)
        self.assertNothingStarted(s, s.target)


def load_tests(loader, tests, pattern):
    return k.own_scenarios(Safety)


if __name__ == "__main__":
    unittest.main()
