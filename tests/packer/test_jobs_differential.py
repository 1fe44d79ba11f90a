#!/usr/bin/env python3
# test's verdict may not depend on its thread count, and must be extract's: mutated
# archives (sizes, counts, chunk lengths and bytes, names; most with a CRC-32 made to
# match, so the mutation and not the checksum is what is judged) go through
# `test --jobs 1`, `--jobs 2`, `--jobs 8` and `extract`, and any disagreement fails.
# Runs for KELVRA_DIFFERENTIAL_SECONDS (default 60); KELVRA_DIFFERENTIAL_SEED repeats
# a run. A failure prints the seed and keeps the archive.
import os
import random
import shutil
import struct
import tempfile
import time
import unittest
import zlib

from packer_helpers import record, run

SECONDS = float(os.environ.get("KELVRA_DIFFERENTIAL_SECONDS", "60"))


def chunks_of(data, rng):
    return [zlib.compress(data[at:at + 10000], rng.choice([1, 6, 9])) for at in range(0, len(data), 10000)]


def sample(rng):
    """A stub, entries as (name, [chunk streams]) and the seven strings."""
    entries = []
    for i in range(rng.randint(0, 5)):
        size = rng.choice([0, 1, 3, 100, 9999, 10000, 10001, 25000])
        data = bytes(rng.getrandbits(8) for _ in range(min(size, 64))) * (size // 64 + 1)
        entries.append([b"dir\\f%d.txt" % i if i % 2 else b"f%d.bin" % i, chunks_of(data[:size], rng)])
    stub = b"MZ" + bytes(rng.getrandbits(8) for _ in range(rng.choice([0, 30, 300])))
    return stub, entries, [b""] * 7


def serialize(stub, entries, strings, rng, mutations):
    """The file, with structural mutations applied as it is laid out."""
    def m(kind):
        return kind in mutations
    payload, directory, stored = b"", b"", []
    for name, chunks in entries:
        data = b""
        for c in chunks:
            length = len(c)
            if m("chunk length") and rng.random() < 0.3:
                length = max(0, min(0xFFFF, length + rng.choice([-2, -1, 1, 2, 1000, -length])))
            body = bytearray(c)
            if m("chunk bytes") and body and rng.random() < 0.3:
                body[rng.randrange(len(body))] ^= 1 << rng.randrange(8)
            data += struct.pack("<H", length) + bytes(body)
        size = len(data)
        if m("stored size") and rng.random() < 0.5:
            size = max(0, size + rng.choice([-3, -1, 1, 2, 4, 5, 12, 300, 301, -size]))
        stored.append(size)
        payload += data
        if m("name") and rng.random() < 0.4:
            name = bytearray(name or b"x")
            name[rng.randrange(len(name))] = rng.choice(b"\\/.:*\x00\x01\x81\x8d\xc9\xe9aA ")
            name = bytes(name)
        directory += record(name, size)
    for s in strings:
        directory += bytes([len(s)]) + s
    directory_size = len(directory)
    if m("directory size"):
        directory_size = max(0, directory_size + rng.choice([-1, 1, 7, -7]))
    count = len(entries)
    if m("entry count"):
        count = max(0, count + rng.choice([-1, 1, 2]))
    body = stub + payload + directory + struct.pack("<II", directory_size, count)
    # The checksum the claimed layout asks for: from where the claimed payload starts.
    claimed = sum(stored) + directory_size + 12
    start = len(body) + 4 - claimed
    crc = zlib.crc32(body[start:]) if 0 <= start <= len(body) and not m("bad crc") else rng.getrandbits(32)
    data = bytearray(body + struct.pack("<I", crc))
    if m("flip") and data:
        data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    return bytes(data)


KINDS = ["chunk length", "chunk bytes", "stored size", "name", "directory size", "entry count", "bad crc", "flip"]


class JobsAgree(unittest.TestCase):
    def test_every_thread_count_and_extract_agree(self):
        seed = int(os.environ.get("KELVRA_DIFFERENTIAL_SEED", str(random.randrange(1 << 30))))
        rng = random.Random(seed)
        work = tempfile.mkdtemp(prefix="kelvra-differential-")
        kept = False
        try:
            archives = 0
            verdicts = {True: 0, False: 0}
            deadline = time.monotonic() + SECONDS
            while time.monotonic() < deadline:
                stub, entries, strings = sample(rng)
                mutations = set(rng.sample(KINDS, rng.choice([0, 1, 1, 2, 3])))
                path = os.path.join(work, "a%d.exe" % archives)
                with open(path, "wb") as f:
                    f.write(serialize(stub, entries, strings, rng, mutations))
                statuses = [run("test", "--quiet", "--jobs", jobs, path) for jobs in (1, 2, 8)]
                target = os.path.join(work, "x")
                os.makedirs(target)
                extracted = run("extract", "--quiet", path, "-C", target, "--overwrite", "replace")
                shutil.rmtree(target)
                codes = [s.returncode for s in statuses]
                # test holds names to Windows' rules, which extract here needn't: a
                # refusal for names alone may stand beside an extraction that worked.
                faults = [line for line in statuses[0].stderr.splitlines() if line.startswith("kelvra-pack: ")]
                names_only = bool(faults) and all(line.endswith("extract can't make it") for line in faults)
                agree = len(set(codes)) == 1 and codes[0] in (0, 1) and extracted.returncode in (0, 1) and \
                    len({s.stderr for s in statuses}) == 1 and \
                    ((codes[0] == 0) == (extracted.returncode == 0) or (extracted.returncode == 0 and names_only))
                if not agree:
                    kept = True
                    self.fail("seed %d, archive %s (mutations %s): test --jobs 1/2/8 said %s, extract %d\n%s\n%s"
                              % (seed, path, sorted(mutations), codes, extracted.returncode,
                                 "\n".join(s.stderr for s in statuses), extracted.stderr))
                verdicts[codes[0] == 0] += 1
                os.remove(path)
                archives += 1
            print("seed %d: %d archives, %d sound, %d refused, no disagreement"
                  % (seed, archives, verdicts[True], verdicts[False]))
            self.assertGreater(verdicts[True], 0)
            self.assertGreater(verdicts[False], 0)
        finally:
            if not kept:
                shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
