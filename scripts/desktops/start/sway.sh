#!/usr/bin/env bash
# sway (1.7 on Debian 12, 1.10 on Debian 13), headless, with two outputs (HEADLESS-1 1280x800,
# HEADLESS-2 1024x768 to its right) and swaybar's tray (started when asked, see common.sh).
# Runs as the test user.
#   sway.sh WORKDIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$here/common.sh"
work="$1"
start_session_bus
# swaybar-when-asked is found on the PATH. No direct scan-out on sway 1.7: while it shows a
# full-screen window's own buffer, a screenshot makes it compose a frame, and that frame can
# hold an older picture of the output, windows it no longer shows (sweep.py, 20 overlays on
# a busy machine: with scan-out the first shot of the second output missed the overlay 14
# times, all three shots 5 times; without, never). sway 1.10 draws through wlroots' scene
# and has no such flag.
flags=()
case "$(sway --version)" in *" 1.7"*) flags=(-D noscanout) ;; esac
PATH="$here:$PATH" WLR_BACKENDS=headless WLR_HEADLESS_OUTPUTS=2 WLR_LIBINPUT_NO_DEVICES=1 \
    WLR_RENDERER=pixman sway "${flags[@]}" -c "$here/../conf/sway.conf" >"$work/sway.log" 2>&1 &
wait_for 100 ls "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" || fail "sway did not start (see sway.log)"
echo ready
wait
