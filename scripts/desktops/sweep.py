"""The overlay check, repeated: one desktop session, ROUNDS overlays over a full-screen
terminal, each output's picture read three times 0.5 s apart. Prints each round's misses and
a count, and keeps the pictures and the compositor's own view of a round whose first
pictures missed the overlay. For faults that show now and then (run it on a busy machine
too). Needs root, as the suite does.
    /usr/bin/python3 scripts/desktops/sweep.py DESKTOP ROUNDS [OUTDIR]"""

import json
import sys
import time
from pathlib import Path

import drivers
import test_desktop as scenario
from drivers import wait_until

ROOT = Path(__file__).resolve().parents[2]


def main(name, rounds, out):
    desk = drivers.make(name, out, ROOT / "build")
    counts = {"rounds": 0, "first picture missed": 0, "all three missed": 0}
    try:
        desk.start()
        desk.start_app()
        wait_until(lambda: desk.panel() or desk.sni_items() or desk.icon(), 20)
        for r in range(rounds):
            desk.activate("term-left")
            left = wait_until(lambda: desk.fullscreen("term-left", True)
                              or [w for w in desk.find("term-left") if w.fullscreen], 15, 1)
            terminals = (left or []) + desk.find("term-right")
            wins = scenario.next_overlay(desk)
            misses = []
            for attempt in range(3):
                misses.append(scenario.uncovered(desk, terminals))
                if attempt < 2:
                    time.sleep(0.5)
            counts["rounds"] += 1
            counts["first picture missed"] += bool(misses[0])
            counts["all three missed"] += all(misses)
            if misses[0]:
                desk.shoot(f"round{r}")
                (out / f"round{r}.txt").write_text(f"{misses}\n{desk.stack_report()}\n")
            print(f"round {r}: {[len(m) for m in misses]} points missed", flush=True)
            desk.fullscreen("term-left", False)
            o = desk.outputs[1]
            desk.click(o.x + o.w // 2, o.y + o.h - 100)
            scenario.gone(desk, wins)
    finally:
        print(json.dumps(counts), flush=True)
        desk.stop()


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]),
         Path(sys.argv[3] if len(sys.argv) > 3 else ROOT / "build/desktops/sweep").resolve())
