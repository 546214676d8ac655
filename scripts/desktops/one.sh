#!/usr/bin/env bash
# Runs the checks on one desktop (see run.sh): one.sh DESKTOP OUTPUT_DIR
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
desktop="$1"
out="$2"
app="$root/build/quorvel"
stand_seconds=7
: "${results:?}"
mkdir -p "$out"
work="$(mktemp -d /tmp/quorvel-desktops.XXXXXX)"
chmod 755 "$work"

source "$here/lib.sh"
source "$here/x11.sh"
source "$here/sway.sh"
source "$here/gnome.sh"
source "$here/kwin.sh"

cleanup() {
    stop_tracked
    # Keep the logs beside the screenshots.
    mkdir -p "$out/logs"
    find "$work" -maxdepth 1 -name '*.log' -exec cp {} "$out/logs/" \; 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'say "stopped: time limit"; exit 143' TERM INT

say "start"
case "$desktop" in
x11-openbox) run_x11 openbox none ;;
x11-openbox-trayer) run_x11 openbox trayer ;;
x11-kwin) run_x11 kwin none ;;
x11-kwin-trayer) run_x11 kwin trayer ;;
x11-mutter) run_x11 mutter none ;;
sway) run_sway ;;
gnome) run_gnome none ;;
gnome-appindicator) run_gnome appindicator ;;
kwin-wayland) run_kwin_wayland ;;
*) skip_rest "not automated yet" ;;
esac
skip_rest "not reached"
