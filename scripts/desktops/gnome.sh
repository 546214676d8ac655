# GNOME Shell 43, Wayland, headless with two virtual monitors (1280x800, 1024x768), with or
# without the AppIndicator extension. The machine has no logind: the shell runs in a mount
# namespace where /run/systemd is hidden, beside a system bus of its own. A test-only
# extension turns on the shell's unsafe mode, which opens org.gnome.Shell.Eval (the window
# list, virtual input devices) and org.gnome.Shell.Screenshot. Sourced by run.sh;
# run_gnome appindicator|none. Uses as_user and the test user of sway.sh.

gnome_eval() { # JavaScript; prints its value as JSON
    # As a GVariant string: one line, quotes and backslashes escaped.
    local code
    code="$(printf '%s' "$1" | tr '\n' ' ' | sed -e 's/\\/\\\\/g' -e "s/'/\\\\'/g")"
    as_user gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
        --method org.gnome.Shell.Eval "'$code'" 2>/dev/null | /usr/bin/python3 -c '
import ast, sys
text = sys.stdin.read().strip()
if not text:
    sys.exit(1)
ok, value = ast.literal_eval(text.replace("(true,", "(True,", 1).replace("(false,", "(False,", 1))
print(value)
sys.exit(0 if ok else 1)'
}

# Windows, one line each: title|monitor|x|y|w|h|fullscreen|focus|visible|client|id
gnome_windows() {
    gnome_eval 'global.get_window_actors().map(a => { const w = a.meta_window;
        const r = w.get_frame_rect(); return [w.get_title(), w.get_monitor(), r.x, r.y, r.width,
        r.height, w.is_fullscreen(), w.has_focus(), a.visible && !w.minimized,
        w.get_client_type(), w.get_id()].join("|"); })' |
        /usr/bin/python3 -c 'import json, sys; print("\n".join(json.loads(sys.stdin.read() or "[]")))'
}
gnome_overlay_ids() { gnome_windows | awk -F'|' '$1 == "Time to Stand!" && $9 == "true" {print $11}'; }
gnome_count() { # title count
    [ "$(gnome_windows | awk -F'|' -v n="$1" '$1 == n && $9 == "true"' | wc -l)" -eq "$2" ]
}

# Virtual input devices of the shell's own seat, made once and kept for the run.
gnome_input() { # JavaScript using kb, ptr, t
    gnome_eval "const Clutter = imports.gi.Clutter; const GLib = imports.gi.GLib;
        if (!global._quorvelKb) { const seat = Clutter.get_default_backend().get_default_seat();
            global._quorvelKb = seat.create_virtual_device(Clutter.InputDeviceType.KEYBOARD_DEVICE);
            global._quorvelPtr = seat.create_virtual_device(Clutter.InputDeviceType.POINTER_DEVICE); }
        const kb = global._quorvelKb, ptr = global._quorvelPtr; const t = GLib.get_monotonic_time();
        $1; 'ok'" >/dev/null
}
gnome_key() { # keyval name (Clutter.KEY_...)
    gnome_input "kb.notify_keyval(t, Clutter.KEY_$1, Clutter.KeyState.PRESSED)"
    sleep 0.1
    gnome_input "kb.notify_keyval(t, Clutter.KEY_$1, Clutter.KeyState.RELEASED)"
}
gnome_click() { # x y: one event at a time, each handled before the next
    gnome_input "ptr.notify_absolute_motion(t, $1, $2)"
    sleep 0.2
    gnome_input "ptr.notify_button(t, Clutter.BUTTON_PRIMARY, Clutter.ButtonState.PRESSED)"
    sleep 0.1
    gnome_input "ptr.notify_button(t, Clutter.BUTTON_PRIMARY, Clutter.ButtonState.RELEASED)"
}

gnome_shoot() { # name
    local i=0 m x y w h
    for m in "0 0 1280 800" "1280 0 1024 768"; do
        read -r x y w h <<<"$m"
        as_user gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell/Screenshot \
            --method org.gnome.Shell.Screenshot.ScreenshotArea "$x" "$y" "$w" "$h" false \
            "$work/shot-$i.png" >/dev/null 2>&1 && cp "$work/shot-$i.png" "$out/$1-monitor$i.png"
        i=$((i + 1))
    done
}

