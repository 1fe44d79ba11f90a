# End-to-end scenario of a branded installer: made with the maker's icon, web address,
# execution level and version information, its window shows that icon and that
# address, opens the address when it is clicked, and still extracts as any other.
import os
import stat
import struct
import unittest
import zlib

import kelvra_e2e as k
import test_installer as base

ICON_COLOUR = (0, 160, 0)
LINK = "https://example.com/my-app"
ICON_X, ICON_Y, ICON_SIZE = 5, 5, 32


def png(size, rgb):
    rows = b"".join(b"\0" + bytes(rgb + (255,)) * size for _ in range(size))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


class Branding(base.Installer):
    """Only the scenario below; the inherited ones belong to test_installer."""

    def browser(self, s):
        """Wine opens web addresses with xdg-open from PATH: one of ours, on a PATH of
        this test's own process, writes down what it was given."""
        folder = os.path.join(s.root, "browser")
        os.makedirs(folder)
        record = os.path.join(folder, "opened.txt")
        script = os.path.join(folder, "xdg-open")
        with open(script, "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\n' % record)
        os.chmod(script, os.stat(script).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
        self.addCleanup(os.environ.__setitem__, "PATH", os.environ.get("PATH", ""))
        os.environ["PATH"] = folder + os.pathsep + os.environ.get("PATH", "")
        return record

    def test_branded_window(self):
        s = self.scenario()
        src, expected = self.payload(s, files={"readme.txt": b"branded\r\n", "bin/tool.dat": os.urandom(3000)})
        icon = os.path.join(s.root, "app.ico")
        with open(icon, "wb") as f:
            f.write(ico([(32, png(32, ICON_COLOUR)), (16, png(16, ICON_COLOUR))]))
        installer = s.pack([src], icon=icon, link=LINK, execution_level="requireAdministrator",
                           version_info="product_name=My App", default_dir=k.windows_path(s.target))
        record = self.browser(s)
        s.start(installer)
        window = s.wait_window("Kelvra")
        image = self.assertMainWindow(s, window)
        cx, cy = window.client
        # The icon drawn at its place is the maker's, every pixel of it.
        drawn = image.find((cx + ICON_X, cy + ICON_Y, ICON_SIZE, ICON_SIZE), lambda p: p == ICON_COLOUR)
        self.assertEqual(ICON_SIZE * ICON_SIZE, len(drawn), "the maker's icon is not drawn")
        s.screenshot("branded-window", window)

        blue = image.find((cx, cy + k.LINK_Y, k.MAIN_W - 2 * k.FRAME_X, 20), lambda p: p == (0, 0, 255))
        xs, ys = sorted(x for x, _ in blue), sorted(y for _, y in blue)
        s.click(xs[len(xs) // 2], ys[len(ys) // 2])
        opened = k.wait_for(lambda: os.path.exists(record) and base.read(record), 60, "the link to be opened")
        self.assertEqual((LINK + "\n").encode(), opened)

        s.press_button(window)
        self.assertEnded(s, installer)
        self.assertExtracted(s.target, expected)


def load_tests(loader, tests, pattern):
    return k.own_scenarios(Branding)
