#!/usr/bin/env bash
# Photographs the real quorvel program's panel under Xvfb. Xvfb has no tray, so Quorvel
# shows its panel as the small fallback window "Quorvel". The program runs with private
# XDG folders (never the user's settings or log, and its own single-instance socket),
# seeded with a week of slouch events and reminder settings so that the panel shows real
# content. Then it presses "Test Overlay" and photographs the overlay over the running app.
#
#   scripts/screenshot-panel.sh [OUTPUT_DIR]      default: build/screenshots
#   NO_WM=1 scripts/screenshot-panel.sh           without a window manager
#
# Writes panel.png (monitoring off, both reminders on), panel-monitoring.png (monitoring
# on: this machine's camera state shows, e.g. "No camera found") and overlay-test.png.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/build/screenshots}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

for tool in Xvfb xdpyinfo xwininfo xprop xdotool import convert; do
    command -v "$tool" >/dev/null || { echo "screenshot-panel: $tool is missing (see scripts/setup.sh)" >&2; exit 1; }
done

app="$root/build/quorvel"
(cd "$root" && cmake --preset default >/dev/null && cmake --build --preset default -j2 --target quorvel >/dev/null)

n=95
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
export DISPLAY=":$n" QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
# No session bus: no status-notifier tray either, and nothing of the user's is reached.
export DBUS_SESSION_BUS_ADDRESS=disabled:
work="$(mktemp -d)"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for f in "$work"/*.pid; do [ -e "$f" ] && kill "$(cat "$f")" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo >/dev/null 2>&1 || { echo "screenshot-panel: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
wm=none
if [ "${NO_WM:-0}" != 1 ] && command -v openbox >/dev/null; then
    openbox >"$work/wm.log" 2>&1 &
    pids+=($!)
    wm=openbox
    sleep 0.5
fi
# A calm desktop colour, so the window's edges show.
xsetroot -solid '#3b4252' 2>/dev/null || true

# A UUID in upper case, as the log writes them.
uuid() { tr '[:lower:]' '[:upper:]' </proc/sys/kernel/random/uuid; }
# "N days ago HH:MM" local time, as the log's UTC instant.
instant() { date -u -d "@$(date -d "$1" +%s)" +%Y-%m-%dT%H:%M:%SZ; }

# Slouch events over the past week (more on some days than others), today's last.
seed_log() { # file
    local events=() entry day time duration
    for entry in "6 09:40 14.5" "6 15:10 41" "5 11:05 22" "4 10:20 8.5" "4 13:45 65" "4 16:30 19" \
                "3 14:00 30" "2 09:15 12" "2 11:50 95.5" "2 15:25 27" "2 17:05 33" "1 10:35 16" \
                "1 16:40 48" "0 09:20 21.5" "0 10:05 37"; do
        read -r day time duration <<<"$entry"
        events+=("{\"id\":\"$(uuid)\",\"startedAt\":\"$(instant "$day days ago $time")\",\"duration\":$duration}")
    done
    local IFS=,
    printf '[%s]' "${events[*]}" >"$1"
}

# Starts quorvel in a private home; sets $id to its window.
start_app() { # name monitoring
    local home="$work/$1"
    mkdir -p "$home/config/Quorvel" "$home/data/Quorvel" "$home/cache" "$home/runtime" "$home/tmp"
    chmod 700 "$home/runtime"
    seed_log "$home/data/Quorvel/posture-log.json"
    cat >"$home/config/Quorvel/Quorvel.conf" <<EOF
[General]
postureMonitoringEnabled=$2
standReminderEnabled=true
waterReminderEnabled=true
standInterval=1800
waterInterval=2700
autoDismissTimeout=30
sensitivity=Medium
isCalibrated=true
baselineNoseRatio=0.52
baselineEarRatio=0.48
baselineShoulderWidth=0.41
baselineShoulderY=0.47
lastUpdateCheck=$(date +%s)
EOF
    XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" \
        XDG_RUNTIME_DIR="$home/runtime" TMPDIR="$home/tmp" \
        "$app" >"$work/$1.log" 2>&1 &
    echo "$!" >"$work/$1.pid"
    id=""
    for _ in $(seq 150); do
        id="$(xdotool search --onlyvisible --name '^Quorvel$' 2>/dev/null | head -n 1 || true)"
        [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || { echo "screenshot-panel: the Quorvel window never showed" >&2; cat "$work/$1.log" >&2; exit 1; }
}

stop_app() { # name
    local pid
    pid="$(cat "$work/$1.pid")"
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    rm -f "$work/$1.pid"
}

# The window's area on the root window, with the window manager's frame: W H X Y.
window_area() { # id
    local info x y w h l=0 r=0 t=0 b=0 extents
    info="$(xwininfo -id "$1")"
    x="$(awk '/Absolute upper-left X/ {print $4}' <<<"$info")"
    y="$(awk '/Absolute upper-left Y/ {print $4}' <<<"$info")"
    w="$(awk '/Width:/ {print $2}' <<<"$info")"
    h="$(awk '/Height:/ {print $2}' <<<"$info")"
    extents="$(xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= //p' | tr -d ' ')"
    if [ -n "$extents" ]; then
        IFS=, read -r l r t b <<<"$extents"
    fi
    echo "$((w + l + r)) $((h + t + b)) $((x - l)) $((y - t))"
}

shoot_window() { # id file
    local w h x y
    read -r w h x y < <(window_area "$1")
    import -window root "$work/root.png"
    convert "$work/root.png" -crop "${w}x${h}+${x}+${y}" +repage "$2"
    echo "$2: ${w}x${h} at +$x+$y"
}

report="$out/panel-report.txt"
echo "display $DISPLAY: Xvfb 1280x1024; window manager: $wm" >"$report"

# The panel with monitoring off, then the test overlay over the running app.
start_app panel false
sleep 1.5 # the first paint and the statistics
shoot_window "$id" "$out/panel.png" | tee -a "$report"
read -r w h x y < <(xwininfo -id "$id" | awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {y=$4}
    /Width:/ {w=$2} /Height:/ {h=$2} END {print w, h, x, y}')
# "Test Overlay" is the footer's left button: 12 px margins, about 22 px high.
xdotool mousemove "$((x + 40))" "$((y + h - 23))" click 1
sleep 2 # fade-in 0.8 s, the content's own animation
import -window root "$out/overlay-test.png"
echo "$out/overlay-test.png: after pressing Test Overlay" | tee -a "$report"
stop_app panel

# The panel with monitoring on (this machine's camera decides what the rows say).
start_app monitoring true
sleep 3 # the camera check and its error row
shoot_window "$id" "$out/panel-monitoring.png" | tee -a "$report"
stop_app monitoring

for log in "$work"/panel.log "$work"/monitoring.log; do
    if [ -s "$log" ]; then
        echo "== $(basename "$log")" >>"$report"
        cat "$log" >>"$report"
    fi
done
