"""The desktops the suite runs Quorvel on: each starts its session with a start script
(start/*.sh) and gives the scenario (test_desktop.py) the same small set of operations:
windows by title, the focus, screenshots per output, a click, a key, the tray icon."""

import ast
import ctypes
import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from collections import namedtuple
from pathlib import Path

from PIL import Image

HERE = Path(__file__).resolve().parent
TEST_USER = "quorvel-desktops"
Win = namedtuple("Win", "id title x y w h fullscreen")
Output = namedtuple("Output", "name x y w h")
KEYCODES = {"q": 16, "w": 17, "space": 57, "Escape": 1}  # evdev, for virtual-input


class SetupFailed(Exception):
    pass


def wait_until(predicate, seconds, interval=0.2):
    """The first true value of predicate() within the time, else None."""
    end = time.monotonic() + seconds
    while True:
        value = predicate()
        if value or time.monotonic() > end:
            return value or None
        time.sleep(interval)


def ready(p, log, seconds):
    """True once process p prints "ready" within the time; its output goes on to the log."""
    seen = threading.Event()

    def drain():
        with open(log, "ab") as f:
            for line in p.stdout:
                f.write(line)
                f.flush()
                if line.strip() == b"ready":
                    seen.set()

    threading.Thread(target=drain, daemon=True).start()
    wait_until(lambda: seen.is_set() or p.poll() is not None, seconds)
    return seen.is_set()


def reachable(path):
    """Whether root may look into the folder: not a FUSE mount of another user's."""
    try:
        os.lstat(path)
        return not os.path.ismount(path)
    except OSError:
        return False


def load(path):
    """An image file's picture, the file removed."""
    if not path.exists():
        return None
    image = Image.open(path)
    image.load()
    path.unlink()
    return image


def kde_version():
    """Plasma's major version here: 6 on Debian 13, 5 on Debian 12."""
    return "6" if shutil.which("kded6") else "5"


def gnome_version():
    """GNOME Shell's major version here (48 on Debian 13, 43 on Debian 12), 0 without it."""
    try:
        text = subprocess.run(["gnome-shell", "--version"], capture_output=True, text=True).stdout
    except OSError:
        return 0
    m = re.search(r"(\d+)\.", text)
    return int(m[1]) if m else 0


def icon_in(image, box, light=245, least=12):
    """Where Quorvel's tray icon (a light figure with a dark rim) is in a region of a screenshot,
    as (x, y, w, h) of the image, or None: the bounding box of at least `least` pixels at
    least `light` bright next to a dark one."""
    region = image.convert("RGB").crop(box)
    pixels, (w, h) = region.load(), region.size
    found = [(x, y) for y in range(1, h - 1) for x in range(1, w - 1)
             if min(pixels[x, y]) >= light
             and any(max(pixels[x + dx, y + dy]) <= 80 for dx in (-1, 0, 1) for dy in (-1, 0, 1))]
    if len(found) < least:
        return None
    xs, ys = [p[0] for p in found], [p[1] for p in found]
    if max(xs) - min(xs) > 64 or max(ys) - min(ys) > 64:
        return None
    return (box[0] + min(xs), box[1] + min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1)


