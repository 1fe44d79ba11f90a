#!/usr/bin/env python3
# The PE checksum of finished installers, read with pefile rather than our own code,
# and what `kelvra-pack test` says about it and about a signature: right after create,
# wrong after a change outside the archive, and a certificate entry that points outside
# the file or into the archive refused (signed after packing: tests/signing); and
# create's own signing step of a branded installer, run with osslsigncode and with
# commands that fail.
import json
import os
import shutil
import struct
import unittest

import pefile

from packer_helpers import PackerCase, Signer, read, run

LINK = "https://example.com/signed-app"


def checksums(path):
    """(stored, computed by pefile)."""
    image = pefile.PE(path, fast_load=True)
    try:
        return image.OPTIONAL_HEADER.CheckSum, image.generate_checksum()
    finally:
        image.close()


def header_offsets(data):
    """File offsets of the CheckSum field and of the security directory entry."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    wide = struct.unpack_from("<H", data, optional)[0] == 0x20B
    return optional + 64, optional + (112 if wide else 96) + 4 * 8


class Case(PackerCase):
    def setUp(self):
        super().setUp()
        self.src = self.write_tree(self.path("src"), {"a.txt": b"branded\r\n" * 40, "sub/b.bin": os.urandom(7000)})

    def make(self, stub, name, files):
        src = self.path(name + "-src")
        os.makedirs(src)
        for file, content in files.items():
            self.write(os.path.join(src, file), content)
        out = self.path(name + ".exe")
        self.ok(run("create", "--stub", stub, "-o", out, src))
        return out

    def rewrite(self, path, change):
        data = bytearray(read(path))
        change(data)
        self.write(path, data)


class Created(Case):
    # Odd and even file lengths: an odd last byte is the step most easily summed wrong.
    # Installers a byte apart, so that the file's length falls on every remainder of a
    # 32-bit word and the odd last byte is summed.
    PAYLOADS = {"%d-byte file" % n: {"a.bin": os.urandom(n)} for n in range(1, 5)}

    def test_every_installer_carries_the_checksum_pefile_computes(self):
        for arch, stub in self.built_stubs().items():
            for name, files in self.PAYLOADS.items():
                with self.subTest(arch=arch, payload=name):
                    out = self.make(stub, "%s-%s" % (arch, name.replace(" ", "-")), files)
                    stored, computed = checksums(out)
                    self.assertNotEqual(0, stored)
                    self.assertEqual(computed, stored)
                    tested = self.ok(run("test", out))
                    self.assertIn("PE checksum %08X is right; not signed" % stored, tested.stdout)

    def test_a_change_outside_the_archive_is_reported_but_the_archive_still_tests(self):
        stub = next(iter(self.built_stubs().values()))
        out = self.make(stub, "changed", {"a.txt": b"hello"})
        # A byte of the DOS stub's message: outside the archive's own checksum.
        self.rewrite(out, lambda data: data.__setitem__(0x50, data[0x50] ^ 0x20))
        tested = self.ok(run("test", out))
        self.assertIn("PE checksum is wrong", tested.stdout)

        checksum_at, _ = header_offsets(read(out))
        self.rewrite(out, lambda data: data.__setitem__(slice(checksum_at, checksum_at + 4), bytes(4)))
        tested = self.ok(run("test", out))
        self.assertIn("PE checksum not set", tested.stdout)


class CertificateEntry(Case):
    def test_where_the_certificate_entry_points(self):
        stub = next(iter(self.built_stubs().values()))
        out = self.make(stub, "base", {"a.txt": b"hello" * 100})
        size = os.path.getsize(out)
        inside = size - 16 - size % 8  # 8-aligned, ending at the file's end, inside the archive
        cases = {
            "runs past the end": (inside, 4096, 1, "does not lie within the file"),
            "too small": (inside, 4, 1, "does not lie within the file"),
            "over the archive": (inside, size - inside, 1, "overlaps the archive"),
            # The archive still tests; only the signature is said not to cover it.
            "in front": (64, 64, 0, "lies in front of the archive, so its signature does not cover"),
        }
        for name, (offset, length, status, words) in cases.items():
            with self.subTest(name):
                tested = run("test", self.forge_entry(out, name, offset, length))
                self.assertEqual(status, tested.returncode, tested.stdout + tested.stderr)
                # A refusal is an error; the note on a sound archive is part of the report.
                self.assertIn(words, tested.stderr if status else tested.stdout)

    def forge_entry(self, out, name, offset, length):
        """A copy of out whose security directory entry says offset and length."""
        forged = self.path(name.replace(" ", "-") + ".exe")
        shutil.copy(out, forged)
        _, entry_at = header_offsets(read(forged))
        self.rewrite(forged, lambda data: data.__setitem__(slice(entry_at, entry_at + 8),
                                                           struct.pack("<II", offset, length)))
        return forged


class SignStep(Case):
    def setUp(self):
        super().setUp()
        self.signer = Signer(self.dir)
        self.stub = next(iter(self.built_stubs().values()))

    def test_installer_signed_by_create_verifies_and_tests(self):
        project = self.path("kelvra.toml")
        with open(project, "w") as f:
            f.write("sign = '''%s'''\nlink = '%s'\n" % (self.signer.command, LINK))
        # Branded too: the signature must be over the installer's final resources.
        for how, options in {"option": ["--sign", self.signer.command, "--link", LINK],
                             "project file": ["--project", project]}.items():
            with self.subTest(how):
                out = self.path("setup-%s.exe" % how.replace(" ", "-"))
                self.ok(run("create", "--stub", self.stub, "-o", out, *options, self.src))
                # No temporary of the sign step is left beside it.
                self.assertFalse([n for n in os.listdir(self.dir) if n.startswith(os.path.basename(out) + ".")])
                self.assertTrue(*self.signer.verifies(out))
                stored, computed = checksums(out)
                self.assertEqual(computed, stored)
                tested = self.ok(run("test", out))
                self.assertIn("2 entries", tested.stdout)
                self.assertIn("; signed: certificate table", tested.stdout)
                self.assertEqual(LINK, json.loads(run("list", "--json", out).stdout)["resources"]["link"])


if __name__ == "__main__":
    unittest.main()
