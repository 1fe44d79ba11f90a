#!/usr/bin/env python3
# Reproducible output: two clean builds of the i686 stub give the same bytes, and
# kelvra-pack create under --mtime or SOURCE_DATE_EPOCH gives the same installer
# however the inputs' times move. Run by CTest with KELVRA_PACK and KELVRA_SOURCE set.
import datetime
import os
import random
import shutil
import subprocess
import time
import unittest

from packer_helpers import PackerCase, archive, read, run

SOURCE = os.environ.get("KELVRA_SOURCE", "")
Y2K = 946684800


class Case(PackerCase):
    def setUp(self):
        super().setUp()
        self.env = dict(os.environ)
        self.env.pop("SOURCE_DATE_EPOCH", None)


@unittest.skipUnless(SOURCE and shutil.which("i686-w64-mingw32-g++"), "needs KELVRA_SOURCE and mingw i686")
class StubBuild(Case):
    def build(self, name):
        build = self.path(name)
        for command in (["cmake", "-S", SOURCE, "-B", build, "-DCMAKE_BUILD_TYPE=MinSizeRel",
                         "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(SOURCE, "cmake", "mingw-i686.cmake")],
                        ["cmake", "--build", build, "-j", "2", "--target", "kelvra-stub"]):
            done = subprocess.run(command, capture_output=True, text=True, timeout=900)
            self.assertEqual(0, done.returncode, done.stdout[-3000:] + done.stderr[-3000:])
        return read(os.path.join(build, "ui", "kelvra-stub.exe"))

    def test_two_clean_builds_give_the_same_stub(self):
        # Each build takes many seconds, so a link time stamp would differ; so would a
        # build path that found its way in.
        first = self.build("first")
        second = self.build("second-build")
        self.assertGreater(len(first), 1024)
        differing = [i for i, (a, b) in enumerate(zip(first, second)) if a != b]
        self.assertEqual((len(first), []), (len(second), differing[:16]))


class ClampedTimes(Case):
    def setUp(self):
        super().setUp()
        self.files = {"a.txt": b"alpha\n", "sub/b.bin": os.urandom(70_000), "sub/c.txt": b""}
        self.write_tree(self.path("in"), self.files)

    def create(self, out, *args, env=None):
        return run("create", "-o", self.path(out), "--stub", self.stub, *args, self.path("in"), env=env or self.env)

    def read(self, out):
        return read(self.path(out))

    def times(self, out):
        return {e["name"]: (e["last_write_time"], e["creation_time"]) for e in self.listing(out)["entries"]}

    def touch_all(self, seconds):
        for name in self.files:
            os.utime(self.path("in", name), (seconds, seconds))

    def test_source_date_epoch_gives_the_same_installer_after_a_touch(self):
        env = dict(self.env, SOURCE_DATE_EPOCH=str(Y2K))
        self.assertEqual(0, self.create("one.exe", env=env).returncode)
        self.touch_all(time.time() + 100)
        self.assertEqual(0, self.create("two.exe", env=env).returncode)
        self.assertEqual(self.read("one.exe"), self.read("two.exe"))
        # Without the clamp the touch shows, so the equality above is the clamp's doing.
        self.assertEqual(0, self.create("three.exe").returncode)
        self.assertNotEqual(self.read("one.exe"), self.read("three.exe"))

    def test_forms_of_time_and_what_the_clamp_leaves(self):
        self.touch_all(Y2K + 86400 * 365)
        os.utime(self.path("in", "a.txt"), (Y2K - 86400, Y2K - 86400))
        outputs = []
        for i, form in enumerate([str(Y2K), "2000-01-01", "2000-01-01T00:00:00Z", "2000-01-01 00:00",
                                  "2000-01-01t00:00:00z"]):
            with self.subTest(form=form):
                self.ok(self.create("f%d.exe" % i, "--mtime", form))
                outputs.append(self.read("f%d.exe" % i))
        self.assertEqual(1, len(set(outputs)))
        times = self.times("f0.exe")
        # Earlier times stay; later ones (the creation time is the file's birth, now) drop.
        self.assertEqual("1999-12-31T00:00:00Z", times["a.txt"][0])
        self.assertEqual(("2000-01-01T00:00:00Z",) * 2, times["sub\\b.bin"])
        self.assertEqual("2000-01-01T00:00:00Z", times["a.txt"][1])

        # --mtime wins over SOURCE_DATE_EPOCH.
        env = dict(self.env, SOURCE_DATE_EPOCH="0")
        self.assertEqual(0, self.create("g.exe", "--mtime", str(Y2K), env=env).returncode)
        self.assertEqual(outputs[0], self.read("g.exe"))

    def test_bad_times_are_usage_errors_and_write_nothing(self):
        cases = [("--mtime", "yesterday"), ("--mtime", "2000-02-30"), ("--mtime", "1600-12-31"),
                 ("--mtime", "2000-01-01T00:00+02:00"), ("--mtime", "99999999999999999"),
                 ("SOURCE_DATE_EPOCH", "12abc")]
        for where, value in cases:
            with self.subTest(where=where, value=value):
                if where == "--mtime":
                    done = self.create("bad.exe", "--mtime", value)
                else:
                    done = self.create("bad.exe", env=dict(self.env, SOURCE_DATE_EPOCH=value))
                self.refused(done, 2, where, self.path("bad.exe"))


class ListedTimes(Case):
    def test_calendar_against_python(self):
        # The packer does its own calendar arithmetic (the C library's differs between
        # systems); Python's datetime is the reference over 1601..9999.
        epoch = datetime.datetime(1601, 1, 1)
        rng = random.Random(1601)
        last = (datetime.datetime(9999, 12, 31, 23, 59, 59) - epoch) // datetime.timedelta(microseconds=1) * 10
        times = [0, 1, last + 9_999_999] + [rng.randrange(last) for _ in range(300)]
        for day in ["1604-02-29", "1700-03-01", "1900-02-28", "1900-03-01", "2000-02-29", "2100-03-01"]:
            times.append((datetime.datetime.fromisoformat(day) - epoch) // datetime.timedelta(microseconds=1) * 10)
        self.write(self.path("times.bin"), archive([(b"f%d" % i, b"", t) for i, t in enumerate(times)]))
        entries = self.listing("times.bin")["entries"]
        for t, entry in zip(times, entries):
            when = epoch + datetime.timedelta(microseconds=t // 10)
            expected = when.strftime("%Y-%m-%dT%H:%M:%S") + ("" if t % 10**7 == 0 else ".%07d" % (t % 10**7)) + "Z"
            self.assertEqual(expected, entry["last_write_time"], t)


if __name__ == "__main__":
    unittest.main()
