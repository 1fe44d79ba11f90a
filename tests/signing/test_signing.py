#!/usr/bin/env python3
# An installer signed with osslsigncode under a throw-away certificate verifies and still
# tests; a changed archive byte, or bytes after the signature, fail both. (create's own
# sign step: tests/packer; each shape of certificate table: the unit tests.)
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packer"))
from packer_helpers import PackerCase, Signer, read, run  # noqa: E402


class SignedInstaller(PackerCase):
    def test_signature_and_archive_hold_until_a_byte_changes(self):
        stub = os.environ["KELVRA_STUB"]
        self.write(self.path("src", "data.bin"), os.urandom(70000))
        self.ok(self.create(self.path("src"), out="setup.exe", stub=stub))
        signer, signed = Signer(self.dir), self.path("signed.exe")
        signer.sign(self.path("setup.exe"), signed)
        self.assertTrue(*signer.verifies(signed))
        self.ok(run("test", signed))
        changed = bytearray(read(signed))
        changed[os.path.getsize(stub) + 5000] ^= 0x40
        tampered = {"a changed payload byte": changed, "bytes after the signature": read(signed) + bytes(16)}
        for what, data in tampered.items():
            with self.subTest(what):
                path = self.write(self.path("tampered.exe"), data)
                self.assertEqual(1, run("test", path).returncode)
                self.assertFalse(signer.verifies(path)[0])

