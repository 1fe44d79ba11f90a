# Signed installers from the outside: a throw-away code-signing certificate made with
# openssl, an installer packed and then signed with osslsigncode; the signature and the
# archive's own checksum must both hold, and both must catch a changed archive byte.
# The Wine test runs a signed x86_64 installer through the end-to-end harness.
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def tool(name):
    return os.environ.get(name, "")


def run(args, timeout=300):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=timeout)


def make_payload(folder):
    """Files that need several chunks, a subfolder and an empty file; name -> bytes."""
    files = {
        "readme.txt": b"Signed installers keep their archive before the signature.\r\n" * 40,
        os.path.join("bin", "data.bin"): os.urandom(70000),
        "empty.txt": b"",
    }
    for name, content in files.items():
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
    return files


def flip(path, position, out):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    data[position] ^= 0x40
    with open(out, "wb") as f:
        f.write(data)


class Signer:
    """A key and a self-signed code-signing certificate, valid for two days."""

    def __init__(self, folder):
        self.key = os.path.join(folder, "key.pem")
        self.cert = os.path.join(folder, "cert.pem")
        result = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                      "-keyout", self.key, "-out", self.cert, "-subj", "/CN=Kelvra test signer",
                      "-addext", "extendedKeyUsage=codeSigning"])
        if result.returncode != 0:
            raise AssertionError("openssl could not make a certificate:\n" + result.stdout)

    def sign(self, unsigned, signed):
        result = run(["osslsigncode", "sign", "-certs", self.cert, "-key", self.key,
                      "-n", "Kelvra test installer", "-in", unsigned, "-out", signed])
        if result.returncode != 0:
            raise AssertionError("osslsigncode sign failed:\n" + result.stdout)

    def verify(self, path):
        """(passed, output); our own certificate is the only trusted root."""
        result = run(["osslsigncode", "verify", "-CAfile", self.cert, path])
        passed = result.returncode == 0 and "Signature verification: ok" in result.stdout
        return passed, result.stdout


class SignedInstaller(unittest.TestCase):

    def setUp(self):
        for name in ("openssl", "osslsigncode"):
            if shutil.which(name) is None:
                self.fail("%s is not installed (scripts/install-deps installs it)" % name)
        self.pack = tool("KELVRA_PACK")
        self.assertTrue(os.path.exists(self.pack), "KELVRA_PACK is not set to kelvra-pack")
        self.dir = tempfile.mkdtemp(prefix="kelvra-signing-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.signer = Signer(self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def kelvra_pack(self, *args):
        return run([self.pack] + list(args))

    def create(self, stub, output, inputs, *options):
        result = self.kelvra_pack("create", "-o", output, "--stub", stub, *options, *inputs)
        self.assertEqual(0, result.returncode, result.stdout)

    def assertRefused(self, installer, what):
        result = self.kelvra_pack("test", installer)
        self.assertEqual(1, result.returncode, "kelvra-pack test passed %s:\n%s" % (what, result.stdout))
        passed, output = self.signer.verify(installer)
        self.assertFalse(passed, "the signature still verifies %s:\n%s" % (what, output))

    def test_i686_installer_signed_after_packing(self):
        stub = tool("KELVRA_STUB")
        if not stub:
            self.skipTest("KELVRA_STUB is not set to the i686 stub")
        src = self.path("payload")
        files = make_payload(src)
        unsigned, signed = self.path("setup.exe"), self.path("setup-signed.exe")
        self.create(stub, unsigned, [src], "--run", "readme.txt")
        self.signer.sign(unsigned, signed)

        passed, output = self.signer.verify(signed)
        self.assertTrue(passed, output)
        result = self.kelvra_pack("test", signed)
        self.assertEqual(0, result.returncode, result.stdout)
        self.assertIn("3 entries", result.stdout)
        # The checksum osslsigncode wrote is the one test computes, and the signature is
        # said to cover the archive.
        self.assertIn("is right; signed: certificate table of", result.stdout)
        self.assertIn("the archive in front of it", result.stdout)
        out = self.path("out")
        os.makedirs(out)
        result = self.kelvra_pack("extract", "-C", out, "--overwrite", "skip", signed)
        self.assertEqual(0, result.returncode, result.stdout)
        for name, content in files.items():
            with open(os.path.join(out, name), "rb") as f:
                self.assertEqual(content, f.read(), name)

        # A changed payload byte (where in the archive: the reader's unit tests).
        changed = self.path("changed.exe")
        flip(signed, os.path.getsize(stub) + 5000, changed)
        self.assertRefused(changed, "with a changed payload byte")

        # Bytes appended after the signature: neither the archive nor the signature is
        # where it belongs any more.
        appended = self.path("appended.exe")
        shutil.copy(signed, appended)
        with open(appended, "ab") as f:
            f.write(b"\0" * 16)
        self.assertRefused(appended, "with bytes after the signature")

    def test_x86_64_installer_signed_extracts_under_wine(self):
        if not tool("KELVRA_STUB_X64"):
            self.skipTest("KELVRA_STUB_X64 is not set to the x86_64 stub")
        sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
        import kelvra_e2e as k

        s = k.Scenario("signed-installer")
        self.addCleanup(s.close)
        s.__enter__()
        src = os.path.join(s.root, "payload")
        files = make_payload(src)
        unsigned = s.pack([src], output="setup.exe", default_dir=k.windows_path(s.target))
        signed = os.path.join(s.root, "setup-signed.exe")
        self.signer.sign(unsigned, signed)
        passed, output = self.signer.verify(signed)
        self.assertTrue(passed, output)

        s.start(signed)
        s.press_button(s.wait_window("Kelvra"))
        s.wait_exit()
        self.assertEqual(sorted(files), s.files())
        for name, content in files.items():
            with open(os.path.join(s.target, name), "rb") as f:
                self.assertEqual(content, f.read(), name)


if __name__ == "__main__":
    unittest.main()
