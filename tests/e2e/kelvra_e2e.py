# The end-to-end harness: runs the installer under Wine on a private Xvfb display,
# drives it like a user with xdotool, and looks at what it leaves behind. Each
# Scenario owns its display, Wine prefix and target folder, and tears them down.
#
# KELVRA_E2E_ARCH picks the stub: x86_64 (the default, kelvra-stub-x64.exe under
# wine64) or i686 (the shipped kelvra-stub.exe under 32-bit Wine, run by scripts/i686-vm
# inside a virtual machine, where every Wine step is several times slower: the
# timeouts scale with KELVRA_E2E_TIMEOUT_SCALE).
import contextlib
import fcntl
import os
import re
import select
import shutil
import signal
import subprocess
import time
import unittest

ARCH = os.environ.get("KELVRA_E2E_ARCH", "x86_64")
# Per architecture: the Wine loader and server, the prefix's WINEARCH, the variables
# naming the stub and the sample's setup program, and the compiler for helpers.
ARCHES = {
    "x86_64": ("/usr/lib/wine/wine64", "/usr/lib/wine/wineserver64", "win64",
               "KELVRA_STUB_X64", "KELVRA_SETUP_X64", "x86_64-w64-mingw32-gcc"),
    "i686": ("/usr/lib/wine/wine", "/usr/lib/wine/wineserver32", "win32",
             "KELVRA_STUB", "KELVRA_SETUP", "i686-w64-mingw32-gcc"),
}
if ARCH not in ARCHES:
    raise RuntimeError("KELVRA_E2E_ARCH is %r, not one of %s" % (ARCH, ", ".join(ARCHES)))
WINE, WINESERVER, WINEARCH, STUB_VAR, SETUP_VAR, MINGW_CC = ARCHES[ARCH]
TIMEOUT_SCALE = float(os.environ.get("KELVRA_E2E_TIMEOUT_SCALE", "6" if ARCH == "i686" else "1"))
# The shortest pause between two looks: each look starts xdotool or xwininfo, which in
# the virtual machine costs enough to take the processor from the Wine being waited on.
POLL_MIN = float(os.environ.get("KELVRA_E2E_POLL_MIN", "0.5" if ARCH == "i686" else "0"))
SCREEN_W, SCREEN_H = 1024, 768
DESKTOP = "/desktop=kelvra,%dx%d" % (SCREEN_W, SCREEN_H)

# Wine's default theme gives a modal-frame window with a caption a 3-pixel border and
# a 19-pixel caption: the client area starts at (3, 22) of the window's frame.
FRAME_X, FRAME_Y = 3, 22

# The main window's layout, in client pixels.
MAIN_W, MAIN_H = 390, 200
BUTTON = (155, 105, 70, 30)
FIELD = (90, 75, 270, 20)
BANNER_Y, LINK_Y = 138, 153

WINDOW_TIMEOUT = 60
EXIT_TIMEOUT = 60

WORK = os.path.abspath(os.environ.get("KELVRA_E2E_WORK", "/tmp/kelvra-e2e"))
# Wine prefixes: many small files, kept off slow or shared file systems when asked.
SCRATCH = os.path.abspath(os.environ.get("KELVRA_E2E_SCRATCH", WORK))


def scaled(seconds):
    return seconds * TIMEOUT_SCALE


def stub():
    return tool(STUB_VAR)


def tool(name):
    value = os.environ.get(name, "")
    if not value or not os.path.exists(value):
        raise RuntimeError("%s is not set to an existing file (got %r)" % (name, value))
    return value


# Wine's selected-text colour.
NAME_HIGHLIGHT = (48, 150, 250)


def wait_for(predicate, timeout, what, interval=0.05):
    """Polls predicate until it returns something true; fails after timeout seconds."""
    timeout = scaled(timeout)
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %gs waiting for %s" % (timeout, what))
        time.sleep(max(interval, POLL_MIN))


