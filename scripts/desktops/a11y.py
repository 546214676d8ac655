#!/usr/bin/python3
"""What a screen reader and a low-vision user meet in the real app, for the desktop suite.

Helpers, each usable from the suite's Python (import a11y) or from the command line:

  start_bus(env, log)            the AT-SPI bus of a session (at-spi-bus-launcher), for the app
                                 started after it with APP_ENV added to its environment
  dump_tree(env, path)           the app's accessible tree as a screen reader sees it, to a file
  press(env, name)               presses the app's control named `name` through AT-SPI
  listen(env) / heard(listener)  the announcement of an overlay, as Orca hears it: a
                                 notification or alert that starts showing, with its texts
  overlay_contrast(png)          contrast of the title, subtitle and hint of an overlay
                                 screenshot with what stands right behind them

The AT-SPI parts run in a child /usr/bin/python3 (Debian's python3-gi and gir1.2-atspi-2.0),
so the caller needs neither GObject nor the session's bus in its own process.
"""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

PYTHON = "/usr/bin/python3"
HERE = Path(__file__).resolve()

# What the app needs in its environment besides the session bus, so that Qt talks to the
# AT-SPI bus without waiting for a screen reader to switch accessibility on.
APP_ENV = {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1", "QT_ACCESSIBILITY": "1"}


def _child(env, *args, timeout=60, **kw):
    return subprocess.run([PYTHON, str(HERE), *args], env={**os.environ, **env},
                          capture_output=True, text=True, timeout=timeout, **kw)


def start_bus(env, log=subprocess.DEVNULL):
    """Starts at-spi-bus-launcher on the session bus named in env (DBUS_SESSION_BUS_ADDRESS)
    and waits until the session bus knows org.a11y.Bus. Returns the process; end it with
    terminate()."""
    p = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                         env={**os.environ, **env}, stdout=log, stderr=log,
                         start_new_session=True)
    deadline = time.time() + 15
    while time.time() < deadline:
        r = subprocess.run(["gdbus", "call", "--session", "--dest", "org.a11y.Bus",
                            "--object-path", "/org/a11y/bus", "--method",
                            "org.a11y.Bus.GetAddress"], env={**os.environ, **env},
                           capture_output=True, text=True)
        if r.returncode == 0 and "unix:" in r.stdout:
            return p
        time.sleep(0.2)
    p.terminate()
    raise RuntimeError("the AT-SPI bus did not start")


def dump_tree(env, path, app="Quorvel", seconds=20):
    """Writes the accessible tree of the application named `app` to `path` (one object a
    line: role, "name", states, description, value) and returns it as text. Waits up to
    `seconds` for the app to appear on the bus."""
    r = _child(env, "dump", app, str(seconds), timeout=seconds + 60)
    if r.returncode != 0:
        raise RuntimeError(f"dump_tree: {r.stderr.strip()}")
    Path(path).write_text(r.stdout)
    return r.stdout


def press(env, name, app="Quorvel", seconds=20):
    """Presses the app's button (or switch) named `name` through AT-SPI, as a screen reader
    user does ("Test Overlay" brings up an overlay)."""
    r = _child(env, "press", app, name, str(seconds), timeout=seconds + 60)
    if r.returncode != 0:
        raise RuntimeError(f"press: {r.stderr.strip()}")


