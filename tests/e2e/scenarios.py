# The end-to-end scenarios: a row each in SCENARIOS (CTest's e2e.NAME and i686.NAME,
# CMakeLists.txt reads the names from here), all played by Play. A row's fields:
#   files, pack  the payload (default the sample); create's options ({target}, {root}, {dir})
#   target, clash, marks  the target below the root; files already there; their attributes
#   env     the user's environment in the prefix (None removes); cwd, lang, debug: the start's
#   before  a hook before packing; steps: "verb[:argument]" (the do_ methods) or hooks
#   tree    the target's files after: NAME the payload's bytes, old:NAME the clash kept,
#           ?:NAME there, NEW=NAME NAME's written as NEW; default the payload and probe
#   probe   the after-run program's records (command line, folder), [] for none started
#   attributes  attrib's letters after ("*": the rest); boxes: "Uh-Oh!" boxes (least, most)
import os
import re
import struct
import subprocess

import unittest

import kelvra_e2e as k
from kelvra_e2e import read

SAMPLE_DIR = os.path.join(k.HERE, "..", "..", "examples", "sample")
SAMPLE = {os.path.relpath(os.path.join(d, n), SAMPLE_DIR): read(os.path.join(d, n))
          for d, _, names in os.walk(SAMPLE_DIR) for n in names}
SETUP = b"<the sample's setup program>"
PROBE_FILE = "kelvra-setup-ran.txt"
BASE_TIME = 1000000000  # whole seconds, so that times compare exactly
ICON_COLOUR, BLUE = (0, 160, 0), (0, 0, 255)
LINK = "https://example.com/my-app"
FILE_EXISTS_96 = (472, 145)  # the "File Exists" dialog's outer size at 96 DPI under Wine
# Dialog 101's controls in dialog units, its client 266 x 74 of them.
CONTROLS = {"replace": (7, 33, 79, 17), "skip": (93, 33, 79, 17), "rename": (179, 33, 79, 17),
            "stop": (7, 56, 11, 11)}
# The window's texts at 96 DPI, in client pixels; the last two in the window's own fonts.
TEXT_BOXES = {"label": (10, 77, 70, 20), "message": (40, 5, 340, 65), "banner": (0, 138, 384, 15),
              "link": (0, 153, 384, 20)}


def client(window, x=0, y=0):
    return window.x + k.FRAME_X + x, window.y + k.FRAME_Y + y


def field_visible(image, window):
    fx, fy, fw, _ = k.FIELD
    edge = image.find(client(window, fx + 1, fy) + (fw - 3, 1), lambda p: sum(p) < 600)
    return {0: False, fw - 3: True}[len(edge)]  # a partly drawn edge is an error


def probe_records(folder):
    path = os.path.join(folder, PROBE_FILE)
    text = read(path).decode("latin-1") if os.path.exists(path) else ""
    return re.findall(r"command line: \[(.*)\]\r\nworking directory: \[(.*)\]\r\n", text)


