#!/usr/bin/env bash
# The CPU cost of reading the camera through PipeWire beside the V4L2 path, in one run:
# quorvel-camera-bench in a private PipeWire session (its own runtime folder and session bus,
# the daemon, WirePlumber with the machine's devices left alone) with a camera node made from
# the astronaut picture (quorvel-camera-node, from the tests' build).
#
#   scripts/camera-bench-pipewire.sh [SECONDS]     (default: 10 seconds per mode)
#
# First a 320x240 Motion-JPEG camera at 30 fps, read as V4L2 reads it (the recording behind the
# same system calls) and through PipeWire; then a 1280x720 Motion-JPEG camera, the format a
# call fixed, read through PipeWire while the call reads every frame. One JSON line each.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-10}
build=${QUORVEL_BUILD:-$root/build}
bench=$build/tools/camera-bench/quorvel-camera-bench
node=$build/tests/camera/quorvel-camera-node
for program in "$bench" "$node"; do
    [ -x "$program" ] || { echo "camera-bench-pipewire: $program is missing: run 'make build' first" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
    local pid
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        pid=${pids[i]}
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Waits up to 30 s for a command to succeed.
until_ok() {
    local deadline=$((SECONDS + 30))
    until "$@" >/dev/null 2>&1; do
        if ((SECONDS > deadline)); then
            echo "camera-bench-pipewire: gave up waiting for: $*" >&2
            cat "$work"/*.log >&2 || true
            exit 1
        fi
        sleep 0.05
    done
}

mkdir -m 700 "$work/run"
export XDG_RUNTIME_DIR=$work/run PIPEWIRE_RUNTIME_DIR=$work/run XDG_STATE_HOME=$work/state
# WirePlumber's device monitors off, as in the tests.
export XDG_CONFIG_HOME=$root/tests/data
unset PIPEWIRE_REMOTE

dbus-daemon --session --nofork --print-address=3 3>"$work/bus" 2>"$work/dbus.log" &
pids+=($!)
until_ok test -s "$work/bus"
DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/bus")
export DBUS_SESSION_BUS_ADDRESS
pipewire 2>"$work/pipewire.log" &
pids+=($!)
until_ok sh -c 'pw-cli ls Core | grep -q pipewire-0'
wireplumber 2>"$work/wireplumber.log" &
pids+=($!)
until_ok sh -c 'pw-cli ls Client | grep -q WirePlumber'

camera() {
    "$node" --picture "$root/tests/data/astronaut.png" --format mjpg --size "$1" --fps 30 \
        >"$work/node.out" 2>"$work/node.log" &
    camera_pid=$!
    pids+=("$camera_pid")
    until_ok grep -q ready "$work/node.out"
}

camera 320x240
"$bench" --seconds "$seconds" --size 320x240 --modes v4l2-libv4lconvert,pipewire
kill "$camera_pid"
wait "$camera_pid" || true
camera 1280x720
"$bench" --seconds "$seconds" --modes pipewire --call