def listen(env, seconds=30):
    """Starts listening for an announcement; call before the overlay is brought up, then
    heard(). Returns the listener (a process)."""
    p = subprocess.Popen([PYTHON, str(HERE), "listen", str(seconds)], env={**os.environ, **env},
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # Ready once it has registered for the events.
    line = p.stderr.readline()
    if "listening" not in line:
        raise RuntimeError(f"listen: {line.strip()}")
    return p


def heard(listener, seconds=35):
    """The announcement the listener heard: {"role", "name", "description", "texts" (its
    children's names), "app"}, or None when nothing was announced in time."""
    out, _ = listener.communicate(timeout=seconds)
    return json.loads(out) if out.strip() else None


# ---- contrast of an overlay screenshot ----

def _luminance(rgb):
    def channel(v):
        s = v / 255.0
        return s / 12.92 if s <= 0.04045 else ((s + 0.055) / 1.055) ** 2.4
    r, g, b = rgb[:3]
    return 0.2126 * channel(r) + 0.7152 * channel(g) + 0.0722 * channel(b)


def _bands(lum, w, x0, x1, y0, y1):
    """Runs of rows between y0 and y1 in which something sharp is drawn (text or icon
    edges); the gradient behind changes too gently to count."""
    rows = []
    for y in range(y0, y1):
        row = lum[y * w + x0: y * w + x1]
        rows.append(max(abs(row[i + 1] - row[i]) for i in range(len(row) - 1)) > 0.06)
    bands, start, gap = [], None, 0
    for i, sharp in enumerate(rows + [False] * 6):
        if sharp:
            start = i if start is None else start
            gap = 0
        elif start is not None:
            gap += 1
            if gap > 5:
                bands.append((y0 + start, y0 + i - gap + 1))
                start, gap = None, 0
    return [b for b in bands if b[1] - b[0] >= 4]


def overlay_contrast(png, screen=None):
    """Contrast of the overlay's texts in a screenshot: {"title": x, "subtitle": y,
    "hint": z} (and "bands", the rows found). `screen`: (x, y, w, h) of the overlay in the
    picture (default: all of it). As the contrast of text is defined, each text's colour is
    compared with what stands behind it: its colour is the brightest of its strokes (the
    90th percentile of the local brightest pixels, so that anti-aliased edges of thin
    letters do not count as the text's colour), what stands behind a stroke pixel is the
    darkest pixel within 4 pixels of it, and the figure takes the brightest of these
    (90th percentile: the worst place for the text)."""
    from PIL import Image
    image = Image.open(png).convert("RGB")
    if screen:
        x, y, w, h = screen
        image = image.crop((x, y, x + w, y + h))
    w, h = image.size
    lum = [_luminance(p) for p in image.getdata()]
    x0, x1 = max(0, w // 2 - 420), min(w, w // 2 + 420)
    bands = _bands(lum, w, x0, x1, h // 6, h - h // 6)
    if len(bands) < 4:
        raise ValueError(f"found {len(bands)} drawn rows, not icon, title, subtitle and hint")
    # Top to bottom: the icon, the title, the subtitle (one line or more), the hint.
    parts = {"title": [bands[1]], "subtitle": bands[2:-1], "hint": [bands[-1]]}
    result = {"bands": bands}
    r = 4

    def percentile(values, p):
        values = sorted(values)
        return values[min(len(values) - 1, len(values) * p // 100)]
    for name, rows in parts.items():
        strokes, behinds = [], []
        for top, bottom in rows:
            for y in range(top, bottom):
                for x in range(x0 + r, x1 - r):
                    v = lum[y * w + x]
                    if v < lum[y * w + x - 1] or v < lum[y * w + x + 1] or \
                            v < lum[(y - 1) * w + x] or v < lum[(y + 1) * w + x]:
                        continue
                    behind = min(min(lum[yy * w + x - r: yy * w + x + r + 1])
                                 for yy in range(max(0, y - r), min(h, y + r + 1)))
                    if v - behind > 0.03:
                        strokes.append(v)
                        behinds.append(behind)
        if not strokes:
            result[name] = None
            continue
        text, behind = percentile(strokes, 90), percentile(behinds, 90)
        result[name] = round((text + 0.05) / (behind + 0.05), 2)
    return result


# ---- the AT-SPI side, run in a child ----

def _atspi():
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi
    Atspi.init()
    return Atspi


def _app(Atspi, name, seconds):
    deadline = time.time() + seconds
    while True:
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            a = desktop.get_child_at_index(i)
            if a and (a.get_name() or "").lower() == name.lower():
                return a
        if time.time() > deadline:
            sys.exit(f"no application named {name} on the AT-SPI bus")
        time.sleep(0.3)


def _describe(Atspi, a):
    role = a.get_role_name()
    text = f'{role} "{a.get_name() or ""}"'
    states = a.get_state_set()
    shown = [s for s in ("focusable", "focused", "checkable", "checked", "selected", "showing",
                         "visible")
             if states.contains(getattr(Atspi.StateType, s.upper()))]
    if shown:
        text += " [" + " ".join(shown) + "]"
    if a.get_description():
        text += f" ({a.get_description()})"
    try:
        value = a.get_value_iface()
        if value:
            text += f" = {value.get_current_value()}"
    except Exception:
        pass
    return text


def _dump(name, seconds):
    Atspi = _atspi()
    app = _app(Atspi, name, float(seconds))

    def walk(a, depth):
        if depth > 40:
            return
        print("  " * depth + _describe(Atspi, a))
        for i in range(a.get_child_count()):
            c = a.get_child_at_index(i)
            if c:
                walk(c, depth + 1)
    walk(app, 0)


def _press(app_name, name, seconds):
    Atspi = _atspi()
    app = _app(Atspi, app_name, float(seconds))

    def find(a, depth=0):
        if a is None or depth > 40:
            return None
        if a.get_name() == name and a.get_action_iface():
            return a
        for i in range(a.get_child_count()):
            found = find(a.get_child_at_index(i), depth + 1)
            if found:
                return found
        return None
    target = find(app)
    if not target:
        sys.exit(f"no control named {name}")
    action = target.get_action_iface()
    names = [action.get_action_name(i) for i in range(action.get_n_actions())]
    index = next((i for i, n in enumerate(names) if n in ("press", "Press", "toggle", "Toggle")), 0)
    action.do_action(index)


def _listen(seconds):
    Atspi = _atspi()
    from gi.repository import GLib
    found = {}
    announcing = {Atspi.Role.NOTIFICATION, Atspi.Role.ALERT}

    def on_event(event):
        src = event.source
        if event.detail1 != 1 or src is None or src.get_role() not in announcing:
            return
        app = src.get_application()
        texts = [src.get_child_at_index(i).get_name() for i in range(src.get_child_count())]
        found.update(role=src.get_role_name(), name=src.get_name(),
                     description=src.get_description(), texts=texts,
                     app=app.get_name() if app else "")
        Atspi.event_quit()

    listener = Atspi.EventListener.new(on_event)
    listener.register("object:state-changed:showing")
    GLib.timeout_add(int(float(seconds) * 1000), lambda: Atspi.event_quit() or False)
    print("listening", file=sys.stderr, flush=True)
    Atspi.event_main()
    if found:
        print(json.dumps(found))


if __name__ == "__main__":
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "dump":
        _dump(*args)
    elif cmd == "listen":
        _listen(*args)
    elif cmd == "press":
        _press(*args)
    elif cmd == "contrast":
        print(json.dumps(overlay_contrast(args[0])))
    else:
        sys.exit("usage: a11y.py dump APP SECONDS | press APP NAME SECONDS | listen SECONDS | "
                 "contrast PNG")
