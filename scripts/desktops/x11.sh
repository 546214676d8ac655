# X11 as users have it: one Xorg screen (dummy driver) with two RandR outputs of different
# sizes, DUMMY0 1280x800 and DUMMY1 1024x768 to its right, under a window manager, with or
# without an XEmbed tray. Sourced by run.sh; run_x11 WM TRAY (openbox|kwin|mutter, trayer|none).

x11_outputs=("DUMMY0 1280 800 0 0" "DUMMY1 1024 768 1280 0")

# Visible windows whose title is exactly $1.
x11_windows() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null || true; }
x11_count() { [ "$(x11_windows "$1" | wc -l)" -eq "$2" ]; }
x11_overlay_ids() { x11_windows "Time to Stand!"; }

# Quorvel's icon in trayer's panel.
x11_tray_icon() {
    local w
    for w in $(xdotool search --class trayer 2>/dev/null); do
        xwininfo -tree -id "$w" 2>/dev/null | grep -q '("quorvel"' && return 0
    done
    return 1
}
# The panel (or fallback window) on screen: a visible "Quorvel" window that is not the icon.
x11_panel() {
    local w
    for w in $(x11_windows Quorvel); do
        [ "$(x11_geometry "$w" | cut -d' ' -f1)" -gt 100 ] && echo "$w"
    done
}
x11_panel_shown() { [ -n "$(x11_panel)" ]; }
x11_panel_gone() { [ -z "$(x11_panel)" ]; }
x11_started() { x11_tray_icon || x11_panel_shown; }

# "W H X Y" of a window on the root window (its client area).
x11_geometry() {
    xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {y=$4}
        /Width:/ {w=$2} /Height:/ {h=$2} END {print w, h, x, y}'
}

x11_shoot() { # name: one picture per output in $out/NAME-OUTPUT.png
    local o name w h x y
    import -window root "$work/root.png"
    for o in "${x11_outputs[@]}"; do
        read -r name w h x y <<<"$o"
        convert "$work/root.png" -crop "${w}x${h}+${x}+${y}" +repage "$out/$1-$name.png"
    done
}

