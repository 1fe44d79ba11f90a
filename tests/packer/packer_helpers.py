# What the packer's suites share. The archive builder writes the format by hand, not
# through the packer's writer, so a test can forge any field under a matching checksum.
import json
import os
import shutil
import struct
import subprocess
import tempfile
import unittest
import zlib

PACK = os.environ.get("KELVRA_PACK", "kelvra-pack")
EMBEDDED_STUB = os.environ.get("KELVRA_STUB", "")
STUBS = {"i686": EMBEDDED_STUB, "x86_64": os.environ.get("KELVRA_STUB_X64", "")}
Y2K_NS = 946684800 * 10**9
NORMAL = 0x20  # FILE_ATTRIBUTE_ARCHIVE, what the packer stores for an ordinary file
NO_STRINGS = (b"",) * 7


def run(*args, stdin=subprocess.DEVNULL, cwd=None, env=None, timeout=300):
    return subprocess.run([PACK, *map(str, args)], stdin=stdin, capture_output=True, text=True,
                          errors="replace", cwd=cwd, env=env, timeout=timeout)


def tool(*args, cwd=None, env=None, text=False, timeout=600):
    """Another program's stdout (bytes, or text); its failure fails the test."""
    result = subprocess.run([*map(str, args)], capture_output=True, text=text, cwd=cwd, env=env, timeout=timeout)
    if result.returncode != 0:
        output = result.stdout + result.stderr
        raise AssertionError("%s failed (%d):\n%s" % (args, result.returncode,
                                                      output if text else output.decode(errors="replace")))
    return result.stdout


def check(*args, **options):
    return tool(*args, text=True, **options)


def framed(streams):
    return b"".join(struct.pack("<H", len(s)) + s for s in streams)


def record(name, stored_size, last_write=0):
    """One directory record of an ordinary file, its time both last-write and creation time."""
    return bytes([len(name)]) + name + struct.pack("<IBQQ", stored_size, NORMAL, last_write, last_write)


def archive(entries, strings=NO_STRINGS):
    """A stub-free archive with a matching checksum. entries: (name, stored bytes) or
    (name, stored bytes, time)."""
    payload = b"".join(stored for _, stored, *_ in entries)
    directory = b"".join(record(name, len(stored), *when) for name, stored, *when in entries)
    directory += b"".join(bytes([len(s)]) + s for s in strings)
    body = payload + directory + struct.pack("<II", len(directory), len(entries))
    return body + struct.pack("<I", zlib.crc32(body))


def forge(entries, strings=NO_STRINGS):
    """A stub-free archive of (name, [zlib streams]) entries."""
    return archive([(name, framed(streams)) for name, streams in entries], strings)


def flip_checksum(data):
    return data[:-4] + struct.pack("<I", struct.unpack("<I", data[-4:])[0] ^ 1)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tree(root):
    """Every file under root: relative path -> (bytes, mtime in 100 ns, writable)."""
    files = {}
    for base, _, names in os.walk(root):
        for name in names:
            p = os.path.join(base, name)
            st = os.stat(p)
            files[os.path.relpath(p, root)] = (read(p), st.st_mtime_ns // 100, bool(st.st_mode & 0o200))
    return files


class PackerCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kelvra-pack-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.stub = self.write(self.path("stub.bin"), b"MZ" + bytes(range(256)) * 4)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, path, data, mtime_ns=None):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        if mtime_ns is not None:
            os.utime(path, ns=(mtime_ns, mtime_ns))
        return path

    def write_tree(self, root, files):
        for name, content in files.items():
            self.write(os.path.join(root, name), content)
        return root

    def built_stubs(self):
        found = {arch: stub for arch, stub in STUBS.items() if stub and os.path.exists(stub)}
        if not found:
            self.fail("neither KELVRA_STUB nor KELVRA_STUB_X64 names a built stub")
        return found

    def create(self, *args, out="out.exe", stub=None):
        return run("create", "-o", self.path(out), "--stub", stub or self.stub, *args)

    def listing(self, archive="out.exe"):
        result = run("list", "--json", self.path(archive))
        self.assertEqual(0, result.returncode, result.stderr)
        return json.loads(result.stdout)

    def each(self, cases, check):
        for what, *row in cases:
            with self.subTest(what):
                check(*row)

    def ok(self, result):
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        return result

    def refused(self, result, status, words, *unwritten):
        """Refused with this status (or one of these) and these words on stderr, and
        none of the files made: out.exe and its temporaries by default; a path that
        ends in a separator names a folder that must stay empty."""
        self.assertIn(result.returncode, (status,) if isinstance(status, int) else status,
                      result.stdout + result.stderr)
        self.assertIn(words, result.stderr)
        for path in unwritten or (self.path("out.exe"),):
            folder, name = os.path.split(path)
            self.assertEqual([], [n for n in os.listdir(folder) if n.startswith(name)] if os.path.isdir(folder)
                             else [], "%s was written" % path)

    def sample_tree(self):
        src = self.path("src")
        t = Y2K_NS + 1234567800  # a time on the 100 ns grid survives the round trip
        self.write(os.path.join(src, "empty"), b"", t)
        self.write(os.path.join(src, "big.txt"), b"0123456789" * 2500, t + 100)
        self.write(os.path.join(src, "sub", "deeper", "noise.bin"), os.urandom(23456), t + 200)
        self.write(os.path.join(src, "sub", "café.txt"), "déjà vu".encode(), t + 300)
        ro = self.write(os.path.join(src, "sub", "readonly.txt"), b"keep", t + 400)
        os.chmod(ro, 0o444)
        return src


class Signer:
    def __init__(self, folder):
        self.key, self.cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
        tool("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", self.key,
             "-out", self.cert, "-subj", "/CN=Kelvra test signer", "-addext", "extendedKeyUsage=codeSigning")
        self.command = "osslsigncode sign -certs '%s' -key '%s' -in {in} -out {out}" % (self.cert, self.key)

    def sign(self, unsigned, signed):
        tool("osslsigncode", "sign", "-certs", self.cert, "-key", self.key, "-in", unsigned, "-out", signed)

    def verifies(self, path):
        """(passed, output); our own certificate is the only trusted root."""
        result = subprocess.run(["osslsigncode", "verify", "-CAfile", self.cert, path], capture_output=True, text=True)
        return result.returncode == 0 and "Signature verification: ok" in result.stdout, result.stdout + result.stderr
