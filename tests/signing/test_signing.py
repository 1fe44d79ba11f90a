# Signed installers from the outside: a throw-away code-signing certificate made with
# openssl, an installer packed and then signed with osslsigncode; the signature and the
# archive's own checksum must both hold, and the archive still lists and extracts (a
# changed byte of a signed file, and where the archive lies: the signing unit tests).
import os
import shutil
import subprocess
import tempfile
import unittest


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


if __name__ == "__main__":
    unittest.main()
