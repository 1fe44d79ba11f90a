#!/usr/bin/env python3
# Installers that speak more than English, read back with icoutils' wrestool: each
# language's string table and "File Exists" dialog under its language id beside the
# English ones, with the texts the packer was given. Then the English-only default left
# as the stub has it, list and --json, init's commented keys, and every refusal of a
# maker's [texts.LANG] table: status 2, the line and key named, no installer written.
import json
import struct
import subprocess
import unittest

from packer_helpers import EMBEDDED_STUB as STUB, PackerCase, run

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
    """{(type, name, language): raw bytes} as wrestool lists and extracts them."""
    listing = subprocess.run(["wrestool", "-l", path], capture_output=True, text=True, check=True).stdout
    found = {}
    for line in listing.splitlines():
        fields = dict(part.split("=", 1) for part in line.split() if part.startswith("--"))
        key = (int(fields["--type"]), int(fields["--name"]), int(fields["--language"]))
        found[key] = subprocess.run(["wrestool", "-x", "--raw", "--type=%d" % key[0], "--name=%d" % key[1],
                                     "--language=%d" % key[2], path], capture_output=True, check=True).stdout
    return found


def strings(found, language):
    """Every string of the table under language, by id."""
    out = {}
    for block in (1, 2):
        data, at = found[(6, block, language)], 0
        for index in range(16):
            length = struct.unpack_from("<H", data, at)[0]
            out[(block - 1) * 16 + index] = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            at += 2 + 2 * length
    return out


def toml_text(text):
    return json.dumps(text, ensure_ascii=False)


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

    def test_german_and_japanese_read_by_wrestool(self):
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
        self.assertEqual(["en", "de", "ja"], json.loads(run("list", "--json", installer).stdout)["languages"])
        self.assertIn("Languages:          en, de, ja\n", run("list", installer).stdout)

    def test_english_alone_is_the_stubs_own(self):
        ours, stub = resources(self.create("")), resources(STUB)
        self.assertEqual({k: v for k, v in stub.items() if k[0] in (5, 6)}, {k: v for k, v in ours.items() if k[0] in (5, 6)})
        self.assertEqual(["en"], json.loads(run("list", "--json", self.path("setup.exe")).stdout)["languages"])

    def test_every_language_and_a_language_of_the_makers(self):
        body = "languages = [\"all\"]\n[texts.sv]\n" + "".join(
            "%s = %s\n" % (key, toml_text(text)) for key, text in SWEDISH_TEXTS.items())
        installer = self.create(body)
        tags = json.loads(run("list", "--json", installer).stdout)["languages"]
        self.assertEqual(["en", "de", "fr", "es", "it", "pt-BR", "nl", "pl", "cs", "ru", "uk", "tr", "ja", "ko",
                          "zh-CN", "zh-TW", "sv"], tags)
        swedish = strings(resources(installer), SWEDISH)
        self.assertEqual({k: t for k, t in SWEDISH_TEXTS.items() if k in STRING_IDS},
                         {k: swedish[i] for k, i in STRING_IDS.items()})

    def test_init_writes_every_key_commented(self):
        self.ok(run("init", self.path("started.toml")))
        with open(self.path("started.toml"), encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertIn("# languages = [\"de\", \"fr\"]", lines)
        self.assertEqual([], [k for k in SWEDISH_TEXTS if not any(line.startswith("# %s = " % k) for line in lines)])

    def test_refusals(self):
        full_but_one = "".join("%s = %s\n" % (key, toml_text(text)) for key, text in SWEDISH_TEXTS.items()
                               if key != "rename")
        cases = [
            ("unknown key", '[texts.de]\nreplac = "Ersetzen"\n', 3, "texts.de.replac", "did you mean 'replace'"),
            ("unknown language in a table", '[texts.xx]\nreplace = "x"\n', 2, "texts.xx", "unknown language 'xx'"),
            ("unknown language in the list", 'languages = ["de", "xx"]\n', 2, "languages", "unknown language 'xx'"),
            ("a language we don't ship, one key missing", "[texts.sv]\n" + full_but_one, 2, "texts.sv",
             "missing: rename"),
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
