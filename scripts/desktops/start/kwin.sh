#!/usr/bin/env bash
# KWin 5.27 or 6 on Wayland, headless with two virtual outputs of 1280x800 (its virtual back end
# makes them one size), and with "plasma" Plasma's shell and its tray. Runs as the test user;
# KWINDIR holds a copy of kwin_wayland without the file capabilities the user may not use.
#   kwin.sh WORKDIR [plasma]
set -euo pipefail
here="$(dirname "$0")"
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$here/common.sh"
work="$1" shell="${2:-}"
start_session_bus
# KWin 5 grants the suite's input helper its protocols through its desktop entry; KWin 6
# finds no entry for it here and grants them with KWIN_WAYLAND_NO_PERMISSION_CHECKS.
"$(command -v kbuildsycoca6 || echo kbuildsycoca5)" --noincremental >"$work/kbuildsycoca.log" 2>&1
# Its screen locker only where the suite asks (QUORVEL_SUITE_LOCKER), with logind's stand-in.
locker=(--no-lockscreen)
[ -z "${QUORVEL_SUITE_LOCKER:-}" ] || locker=()
KWIN_SCREENSHOT_NO_PERMISSION_CHECKS=1 KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 "$KWINDIR/kwin_wayland" \
    --virtual --width 1280 --height 800 --output-count 2 "${locker[@]}" >"$work/kwin.log" 2>&1 &
wait_for 300 test -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" || fail "KWin did not start (see kwin.log)"
[ "$shell" != plasma ] || QT_QPA_PLATFORM=wayland start_plasma
echo ready
wait
