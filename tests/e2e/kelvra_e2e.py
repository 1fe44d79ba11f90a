# The end-to-end harness: a Scenario runs the installer under Wine on its own Xvfb
# display and Wine prefix, drives it like a user with xdotool, and tears it all down.
# KELVRA_E2E_ARCH picks the stub: x86_64 (under wine64, the default) or i686 (the
# shipped stub under 32-bit Wine, inside scripts/i686-vm's virtual machine).
import collections
import contextlib
import fcntl
import glob
import os
import re
import shutil
import signal
import subprocess
import time

ARCH = os.environ.get("KELVRA_E2E_ARCH", "x86_64")
WINE, WINESERVER, WINEARCH, STUB_VAR, SETUP_VAR, MINGW_CC = {
    "x86_64": ("/usr/lib/wine/wine64", "/usr/lib/wine/wineserver64", "win64",
               "KELVRA_STUB_X64", "KELVRA_SETUP_X64", "x86_64-w64-mingw32-gcc"),
    "i686": ("/usr/lib/wine/wine", "/usr/lib/wine/wineserver32", "win32",
             "KELVRA_STUB", "KELVRA_SETUP", "i686-w64-mingw32-gcc"),
}[ARCH]
TIMEOUT_SCALE = float(os.environ.get("KELVRA_E2E_TIMEOUT_SCALE", "6" if ARCH == "i686" else "1"))
# Each look starts xdotool or import, which in the virtual machine slows the Wine waited on.
POLL_MIN = float(os.environ.get("KELVRA_E2E_POLL_MIN", "0.5" if ARCH == "i686" else "0.05"))
SCREEN_W, SCREEN_H = 1024, 768
DESKTOP = "/desktop=kelvra,%dx%d" % (SCREEN_W, SCREEN_H)
FRAME_X, FRAME_Y = 3, 22  # Wine's modal frame: a 3-pixel border, a 19-pixel caption
# The main window's layout at 96 DPI, in client pixels.
MAIN_W, MAIN_H = 390, 200
BUTTON = (155, 105, 70, 30)
FIELD = (90, 75, 270, 20)
BANNER_Y, LINK_Y = 138, 153
HERE = os.path.dirname(os.path.abspath(__file__))
WORK = os.path.abspath(os.environ.get("KELVRA_E2E_WORK", "/tmp/kelvra-e2e"))
# Wine prefixes: many small files, kept off slow or shared file systems when asked.
SCRATCH = os.path.abspath(os.environ.get("KELVRA_E2E_SCRATCH", WORK))
PREFIX_FILES = ("system.reg", "user.reg", "userdef.reg", "drive_c/windows/system32/kernel32.dll")
Window = collections.namedtuple("Window", "id x y width height")


def wait_for(predicate, timeout, what):
    """Polls predicate until it returns something true; fails after timeout (scaled) seconds."""
    deadline = time.monotonic() + timeout * TIMEOUT_SCALE
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %gs waiting for %s" % (timeout * TIMEOUT_SCALE, what))
        time.sleep(POLL_MIN)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return path