run_x11() { # wm tray
    local wm="$1" tray="$2"
    local n=60 home applog xorg_pid
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    export DISPLAY=":$n"
    unset WAYLAND_DISPLAY XDG_SESSION_TYPE XDG_CURRENT_DESKTOP QT_QPA_PLATFORM

    cat >"$work/xorg.conf" <<'EOF'
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 256000
EndSection
Section "Monitor"
    Identifier "monitor"
    HorizSync 5.0 - 1000.0
    VertRefresh 5.0 - 200.0
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    Monitor "monitor"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Virtual 4096 2048
    EndSubSection
EndSection
Section "ServerFlags"
    Option "AutoAddDevices" "false"
    Option "AutoAddGPU" "false"
EndSection
EOF
    Xorg "$DISPLAY" -config "$work/xorg.conf" -noreset -nolisten tcp -novtswitch -sharevts \
        -logfile "$work/xorg.log" >"$work/xorg.out" 2>&1 &
    xorg_pid=$!
    track "$xorg_pid"
    if ! wait_until 100 xdpyinfo >/dev/null 2>&1; then
        tail -n 20 "$work/xorg.log" >&2
        skip_rest "Xorg with the dummy driver did not start"
        return
    fi
    # Both outputs, of different sizes; the dummy driver has these modes, else add them.
    xrandr --addmode DUMMY1 1024x768 2>/dev/null || {
        xrandr --newmode 1024x768 63.50 1024 1072 1176 1328 768 771 775 798 -hsync +vsync
        xrandr --addmode DUMMY1 1024x768
    }
    xrandr --output DUMMY0 --mode 1280x800 --pos 0x0 --primary \
        --output DUMMY1 --mode 1024x768 --right-of DUMMY0
    say "outputs: $(xrandr --listmonitors | tail -n +2 | awk '{print $4 " " $3}' | paste -sd ',' -)"
    xsetroot -solid '#2e3440'

    home="$work/home"
    make_home "$home"
    # shellcheck disable=SC2046
    export $(home_env "$home")
    dbus-daemon --session --nofork --address="unix:path=$home/runtime/bus" >"$work/dbus.log" 2>&1 &
    track $!
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$home/runtime/bus"
    wait_until 50 test -S "$home/runtime/bus"

    case "$wm" in
    openbox)
        openbox --sm-disable >"$work/wm.log" 2>&1 &
        track $!
        wait_until 100 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'
        ;;
    kwin)
        QT_QPA_PLATFORM=xcb KDE_FULL_SESSION=true kwin_x11 --replace >"$work/wm.log" 2>&1 &
        track $!
        wait_until 200 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'
        sleep 1
        ;;
    mutter)
        GSETTINGS_BACKEND=memory XDG_CURRENT_DESKTOP=GNOME mutter --x11 --replace --sm-disable >"$work/wm.log" 2>&1 &
        track $!
        wait_until 200 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'
        sleep 1
        # Without a monitors.xml mutter gives each output its preferred mode at start; the
        # user's layout again (mutter follows RandR changes made afterwards).
        xrandr --output DUMMY0 --mode 1280x800 --pos 0x0 --primary \
            --output DUMMY1 --mode 1024x768 --right-of DUMMY0
        wait_until 50 sh -c 'xdpyinfo | grep -q "dimensions: *2304x800 "'
        ;;
    esac
    if [ "$tray" = trayer ]; then
        trayer --edge top --align right --widthtype request --height 24 --monitor primary \
            --SetDockType true --transparent false >"$work/trayer.log" 2>&1 &
        track $!
        wait_until 100 sh -c 'xdpyinfo >/dev/null && xprop -id "$(xdotool search --class trayer | head -n1)" >/dev/null 2>&1'
    fi

    # The user's terminal on each output; the left one has the keyboard and records keys.
    xterm -bg black -fg white -geometry 60x15+60+60 -T term-left \
        -e sh -c "stty -icanon -echo; exec cat >'$work/keys-left'" >/dev/null 2>&1 &
    track $!
    xterm -bg black -fg white -geometry 60x15+1340+60 -T term-right \
        -e sh -c "stty -icanon -echo; exec cat >'$work/keys-right'" >/dev/null 2>&1 &
    track $!
    wait_until 100 x11_count term-left 1 && wait_until 100 x11_count term-right 1
    local left right
    left="$(x11_windows term-left)"
    right="$(x11_windows term-right)"
    xdotool windowactivate --sync "$left" 2>/dev/null || xdotool windowfocus --sync "$left"

    applog="$work/quorvel.log"
    "$app" >"$applog" 2>&1 &
    local app_pid=$!
    track "$app_pid"

    # Tray icon or fallback window.
    local mode=""
    if wait_until 100 x11_started; then
        sleep 0.5
        if x11_panel_shown; then mode=window; elif x11_tray_icon; then mode=tray; fi
    fi
    xwininfo -root -tree >"$work/tree-start.txt"
    case "$tray/$mode" in
    trayer/tray) result tray pass "icon in trayer" ;;
    none/window) result tray pass "fallback window" ;;
    *) result tray FAIL "expected ${tray/none/fallback window}, got ${mode:-nothing}" ;;
    esac
    x11_shoot desktop
    # The fallback window took the keyboard at start; the user goes back to the terminal,
    # full screen: the overlay must come above it all the same.
    xdotool windowactivate --sync "$left" 2>/dev/null || xdotool windowfocus --sync "$left"
    wmctrl -i -r "$left" -b add,fullscreen
    wait_until 30 sh -c "xprop -id $left _NET_WM_STATE | grep -q _NET_WM_STATE_FULLSCREEN"
    x11_overlay_checks
    wmctrl -i -r "$left" -b remove,fullscreen

    # A second launch shows the panel (the fallback window is minimised first). The app
    # starts again without its stand reminder, so that no overlay comes in between.
    stop_app_quietly "$app_pid" "$home"
    "$app" >>"$applog" 2>&1 &
    app_pid=$!
    track "$app_pid"
    wait_until 100 x11_started || true
    sleep 0.5
    if [ "$mode" = window ]; then
        xdotool windowminimize --sync "$(x11_panel | head -n 1)" 2>/dev/null || true
        wait_until 30 x11_panel_gone || true
    fi
    xdotool windowactivate --sync "$left" 2>/dev/null || true
    DESKTOP_STARTUP_ID="quorvel-suite-$$-launch" "$app" >"$work/second.log" 2>&1 &
    local second=$!
    track "$second"
    if wait_until 100 x11_panel_shown; then
        sleep 0.5
        local who
        who="$(xdotool getwindowfocus getwindowname 2>/dev/null || echo '?')"
        x11_shoot panel
        if [ "$who" = Quorvel ]; then
            result second-launch pass "panel shown with the keyboard"
        else
            result second-launch pass "panel shown; keyboard stays with '$who'"
        fi
    else
        result second-launch FAIL "no visible panel 10 s after a second launch"
    fi
    wait_until 50 sh -c "! kill -0 $second 2>/dev/null" || say "the second launch did not exit"

    # The screen locked through logind (a stand-in on a private system bus), with the app
    # monitoring a camera.
    lock_check x11_overlay_ids
    app_log_tail "$applog"
}

