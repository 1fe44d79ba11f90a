#!/usr/bin/env python3
# Branded, checksummed and signed installers read back with other people's tools
# (pefile, icoutils, osslsigncode); the languages' string tables and dialogs beside the
# English ones, and every refusal of a maker's [texts.LANG] table.
import collections
import json
import os
import struct
import tempfile
import unittest
from xml.etree import ElementTree

import pefile

from packer_helpers import EMBEDDED_STUB as STUB, PackerCase, Signer, read, run, tool

# The longest address the window shows (59 characters; 60 is refused below).
LINK = "https://example.com/" + "x" * (59 - len("https://example.com/"))


WINDOWS_SETTINGS = "{urn:schemas-microsoft-com:asm.v3}application/{urn:schemas-microsoft-com:asm.v3}windowsSettings"
AWARE = {"{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware": "true/pm",
         "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}dpiAwareness": "PerMonitorV2,PerMonitor"}


def dpi_settings(manifest):
    return {e.tag: e.text for settings in ElementTree.fromstring(manifest).findall(WINDOWS_SETTINGS) for e in settings}


def version_strings(image):
    return {k.decode(): v.decode() for info in image.FileInfo[0] if info.Key == b"StringFileInfo"
            for table in info.StringTable for k, v in table.entries.items()}


def counted_strings(*blocks):
    """The strings of consecutive string table blocks by id; an empty one is ''."""
    found = collections.defaultdict(str)
    for i, block in enumerate(blocks):
        pefile.parse_strings(block, 16 * i, found)
    return found


def header_offsets(data):
    """File offsets of the CheckSum field and of the security directory entry."""
    header = pefile.PE(data=bytes(data), fast_load=True).OPTIONAL_HEADER
    return header.get_field_absolute_offset("CheckSum"), header.DATA_DIRECTORY[4].get_file_offset()


ICON_SIZES = (32, 16, 48)  # 32-bit each; the 16 a bitmap, the others PNG
VERSION = {"ProductName": ("product_name", "My App"), "ProductVersion": ("product_version", "1.2.3"),
           "FileVersion": ("file_version", "1.2.3.4"), "CompanyName": ("company", "Example Ltd"),
           "LegalCopyright": ("copyright", "(c) 2026 Example Ltd"), "FileDescription": ("description", "My App setup")}


class Case(PackerCase):
    def setUp(self):
        super().setUp()
        self.files = {"a.txt": b"branded\r\n" * 40, os.path.join("sub", "b.bin"): os.urandom(7000)}
        self.src = self.write_tree(self.path("src"), self.files)
        for size in ICON_SIZES:
            tool("convert", "-size", "%dx%d" % (size, size), "xc:#00a000", "PNG32:" + self.path("%d.png" % size))
        self.icon = self.path("app.ico")
        tool("icotool", "-c", "-o", self.icon, "--raw=" + self.path("32.png"), "-b", "32", self.path("16.png"),
             "--raw=" + self.path("48.png"))
        self.stubs = self.built_stubs()
        self.stub = next(iter(self.stubs.values()))

    def create(self, stub, out, *options):
        self.ok(run("create", "--stub", stub, "-o", out, *options, self.src))
        return out

    def pe(self, path):
        image = pefile.PE(path)
        self.addCleanup(image.close)
        return image

    def resource(self, installer, kind, name):
        return tool("wrestool", "-x", "--raw", "--type=%d" % kind, "--name=%d" % name, installer)

    def assert_sound(self, installer, tested="", files=None):
        """pefile's checksum is the one stored; the installer tests and extracts whole."""
        image = self.pe(installer)
        self.assertEqual(image.generate_checksum(), image.OPTIONAL_HEADER.CheckSum)
        self.assertIn(tested, self.ok(run("test", installer)).stdout)
        target = tempfile.mkdtemp(dir=self.dir)
        self.ok(run("extract", "-C", target, "--overwrite", "replace", installer))
        for name, content in (files or self.files).items():
            self.assertEqual(content, read(os.path.join(target, name)), name)