def run(args, env=None, timeout=120, check=True):
    return subprocess.run(args, env=env, timeout=timeout * TIMEOUT_SCALE, check=check,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def wine_env(prefix, display=None):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINESERVER=WINESERVER,
               WINEARCH=WINEARCH, WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    return dict(env, DISPLAY=display) if display else env


@contextlib.contextmanager
def locked(path):
    with open(path, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def program(name):
    """A helper built once per build folder and source; setup, the cross build's."""
    if name == "setup":
        return os.environ[SETUP_VAR]
    source = os.path.join(HERE, "helpers", name + ".c")
    path = os.path.join(WORK, "helpers", ARCH, name + ".exe")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with locked(os.path.join(WORK, "helpers.lock")):
        if not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(source):
            run([MINGW_CC, "-Os", "-s", "-mwindows", "-o", path + ".tmp", source, "-lshell32"])
            os.replace(path + ".tmp", path)
    return path


def template_prefix():
    """One Wine prefix per build folder and Wine version, copied per scenario."""
    os.makedirs(SCRATCH, exist_ok=True)
    path = os.path.join(SCRATCH, "wine-template-" + ARCH)
    with locked(path + ".lock"):
        version = run([WINE, "--version"]).stdout.strip()
        marker = os.path.join(path, ".kelvra-template")
        if os.path.exists(marker) and read(marker).decode() == version:
            return path
        # On a slow machine wineboot -i sometimes exits non-zero (53 was seen) with the
        # prefix whole, and sometimes leaves half of one: only the latter is made again.
        for attempt in range(3):
            shutil.rmtree(path, ignore_errors=True)
            booted = run([WINE, "wineboot", "-i"], env=wine_env(path), timeout=300, check=False)
            run([WINESERVER, "-w"], env=wine_env(path), check=False)
            files = [os.path.join(path, f) for f in PREFIX_FILES]
            if all(os.path.isfile(f) and os.path.getsize(f) for f in files):
                break
        else:
            raise RuntimeError("no Wine prefix in %s: %s" % (path, booted.stderr[-500:]))
        # The machine-wide TEMP and TMP would stand in for any a scenario unsets.
        edit_registry(os.path.join(path, "system.reg"), r"System\\CurrentControlSet\\Control\\"
                      r"Session Manager\\Environment", {"TEMP": None, "TMP": None})
        write(marker, version.encode())
        return path


def edit_registry(path, key, values):
    """Sets (None: removes) values of a key in a prefix's registry file, Wine not running."""
    lines = read(path).decode("utf-8", "surrogateescape").splitlines(True)
    start = next(i for i, l in enumerate(lines) if l.lower().startswith("[%s]" % key.lower()))
    end = lines.index("\n", start)
    names = {n.upper() for n in values}
    body = [l for l in lines[start + 1:end] if l[1:].split('"', 1)[0].upper() not in names]
    for name, value in values.items():
        if isinstance(value, int):
            body.append('"%s"=dword:%08x\n' % (name, value))
        elif value is not None:
            # Beyond ASCII as Wine writes it: \x and four hex digits.
            text = value.replace("\\", "\\\\").replace('"', '\\"')
            body.append('"%s"="%s"\n' % (name, "".join(c if ord(c) < 0x80 else "\\x%04x" % ord(c) for c in text)))
    lines[start + 1:end] = body
    write(path, "".join(lines).encode("utf-8", "surrogateescape"))


class Image:
    def __init__(self, path):
        data = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], check=True, stdout=subprocess.PIPE).stdout
        match = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
        self.width, self.height = int(match.group(1)), int(match.group(2))
        self.pixels = data[match.end():]

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def find(self, box, predicate):
        return [(x, y) for y in range(box[1], box[1] + box[3]) for x in range(box[0], box[0] + box[2])
                if predicate(self.pixel(x, y))]


def tree(folder):
    """Files below folder, links and what they lead to, as sorted relative paths."""
    found = glob.glob(os.path.join(glob.escape(folder), "**"), recursive=True, include_hidden=True)
    return sorted(os.path.relpath(p, folder) for p in found if os.path.isfile(p) or os.path.islink(p))


