#!/usr/bin/env bash
# The CPU cost of reading the camera through PipeWire beside the V4L2 path, in one run:
# quorvel-camera-bench in a private PipeWire session (its own runtime folder and session bus,
# the daemon, WirePlumber with the machine's devices left alone) with a camera node
# (quorvel-camera-node, from the tests' build) serving the benchmark's own Motion-JPEG stream,
# so both paths read the same frames.
#
#   scripts/camera-bench-pipewire.sh [SECONDS]     (default: 10 seconds per mode)
#
# First a 320x240 Motion-JPEG camera at 30 fps (the size Quorvel asks for), read as V4L2 reads
# it (the recording behind the same system calls) and through PipeWire; then 1280x720, the
# format a call fixed: through V4L2 for reference, and through PipeWire while the call reads
# every frame. One JSON line each.
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

# Publishes a Motion-JPEG stream as the session's camera.
camera() {
    "$node" --stream "$1" --format mjpg --size "$2" --fps 30 \
        >"$work/node.out" 2>"$work/node.log" &
    camera_pid=$!
    pids+=("$camera_pid")
    until_ok grep -q ready "$work/node.out"
}

# The V4L2 path first, which writes the stream; then the same frames through PipeWire.
"$bench" --seconds "$seconds" --size 320x240 --stream "$work/320x240.mjpeg" \
    --modes v4l2-libv4lconvert
camera "$work/320x240.mjpeg" 320x240
"$bench" --seconds "$seconds" --modes pipewire
kill "$camera_pid"
wait "$camera_pid" || true
# A call fixed 1280x720: the V4L2 path on such frames for reference, then PipeWire with the call.
"$bench" --seconds "$seconds" --size 1280x720 --stream "$work/1280x720.mjpeg" \
    --modes v4l2-libv4lconvert
camera "$work/1280x720.mjpeg" 1280x720
"$bench" --seconds "$seconds" --modes pipewire --call
