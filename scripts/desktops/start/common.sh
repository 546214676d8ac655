# shellcheck shell=bash
# Sourced by the start scripts: each starts one desktop session and prints "ready" once it
# is up, then stays until the suite ends its process group. A step that fails ends the
# script with a message on standard error, which the suite reports as the set-up failure.

# Waits up to $1 tenths of a second for a command to succeed.
wait_for() {
    local n="$1"
    shift
    for _ in $(seq "$n"); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

fail() {
    echo "$*" >&2
    exit 1
}

# The session bus, at DBUS_SESSION_BUS_ADDRESS (unix:path=...).
start_session_bus() {
    dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS" &
    wait_for 50 test -S "${DBUS_SESSION_BUS_ADDRESS#unix:path=}" || fail "the session bus did not start"
}

# A command started once the suite creates $XDG_RUNTIME_DIR/start-tray (a tray that comes
# after Quorvel), or at once when QUORVEL_LATE_TRAY is not set.
when_asked() {
    if [ -n "${QUORVEL_LATE_TRAY:-}" ]; then
        until [ -e "$XDG_RUNTIME_DIR/start-tray" ]; do sleep 0.2; done
    fi
    exec "$@"
}

# Plasma's shell, once the services it needs are up: the tray's watcher (in kded5, Plasma 6's
# kded6) and the activity manager (without which plasmashell gives up).
start_plasma() {
    local manager
    manager="$(echo /usr/lib/*/libexec/kactivitymanagerd)"
    "$(command -v kded6 || echo kded5)" &
    "$manager" &
    wait_for 300 dbus-send --session --print-reply --dest=org.kde.ActivityManager /ActivityManager/Activities \
        org.kde.ActivityManager.Activities.CurrentActivity || fail "kactivitymanagerd did not start"
    plasmashell &
}