run_gnome() { # appindicator|none
    local indicator="$1"
    make_test_user || return
    local home="$work/home"
    make_home "$home"
    local ext="$home/.local/share/gnome-shell/extensions/quorvel-test@quorvel.com"
    mkdir -p "$ext" "$home/.config/glib-2.0/settings"
    cat >"$ext/metadata.json" <<'EOF'
{"uuid": "quorvel-test@quorvel.com", "name": "Quorvel test hooks", "description": "Opens Eval and Screenshot for the desktop suite", "shell-version": ["43"]}
EOF
    cat >"$ext/extension.js" <<'EOF'
function init() {}
function enable() { global.context.unsafe_mode = true; }
function disable() {}
EOF
    local enabled="'quorvel-test@quorvel.com'"
    [ "$indicator" = appindicator ] && enabled="$enabled, 'ubuntu-appindicators@ubuntu.com'"
    cat >"$home/.config/glib-2.0/settings/keyfile" <<EOF
[org/gnome/shell]
enabled-extensions=[$enabled]
welcome-dialog-last-shown-version='999'

[org/gnome/desktop/interface]
enable-animations=false

[org/gnome/desktop/background]
picture-options='none'
primary-color='#2e3440'
color-shading-type='solid'
EOF
    chown -R "$sway_user:$sway_user" "$home"
    chmod 777 "$work"
    # A system bus of its own (no logind on it).
    start_system_bus "$work/system_bus"
    session_env="$(home_env "$home") PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8
        XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME GSETTINGS_BACKEND=keyfile
        DBUS_SESSION_BUS_ADDRESS=unix:path=$home/runtime/bus
        DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/system_bus WAYLAND_DISPLAY=wayland-0"
    as_user_exec dbus-daemon --session --nofork --address="unix:path=$home/runtime/bus" >"$work/dbus.log" 2>&1 &
    track $!
    wait_until 50 test -S "$home/runtime/bus"

    unshare --mount --propagation private sh -c '
        [ -d /run/systemd ] && mount -t tmpfs tmpfs /run/systemd
        exec "$@"' sh \
        setpriv --reuid="$sway_user" --regid="$sway_user" --init-groups --reset-env \
        env $session_env gnome-shell --headless --wayland --no-x11 \
        --virtual-monitor 1280x800 --virtual-monitor 1024x768 >"$work/gnome-shell.log" 2>&1 &
    track $!
    if ! wait_until 300 gnome_eval '"up"' >/dev/null; then
        tail -n 30 "$work/gnome-shell.log" >&2
        skip_rest "GNOME Shell did not start (or its Eval stayed closed)"
        return
    fi
    # The shell opens the overview when it has started; the desktop is wanted.
    gnome_started() { [ "$(gnome_eval '!imports.ui.main.layoutManager._startingUp')" = true ]; }
    wait_until 100 gnome_started || true
    gnome_eval 'imports.ui.main.overview.hide(); "ok"' >/dev/null || true
    say "monitors: $(gnome_eval '[...Array(global.display.get_n_monitors()).keys()].map(i => { const g = global.display.get_monitor_geometry(i); return g.width + "x" + g.height + "+" + g.x + "+" + g.y; }).join(", ")')"

    # The user's terminals, one maximised on each monitor; the left one has the keyboard.
    start_foot_terminals
    wait_until 100 gnome_count term-left 1 && wait_until 100 gnome_count term-right 1
    local place='imports.ui.main.overview.hide(); const Meta = imports.gi.Meta; for (const a of global.get_window_actors()) { const w = a.meta_window;
        if (w.get_title() === "term-right") w.move_to_monitor(1); else if (w.get_title() === "term-left") w.move_to_monitor(0);
        if (w.get_title().startsWith("term-")) w.maximize(Meta.MaximizeFlags.BOTH); }
        for (const a of global.get_window_actors()) if (a.meta_window.get_title() === "term-left") a.meta_window.activate(global.get_current_time()); "ok"'
    gnome_eval "$place" >/dev/null
    gnome_input "'init'" # the virtual keyboard and pointer, for the whole run

    local applog="$work/quorvel.log"
    as_user_exec "$app" >"$applog" 2>&1 &
    local app_pid=$!
    track "$app_pid"
    local mode=none items=""
    if [ "$indicator" = appindicator ]; then
        if wait_until 100 sni_items && ! gnome_count Quorvel 1; then mode=tray; fi
    fi
    [ "$mode" = tray ] || { wait_until 100 gnome_count Quorvel 1 && mode=window; }
    case "$indicator/$mode" in
    appindicator/tray) result tray pass "icon in the top bar ($items)" ;;
    none/window) result tray pass "fallback window" ;;
    *) result tray FAIL "expected ${indicator/none/the fallback window}, got $mode" ;;
    esac
    # The fallback window takes the focus at start; the user goes back to the terminal.
    gnome_eval "$place" >/dev/null
    gnome_shoot desktop
    gnome_windows >"$work/before.txt"

    wayland_overlay_checks gnome 1800 600 monitor0 "$(terminal_points "$work/before.txt" term-left 0)" \
        monitor1 "$(terminal_points "$work/before.txt" term-right 1280)"

    # A second launch. Started by hand (no token), then as the shell starts apps: with an
    # activation token made at the moment of the launch. The app starts again without its
    # stand reminder, so that no overlay comes in between.
    stop_app_quietly "$app_pid" "$home"
    as_user_exec "$app" >>"$applog" 2>&1 &
    app_pid=$!
    track "$app_pid"
    local before="$items"
    gnome_restarted() { if [ "$mode" = tray ]; then sni_items && [ "$items" != "$before" ]; else gnome_count Quorvel 1; fi; }
    wait_until 100 gnome_restarted || true
    gnome_eval "$place" >/dev/null
    local minimise='for (const a of global.get_window_actors()) if (a.meta_window.get_title() === "Quorvel") a.meta_window.minimize(); "ok"'
    [ "$mode" = window ] && gnome_eval "$minimise" >/dev/null && wait_until 30 gnome_count Quorvel 0
    as_user "$app" >"$work/second.log" 2>&1
    local plain="panel stays hidden"
    wait_until 30 gnome_count Quorvel 1 && plain="panel shown"
    gnome_eval "$place" >/dev/null
    [ "$mode" = window ] && gnome_eval "$minimise" >/dev/null && wait_until 30 gnome_count Quorvel 0
    local token
    token="$(gnome_eval 'const Gio = imports.gi.Gio;
        const ctx = global.create_app_launch_context(global.display.get_current_time_roundtrip(), -1);
        ctx.get_startup_notify_id(Gio.AppInfo.create_from_commandline("quorvel", "Quorvel", 0), [])' | tr -d '"' || true)"
    as_user ${token:+XDG_ACTIVATION_TOKEN=$token} "$app" >>"$work/second.log" 2>&1
    token_launch_result "$token" gnome "$plain"

    # The screen locked through logind (a stand-in on the session's system bus; the shell
    # does not follow it, having no /run/systemd), with the app monitoring a camera.
    lock_check gnome_overlay_ids as_user
    app_log_tail "$applog"
}

# The hooks of wayland_overlay_checks (lib.sh).
gnome_focus() { gnome_windows | awk -F'|' '$8 == "true" {print $1 "@" $2}'; }
gnome_fullscreen() {
    gnome_eval "for (const a of global.get_window_actors()) if (a.meta_window.get_title() === \"term-left\")
        a.meta_window.$([ "$1" = on ] && echo make_fullscreen || echo unmake_fullscreen)(); \"ok\"" >/dev/null
    gnome_windows | grep -q "^term-left|[^|]*|[^|]*|[^|]*|[^|]*|[^|]*|$([ "$1" = on ] && echo true || echo false)|"
}
gnome_kind() { gnome_windows | awk -F'|' '$1 == "Time to Stand!" {print ($10 == 0 ? "Wayland client" : "X11 client"); exit}'; }
gnome_geometry() {
    gnome_windows >"$work/windows.txt"
    grep -q '^Time to Stand!|0|0|0|1280|800|true|' "$work/windows.txt" || echo " none full screen on monitor 0;"
    grep -q '^Time to Stand!|1|1280|0|1024|768|true|' "$work/windows.txt" || echo " none full screen on monitor 1;"
}
