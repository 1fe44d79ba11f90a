#!/usr/bin/env python3
# Signed installers from the outside: an installer packed and then signed with
# osslsigncode under a throw-away certificate; the signature and the archive's own
# checksum must both hold, and both must catch a changed archive byte. The Wine test
# runs a signed x86_64 installer through the end-to-end harness. (Signed by create's
# own sign step: tests/packer/test_pe_checksum.py.)
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "packer"))
from packer_helpers import PackerCase, Signer, read, run  # noqa: E402

FILES = {"readme.txt": b"Signed installers keep their archive before the signature.\r\n" * 40,
         os.path.join("bin", "data.bin"): os.urandom(70000), "empty.txt": b""}


class SignedInstaller(PackerCase):
    def setUp(self):
        super().setUp()
        self.signer = Signer(self.dir)

    def assert_refused(self, installer, what):
        result = run("test", installer)
        self.assertEqual(1, result.returncode, "kelvra-pack test passed %s:\n%s" % (what, result.stdout))
        passed, output = self.signer.verifies(installer)
        self.assertFalse(passed, "the signature still verifies %s:\n%s" % (what, output))

    def test_i686_installer_signed_after_packing(self):
        stub = os.environ.get("KELVRA_STUB")
        if not stub:
            self.skipTest("KELVRA_STUB is not set to the i686 stub")
        src = self.write_tree(self.path("payload"), FILES)
        unsigned, signed = self.path("setup.exe"), self.path("setup-signed.exe")
        self.ok(run("create", "-o", unsigned, "--stub", stub, "--run", "readme.txt", src))
        self.signer.sign(unsigned, signed)
        passed, output = self.signer.verifies(signed)
        self.assertTrue(passed, output)
        result = self.ok(run("test", signed))
        self.assertIn("3 entries", result.stdout)
        # The checksum osslsigncode wrote is the one test computes, and the signature is
        # said to cover the archive.
        self.assertIn("is right; signed: certificate table of", result.stdout)
        self.assertIn("the archive in front of it", result.stdout)
        os.makedirs(self.path("out"))
        self.ok(run("extract", "-C", self.path("out"), "--overwrite", "skip", signed))
        self.assertEqual(FILES, {name: read(self.path("out", name)) for name in FILES})

        # A changed payload byte (where in the archive: the reader's unit tests).
        data = bytearray(read(signed))
        data[os.path.getsize(stub) + 5000] ^= 0x40
        self.assert_refused(self.write(self.path("changed.exe"), data), "with a changed payload byte")
        # Bytes appended after the signature: neither the archive nor the signature is
        # where it belongs any more.
        self.assert_refused(self.write(self.path("appended.exe"), read(signed) + bytes(16)),
                            "with bytes after the signature")

    def test_x86_64_installer_signed_extracts_under_wine(self):
        if not os.environ.get("KELVRA_STUB_X64"):
            self.skipTest("KELVRA_STUB_X64 is not set to the x86_64 stub")
        sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
        import kelvra_e2e as k

        s = k.Scenario("signed-installer")
        self.addCleanup(s.close)
        s.__enter__()
        src = self.write_tree(os.path.join(s.root, "payload"), FILES)
        unsigned = s.pack([src], output="setup.exe", default_dir=k.windows_path(s.target))
        signed = os.path.join(s.root, "setup-signed.exe")
        self.signer.sign(unsigned, signed)
        passed, output = self.signer.verifies(signed)
        self.assertTrue(passed, output)

        s.start(signed)
        s.press_button(s.wait_window("Kelvra"))
        s.wait_exit()
        self.assertEqual(sorted(FILES), s.files())
        self.assertEqual(FILES, {name: read(os.path.join(s.target, name)) for name in FILES})


if __name__ == "__main__":
    unittest.main()
