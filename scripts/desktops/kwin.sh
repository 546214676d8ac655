# KWin 5.27, Wayland, headless with two virtual outputs (Virtual-0 and Virtual-1, both
# 1280x800: the virtual back end makes them all one size) and no Plasma shell, so no tray.
# The installed kwin_wayland carries file capabilities that the test user may not exec; a
# copy of it runs instead. Window state comes from KWin scripts (org.kde.kwin.Scripting,
# whose print() lines land in KWin's log); input and a launcher's activation tokens from
# virtual-input.c, through org_kde_kwin_fake_input and with the window-management privilege
# of Plasma's launchers, both granted as KWin grants them: by the X-KDE-Wayland-Interfaces
# of the program's desktop entry. Screenshots through org.kde.KWin.ScreenShot2
# (kwin-shot.cpp). Sourced by run.sh; uses as_user and the test user of lib.sh.

# Runs JavaScript in KWin and prints what it print()s.
kwin_js() { # JavaScript
    local n f
    n="q$(date +%s%N)"
    f="$work/$n.js"
    printf 'print("%s<");\n%s\nprint("%s>");\n' "$n" "$1" "$n" >"$f"
    chmod 644 "$f"
    as_user gdbus call --session --dest org.kde.KWin --object-path /Scripting \
        --method org.kde.kwin.Scripting.loadScript "$f" "$n" >/dev/null 2>&1 || return 1
    as_user gdbus call --session --dest org.kde.KWin --object-path /Scripting \
        --method org.kde.kwin.Scripting.start >/dev/null 2>&1
    wait_until 30 grep -aqx "js: $n>" "$work/kwin.log"
    as_user gdbus call --session --dest org.kde.KWin --object-path /Scripting \
        --method org.kde.kwin.Scripting.unloadScript "$n" >/dev/null 2>&1
    rm -f "$f"
    sed -n "/^js: $n<\$/,/^js: $n>\$/{/^js: $n[<>]\$/!s/^js: //p; /^js: $n>\$/q}" "$work/kwin.log"
}

# Windows, one line each: title|screen|x|y|w|h|fullscreen|active|visible|id
kwin_windows() {
    kwin_js 'for (const c of workspace.clientList()) { const g = c.frameGeometry;
        print([c.caption, c.screen, g.x, g.y, g.width, g.height, c.fullScreen, c.active,
               !c.minimized, c.internalId].join("|")); }'
}
kwin_overlay_ids() { kwin_windows | awk -F'|' '$1 == "Time to Stand!" && $9 == "true" {print $10}'; }
kwin_count() { # title count
    [ "$(kwin_windows | awk -F'|' -v n="$1" '$1 == n && $9 == "true"' | wc -l)" -eq "$2" ]
}
# The terminals maximised, one on each output; the left one active.
kwin_place() {
    kwin_js 'for (const c of workspace.clientList()) {
            if (c.caption === "term-right") workspace.sendClientToScreen(c, 1);
            else if (c.caption === "term-left") workspace.sendClientToScreen(c, 0);
            if (c.caption.startsWith("term-")) c.setMaximize(true, true); }
        for (const c of workspace.clientList()) if (c.caption === "term-left") workspace.activeClient = c;' >/dev/null
}
kwin_shoot() { # name
    local o
    for o in Virtual-0 Virtual-1; do
        as_user "$work/kwin-shot" "$o" "$work/shot.png" 2>>"$work/kwin-shot.log" && cp "$work/shot.png" "$out/$1-$o.png"
    done
}