class ThirdPartyTools(Case):
    def test_every_resource_reads_back_and_the_image_stays_sound(self):
        options = ["--icon", self.icon, "--link", LINK, "--execution-level", "requireAdministrator"]
        for key, value in VERSION.values():
            options += ["--version-info", "%s=%s" % (key, value)]
        for arch, stub in self.stubs.items():
            with self.subTest(arch=arch):
                out = self.create(stub, self.path(arch + ".exe"), *options)
                image = self.pe(out)
                self.assertEqual({k: v for k, (_, v) in VERSION.items()}, version_strings(image))
                fixed = image.VS_FIXEDFILEINFO[0]
                self.assertEqual((0x00010002, 0x00030004, 0x00010002, 0x00030000), (
                    fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS))

                last, header = image.sections[-1], image.OPTIONAL_HEADER
                end = last.VirtualAddress + last.Misc_VirtualSize
                self.assertEqual((b".rsrc", -(-end // header.SectionAlignment) * header.SectionAlignment,
                                  last.VirtualAddress, last.Misc_VirtualSize),
                                 (last.Name.rstrip(b"\0"), header.SizeOfImage,
                                  header.DATA_DIRECTORY[2].VirtualAddress, header.DATA_DIRECTORY[2].Size))

                # Code, data and relocations are the stub's, byte for byte and entry for entry.
                original = self.pe(stub)
                self.assertEqual(original.OPTIONAL_HEADER.DllCharacteristics, header.DllCharacteristics)
                for before in original.sections:
                    if before.Name.rstrip(b"\0") not in (b".rsrc", b".reloc"):
                        after = next(s for s in image.sections if s.Name == before.Name)
                        self.assertEqual((before.VirtualAddress, before.get_data()),
                                         (after.VirtualAddress, after.get_data()), before.Name)

                def relocations(pe):
                    return [(e.rva, e.type) for block in pe.DIRECTORY_ENTRY_BASERELOC for e in block.entries]
                self.assertTrue(relocations(original))
                self.assertEqual(relocations(original), relocations(image))

                # Group 102 gives back the .ico, directory and images (wrestool adds bytes
                # past the last); the manifest holds the level, string 12 the address.
                given = read(self.icon)
                self.assertEqual(given, tool("wrestool", "-x", "--type=14", "--name=102", out)[:len(given)])
                manifest = self.resource(out, 24, 1).decode()
                self.assertIn('requestedExecutionLevel level="requireAdministrator" uiAccess="false"', manifest)
                self.assertEqual((AWARE, LINK), (dpi_settings(manifest), counted_strings(self.resource(out, 6, 1))[12]))
                self.assert_sound(out)

    def test_without_options_the_stubs_resources_stay_and_ours_are_added(self):
        for arch, stub in self.stubs.items():
            with self.subTest(arch=arch):
                out = self.create(stub, self.path(arch + ".exe"))
                kept = [{k: v for k, v in resources(p).items() if k[0] in (3, 5, 6, 14, 24)} for p in (stub, out)]
                self.assertEqual(*kept)
                image = self.pe(out)
                self.assertEqual(("Kelvra self-installer", 0x00010003),
                                 (version_strings(image)["ProductName"], image.VS_FIXEDFILEINFO[0].FileVersionMS))
                listed = run("list", out).stdout
                info = self.listing(out)
                self.assertEqual(({}, ["en"], False, False),
                                 (info["resources"], info["languages"], "Icon:" in listed, "DPI aware" in listed))
                # DPI aware by default; --no-dpi-aware takes out only that element, the
                # level and the systems stay as they were.
                aware = self.resource(out, 24, 1).decode()
                unaware = self.create(stub, self.path(arch + "-unaware.exe"), "--no-dpi-aware")
                start = aware.index('<application xmlns="urn:schemas-microsoft-com:asm.v3">')
                end = aware.index("</application>", start) + len("</application>")
                self.assertEqual((AWARE, aware[:start] + aware[end:], {"dpi_aware": False}),
                                 (dpi_settings(aware), self.resource(unaware, 24, 1).decode(),
                                  self.listing(unaware)["resources"]))
                self.assertIn("DPI aware:          no\n", run("list", unaware).stdout)
                self.assert_sound(unaware)
                # Installers a byte apart, so that the file's length falls on every
                # remainder of a 32-bit word and the odd last byte is summed.
                for n in range(1, 5):
                    files, out = {"a.bin": os.urandom(n)}, self.path("%s-%d.exe" % (arch, n))
                    self.ok(run("create", "--stub", stub, "-o", out, self.write_tree(self.path(out + "-src"), files)))
                    stored = self.pe(out).OPTIONAL_HEADER.CheckSum
                    self.assertNotEqual(0, stored)
                    self.assert_sound(out, "PE checksum %08X is right; not signed" % stored, files)

    def test_dpi_awareness_from_the_project_and_the_option(self):
        for text, flag, want in (("dpi_aware = false\n", [], {}), ("dpi_aware = true\n", [], AWARE),
                                 ("dpi_aware = true\n", ["--no-dpi-aware"], {})):
            with self.subTest(project=text, options=flag):
                project = self.write(self.path("kelvra.toml"), text.encode())
                out = self.create(self.stub, self.path("project.exe"), "--project", project, *flag)
                self.assertEqual(want, dpi_settings(self.resource(out, 24, 1).decode()))


class Settings(Case):
    def test_project_keys_with_options_winning_shown_by_list(self):
        self.write(self.path("kelvra.toml"), b'output = "p.exe"\nicon = "app.ico"\nlink = "http://example.com/file"\n'
                   b'execution_level = "highestAvailable"\n[[input]]\npath = "src"\n[version]\n'
                   b'product_name = "From File"\nfile_version = "2.0"\ncompany = "File Ltd"\n')
        self.ok(run("create", "--project", self.path("kelvra.toml"), "--stub", self.stub, "--link",
                    "https://example.com/cli", "--version-info", "product_name=From CLI"))
        out = self.path("p.exe")
        self.assertEqual({"icon": [{"width": n, "height": n, "bit_count": 32} for n in ICON_SIZES],
                          "link": "https://example.com/cli", "execution_level": "highestAvailable",
                          "version": {"product_name": "From CLI", "file_version": "2.0", "company": "File Ltd"}},
                         self.listing(out)["resources"])
        self.assertIn("Icon:               32x32 32-bit, 16x16 32-bit, 48x48 32-bit", run("list", out).stdout)
        fixed = self.pe(out).VS_FIXEDFILEINFO[0]
        self.assertEqual((0x00020000, 0), (fixed.FileVersionMS, fixed.FileVersionLS))

    def test_bad_inputs_are_refused_and_nothing_is_written(self):
        def icon(data):
            return ["--icon", self.write(self.path("bad%d.ico" % len(os.listdir(self.dir))), data)]
        gif = struct.pack("<HHHBBBBHHII", 0, 1, 1, 32, 32, 0, 0, 1, 32, 66, 22) + b"GIF89a" + bytes(60)

        def check(options, status, words):
            self.refused(run("create", "--stub", self.stub, "-o", self.path("out.exe"), *options, self.src),
                         status, words)
        self.each([
            ("not an ico", icon(b"This is not an icon\n"), 1, "not a valid .ico file: it does not start with an icon"),
            ("truncated ico", icon(read(self.icon)[:-10]), 1, "image 3 lies outside the file"),
            ("ico of 0 images", icon(struct.pack("<HHH", 0, 1, 0)), 1, "holds no images"),
            ("ico directory cut", icon(struct.pack("<HHH", 0, 1, 3) + bytes(20)), 1, "directory of 3 images is cut"),
            ("ico of a gif", icon(gif), 1, "neither a PNG nor a bitmap"),
            ("link too long", ["--link", LINK + "x"], 2, "--link: the address is 60 characters"),
            ("link not http", ["--link", "ftp://example.com/"], 2, "--link: 'ftp://example.com/' is not an http"),
            ("link without host", ["--link", "https:///path"], 2, "names no host"),
            ("link with a blank", ["--link", "https://example.com/a b"], 2, "holds a blank"),
            ("link outside the code page", ["--link", "https://example.com/\u03a9"], 2, "code page 1252"),
            ("unknown level", ["--execution-level", "admin"], 2, "--execution-level: 'admin' is not"),
            ("five numbers", ["--version-info", "file_version=1.2.3.4.5"], 2, "--version-info file_version:"),
            ("number too big", ["--version-info", "file_version=1.70000"], 2, "--version-info file_version:"),
            ("numeric product version", ["--version-info", "product_version=1..2"], 2, "product_version:"),
            ("unknown version key", ["--version-info", "colour=blue"], 2, "unknown key 'colour'"),
            ("no equals sign", ["--version-info", "product_name"], 2, "expected KEY=VALUE"),
            ("control character", ["--version-info", "company=a\tb"], 2, "control character"),
        ], check)


class Checksum(Case):
    def forged(self, name, offset, value):
        data = bytearray(read(self.create(self.stub, self.path("base.exe"))))
        at = offset(data)
        data[at:at + len(value)] = value
        return self.write(self.path(name), data)

    def test_a_change_outside_the_archive_and_the_certificate_entry_told_by_test(self):
        size = os.path.getsize(self.create(self.stub, self.path("base.exe")))
        inside = size - 16 - size % 8  # 8-aligned, ending at the file's end, inside the archive

        def check(offset, value, status, words):
            tested = run("test", self.forged("forged.exe", offset, value))
            self.assertEqual(status, tested.returncode, tested.stdout + tested.stderr)
            # A refusal is an error; a note on a sound archive is part of the report.
            self.assertIn(words, tested.stderr if status else tested.stdout)

        def entry(data):
            return header_offsets(data)[1]
        self.each([
            # A byte of the DOS stub's message: outside the archive's own checksum.
            ("a changed byte", lambda data: 0x50, b"x", 0, "PE checksum is wrong"),
            ("the checksum cleared", lambda data: header_offsets(data)[0], bytes(4), 0, "PE checksum not set"),
            ("an entry past the end", entry, struct.pack("<II", inside, 4096), 1, "does not lie within the file"),
            ("an entry too small", entry, struct.pack("<II", inside, 4), 1, "does not lie within the file"),
            ("an entry over the archive", entry, struct.pack("<II", inside, size - inside), 1, "overlaps the archive"),
            # The archive still tests; only the signature is said not to cover it.
            ("an entry in front", entry, struct.pack("<II", 64, 64), 0, "lies in front of the archive, so its "
             "signature does not cover"),
        ], check)

    def test_installer_signed_by_create_verifies_and_tests(self):
        signer = Signer(self.dir)
        project = self.write(self.path("kelvra.toml"), ("sign = '''%s'''\nlink = '%s'\n" % (signer.command, LINK))
                             .encode())
        # Branded too: the signature must be over the installer's final resources.
        for how, options in {"option": ["--sign", signer.command, "--link", LINK],
                             "project file": ["--project", project]}.items():
            with self.subTest(how):
                out = self.create(self.stub, self.path("setup-%s.exe" % how.replace(" ", "-")), *options)
                self.assertFalse([n for n in os.listdir(self.dir) if n.startswith(os.path.basename(out) + ".")])
                self.assertTrue(*signer.verifies(out))
                self.assert_sound(out, "; signed: certificate table")
                self.assertEqual(LINK, self.listing(out)["resources"]["link"])


GERMAN, JAPANESE, SWEDISH = 0x0407, 0x0411, 0x041D
# Where each key's text lives: string id, or the dialog.
STRING_IDS = {"replace": 2, "replace_all": 3, "skip": 4, "skip_all": 5, "file_exists": 6, "all_files": 7,
              "new_name": 8, "ok": 10, "cancel": 11, "out_of_memory": 15, "corrupted": 16, "inflating": 17,
              "cancelled": 19, "bad_password": 20, "needs_password": 21, "directory_missing": 22,
              "expand_to": 23, "password": 24, "write_failed": 25}
ENGLISH = {2: "Replace", 10: "OK", 11: "Cancel", 12: "https://kelvra.example.org/", 13: "Kelvra self-installer v1.3, ",
           22: "Directory does not exist.", 23: "Expand to:", 24: "Password:", 25: "Uh-Oh!"}
# Swedish, which we don't ship: a maker's table that gives every text (every key there is) adds it.
SWEDISH_TEXTS = {
    "replace": "Ersätt", "replace_all": "Ersätt alla", "skip": "Hoppa över", "skip_all": "Hoppa över alla",
    "file_exists": "Filen finns redan:\n\t", "all_files": "Alla filer", "new_name": "Nytt namn", "ok": "OK",
    "cancel": "Avbryt", "out_of_memory": "Minnet räcker inte", "corrupted": "Filen är skadad.",
    "inflating": "  packar upp: ", "cancelled": "Avbrutet av användaren.", "bad_password": "Fel lösenord.",
    "needs_password": "Zip-filen kräver ett lösenord.\n\nSkriv lösenordet och klicka på OK.",
    "directory_missing": "Mappen finns inte.", "expand_to": "Mapp:", "password": "Lösenord:",
    "write_failed": "Skrivfel!", "dialog_title": "Filen finns", "rename": "Byt namn", "stop_asking": "Fråga inte igen"}


def resources(path):
    image = pefile.PE(path)
    return {(kind.id, name.id, lang.id): image.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
            for kind in image.DIRECTORY_ENTRY_RESOURCE.entries for name in kind.directory.entries
            for lang in name.directory.entries}


def strings(found, language):
    return counted_strings(found[(6, 1, language)], found[(6, 2, language)])
SWEDISH_TOML = "[texts.sv]\n" + "".join("%s = %s\n" % (key, json.dumps(text, ensure_ascii=False))
                                        for key, text in SWEDISH_TEXTS.items())


@unittest.skipUnless(STUB, "no stub built in")
class Languages(PackerCase):
    def setUp(self):
        super().setUp()
        self.write(self.path("in", "a.txt"), b"a\n")

    def project(self, body):
        text = 'output = "setup.exe"\n%s\n[[input]]\npath = "in"\n' % body
        return self.write(self.path("kelvra.toml"), text.encode())

    def create(self, body, *options):
        self.ok(run("create", "--project", self.project(body), "--stub", STUB, "-q", *options))
        return self.path("setup.exe")

    def test_german_and_japanese_read_back(self):
        # English moves to US English beside them; the link and banner are in every table.
        installer = self.create('languages = ["de", "ja"]\n[texts.ja]\nreplace = "上書き"\n'
                                'stop_asking = "次回から確認しない"\n', "--link", "https://example.com/x")
        found = resources(installer)
        self.assertEqual({0x0409, GERMAN, JAPANESE}, {key[2] for key in found if key[0] in (5, 6)})
        english, german, japanese = (strings(found, language) for language in (0x0409, GERMAN, JAPANESE))
        self.assertEqual({**ENGLISH, 12: "https://example.com/x"}, {i: english[i] for i in ENGLISH})
        self.assertEqual(("Ersetzen", "Abbrechen", "上書き"), (german[2], german[11], japanese[2]))
        # The code page each translation needs, which the stub compares with the system's.
        self.assertEqual(("", "1252", "932"), (english[26], german[26], japanese[26]))
        for table in (german, japanese):
            self.assertEqual(("https://example.com/x", ENGLISH[13], "*.*"), (table[12], table[13], table[9]))
            # Translated, every one ("OK" is OK in both).
            self.assertEqual([], [i for i in set(STRING_IDS.values()) - {10} if table[i] in ("", english[i])])
        dialogs = {language: found[(5, 101, language)].decode("utf-16-le", errors="replace")
                   for language in (0x0409, GERMAN, JAPANESE)}
        for language, text in ((GERMAN, "Datei vorhanden"), (GERMAN, "Überspringen"), (GERMAN, "Nicht mehr fragen"),
                               (JAPANESE, "次回から確認しない"), (0x0409, "File Exists")):
            self.assertIn(text, dialogs[language])
        dry = run("create", "--project", self.project('languages = ["de", "ja"]\n'), "--stub", STUB, "--dry-run")
        self.assertIn("Languages:          en, de, ja\n", dry.stdout)
        self.assertIn("Languages:          en, de, ja\n", run("list", installer).stdout)

    def test_every_language_and_a_language_of_the_makers(self):
        installer = self.create('languages = ["all"]\n' + SWEDISH_TOML)
        tags = self.listing(installer)["languages"]
        self.assertEqual(["en", "de", "fr", "es", "it", "pt-BR", "nl", "pl", "cs", "ru", "uk", "tr", "ja", "ko",
                          "zh-CN", "zh-TW", "sv"], tags)
        swedish = strings(resources(installer), SWEDISH)
        self.assertEqual({k: t for k, t in SWEDISH_TEXTS.items() if k in STRING_IDS},
                         {k: swedish[i] for k, i in STRING_IDS.items()})

    def test_init_writes_every_key_commented(self):
        self.ok(run("init", self.path("started.toml")))
        lines = read(self.path("started.toml")).decode().splitlines()
        self.assertIn("# languages = [\"de\", \"fr\"]", lines)
        self.assertEqual([], [k for k in SWEDISH_TEXTS if not any(line.startswith("# %s = " % k) for line in lines)])

    def test_refusals(self):
        cases = [
            ("unknown key", '[texts.de]\nreplac = "Ersetzen"\n', 3, "texts.de.replac", "did you mean 'replace'"),
            ("unknown language in a table", '[texts.xx]\nreplace = "x"\n', 2, "texts.xx", "unknown language 'xx'"),
            ("unknown language in the list", 'languages = ["de", "xx"]\n', 2, "languages", "unknown language 'xx'"),
            ("a language we don't ship, one key missing", SWEDISH_TOML.replace('rename = "Byt namn"\n', ""), 2,
             "texts.sv", "missing: rename"),
            ("a caption over 9 characters", '[texts.de]\ncancel = "Abbrechen!"\n', 3, "texts.de.cancel",
             "the installer holds at most 9"),
            ("over its buffer", '[texts.de]\nwrite_failed = "%s"\n' % ("x" * 48), 3, "texts.de.write_failed",
             "48 bytes in code page 1252; the installer holds at most 47"),
            ("wider than its button", '[texts.de]\nreplace = "WWWWWWWWWWWW"\n', 3, "texts.de.replace", "pixels"),
            ("outside the code page", '[texts.pl]\nskip = "Пропустить"\n', 3, "texts.pl.skip",
             "code page 1250"),
            ("a line break on a button", '[texts.de]\nskip = "Über-\\nspringen"\n', 3, "texts.de.skip",
             "control character"),
            ("not a string", "[texts.de]\nok = 1\n", 3, "texts.de.ok", "expected a string"),
        ]
        for name, body, line, key, reason in cases:
            with self.subTest(name):
                result = run("create", "--project", self.project(body), "--stub", STUB)
                self.refused(result, 2, "kelvra.toml:%d: key '%s': " % (line, key), self.path("setup.exe"))
                self.assertIn(reason, result.stderr)
        self.refused(run("create", "--project", self.project(""), "--stub", STUB, "--language", "xx"), 2,
                     "--language: unknown language 'xx'", self.path("setup.exe"))


if __name__ == "__main__":
    unittest.main()
