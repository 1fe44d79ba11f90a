#!/usr/bin/env python3
# Branded installers read back with other people's tools: pefile (version strings, the
# fixed file version, the checksum, the section layout and relocations), icoutils'
# wrestool and icotool (icon group 102 with every image of the .ico, the manifest,
# string 12). Then the project keys against the options, list and --json, and the bad
# inputs that must leave no installer behind. (A branded installer signed by create:
# test_pe_checksum.py.)
import json
import os
import struct
import tempfile
import unittest
import zlib
from xml.etree import ElementTree

import pefile

from packer_helpers import PackerCase, run, tool

DEFAULT_LINK = "https://kelvra.example.org/"
# The longest address the window shows (59 characters; 60 is refused below).
LINK = "https://example.com/" + "x" * (59 - len("https://example.com/"))


def png(width, height, rgba):
    rows = b"".join(b"\0" + bytes(rgba) * width for _ in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def bitmap(size, bgra):
    """A 32-bit icon bitmap: header (height doubled for the mask), pixels, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + bytes(bgra) * (size * size) + bytes((size + 31) // 32 * 4 * size)


def ico(images):
    """An .ico of (width, height, bit_count, data) images."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for width, height, bits, data in images:
        out += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
    return out + b"".join(data for *_, data in images)


def ico_images(data):
    """The image data of an .ico file, in directory order."""
    count = struct.unpack_from("<H", data, 4)[0]
    images = []
    for i in range(count):
        size, offset = struct.unpack_from("<II", data, 6 + 16 * i + 8)
        images.append(data[offset:offset + size])
    return images


WINDOWS_SETTINGS = "{urn:schemas-microsoft-com:asm.v3}application/{urn:schemas-microsoft-com:asm.v3}windowsSettings"
AWARE = {"{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware": "true/pm",
         "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}dpiAwareness": "PerMonitorV2,PerMonitor"}


def dpi_settings(manifest):
    """The manifest's DPI elements, read as XML: element name -> text."""
    root = ElementTree.fromstring(manifest)
    return {e.tag: e.text for settings in root.findall(WINDOWS_SETTINGS) for e in settings}


def version_strings(image):
    return {k.decode(): v.decode() for info in image.FileInfo[0] if info.Key == b"StringFileInfo"
            for table in info.StringTable for k, v in table.entries.items()}


def counted_strings(block):
    strings, at = [], 0
    while at + 2 <= len(block) and len(strings) < 16:
        length = struct.unpack_from("<H", block, at)[0]
        strings.append(block[at + 2:at + 2 + 2 * length].decode("utf-16-le"))
        at += 2 + 2 * length
    return strings


ICON_IMAGES = [(32, 32, 32, png(32, 32, (0, 160, 0, 255))), (16, 16, 32, bitmap(16, (0, 0, 200, 255))),
               (48, 48, 32, png(48, 48, (0, 160, 0, 255)))]
VERSION = {"product_name": "My App", "product_version": "1.2.3", "file_version": "1.2.3.4",
           "company": "Example Ltd", "copyright": "(c) 2026 Example Ltd", "description": "My App installer"}
VERSION_NAMES = {"product_name": "ProductName", "product_version": "ProductVersion", "file_version": "FileVersion",
                 "company": "CompanyName", "copyright": "LegalCopyright", "description": "FileDescription"}


class Case(PackerCase):
    def setUp(self):
        super().setUp()
        self.files = {"a.txt": b"branded\r\n" * 40, os.path.join("sub", "b.bin"): os.urandom(7000)}
        self.src = self.write_tree(self.path("src"), self.files)
        self.icon = self.write(self.path("app.ico"), ico(ICON_IMAGES))

    def branded_options(self):
        options = ["--icon", self.icon, "--link", LINK,
                   "--execution-level", "requireAdministrator"]
        for key, value in VERSION.items():
            options += ["--version-info", "%s=%s" % (key, value)]
        return options

    def create(self, stub, out, *options):
        self.ok(run("create", "--stub", stub, "-o", out, *options, self.src))
        return out

    def pe(self, path):
        image = pefile.PE(path)
        self.addCleanup(image.close)
        return image

    def resource(self, installer, kind, name):
        return tool("wrestool", "-x", "--raw", "--type=%d" % kind, "--name=%d" % name, installer)

    def assert_opens_tests_and_extracts(self, installer):
        self.ok(run("test", installer))
        target = tempfile.mkdtemp(dir=self.dir)
        self.ok(run("extract", "-C", target, "--overwrite", "replace", installer))
        for name, content in self.files.items():
            with open(os.path.join(target, name), "rb") as f:
                self.assertEqual(content, f.read(), name)


class ThirdPartyTools(Case):
    def test_every_resource_reads_back_and_the_image_stays_sound(self):
        for arch, stub in self.built_stubs().items():
            with self.subTest(arch=arch):
                out = self.create(stub, self.path(arch + ".exe"), *self.branded_options())
                image = self.pe(out)
                self.assertEqual({VERSION_NAMES[k]: v for k, v in VERSION.items()}, version_strings(image))
                fixed = image.VS_FIXEDFILEINFO[0]
                self.assertEqual((0x00010002, 0x00030004), (fixed.FileVersionMS, fixed.FileVersionLS))
                self.assertEqual((0x00010002, 0x00030000), (fixed.ProductVersionMS, fixed.ProductVersionLS))
                self.assertEqual(image.generate_checksum(), image.OPTIONAL_HEADER.CheckSum)

                # The resources are last, and the headers say where everything now is.
                sections = image.sections
                self.assertEqual(b".rsrc", sections[-1].Name.rstrip(b"\0"))
                last = sections[-1]
                align = image.OPTIONAL_HEADER.SectionAlignment
                self.assertEqual((last.VirtualAddress + last.Misc_VirtualSize + align - 1) // align * align,
                                 image.OPTIONAL_HEADER.SizeOfImage)
                resources = image.OPTIONAL_HEADER.DATA_DIRECTORY[2]
                self.assertEqual((last.VirtualAddress, last.Misc_VirtualSize),
                                 (resources.VirtualAddress, resources.Size))

                # Code, data and relocations are the stub's, byte for byte and entry for entry.
                original = self.pe(stub)
                self.assertEqual(original.OPTIONAL_HEADER.DllCharacteristics,
                                 image.OPTIONAL_HEADER.DllCharacteristics)
                for before in original.sections:
                    if before.Name.rstrip(b"\0") in (b".rsrc", b".reloc"):
                        continue
                    after = next(s for s in sections if s.Name == before.Name)
                    self.assertEqual(before.VirtualAddress, after.VirtualAddress)
                    self.assertEqual(before.get_data(), after.get_data(), before.Name)

                def relocations(pe):
                    return [(entry.rva, entry.type) for block in pe.DIRECTORY_ENTRY_BASERELOC
                            for entry in block.entries]
                self.assertTrue(relocations(original))
                self.assertEqual(relocations(original), relocations(image))

                # icoutils: group 102 holds every image of the .ico, the manifest the
                # level, string 12 the address.
                icon = tool("wrestool", "-x", "--type=14", "--name=102", out)
                self.assertEqual([data for *_, data in ICON_IMAGES], ico_images(icon))
                self.write(self.path("extracted.ico"), icon)
                listed = tool("icotool", "-l", self.path("extracted.ico")).decode()
                for width, height, *_ in ICON_IMAGES:
                    self.assertIn("--width=%d --height=%d" % (width, height), listed)
                manifest = self.resource(out, 24, 1).decode()
                self.assertIn('requestedExecutionLevel level="requireAdministrator" uiAccess="false"', manifest)
                self.assertEqual(AWARE, dpi_settings(manifest))
                self.assertEqual(LINK, counted_strings(self.resource(out, 6, 1))[12])
                self.assert_opens_tests_and_extracts(out)

    def test_without_options_the_stubs_resources_stay_and_ours_are_added(self):
        for arch, stub in self.built_stubs().items():
            with self.subTest(arch=arch):
                out = self.create(stub, self.path(arch + ".exe"))
                for kind, name in ((14, 102), (24, 1), (6, 1), (6, 2)):
                    self.assertEqual(self.resource(stub, kind, name), self.resource(out, kind, name), (kind, name))
                self.assertEqual(DEFAULT_LINK, counted_strings(self.resource(out, 6, 1))[12])
                image = self.pe(out)
                self.assertEqual("Kelvra self-installer", version_strings(image)["ProductName"])
                self.assertEqual(0x00010003, image.VS_FIXEDFILEINFO[0].FileVersionMS)
                self.assertEqual({}, json.loads(run("list", "--json", out).stdout)["resources"])
                self.assertNotIn("Icon:", run("list", out).stdout)
                self.assert_opens_tests_and_extracts(out)

    def test_dpi_awareness_by_default_and_todays_manifest_when_opted_out(self):
        for arch, stub in self.built_stubs().items():
            with self.subTest(arch=arch):
                aware = self.create(stub, self.path(arch + "-aware.exe"))
                unaware = self.create(stub, self.path(arch + "-unaware.exe"), "--no-dpi-aware")
                default_manifest = self.resource(aware, 24, 1).decode()
                opted_out = self.resource(unaware, 24, 1).decode()
                self.assertEqual(AWARE, dpi_settings(default_manifest))
                self.assertEqual({}, dpi_settings(opted_out))
                self.assertNotIn("dpiAware", opted_out)
                # Only the element goes: the level and the systems stay as they were.
                start = default_manifest.index('<application xmlns="urn:schemas-microsoft-com:asm.v3">')
                end = default_manifest.index("</application>", start) + len("</application>")
                self.assertEqual(default_manifest[:start] + default_manifest[end:], opted_out)
                self.assertEqual({"dpi_aware": False}, json.loads(run("list", "--json", unaware).stdout)["resources"])
                self.assertIn("DPI aware:          no\n", run("list", unaware).stdout)
                self.assertNotIn("DPI aware", run("list", aware).stdout)
                self.assert_opens_tests_and_extracts(unaware)

        stub = next(iter(self.built_stubs().values()))
        for text, flag, want in (("dpi_aware = false\n", [], {}), ("dpi_aware = true\n", [], AWARE),
                                 ("dpi_aware = true\n", ["--no-dpi-aware"], {})):
            with self.subTest(project=text, options=flag):
                with open(self.path("kelvra.toml"), "w") as f:
                    f.write(text)
                out = self.create(stub, self.path("project.exe"), "--project", self.path("kelvra.toml"), *flag)
                self.assertEqual(want, dpi_settings(self.resource(out, 24, 1).decode()))


class Settings(Case):
    def test_project_keys_with_options_winning_shown_by_list(self):
        stub = next(iter(self.built_stubs().values()))
        project = self.path("kelvra.toml")
        with open(project, "w") as f:
            f.write('output = "p.exe"\nicon = "app.ico"\nlink = "http://example.com/from-file"\n'
                    'execution_level = "highestAvailable"\n[[input]]\npath = "src"\n'
                    '[version]\nproduct_name = "From File"\nfile_version = "2.0"\ncompany = "File Ltd"\n')
        made = run("create", "--project", project, "--stub", stub, "--link", "https://example.com/cli",
                   "--version-info", "product_name=From CLI")
        self.assertEqual(0, made.returncode, made.stderr)
        out = self.path("p.exe")
        listed = json.loads(run("list", "--json", out).stdout)
        self.assertEqual(2, listed["schema"])
        self.assertEqual({"icon": [{"width": w, "height": h, "bit_count": b} for w, h, b, _ in ICON_IMAGES],
                          "link": "https://example.com/cli", "execution_level": "highestAvailable",
                          "version": {"product_name": "From CLI", "file_version": "2.0", "company": "File Ltd"}},
                         listed["resources"])
        self.assertIn("Icon:               32x32 32-bit, 16x16 32-bit, 48x48 32-bit", run("list", out).stdout)
        image = self.pe(out)
        self.assertEqual((0x00020000, 0), (image.VS_FIXEDFILEINFO[0].FileVersionMS,
                                           image.VS_FIXEDFILEINFO[0].FileVersionLS))

    def test_bad_inputs_are_refused_and_nothing_is_written(self):
        stub = next(iter(self.built_stubs().values()))
        bad = {
            "not an ico": b"This is not an icon\n",
            "truncated": ico(ICON_IMAGES)[:-10],
            "zero images": struct.pack("<HHH", 0, 1, 0),
            "cut directory": struct.pack("<HHH", 0, 1, 3) + bytes(20),
            "neither png nor bmp": ico([(32, 32, 32, b"GIF89a" + bytes(60))]),
        }
        for name, data in bad.items():
            self.write(self.path(name.replace(" ", "-") + ".ico"), data)
        too_long = "https://example.com/" + "x" * (60 - len("https://example.com/"))
        cases = {
            "not an ico": (["--icon", self.path("not-an-ico.ico")], 1, "not-an-ico.ico' is not a valid .ico"),
            "truncated ico": (["--icon", self.path("truncated.ico")], 1, "image 3 lies outside the file"),
            "ico of 0 images": (["--icon", self.path("zero-images.ico")], 1, "holds no images"),
            "ico directory cut": (["--icon", self.path("cut-directory.ico")], 1, "directory of 3 images is cut"),
            "ico of a gif": (["--icon", self.path("neither-png-nor-bmp.ico")], 1, "neither a PNG nor a bitmap"),
            "link too long": (["--link", too_long], 2, "--link: the address is 60 characters"),
            "link not http": (["--link", "ftp://example.com/"], 2, "--link: 'ftp://example.com/' is not an http"),
            "link without host": (["--link", "https:///path"], 2, "names no host"),
            "link with a blank": (["--link", "https://example.com/a b"], 2, "holds a blank"),
            "link outside the code page": (["--link", "https://example.com/\u03a9"], 2, "code page 1252"),
            "unknown level": (["--execution-level", "admin"], 2, "--execution-level: 'admin' is not"),
            "five numbers": (["--version-info", "file_version=1.2.3.4.5"], 2, "--version-info file_version:"),
            "number too big": (["--version-info", "file_version=1.70000"], 2, "--version-info file_version:"),
            "numeric product version": (["--version-info", "product_version=1..2"], 2, "product_version:"),
            "unknown version key": (["--version-info", "colour=blue"], 2, "unknown key 'colour'"),
            "no equals sign": (["--version-info", "product_name"], 2, "expected KEY=VALUE"),
            "control character": (["--version-info", "company=a\tb"], 2, "control character"),
        }
        for name, (options, status, words) in cases.items():
            with self.subTest(name):
                self.refused(run("create", "--stub", stub, "-o", self.path("out.exe"), *options, self.src),
                             status, words)


if __name__ == "__main__":
    unittest.main()
