# End-to-end scenarios: an installer made by kelvra-pack with the stub under test, run
# under Wine and answered through the screen like a user would. Each test method is
# one CTest test (tests/e2e/CMakeLists.txt lists them from this file).
import os
import re
import shutil
import stat
import struct
import unittest
import zlib

import kelvra_e2e as k

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "sample")
PROBE_FILE = "kelvra-setup-ran.txt"
BASE_TIME = 1000000000  # 2001-09-09, whole seconds so that times compare exactly

ICON_COLOUR, ICON_X, ICON_Y, ICON_SIZE = (0, 160, 0), 5, 5, 32
LINK = "https://example.com/my-app"

# Today's window at 96 DPI (made by the installer of test_dpi, before the window
# scaled itself): the window at 96 DPI must still match it pixel for pixel.
REFERENCE_96 = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "window-96dpi.png")
# The window's texts at 96 DPI, in client pixels: the row's label, the message, the
# banner line and the link line, the last two drawn in the window's own fonts.
TEXT_BOXES = {"label": (10, 77, 70, 20), "message": (40, 5, 340, 65), "banner": (0, 138, 384, 15),
              "link": (0, 153, 384, 20)}
OWN_FONTS = ("banner", "link")
# The "File Exists" dialog's outer size at 96 DPI under Wine.
FILE_EXISTS_96 = (472, 145)


