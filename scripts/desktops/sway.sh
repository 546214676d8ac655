# sway, Wayland, headless with two outputs (HEADLESS-1 1280x800, HEADLESS-2 1024x768 to its
# right) and swaybar's tray. sway refuses to run as root, so the session runs as a user made
# for the test. Input goes through sway's own seat (swaymsg seat cursor) and the virtual
# keyboard protocol (wtype). Sourced by run.sh.


sway_tree() { as_user swaymsg -t get_tree -r >"$work/tree.json" 2>/dev/null; }

# Windows of the tree, one line each: name|app_id|shell|output|x|y|w|h|fullscreen|focused|visible|id
sway_windows() {
    sway_tree || return 0
    /usr/bin/python3 - "$work/tree.json" <<'EOF'
import json, sys
tree = json.load(open(sys.argv[1]))
def walk(node, output):
    if node.get("type") == "output":
        output = node.get("name")
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        walk(child, output)
    if node.get("type") in ("con", "floating_con") and node.get("pid"):
        r = node["rect"]
        print("|".join(str(v) for v in (node.get("name"), node.get("app_id"), node.get("shell"), output,
              r["x"], r["y"], r["width"], r["height"], node.get("fullscreen_mode"),
              node.get("focused"), node.get("visible"), node.get("id"))))
walk(tree, None)
EOF
}
sway_overlay_ids() { sway_windows | awk -F'|' '$1 == "Time to Stand!" && $11 == "True" {print $12}'; }
sway_count() { # name count
    [ "$(sway_windows | awk -F'|' -v n="$1" '$1 == n && $11 == "True"' | wc -l)" -eq "$2" ]
}


