#!/usr/bin/env bash
# X11: Xorg's dummy driver with two outputs of different sizes (DUMMY0 1280x800, DUMMY1
# 1024x768 to its right), a session bus, a window manager, and the XEmbed tray trayer if asked.
#   x11.sh WORKDIR openbox|kwin|mutter|gnome|i3|plasma [trayer]     (DISPLAY set by the suite)
set -euo pipefail
here="$(dirname "$0")"
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$here/common.sh"
work="$1" wm="$2" tray="${3:-}"

layout() {
    xrandr --output DUMMY0 --mode 1280x800 --pos 0x0 --primary --output DUMMY1 --mode 1024x768 --right-of DUMMY0
}
Xorg "$DISPLAY" -config "$here/../conf/xorg.conf" -noreset -nolisten tcp -novtswitch -sharevts \
    -logfile "$work/xorg.log" >/dev/null 2>&1 &
wait_for 100 xdpyinfo || fail "Xorg with the dummy driver did not start (see xorg.log)"
xrandr --addmode DUMMY1 1024x768 2>/dev/null || {
    xrandr --newmode 1024x768 63.50 1024 1072 1176 1328 768 771 775 798 -hsync +vsync
    xrandr --addmode DUMMY1 1024x768
}
layout
xsetroot -solid '#2e3440'
start_session_bus

case "$wm" in
openbox) openbox --sm-disable & ;;
kwin) QT_QPA_PLATFORM=xcb kwin_x11 --replace & ;;
mutter) GSETTINGS_BACKEND=memory XDG_CURRENT_DESKTOP=GNOME mutter --x11 --replace --sm-disable & ;;
gnome) gnome-shell --x11 --replace >"$work/gnome-shell.log" 2>&1 & ;;
i3) i3 -c "$here/../conf/i3.conf" & ;;
plasma)
    QT_QPA_PLATFORM=xcb kwin_x11 --replace &
    start_plasma
    ;;
*) fail "unknown window manager $wm" ;;
esac
wm_up() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"; }
wait_for 300 wm_up || fail "$wm did not start"
if [ "$wm" = mutter ] || [ "$wm" = gnome ]; then
    # Without a monitors.xml mutter gives each output its preferred mode; the layout again.
    sleep 1
    layout
    wait_for 50 sh -c 'xdpyinfo | grep -q "dimensions: *2304x800 "' || fail "mutter kept its own layout"
fi
if [ "$tray" = trayer ]; then
    when_asked trayer --edge top --align right --widthtype request --height 24 --monitor primary \
        --SetDockType true --transparent false &
fi
echo ready
wait
