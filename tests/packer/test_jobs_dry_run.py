#!/usr/bin/env python3
# test --jobs: the same report, status and first-problem message whatever the number of
# threads, on sound archives and on damaged ones whose faults sit where a thread could
# meet a later one first. create --dry-run: what it would write, and no file (its
# refusals are create's own, in test_packer.py's table).
# Run by CTest with KELVRA_PACK set to the built program.
import os
import unittest
import zlib

from packer_helpers import PackerCase, archive, flip_checksum, forge, framed, run

JOBS = (1, 2, 3, 8)


def chunks(n, seed):
    """n sound chunks, each a separate zlib stream of a few KiB."""
    return [zlib.compress(bytes((seed + i + j) % 251 for j in range(4000))) for i in range(n)]


class TestJobs(PackerCase):
    def reports(self, path):
        return {jobs: run("test", "--jobs", jobs, "-q", path) for jobs in JOBS}

    def test_same_report_whatever_the_jobs(self):
        inflate_late = chunks(40, 1)
        inflate_late[35] = b"not zlib"
        slow_then_bad = chunks(30, 2)
        # An early chunk that takes long next to a quick broken one: the early one must win.
        slow_then_bad[0] = zlib.compress(b"x" * 10100)[:-3]
        slow_then_bad[1] = b"junk"
        two_batches = chunks(140, 10)
        two_batches[10] = b"first"
        two_batches[100] = b"second"
        cases = {
            "faults in runs handed to different threads": (forge([(b"a", two_batches)]),
                                                           "entry 1 'a', chunk 11: not a complete"),
            "sound": (forge([(b"a", chunks(50, 3)), (b"b", chunks(7, 4))]), None),
            "inflate fault late": (forge([(b"a", chunks(9, 5)), (b"b", inflate_late)]),
                                   "entry 2 'b', chunk 36: not a complete zlib stream"),
            "two faults, the first wins": (forge([(b"a", slow_then_bad)]), "entry 1 'a', chunk 1: "),
        }
        # Framing faults behind a bad stream: the stream, earlier, is what is told.
        body = framed(chunks(6, 8) + [b"bad"]) + b"\xff\xff"
        cases["framing fault after an inflate fault"] = (archive([(b"a", body)]), "entry 1 'a', chunk 7: not a")
        body = framed(chunks(6, 9)) + b"\xff\xff"
        cases["framing fault alone"] = (archive([(b"a", body)]), "chunk 7: its length, 65535 bytes, passes")
        # A wrong checksum outranks whatever else is wrong, though the threads sum it
        # only as they go: a flipped trailer CRC over sound chunks, over a broken
        # stream, over a name extract can't make.
        mismatch = "checksum mismatch: the trailer says"
        cases["wrong checksum and a broken stream"] = (flip_checksum(forge([(b"a", two_batches)])), mismatch)
        cases["wrong checksum and a name extract can't make"] = (
            flip_checksum(forge([(b"a", chunks(2, 12)), (b"a/b", chunks(2, 13))])), mismatch)
        for name, (data, words) in cases.items():
            with self.subTest(name):
                path = self.write(self.path(name.replace(" ", "-")), b"MZ" + data)
                reports = self.reports(path)
                first = reports[1]
                for jobs, result in reports.items():
                    self.assertEqual((first.returncode, first.stdout, first.stderr),
                                     (result.returncode, result.stdout, result.stderr), "--jobs %d" % jobs)
                if words is None:
                    self.assertEqual(0, first.returncode, first.stderr)
                    self.assertIn("57 chunks", first.stdout)
                else:
                    self.assertEqual(1, first.returncode)
                    self.assertIn(words, first.stderr)

    def test_jobs_out_of_range_is_a_usage_error(self):
        for jobs in ("0", "257"):
            self.assertEqual(2, run("test", "--jobs", jobs, self.stub).returncode, jobs)


class DryRun(PackerCase):
    def test_good_input_is_told_not_written(self):
        src = self.sample_tree()
        result = run("create", "--dry-run", "-o", self.path("out.exe"), "--stub", self.stub, src,
                     "--run", "go.exe", "--prompt", "Where?")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertFalse(os.path.exists(self.path("out.exe")))
        for line in ("empty  <-", "big.txt  <-", "sub\\deeper\\noise.bin  <-", "sub\\café.txt  <-",
                     "5 files,", "Program to run:     go.exe", "Prompt:             Where?"):
            self.assertIn(line, result.stdout)


if __name__ == "__main__":
    unittest.main()