run_sway() {
    make_test_user || return

    local home="$work/home"
    make_home "$home"
    chown -R "$sway_user:$sway_user" "$home"
    chmod 777 "$work"
    session_env="$(home_env "$home") PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8
        XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=sway
        DBUS_SESSION_BUS_ADDRESS=unix:path=$home/runtime/bus"

    setpriv --reuid="$sway_user" --regid="$sway_user" --init-groups --reset-env \
        env $session_env dbus-daemon --session --nofork --address="unix:path=$home/runtime/bus" \
        >"$work/dbus.log" 2>&1 &
    track $!
    wait_until 50 test -S "$home/runtime/bus"

    cat >"$work/sway.conf" <<'EOF'
output HEADLESS-1 mode 1280x800 position 0 0 bg #2e3440 solid_color
output HEADLESS-2 mode 1024x768 position 1280 0 bg #2e3440 solid_color
xwayland disable
default_border none
focus_follows_mouse no
workspace 1 output HEADLESS-1
workspace 2 output HEADLESS-2
assign [app_id="term-right"] workspace 2
bar {
    position top
    tray_output *
}
EOF
    chmod 644 "$work/sway.conf"
    as_user_exec WLR_BACKENDS=headless WLR_HEADLESS_OUTPUTS=2 WLR_LIBINPUT_NO_DEVICES=1 \
        WLR_RENDERER=pixman sway -c "$work/sway.conf" >"$work/sway.log" 2>&1 &
    track $!
    local sock=""
    wait_until 100 sh -c "ls $home/runtime/sway-ipc.*.sock >/dev/null 2>&1" &&
        sock="$(ls "$home"/runtime/sway-ipc.*.sock | head -n 1)"
    wait_until 50 sh -c "ls $home/runtime/wayland-* >/dev/null 2>&1"
    if [ -z "$sock" ]; then
        tail -n 20 "$work/sway.log" >&2
        skip_rest "sway did not start"
        return
    fi
    local wl
    wl="$(basename "$(ls "$home"/runtime/wayland-? | head -n 1)")"
    session_env="$session_env SWAYSOCK=$sock WAYLAND_DISPLAY=$wl"
    say "outputs: $(as_user swaymsg -t get_outputs -r | /usr/bin/python3 -c 'import json,sys; print(", ".join("%s %dx%d+%d+%d" % (o["name"], o["rect"]["width"], o["rect"]["height"], o["rect"]["x"], o["rect"]["y"]) for o in json.load(sys.stdin)))')"

    # The user's terminals, one on each output; the left one has the keyboard.
    start_foot_terminals
    wait_until 100 sway_count term-left 1 && wait_until 100 sway_count term-right 1
    as_user swaymsg '[app_id="term-left"] focus' >/dev/null
    # A virtual pointer and keyboard for the whole run.
    if ! start_virtual_input 2304 800; then
        skip_rest "could not build the virtual input client"
        return
    fi

    local applog="$work/quorvel.log"
    as_user_exec "$app" >"$applog" 2>&1 &
    local app_pid=$!
    track "$app_pid"

    # Tray icon: registered with swaybar's StatusNotifierWatcher.
    local items=""
    if wait_until 100 sni_items && ! sway_count Quorvel 1; then
        result tray pass "icon in swaybar ($items)"
        mode=tray
    elif sway_count Quorvel 1; then
        result tray FAIL "fallback window, not the tray"
        mode=window
    else
        result tray FAIL "neither a tray icon nor a window"
        mode=none
    fi
    sway_shoot desktop

    wayland_overlay_checks sway 1800 600 HEADLESS-1 "200,600 1000,200" HEADLESS-2 "150,600 900,150"

    # The app starts again without its stand reminder, so that no overlay comes in between.
    stop_app_quietly "$app_pid" "$home"
    as_user_exec "$app" >>"$applog" 2>&1 &
    app_pid=$!
    track "$app_pid"
    local before="$items"
    sway_restarted() { sni_items && [ "$items" != "$before" ]; }
    wait_until 100 sway_restarted || true
    as_user swaymsg '[app_id="term-left"] focus' >/dev/null
    as_user_exec "$app" >"$work/second.log" 2>&1 &
    local second=$!
    track "$second"
    if wait_until 100 sway_count Quorvel 1; then
        sleep 0.5
        sway_shoot panel
        local who
        who="$(sway_windows | awk -F'|' '$10 == "True" {print $1}')"
        result second-launch pass "panel shown; focus on '${who:-nothing}'"
    else
        result second-launch FAIL "no visible panel 10 s after a second launch"
    fi

    # The screen locked through logind (a stand-in on a private system bus), with the app
    # monitoring a camera.
    lock_check sway_overlay_ids as_user
    app_log_tail "$applog"
}

sway_shoot() { # name
    local o
    for o in HEADLESS-1 HEADLESS-2; do as_user grim -o "$o" "$work/shot.png" && cp "$work/shot.png" "$out/$1-$o.png"; done
}

# The hooks of wayland_overlay_checks (lib.sh).
sway_click() { virtual_click "$@"; }
sway_key() { virtual_key "$1"; }
sway_focus() { sway_windows | awk -F'|' '$10 == "True" {print $1 "@" $4}'; }
sway_fullscreen() {
    as_user swaymsg "[app_id=\"term-left\"] fullscreen $([ "$1" = on ] && echo enable || echo disable)" >/dev/null
    sway_windows | grep -q "^term-left|.*|$([ "$1" = on ] && echo 1 || echo 0)|[A-Za-z]*|[A-Za-z]*|[0-9]*\$"
}
sway_kind() { sway_windows | awk -F'|' '$1 == "Time to Stand!" {print $3; exit}'; }
sway_geometry() {
    sway_windows >"$work/windows.txt"
    grep -q '^Time to Stand!|.*|HEADLESS-1|0|0|1280|800|1|' "$work/windows.txt" || echo " none full screen on HEADLESS-1;"
    grep -q '^Time to Stand!|.*|HEADLESS-2|1280|0|1024|768|1|' "$work/windows.txt" || echo " none full screen on HEADLESS-2;"
}
