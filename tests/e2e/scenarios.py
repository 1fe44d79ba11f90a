# The end-to-end scenarios: a row each in SCENARIOS (CTest's e2e.NAME and i686.NAME,
# CMakeLists.txt reads the names from here), all played by Play. A row's fields:
#   files   the payload, name -> bytes (SETUP: the sample's setup program); default the
#           sample folder and setup.exe
#   pack    create's options: {target}, {root} and each folder of empty as Windows
#           paths, {dir} the root's Linux path
#   target  the target below the scenario's root; clash: files already there ("old
#           NAME", OLD_TIME); marks: their attribute letters
#   env     the user's environment in the prefix (None removes); cwd, lang, debug: the start's
#   before  a hook once the payload and clashes are written; steps: the user's acts and
#           looks, "verb[:argument]" (the do_ methods) or hooks, called with the test
#   tree    the target's files after: NAME the payload's bytes and time, old:NAME the clash
#           kept, ?:NAME there, NEW=NAME NAME's written as NEW; default the payload and the
#           after-run record
#   probe   the after-run program's records (command line, folder), [] for none started;
#   empty   folders of the root that stay empty; attributes: attrib's letters after
#           ("*": the rest); boxes: the "Uh-Oh!" boxes answered (least, most or None)
#   cases   variants of the row, each run in a prefix of its own
import contextlib
import os
import re
import shutil
import stat
import struct
import subprocess
import unittest
import zlib

import kelvra_e2e as k
from kelvra_e2e import read

SAMPLE_DIR = os.path.join(k.HERE, "..", "..", "examples", "sample")
SAMPLE = {os.path.relpath(os.path.join(d, n), SAMPLE_DIR): read(os.path.join(d, n))
          for d, _, names in os.walk(SAMPLE_DIR) for n in names}
SETUP = b"<the sample's setup program>"
PROBE_FILE = "kelvra-setup-ran.txt"
BASE_TIME, OLD_TIME = 1000000000, 500000000  # whole seconds, so that times compare exactly
ICON_COLOUR, ICON_BOX = (0, 160, 0), (5, 5, 32, 32)
BLUE = (0, 0, 255)
LINK = "https://example.com/my-app"
# Dialog 101's controls in dialog units, its client 266 x 74 of them.
CONTROLS = {"replace": (7, 33, 79, 17), "skip": (93, 33, 79, 17), "rename": (179, 33, 79, 17),
            "stop": (7, 56, 11, 11)}
# Today's window at 96 DPI (made before the window scaled itself): the window at 96 DPI
# must still match it pixel for pixel.
REFERENCE_96 = os.path.join(k.HERE, "..", "data", "window-96dpi.png")
# The window's texts at 96 DPI, in client pixels; the last two are drawn in the window's
# own fonts.
TEXT_BOXES = {"label": (10, 77, 70, 20), "message": (40, 5, 340, 65), "banner": (0, 138, 384, 15),
              "link": (0, 153, 384, 20)}
OWN_FONTS = ("banner", "link")
FILE_EXISTS_96 = (472, 145)  # the "File Exists" dialog's outer size at 96 DPI under Wine


def dark(p):
    return sum(p) < 384


def field_visible(image, window):
    """The directory/password field's sunken top edge: drawn, or plain background."""
    (cx, cy), (fx, fy, fw, _) = window.client, k.FIELD
    drawn = sum(1 for x in range(fx + 1, fx + fw - 2) if sum(image.pixel(cx + x, cy + fy)) < 600)
    if drawn not in (0, fw - 3):
        raise AssertionError("the field's edge is partly drawn (%d of %d pixels)" % (drawn, fw - 3))
    return drawn > 0


def label_pixels(image, window):
    """The row's label ("Password:" or "Expand to:"), as raw pixels."""
    cx, cy = window.client
    return [image.pixel(cx + x, cy + y) for y in range(77, 97) for x in range(10, 80)]


def probe_records(folder):
    path = os.path.join(folder, PROBE_FILE)
    text = read(path).decode("latin-1") if os.path.exists(path) else ""
    return re.findall(r"command line: \[(.*)\]\r\nworking directory: \[(.*)\]\r\n", text)


def flip(t):
    """Changes one byte inside the first entry's first chunk: the archive starts at the
    end of the installer's last section (create rewrites the stub's resources)."""
    head = read(t.installer)[:4096]
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    table = pe + 24 + struct.unpack_from("<H", head, pe + 20)[0]
    start = max(sum(struct.unpack_from("<II", head, table + 40 * i + 16))
                for i in range(struct.unpack_from("<H", head, pe + 6)[0]))
    with open(t.installer, "r+b") as f:
        f.seek(start + 3)
        byte = f.read(1)[0]
        f.seek(start + 3)
        f.write(bytes([byte ^ 0x10]))