def windows_path(path):
    """Wine maps / to Z:, so a Linux path is that path below Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def set_times(path, seconds):
    os.utime(path, (seconds, seconds))


@contextlib.contextmanager
def locked(path):
    with open(path, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def _run(args, env=None, timeout=120, check=True, cwd=None):
    return subprocess.run(args, env=env, cwd=cwd, timeout=scaled(timeout), check=check,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def wine_env(prefix, display=None):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINESERVER=WINESERVER, WINEARCH=WINEARCH,
               WINEDLLOVERRIDES="mscoree,mshtml=")
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


def probe_program():
    """The sample's setup program: the cross build's, else compiled here."""
    built = os.environ.get(SETUP_VAR, "")
    if built and os.path.exists(built):
        return built
    os.makedirs(WORK, exist_ok=True)
    path = os.path.join(WORK, "probe", ARCH, "setup.exe")
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples",
                          "setup", "setup.c")
    with locked(os.path.join(WORK, "probe.lock")):
        if not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(source):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            _run([MINGW_CC, "-Os", "-s", "-mwindows", "-o", path + ".tmp", source])
            os.replace(path + ".tmp", path)
    return path


def template_prefix():
    """One initialised Wine prefix per build folder, made once (about 15 s) and copied
    per scenario. Remade when the Wine version changes."""
    os.makedirs(SCRATCH, exist_ok=True)
    path = os.path.join(SCRATCH, "wine-template-" + ARCH)
    with locked(path + ".lock"):
        version = _run([WINE, "--version"]).stdout.strip()
        marker = os.path.join(path, ".kelvra-template")
        if os.path.exists(marker):
            with open(marker) as f:
                if f.read() == version:
                    return path
        make_prefix(path)
        # The machine-wide TEMP and TMP would stand in for any the scenario unsets;
        # drop them so that each scenario's own user environment is all there is.
        system_reg = os.path.join(path, "system.reg")
        with open(system_reg, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.readlines()
        lines = [l for l in lines if not re.match(r'^"TE?MP"=str\(2\):"%SystemRoot%', l)]
        with open(system_reg, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.writelines(lines)
        with open(marker, "w") as f:
            f.write(version)
        return path


PREFIX_FILES = ("system.reg", "user.reg", "userdef.reg",
                os.path.join("drive_c", "windows", "system32", "kernel32.dll"))


def prefix_complete(path):
    return all(os.path.isfile(os.path.join(path, f)) and os.path.getsize(os.path.join(path, f)) > 0
               for f in PREFIX_FILES)


def make_prefix(path, attempts=3):
    """wineboot -i, made to stick: on a slow machine it sometimes exits non-zero (53 was
    seen) although the prefix it leaves is whole once its wineserver has finished, and
    sometimes leaves half a prefix. The former is taken; the latter is made again."""
    failures = []
    for _ in range(attempts):
        shutil.rmtree(path, ignore_errors=True)
        env = wine_env(path)
        booted = _run([WINE, "wineboot", "-i"], env=env, timeout=300, check=False)
        # The registry files are written by wineserver as it exits.
        _run([WINESERVER, "-w"], env=env, timeout=120, check=False)
        if prefix_complete(path):
            return
        failures.append("wineboot -i exited %d, the prefix lacks %s: %s" % (
            booted.returncode, ", ".join(f for f in PREFIX_FILES
                                         if not os.path.isfile(os.path.join(path, f))),
            booted.stderr.strip()[-500:]))
    raise RuntimeError("no Wine prefix in %s after %d attempts:\n%s"
                       % (path, attempts, "\n".join(failures)))


def clone_prefix(template, dest):
    """Hard links make the copy instant; Wine replaces its registry files by renaming
    new ones over them, but those are copied anyway so no edit can reach the template."""
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    if subprocess.run(["cp", "-al", template, dest], stderr=subprocess.DEVNULL).returncode != 0:
        shutil.rmtree(dest, ignore_errors=True)
        subprocess.run(["cp", "-a", template, dest], check=True)
    for reg in ("system.reg", "user.reg", "userdef.reg"):
        os.unlink(os.path.join(dest, reg))
        shutil.copy2(os.path.join(template, reg), os.path.join(dest, reg))


def _reg_string(value):
    # Beyond ASCII, as Wine writes its own files: \x and four hex digits.
    escaped = value.replace("\\", "\\\\").replace('"', '\\"')
    return '"' + "".join(c if ord(c) < 0x80 else "\\x%04x" % ord(c) for c in escaped) + '"'


def set_user_environment(prefix, values):
    """Sets (or, for None, removes) variables of the user's environment in the prefix's
    registry. Wine takes TEMP and TMP from there, never from the Linux environment."""
    path = os.path.join(prefix, "user.reg")
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        lines = f.readlines()
    start = next(i for i, l in enumerate(lines) if l.startswith("[Environment]"))
    end = start + 1
    while end < len(lines) and lines[end].strip():
        end += 1
    names = {n.upper() for n in values}
    body = [l for l in lines[start + 1:end]
            if not (l.startswith('"') and l[1:].split('"', 1)[0].upper() in names)]
    body += ["%s=%s\n" % (_reg_string(n), _reg_string(v)) for n, v in values.items() if v is not None]
    lines[start + 1:end] = body
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.writelines(lines)


# Where Wine reads the screen's DPI from: the user's setting, then the machine's.
DPI_KEYS = (("user.reg", r"Control Panel\\Desktop"),
            ("system.reg", r"System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts"))


def set_dpi(prefix, dpi):
    """Sets LogPixels in the prefix's registry files; Wine must not be running there."""
    for name, key in DPI_KEYS:
        path = os.path.join(prefix, name)
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.readlines()
        value = '"LogPixels"=dword:%08x\n' % dpi
        header = "[%s]" % key
        start = next((i for i, l in enumerate(lines) if l.lower().startswith(header.lower() + " ")
                      or l.strip().lower() == header.lower()), None)
        if start is None:
            lines += ["\n", "%s 0\n" % header, value]
        else:
            end = start + 1
            while end < len(lines) and lines[end].strip():
                end += 1
            body = [l for l in lines[start + 1:end] if not l.startswith('"LogPixels"=')]
            lines[start + 1:end] = body + [value]
        with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.writelines(lines)