class Scenario:
    """Installer runs on a fresh display and Wine prefix; __enter__ makes them, close ends them."""

    def __init__(self, name):
        self.name, self.root = name, os.path.join(WORK, "work", name)
        self.shots, self.target = os.path.join(WORK, "shots", name), os.path.join(self.root, "target")
        for d in (self.root, self.shots):
            shutil.rmtree(d, ignore_errors=True)
        os.makedirs(self.target)
        os.makedirs(self.shots)
        self.prefix = os.path.join(SCRATCH, "prefixes", name) if SCRATCH != WORK else os.path.join(self.root, "prefix")
        self.xvfb = self.launcher = None
        self.shot_count = 0

    def __enter__(self):
        # Hard links make the copy instant; the registry files Wine rewrites are copied.
        template = template_prefix()
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
        subprocess.run(["cp", "-al", template, self.prefix], check=True)
        for reg in PREFIX_FILES[:3]:
            os.unlink(os.path.join(self.prefix, reg))
            shutil.copy2(os.path.join(template, reg), os.path.join(self.prefix, reg))
        # Xvfb takes the first free display and writes its number to the pipe, or ends.
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % (
            SCREEN_W, SCREEN_H), "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            self.display = ":" + pipe.readline().strip()
        if not self.display[1:].isdigit():
            raise RuntimeError("Xvfb did not start")
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.running():
            self.screenshot("at-teardown")
        if os.path.isdir(self.prefix):
            self.server("-k", check=False)
        if self.running():
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.launcher.pid, signal.SIGKILL)
            self.launcher.wait(timeout=30)
        if os.path.isdir(self.prefix):
            self.server("-w", check=False)
        if self.xvfb:
            self.xvfb.kill()
            self.xvfb.wait(timeout=10)
            self.xvfb = None
        shutil.rmtree(self.prefix, ignore_errors=True)

    def server(self, flag, check=True):
        """-k ends every Wine process of the prefix (the next start takes a new locale);
        -w waits for it to end, with the registry written back."""
        return run([WINESERVER, flag], env=wine_env(self.prefix), timeout=60, check=check)

    def pack(self, inputs, output=None, **options):
        out = os.path.join(self.root, output or "kelvra-e2e-%s.exe" % self.name)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        args = [os.environ["KELVRA_PACK"], "create", "-o", out, "--stub", os.environ[STUB_VAR]]
        for key, value in options.items():
            args += ["--" + key.replace("_", "-"), str(value)]
        result = run(args + list(inputs), timeout=300, check=False)
        if result.returncode != 0:
            raise AssertionError("kelvra-pack failed: %s\n%s%s" % (args, result.stdout, result.stderr))
        return out

    def start(self, installer, cwd=None, lang=None, messages=None, debug=None):
        """lang: the Unix locale Wine takes the user's UI language and code page from;
        messages: another one for the UI language alone (LC_MESSAGES)."""
        env = dict(wine_env(self.prefix, self.display), **({"LANG": lang, "LC_ALL": lang} if lang else {}))
        if messages:
            env.pop("LC_ALL", None)
            env.update(LC_MESSAGES=messages)
        env["WINEDEBUG"] = debug or env["WINEDEBUG"]
        with open(os.path.join(self.root, "wine.log"), "w") as log:
            self.launcher = subprocess.Popen([WINE, "explorer", DESKTOP, windows_path(installer)], cwd=cwd or self.root,
                                             env=env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)

    def running(self):
        return self.launcher is not None and self.launcher.poll() is None

    def wait_exit(self):
        """Wine's desktop, the launcher, ends once no program is left on it."""
        wait_for(lambda: not self.running(), 60, "the installer to end")

    def files(self):
        return tree(self.target)

    def x(self, *args):
        return subprocess.run(args, env=dict(os.environ, DISPLAY=self.display), timeout=30,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def windows(self, title):
        result = []
        for wid in self.x("xdotool", "search", "--name", "^%s$" % re.escape(title)).stdout.split():
            info = self.x("xwininfo", "-id", wid).stdout
            value = lambda key: int(re.search(key + r":\s+(-?\d+)", info).group(1))
            if "IsViewable" in info and value("Width") > 1 and value("Height") > 1:
                result.append(Window(wid, value("Absolute upper-left X"), value("Absolute upper-left Y"),
                                     value("Width"), value("Height")))
        return result

    def wait_window(self, title, other_than=None):
        def one():
            if self.launcher is not None and self.launcher.poll() is not None:
                raise AssertionError("the installer ended before %r appeared" % title)
            return next((w for w in self.windows(title) if w.id != other_than), None)
        return wait_for(one, 60, "window %r" % title)

    def click(self, x, y):
        self.x("xdotool", "mousemove", str(x), str(y), "click", "1")

    def press_button(self, window):
        self.click(window.x + FRAME_X + BUTTON[0] + BUTTON[2] // 2, window.y + FRAME_Y + BUTTON[1] + BUTTON[3] // 2)

    def key(self, *keys):
        self.x("xdotool", "key", "--delay", "30", *keys)

    def replace_text(self, text):
        self.key("End", "shift+Home", "BackSpace")
        if text:
            self.x("xdotool", "type", "--delay", "30", text)

    def answer_new_name(self, path):
        """The save-as prompt opens inactive under Wine and takes keys only once it has
        drawn its file-name field with the name selected: a click on that selection."""
        prompt = self.wait_window("New Name")
        selected = wait_for(lambda: (lambda found: len(found) > 50 and found)(self.grab("new-name").find(
            prompt[1:], lambda p: p == (48, 150, 250))), 30, "the prompt's selected file name")  # Wine's highlight
        self.click(*sorted(selected)[len(selected) // 2])
        self.replace_text(windows_path(path))
        self.key("Return")

    def screenshot(self, label, window=None):
        self.shot_count += 1
        path = os.path.join(self.shots, "%02d-%s.png" % (self.shot_count, label))
        return path if self.x("import", "-window", window.id if window else "root", path).returncode == 0 else None

    def grab(self, label):
        # One file per label: the last look stays.
        path = os.path.join(self.shots, "grab-%s.png" % label)
        if self.x("import", "-window", "root", path).returncode != 0:
            raise AssertionError("no screenshot of " + self.display)
        return Image(path)