class Session:
    """One desktop session and the processes the suite started in it, all ended at stop()."""

    user = None  # the user the session runs as (None: root)
    pictures = True  # screenshots show what is on each output
    outputs = []

    def __init__(self, name, out, build):
        self.name, self.out, self.build = name, out, build
        self.work = Path(tempfile.mkdtemp(prefix="quorvel-desktops."))
        self.work.chmod(0o777)
        self.procs, self.app, self.logind, self.locker = [], None, None, None
        self.home = self.work / "home"
        for d in (".config/Quorvel", ".local/share/applications", ".cache", "runtime", "tmp"):
            (self.home / d).mkdir(parents=True)
        (self.home / "runtime").chmod(0o700)
        # What the session needs, where the test user can reach it.
        self.bin = self.work / "bin"
        shutil.copytree(HERE / "start", self.bin / "start")
        shutil.copytree(HERE / "conf", self.bin / "conf")
        for f in ("quorvel", "virtual-input", "kwin-shot", "logind-standin",
                  "tools/camera-holder/quorvel-camera-holder", "tools/probe/quorvel-probe",
                  "tests/camera/quorvel-camera-node"):
            if (build / f).exists():
                shutil.copy2(build / f, self.bin / Path(f).name)
        shutil.copy2(HERE.parents[1] / "tests/data/astronaut.png", self.bin / "person.png")
        shutil.copytree(build / "models", self.work / "models")
        self.env = {
            "HOME": str(self.home), "XDG_CONFIG_HOME": f"{self.home}/.config",
            "XDG_DATA_HOME": f"{self.home}/.local/share", "XDG_CACHE_HOME": f"{self.home}/.cache",
            "XDG_RUNTIME_DIR": f"{self.home}/runtime", "TMPDIR": f"{self.home}/tmp",
            "PATH": "/usr/local/bin:/usr/bin:/bin", "LANG": "C.UTF-8",
            "DBUS_SESSION_BUS_ADDRESS": f"unix:path={self.home}/runtime/bus",
            "DBUS_SYSTEM_BUS_ADDRESS": f"unix:path={self.work}/system_bus",
        }
        (out / "logs").mkdir(parents=True, exist_ok=True)

    # ---- processes ----
    def command(self, cmd, env=None, root=False):
        """cmd in the session's environment, as the session's user unless root."""
        user = [] if root or not self.user else [
            "setpriv", f"--reuid={self.user}", f"--regid={self.user}", "--init-groups", "--reset-env"]
        return user + ["env", *(f"{k}={v}" for k, v in {**self.env, **(env or {})}.items()), *cmd]

    def spawn(self, cmd, log, env=None, root=False, **kw):
        """Starts a process in a process group of its own, kept until stop()."""
        full = self.command(cmd, env, root)
        with open(self.out / "logs" / log, "ab") as f:
            p = subprocess.Popen(full, stdout=kw.pop("stdout", f), stderr=f, start_new_session=True,
                                 **kw)
        self.procs.append(p)
        return p

    def run(self, *cmd, env=None, timeout=30):
        """A command's standard output ("" when it fails)."""
        try:
            r = subprocess.run(self.command(cmd, env), capture_output=True, text=True,
                               timeout=timeout)
        except subprocess.TimeoutExpired:
            return ""
        return r.stdout if r.returncode == 0 else ""

    def start_script(self, script, *args, wrap=(), env=None, root=False, seconds=60):
        """Runs start/SCRIPT until it prints "ready"; a failure is the desktop's set-up failure."""
        log = self.out / "logs" / f"{script}.log"
        p = self.spawn([*wrap, str(self.bin / "start" / f"{script}.sh"), str(self.work), *args],
                       f"{script}.log", env=env, root=root, stdout=subprocess.PIPE)
        if not ready(p, log, seconds) or p.poll() is not None:
            tail = log.read_text(errors="replace").strip().splitlines()[-3:]
            raise SetupFailed(f"{script}.sh: {' / '.join(tail) or 'no ready within %d s' % seconds}")

    def stop(self):
        """Ends every process group the suite started here (by its id), last first."""
        def kill(p, sig):
            try:
                os.killpg(p.pid, sig)
            except ProcessLookupError:
                pass

        for p in reversed(self.procs):
            kill(p, signal.SIGTERM)
        for p in self.procs:
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                kill(p, signal.SIGKILL)
                p.wait()
        for f in self.work.glob("*.log"):
            shutil.copy(f, self.out / "logs")
        shutil.rmtree(self.work, ignore_errors=True)

    def start_logind(self, locker="hint", *args):
        """logind's stand-in on the private system bus, with the locker profile it plays
        ("desktop": the desktop's own locker answers); logind-standin.cpp gives the options."""
        p = self.spawn([str(self.bin / "logind-standin"), f"--locker={locker}", *args], "logind.log",
                       root=True, stdout=subprocess.PIPE)
        if not ready(p, self.out / "logs" / "logind.log", 10):
            raise SetupFailed("logind's stand-in did not start")
        self.logind, self.locker = p, locker

    def start_pipewire(self):
        """PipeWire and WirePlumber as the desktop's session starts them (its user units do),
        with WirePlumber's own configuration: programs read cameras through them."""
        self.spawn(["pipewire"], "pipewire.log")
        if not wait_until(lambda: (self.home / "runtime/pipewire-0").exists(), 20):
            raise SetupFailed("PipeWire did not start (see pipewire.log)")
        self.spawn(["wireplumber"], "wireplumber.log")
        if not wait_until(lambda: "WirePlumber" in self.run("pw-cli", "ls", "Client"), 20):
            raise SetupFailed("WirePlumber did not join PipeWire (see wireplumber.log)")

    def start_system_bus(self):
        self.spawn(["dbus-daemon", f"--config-file={self.bin}/conf/system-bus.conf", "--nofork",
                    f"--address=unix:path={self.work}/system_bus"], "system-bus.log", root=True)
        if not wait_until(lambda: (self.work / "system_bus").exists(), 5):
            raise SetupFailed("the private system bus did not start")

    def make_user(self):
        if os.getuid() != 0:
            raise SetupFailed("needs root, to make the test user and run the session as it")
        if subprocess.run(["id", TEST_USER], capture_output=True).returncode:
            subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent",
                            "--shell", "/usr/sbin/nologin", TEST_USER], check=True)
        self.user = TEST_USER

    def own_home(self):
        if self.user:
            # Not into what is mounted there: the desktop portal's document store (a FUSE
            # mount in the runtime folder, its user's alone) once a program asked the portal.
            ids = pwd.getpwnam(self.user)
            for top, dirs, files in os.walk(self.home):
                os.chown(top, ids.pw_uid, ids.pw_gid, follow_symlinks=False)
                for f in files:
                    os.chown(os.path.join(top, f), ids.pw_uid, ids.pw_gid, follow_symlinks=False)
                dirs[:] = [d for d in dirs if reachable(os.path.join(top, d))]

    # ---- the app ----
    def settings(self, **values):
        base = dict(postureMonitoringEnabled="false", standReminderEnabled="true",
                    waterReminderEnabled="false", standInterval="7", autoDismissTimeout="0",
                    lastUpdateCheck=str(int(time.time())))
        base.update(values)
        conf = self.home / ".config/Quorvel/Quorvel.conf"
        conf.write_text("[General]\n" + "".join(f"{k}={v}\n" for k, v in base.items()))
        self.own_home()

    def launch(self, env=None):
        # Every category on: the log is kept beside the screenshots.
        log = self.out / "logs" / "quorvel.log"
        self.app_log_start = log.stat().st_size if log.exists() else 0
        # Qt's Wayland lines too, all with times: a compositor's part shows beside ours.
        return self.spawn([str(self.bin / "quorvel")], "quorvel.log",
                          env={"QT_LOGGING_RULES": "quorvel.*=true;qt.qpa.wayland*=true",
                               "QT_MESSAGE_PATTERN": "%{time process} %{category}: %{message}",
                               **(env or {})})

    def start_app(self, env=None, **settings):
        self.stop_app()
        self.settings(**settings)
        self.app = self.launch(env)

    def app_log(self):
        """The lines Quorvel has logged since its last launch."""
        log = self.out / "logs" / "quorvel.log"
        if not log.exists():
            return []
        with open(log, "rb") as f:
            f.seek(getattr(self, "app_log_start", 0))
            return f.read().decode(errors="replace").splitlines()

    OVERLAY_TITLES = {"slouch": "Sit Up Straight!", "stand": "Time to Stand!",
                      "water": "Drink Some Water!"}

    def layered_overlay(self, title):
        """Whether Quorvel, running, has its overlay titled `title` up on the layer shell's
        overlay layer, whose surfaces have no title: from the log, since the app's launch,
        between its "shown" and its "taken down". Which one it is since the launch (1, 2, ...),
        or 0 when none is up."""
        if not self.app or self.app.poll() is not None:
            return 0
        # Each window is put on the layer (logged) before the overlay is said to be shown.
        shown, up, layered, placed = 0, None, False, False
        for line in self.app_log():
            if m := re.search(r"quorvel\.overlay: (\w+) overlay shown on", line):
                shown, up, layered, placed = shown + 1, m[1], placed, False
            elif "quorvel.overlay: on the overlay layer of" in line:
                placed = True
            elif re.search(r"quorvel\.overlay: \w+ overlay taken down", line):
                up = None  # faded out and gone, the keyboard given back
        return shown if layered and self.OVERLAY_TITLES.get(up) == title else 0

    def stop_app(self):
        if self.app and self.app.poll() is None:
            self.app.terminate()
            self.app.wait(10)

    def watcher(self, prop):
        """A property of the session's StatusNotifierWatcher, as gdbus prints it."""
        return self.run("gdbus", "call", "--session", "--dest", "org.kde.StatusNotifierWatcher",
                        "--object-path", "/StatusNotifierWatcher", "--method",
                        "org.freedesktop.DBus.Properties.Get", "org.kde.StatusNotifierWatcher", prop)

    def sni_items(self):
        return re.findall(r"'([^']+)'", self.watcher("RegisteredStatusNotifierItems"))

    def sni_host(self):
        return "true" in self.watcher("IsStatusNotifierHostRegistered")

    def start_tray(self):
        (self.home / "runtime" / "start-tray").touch()

    def foot_terminals(self):
        for side in ("left", "right"):
            self.spawn(["foot", "-a", f"term-{side}", "-T", f"term-{side}", "-o",
                        "colors.background=000000", "sh", "-c",
                        f"stty -icanon -echo; exec cat >'{self.work}/keys-{side}'"], "foot.log")

    # ---- what the scenario uses, from the compositor's view ----
    def output_of(self, win):
        cx, cy = win.x + win.w // 2, win.y + win.h // 2
        return next((o for o in self.outputs if o.x <= cx < o.x + o.w and o.y <= cy < o.y + o.h),
                    None)

    def panel(self):
        return [w for w in self.find("Quorvel") if w.w > 100]

    def stack_report(self):
        """What the compositor says is shown on each output, for a failed check's report."""
        return ""

    def work_area(self, output):
        """The part of the output the desktop leaves to windows, where it says (X11's
        _NET_WORKAREA, one rectangle for the whole desktop, cut to the output), else None."""
        return None

    def shoot(self, name):
        """Screenshots of every output, as out/NAME-OUTPUT.png; returns {output: Image}."""
        shots = {}
        for o, image in self.screenshots().items():
            if image:
                image.save(self.out / f"{name}-{o}.png")
                shots[o] = image
        return shots

    def activation_env(self):
        return {}


