#!/usr/bin/env python3
# Reproducible output: two clean builds of the i686 stub give the same bytes, and
# kelvra-pack create under --mtime or SOURCE_DATE_EPOCH gives the same installer
# however the inputs' times move. Run by CTest with KELVRA_PACK and KELVRA_SOURCE set.
import datetime
import os
import random
import shutil
import subprocess
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
        self.write_tree(self.path("in"), {"a.txt": b"alpha\n", "sub/b.bin": os.urandom(70_000), "sub/c.txt": b""})

    def create(self, out, *args, **env):
        return run("create", "-o", self.path(out), "--stub", self.stub, *args, self.path("in"),
                   env=dict(self.env, **env))

    def test_the_same_installer_after_a_touch_whatever_the_form_of_time(self):
        self.ok(self.create("one.exe", SOURCE_DATE_EPOCH=str(Y2K)))
        for name in ("a.txt", "sub/b.bin", "sub/c.txt"):
            os.utime(self.path("in", name), (Y2K + 10**8, Y2K + 10**8))
        self.ok(self.create("unclamped.exe"))
        outputs = {read(self.path("one.exe"))}
        for form in [str(Y2K), "2000-01-01", "2000-01-01T00:00:00Z", "2000-01-01 00:00", "2000-01-01t00:00:00z"]:
            with self.subTest(form=form):
                # --mtime wins over SOURCE_DATE_EPOCH.
                self.ok(self.create("f.exe", "--mtime", form, SOURCE_DATE_EPOCH="0"))
                outputs.add(read(self.path("f.exe")))
        self.assertEqual(1, len(outputs))
        # Without the clamp the times show, so the equality above is the clamp's doing.
        self.assertNotEqual(outputs, {read(self.path("unclamped.exe"))})
        # Earlier times stay; later ones (the creation time is the file's birth, now) drop.
        os.utime(self.path("in", "a.txt"), (Y2K - 86400, Y2K - 86400))
        self.ok(self.create("g.exe", "--mtime", str(Y2K)))
        times = {e["name"]: (e["last_write_time"], e["creation_time"]) for e in self.listing("g.exe")["entries"]}
        self.assertEqual(("1999-12-31T00:00:00Z", "2000-01-01T00:00:00Z"), times["a.txt"])
        self.assertEqual(("2000-01-01T00:00:00Z",) * 2, times["sub\\b.bin"])

    def test_bad_times_are_usage_errors_and_write_nothing(self):
        for value in ("yesterday", "2000-02-30", "1600-12-31", "2000-01-01T00:00+02:00", "99999999999999999"):
            with self.subTest(value):
                self.refused(self.create("bad.exe", "--mtime", value), 2, "--mtime", self.path("bad.exe"))
        self.refused(self.create("bad.exe", SOURCE_DATE_EPOCH="12abc"), 2, "SOURCE_DATE_EPOCH", self.path("bad.exe"))


class ListedTimes(Case):
    def test_calendar_against_python(self):
        # The packer does its own calendar arithmetic (the C library's differs between
        # systems); Python's datetime is the reference over 1601..9999.
        epoch, tick = datetime.datetime(1601, 1, 1), datetime.timedelta(microseconds=1)
        last = (datetime.datetime(9999, 12, 31, 23, 59, 59) - epoch) // tick * 10
        days = ["1604-02-29", "1700-03-01", "1900-02-28", "1900-03-01", "2000-02-29", "2100-03-01"]
        rng = random.Random(1601)
        times = [0, 1, last + 9_999_999] + [rng.randrange(last) for _ in range(300)]
        times += [(datetime.datetime.fromisoformat(day) - epoch) // tick * 10 for day in days]
        self.write(self.path("times.bin"), archive([(b"f%d" % i, b"", t) for i, t in enumerate(times)]))
        expected = [(epoch + t // 10 * tick).strftime("%Y-%m-%dT%H:%M:%S") + ("" if t % 10**7 == 0 else
                                                                               ".%07d" % (t % 10**7)) + "Z"
                    for t in times]
        self.assertEqual(expected, [e["last_write_time"] for e in self.listing("times.bin")["entries"]])


if __name__ == "__main__":
    unittest.main()
