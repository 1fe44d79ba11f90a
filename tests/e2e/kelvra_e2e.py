# The end-to-end harness: a Scenario runs the installer under Wine on its own Xvfb
# display and Wine prefix, drives it like a user with xdotool, and tears it all down.
# KELVRA_E2E_ARCH picks the stub: x86_64 (kelvra-stub-x64.exe under wine64, the default)
# or i686 (the shipped kelvra-stub.exe under 32-bit Wine, inside scripts/i686-vm's
# virtual machine, where the timeouts scale by KELVRA_E2E_TIMEOUT_SCALE).
import contextlib
import fcntl
import os
import re
import select
import shutil
import signal
import subprocess
import time

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
NAME_HIGHLIGHT = (48, 150, 250)  # Wine's selected-text colour
HERE = os.path.dirname(os.path.abspath(__file__))
WORK = os.path.abspath(os.environ.get("KELVRA_E2E_WORK", "/tmp/kelvra-e2e"))
# Wine prefixes: many small files, kept off slow or shared file systems when asked.
SCRATCH = os.path.abspath(os.environ.get("KELVRA_E2E_SCRATCH", WORK))


def scaled(seconds):
    return seconds * TIMEOUT_SCALE


def tool(name):
    value = os.environ.get(name, "")
    if not value or not os.path.exists(value):
        raise RuntimeError("%s is not set to an existing file (got %r)" % (name, value))
    return value


def wait_for(predicate, timeout, what, interval=0.05):
    """Polls predicate until it returns something true; fails after timeout seconds."""
    deadline = time.monotonic() + scaled(timeout)
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %gs waiting for %s" % (scaled(timeout), what))
        time.sleep(max(interval, POLL_MIN))