def installer_processes(name):
    """Processes whose command line names the installer file."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            cmdline = read("/proc/%s/cmdline" % pid)
            if name.encode() in cmdline and b"explorer" not in cmdline:
                found.append(pid)
    return found


def attrib(s, commands):
    """Runs attrib commands in one start of Wine's cmd (a start costs seconds, a minute in
    the virtual machine): a batch file, one command a line; their output lines."""
    if not commands:
        return []
    batch = os.path.join(s.root, "attrib.bat")
    with open(batch, "w", newline="\r\n") as f:
        f.write("@echo off\n" + "".join("attrib %s\n" % command for command in commands))
    shown = k._run([k.WINE, "cmd", "/c", k.windows_path(batch)], env=k.wine_env(s.prefix)).stdout
    return [line for line in shown.splitlines() if line.strip()]


def attributes(s, paths):
    """Each file's attribute letters as Windows' attrib shows them, e.g. {"A", "R"}."""
    lines = attrib(s, ['"%s"' % k.windows_path(path) for path in paths])
    return [{c for c in line.split("Z:", 1)[0] if c.isalpha()} for line in lines]


class Play(unittest.TestCase):
    """Plays a row: the scenario's folders and prefix, the payload and clashes, the
    installer, the steps, then the checks of what the run left."""

    def play(self, row):
        for label, case in (row.get("cases") or {"": {}}).items():
            with self.subTest(label) if label else contextlib.nullcontext():
                self.row = dict(row, **case)
                self.play_one(row["name"] + ("-" + label if label else ""))

    def play_one(self, name):
        row = self.row
        s = self.s = k.Scenario(name)
        self.addCleanup(s.close)
        s.__enter__()
        self.window = self.last = self.dialog = None
        self.answered = set()
        s.target = os.path.join(s.root, row.get("target", "target"))
        os.makedirs(s.target, exist_ok=True)
        places = dict(target=k.windows_path(s.target), root=k.windows_path(s.root), dir=s.root)
        for folder in row.get("empty", ()):
            os.makedirs(os.path.join(s.root, folder))
            places[folder] = k.windows_path(os.path.join(s.root, folder))
        self.place = lambda v: v.format(**places) if isinstance(v, str) else v
        self.src = os.path.join(s.root, "payload")
        self.expected = {}
        for i, (name, content) in enumerate(sorted(row.get("files", dict(SAMPLE, **{"setup.exe": SETUP})).items())):
            path = os.path.join(self.src, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(read(k.probe_program()) if content is SETUP else content)
            os.utime(path, (BASE_TIME + 3600 * i,) * 2)
            self.expected[name] = (read(path), BASE_TIME + 3600 * i)
        for name in row.get("clash", ()):
            self.make_clash(s.target, name)
        marks = row.get("marks", {})
        # One flag a command: Wine's attrib takes only the last of several.
        attrib(s, ['+%s "%s"' % (letter.lower(), k.windows_path(os.path.join(s.target, name)))
                   for name, letters in marks.items() for letter in letters])
        shown = attributes(s, [os.path.join(s.target, name) for name in marks])
        self.assertEqual([set(letters.upper()) | {"A"} for letters in marks.values()], shown)
        if row.get("before"):
            row["before"](self)
        options = {n: self.place(v) for n, v in row.get("pack", {}).items()}
        if os.path.isabs(options.get("output", "")):
            os.makedirs(os.path.dirname(options["output"]), exist_ok=True)
        self.installer = s.pack([self.src], **options)
        if row.get("env"):
            k.edit_registry(os.path.join(s.prefix, "user.reg"), "Environment",
                            {n: self.place(v) for n, v in row["env"].items()})
        for step in row["steps"]:
            if callable(step):
                step(self)
            else:
                verb, _, argument = step.partition(":")
                getattr(self, "do_" + verb)(*[argument] if argument else [])
        if row.get("probe") == []:
            # Once every Wine process of the prefix has ended nothing can start late.
            s.server("-w")
            self.assertEqual([], probe_records(s.target))
        elif row.get("probe"):
            want = [(line, self.place(folder)) for line, folder in row["probe"]]
            self.assertEqual(want, k.wait_for(lambda: probe_records(s.target), 30, "the after-run program's record"))
        self.check_tree()
        for folder in row.get("empty", ()):
            self.assertEqual([], os.listdir(os.path.join(s.root, folder)), folder)
        want = row.get("attributes", {})
        names = sorted(want and k.tree(s.target))
        shown = attributes(s, [os.path.join(s.target, name) for name in names])
        self.assertEqual({name: set(want.get(name, want["*"])) for name in names}, dict(zip(names, shown)))
        s.close()

    def make_clash(self, target, name):
        path = os.path.join(target, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b"old " + name.encode())
        os.utime(path, (OLD_TIME, OLD_TIME))

    def check_tree(self):
        target, tree = self.s.target, self.row.get("tree")
        if tree is None:
            tree = " ".join(sorted(self.expected) + (["?:" + PROBE_FILE] if self.row.get("probe") else []))
        entries = [(kind, name.partition("=")) for kind, _, name in (w.rpartition(":") for w in tree.split())]
        self.assertEqual(sorted(name for _, (name, _, _) in entries), k.tree(target))
        for kind, (name, _, source) in entries:
            path = os.path.join(target, name)
            if kind == "old":
                self.assertEqual((b"old " + name.encode(), OLD_TIME * 10**9),
                                 (read(path), os.stat(path).st_mtime_ns), name)
            elif kind != "?":
                content, mtime = self.expected[source or name]
                self.assertEqual((content, mtime * 10**9), (read(path), os.stat(path).st_mtime_ns), name)

    # -- the steps ----------------------------------------------------------------

    def do_start(self, lang=None, messages=None):
        row = self.row
        self.s.start(self.installer, cwd=getattr(self.s, row["cwd"]) if row.get("cwd") else None,
                     lang=lang or row.get("lang"), messages=messages, debug=row.get("debug"))
        self.window = self.dialog = None

    def do_window(self):
        self.window = self.last = self.s.wait_window("Kelvra")
        return self.window

    def do_look(self, damaged=None):
        """Placement, size, the centred link and banner (none on a damaged installer), the
        field (hidden on a damaged one)."""
        s, window = self.s, self.window
        self.assertEqual((k.MAIN_W, k.MAIN_H), (window.width, window.height))
        self.assertEqual(((k.SCREEN_W - k.MAIN_W) // 2, (k.SCREEN_H - k.MAIN_H) // 3), (window.x, window.y))
        image = self.image = s.grab("main")
        (cx, cy), width = window.client, k.MAIN_W - 2 * k.FRAME_X
        blue = image.find((cx, cy + k.LINK_Y, width, 20), lambda p: p == BLUE)
        self.assertTrue(blue, "no pure blue link below y=%d" % k.LINK_Y)
        self.assertLessEqual(abs(min(x for x, _ in blue) + max(x for x, _ in blue) + 1 - 2 * cx - width), 2,
                             "link not centred")
        ink = image.find((cx, cy + k.BANNER_Y, width, k.LINK_Y - k.BANNER_Y), lambda p: sum(p) < 200)
        if damaged:
            self.assertEqual([], ink, "a banner is drawn")
        else:
            # The banner ends in ", ": its measured width has a blank without ink, so
            # a centred banner leaves a little more room right of its ink than left.
            self.assertTrue(ink, "no banner")
            slack = width - (min(x for x, _ in ink) + max(x for x, _ in ink) + 1 - 2 * cx)
            self.assertTrue(0 <= slack <= 12, "banner not centred (slack %d)" % slack)
        self.assertEqual(not damaged, field_visible(image, window))
        self.assertTrue(damaged is None or s.running())

    def do_ok(self):
        self.s.press_button(self.window or self.do_window())

    def do_fill(self, text):
        self.s.fill_field(self.window, text)

    def do_key(self, keys):
        self.s.key(*keys.split())

    def do_shot(self, label):
        self.s.screenshot(label, self.last)

    def do_running(self):
        self.assertTrue(self.s.running(), "the installer ended")

    def do_field(self, shown):
        k.wait_for(lambda: field_visible(self.s.grab("field"), self.window) == (shown == "shown"), 30,
                   "the field to be " + shown)

    def do_dialog(self, title="File Exists"):
        """The next question, a new dialog each time, centred, Rename enabled."""
        s = self.s
        dialog = self.dialog = self.last = s.wait_window(title, other_than=self.dialog and self.dialog.id)
        self.assertEqual(((k.SCREEN_W - dialog.width) // 2, (k.SCREEN_H - dialog.height) // 2),
                         (dialog.x, dialog.y), "dialog not centred")
        self.wait_rename(True)

    def dialog_box(self, control, inset=0):
        """A control of the dialog, given in dialog units, in screen pixels."""
        d = self.dialog
        bx, by = (d.width - 2 * k.FRAME_X) / 266.0, (d.height - k.FRAME_Y - k.FRAME_X) / 74.0
        x, y, w, h = CONTROLS[control]
        return (d.x + k.FRAME_X + int(x * bx) + inset, d.y + k.FRAME_Y + int(y * by) + inset,
                int(w * bx) - 2 * inset, int(h * by) - 2 * inset)

    def wait_rename(self, enabled):
        """Rename's text: near-black while enabled, none once greyed."""
        k.wait_for(lambda: bool(self.s.grab("dialog").find(self.dialog_box("rename", 3), lambda p: sum(p) < 150))
                   == enabled, 30, "Rename to be %s" % ("enabled" if enabled else "greyed"))

    def do_greyed(self):
        self.wait_rename(False)

    def do_click(self, control):
        """A control of the dialog; an answer leaves the main window in front."""
        x, y, w, h = self.dialog_box(control)
        self.s.click(x + w // 2, y + h // 2)
        self.last = self.last if control == "stop" else self.window

    def do_close(self):
        """The dialog's close box; the main window is what is left."""
        d = self.dialog
        self.s.click(d.x + d.width - 14, d.y + 11)
        k.wait_for(lambda: not self.s.windows("File Exists"), 60, "the dialog to go")
        self.last = self.window

    def do_name(self, name):
        self.s.answer_new_name(os.path.join(self.s.target, name), screenshot="new-name-prompt")

    def answer_boxes(self):
        """Closes every "Uh-Oh!" box showing (no caption, no owner); True once the
        installer has ended."""
        for box in self.s.windows("") if self.s.running() else ():
            if box.width < k.SCREEN_W and box.id not in self.answered:
                self.answered.add(box.id)
                self.s.click(box.x + box.width // 2, box.y + box.height - 25)
        return not self.s.running()

    def do_boxes(self):
        k.wait_for(self.answer_boxes, 120, "the run to end", interval=0.2)
        least, most = self.row["boxes"]
        self.assertTrue(least <= len(self.answered) <= (most or least + 99), "%d boxes" % len(self.answered))

    def do_end(self):
        s = self.s
        s.wait_exit()
        self.assertEqual([], s.windows("Kelvra"))
        name = k.windows_path(self.installer)
        k.wait_for(lambda: not installer_processes(name), 10, "%s to end" % name)


# -- hooks --------------------------------------------------------------------------

def icon_and_browser(t):
    """The maker's icon: an .ico of two PNG images, 32 and 16 pixels, all of
    ICON_COLOUR. Wine opens web addresses with xdg-open from PATH: one of ours, on a
    PATH of this test's own process, writes down what it was given."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    images = [(n, b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0))
               + chunk(b"IDAT", zlib.compress(b"".join(b"\0" + bytes(ICON_COLOUR + (255,)) * n for _ in range(n))))
               + chunk(b"IEND", b"")) for n in (32, 16)]
    out, offset = struct.pack("<HHH", 0, 1, len(images)), 6 + 16 * len(images)
    for n, data in images:
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(os.path.join(t.s.root, "app.ico"), "wb") as f:
        f.write(out + b"".join(data for _, data in images))
    folder = os.path.join(t.s.root, "browser")
    os.makedirs(folder)
    t.opened, script = os.path.join(folder, "opened.txt"), os.path.join(folder, "xdg-open")
    with open(script, "w") as f:
        f.write('#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\n' % t.opened)
    os.chmod(script, os.stat(script).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    t.addCleanup(os.environ.__setitem__, "PATH", os.environ.get("PATH", ""))
    os.environ["PATH"] = folder + os.pathsep + os.environ.get("PATH", "")


def icon_drawn_link_opened(t):
    """Every pixel of the icon drawn is the maker's; a click on the link opens it."""
    cx, cy = t.window.client
    x, y, w, h = ICON_BOX
    drawn = t.image.find((cx + x, cy + y, w, h), lambda p: p == ICON_COLOUR)
    t.assertEqual(w * h, len(drawn), "the maker's icon is not drawn")
    blue = t.image.find((cx, cy + k.LINK_Y, k.MAIN_W - 2 * k.FRAME_X, 20), lambda p: p == BLUE)
    xs, ys = sorted(x for x, _ in blue), sorted(y for _, y in blue)
    t.s.click(xs[len(xs) // 2], ys[len(ys) // 2])
    opened = k.wait_for(lambda: os.path.exists(t.opened) and read(t.opened), 60, "the link to be opened")
    t.assertEqual((LINK + "\n").encode(), opened)


def client_top(image):
    """The client area's top in a window's picture: Wine's caption grows with the DPI.
    Below the 3-pixel border, the caption's colour, then one light line."""
    caption, y = image.pixel(image.width // 2, k.FRAME_X), k.FRAME_X
    while image.pixel(image.width // 2, y) == caption:
        y += 1
    return y + 1


def dpi_runs(t):
    """One installer in one prefix at 96, 144 and 192 DPI. At 96 the window is today's,
    pixel for pixel but for the mended "Expand to:" label, and Escape closes it before
    anything is extracted; at 144 and 192 it is 1.5 and 2 times as large with every text
    whole (its ink grown in step, not cut by its box); at 192 Enter in the directory
    field extracts, and the "File Exists" dialog is twice its size and answers Enter."""
    s, inks = t.s, {}
    # A fixed folder, so that the window shows the same text on every run.
    s.target = os.path.join(s.prefix, "drive_c", "kelvra-dpi")
    for dpi in (96, 144, 192):
        shutil.rmtree(s.target, ignore_errors=True)
        os.makedirs(s.target)
        k.set_dpi(s.prefix, dpi)
        t.do_start()
        window = t.do_window()
        scale = lambda v: (v * dpi + 48) // 96
        # The window is drawn once its link is: the last thing painted.
        k.wait_for(lambda: s.grab("link").find((window.x, window.y, window.width, window.height),
                                              lambda p: p == BLUE), 30, "the link")
        shot = k.Image(s.screenshot("window-%d" % dpi, window))
        if dpi == 96:
            # The label is mended; the button, now the default one, has the default
            # button's frame; and the caption's 16-pixel icon, which Wine shrinks from
            # the 32-pixel image, now a PNG with an alpha channel, has its outline a
            # pixel thinner at the sides.
            skip = [(k.FRAME_X + x, k.FRAME_Y + y, w, h) for x, y, w, h in
                    (TEXT_BOXES["label"], k.BUTTON)] + [(k.FRAME_X, k.FRAME_X, 19, 18)]
            t.assertEqual([], shot.differences(k.Image(REFERENCE_96), skip=skip)[:20],
                          "the window differs from today's outside the label and the button")
        else:
            t.assertLessEqual(abs(window.width - scale(k.MAIN_W)), 4, "width at %d DPI" % dpi)
            t.assertLessEqual(abs(window.height - scale(k.MAIN_H)), 4, "height at %d DPI" % dpi)
        top = client_top(shot)
        for name, box in TEXT_BOXES.items():
            x, y, w, h = (scale(v) for v in box)
            ink = shot.find((k.FRAME_X + x, top + y, w, h), dark)
            t.assertTrue(ink, "no %s at %d DPI" % (name, dpi))
            left, right = min(p[0] for p in ink), max(p[0] for p in ink) + 1
            ink_top, bottom = min(p[1] for p in ink), max(p[1] for p in ink) + 1
            size = (right - left, bottom - ink_top)
            if name not in OWN_FONTS:
                # A control's text is whole when clear of the right and bottom edges of
                # its box, where a text too large for it would be cut.
                t.assertLess(right, k.FRAME_X + x + w - 1, "the %s is cut at %d DPI" % (name, dpi))
                t.assertLess(bottom, top + y + h, "the %s is cut at %d DPI" % (name, dpi))
            if dpi == 96:
                inks[name] = size
                continue
            # Grown in step: the window's own fonts in both directions; the controls'
            # system font, which Wine draws narrower at high DPI, in height.
            for i in [0, 1] if name in OWN_FONTS else [1]:
                want = inks[name][i] * dpi / 96.0
                t.assertTrue(abs(size[i] - want) <= 0.15 * want + 3, "the %s's ink is %d pixels %s at %d DPI, %d "
                             "at 96" % (name, size[i], ("wide", "high")[i], dpi, inks[name][i]))
        if dpi < 192:
            s.key("Escape")
            t.do_end()
            t.assertEqual([], k.tree(s.target), "extracted after Escape")
            s.server("-w")
            continue
        # A clash, so that the "File Exists" dialog shows at this DPI too: Windows
        # scales it from its template's dialog units.
        t.make_clash(s.target, "a.txt")
        fx, fy, fw, fh = k.FIELD
        s.click(window.x + k.FRAME_X + scale(fx + fw // 2), window.y + top + scale(fy + fh // 2))
        s.key("Return")
        t.dialog = t.last = s.wait_window("File Exists")
        t.wait_rename(True)
        t.do_shot("file-exists-%d" % dpi)
        # Dialog units follow the font's average character width, which Wine's stand-in
        # for "MS Sans Serif" doesn't grow exactly twofold (871 x 265 at 192 DPI):
        # larger by most of the scale, and no more than it.
        for got, at_96 in zip((t.dialog.width, t.dialog.height), FILE_EXISTS_96):
            t.assertTrue(1.75 * at_96 <= got <= 2.1 * at_96, "the dialog is %dx%d at 192 DPI"
                         % (t.dialog.width, t.dialog.height))
        s.key("Return")  # the dialog's default button, Replace
        t.do_end()


def password_asked(t):
    window, asked = t.do_window(), t.s.grab("asked")
    t.assertTrue(field_visible(asked, window))
    t.asked_label = label_pixels(asked, window)


def directory_row(t):
    """The directory row takes the password row's place: its label changes, the field stays."""
    k.wait_for(lambda: label_pixels(t.s.grab("label"), t.window) != t.asked_label, 30, "the directory row")
    t.assertTrue(field_visible(t.s.grab("directory"), t.window))


def missing_not_made(t):
    t.assertFalse(os.path.exists(os.path.join(t.s.root, "missing")), "the missing folder was created")


BIG = 200 << 20


def big_payload(t):
    """200 MiB that doesn't compress, removed with the installer once checked."""
    big = os.path.join(t.src, "a-big.bin")
    with open(big, "wb") as f:
        for _ in range(BIG >> 20):
            f.write(os.urandom(1 << 20))
    t.addCleanup(lambda: [os.unlink(p) for p in (big, t.installer, os.path.join(t.s.target, "a-big.bin"))
                          if os.path.exists(p)])


def extracting(t):
    big = os.path.join(t.s.target, "a-big.bin")
    k.wait_for(lambda: os.path.exists(big) and os.path.getsize(big) > 0, 30, "the big file")


def cut_short(t):
    t.assertLess(os.path.getsize(os.path.join(t.s.target, "a-big.bin")), BIG, "the extraction ran to its end")


def close_beside_prompt(t):
    """The save-as prompt has no owner: the main window's close box stays in reach."""
    prompt, window = t.s.wait_window("New Name"), t.window
    close_box = (window.x + window.width - 14, window.y + 11)
    t.assertGreater(close_box[0], prompt.x + prompt.width, "the prompt covers the close box")
    t.s.click(*close_box)


def system_folder_only(t):
    """Every DLL the installer's process had the system look for by name once its own
    code ran was sought in the system folder only. Wine resolves its own DLLs' imports
    with its fixed search path (logged as null) and loads its display driver and uxtheme
    before any program code: the signal is the search path. The program's code starts
    after the last DLL attached at process start, which gets a non-null reserved
    argument; a LoadLibrary later a null one."""
    t.s.server("-w")
    with open(os.path.join(t.s.root, "wine.log"), encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    loaded = 'Loaded L"%s"' % k.windows_path(t.installer).replace("\\", "\\\\")
    pid = next((l.split(":", 1)[0] for l in lines if loaded in l), None)
    t.assertIsNotNone(pid, "the installer's process isn't in the trace")
    own = [l for l in lines if l.startswith(pid + ":")]
    at_start = [i for i, l in enumerate(own)
                if re.search(r'process_attach \(L"[^"]*",0*[1-9A-Fa-f][0-9A-Fa-f]*\) - END', l)]
    t.assertTrue(at_start, "no DLL attached at the installer's start")
    by_path = [m.groups() for l in own[at_start[-1] + 1:]
               for m in [re.search(r'load_dll looking for L"([^"]*)" in L"([^"]*)"', l)] if m]
    # The display driver is asked for by name when the first window opens.
    t.assertTrue(by_path, "no DLL search by path after start")
    for dll, path in by_path:
        for part in path.replace("\\\\", "\\").split(";"):
            t.assertTrue(part.lower().startswith("c:\\windows\\system32"), "%s sought in %s" % (dll, path))


def holder_started(t):
    """b-held.txt held open without sharing by another program; the read-only entry."""
    os.chmod(os.path.join(t.src, "e-ro-entry.txt"), 0o444)
    held, ready = os.path.join(t.s.target, "b-held.txt"), os.path.join(t.s.root, "held")
    t.holder = subprocess.Popen([k.WINE, k.helper_program("holder"), k.windows_path(held), k.windows_path(ready)],
                                env=k.wine_env(t.s.prefix), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
    t.addCleanup(lambda: (t.holder.poll() is None and os.killpg(t.holder.pid, 9), t.holder.wait(timeout=60)))
    k.wait_for(lambda: os.path.exists(ready) or t.holder.poll() is not None, 60, "the holder")
    t.assertIsNone(t.holder.poll(), "the holder couldn't open the file")


def holder_alive(t):
    t.assertIsNone(t.holder.poll(), "the holder ended before the installer")


def small_target(t):
    """The target on a 64 KiB file system, unmounted after the scenario's teardown."""
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "kelvra-e2e", t.s.target],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if mounted.returncode != 0:
        t.skipTest("can't mount a small file system here: " + mounted.stderr.strip())
    t.addCleanup(subprocess.run, ["umount", "-l", t.s.target])
    t.addCleanup(t.s.close)


def partly_written(t):
    """The file that didn't fit holds what did; the one after it stays empty."""
    written, whole = read(os.path.join(t.s.target, "b-big.bin")), t.expected["b-big.bin"][0]
    t.assertTrue(0 < len(written) < len(whole), len(written))
    t.assertEqual(whole[:len(written)], written)
    t.assertEqual(b"", read(os.path.join(t.s.target, "c-after.txt")))


IN_GERMAN = ["Datei vorhanden", "Ersetzen", "Überspringen", "Umbenennen", "Nicht mehr fragen", "Ordner:",
             "Abbrechen"]
IN_ENGLISH = ["File Exists", "Replace", "Skip", "Rename", "Stop asking", "Expand to:", "Cancel"]


def languages(t):
    """Four runs in one prefix, Wine started again only where the locale changes: the
    dialog's title, buttons and box, the window's folder label and its button (Cancel
    while the question is open), read by a Windows program on the installer's desktop
    (the texts are resources: reading them back is the only check of what the loader
    chose). A Japanese UI over code page 1252 can't show Japanese through the ANSI
    functions: English there."""
    s, german = t.s, t.installer
    english = s.pack([t.src], output="english.exe", default_dir=k.windows_path(s.target))
    japanese = s.pack([t.src], output="japanese.exe", language="ja", default_dir=k.windows_path(s.target))
    runs = [("de_DE.UTF-8", None, german, IN_GERMAN), ("de_DE.UTF-8", None, english, IN_ENGLISH),
            ("C.UTF-8", None, german, IN_ENGLISH), ("C.UTF-8", "ja_JP.UTF-8", japanese, IN_ENGLISH)]
    for number, (lang, messages, installer, texts) in enumerate(runs):
        with t.subTest(lang=lang, messages=messages, installer=os.path.basename(installer)):
            if number > 0 and (lang, messages) != runs[number - 1][:2]:
                s.server("-k", check=False)
                s.server("-w", check=False)
            t.installer = installer
            t.do_start(lang, messages)
            t.do_ok()
            t.do_dialog(texts[0])
            out = os.path.join(s.root, "texts-%d.txt" % number)
            k._run([k.WINE, "explorer", k.DESKTOP, k.helper_program("texts"), k.windows_path(out), texts[0],
                    "Kelvra"], env=k.wine_env(s.prefix, s.display), timeout=60)
            shown = k.wait_for(lambda: os.path.exists(out) and read(out).decode().split("\n"), 30, "the texts")
            for text in texts:
                t.assertIn(text, shown)
            s.screenshot("%s-%s" % (os.path.basename(installer)[:-4], (messages or lang).split(".")[0]))
            t.do_click("replace")
            t.do_end()
            t.check_tree()


def link_and_leftover(t):
    """sub, a link out of the target (Wine reports a unix symlink inside the prefix's
    drive as a reparse point); a read-only temporary a run cut short left beside a.txt.
    Wine reaches folders code page 1252 can't spell only under a UTF-8 locale."""
    saved = {n: os.environ.get(n) for n in ("LANG", "LC_ALL")}
    t.addCleanup(lambda: [os.environ.pop(n, None) if v is None else os.environ.__setitem__(n, v)
                          for n, v in saved.items()])
    os.environ.update(LANG="C.UTF-8", LC_ALL="C.UTF-8")
    os.symlink(os.path.join(t.s.root, "outside"), os.path.join(t.s.target, "sub"))
    leftover = os.path.join(t.s.target, "a.txt.kelvra-new")
    with open(leftover, "wb") as f:
        f.write(b"left by a run cut short")
    os.chmod(leftover, 0o444)


def stopped_with_window_up(t):
    """The changed entry is reported with a box; the run goes on to its end, then waits
    with the window up, the old file whole and no temporary left."""
    s = t.s

    def waiting():
        t.answer_boxes()
        return t.answered and not s.windows("File Exists") and s.running() and \
            os.path.exists(os.path.join(s.target, "setup.exe"))
    k.wait_for(waiting, 120, "the run to stop with the window up", interval=0.2)
    t.assertFalse(os.path.exists(os.path.join(s.target, "a-config.ini.kelvra-new")))


PATTERN = bytes(range(256)) * 40 + b"tail"
TWO = {"a.txt": b"alpha\n", "sub/b.txt": b"beta\n"}
NEW = lambda *names: {n: b"new " + n.encode() + b"\n" for n in names}
AT_TARGET = {"default_dir": "{target}"}
RUN_SETUP = {"run": "setup", "default_dir": "{target}"}

SCENARIOS = [
    # The sample, with multi-chunk, empty and compressible files beside it, packed with
    # libdeflate's strongest level (the others use the default one) and branded: the
    # window draws the maker's icon and opens the maker's address. The after-run program
    # is named with a folder and without its extension.
    dict(name="typical", files=dict(SAMPLE, **{
        "tools/setup.exe": SETUP, "multi/chunk.bin": PATTERN * 3 + os.urandom(25000), "empty.txt": b"",
        "text/lines.txt": b"".join(b"line %d\r\n" % i for i in range(3000))}),
         pack=dict(run="tools\\setup", arg1="one", arg2="two", level="max", prompt="Install the sample here:",
                   default_dir="{target}", icon="{dir}/app.ico", link=LINK, execution_level="requireAdministrator",
                   version_info="product_name=My App"),
         before=icon_and_browser, probe=[("tools\\setup one two", "{target}")],
         steps=["start", "window", "shot:main-window", "look", icon_drawn_link_opened, "ok", "end"]),
    dict(name="dpi", files=TWO, pack=dict(prompt="Install the sample here:", default_dir="C:\\kelvra-dpi"),
         steps=[dpi_runs]),
    # Where the files land when OK is pressed on the proposal, by its source.
    dict(name="proposed_directory", files=TWO, empty=("decoy",), steps=["start", "ok", "end"], cases={
        "archive": dict(pack=AT_TARGET, env={"TEMP": "{decoy}", "TMP": "{decoy}"}),
        "tmp": dict(env={"TEMP": None, "TMP": "{target}"}),
        "temp-dot": dict(env={"TEMP": ".", "TMP": "{decoy}"}, cwd="target")}),
    dict(name="damaged", pack=RUN_SETUP, tree="", probe=[],
         steps=[flip, "start", "window", "shot:damaged", "look:damaged", "ok", "end"]),
    dict(name="password", pack=dict(RUN_SETUP, password="Open Sesame!"), cases={
        "right": dict(probe=[("setup  ", "{target}")], steps=[
            "start", password_asked, "fill:Open Sesame!", "shot:password-window", "key:Return",
            directory_row, "ok", "end"]),
        # Tab takes the focus from the field to the button, which answers space; a
        # field that kept it would take the blank as typed. No second attempt.
        "wrong": dict(tree="", probe=[], steps=[
            "start", password_asked, "fill:open sesame!", "shot:password-window", "key:Tab space",
            "field:hidden", "shot:refused", "running", "ok", "end"])}),
    # The proposed folder is missing and is not made; the typed relative name is taken
    # from the folder the installer was started in; Enter in the field does what the
    # button does.
    dict(name="missing_directory_corrected", pack=dict(run="setup", default_dir="{root}\\missing"), cwd="root",
         probe=[("setup  ", "{target}")],
         steps=["start", "ok", "fill:target", "key:Return", "end", missing_not_made]),
    # Replace for one file (Stop asking ticked twice is not ticked), then Skip for all:
    # the last clash is kept unasked, else the installer would wait and not end.
    dict(name="replace_and_skip", files=NEW("a.txt", "b.txt", "c.txt", "d.txt"), pack=AT_TARGET,
         clash=("a.txt", "b.txt", "d.txt"), tree="a.txt old:b.txt c.txt old:d.txt",
         steps=["start", "ok", "dialog", "shot:file-exists-dialog", "click:stop", "click:stop", "click:replace",
                "dialog", "click:stop", "click:skip", "end"]),
    # The dialog's close box skips that file, stops the run after it, and leaves the
    # window waiting for its button.
    dict(name="dialog_closed", files=dict(NEW("a.txt", "b.txt", "c.txt"), **{"setup.exe": SETUP}), pack=RUN_SETUP,
         clash=("b.txt", "c.txt"), tree="a.txt old:b.txt old:c.txt", probe=[],
         steps=["start", "ok", "dialog", "close", "running", "shot:cancelled", "ok", "end"]),
    dict(name="cancel_long_extraction", files={"b-after.txt": b"after\n", "setup.exe": SETUP},
         pack=dict(RUN_SETUP, level=1), before=big_payload, tree="?:a-big.bin", probe=[],
         steps=["start", "ok", extracting, "shot:extracting", "ok", "end", cut_short]),
    # The save-as prompt has no owner: the main window's close box ends the program
    # with the prompt open.
    dict(name="close_box_during_rename_prompt", files=dict(NEW("a.txt", "b.txt"), **{"setup.exe": SETUP}),
         pack=RUN_SETUP, clash=("a.txt",), tree="old:a.txt", probe=[],
         steps=["start", "ok", "dialog", "click:rename", close_beside_prompt, "end"]),
    # Once the stub runs, every DLL it has the system look for is sought in the system
    # folder only, never in the folder the installer was downloaded to, through the
    # window, the dialog and the save-as prompt (a rename in a subfolder, whose next
    # entry still lands beside it).
    dict(name="dll_search_after_start", debug="+pid,+loaddll,+module", pack=AT_TARGET,
         files={"docs/guide.txt": b"new guide\n", "docs/more.txt": b"more\n", "top.txt": b"top\n"},
         clash=("docs/guide.txt",),
         tree="old:docs/guide.txt docs/guide-renamed.txt=docs/guide.txt docs/more.txt top.txt",
         steps=["start", "ok", "dialog", "click:rename", "name:docs/guide-renamed.txt", "end", system_folder_only]),
    # Replace all (Rename greys once Stop asking is ticked) over existing files. One held
    # open without sharing can't be deleted: skipped as it was, attributes included, the
    # later entries written. Those marked read-only, hidden and system each get the
    # archive's content and attributes, none of the old ones.
    dict(name="replace_all_over_held_and_marked_files", pack=AT_TARGET, files={
        "a.txt": b"new a\n", "b-held.txt": b"new b\n", "c-rhs.txt": b"new c\n", "d-hs.txt": b"new d\n",
        "e-ro-entry.txt": b"new e\n", "f-new.txt": b"f\n"},
         clash=("a.txt", "b-held.txt", "c-rhs.txt", "d-hs.txt", "e-ro-entry.txt"),
         marks={"b-held.txt": "RH", "c-rhs.txt": "RHS", "d-hs.txt": "HS", "e-ro-entry.txt": "H"},
         before=holder_started, tree="a.txt old:b-held.txt c-rhs.txt d-hs.txt e-ro-entry.txt f-new.txt",
         attributes={"b-held.txt": "ARH", "e-ro-entry.txt": "AR", "*": "A"},
         steps=["start", "ok", "dialog", "click:stop", "greyed", "shot:file-exists-stop-asking", "click:replace",
                "end", holder_alive]),
    # A target that fills up inside the second file: the first stays whole, every failed
    # write is reported with its box (one for the big file, one for the file after it).
    dict(name="target_fills_up", pack=AT_TARGET, before=small_target, boxes=(2, None),
         files={"a.txt": os.urandom(20000), "b-big.bin": os.urandom(80000), "c-after.txt": b"after\n"},
         tree="a.txt ?:b-big.bin ?:c-after.txt", steps=["start", "ok", "boxes", "end", partly_written]),
    # German under de_DE.UTF-8; English under C.UTF-8, and without languages under German.
    dict(name="languages", files={"a.txt": b"new a\n"}, clash=("a.txt",),
         pack=dict(output="german.exe", language="de", default_dir="{target}"), steps=[languages]),
    # The installer lies in a folder code page 1252 can't spell, and TEMP, set in the
    # prefix's registry, is such a folder too: the installer finds itself and proposes
    # TEMP. The entry below the link is reported with one box and not written, the
    # folder outside stays empty; a.txt is replaced although the leftover is in the way.
    dict(name="link_in_target_not_followed", target="Иван/Temp", env={"TEMP": "{target}"}, empty=("outside",),
         files={"a.txt": b"new a\n", "sub/evil.txt": b"through the link\n", "z.txt": b"z\n"}, clash=("a.txt",),
         pack=dict(output="{dir}/Иван/Загрузки/setup.exe"), before=link_and_leftover, boxes=(1, 1),
         tree="a.txt ?:sub z.txt", steps=["start", "ok", "dialog", "click:replace", "boxes", "end"]),
    # The installer's own file changes inside an entry's data after the check (the
    # window is up): Replace keeps the old file whole, the run ends with "This file is
    # corrupted." and the window waiting, and the after-run program is not started.
    dict(name="changed_after_check_keeps_old_file", files={"a-config.ini": b"new settings\n" * 200,
                                                           "setup.exe": SETUP},
         pack=RUN_SETUP, clash=("a-config.ini",), tree="old:a-config.ini setup.exe", probe=[],
         steps=["start", "window", flip, "ok", "dialog", "click:replace", stopped_with_window_up,
                "shot:corrupted", "running", "ok", "end"]),
]

for _row in SCENARIOS:
    setattr(Play, "test_" + _row["name"], lambda self, row=_row: self.play(row))

if __name__ == "__main__":
    unittest.main()