run_kwin_wayland() {
    make_test_user || return
    local home="$work/home"
    make_home "$home"
    chown -R "$sway_user:$sway_user" "$home"
    chmod 777 "$work"
    # The copy keeps the name: KWin finds its own parts by it.
    mkdir -p "$work/kwin"
    cp "$(command -v kwin_wayland)" "$work/kwin/kwin_wayland"
    chmod 755 "$work/kwin" "$work/kwin/kwin_wayland"
    session_env="$(home_env "$home") PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8
        XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=5
        DBUS_SESSION_BUS_ADDRESS=unix:path=$home/runtime/bus WAYLAND_DISPLAY=wayland-0"
    as_user_exec dbus-daemon --session --nofork --address="unix:path=$home/runtime/bus" >"$work/dbus.log" 2>&1 &
    track $!
    wait_until 50 test -S "$home/runtime/bus"

    # Helpers of the suite, built for this run.
    # shellcheck disable=SC2046
    if ! build_virtual_input ||
        ! g++ -std=c++20 -O1 -fPIC -o "$work/kwin-shot" "$here/kwin-shot.cpp" $(pkg-config --cflags --libs Qt6DBus Qt6Gui) 2>"$work/cc-shot.log"; then
        cat "$work/cc-shot.log" >&2 2>/dev/null
        skip_rest "could not build the suite's helpers"
        return
    fi

    # KWin reads which restricted protocols a client may bind from its desktop entry.
    mkdir -p "$home/.local/share/applications"
    cat >"$home/.local/share/applications/quorvel-suite-input.desktop" <<EOF
[Desktop Entry]
Type=Application
Name=Quorvel desktop suite input
Exec=$work/virtual-input
NoDisplay=true
X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input,org_kde_plasma_window_management
EOF
    chown -R "$sway_user:$sway_user" "$home/.local"
    as_user kbuildsycoca5 --noincremental >"$work/kbuildsycoca.log" 2>&1

    as_user_exec KWIN_SCREENSHOT_NO_PERMISSION_CHECKS=1 \
        "$work/kwin/kwin_wayland" --virtual --width 1280 --height 800 --output-count 2 \
        --no-lockscreen >"$work/kwin.log" 2>&1 &
    track $!
    if ! wait_until 300 kwin_js 'print("up")' >/dev/null; then
        tail -n 20 "$work/kwin.log" >&2
        skip_rest "KWin did not start (or its scripting stayed closed)"
        return
    fi
    say "outputs: $(kwin_js 'for (let i = 0; i < workspace.numScreens; i++) { const g = workspace.clientArea(KWin.ScreenArea, i, 1); print(g.width + "x" + g.height + "+" + g.x + "+" + g.y); }' | paste -sd, -)"

    # The user's terminals, one maximised on each output; the left one has the keyboard.
    local side
    for side in left right; do
        cat >"$work/term-$side.sh" <<EOF
#!/bin/sh
printf '\033]2;term-$side\007'
stty -icanon -echo
exec cat >'$work/keys-$side'
EOF
        chmod 755 "$work/term-$side.sh"
        as_user_exec weston-terminal --shell="$work/term-$side.sh" >"$work/term-$side.log" 2>&1 &
        track $!
        wait_until 100 kwin_count "term-$side" 1
    done
    kwin_place
    start_virtual_input 2560 800

    local applog="$work/quorvel.log"
    as_user_exec "$app" >"$applog" 2>&1 &
    local app_pid=$!
    track "$app_pid"
    # No Plasma shell, so no StatusNotifierWatcher: the fallback window.
    if wait_until 100 kwin_count Quorvel 1; then
        result tray pass "fallback window"
    else
        result tray FAIL "no fallback window"
    fi
    # The fallback window takes the focus at start; the user goes back to the terminal.
    kwin_place
    kwin_shoot desktop
    kwin_windows >"$work/before.txt"

    wayland_overlay_checks kwin 1900 600 Virtual-0 "$(terminal_points "$work/before.txt" term-left 0)" \
        Virtual-1 "$(terminal_points "$work/before.txt" term-right 1280)"

    # A second launch, with the panel minimised: started by hand (no token), then as a Plasma
    # launcher starts apps, with an activation token made at the moment of the launch. The
    # app starts again without its stand reminder, so that no overlay comes in between.
    stop_app_quietly "$app_pid" "$home"
    as_user_exec "$app" >>"$applog" 2>&1 &
    app_pid=$!
    track "$app_pid"
    wait_until 100 kwin_count Quorvel 1
    local minimise='for (const c of workspace.clientList()) if (c.caption === "Quorvel") c.minimized = true;'
    kwin_js "$minimise" >/dev/null
    kwin_place
    wait_until 30 kwin_count Quorvel 0
    as_user "$app" >"$work/second.log" 2>&1
    local plain="panel stays minimised"
    wait_until 30 kwin_count Quorvel 1 && plain="panel shown"
    kwin_js "$minimise" >/dev/null
    kwin_place
    wait_until 30 kwin_count Quorvel 0
    virtual_input token
    local token
    token="$(awk '$1 == "token" {t = $2} END {print t}' "$work/virtual-input.log")"
    [ "$token" != none ] || token=""
    as_user ${token:+XDG_ACTIVATION_TOKEN=$token} "$app" >>"$work/second.log" 2>&1
    token_launch_result "$token" kwin "$plain"

    # The screen locked through logind (a stand-in on a private system bus), with the app
    # monitoring a camera.
    lock_check kwin_overlay_ids as_user
    app_log_tail "$applog"
}

# The hooks of wayland_overlay_checks (lib.sh).
kwin_click() { virtual_click "$@"; }
kwin_key() { virtual_key "$1"; }
kwin_focus() { kwin_windows | awk -F'|' '$8 == "true" {print $1 "@" $2}'; }
kwin_fullscreen() {
    kwin_js "for (const c of workspace.clientList()) if (c.caption === \"term-left\") c.fullScreen = $([ "$1" = on ] && echo true || echo false);" >/dev/null
    kwin_windows | grep -q "^term-left|[^|]*|[^|]*|[^|]*|[^|]*|[^|]*|$([ "$1" = on ] && echo true || echo false)|"
}
kwin_kind() { echo "Wayland client: KWin runs here without Xwayland"; }
kwin_geometry() {
    kwin_windows >"$work/windows.txt"
    grep -q '^Time to Stand!|0|0|0|1280|800|true|' "$work/windows.txt" || echo " none full screen on Virtual-0;"
    grep -q '^Time to Stand!|1|1280|0|1280|800|true|' "$work/windows.txt" || echo " none full screen on Virtual-1;"
}