def windows_path(path):
    """Wine maps / to Z:, so a Linux path is that path below Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read(path):
    with open(path, "rb") as f:
        return f.read()


@contextlib.contextmanager
def locked(path):
    """An exclusive lock, released as the file closes."""
    with open(path, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def _run(args, env=None, timeout=120, check=True, cwd=None):
    return subprocess.run(args, env=env, cwd=cwd, timeout=scaled(timeout), check=check,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def wine_env(prefix, display=None):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINESERVER=WINESERVER,
               WINEARCH=WINEARCH, WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    return dict(env, DISPLAY=display) if display else env


def program(source, name, prebuilt=None):
    """A Windows program for the architecture under test: prebuilt when it exists, else
    source compiled once per build folder (and again when the source changes)."""
    if prebuilt and os.path.exists(prebuilt):
        return prebuilt
    path = os.path.join(WORK, "helpers", ARCH, name + ".exe")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with locked(os.path.join(WORK, "helpers.lock")):
        if not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(source):
            _run([MINGW_CC, "-Os", "-s", "-mwindows", "-Wall", "-o", path + ".tmp", source, "-lshell32"])
            os.replace(path + ".tmp", path)
    return path


def probe_program():
    """The sample's setup program: the cross build's, else compiled here."""
    return program(os.path.join(HERE, "..", "..", "examples", "setup", "setup.c"), "setup",
                   os.environ.get(SETUP_VAR))


def helper_program(name):
    return program(os.path.join(HERE, "helpers", name + ".c"), name)


def template_prefix():
    """One initialised Wine prefix per build folder, made once (about 15 s) and copied
    per scenario. Remade when the Wine version changes."""
    os.makedirs(SCRATCH, exist_ok=True)
    path = os.path.join(SCRATCH, "wine-template-" + ARCH)
    with locked(path + ".lock"):
        version = _run([WINE, "--version"]).stdout.strip()
        marker = os.path.join(path, ".kelvra-template")
        if os.path.exists(marker) and read(marker).decode() == version:
            return path
        make_prefix(path)
        # The machine-wide TEMP and TMP would stand in for any the scenario unsets;
        # drop them so that each scenario's own user environment is all there is.
        edit_registry(os.path.join(path, "system.reg"), r"System\\CurrentControlSet\\Control\\"
                      r"Session Manager\\Environment", {"TEMP": None, "TMP": None})
        with open(marker, "w") as f:
            f.write(version)
        return path


PREFIX_FILES = ("system.reg", "user.reg", "userdef.reg",
                os.path.join("drive_c", "windows", "system32", "kernel32.dll"))


def make_prefix(path, attempts=3):
    """wineboot -i, made to stick: on a slow machine it sometimes exits non-zero (53 was
    seen) although the prefix it leaves is whole once its wineserver has finished, and
    sometimes leaves half a prefix. The former is taken; the latter is made again."""
    failures = []
    for _ in range(attempts):
        shutil.rmtree(path, ignore_errors=True)
        booted = _run([WINE, "wineboot", "-i"], env=wine_env(path), timeout=300, check=False)
        # The registry files are written by wineserver as it exits.
        _run([WINESERVER, "-w"], env=wine_env(path), timeout=120, check=False)
        missing = [f for f in PREFIX_FILES if not os.path.isfile(os.path.join(path, f))
                   or not os.path.getsize(os.path.join(path, f))]
        if not missing:
            return
        failures.append("wineboot -i exited %d, the prefix lacks %s: %s" % (
            booted.returncode, ", ".join(missing), booted.stderr.strip()[-500:]))
    raise RuntimeError("no Wine prefix in %s after %d attempts:\n%s" % (path, attempts, "\n".join(failures)))


def clone_prefix(template, dest):
    """Hard links make the copy instant; Wine replaces its registry files by renaming
    new ones over them, but those are copied anyway so no edit can reach the template."""
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    if subprocess.run(["cp", "-al", template, dest], stderr=subprocess.DEVNULL).returncode != 0:
        shutil.rmtree(dest, ignore_errors=True)
        subprocess.run(["cp", "-a", template, dest], check=True)
    for reg in PREFIX_FILES[:3]:
        os.unlink(os.path.join(dest, reg))
        shutil.copy2(os.path.join(template, reg), os.path.join(dest, reg))


def _reg_value(value):
    if isinstance(value, int):
        return "dword:%08x" % value
    # Beyond ASCII, as Wine writes its own files: \x and four hex digits.
    escaped = value.replace("\\", "\\\\").replace('"', '\\"')
    return '"' + "".join(c if ord(c) < 0x80 else "\\x%04x" % ord(c) for c in escaped) + '"'


def edit_registry(path, key, values):
    """Sets (or, for None, removes) values of a key in one of the prefix's registry
    files, the key made when missing; Wine must not be running there."""
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        lines = f.readlines()
    header = "[%s]" % key.lower()
    start = next((i for i, l in enumerate(lines) if l.lower().split("]")[0] + "]" == header), None)
    if start is None:
        lines += ["\n", "[%s] 0\n" % key]
        start = len(lines) - 1
    end = start + 1
    while end < len(lines) and lines[end].strip():
        end += 1
    names = {n.upper() for n in values}
    body = [l for l in lines[start + 1:end] if not (l.startswith('"') and l[1:].split('"', 1)[0].upper() in names)]
    body += ['"%s"=%s\n' % (n, _reg_value(v)) for n, v in values.items() if v is not None]
    lines[start + 1:end] = body
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.writelines(lines)


def set_dpi(prefix, dpi):
    """LogPixels where Wine reads the screen's DPI from: the user's, then the machine's."""
    edit_registry(os.path.join(prefix, "user.reg"), r"Control Panel\\Desktop", {"LogPixels": dpi})
    edit_registry(os.path.join(prefix, "system.reg"), r"System\\CurrentControlSet\\Hardware Profiles\\"
                  r"Current\\Software\\Fonts", {"LogPixels": dpi})


