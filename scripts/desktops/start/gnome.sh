#!/usr/bin/env bash
# GNOME Shell 43 or 48, Wayland, headless with two virtual monitors (1280x800, 1024x768).
# Runs as the test user, in a mount namespace where /run/systemd is hidden (the machine has
# no logind), with the settings and extensions the suite wrote into its HOME.
#   gnome.sh WORKDIR
set -euo pipefail
here="$(dirname "$0")"
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$here/common.sh"
work="$1"
start_session_bus
GSETTINGS_BACKEND=keyfile gnome-shell --headless --wayland --no-x11 --virtual-monitor 1280x800 \
    --virtual-monitor 1024x768 >"$work/gnome-shell.log" 2>&1 &
wait_for 300 test -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" || fail "GNOME Shell did not start (see gnome-shell.log)"
echo ready
wait