def client_top(image):
    """The client area's top in a window's picture: Wine's caption grows with the DPI.
    Below the 3-pixel border, the caption's colour, then one light line."""
    caption = image.pixel(image.width // 2, k.FRAME_X)
    y = k.FRAME_X
    while image.pixel(image.width // 2, y) == caption:
        y += 1
    return y + 1


def dark(p):
    return sum(p) < 384

# Dialog 101 in dialog units.
REPLACE, SKIP, RENAME, STOP_ASKING = (7, 33, 79, 17), (93, 33, 79, 17), (179, 33, 79, 17), (7, 56, 11, 11)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def archive_start(installer):
    """The end of the installer's last section: create rewrites the stub's resources, so
    its archive starts past the stub file's own size."""
    head = read(installer)[:4096]
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H", head, pe + 6)[0], struct.unpack_from("<H", head, pe + 20)[0]
    table = pe + 24 + optional_size
    return max(sum(struct.unpack_from("<II", head, table + 40 * i + 16)) for i in range(count))


def icon_file(path):
    """An .ico of two PNG images, 32 and 16 pixels, all of ICON_COLOUR."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    images = [(n, b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0))
               + chunk(b"IDAT", zlib.compress(b"".join(b"\0" + bytes(ICON_COLOUR + (255,)) * n for _ in range(n))))
               + chunk(b"IEND", b"")) for n in (32, 16)]
    out, offset = struct.pack("<HHH", 0, 1, len(images)), 6 + 16 * len(images)
    for n, data in images:
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(data for _, data in images))
    return path


def make_payload(folder, files):
    """Writes files (relative name -> bytes) below folder, each with its own
    modification time; returns name -> (content, mtime)."""
    expected = {}
    for i, (name, content) in enumerate(sorted(files.items())):
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        k.set_times(path, BASE_TIME + 3600 * i)
        expected[name] = (content, BASE_TIME + 3600 * i)
    return expected


def sample_files(with_probe=True):
    files = {}
    for root, _, names in os.walk(SAMPLE):
        for n in names:
            path = os.path.join(root, n)
            files[os.path.relpath(path, SAMPLE)] = read(path)
    if with_probe:
        files["setup.exe"] = read(k.probe_program())
    return files


def probe_records(folder):
    path = os.path.join(folder, PROBE_FILE)
    if not os.path.exists(path):
        return []
    with open(path, encoding="latin-1", newline="") as f:
        text = f.read()
    return re.findall(r"command line: \[(.*)\]\r\nworking directory: \[(.*)\]\r\n", text)


def label_pixels(image, window):
    """The row's label ("Password:" or "Expand to:"), as raw pixels."""
    cx, cy = window.client
    return [image.pixel(cx + x, cy + y) for y in range(77, 97) for x in range(10, 80)]


def field_visible(image, window):
    """The directory/password field's sunken top edge: drawn, or plain background."""
    cx, cy = window.client
    fx, fy, fw, _ = k.FIELD
    row = [image.pixel(cx + x, cy + fy) for x in range(fx + 1, fx + fw - 2)]
    drawn = sum(1 for p in row if sum(p) < 600)
    if drawn == len(row):
        return True
    if drawn == 0:
        return False
    raise AssertionError("the field's edge is partly drawn (%d of %d pixels)" % (drawn, len(row)))


def answer_boxes(s, answered):
    """Closes every "Uh-Oh!" box showing (no caption, no owner); True once the
    installer has ended."""
    if not s.running():
        return True
    for box in s.windows(""):
        if box.width < k.SCREEN_W and box.id not in answered:
            answered.add(box.id)
            s.click(box.x + box.width // 2, box.y + box.height - 25)
    return False


class Installer(unittest.TestCase):

    # -- helpers shared by the scenarios ----------------------------------------

    def scenario(self, name=None):
        s = k.Scenario(name or self._testMethodName[len("test_"):])
        self.addCleanup(s.close)
        return s.__enter__()

    def payload(self, s, files=None, folder="payload"):
        src = os.path.join(s.root, folder)
        os.makedirs(src)
        return src, make_payload(src, sample_files() if files is None else files)

    def assertExtracted(self, folder, expected, extra=()):
        self.assertEqual(sorted(list(expected) + list(extra)), k.tree(folder))
        for name, (content, mtime) in expected.items():
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                self.assertEqual(content, f.read(), name)
            self.assertEqual(mtime * 10**9, os.stat(path).st_mtime_ns, name)

    def assertEnded(self, s, installer):
        s.wait_exit()
        self.assertEqual([], s.windows("Kelvra"))
        name = k.windows_path(installer)
        k.wait_for(lambda: not installer_processes(name), 10, "%s to end" % name)

    def wait_probe(self, folder, count=1):
        return k.wait_for(lambda: len(probe_records(folder)) >= count and probe_records(folder),
                          30, "the after-run program's record")

    def assertNothingStarted(self, s, folder):
        """Once every Wine process of the prefix has ended nothing can start late."""
        k._run([k.WINESERVER, "-w"], env=k.wine_env(s.prefix), timeout=60)
        self.assertEqual([], probe_records(folder))

    def assertMainWindow(self, s, window, banner=True):
        """Placement, size, the centred banner and blue link, and the field."""
        self.assertEqual((k.MAIN_W, k.MAIN_H), (window.width, window.height))
        self.assertEqual(((k.SCREEN_W - k.MAIN_W) // 2, (k.SCREEN_H - k.MAIN_H) // 3),
                         (window.x, window.y))
        image = s.grab("main")
        cx, cy = window.client
        client_w = k.MAIN_W - 2 * k.FRAME_X
        blue = image.find((cx, cy + k.LINK_Y, client_w, 20), lambda p: p == (0, 0, 255))
        self.assertTrue(blue, "no pure blue link below y=%d" % k.LINK_Y)
        left, right = min(x for x, _ in blue) - cx, max(x for x, _ in blue) - cx
        self.assertLessEqual(abs((left + right + 1) - client_w), 2, "link not centred")
        dark = image.find((cx, cy + k.BANNER_Y, client_w, k.LINK_Y - k.BANNER_Y),
                          lambda p: sum(p) < 200)
        if banner:
            self.assertTrue(dark, "no banner")
            left, right = min(x for x, _ in dark) - cx, max(x for x, _ in dark) - cx
            # The banner ends in ", ": its measured width has a blank without ink, so
            # a centred banner leaves a little more room right of its ink than left.
            slack = client_w - (left + right + 1)
            self.assertTrue(0 <= slack <= 12, "banner not centred (ink %d..%d)" % (left, right))
        else:
            self.assertEqual([], dark, "a banner is drawn")
        return image

    def wait_field(self, s, window, visible):
        """Polls screenshots until the field is shown (or hidden)."""
        return k.wait_for(lambda: field_visible(s.grab("field"), window) == visible, 30,
                          "the field to be %s" % ("shown" if visible else "hidden"))

    def dialog_click(self, s, dialog, control, dx=None, dy=None):
        """Clicks a control of the "File Exists" dialog, given in dialog units."""
        base_x = (dialog.width - 2 * k.FRAME_X) / 266.0
        base_y = (dialog.height - k.FRAME_Y - k.FRAME_X) / 74.0
        x, y, w, h = control
        s.click(dialog.x + k.FRAME_X + int((x + (w // 2 if dx is None else dx)) * base_x),
                dialog.y + k.FRAME_Y + int((y + (h // 2 if dy is None else dy)) * base_y))

    def control_ink(self, s, dialog, control):
        """Near-black pixels inside a control of the dialog: none once it is greyed."""
        base_x = (dialog.width - 2 * k.FRAME_X) / 266.0
        base_y = (dialog.height - k.FRAME_Y - k.FRAME_X) / 74.0
        x, y, w, h = control
        box = (dialog.x + k.FRAME_X + int(x * base_x) + 3, dialog.y + k.FRAME_Y + int(y * base_y) + 3,
               int(w * base_x) - 6, int(h * base_y) - 6)
        return len(s.grab("dialog").find(box, lambda p: sum(p) < 150))

    def wait_rename(self, s, dialog, enabled):
        k.wait_for(lambda: (self.control_ink(s, dialog, RENAME) > 0) == enabled, 30,
                   "Rename to be %s" % ("enabled" if enabled else "greyed"))

    def answer(self, s, button):
        dialog = s.wait_window("File Exists")
        self.dialog_click(s, dialog, button)
        return dialog

    def clashes(self, s, names):
        """Existing files in the target that the archive also holds; each gets its own
        content and an old time so that a replaced one is told from a kept one."""
        self.clashes_in(s.target, names)

    def clashes_in(self, target, names):
        for name in names:
            path = os.path.join(target, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(b"old " + name.encode())
            k.set_times(path, 500000000)

    def assertKept(self, s, name):
        path = os.path.join(s.target, name)
        self.assertEqual(b"old " + name.encode(), read(path), name)
        self.assertEqual(500000000, int(os.stat(path).st_mtime), name)

    def browser(self, s):
        """Wine opens web addresses with xdg-open from PATH: one of ours, on a PATH of
        this test's own process, writes down what it was given."""
        folder = os.path.join(s.root, "browser")
        os.makedirs(folder)
        record, script = os.path.join(folder, "opened.txt"), os.path.join(folder, "xdg-open")
        with open(script, "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\n' % record)
        os.chmod(script, os.stat(script).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
        self.addCleanup(os.environ.__setitem__, "PATH", os.environ.get("PATH", ""))
        os.environ["PATH"] = folder + os.pathsep + os.environ.get("PATH", "")
        return record

    # -- scenarios ------------------------------------------------------------------

    def test_typical(self):
        """The sample, with multi-chunk, empty and compressible files beside it, packed
        with libdeflate's strongest level (every other scenario uses the default one)
        and branded: the window draws the maker's icon and opens the maker's address.
        The after-run program is named with a folder and without its extension."""
        s = self.scenario()
        pattern = bytes(range(256)) * 40 + b"tail"
        files = dict(sample_files(with_probe=False), **{
            "tools/setup.exe": read(k.probe_program()), "multi/chunk.bin": pattern * 3 + os.urandom(25000),
            "empty.txt": b"", "text/lines.txt": b"".join(b"line %d\r\n" % i for i in range(3000))})
        src, expected = self.payload(s, files)
        installer = s.pack([src], run="tools\\setup", arg1="one", arg2="two", level="max",
                           prompt="Install the sample here:", default_dir=k.windows_path(s.target),
                           icon=icon_file(os.path.join(s.root, "app.ico")), link=LINK,
                           execution_level="requireAdministrator", version_info="product_name=My App")
        record = self.browser(s)
        s.start(installer)
        window = s.wait_window("Kelvra")
        s.screenshot("main-window", window)
        image = self.assertMainWindow(s, window)
        self.assertTrue(field_visible(image, window))
        cx, cy = window.client
        # The icon drawn at its place is the maker's, every pixel of it.
        drawn = image.find((cx + ICON_X, cy + ICON_Y, ICON_SIZE, ICON_SIZE), lambda p: p == ICON_COLOUR)
        self.assertEqual(ICON_SIZE * ICON_SIZE, len(drawn), "the maker's icon is not drawn")
        blue = image.find((cx, cy + k.LINK_Y, k.MAIN_W - 2 * k.FRAME_X, 20), lambda p: p == (0, 0, 255))
        xs, ys = sorted(x for x, _ in blue), sorted(y for _, y in blue)
        s.click(xs[len(xs) // 2], ys[len(ys) // 2])
        opened = k.wait_for(lambda: os.path.exists(record) and read(record), 60, "the link to be opened")
        self.assertEqual((LINK + "\n").encode(), opened)
        s.press_button(window)
        self.assertEnded(s, installer)
        self.assertEqual([("tools\\setup one two", k.windows_path(s.target))], self.wait_probe(s.target))
        self.assertExtracted(s.target, expected, extra=[PROBE_FILE])

    def test_dpi(self):
        """One installer in one prefix at 96, 144 and 192 DPI. At 96 the window is
        today's, pixel for pixel but for the mended "Expand to:" label, and Escape
        closes it before anything is extracted; at 144 and 192 it is 1.5 and 2 times
        as large with every text whole (its ink grown in step, not cut by its box),
        and Enter in the directory field extracts; at 192 the "File Exists" dialog is
        twice its size and answers Enter."""
        s = self.scenario()
        src, expected = self.payload(s, {"a.txt": b"alpha\n", "sub/b.txt": b"beta\n"})
        # A fixed folder, so that the window shows the same text on every run.
        target = os.path.join(s.prefix, "drive_c", "kelvra-dpi")
        installer = s.pack([src], prompt="Install the sample here:", default_dir="C:\\kelvra-dpi")
        inks = {}
        for dpi in (96, 144, 192):
            shutil.rmtree(target, ignore_errors=True)
            os.makedirs(target)
            k.set_dpi(s.prefix, dpi)
            s.start(installer)
            window = s.wait_window("Kelvra")
            scale = lambda v: (v * dpi + 48) // 96
            # The window is drawn once its link is: the last thing painted.
            k.wait_for(lambda: s.grab("link").find((window.x, window.y, window.width, window.height),
                                                  lambda p: p == (0, 0, 255)), 30, "the link")
            shot = k.Image(s.screenshot("window-%d" % dpi, window))
            if dpi == 96:
                # The label is mended; the button, now the default one, has the
                # default button's frame; and the caption's 16-pixel icon, which Wine
                # shrinks from the 32-pixel image, now a PNG with an alpha channel,
                # has its outline a pixel thinner at the sides.
                skip = [(k.FRAME_X + x, k.FRAME_Y + y, w, h) for x, y, w, h in
                        (TEXT_BOXES["label"], k.BUTTON)] + [(k.FRAME_X, k.FRAME_X, 19, 18)]
                self.assertEqual([], shot.differences(k.Image(REFERENCE_96), skip=skip)[:20],
                                 "the window differs from today's outside the label and the button")
            else:
                self.assertLessEqual(abs(window.width - scale(k.MAIN_W)), 4, "width at %d DPI" % dpi)
                self.assertLessEqual(abs(window.height - scale(k.MAIN_H)), 4, "height at %d DPI" % dpi)
            top = client_top(shot)
            for name, box in TEXT_BOXES.items():
                x, y, w, h = (scale(v) for v in box)
                ink = shot.find((k.FRAME_X + x, top + y, w, h), dark)
                self.assertTrue(ink, "no %s at %d DPI" % (name, dpi))
                left, right = min(p[0] for p in ink), max(p[0] for p in ink) + 1
                ink_top, bottom = min(p[1] for p in ink), max(p[1] for p in ink) + 1
                if name not in OWN_FONTS:
                    # A control's text is whole when clear of the right and bottom edges
                    # of its box, where a text too large for it would be cut.
                    self.assertLess(right, k.FRAME_X + x + w - 1, "the %s is cut at %d DPI" % (name, dpi))
                    self.assertLess(bottom, top + y + h, "the %s is cut at %d DPI" % (name, dpi))
                if dpi == 96:
                    inks[name] = (right - left, bottom - ink_top)
                    continue
                # Grown in step: the window's own fonts in both directions; the
                # controls' system font, which Wine draws narrower at high DPI, in height.
                grown = [1] if name not in OWN_FONTS else [0, 1]
                for i in grown:
                    want, got = inks[name][i] * dpi / 96.0, (right - left, bottom - ink_top)[i]
                    self.assertTrue(abs(got - want) <= 0.15 * want + 3,
                                    "the %s's ink is %d pixels %s at %d DPI, %d at 96" % (
                                        name, got, ("wide", "high")[i], dpi, inks[name][i]))
            if dpi == 192:
                # A clash, so that the "File Exists" dialog shows at this DPI too:
                # Windows scales it from its template's dialog units.
                self.clashes_in(target, ["a.txt"])
                fx, fy, fw, fh = k.FIELD
                s.click(window.x + k.FRAME_X + scale(fx + fw // 2), window.y + top + scale(fy + fh // 2))
                s.key("Return")
                dialog = s.wait_window("File Exists")
                self.wait_rename(s, dialog, True)
                s.screenshot("file-exists-%d" % dpi, dialog)
                # Dialog units follow the font's average character width, which Wine's
                # stand-in for "MS Sans Serif" doesn't grow exactly twofold (871 x 265
                # at 192 DPI): larger by most of the scale, and no more than it.
                for got, at_96 in zip((dialog.width, dialog.height), FILE_EXISTS_96):
                    self.assertTrue(1.75 * at_96 <= got <= 2.1 * at_96,
                                    "the dialog is %dx%d at 192 DPI" % (dialog.width, dialog.height))
                s.key("Return")  # the dialog's default button, Replace
                self.assertEnded(s, installer)
                self.assertExtracted(target, expected)
            else:
                s.key("Escape")
                self.assertEnded(s, installer)
                self.assertEqual([], k.tree(target), "extracted after Escape")
            s.wait_wine_gone()

    def test_proposed_directory(self):
        """Where the files land when OK is pressed on the proposal, by its source."""
        cases = [
            ("archive", {"default_dir": "TARGET"}, {"TEMP": "DECOY", "TMP": "DECOY"}, None),
            ("tmp", {}, {"TEMP": None, "TMP": "TARGET"}, None),
            ("temp-dot", {}, {"TEMP": ".", "TMP": "DECOY"}, "TARGET"),
        ]
        for label, options, environment, cwd in cases:
            with self.subTest(label):
                s = self.scenario("proposed-" + label)
                decoy = os.path.join(s.root, "decoy")
                os.makedirs(decoy)
                place = lambda v: {"TARGET": k.windows_path(s.target),
                                   "DECOY": k.windows_path(decoy)}.get(v, v)
                src, expected = self.payload(s, {"a.txt": b"alpha\n", "sub/b.txt": b"beta\n"})
                installer = s.pack([src], **{n: place(v) for n, v in options.items()})
                s.set_environment(**{n: place(v) for n, v in environment.items()})
                s.start(installer, cwd=s.target if cwd else None)
                s.press_button(s.wait_window("Kelvra"))
                self.assertEnded(s, installer)
                self.assertExtracted(s.target, expected)
                self.assertEqual([], s.files(decoy))
                s.close()

    def test_damaged(self):
        s = self.scenario()
        src, _ = self.payload(s)
        installer = s.pack([src], run="setup", default_dir=k.windows_path(s.target))
        with open(installer, "r+b") as f:
            f.seek(archive_start(installer) + 3)  # inside the first chunk
            byte = f.read(1)
            f.seek(-1, os.SEEK_CUR)
            f.write(bytes([byte[0] ^ 0x10]))
        s.start(installer)
        window = s.wait_window("Kelvra")
        s.screenshot("damaged", window)
        image = self.assertMainWindow(s, window, banner=False)
        self.assertFalse(field_visible(image, window))
        self.assertTrue(s.running())
        s.press_button(window)
        self.assertEnded(s, installer)
        self.assertEqual([], s.files())
        self.assertNothingStarted(s, s.target)

    def test_password(self):
        cases = [("right", "Open Sesame!", True), ("wrong", "open sesame!", False)]
        for label, typed, accepted in cases:
            with self.subTest(label):
                s = self.scenario("password-" + label)
                src, expected = self.payload(s)
                installer = s.pack([src], run="setup", password="Open Sesame!",
                                   default_dir=k.windows_path(s.target))
                s.start(installer)
                window = s.wait_window("Kelvra")
                asked = s.grab("asked")
                self.assertTrue(field_visible(asked, window))
                asked_label = label_pixels(asked, window)
                s.fill_field(window, typed)
                s.screenshot("password-window", window)
                if accepted:
                    s.key("Return")  # Enter in the password field submits it
                else:
                    # Tab takes the focus from the field to the button, which answers
                    # space; a field that kept it would take the blank as typed.
                    s.key("Tab", "space")
                if accepted:
                    # The directory row takes the password row's place: its label
                    # changes and the field stays.
                    k.wait_for(lambda: label_pixels(s.grab("label"), window) != asked_label, 30,
                               "the directory row")
                    self.assertTrue(field_visible(s.grab("directory"), window))
                    s.press_button(window)
                    self.assertEnded(s, installer)
                    self.assertEqual(1, len(self.wait_probe(s.target)))
                    self.assertExtracted(s.target, expected, extra=[PROBE_FILE])
                else:
                    self.wait_field(s, window, False)
                    s.screenshot("refused", window)
                    self.assertTrue(s.running())
                    s.press_button(window)  # no second attempt: the button closes
                    self.assertEnded(s, installer)
                    self.assertEqual([], s.files())
                    self.assertNothingStarted(s, s.target)
                s.close()

    def test_missing_directory_corrected(self):
        """The proposed folder is missing and is not made; the typed relative name is
        taken from the folder the installer was started in."""
        s = self.scenario()
        src, expected = self.payload(s)
        missing = os.path.join(s.root, "missing")
        installer = s.pack([src], run="setup", default_dir=k.windows_path(missing))
        s.start(installer, cwd=s.root)
        window = s.wait_window("Kelvra")
        s.press_button(window)
        s.fill_field(window, os.path.basename(s.target))
        s.key("Return")  # Enter in the field does what the button does
        self.assertEnded(s, installer)
        self.assertFalse(os.path.exists(missing), "the missing folder was created")
        self.assertEqual([("setup  ", k.windows_path(s.target))], self.wait_probe(s.target))
        self.assertExtracted(s.target, expected, extra=[PROBE_FILE])

    def test_replace_and_skip(self):
        """Replace for one file, then Skip for all: the last clash is kept unasked."""
        s = self.scenario()
        names = {"a.txt": b"new a\n", "b.txt": b"new b\n", "c.txt": b"new c\n", "d.txt": b"new d\n"}
        src, expected = self.payload(s, names)
        self.clashes(s, ["a.txt", "b.txt", "d.txt"])
        installer = s.pack([src], default_dir=k.windows_path(s.target))
        s.start(installer)
        s.press_button(s.wait_window("Kelvra"))
        dialog = s.wait_window("File Exists")
        self.assertEqual(((k.SCREEN_W - dialog.width) // 2, (k.SCREEN_H - dialog.height) // 2),
                         (dialog.x, dialog.y), "dialog not centred")
        self.wait_rename(s, dialog, True)
        s.screenshot("file-exists-dialog", dialog)
        # Ticked twice is not ticked: Replace answers for this file only.
        self.dialog_click(s, dialog, STOP_ASKING)
        self.dialog_click(s, dialog, STOP_ASKING)
        self.dialog_click(s, dialog, REPLACE)
        # The next question is a new dialog, with its box cleared again.
        second = k.wait_for(lambda: [d for d in s.windows("File Exists") if d.id != dialog.id], 30,
                            "the second question")[0]
        self.wait_rename(s, second, True)
        self.dialog_click(s, second, STOP_ASKING)
        self.dialog_click(s, second, SKIP)
        # Had d.txt asked again, the installer would wait and not end.
        self.assertEnded(s, installer)
        for name in ("b.txt", "d.txt"):
            self.assertKept(s, name)
            del expected[name]
        self.assertExtracted(s.target, expected, extra=["b.txt", "d.txt"])

    def test_dialog_closed(self):
        """The dialog's close box skips that file, stops the run after it, and leaves
        the window waiting for its button."""
        s = self.scenario()
        files = {"a.txt": b"new a\n", "b.txt": b"new b\n", "c.txt": b"new c\n", "setup.exe":
                 read(k.probe_program())}
        src, expected = self.payload(s, files)
        self.clashes(s, ["b.txt", "c.txt"])
        installer = s.pack([src], run="setup", default_dir=k.windows_path(s.target))
        s.start(installer)
        window = s.wait_window("Kelvra")
        s.press_button(window)
        dialog = s.wait_window("File Exists")
        s.click(dialog.x + dialog.width - 14, dialog.y + 11)
        s.wait_window_gone("File Exists")
        self.assertTrue(s.running())
        s.screenshot("cancelled", window)
        s.press_button(window)
        self.assertEnded(s, installer)
        self.assertKept(s, "b.txt")
        self.assertKept(s, "c.txt")
        self.assertExtracted(s.target, {"a.txt": expected["a.txt"]}, extra=["b.txt", "c.txt"])
        self.assertNothingStarted(s, s.target)

    def test_cancel_long_extraction(self):
        s = self.scenario()
        src = os.path.join(s.root, "payload")
        os.makedirs(src)
        size = 200 << 20
        with open(os.path.join(src, "a-big.bin"), "wb") as f:
            for _ in range(size >> 20):
                f.write(os.urandom(1 << 20))
        make_payload(src, {"b-after.txt": b"after\n", "setup.exe": read(k.probe_program())})
        installer = s.pack([src], run="setup", level=1, default_dir=k.windows_path(s.target))
        shutil.rmtree(src)
        s.start(installer)
        window = s.wait_window("Kelvra")
        s.press_button(window)
        big = os.path.join(s.target, "a-big.bin")
        k.wait_for(lambda: os.path.exists(big) and os.path.getsize(big) > 0, 30, "the big file")
        s.screenshot("extracting", window)
        s.press_button(window)  # now "Cancel"
        self.assertEnded(s, installer)
        self.assertLess(os.path.getsize(big), size, "the extraction ran to its end")
        self.assertEqual(["a-big.bin"], s.files())
        self.assertNothingStarted(s, s.target)
        os.unlink(big)
        os.unlink(installer)

    def test_close_box_during_rename_prompt(self):
        """The save-as prompt has no owner: the main window's close box still works,
        and ends the program with the prompt open."""
        s = self.scenario()
        files = {"a.txt": b"new a\n", "b.txt": b"new b\n", "setup.exe": read(k.probe_program())}
        src, _ = self.payload(s, files)
        self.clashes(s, ["a.txt"])
        installer = s.pack([src], run="setup", default_dir=k.windows_path(s.target))
        s.start(installer)
        window = s.wait_window("Kelvra")
        s.press_button(window)
        self.answer(s, RENAME)
        prompt = s.wait_window("New Name")
        close_box = (window.x + window.width - 14, window.y + 11)
        self.assertGreater(close_box[0], prompt.x + prompt.width, "the prompt covers the close box")
        s.click(*close_box)
        self.assertEnded(s, installer)
        self.assertKept(s, "a.txt")
        self.assertEqual(["a.txt"], s.files())
        self.assertNothingStarted(s, s.target)


def installer_processes(name):
    """Processes whose command line names the installer file."""
    found = []
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                cmdline = read("/proc/%s/cmdline" % pid)
            except OSError:
                continue
            if name.encode() in cmdline and b"explorer" not in cmdline:
                found.append(pid)
    return found


if __name__ == "__main__":
    unittest.main()