class Image:
    """A screenshot as RGB bytes, read through ImageMagick's PPM output."""

    def __init__(self, path):
        data = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], check=True,
                              stdout=subprocess.PIPE).stdout
        match = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
        self.width, self.height = int(match.group(1)), int(match.group(2))
        self.pixels, self.path = data[match.end():], path

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def differences(self, other, skip=()):
        """Pixels (x, y) where two images of the same size differ, outside the skip boxes."""
        if (self.width, self.height) != (other.width, other.height):
            raise AssertionError("%s and %s differ in size" % (self.path, other.path))
        return [(x, y) for y in range(self.height) for x in range(self.width) if self.pixel(x, y) != other.pixel(x, y)
                and not any(bx <= x < bx + bw and by <= y < by + bh for bx, by, bw, bh in skip)]

    def find(self, box, predicate):
        """Pixels (x, y) inside box = (x, y, w, h) whose colour satisfies predicate."""
        return [(x, y) for y in range(box[1], box[1] + box[3]) for x in range(box[0], box[0] + box[2])
                if predicate(self.pixel(x, y))]


class Window:
    def __init__(self, wid, x, y, width, height):
        self.id, self.x, self.y, self.width, self.height = wid, x, y, width, height
        self.client = (x + FRAME_X, y + FRAME_Y)


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
        self.xvfb = self.display = self.launcher = self.log = None
        self.shot_count = 0

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
        """Xvfb takes the first free display number and writes it to the pipe; the pipe
        stays open as long as the server runs."""
        read_end, write_end = os.pipe()
        with open(os.path.join(self.root, "xvfb.log"), "a") as log:
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % (SCREEN_W, SCREEN_H),
                 "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                stderr=log, start_new_session=True)
        os.close(write_end)
        self.xvfb_pipe = read_end
        ready, _, _ = select.select([read_end], [], [], 30)
        number = os.read(read_end, 16).decode().strip() if ready else ""
        if not number.isdigit() or self.xvfb.poll() is not None:
            raise RuntimeError("Xvfb did not start (see %s/xvfb.log)" % self.root)
        self.display = ":" + number

    def close(self):
        """Tears everything down whatever state the run is in."""
        if self.running() and self.display:
            self.screenshot("at-teardown")
        if os.path.isdir(self.prefix):
            self.server("-k", check=False)
        if self.launcher and self.launcher.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.launcher.pid, signal.SIGKILL)
            self.launcher.wait(timeout=30)
        if os.path.isdir(self.prefix):
            self.server("-w", check=False)
        if self.xvfb:
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

    def server(self, flag, check=True):
        """wineserver -k ends every Wine process of the prefix (the next start takes a
        new locale); -w waits for it to end, with the registry written back."""
        return _run([WINESERVER, flag], env=wine_env(self.prefix), timeout=60, check=check)

    def pack(self, inputs, output=None, **options):
        """kelvra-pack create with the stub under test; options become --name value."""
        out = os.path.join(self.root, output or "kelvra-e2e-%s.exe" % self.name)
        args = [tool("KELVRA_PACK"), "create", "-o", out, "--stub", tool(STUB_VAR)]
        for key, value in options.items():
            args += ["--" + key.replace("_", "-"), str(value)]
        result = _run(args + list(inputs), timeout=300, check=False)
        if result.returncode != 0:
            raise AssertionError("kelvra-pack failed: %s\n%s%s" % (args, result.stdout, result.stderr))
        return out

    def start(self, installer, cwd=None, lang=None, messages=None, debug=None):
        """lang: the Unix locale Wine takes the user's UI language and code page from;
        messages: another one for the UI language alone (LC_MESSAGES); debug: WINEDEBUG."""
        if self.log:
            self.log.close()
        self.log = open(os.path.join(self.root, "wine.log"), "w")
        env = wine_env(self.prefix, self.display)
        if lang:
            env.update(LANG=lang, LC_ALL=lang)
        if messages:
            env.pop("LC_ALL", None)
            env.update(LC_MESSAGES=messages)
        if debug:
            env["WINEDEBUG"] = debug
        self.launcher = subprocess.Popen([WINE, "explorer", DESKTOP, windows_path(installer)],
                                         cwd=cwd or self.root, env=env, stdout=self.log,
                                         stderr=subprocess.STDOUT, start_new_session=True)

    def wait_exit(self, timeout=60):
        try:
            return self.launcher.wait(timeout=scaled(timeout))
        except subprocess.TimeoutExpired:
            self.screenshot("not-ended")
            raise AssertionError("the installer did not end within %gs" % scaled(timeout))

    def running(self):
        return self.launcher is not None and self.launcher.poll() is None

    def _x(self, *args, check=True):
        return subprocess.run(list(args), env=dict(os.environ, DISPLAY=self.display), timeout=30,
                              check=check, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def windows(self, title):
        """Visible windows whose whole title is title."""
        found = self._x("xdotool", "search", "--name", "^%s$" % re.escape(title), check=False)
        result = []
        for wid in found.stdout.split():
            info = self._x("xwininfo", "-id", wid, check=False).stdout
            value = lambda key: int(re.search(key + r":\s+(-?\d+)", info).group(1))
            if "IsViewable" in info and value("Width") > 1 and value("Height") > 1:
                result.append(Window(wid, value("Absolute upper-left X"), value("Absolute upper-left Y"),
                                     value("Width"), value("Height")))
        return result

    def wait_window(self, title, timeout=60, other_than=None):
        def one():
            if self.launcher is not None and self.launcher.poll() is not None:
                raise AssertionError("the installer ended before %r appeared" % title)
            return next((w for w in self.windows(title) if w.id != other_than), None)
        try:
            return wait_for(one, timeout, "window %r" % title)
        except AssertionError:
            self.screenshot("missing-" + re.sub(r"\W+", "-", title))
            raise

    def click(self, x, y):
        self._x("xdotool", "mousemove", str(x), str(y))
        self._x("xdotool", "click", "1")

    def click_client(self, window, x, y):
        self.click(window.client[0] + x, window.client[1] + y)

    def press_button(self, window):
        bx, by, bw, bh = BUTTON
        self.click_client(window, bx + bw // 2, by + bh // 2)

    def key(self, *keys):
        self._x("xdotool", "key", "--delay", "30", *keys)

    def type(self, text):
        self._x("xdotool", "type", "--delay", "30", text)

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
        box = (prompt.x, prompt.y, prompt.width, prompt.height)
        selected = wait_for(lambda: (lambda found: len(found) > 50 and found)(
            self.grab("new-name").find(box, lambda p: p == NAME_HIGHLIGHT)), 30, "the prompt's selected file name")
        if screenshot:
            self.screenshot(screenshot, prompt)
        xs, ys = sorted(x for x, _ in selected), sorted(y for _, y in selected)
        self.click(xs[len(xs) // 2], ys[len(ys) // 2])
        self.key("End", "shift+Home", "BackSpace")
        self.type(windows_path(path))
        self.key("Return")

    def screenshot(self, label, window=None):
        """Saves the screen (or one window) as shots/<scenario>/NN-label.png, in order."""
        self.shot_count += 1
        return self._import(os.path.join(self.shots, "%02d-%s.png" % (self.shot_count, label)), window)

    def _import(self, path, window=None):
        ok = self._x("import", "-window", window.id if window else "root", path, check=False).returncode == 0
        return path if ok else None

    def grab(self, label):
        """The whole screen loaded for pixel checks; polls overwrite one file per label,
        so the last look at each stays for a failing run."""
        path = self._import(os.path.join(self.shots, "grab-%s.png" % label))
        if path is None:
            raise AssertionError("no screenshot of %s" % self.display)
        return Image(path)

    def files(self, folder=None):
        return tree(folder or self.target)


def tree(folder):
    """Every file below folder, and every link to a folder, as sorted relative paths
    with / separators."""
    found = []
    for root, dirs, names in os.walk(folder):
        found += [os.path.relpath(os.path.join(root, n), folder) for n in names
                  + [d for d in dirs if os.path.islink(os.path.join(root, d))]]
    return sorted(found)