class Image:
    """A screenshot as RGB bytes, read through ImageMagick's PPM output."""

    def __init__(self, path):
        data = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], check=True,
                              stdout=subprocess.PIPE).stdout
        match = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
        self.width, self.height = int(match.group(1)), int(match.group(2))
        self.pixels = data[match.end():]
        self.path = path

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def differences(self, other, skip=()):
        """Pixels (x, y) where two images of the same size differ, outside the skip boxes."""
        if (self.width, self.height) != (other.width, other.height):
            raise AssertionError("%s is %dx%d, %s is %dx%d" % (self.path, self.width, self.height,
                                                               other.path, other.width, other.height))
        inside = lambda x, y: any(bx <= x < bx + bw and by <= y < by + bh for bx, by, bw, bh in skip)
        return [(i // 3 % self.width, i // 3 // self.width) for i in range(0, len(self.pixels), 3)
                if self.pixels[i:i + 3] != other.pixels[i:i + 3]
                and not inside(i // 3 % self.width, i // 3 // self.width)]

    def ink(self, box, background):
        """The bounding box (left, top, right, bottom) of pixels in box that aren't
        background, or None."""
        found = self.find(box, lambda p: p != background)
        if not found:
            return None
        xs, ys = [x for x, _ in found], [y for _, y in found]
        return min(xs), min(ys), max(xs) + 1, max(ys) + 1

    def find(self, box, predicate):
        """Pixels (x, y) inside box = (x, y, w, h) whose colour satisfies predicate."""
        x0, y0, w, h = box
        return [(x, y) for y in range(y0, y0 + h) for x in range(x0, x0 + w)
                if predicate(self.pixel(x, y))]


class Window:
    def __init__(self, wid, x, y, width, height):
        self.id, self.x, self.y, self.width, self.height = wid, x, y, width, height

    @property
    def client(self):
        return (self.x + FRAME_X, self.y + FRAME_Y)

    def __repr__(self):
        return "Window(%s, %d,%d %dx%d)" % (self.id, self.x, self.y, self.width, self.height)


class Scenario:
    """One installer run: a fresh display, Wine prefix and target folder."""

    def __init__(self, name):
        self.name = name
        self.root = os.path.join(WORK, "work", name)
        self.shots = os.path.join(WORK, "shots", name)
        for d in (self.root, self.shots):
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)
        self.target = os.path.join(self.root, "target")
        os.makedirs(self.target)
        self.prefix = os.path.join(SCRATCH, "prefixes", name) if SCRATCH != WORK else \
            os.path.join(self.root, "prefix")
        self.xvfb = None
        self.display = None
        self.xvfb_pipe = None
        self.launcher = None
        self.log = None
        self.shot_count = 0

    # -- lifetime ---------------------------------------------------------------

    def __enter__(self):
        try:
            clone_prefix(template_prefix(), self.prefix)
            self._start_xvfb()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _start_xvfb(self):
        """The first free display from :90 on; a number taken meanwhile by a parallel
        scenario makes that server fail to start, and the next number is tried."""
        for number in range(90, 190):
            if os.path.exists("/tmp/.X%d-lock" % number) or os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            read_end, write_end = os.pipe()
            with open(os.path.join(self.root, "xvfb.log"), "a") as log:
                proc = subprocess.Popen(
                    ["Xvfb", ":%d" % number, "-displayfd", str(write_end), "-screen", "0",
                     "%dx%dx24" % (SCREEN_W, SCREEN_H), "-nolisten", "tcp", "-noreset"],
                    pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=log,
                    start_new_session=True)
            os.close(write_end)
            ready, _, _ = select.select([read_end], [], [], 30)
            answer = os.read(read_end, 16).decode().strip() if ready else ""
            if answer == str(number) and proc.poll() is None:
                # The server writes its number again at each reset and dies if it
                # can't: the pipe stays open as long as the server runs.
                self.xvfb, self.display, self.xvfb_pipe = proc, ":%d" % number, read_end
                return
            os.close(read_end)
            proc.kill()
            proc.wait(timeout=10)
        raise RuntimeError("no free X display between :90 and :189")

    def close(self):
        """Tears everything down whatever state the run is in."""
        if self.running() and self.display:
            self.screenshot("at-teardown")
        if os.path.isdir(self.prefix):
            subprocess.run([WINESERVER, "-k"], env=wine_env(self.prefix), timeout=scaled(60),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.launcher and self.launcher.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.launcher.pid, signal.SIGKILL)
            self.launcher.wait(timeout=30)
        if os.path.isdir(self.prefix):
            subprocess.run([WINESERVER, "-w"], env=wine_env(self.prefix), timeout=scaled(60),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.xvfb:
            if self.xvfb.poll() is None:
                self.xvfb.terminate()
                try:
                    self.xvfb.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.xvfb.kill()
                    self.xvfb.wait(timeout=10)
            os.close(self.xvfb_pipe)
            self.xvfb = None
        if self.log:
            self.log.close()
            self.log = None
        shutil.rmtree(self.prefix, ignore_errors=True)

    # -- making and starting installers ----------------------------------------

    def pack(self, inputs, output=None, **options):
        """kelvra-pack create with the stub under test; options become --name value."""
        out = os.path.join(self.root, output or "kelvra-e2e-%s.exe" % self.name)
        args = [tool("KELVRA_PACK"), "create", "-o", out, "--stub", stub()]
        for key, value in options.items():
            args += ["--" + key.replace("_", "-"), str(value)]
        args += list(inputs)
        result = _run(args, timeout=300, check=False)
        if result.returncode != 0:
            raise AssertionError("kelvra-pack failed: %s\n%s%s" % (args, result.stdout, result.stderr))
        return out

    def set_environment(self, **values):
        set_user_environment(self.prefix, values)

    def start(self, installer, cwd=None, lang=None, messages=None):
        """lang: the Unix locale Wine takes the user's UI language and code page from;
        messages: another one for the UI language alone (LC_MESSAGES)."""
        if self.log:
            self.log.close()
        self.log = open(os.path.join(self.root, "wine.log"), "w")
        env = wine_env(self.prefix, self.display)
        if lang:
            env.update(LANG=lang, LC_ALL=lang)
        if messages:
            env.pop("LC_ALL", None)
            env.update(LC_MESSAGES=messages)
        self.launcher = subprocess.Popen(
            [WINE, "explorer", DESKTOP, windows_path(installer)],
            cwd=cwd or self.root, env=env,
            stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)

    def wait_wine_gone(self):
        """Waits for the prefix's wineserver to end, with the registry written back."""
        _run([WINESERVER, "-w"], env=wine_env(self.prefix), timeout=120)

    def stop_wine(self):
        """Ends every Wine process of the prefix, so the next start takes a new locale."""
        _run([WINESERVER, "-k"], env=wine_env(self.prefix), check=False, timeout=60)
        _run([WINESERVER, "-w"], env=wine_env(self.prefix), check=False, timeout=60)

    def wait_exit(self, timeout=EXIT_TIMEOUT):
        try:
            return self.launcher.wait(timeout=scaled(timeout))
        except subprocess.TimeoutExpired:
            self.screenshot("not-ended")
            raise AssertionError("the installer did not end within %gs" % scaled(timeout))

    def running(self):
        return self.launcher is not None and self.launcher.poll() is None

    # -- X and xdotool -----------------------------------------------------------

    def _x(self, *args, check=True):
        env = dict(os.environ, DISPLAY=self.display)
        return subprocess.run(list(args), env=env, timeout=30, check=check,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def xdotool(self, *args):
        return self._x("xdotool", *args).stdout

    def windows(self, title):
        """Visible windows whose whole title is title."""
        found = self._x("xdotool", "search", "--name", "^%s$" % re.escape(title), check=False)
        result = []
        for wid in found.stdout.split():
            info = self._x("xwininfo", "-id", wid, check=False).stdout
            if "IsViewable" not in info:
                continue
            value = lambda key: int(re.search(key + r":\s+(-?\d+)", info).group(1))
            window = Window(wid, value("Absolute upper-left X"), value("Absolute upper-left Y"),
                            value("Width"), value("Height"))
            if window.width > 1 and window.height > 1:
                result.append(window)
        return result

    def wait_window(self, title, timeout=WINDOW_TIMEOUT):
        def one():
            if self.launcher is not None and self.launcher.poll() is not None:
                raise AssertionError("the installer ended before %r appeared" % title)
            found = self.windows(title)
            return found[0] if found else None
        try:
            return wait_for(one, timeout, "window %r" % title)
        except AssertionError:
            self.screenshot("missing-" + re.sub(r"\W+", "-", title))
            raise

    def wait_window_gone(self, title, timeout=WINDOW_TIMEOUT):
        wait_for(lambda: not self.windows(title), timeout, "window %r to go" % title)

    def click(self, x, y):
        self.xdotool("mousemove", str(x), str(y))
        self.xdotool("click", "1")

    def click_client(self, window, x, y):
        cx, cy = window.client
        self.click(cx + x, cy + y)

    def press_button(self, window):
        bx, by, bw, bh = BUTTON
        self.click_client(window, bx + bw // 2, by + bh // 2)

    def key(self, *keys):
        self.xdotool("key", "--delay", "30", *keys)

    def type(self, text):
        self.xdotool("type", "--delay", "30", text)

    def fill_field(self, window, text):
        """Replaces the content of the directory or password field with text."""
        fx, fy, fw, fh = FIELD
        self.click_client(window, fx + fw // 2, fy + fh // 2)
        self.key("End", "shift+Home", "BackSpace")
        if text:
            self.type(text)

    def answer_new_name(self, path, screenshot=None):
        """Types path into the save-as prompt and saves. The prompt opens inactive under
        Wine and takes keys only once it has drawn its file-name field with the name
        selected: wait for that selection, then click on it so the field has the focus."""
        prompt = self.wait_window("New Name")
        selected = []

        def name_selected():
            selected[:] = self.grab("new-name").find(
                (prompt.x, prompt.y, prompt.width, prompt.height), lambda p: p == NAME_HIGHLIGHT)
            return len(selected) > 50

        wait_for(name_selected, 30, "the prompt's selected file name")
        if screenshot:
            self.screenshot(screenshot, prompt)
        xs = sorted(x for x, _ in selected)
        ys = sorted(y for _, y in selected)
        self.click(xs[len(xs) // 2], ys[len(ys) // 2])
        self.key("End", "shift+Home", "BackSpace")
        self.type(windows_path(path))
        self.key("Return")

    def screenshot(self, label, window=None):
        """Saves the screen (or one window) as shots/<scenario>/NN-label.png, in order."""
        self.shot_count += 1
        path = os.path.join(self.shots, "%02d-%s.png" % (self.shot_count, label))
        return self._import(path, window)

    def _import(self, path, window=None):
        args = ["import", "-window", window.id if window else "root", path]
        if self._x(*args, check=False).returncode != 0:
            return None
        return path

    def grab(self, label):
        """The whole screen loaded for pixel checks; polls overwrite one file per label,
        so the last look at each stays for a failing run."""
        path = self._import(os.path.join(self.shots, "grab-%s.png" % label))
        if path is None:
            raise AssertionError("no screenshot of %s" % self.display)
        return Image(path)

    # -- results on disk ---------------------------------------------------------

    def files(self, folder=None):
        return tree(folder or self.target)


def own_scenarios(case_class):
    """A load_tests result of one module's own scenarios: a module that imports another
    suite's test case class must not run that suite's scenarios again."""
    suite = unittest.TestSuite()
    for name in sorted(vars(case_class)):
        if name.startswith("test_"):
            suite.addTest(case_class(name))
    return suite


def tree(folder):
    """Every file below folder, as sorted relative paths with / separators."""
    found = []
    for root, _, names in os.walk(folder):
        for n in names:
            found.append(os.path.relpath(os.path.join(root, n), folder))
    return sorted(found)