_last_display = 59


class X11(Session):
    outputs = [Output("DUMMY0", 0, 0, 1280, 800), Output("DUMMY1", 1280, 0, 1024, 768)]

    def __init__(self, name, out, build, wm, tray=None):
        super().__init__(name, out, build)
        self.wm, self.tray = wm, tray
        # A display number not used before in this run: a program of an ended session (KDE's
        # crash dialog for a KWin that lost its X server as the session ended) once came up
        # on the next session's display, which had the same number, and took its keyboard.
        global _last_display
        n = _last_display + 1
        while Path(f"/tmp/.X11-unix/X{n}").exists() or Path(f"/tmp/.X{n}-lock").exists():
            n += 1
        _last_display = n
        self.env["DISPLAY"] = f":{n}"

    def start(self, late_tray=False):
        self.start_system_bus()
        env = {"QUORVEL_LATE_TRAY": "1"} if late_tray else {}
        if self.wm in ("kwin", "plasma"):
            env.update(KDE_FULL_SESSION="true", KDE_SESSION_VERSION=kde_version(),
                       XDG_CURRENT_DESKTOP="KDE")
        self.env.update(env)
        self.start_script("x11", self.wm, *([self.tray] if self.tray else []), seconds=90)
        if not late_tray and (self.tray or self.wm == "i3"):
            self.wait_for_xembed_tray()
        for side, x in (("left", 60), ("right", 1340)):
            self.spawn(["xterm", "-bg", "black", "-fg", "white", "-geometry", f"60x15+{x}+60", "-T",
                        f"term-{side}", "-e", "sh", "-c",
                        f"stty -icanon -echo; exec cat >'{self.work}/keys-{side}'"], "xterm.log")

    def xembed_tray_owner(self):
        return selection_owner(self.env["DISPLAY"], "_NET_SYSTEM_TRAY_S0")

    def wait_for_xembed_tray(self):
        """The session's own tray (i3bar's, trayer) is there before Quorvel starts, as on a
        desktop that is up. i3bar once never took it on a busy machine: i3 is asked to start
        its bar again, once, with what i3 said about its outputs and bar kept in x11.log."""
        if wait_until(self.xembed_tray_owner, 30):
            return
        if self.wm == "i3":
            with open(self.out / "logs" / "x11.log", "a") as log:
                log.write("suite: no XEmbed tray after 30 s; i3's outputs and bar, then i3 restarted\n")
                for what in ("get_outputs", "get_bar_config"):
                    log.write(self.run("i3-msg", "-t", what, *(["bar-0"] if what == "get_bar_config" else [])) + "\n")
            self.run("i3-msg", "restart")
            if wait_until(self.xembed_tray_owner, 30):
                return
        tail = (self.out / "logs" / "x11.log").read_text(errors="replace").strip().splitlines()[-5:]
        raise SetupFailed(f"the desktop's XEmbed tray did not start: {' / '.join(tail)}")

    def find(self, title):
        wins = []
        for wid in self.run("xdotool", "search", "--onlyvisible", "--name", f"^{title}$").split():
            info = self.run("xwininfo", "-id", wid)
            g = {k: int(v) for k, v in re.findall(r"(Absolute upper-left [XY]|Width|Height):\s+(-?\d+)", info)}
            state = self.run("xprop", "-id", wid, "_NET_WM_STATE")
            if len(g) == 4 and "HIDDEN" not in state:  # mutter keeps minimised windows mapped
                wins.append(Win(wid, title, g["Absolute upper-left X"], g["Absolute upper-left Y"],
                                g["Width"], g["Height"], "FULLSCREEN" in state))
        return wins

    def focused(self):
        return self.run("xdotool", "getwindowfocus", "getwindowname").strip()

    def work_area(self, output):
        found = re.findall(r"\d+", self.run("xprop", "-root", "-notype", "_NET_WORKAREA").split("=", 1)[-1])
        if len(found) < 4:
            return None
        x, y, w, h = map(int, found[:4])
        left, top = max(x, output.x), max(y, output.y)
        right, bottom = min(x + w, output.x + output.w), min(y + h, output.y + output.h)
        return Output(output.name, left, top, right - left, bottom - top)

    def screenshots(self):
        path = self.work / "root.png"
        self.run("import", "-window", "root", str(path))
        root = Image.open(path)
        root.load()
        return {o.name: root.crop((o.x, o.y, o.x + o.w, o.y + o.h)) for o in self.outputs}

    def click(self, x, y):
        self.run("xdotool", "mousemove", str(x), str(y), "click", "1")

    def key(self, name):
        self.run("xdotool", "key", name)

    def activate(self, title):
        """As a user does: a click into the window."""
        for w in self.find(title):
            self.click(w.x + w.w // 2, w.y + w.h // 2)
            if not wait_until(lambda: self.focused() == title, 5):
                self.run("xdotool", "windowactivate", w.id)

    def fullscreen(self, title, on):
        for w in self.find(title):
            self.run("wmctrl", "-i", "-r", w.id, "-b", f"{'add' if on else 'remove'},fullscreen")

    def close(self, win):
        self.run("wmctrl", "-i", "-c", win.id)

    def icon(self):
        """Quorvel's XEmbed icon inside the tray's window, or found on a screenshot of the panel
        (Plasma's status-notifier tray draws the icon itself)."""
        for line in self.run("xwininfo", "-root", "-tree").splitlines():
            m = re.search(r'\("quorvel" "[^"]*"\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)', line)
            if m and int(m[1]) <= 64:
                w, h, x, y = map(int, m.groups())
                return (x, y, w, h)
        if self.wm == "plasma":
            shots = self.screenshots()
            for o in self.outputs:
                found = icon_in(shots[o.name], (o.w // 2, o.h - 60, o.w, o.h))
                if found:
                    return (found[0] + o.x, found[1] + o.y, found[2], found[3])
        return None

    def activation_env(self):
        return {"DESKTOP_STARTUP_ID": f"quorvel-suite-{os.getpid()}-{time.time_ns()}_TIME0"}

    def grab(self):
        """The keyboard and pointer taken by another program, as a desktop shell's menu holds
        them while it is open; release() gives them back."""
        return X11Grab(self.env["DISPLAY"])

    def input_taken(self):
        """Whether a program holds the keyboard or pointer now (a grab of them is refused)."""
        grab = X11Grab(self.env["DISPLAY"], check=False)
        grab.release()
        return grab.status != (0, 0)


def selection_owner(display, name):
    """The window that owns the X selection `name` on `display` (0: none, or no display)."""
    x = ctypes.CDLL("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XGetSelectionOwner.restype = ctypes.c_ulong
    x.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    handle = x.XOpenDisplay(display.encode())
    if not handle:
        return 0
    try:
        return x.XGetSelectionOwner(handle, x.XInternAtom(handle, name.encode(), 0))
    finally:
        x.XCloseDisplay(handle)


class X11Grab:
    def __init__(self, display, check=True):
        x = self.x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XGrabPointer.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_uint,
                                   ctypes.c_int, ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong,
                                   ctypes.c_ulong]
        x.XGrabKeyboard.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                    ctypes.c_int, ctypes.c_ulong]
        for f in (x.XUngrabPointer, x.XUngrabKeyboard):
            f.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        for f in (x.XSync,):
            f.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.display = x.XOpenDisplay(display.encode())
        if not self.display:
            raise SetupFailed(f"could not open {display} to take the keyboard")
        root = x.XDefaultRootWindow(self.display)
        async_mode, button_press_release = 1, (1 << 2) | (1 << 3)
        # GrabSuccess is 0; a grab still held by the window manager's own menu would not be.
        self.status = (x.XGrabPointer(self.display, root, 0, button_press_release, async_mode,
                                      async_mode, 0, 0, 0),
                       x.XGrabKeyboard(self.display, root, 0, async_mode, async_mode, 0))
        if check and self.status != (0, 0):
            self.release()
            raise SetupFailed(f"could not take the keyboard and pointer: {self.status}")

    def release(self):
        if self.display:
            self.x.XUngrabPointer(self.display, 0)
            self.x.XUngrabKeyboard(self.display, 0)
            self.x.XSync(self.display, 0)
            self.x.XCloseDisplay(self.display)
            self.display = None


class VirtualInput:
    """The suite's Wayland pointer and keyboard (virtual-input.c), kept for the whole session;
    a launcher's activation tokens too."""

    def start_input(self, width, height):
        self.pointer = self.spawn([str(self.bin / "virtual-input"), str(width), str(height)],
                                  "virtual-input.log", stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)

    def send(self, line):
        self.pointer.stdin.write(f"{line}\n".encode())
        self.pointer.stdin.flush()
        answer = self.pointer.stdout.readline().decode().split()
        time.sleep(0.2)
        return answer

    def click(self, x, y):
        self.send(f"move {x} {y}")
        self.send("click")

    def key(self, name):
        self.send(f"key {KEYCODES[name]}")

    def activation_env(self):
        answer = self.send("token")
        return {"XDG_ACTIVATION_TOKEN": answer[1]} if len(answer) == 2 and answer[1] != "none" else {}


class Sway(VirtualInput, Session):
    outputs = [Output("HEADLESS-1", 0, 0, 1280, 800), Output("HEADLESS-2", 1280, 0, 1024, 768)]

    def start(self, late_tray=False):
        self.make_user()
        self.start_system_bus()
        self.env.update(XDG_SESSION_TYPE="wayland", XDG_CURRENT_DESKTOP="sway",
                        WAYLAND_DISPLAY="wayland-1", **({"QUORVEL_LATE_TRAY": "1"} if late_tray else {}))
        self.own_home()
        self.start_script("sway")
        sock = wait_until(lambda: next((self.home / "runtime").glob("sway-ipc.*.sock"), None), 10)
        if not sock:
            raise SetupFailed("sway has no IPC socket")
        self.env["SWAYSOCK"] = str(sock)
        self.foot_terminals()
        self.start_input(2304, 800)

    def stack_report(self):
        # Per output: its workspace, the window sway has full screen there, and the visible
        # windows with their places (sway's own view, against which a picture can be read).
        text = self.run("swaymsg", "-t", "get_tree", "-r")
        if not text:
            return "sway gave no tree"
        lines = []

        def views(node):
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                yield from views(child)
            if node.get("pid"):
                yield node

        for out in json.loads(text).get("nodes", []):
            for ws in out.get("nodes", []):
                shown = [f"{v.get('name')}@{v['rect']['x']},{v['rect']['y']} {v['rect']['width']}x"
                         f"{v['rect']['height']}{' full' if v.get('fullscreen_mode') else ''}"
                         f"{'' if v.get('visible') else ' hidden'}" for v in views(ws)]
                lines.append(f"{out.get('name')} workspace {ws.get('name')}: {'; '.join(shown)}")
        return "\n".join(lines)

    def tree(self):
        wins, focused = [], ""

        def walk(node):
            nonlocal focused
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                walk(child)
            if node.get("type") in ("con", "floating_con") and node.get("pid") and node.get("visible"):
                r = node["rect"]
                wins.append(Win(node["id"], node.get("name"), r["x"], r["y"], r["width"],
                                r["height"], node.get("fullscreen_mode") == 1))
                if node.get("focused"):
                    focused = node.get("name")

        text = self.run("swaymsg", "-t", "get_tree", "-r")
        if text:
            walk(json.loads(text))
        return wins, focused

    def find(self, title):
        if wins := [w for w in self.tree()[0] if w.title == title]:
            return wins
        # sway lists no layer surfaces in its tree: one per output, as the overlay was put up.
        up = self.layered_overlay(title)
        return [Win(f"layer-{self.app.pid}-{up}-{o.name}", title, o.x, o.y, o.w, o.h, True)
                for o in self.outputs] if up else []

    def focused(self):
        return self.tree()[1]

    def screenshots(self):
        shots = {}
        for o in self.outputs:
            self.run("grim", "-o", o.name, str(path := self.work / f"shot-{o.name}.png"))
            shots[o.name] = load(path)
        return shots

    def activate(self, title):
        self.run("swaymsg", f'[title="^{title}$"] focus')

    def fullscreen(self, title, on):
        self.run("swaymsg", f'[title="^{title}$"] fullscreen {"enable" if on else "disable"}')

    def close(self, win):
        self.run("swaymsg", f"[con_id={win.id}] kill")

    def icon(self):
        shots = self.screenshots()
        o = self.outputs[0]
        # swaybar draws the icon small: few pixels stay at full brightness.
        return icon_in(shots[o.name], (o.w // 2, 0, o.w, 40), 200, 4) if o.name in shots else None


class KWin(VirtualInput, Session):
    """KWin 5.27 or 6 on Wayland; with plasma=True Plasma's shell and tray too."""

    outputs = [Output("Virtual-0", 0, 0, 1280, 800), Output("Virtual-1", 1280, 0, 1280, 800)]

    def __init__(self, name, out, build, plasma=False):
        super().__init__(name, out, build)
        self.plasma = plasma
        self.version = kde_version()
        # KWin 6's scripts say window where KWin 5's said client, and name outputs by object.
        six = self.version == "6"
        self.windows_js = "workspace.windowList()" if six else "workspace.clientList()"
        self.active_js = "workspace.activeWindow" if six else "workspace.activeClient"
        self.second_screen_js = "workspace.screens[1]" if six else "1"

    def start(self, late_tray=False):
        self.make_user()
        self.start_system_bus()
        kwin = self.work / "kwin"  # the copy keeps the name: KWin finds its parts by it
        kwin.mkdir()
        shutil.copy(shutil.which("kwin_wayland"), kwin / "kwin_wayland")
        entry = (HERE / "conf/virtual-input.desktop").read_text().replace("@BIN@", str(self.bin))
        (self.home / ".local/share/applications/quorvel-suite-input.desktop").write_text(entry)
        self.env.update(XDG_SESSION_TYPE="wayland", XDG_CURRENT_DESKTOP="KDE", KDE_FULL_SESSION="true",
                        KDE_SESSION_VERSION=self.version, WAYLAND_DISPLAY="wayland-0", KWINDIR=str(kwin))
        if self.version == "6":
            # KWin 6 with its own screen locker, which hears logind as on a real machine (and
            # does not lock by itself after five idle minutes of the suite).
            self.start_logind("desktop")
            self.env.update(XDG_SESSION_ID="31", QUORVEL_SUITE_LOCKER="1")
            (self.home / ".config/kscreenlockerrc").write_text("[Daemon]\nAutolock=false\n")
        self.own_home()
        self.start_script("kwin", *(["plasma"] if self.plasma else []))
        if not wait_until(lambda: self.js('print("up")') == ["up"], 150):
            raise SetupFailed("KWin's scripting did not answer (see kwin.log)")
        if self.plasma:
            self.start_pipewire()
        # KWin 6 takes screenshots only when it composites with OpenGL, which its virtual
        # outputs do only on a render node (a GPU's); without one it paints with QPainter, and
        # the overlay's place is checked in KWin's own window stack instead (uncovered_in_stack).
        info = self.run("gdbus", "call", "--session", "--dest", "org.kde.KWin", "--object-path", "/KWin",
                        "--method", "org.kde.KWin.supportInformation")
        self.pictures = "Compositing Type: QPainter" not in info
        if self.plasma and not wait_until(self.sni_host, 90):
            raise SetupFailed("Plasma's tray did not register as a status-notifier host")
        for side in ("left", "right"):
            script = self.work / f"term-{side}.sh"
            script.write_text(f"#!/bin/sh\nprintf '\\033]2;term-{side}\\007'\nstty -icanon -echo\n"
                              f"exec cat >'{self.work}/keys-{side}'\n")
            script.chmod(0o755)
            self.spawn(["weston-terminal", f"--shell={script}"], "weston-terminal.log")
        self.start_input(2560, 800)
        wait_until(lambda: self.find("term-left") and self.find("term-right"), 20)
        self.js(f'for (const c of {self.windows_js}) {{'
                f' if (c.caption === "term-right") workspace.sendClientToScreen(c, {self.second_screen_js});'
                ' if (c.caption.startsWith("term-")) c.setMaximize(true, true); }')

    def js(self, code):
        """Runs JavaScript in KWin; the lines it print()s."""
        n = f"q{time.time_ns()}"
        f = self.work / f"{n}.js"
        f.write_text(f'print("{n}<");\n{code}\nprint("{n}>");\n')
        f.chmod(0o644)
        call = ["gdbus", "call", "--session", "--dest", "org.kde.KWin", "--object-path", "/Scripting",
                "--method"]
        if not self.run(*call, "org.kde.kwin.Scripting.loadScript", str(f), n):
            return None
        self.run(*call, "org.kde.kwin.Scripting.start")
        kwin_log = self.work / "kwin.log"
        text = wait_until(lambda: f"js: {n}>" in (t := kwin_log.read_text(errors="replace")) and t, 5)
        self.run(*call, "org.kde.kwin.Scripting.unloadScript", n)
        f.unlink()
        if not text:
            return None
        block = text.split(f"js: {n}<\n", 1)[1].split(f"js: {n}>", 1)[0]
        return [line[4:] for line in block.splitlines() if line.startswith("js: ")]

    OVERLAY_LAYER = 9  # KWin's layer of the layer shell's overlay surfaces, above all others

    def windows(self):
        lines = self.js(f'for (const c of {self.windows_js}) {{ const g = c.frameGeometry;'
                        ' print(JSON.stringify([c.internalId.toString(), c.caption, g.x, g.y,'
                        ' g.width, g.height, c.fullScreen, c.active, !c.minimized, c.dock,'
                        ' c.resourceClass, c.layer])); }')
        return [json.loads(line) for line in lines or []]

    def is_overlay(self, title):
        """Whether a window in KWin's list (caption, program, layer) is the overlay titled
        `title`: by its caption, or, on the layer shell, where KWin names a surface by its
        program only, as Quorvel's on the overlay layer while its log says that overlay is up."""
        layered = self.layered_overlay(title)
        return lambda caption, resource, layer: caption == title or (
            layered and not caption and resource == "quorvel" and layer == self.OVERLAY_LAYER)

    def find(self, title):
        mine = self.is_overlay(title)
        return [Win(i, title, x, y, w, h, fs or layer == self.OVERLAY_LAYER)
                for i, t, x, y, w, h, fs, _, shown, _, resource, layer in self.windows()
                if shown and mine(t, resource, layer)]

    def focused(self):
        return next((w[1] for w in self.windows() if w[7]), "")

    def screenshots(self):
        shots = {}
        for o in self.outputs:
            path = self.work / f"shot-{o.name}.png"
            self.run(str(self.bin / "kwin-shot"), o.name, str(path))
            shots[o.name] = load(path)
        return shots

    def each(self, title, action):
        self.js(f'for (const c of {self.windows_js}) if (c.caption === {json.dumps(title)}) {{ {action} }}')

    def uncovered_in_stack(self, title):
        """Where windows titled `title` fail to cover an output in KWin's window stack: each
        output needs one that fills it, full screen, shown, opaque and stacked above every
        normal window and panel on that output. [] when they cover every output."""
        lines = self.js('const all = workspace.stackingOrder; for (let i = 0; i < all.length; i++) {'
                        ' const c = all[i], g = c.frameGeometry; print(JSON.stringify([i, c.caption,'
                        ' g.x, g.y, g.width, g.height, c.fullScreen, c.normalWindow || c.dock,'
                        ' !c.minimized && !c.hidden, c.opacity, c.resourceClass, c.layer])); }')
        if lines is None:
            return ["KWin's scripting did not answer"]
        stack = [json.loads(line) for line in lines]
        bad = []
        overlay = self.is_overlay(title)
        for o in self.outputs:
            mine = [w for w in stack if w[2:6] == [o.x, o.y, o.w, o.h] and overlay(w[1], w[10], w[11])]
            if not mine:
                bad.append(f"{o.name}: no '{title}' window at its full geometry")
                continue
            i, _, _, _, _, _, fullscreen, _, shown, opacity, _, layer = mine[-1]
            fullscreen = fullscreen or layer == self.OVERLAY_LAYER  # as good as full screen
            if not (fullscreen and shown and opacity >= 1):
                bad.append(f"{o.name}: '{title}' full screen {fullscreen}, shown {shown}, opacity {opacity}")
            above = [w[1] for w in stack[i + 1:] if w[7] and w[8] and w not in mine
                     and self.output_of(Win(0, "", *w[2:6], False)) == o]
            if above:
                bad.append(f"{o.name}: {above} stacked above '{title}'")
        return bad

    def activate(self, title):
        self.each(title, f"{self.active_js} = c;")

    def fullscreen(self, title, on):
        self.each(title, f"c.fullScreen = {'true' if on else 'false'};")

    def close(self, win):
        self.js(f'for (const c of {self.windows_js}) if (c.internalId.toString() === "{win.id}")'
                ' c.closeWindow();')

    def icon(self):
        if not self.plasma or not self.pictures:
            return None
        shots = self.screenshots()
        for i, t, x, y, w, h, _, _, _, dock, *_ in self.windows():
            o = self.output_of(Win(i, t, x, y, w, h, False))
            if dock and o and shots.get(o.name):
                found = icon_in(shots[o.name], (x - o.x + w // 2, y - o.y, x - o.x + w, y - o.y + h))
                if found:
                    return (found[0] + o.x, found[1] + o.y, found[2], found[3])
        return None


class Gnome(Session):
    outputs = [Output("monitor0", 0, 0, 1280, 800), Output("monitor1", 1280, 0, 1024, 768)]

    def __init__(self, name, out, build, appindicator=False):
        super().__init__(name, out, build)
        self.appindicator = appindicator

    def start(self, late_tray=False):
        self.make_user()
        self.start_system_bus()
        # logind and GDM as the shell finds them on a real machine, where it makes its screen
        # shield and locks through it.
        self.start_logind("desktop", "--display-manager")
        gnome_home(self, self.appindicator)
        self.env.update(XDG_SESSION_TYPE="wayland", WAYLAND_DISPLAY="wayland-0", XDG_SESSION_ID="31")
        self.own_home()
        # The shell sees systemd's seats (the machine's own /run/systemd hidden), which with
        # GDM's version tells it that it can lock.
        seats = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                 'mkdir -p /run/systemd && mount -t tmpfs tmpfs /run/systemd &&'
                 ' mkdir /run/systemd/seats; exec "$@"', "sh"]
        # The shell runs as the test user inside the namespace.
        self.start_script("gnome", wrap=seats + self.command([]), root=True, seconds=90)
        shell_up(self, 150)
        self.start_pipewire()
        if self.eval("quorvel.Main.screenShield !== null") is not True:
            raise SetupFailed("GNOME Shell made no screen shield (see gnome-shell.log, logind.log)")
        # org.gnome.ScreenSaver is started on demand; gnome-settings-daemon asks for it at login.
        self.run("gdbus", "call", "--session", "--dest", "org.gnome.ScreenSaver", "--object-path",
                 "/org/gnome/ScreenSaver", "--method", "org.gnome.ScreenSaver.GetActive")
        if self.appindicator and not wait_until(self.sni_host, 30):
            raise SetupFailed("the AppIndicator extension did not register as a status-notifier host")
        self.foot_terminals()
        wait_until(lambda: self.find("term-left") and self.find("term-right"), 20)
        self.eval('quorvel.Main.overview.hide(); const Meta = quorvel.Meta;'
                  ' for (const a of global.get_window_actors()) { const w = a.meta_window;'
                  ' if (w.get_title() === "term-right") w.move_to_monitor(1);'
                  ' if (w.get_title().startsWith("term-")) w.maximize(Meta.MaximizeFlags.BOTH); }')
        self.input('"init"')

    def eval(self, code):
        """Runs JavaScript in the shell; its value (from JSON), or None."""
        # As a GVariant string: one line, quotes and backslashes escaped.
        code = "'" + " ".join(code.split()).replace("\\", "\\\\").replace("'", "\\'") + "'"
        text = self.run("gdbus", "call", "--session", "--dest", "org.gnome.Shell", "--object-path",
                        "/org/gnome/Shell", "--method", "org.gnome.Shell.Eval", code).strip()
        if not text.startswith("(true,"):
            return None
        value = ast.literal_eval(text.replace("(true,", "(True,", 1))[1]
        return json.loads(value) if value else None

    def input(self, code):
        """Runs code with the shell's own virtual keyboard and pointer (kb, ptr, t)."""
        return self.eval("const Clutter = quorvel.Clutter; if (!global._quorvelKb) {"
                         " const seat = Clutter.get_default_backend().get_default_seat();"
                         " global._quorvelKb = seat.create_virtual_device(Clutter.InputDeviceType.KEYBOARD_DEVICE);"
                         " global._quorvelPtr = seat.create_virtual_device(Clutter.InputDeviceType.POINTER_DEVICE); }"
                         " const kb = global._quorvelKb, ptr = global._quorvelPtr;"
                         f" const t = quorvel.GLib.get_monotonic_time(); {code}; 'ok'")

    def windows(self):
        return self.eval("global.get_window_actors().map(a => { const w = a.meta_window;"
                         " const r = w.get_frame_rect(); return [w.get_id(), w.get_title(), r.x, r.y,"
                         " r.width, r.height, w.is_fullscreen(), w.has_focus(),"
                         " a.visible && !w.minimized]; })") or []

    def find(self, title):
        return [Win(i, t, x, y, w, h, fs) for i, t, x, y, w, h, fs, _, shown in self.windows()
                if t == title and shown]

    def focused(self):
        return next((w[1] for w in self.windows() if w[7]), "")

    def screenshots(self):
        shots = {}
        for o in self.outputs:
            path = self.work / f"shot-{o.name}.png"
            self.run("gdbus", "call", "--session", "--dest", "org.gnome.Shell", "--object-path",
                     "/org/gnome/Shell/Screenshot", "--method",
                     "org.gnome.Shell.Screenshot.ScreenshotArea", str(o.x), str(o.y), str(o.w),
                     str(o.h), "false", str(path))
            shots[o.name] = load(path)
        return shots

    def click(self, x, y):
        self.input(f"ptr.notify_absolute_motion(t, {x}, {y})")
        time.sleep(0.2)
        self.input("ptr.notify_button(t, Clutter.BUTTON_PRIMARY, Clutter.ButtonState.PRESSED)")
        time.sleep(0.1)
        self.input("ptr.notify_button(t, Clutter.BUTTON_PRIMARY, Clutter.ButtonState.RELEASED)")

    def key(self, name):
        for state in ("PRESSED", "RELEASED"):
            self.input(f"kb.notify_keyval(t, Clutter.KEY_{name}, Clutter.KeyState.{state})")
            time.sleep(0.1)

    def each(self, title, action):
        self.eval(f"for (const a of global.get_window_actors()) {{ const w = a.meta_window;"
                  f" if (w.get_title() === {json.dumps(title)}) {{ {action} }} }}")

    def activate(self, title):
        self.each(title, "w.activate(global.get_current_time());")

    def fullscreen(self, title, on):
        self.each(title, "w.make_fullscreen();" if on else "w.unmake_fullscreen();")

    def close(self, win):
        self.eval(f"for (const a of global.get_window_actors()) if (a.meta_window.get_id() === {win.id})"
                  " a.meta_window.delete(global.get_current_time());")

    def icon(self):
        """The AppIndicator extension's button for Quorvel's item in the top bar."""
        box = self.eval("const areas = quorvel.Main.panel.statusArea; const key ="
                        " Object.keys(areas).find(k => k.startsWith('appindicator-')); if (!key) null; else {"
                        " const [x, y] = areas[key].get_transformed_position();"
                        " const [w, h] = areas[key].get_transformed_size(); [x, y, w, h].map(Math.round); }")
        return tuple(box) if box else None

    def menu_item(self, label):
        """Where the item `label` of the open tray menu is."""
        box = self.eval("const areas = quorvel.Main.panel.statusArea; const key ="
                        " Object.keys(areas).find(k => k.startsWith('appindicator-'));"
                        " const item = key && areas[key].menu.isOpen && areas[key].menu._getMenuItems()"
                        f".find(i => i.label && i.label.text === {json.dumps(label)}); if (!item) null; else {{"
                        " const [x, y] = item.get_transformed_position();"
                        " const [w, h] = item.get_transformed_size(); [x, y, w, h].map(Math.round); }")
        # Not yet laid out while the menu opens: no size, or none that is a number (NaN).
        if not box or any(not isinstance(v, (int, float)) for v in box) or box[2] <= 0 or box[3] <= 0:
            return None
        return tuple(box)

    def activation_env(self):
        token = self.eval("const Gio = quorvel.Gio; const ctx = global.create_app_launch_context("
                          "global.display.get_current_time_roundtrip(), -1);"
                          " ctx.get_startup_notify_id(Gio.AppInfo.create_from_commandline('quorvel',"
                          " 'Quorvel', 0), [])")
        return {"XDG_ACTIVATION_TOKEN": token} if token else {}


def gnome_home(session, appindicator):
    """The suite's extension (and the AppIndicator one) enabled, with the suite's settings, in
    the session's HOME; GNOME's environment."""
    ext = session.home / ".local/share/gnome-shell/extensions/quorvel-test@quorvel.com"
    shutil.copytree(HERE / f"conf/gnome-extension-{'45' if gnome_version() >= 45 else '43'}", ext)
    enabled = ["quorvel-test@quorvel.com"] + (["ubuntu-appindicators@ubuntu.com"] if appindicator else [])
    keyfile = session.home / ".config/glib-2.0/settings/keyfile"
    keyfile.parent.mkdir(parents=True)
    keyfile.write_text((HERE / "conf/gnome-settings.ini").read_text().replace(
        "@EXTENSIONS@", repr(enabled)))
    session.env.update(XDG_CURRENT_DESKTOP="GNOME", GSETTINGS_BACKEND="keyfile")


def shell_up(session, seconds):
    """Waits for GNOME Shell's Eval, the end of its start-up, and hides the overview."""
    if not wait_until(lambda: session.eval('"up"') == "up", seconds):
        raise SetupFailed("GNOME Shell's Eval did not answer (see gnome-shell.log, x11.log)")
    wait_until(lambda: session.eval("!quorvel.Main.layoutManager._startingUp") is True, 20)
    session.eval("quorvel.Main.overview.hide()")


class GnomeX11(X11):
    """GNOME Shell on X11 (Xorg's dummy outputs) with the AppIndicator extension: X11's input,
    windows and screenshots; the shell's Eval for its top bar and the icon's menu."""

    eval = Gnome.eval
    icon = Gnome.icon
    menu_item = Gnome.menu_item

    def __init__(self, name, out, build):
        super().__init__(name, out, build, "gnome")

    def start(self, late_tray=False):
        gnome_home(self, appindicator=True)
        self.env["XDG_SESSION_TYPE"] = "x11"
        super().start(late_tray)
        shell_up(self, 90)
        if not wait_until(self.sni_host, 30):
            raise SetupFailed("the AppIndicator extension did not register as a status-notifier host")


def make(name, out, build):
    """The session of a desktop named as in README's table ("-debian13": Debian 13's)."""
    kind = name.removesuffix("-debian13")
    if kind.startswith("x11-gnome"):
        return GnomeX11(name, out, build)
    if kind.startswith("x11-"):
        parts = kind.split("-")[1:]
        tray = "trayer" if "trayer" in parts else None
        return X11(name, out, build, parts[0], tray)
    if kind.startswith("sway"):
        return Sway(name, out, build)
    if kind.startswith("gnome"):
        return Gnome(name, out, build, appindicator=kind.endswith("appindicator"))
    if kind in ("kwin-wayland", "plasma-wayland"):
        return KWin(name, out, build, plasma=kind.startswith("plasma"))
    raise SetupFailed(f"unknown desktop {name}")
