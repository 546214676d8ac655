#!/usr/bin/env bash
# Shows each overlay kind on a two-screen X11 display (Xvfb with two X screens, 1280x800 and
# 1024x768) through the real overlay controller and photographs both screens. With
# xdotool it also checks, against a stand-in "typing app" (xev) that holds the keyboard
# focus, that the app keeps the focus, that ordinary keys still reach it, that Escape
# dismisses the overlay without reaching it, and that Escape reaches it again afterwards.
#
# Then scripts/screenshot-panel.sh photographs the real app's panel (panel.png,
# panel-monitoring.png) and a test overlay over it (overlay-test.png) on a display of its own.
#
#   scripts/screenshots.sh [OUTPUT_DIR]        default: build/screenshots
#   NO_WM=1 scripts/screenshots.sh             without a window manager
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/build/screenshots}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

for tool in Xvfb xdpyinfo xev import convert; do
    command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing (see scripts/setup.sh)" >&2; exit 1; }
done

shot="$root/build/tools/overlay-shot/quorvel-overlay-shot"
(cd "$root" && cmake --preset default >/dev/null && cmake --build --preset default -j2 --target quorvel-overlay-shot >/dev/null)

n=90
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
export DISPLAY=":$n" QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
work="$(mktemp -d)"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Two X screens. (Xvfb's Xinerama stacks all its screens at the origin, and its RandR
# cannot split one screen into monitors, so neither gives Qt two screens side by side.)
Xvfb "$DISPLAY" -screen 0 1280x800x24 -screen 1 1024x768x24 -nolisten tcp \
    >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo >/dev/null 2>&1 || { echo "screenshots: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }

wm=none
if [ "${NO_WM:-0}" != 1 ] && command -v openbox >/dev/null; then
    for screen in 0 1; do # one window manager per X screen
        DISPLAY="$DISPLAY.$screen" openbox >"$work/wm$screen.log" 2>&1 &
        pids+=($!)
    done
    wm=openbox
fi

# The app the user is typing in: xev prints every key it receives.
xev -name typing-app -geometry 600x300+120+120 >"$work/xev.log" 2>&1 &
pids+=($!)
sleep 1.5
have_xdotool=0
if command -v xdotool >/dev/null; then
    have_xdotool=1
    app="$(xdotool search --name '^typing-app$' | head -n 1)"
    xdotool windowactivate --sync "$app" 2>/dev/null || xdotool windowfocus --sync "$app"
fi

wait_for() { # file pattern tenths
    for _ in $(seq "$3"); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    return 1
}
keys_seen() { grep -c "keysym $1" "$work/xev.log" || true; }

report="$out/overlay-report.txt"
{
    echo "display $DISPLAY: Xvfb, X screen 0 1280x800, X screen 1 1024x768; window manager: $wm"
} >"$report"
status=0
for kind in slouch stand water; do
    log="$work/$kind.log"
    "$shot" --kind "$kind" --hold-ms 30000 >"$log" 2>&1 &
    pid=$!
    pids+=("$pid")
    if ! wait_for "$log" READY 150; then
        echo "screenshots: $kind overlay never came up" >&2
        cat "$log" >&2
        exit 1
    fi
    sleep 0.5
    import -display "$DISPLAY.0" -window root "$out/overlay-$kind-screen0.png"
    import -display "$DISPLAY.1" -window root "$out/overlay-$kind-screen1.png"
    convert "$out/overlay-$kind-screen0.png" -size 16x800 xc:'#1d1d24' \
        "$out/overlay-$kind-screen1.png" -background '#1d1d24' -gravity north +append \
        "$out/overlay-$kind.png"
    {
        echo
        echo "== $kind"
        grep -v -e READY -e '^QStandardPaths' "$log"
        for w in $(grep -o 'winid=0x[0-9a-f]*' "$log" | cut -d= -f2); do
            echo "$w: $(xprop -id "$w" _NET_WM_STATE _NET_WM_DESKTOP WM_HINTS 2>/dev/null |
                grep -e _NET -e 'accepts input' | sed 's/^[[:space:]]*//' | paste -sd ';' -)"
        done
    } >>"$report"

    if [ "$have_xdotool" = 1 ]; then
        focus="$(xdotool getwindowfocus getwindowname 2>/dev/null || echo '?')"
        before_a="$(keys_seen 0x61)"
        before_esc="$(keys_seen 0xff1b)"
        xdotool key a
        sleep 0.5
        after_a="$(keys_seen 0x61)"
        xdotool key Escape
        if wait_for "$log" DISMISSED 30; then dismissed=yes; else dismissed=no; status=1; fi
        sleep 0.3
        after_esc="$(keys_seen 0xff1b)"
        xdotool key Escape # the overlay is gone: Escape is the app's again
        sleep 0.5
        freed_esc="$(keys_seen 0xff1b)"
        {
            echo "keyboard focus while shown: $focus"
            echo "'a' reached the typing app: $([ "$after_a" -gt "$before_a" ] && echo yes || echo NO)"
            echo "Escape dismissed the overlay: $dismissed"
            echo "Escape reached the typing app while the overlay was up: $([ "$after_esc" -gt "$before_esc" ] && echo YES || echo no)"
            echo "Escape reaches the typing app after the overlay: $([ "$freed_esc" -gt "$after_esc" ] && echo yes || echo NO)"
        } >>"$report"
        [ "$focus" = typing-app ] || status=1
        [ "$after_a" -gt "$before_a" ] || status=1
        [ "$after_esc" -eq "$before_esc" ] || status=1
        [ "$freed_esc" -gt "$after_esc" ] || status=1
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
done

"$root/scripts/screenshot-panel.sh" "$out" || status=1

cat "$report"
echo
ls -1 "$out"/overlay-*.png "$out"/panel*.png
exit "$status"