class Play(unittest.TestCase, k.Scenario):
    def play(self, row):
        k.Scenario.__init__(self, row["name"])
        self.row, self.answered = row, set()
        self.addCleanup(self.close)
        self.__enter__()
        self.target = os.path.join(self.root, row.get("target", "target"))
        os.makedirs(self.target, exist_ok=True)
        places = dict(target=k.windows_path(self.target), root=k.windows_path(self.root), dir=self.root)
        self.place = lambda v: v.format(**places) if isinstance(v, str) else v
        self.src, self.payload = os.path.join(self.root, "payload"), {}
        for i, (name, content) in enumerate(sorted(row.get("files", dict(SAMPLE, **{"setup.exe": SETUP})).items())):
            self.payload[name] = read(k.program("setup")) if content is SETUP else content
            os.utime(k.write(os.path.join(self.src, name), self.payload[name]), (BASE_TIME + 3600 * i,) * 2)
        for name in row.get("clash", ()):
            self.make_clash(name)
        if "marks" in row:  # one flag a command: Wine's attrib takes only the last of several
            self.attrib([("+" + c.lower(), name) for name, letters in row["marks"].items() for c in letters])
        if row.get("before"):
            row["before"](self)
        self.installer = self.pack([self.src], **{n: self.place(v) for n, v in row.get("pack", {}).items()})
        if row.get("env"):
            k.edit_registry(os.path.join(self.prefix, "user.reg"), "Environment",
                            {n: self.place(v) for n, v in row["env"].items()})
        for step in row["steps"]:
            if callable(step):
                step(self)
            else:
                verb, _, argument = step.partition(":")
                getattr(self, "do_" + verb)(*[argument] if argument else [])
        if row.get("probe") == []:
            self.server("-w")  # once every Wine process has ended nothing can start late
            self.assertEqual([], probe_records(self.target))
        elif row.get("probe"):
            want = [(line, self.place(folder)) for line, folder in row["probe"]]
            self.assertEqual(want, k.wait_for(lambda: probe_records(self.target), 30, "the after-run record"))
        self.check_tree()
        want = row.get("attributes")
        if want:
            names = k.tree(self.target)
            self.assertEqual([set(want.get(n, want["*"])) for n in names], self.attrib([("", n) for n in names]))

    def attrib(self, commands):
        """attrib FLAGS NAME for each (flags, name), in one start of cmd; the letters shown."""
        lines = ['attrib %s "%s"\r\n' % (flags, k.windows_path(os.path.join(self.target, n))) for flags, n in commands]
        batch = k.write(os.path.join(self.root, "attrib.bat"), ("@echo off\r\n" + "".join(lines)).encode())
        shown = k.run([k.WINE, "cmd", "/c", k.windows_path(batch)], env=k.wine_env(self.prefix)).stdout
        return [{c for c in line.split("Z:", 1)[0] if c.isalpha()} for line in shown.splitlines() if line.strip()]

    def make_clash(self, name):
        k.write(os.path.join(self.target, name), b"old " + name.encode())

    def check_tree(self):
        words = self.row.get("tree")
        if words is None:
            words = " ".join(sorted(self.payload) + (["?:" + PROBE_FILE] if self.row.get("probe") else []))
        want = {}
        for kind, _, name in (word.rpartition(":") for word in words.split()):
            name, _, source = name.partition("=")
            want[name] = {"old": b"old " + name.encode(), "?": None}.get(kind, self.payload.get(source or name))
        got = {n: None if want.get(n, 0) is None else read(os.path.join(self.target, n)) for n in k.tree(self.target)}
        self.assertEqual(want, got)

    # -- the steps ----------------------------------------------------------------

    def do_start(self, lang=None, messages=None):
        cwd = os.path.join(self.root, self.row["cwd"]) if "cwd" in self.row else None
        self.start(self.installer, cwd, lang or self.row.get("lang"), messages, self.row.get("debug"))
        self.window = self.dialog = None

    def do_window(self):
        w = self.window = self.wait_window("Kelvra")
        self.assertEqual(((k.SCREEN_W - w.width) // 2, (k.SCREEN_H - w.height) // 3), (w.x, w.y))
        return w

    def do_damaged(self):
        image, w = self.grab("main"), self.window
        ink = image.find(client(w, 0, k.BANNER_Y) + (k.MAIN_W - 6, k.LINK_Y - k.BANNER_Y), lambda p: sum(p) < 200)
        self.assertEqual(([], False, True), (ink, field_visible(image, w), self.running()))

    def do_ok(self):
        self.press_button(self.window or self.do_window())

    def do_fill(self, text):
        fx, fy, fw, fh = k.FIELD
        self.click(*client(self.window, fx + fw // 2, fy + fh // 2))
        self.replace_text(text)

    def do_key(self, keys):
        self.key(*keys.split())

    def do_running(self):
        self.assertTrue(self.running(), "the installer ended")

    def do_field(self, shown):
        k.wait_for(lambda: field_visible(self.grab("field"), self.window) == (shown == "shown"), 30, "field " + shown)

    def do_dialog(self, title="File Exists"):
        d = self.dialog = self.wait_window(title, other_than=self.dialog and self.dialog.id)
        self.assertEqual(((k.SCREEN_W - d.width) // 2, (k.SCREEN_H - d.height) // 2), (d.x, d.y), "not centred")
        self.wait_rename(True)

    def dialog_box(self, control, inset=0):
        d = self.dialog
        bx, by = (d.width - 2 * k.FRAME_X) / 266.0, (d.height - k.FRAME_Y - k.FRAME_X) / 74.0
        x, y, w, h = CONTROLS[control]
        return client(d, int(x * bx) + inset, int(y * by) + inset) + (int(w * bx) - 2 * inset, int(h * by) - 2 * inset)

    def wait_rename(self, enabled):
        k.wait_for(lambda: bool(self.grab("dialog").find(self.dialog_box("rename", 3), lambda p: sum(p) < 150))
                   == enabled, 30, "Rename enabled: %s" % enabled)

    def do_greyed(self):
        self.wait_rename(False)

    def do_click(self, control):
        x, y, w, h = self.dialog_box(control)
        self.click(x + w // 2, y + h // 2)

    def do_close(self):
        self.click(self.dialog.x + self.dialog.width - 14, self.dialog.y + 11)
        k.wait_for(lambda: not self.windows("File Exists"), 60, "the dialog to go")

    def do_name(self, name):
        self.answer_new_name(os.path.join(self.target, name))

    def answer_boxes(self):
        """Closes every "Uh-Oh!" box (no caption, no owner); True once the installer ended."""
        for box in self.windows("") if self.running() else ():
            if box.width < k.SCREEN_W and box.id not in self.answered:
                self.answered.add(box.id)
                self.click(box.x + box.width // 2, box.y + box.height - 25)
        return not self.running()

    def do_boxes(self):
        k.wait_for(self.answer_boxes, 120, "the run to end")
        least, most = self.row["boxes"]
        self.assertTrue(least <= len(self.answered) <= most, "%d boxes" % len(self.answered))

    def do_end(self):
        self.wait_exit()


# -- hooks --------------------------------------------------------------------------

def icon_and_browser(t):
    """The maker's icon; Wine opens web addresses with xdg-open from PATH: ours notes them."""
    subprocess.run(["convert", "-size", "32x32", "xc:rgb%s" % (ICON_COLOUR,), "-define", "icon:auto-resize=32,16",
                    os.path.join(t.root, "app.ico")], check=True)
    script = b'#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s/opened.txt"\n' % t.root.encode()
    os.chmod(k.write(os.path.join(t.root, "xdg-open"), script), 0o755)
    t.addCleanup(os.environ.__setitem__, "PATH", os.environ["PATH"])
    os.environ["PATH"] = t.root + os.pathsep + os.environ["PATH"]


def branded(t):
    image = t.grab("main")
    t.assertEqual(32 * 32, len(image.find(client(t.window, 5, 5) + (32, 32), lambda p: p == ICON_COLOUR)), "icon")
    blue = image.find(client(t.window, 0, k.LINK_Y) + (k.MAIN_W - 6, 20), lambda p: p == BLUE)
    t.assertTrue(blue, "no link")
    t.click(*sorted(blue)[len(blue) // 2])
    opened = os.path.join(t.root, "opened.txt")
    t.assertEqual((LINK + "\n").encode(), k.wait_for(lambda: os.path.exists(opened) and read(opened), 60, "xdg-open"))


def times_kept(t):
    for i, name in enumerate(sorted(t.payload)):
        t.assertEqual((BASE_TIME + 3600 * i) * 10**9, os.stat(os.path.join(t.target, name)).st_mtime_ns, name)


def dpi_runs(t):
    """At 96 DPI the window is the reference but for the mended label, the default button's
    frame and the caption's icon; at 192 twice as large, every text whole, grown in step."""
    inks = {}
    t.target = os.path.join(t.prefix, "drive_c", "kelvra-dpi")  # the same text every run
    os.makedirs(t.target)
    for dpi in (96, 192):
        k.edit_registry(os.path.join(t.prefix, "user.reg"), r"Control Panel\\Desktop", {"LogPixels": dpi})
        k.edit_registry(os.path.join(t.prefix, "system.reg"), r"System\\CurrentControlSet\\Hardware Profiles\\"
                        r"Current\\Software\\Fonts", {"LogPixels": dpi})
        t.do_start()
        window = t.do_window()
        scale = lambda v: (v * dpi + 48) // 96
        k.wait_for(lambda: t.grab("link").find(window[1:], lambda p: p == BLUE), 30, "the link")
        shot = k.Image(t.screenshot("window-%d" % dpi, window))
        if dpi == 96:
            ref = k.Image(os.path.join(k.HERE, "..", "data", "window-96dpi.png"))
            skip = [(k.FRAME_X + x, k.FRAME_Y + y, w, h) for x, y, w, h in
                    (TEXT_BOXES["label"], k.BUTTON)] + [(k.FRAME_X, k.FRAME_X, 19, 18)]
            t.assertEqual((ref.width, ref.height), (shot.width, shot.height))
            differ = [(x, y) for y in range(shot.height) for x in range(shot.width)
                      if shot.pixel(x, y) != ref.pixel(x, y)
                      and not any(bx <= x < bx + bw and by <= y < by + bh for bx, by, bw, bh in skip)]
            t.assertEqual([], differ[:20], "the window differs from the reference")
        t.assertLessEqual(abs(window.width - scale(k.MAIN_W)) + abs(window.height - scale(k.MAIN_H)), 8, dpi)
        # Wine's caption grows with the DPI: the client starts one line below its colour.
        top = k.FRAME_X
        while shot.pixel(shot.width // 2, top) == shot.pixel(shot.width // 2, k.FRAME_X):
            top += 1
        for name, box in TEXT_BOXES.items():
            x, y, w, h = (scale(v) for v in box)
            ink = shot.find((k.FRAME_X + x, top + 1 + y, w, h), lambda p: sum(p) < 384)
            t.assertTrue(ink, "no %s at %d DPI" % (name, dpi))
            xs, ys = [p[0] for p in ink], [p[1] for p in ink]
            own_font = name in ("banner", "link")
            # A control's text too large for its box is cut at its right and bottom.
            t.assertTrue(own_font or (max(xs) + 2 < k.FRAME_X + x + w and max(ys) < top + y + h),
                         "the %s is cut at %d DPI" % (name, dpi))
            size = inks.setdefault(dpi, {})[name] = (max(xs) + 1 - min(xs), max(ys) + 1 - min(ys))
            # Grown in step: the window's own fonts both ways; the controls' system font,
            # which Wine draws narrower at high DPI, in height.
            for i in [0, 1] if own_font else [1]:
                want = inks[96][name][i] * dpi / 96.0
                t.assertLessEqual(abs(size[i] - want), 0.15 * want + 3, "the %s's ink at %d DPI" % (name, dpi))
        if dpi == 96:
            t.key("Escape")
            t.do_end()
            t.assertEqual([], k.tree(t.target), "extracted after Escape")
            t.server("-w")
            continue
        # A clash, so that "File Exists" shows at 192 too: Windows scales it from its
        # template's dialog units, which follow the font's average width; Wine's stand-in
        # for "MS Sans Serif" doesn't grow exactly twofold.
        t.make_clash("a.txt")
        fx, fy, fw, fh = k.FIELD
        t.click(window.x + k.FRAME_X + scale(fx + fw // 2), window.y + top + scale(fy + fh // 2))
        t.key("Return")
        t.do_dialog()
        for got, at_96 in zip((t.dialog.width, t.dialog.height), FILE_EXISTS_96):
            t.assertTrue(1.75 * at_96 <= got <= 2.1 * at_96, "File Exists is %dx%d" % (t.dialog.width, t.dialog.height))
        t.key("Return")  # the default button, Replace
        t.do_end()


def big_payload(t):
    big = k.write(os.path.join(t.src, "a-big.bin"), os.urandom(200 << 20))
    t.addCleanup(lambda: [os.unlink(p) for p in (big, t.installer, os.path.join(t.target, "a-big.bin"))
                          if os.path.exists(p)])


def close_beside_prompt(t):
    prompt, window = t.wait_window("New Name"), t.window
    t.assertGreater(window.x + window.width - 14, prompt.x + prompt.width, "the prompt covers the close box")
    t.click(window.x + window.width - 14, window.y + 11)


def system_folder_only(t):
    """Wine loads its own DLLs, display driver and uxtheme before the installer's code,
    which starts after the last DLL attached at process start (a non-null reserved
    argument): every DLL sought by path after that, in the system folder only."""
    t.server("-w")
    with open(os.path.join(t.root, "wine.log"), encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    loaded = 'Loaded L"%s"' % k.windows_path(t.installer).replace("\\", "\\\\")
    pid = next((l.split(":", 1)[0] for l in lines if loaded in l), None)
    own = [l for l in lines if l.startswith("%s:" % pid)]
    at_start = [i for i, l in enumerate(own)
                if re.search(r'process_attach \(L"[^"]*",0*[1-9A-Fa-f][0-9A-Fa-f]*\) - END', l)]
    t.assertTrue(pid and at_start, "the installer's start isn't in the trace")
    by_path = [m.groups() for l in own[at_start[-1] + 1:]
               for m in [re.search(r'load_dll looking for L"([^"]*)" in L"([^"]*)"', l)] if m]
    t.assertTrue(by_path, "no DLL search by path after start")  # the display driver's, at least
    for dll, path in by_path:
        for part in path.replace("\\\\", "\\").split(";"):
            t.assertTrue(part.lower().startswith("c:\\windows\\system32"), "%s sought in %s" % (dll, path))


def holder_started(t):
    os.chmod(os.path.join(t.src, "e-ro-entry.txt"), 0o444)
    ready = os.path.join(t.root, "held")
    t.holder = subprocess.Popen([k.WINE, k.program("helper"), "hold", k.windows_path(
        os.path.join(t.target, "b-held.txt")), k.windows_path(ready)], env=k.wine_env(t.prefix),
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    k.wait_for(lambda: os.path.exists(ready) or t.holder.poll() is not None, 60, "the holder")
    t.assertIsNone(t.holder.poll(), "the holder couldn't open the file")


def small_target(t):
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "kelvra-e2e", t.target],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if mounted.returncode != 0:
        t.skipTest("can't mount a small file system here: " + mounted.stderr.strip())
    t.addCleanup(subprocess.run, ["umount", "-l", t.target])
    t.addCleanup(t.close)


GERMAN = ["Datei vorhanden", "Ersetzen", "Überspringen", "Umbenennen", "Nicht mehr fragen", "Ordner:", "Abbrechen"]
ENGLISH = ["File Exists", "Replace", "Skip", "Rename", "Stop asking", "Expand to:", "Cancel"]


def languages(t):
    """Four runs in one prefix, Wine started again where the locale changes; the texts of
    the dialog and the window (Cancel while asking) read back show what the loader chose."""
    english = t.pack([t.src], output="english.exe", default_dir=k.windows_path(t.target))
    japanese = t.pack([t.src], output="japanese.exe", language="ja", default_dir=k.windows_path(t.target))
    runs = [("de_DE.UTF-8", None, t.installer, GERMAN), ("de_DE.UTF-8", None, english, ENGLISH),
            ("C.UTF-8", None, t.installer, ENGLISH), ("C.UTF-8", "ja_JP.UTF-8", japanese, ENGLISH)]
    for number, (lang, messages, installer, texts) in enumerate(runs):
        if number > 0 and (lang, messages) != runs[number - 1][:2]:
            t.server("-k", check=False)
            t.server("-w", check=False)
        t.installer = installer
        t.do_start(lang, messages)
        t.do_ok()
        t.do_dialog(texts[0])
        out = os.path.join(t.root, "texts-%d.txt" % number)
        k.run([k.WINE, "explorer", k.DESKTOP, k.program("helper"), "texts", k.windows_path(out), texts[0], "Kelvra"],
              env=k.wine_env(t.prefix, t.display), timeout=60)
        shown = k.wait_for(lambda: os.path.exists(out) and read(out).decode().split("\n"), 30, "the texts")
        t.assertEqual([], [text for text in texts if text not in shown], runs[number])
        t.do_click("replace")
        t.do_end()
        t.check_tree()


def link_and_leftover(t):
    """sub, a link out of the target (a reparse point to Wine); a read-only temporary."""
    os.makedirs(os.path.join(t.root, "outside"))
    os.symlink(os.path.join(t.root, "outside"), os.path.join(t.target, "sub"))
    os.chmod(k.write(os.path.join(t.target, "a.txt.kelvra-new"), b"left by a run cut short"), 0o444)


def flip(t):
    """A byte of the first entry's data: the archive starts at the end of the last section."""
    data = read(t.installer)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
    at = 3 + max(sum(struct.unpack_from("<II", data, table + 40 * i + 16))
                 for i in range(struct.unpack_from("<H", data, pe + 6)[0]))
    with open(t.installer, "r+b") as f:  # in place: the installer may be running
        f.seek(at)
        f.write(bytes([data[at] ^ 0x10]))


def check(predicate, what, timeout=30):
    """A hook that waits for predicate(t)."""
    return lambda t: k.wait_for(lambda: predicate(t), timeout, what)


# A box for the changed entry; the run goes on to its end, then waits with the window up.
stopped_with_window_up = check(lambda t: (t.answer_boxes() or True) and t.answered and not t.windows("File Exists")
                               and t.running() and os.path.exists(t.target + "/setup.exe"), "the window to wait", 120)


NEW = lambda *names: {n: b"new " + n.encode() + b"\n" for n in names}
AT_TARGET = {"default_dir": "{target}"}
RUN_SETUP = {"run": "setup", "default_dir": "{target}"}

SCENARIOS = [
    # Branded, the strongest level; the after-run program in a folder, without its extension.
    dict(name="typical", files=dict(SAMPLE, **{
        "tools/setup.exe": SETUP, "multi/chunk.bin": bytes(range(256)) * 120 + os.urandom(25000), "empty.txt": b"",
        "text/lines.txt": b"".join(b"line %d\r\n" % i for i in range(3000))}),
         pack=dict(run="tools\\setup", arg1="one", arg2="two", level="max", prompt="Install the sample here:",
                   default_dir="{target}", icon="{dir}/app.ico", link=LINK, execution_level="requireAdministrator",
                   version_info="product_name=My App"), before=icon_and_browser,
         probe=[("tools\\setup one two", "{target}")], steps=["start", "window", branded, "ok", "end", times_kept]),
    dict(name="dpi", files={"a.txt": b"alpha\n"}, tree="a.txt", steps=[dpi_runs],
         pack=dict(prompt="Install the sample here:", default_dir="C:\\kelvra-dpi")),
    # A wrong password (Tab takes the focus to the button, which answers space), then the
    # right one; the proposal missing and not made, a relative name from the start folder.
    dict(name="password", pack=dict(run="setup", default_dir="{root}\\missing", password="Open Sesame!"),
         cwd="", probe=[("setup  ", "{target}")], steps=[
             "start", "window", "field:shown", "fill:open sesame!", "key:Tab space", "field:hidden", "running", "ok",
             "end", "start", "window", "field:shown", "fill:Open Sesame!", "key:Return", "ok", "fill:target",
             "key:Return", "end", check(lambda t: not os.path.exists(t.root + "/missing"), "missing made")]),
    # The dialog's close box skips that file and stops; in a second run the main window's
    # close box beside the save-as prompt (no owner) ends it; in a third Skip all does.
    dict(name="dialog_and_prompt_closed", files=dict(NEW("a.txt", "b.txt", "c.txt"), **{"setup.exe": SETUP}),
         pack=RUN_SETUP, clash=("b.txt", "c.txt"), probe=[("setup  ", "{target}")], steps=[
             "start", "ok", "dialog", "close", "running", "ok", "end", "start", "ok", "dialog", "click:rename",
             close_beside_prompt, "end", "start", "ok", "dialog", "click:stop", "click:skip", "end"],
         tree="a.txt old:b.txt old:c.txt setup.exe ?:" + PROBE_FILE),
    # TEMP proposed, "." in it the start folder (TMP is another); Cancel while writing.
    dict(name="cancel_long_extraction", files={"b-after.txt": b"after\n", "setup.exe": SETUP},
         pack=dict(run="setup", level=1), env={"TEMP": ".", "TMP": "{root}"}, cwd="target", before=big_payload,
         tree="?:a-big.bin", probe=[], steps=[
             "start", "ok", check(lambda t: os.path.exists(t.target + "/a-big.bin"), "the big file"), "ok", "end",
             check(lambda t: os.path.getsize(t.target + "/a-big.bin") < 200 << 20, "cut short")]),
    # DLLs sought in the system folder only, through the window, dialog and save-as prompt.
    dict(name="dll_search_after_start", debug="+pid,+loaddll,+module", pack=AT_TARGET, clash=("docs/guide.txt",),
         files={"docs/guide.txt": b"new guide\n", "docs/more.txt": b"more\n", "top.txt": b"top\n"},
         tree="old:docs/guide.txt docs/guide-renamed.txt=docs/guide.txt docs/more.txt top.txt",
         steps=["start", "ok", "dialog", "click:rename", "name:docs/guide-renamed.txt", "end", system_folder_only]),
    # Skip one (Stop asking ticked twice is not ticked), then Replace all: the held file is
    # kept as it was, the marked ones get the archive's content and attributes.
    dict(name="answers_over_held_and_marked_files", pack=AT_TARGET, files=dict(NEW(
        "a.txt", "b-held.txt", "c-rhs.txt", "d-hs.txt", "e-ro-entry.txt", "f-new.txt")),
         clash=("a.txt", "b-held.txt", "c-rhs.txt", "d-hs.txt", "e-ro-entry.txt"),
         marks={"b-held.txt": "RH", "c-rhs.txt": "RHS", "d-hs.txt": "HS", "e-ro-entry.txt": "H"},
         before=holder_started, tree="old:a.txt old:b-held.txt c-rhs.txt d-hs.txt e-ro-entry.txt f-new.txt",
         attributes={"b-held.txt": "ARH", "e-ro-entry.txt": "AR", "*": "A"}, steps=[
             "start", "ok", "dialog", "click:stop", "click:stop", "click:skip", "dialog", "click:stop", "greyed",
             "click:replace", "end", check(lambda t: t.holder.poll() is None, "the holder to hold on")]),
    # The target fills up inside the second file: a box for each failed write.
    dict(name="target_fills_up", pack=AT_TARGET, before=small_target, boxes=(2, 99),
         files={"a.txt": os.urandom(20000), "b-big.bin": os.urandom(80000), "c-after.txt": b"after\n"},
         tree="a.txt ?:b-big.bin ?:c-after.txt", steps=["start", "ok", "boxes", "end"]),
    dict(name="languages", files={"a.txt": b"new a\n"}, clash=("a.txt",), steps=[languages],
         pack=dict(output="german.exe", language="de", default_dir="{target}")),
    # Folders code page 1252 can't spell: the installer finds itself and proposes TMP (TEMP
    # unset). The entry below the link gets a box; Enter replaces a.txt beside the leftover.
    dict(name="link_in_target_not_followed", target="Иван/Temp", env={"TEMP": None, "TMP": "{target}"},
         lang="C.UTF-8", files={"a.txt": b"new a\n", "sub/evil.txt": b"through the link\n", "z.txt": b"z\n"},
         clash=("a.txt",), pack=dict(output="{dir}/Иван/Загрузки/setup.exe"), before=link_and_leftover,
         boxes=(1, 1), tree="a.txt ?:sub z.txt", steps=["start", "ok", "dialog", "key:Return", "boxes", "end"]),
    # Changed after the check: Replace keeps the old file, "This file is corrupted." and the
    # window waits; run again, it says so at once.
    dict(name="damaged", files={"a-config.ini": b"new settings\n" * 200, "setup.exe": SETUP},
         pack=RUN_SETUP, clash=("a-config.ini",), tree="old:a-config.ini setup.exe", probe=[],
         steps=["start", "window", flip, "ok", "dialog", "click:replace", stopped_with_window_up, "running", "ok",
                "end", "start", "window", "damaged", "ok", "end"]),
]

for _row in SCENARIOS:
    setattr(Play, "test_" + _row["name"], lambda self, row=_row: self.play(row))
