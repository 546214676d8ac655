"""The desktop suite's fixtures and report. README's desktop table says what Quorvel does on
each desktop; each check asserts one column of it, on each desktop of its rows."""

import re
import subprocess
import time
from pathlib import Path

import pytest

import drivers

ROOT = Path(__file__).resolve().parents[2]
OUT = ROOT / "build" / "desktops"


def readme_table():
    """{desktop: {column: cell}} from README's table under "On each desktop"."""
    text = (ROOT / "README.md").read_text().split("### On each desktop", 1)[1]
    table = text[text.index("\n|"):].split("\n\n", 1)[0]
    lines = table.strip().splitlines()
    columns = [c.strip() for c in lines[0].strip("|").split("|")]
    rows = {}
    for line in lines[2:]:
        cells = [c.strip() for c in line.strip("|").split("|")]
        name = re.search(r"`([a-z0-9-]+)`", cells[0])[1]
        rows[name] = dict(zip(columns, cells))
    return rows


ROWS = readme_table()


def this_release():
    """The Debian release the suite runs on: rows named "-debian13" are Debian 13's desktops,
    the others Debian 12's."""
    for line in Path("/etc/os-release").read_text().splitlines():
        if line.startswith("VERSION_CODENAME="):
            return line.split("=", 1)[1].strip('"')
    return ""


def rows_of_this_release():
    debian13 = this_release() != "bookworm"
    return [d for d in ROWS if d.endswith("-debian13") == debian13]
RESULTS = {}  # (desktop, column) -> outcomes


def pytest_addoption(parser):
    parser.addoption("--desktops", default="", help="the desktops to test (default: all in README)")


def pytest_configure(config):
    config.addinivalue_line("markers", "column(name): the README column a check asserts")
    config.addinivalue_line("markers", "late_tray: only where the tray starts after Quorvel")
    config.started = time.monotonic()


def pytest_generate_tests(metafunc):
    if "desk" in metafunc.fixturenames:
        asked = metafunc.config.getoption("desktops").split()
        unknown = [d for d in asked if d not in ROWS]
        if unknown:
            raise pytest.UsageError(f"unknown desktops {unknown}; README's table has {list(ROWS)}")
        # The table's own strings, the same objects for every check: pytest keeps a module's
        # session only while the parameter is the very same object (`is`), and new strings
        # from the command line would start a fresh desktop for each check.
        wanted = [d for d in ROWS if d in asked] if asked else rows_of_this_release()
        metafunc.parametrize("desk", wanted, indirect=True, scope="module")


def column(item):
    return item.get_closest_marker("column").args[0]


def pytest_collection_modifyitems(config, items):
    """Checks of a column that README leaves empty ("—") for a desktop are not run there."""
    keep, drop = [], []
    for item in items:
        row = ROWS[item.callspec.params["desk"]]
        late = row["Tray"].startswith("fallback window, then")
        skip = row[column(item)] in ("—", "not checked") or (item.get_closest_marker("late_tray") and not late)
        (drop if skip else keep).append(item)
    config.hook.pytest_deselected(items=drop)
    items[:] = keep


@pytest.fixture(scope="module")
def desk(request):
    """A desktop session with its terminals and Quorvel started in it; README's row in .row."""
    name = request.param
    session = drivers.make(name, OUT / name, ROOT / "build")
    session.row = ROWS[name]
    try:
        session.start(late_tray=session.row["Tray"].startswith("fallback window, then"))
        session.start_app()
        # The fallback window takes the keyboard when it comes: the terminal gets it after.
        drivers.wait_until(lambda: session.panel() or session.sni_items() or session.icon(), 20)
        session.activate("term-left")
        yield session
    except drivers.SetupFailed as e:
        pytest.fail(f"set-up: {e}", pytrace=False)
    finally:
        session.stop()


START_LOGS = ("x11.log", "sway.log", "gnome.log", "kwin.log")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failed check's report ends with the last lines of Quorvel's log and of the session's
    start script: CI keeps only what the suite prints."""
    report = (yield).get_result()
    if report.when != "call" or not report.failed:
        return
    logs = OUT / item.callspec.params["desk"] / "logs"
    for name, lines in (("quorvel.log", 30), *((n, 12) for n in START_LOGS)):
        if (logs / name).exists():
            tail = (logs / name).read_text(errors="replace").rstrip().splitlines()[-lines:]
            report.sections.append((f"last lines of {name}", "\n".join(tail)))


def pytest_runtest_logreport(report):
    if report.when == "call" or report.outcome != "passed":
        item_desk = re.search(r"\[(.+)\]$", report.nodeid)[1]
        name = report.nodeid.split("::")[-1].split("[")[0]
        col = COLUMNS_OF.get(name, name)
        outcome = {"passed": "pass", "failed": "FAIL" if report.when == "call" else "ERROR",
                   "skipped": "skip"}[report.outcome]
        RESULTS.setdefault((item_desk, col), []).append(outcome)


COLUMNS_OF = {}


def pytest_collection_finish(session):
    for item in session.items:
        COLUMNS_OF[item.originalname] = column(item)


def pytest_terminal_summary(terminalreporter, config):
    """The table: desktop x README column, and the contact sheet of all screenshots."""
    shots = sorted(OUT.glob("*/*.png"))
    if shots:
        args = []
        for f in shots:
            args += ["-label", f"{f.parent.name}/{f.stem}", str(f)]
        subprocess.run(["montage", *args, "-tile", "6x", "-geometry", "320x200+6+6", "-background",
                        "#d8dee9", "-pointsize", "11", str(OUT / "contact-sheet.png")], check=False)
        terminalreporter.write_line(f"contact sheet: {OUT / 'contact-sheet.png'}")
    desktops = sorted({d for d, _ in RESULTS}, key=list(ROWS).index)
    cols = [c for c in list(ROWS.values())[0] if c != "Desktop"]
    short = [c.split(",")[0][:14] for c in cols]
    terminalreporter.write_line("")
    terminalreporter.write_line(f"{'desktop':30}" + "".join(f"{s:16}" for s in short))
    for d in desktops:
        cells = []
        for c in cols:
            got = RESULTS.get((d, c), [])
            worst = next((o for o in ("ERROR", "FAIL", "skip") if o in got), "pass" if got else "—")
            cells.append(worst)
        terminalreporter.write_line(f"{d:30}" + "".join(f"{c:16}" for c in cells))
    terminalreporter.write_line(f"suite time: {time.monotonic() - config.started:.0f} s")