# The overlay over both outputs, then a click on the second output and Escape.
x11_overlay_checks() {
    # The first stand overlay: one full-screen window per output, over the terminals.
    if ! wait_until $((stand_seconds * 10 + 150)) x11_count "Time to Stand!" 2; then
        local all visible
        all="$(xdotool search --name '^Time to Stand!$' 2>/dev/null | wc -l)"
        visible="$(x11_windows 'Time to Stand!' | wc -l)"
        x11_shoot overlay
        result overlay FAIL "$visible of $all overlay windows visible, want 2 (the window manager hides them)"
        for c in click escape keyboard; do result "$c" skip "no overlay"; done
        return
    fi
    local notes="" bad="" o name w h x y win found lw lh lx ly rw rh rx ry try
    read -r lw lh lx ly < <(x11_geometry "$left")
    read -r rw rh rx ry < <(x11_geometry "$right")
    # Painted within a few seconds (the fade-in takes 0.8 s).
    for try in 1 2 3 4 5 6 7 8; do
        sleep 0.6
        x11_shoot overlay
        bad=""
        # Points clear of the overlay's text.
        notes="$(overlay_covers "$out/overlay-DUMMY0.png" "$((lx + lw / 4)),$((ly + lh * 3 / 4))" "$((lx + 20)),$((ly + 20))")" ||
            bad="$bad DUMMY0 not covered at $notes;"
        notes="$(overlay_covers "$out/overlay-DUMMY1.png" "$((rx - 1280 + rw / 4)),$((ry + rh * 3 / 4))" "$((rx - 1280 + 20)),$((ry + 20))")" ||
            bad="$bad DUMMY1 not covered at $notes;"
        [ -n "$bad" ] || break
    done
    for o in "${x11_outputs[@]}"; do
        read -r name w h x y <<<"$o"
        found=no
        for win in $(x11_windows "Time to Stand!"); do
            [ "$(x11_geometry "$win")" = "$w $h $x $y" ] && found=yes
        done
        [ "$found" = yes ] || bad="$bad no ${w}x${h} window at $x,$y;"
    done
    [ "$lw $lh $lx $ly" = "1280 800 0 0" ] || bad="$bad the left terminal was not full screen ($lw x $lh at $lx,$ly);"
    if [ -z "$bad" ]; then
        result overlay pass "2 windows at the outputs' geometry, gradient over both terminals (the left one full screen)"
    else
        result overlay FAIL "$bad"
    fi

    # A click on the second output takes both down.
    old_ids="$(x11_overlay_ids)"
    xdotool mousemove 1800 600 click 1
    if wait_until 50 overlays_gone x11_overlay_ids; then result click pass; else result click FAIL "overlay still up 5 s after a click on DUMMY1"; fi

    # The next one: a key typed meanwhile reaches the terminal; Escape takes it down.
    if ! wait_until $((stand_seconds * 10 + 100)) x11_count "Time to Stand!" 2; then
        result escape FAIL "the second overlay never came"
        result keyboard skip "no second overlay"
        return
    fi
    {
        sleep 1
        local focus
        focus="$(xdotool getwindowfocus getwindowname 2>/dev/null || echo '?')"
        old_ids="$(x11_overlay_ids)"
        xdotool key q
        sleep 0.5
        xdotool key Escape
        if wait_until 50 overlays_gone x11_overlay_ids; then result escape pass; else result escape FAIL "overlay still up 5 s after Escape"; fi
        if grep -q q "$work/keys-left" 2>/dev/null; then
            result keyboard pass "'q' reached the terminal (focus: $focus)"
        else
            result keyboard FAIL "'q' did not reach the terminal (focus: $focus)"
        fi
        if grep -q $'\e' "$work/keys-left" 2>/dev/null; then say "note: Escape also reached the terminal"; fi
    }

}
