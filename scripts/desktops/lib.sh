# Shared by the desktop acceptance suite (sourced by run.sh and each desktop's script).
#
# Every process a desktop starts is recorded with `track PID` and ended by `stop_tracked`,
# which run.sh also calls from its EXIT trap. Results go to $results as lines
# "desktop<TAB>check<TAB>pass|FAIL|skip<TAB>note".

# The checks, in the order of the summary table.
checks=(tray overlay click escape keyboard second-launch lock)

tracked=()
track() { tracked+=("$1"); }

stop_tracked() {
    local pid i
    for ((i = ${#tracked[@]} - 1; i >= 0; i--)); do
        pid="${tracked[$i]}"
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${tracked[@]}"; do
        for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    tracked=()
}

say() { echo "[$desktop] $*"; }

result() { # check status note
    printf '%s\t%s\t%s\t%s\n' "$desktop" "$1" "$2" "${3:-}" >>"$results"
    say "$1: $2${3:+ ($3)}"
}

# Marks every check not yet reported for this desktop as skipped, with the reason.
skip_rest() { # reason
    local check
    for check in "${checks[@]}"; do
        grep -q "^$desktop	$check	" "$results" 2>/dev/null || result "$check" skip "$1"
    done
}

# Waits up to $1 tenths of a second for a command to succeed.
wait_until() { # tenths command...
    local n="$1"
    shift
    for _ in $(seq "$n"); do "$@" && return 0; sleep 0.1; done
    return 1
}

# Private folders for one desktop's session and the app's settings: a stand overlay every
# $stand_seconds, staying until dismissed, monitoring off (no camera).
make_home() { # dir
    local home="$1"
    mkdir -p "$home/.config/Quorvel" "$home/.local/share" "$home/.cache" "$home/runtime" "$home/tmp"
    chmod 700 "$home/runtime"
    cat >"$home/.config/Quorvel/Quorvel.conf" <<EOF
[General]
postureMonitoringEnabled=false
standReminderEnabled=true
waterReminderEnabled=false
standInterval=$stand_seconds
autoDismissTimeout=0
lastUpdateCheck=$(date +%s)
EOF
}

home_env() { # dir: the environment of a session in that home, as env arguments
    echo "HOME=$1 XDG_CONFIG_HOME=$1/.config XDG_DATA_HOME=$1/.local/share XDG_CACHE_HOME=$1/.cache XDG_RUNTIME_DIR=$1/runtime TMPDIR=$1/tmp"
}

# Ends the app (by its id) and turns its stand reminder off, so that no overlay comes up
# during the checks that follow a restart.
stop_app_quietly() { # pid home
    kill -TERM "$1" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    sed -i 's/^standReminderEnabled=.*/standReminderEnabled=false/' "$2/.config/Quorvel/Quorvel.conf"
}

# True when none of the overlay windows in $old_ids is on screen any more ($1 lists the
# ids of those on screen). A stand reminder that came due meanwhile may already have put
# the next overlay up, in windows of its own.
overlays_gone() { # lister
    local now id
    now="$("$1")"
    for id in $old_ids; do
        grep -qx "$id" <<<"$now" && return 1
    done
    return 0
}

# "R G B" of one pixel of an image.
pixel() { # image x y
    convert "$1" -crop "1x1+$2+$3" +repage -depth 8 -format '%[fx:int(255*r+0.5)] %[fx:int(255*g+0.5)] %[fx:int(255*b+0.5)]' info:
}

# The stand overlay's gradient runs from #F093FB to #F5576C: strong red, green between.
is_overlay_pixel() { # "R G B"
    local r g b
    read -r r g b <<<"$1"
    [ "$r" -ge 200 ] && [ "$g" -ge 60 ] && [ "$g" -le 175 ] && [ "$b" -ge 80 ]
}

# Checks a screenshot of one output: overlay gradient in its four corners and at the
# given points (where the user's terminal was). Prints what it found.
overlay_covers() { # image point... ("x,y")
    local img="$1" w h p x y ok=0 rgb
    shift
    read -r w h < <(identify -format '%w %h' "$img")
    for p in "8,8" "$((w - 8)),8" "8,$((h - 8))" "$((w - 8)),$((h - 8))" "$@"; do
        IFS=, read -r x y <<<"$p"
        rgb="$(pixel "$img" "$x" "$y")"
        if ! is_overlay_pixel "$rgb"; then
            printf '(%s,%s)=%s ' "$x" "$y" "${rgb// /,}"
            ok=1
        fi
    done
    return $ok
}

# The app's own log lines that matter, after a run.
app_log_tail() { # log
    grep -v -e '^QStandardPaths' "$1" 2>/dev/null | tail -n 5 | sed "s/^/[$desktop]   app: /"
}

# Wayland compositors run as a user made for the test (sway refuses root).
sway_user=quorvel-desktops
make_test_user() {
    if [ "$(id -u)" -ne 0 ]; then
        skip_rest "needs root to make the test user"
        return 1
    fi
    id "$sway_user" >/dev/null 2>&1 ||
        useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$sway_user"
    # A copy of the program the test user can reach (the checkout may be in root's home).
    install -m 755 "$app" "$work/quorvel"
    app="$work/quorvel"
}

# As the test user, in the session's environment ($session_env).
as_user() {
    # shellcheck disable=SC2086
    setpriv --reuid="$sway_user" --regid="$sway_user" --init-groups --reset-env \
        env $session_env "$@"
}
# The same for a process started in the background (`as_user_exec CMD &`): the shell that
# runs it becomes the process, so $! is the process to stop.
as_user_exec() {
    # shellcheck disable=SC2086
    exec setpriv --reuid="$sway_user" --regid="$sway_user" --init-groups --reset-env \
        env $session_env "$@"
}

# ---- Lock: the app under a stand-in logind (logind-standin.cpp) on a private system bus ----

lock_stand_seconds=9

# A system bus that every user may use, at $1, unless one is there already.
start_system_bus() { # socket
    [ -e "$1" ] && return 0
    cat >"$work/system-bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/><allow user="*"/></policy>
</busconfig>
EOF
    dbus-daemon --config-file="$work/system-bus.conf" --nofork >"$work/system-bus.log" 2>&1 &
    track $!
    wait_until 50 test -S "$1"
}

# logind's stand-in on the system bus at $1 (started unless there). Sets lock_bus.
start_logind() { # socket
    lock_bus="unix:path=$1"
    start_system_bus "$1" || return 1
    DBUS_SYSTEM_BUS_ADDRESS="$lock_bus" "$logind_standin" >"$work/logind.log" 2>&1 &
    track $!
    wait_until 50 grep -q '^ready' "$work/logind.log"
}

logind_says() { # Lock | Unlock | Sleep | Wake
    DBUS_SYSTEM_BUS_ADDRESS="$lock_bus" dbus-send --system --print-reply --dest=org.freedesktop.login1 \
        /org/freedesktop/login1 "org.quorvel.DesktopSuite.$1" >/dev/null
}

# Settings for an app that monitors a camera playing a grey picture, with a stand reminder
# every $lock_stand_seconds; prints the environment (env arguments) it runs with.
lock_app_setup() { # home
    convert -size 320x240 xc:'#808080' "$work/grey.jpg"
    cat "$work/grey.jpg" "$work/grey.jpg" >"$work/camera.mjpeg"
    : >"$work/camera-uses.log"
    mkdir -p "$work/models"
    cp "$root/build/models/"* "$work/models/"
    chmod -R a+rwX "$work/models" "$work/camera.mjpeg" "$work/camera-uses.log"
    sed -i -e 's/^postureMonitoringEnabled=.*/postureMonitoringEnabled=true/' \
        -e 's/^standReminderEnabled=.*/standReminderEnabled=true/' \
        -e "s/^standInterval=.*/standInterval=$lock_stand_seconds/" "$1/.config/Quorvel/Quorvel.conf"
    chown --reference="$1" "$1/.config/Quorvel/Quorvel.conf"
    echo "QUORVEL_CAMERA_SOURCE=$work/camera.mjpeg QUORVEL_CAMERA_SOURCE_LOG=$work/camera-uses.log" \
        "QUORVEL_MODEL_DIR=$work/models DBUS_SYSTEM_BUS_ADDRESS=$lock_bus"
}

camera_uses() { cat "$work/camera-uses.log" 2>/dev/null | grep -c "^$1\$"; }
camera_used() { [ "$(camera_uses "$1")" -ge "$2" ]; }
no_overlay() { [ -z "$("$1")" ]; }
some_overlay() { [ -n "$("$1")" ]; }
seconds_between() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.0f", b - a}'; }

# With the app just started (at $2, date +%s.%N) as lock_app_setup set it up: locks through
# logind once the camera is open, until past the stand reminder's due time, and unlocks.
# Checks that the camera closes on the lock and opens again after it, that no overlay comes
# up while locked, and that the reminder comes after the unlock when the time left at the
# lock has run, not at once (its countdown waits while the screen is locked); then that sleep
# and wake close and open the camera too. $1 lists the overlay windows; $3 notes what else
# the session offers.
lock_checks() { # lister launched [note]
    local lister="$1" launched="$2" note="${3:-}" locked unlocked shown left delay notes
    if ! wait_until 300 camera_used open 1; then
        result lock FAIL "the camera never opened"
        return
    fi
    if some_overlay "$lister"; then
        result lock FAIL "an overlay was up before the lock"
        return
    fi
    locked="$(date +%s.%N)"
    logind_says Lock
    if ! wait_until 100 camera_used close 1; then
        logind_says Unlock
        result lock FAIL "the camera stayed open 10 s after the lock"
        return
    fi
    # Locked until well past the reminder's due time; no overlay meanwhile.
    while [ "$(seconds_between "$launched" "$(date +%s.%N)")" -lt $((lock_stand_seconds + 4)) ]; do
        if some_overlay "$lister"; then
            logind_says Unlock
            result lock FAIL "an overlay came up while the screen was locked"
            return
        fi
        sleep 0.5
    done
    logind_says Unlock
    unlocked="$(date +%s.%N)"
    if ! wait_until 150 camera_used open 2; then
        result lock FAIL "the camera did not open again within 15 s of the unlock"
        return
    fi
    if ! wait_until $(((lock_stand_seconds + 25) * 10)) some_overlay "$lister"; then
        result lock FAIL "no stand overlay within $((lock_stand_seconds + 25)) s of the unlock"
        return
    fi
    shown="$(date +%s.%N)"
    left=$((lock_stand_seconds - $(seconds_between "$launched" "$locked")))
    delay="$(seconds_between "$unlocked" "$shown")"
    notes="camera closed on Lock, open again after Unlock; no overlay in $(seconds_between "$locked" "$unlocked") s locked"
    notes="$notes past the due time; stand overlay ${delay} s after the unlock (${left} s were left at the lock)"
    # Sleep and wake (logind's PrepareForSleep) release and take the camera the same way.
    logind_says Sleep
    if wait_until 100 camera_used close 2; then
        logind_says Wake
        if wait_until 150 camera_used open 3; then
            notes="$notes; camera closed on PrepareForSleep(true), open again after (false)"
        else
            result lock FAIL "$notes; the camera did not open again within 15 s of the wake"
            return
        fi
    else
        logind_says Wake
        result lock FAIL "$notes; the camera stayed open 10 s after PrepareForSleep(true)"
        return
    fi
    [ -z "$note" ] || notes="$notes; $note"
    if [ "$delay" -ge $((left - 4)) ]; then
        result lock pass "$notes"
    else
        result lock FAIL "$notes: too soon"
    fi
}

# The whole lock check of one desktop: the app (stopped first) starts again against logind's
# stand-in at $work/system_bus, monitoring a recording, and lock_checks runs. Uses the
# desktop's $app, $app_pid, $applog, $home and $work; prefix: how programs reach the session
# (empty on X11, as_user on the Wayland sessions).
lock_check() { # lister [prefix]
    local lister="$1" prefix="${2:-}" launched lock_env
    stop_app_quietly "$app_pid" "$home"
    if ! start_logind "$work/system_bus"; then
        result lock FAIL "logind's stand-in did not start"
        return
    fi
    lock_env="$(lock_app_setup "$home")"
    launched="$(date +%s.%N)"
    # shellcheck disable=SC2086
    if [ -n "$prefix" ]; then
        as_user_exec env $lock_env "$app" >>"$applog" 2>&1 &
    else
        env $lock_env "$app" >>"$applog" 2>&1 &
    fi
    track $!
    lock_checks "$lister" "$launched" "$(session_savers $prefix)"
}

# The screen savers on the session bus (the app follows their ActiveChanged too); prefix:
# how to reach the session bus (empty, or as_user).
session_savers() { # [prefix]
    local names
    names="$(${1:-} dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.ListNames 2>/dev/null |
        grep -o '"org\.\(freedesktop\|gnome\)\.ScreenSaver"' | tr -d '"' | sort -u | paste -sd, -)"
    echo "session bus: ${names:-no ScreenSaver service}"
}

# The suite's virtual pointer and keyboard (virtual-input.c), built for the run and kept
# for all of it, as the test user; virtual_input sends it one command. Built before the
# compositor starts where the compositor must know its path (KWin).
build_virtual_input() {
    [ -x "$work/virtual-input" ] && return 0
    cc -O1 -o "$work/virtual-input" "$here/virtual-input.c" -lwayland-client -lxkbcommon 2>"$work/cc.log" && return 0
    cat "$work/cc.log" >&2
    return 1
}
start_virtual_input() { # layout-width layout-height
    build_virtual_input || return 1
    mkfifo -m 666 "$work/input"
    as_user_exec "$work/virtual-input" "$1" "$2" <"$work/input" >"$work/virtual-input.log" 2>&1 &
    track $!
    exec 7>"$work/input"
}
virtual_input() { echo "$*" >&7 && sleep 0.3; }
virtual_click() { virtual_input move "$1" "$2" && virtual_input click; }
virtual_key() { case "$1" in q) virtual_input key 16 ;; Escape) virtual_input key 1 ;; esac; }

# The user's terminals in foot, as the test user: term-left and term-right, each writing the
# keys it gets to $work/keys-left or keys-right.
start_foot_terminals() {
    local side
    for side in left right; do
        as_user_exec foot -a "term-$side" -T "term-$side" -o colors.background=000000 \
            sh -c "stty -icanon -echo; exec cat >'$work/keys-$side'" >"$work/foot-$side.log" 2>&1 &
        track $!
    done
}

# The StatusNotifierItems registered with the session's watcher, into $items; true when any.
sni_items() {
    items="$(as_user dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher \
        /StatusNotifierWatcher org.freedesktop.DBus.Properties.Get \
        string:org.kde.StatusNotifierWatcher string:RegisteredStatusNotifierItems 2>/dev/null |
        grep -o '"[^"]*"' | tr -d '"' | paste -sd ' ' -)"
    [ -n "$items" ]
}

# The end of a second launch with a launcher's activation token ($1): the panel must come up
# with the keyboard. $2 is the prefix of the desktop's hooks (see wayland_overlay_checks),
# $3 what a launch without a token did.
token_launch_result() { # token prefix without
    local token="$1" p="$2" without="$3" who
    if wait_until 100 "${p}_count" Quorvel 1; then
        sleep 0.5
        "${p}_shoot" panel
        who="$("${p}_focus")"
        who="${who%@*}"
        if [ "$who" = Quorvel ]; then
            result second-launch pass "with the launcher's token: panel shown with the keyboard; without one: $without"
        else
            result second-launch FAIL "with the launcher's token: panel shown, keyboard stays with '$who'; without one: $without"
        fi
    else
        result second-launch FAIL "with the launcher's token ${token:-(none made)}: no visible panel; without one: $without"
    fi
}

# ---- The overlay checks of a Wayland desktop ----

# The overlay over both outputs, then a click on the second output and Escape. For its
# prefix P, the desktop's script defines
#   P_count TITLE N      true when N windows of that title are on screen
#   P_overlay_ids        the ids of the overlay windows on screen
#   P_shoot NAME         screenshots of the outputs, as $out/NAME-OUTPUT.png
#   P_click X Y          a click at X,Y of the layout
#   P_key q|Escape       a key typed
#   P_focus              the window with the keyboard, as title@output
#   P_geometry           what is wrong with the overlay windows' geometry (nothing when right)
#   P_kind               what kind of client the overlay is, for the notes
#   P_fullscreen on|off  the left terminal full screen, or back; true once it is so
# Arguments: the prefix, the click's point, then for each output its name and the points
# (x,y of the output) where the user's terminal was, which the overlay's gradient must cover.
wayland_overlay_checks() { # prefix click-x click-y output1 "points1" output2 "points2"
    local p="$1" cx="$2" cy="$3" o1="$4" p1="$5" o2="$6" p2="$7" left="maximised"
    # The overlay must come above a full-screen window too.
    wait_until 30 "${p}_fullscreen" on && left="full screen"
    wayland_overlay_steps "$@"
    "${p}_fullscreen" off || true
}
wayland_overlay_steps() {
    local p="$1" cx="$2" cy="$3" o1="$4" p1="$5" o2="$6" p2="$7"
    if ! wait_until $((stand_seconds * 10 + 150)) "${p}_count" "Time to Stand!" 2; then
        result overlay FAIL "the overlay windows did not come up on both outputs"
        "${p}_shoot" overlay
        for c in click escape keyboard; do result "$c" skip "no overlay"; done
        return
    fi
    # Painted within a few seconds (the fade-in takes 0.8 s).
    local bad="" notes try
    for try in 1 2 3 4 5 6 7 8; do
        sleep 0.6
        "${p}_shoot" overlay
        bad=""
        # shellcheck disable=SC2086
        notes="$(overlay_covers "$out/overlay-$o1.png" $p1)" || bad="$bad $o1 not covered at $notes;"
        # shellcheck disable=SC2086
        notes="$(overlay_covers "$out/overlay-$o2.png" $p2)" || bad="$bad $o2 not covered at $notes;"
        [ -n "$bad" ] || break
    done
    bad="$bad$("${p}_geometry")"
    if [ -z "$bad" ]; then
        result overlay pass "full screen on both outputs over the terminals, the left one $left ($("${p}_kind"))"
    else
        result overlay FAIL "$bad"
    fi

    old_ids="$("${p}_overlay_ids")"
    "${p}_click" "$cx" "$cy"
    if wait_until 30 overlays_gone "${p}_overlay_ids"; then
        result click pass
    elif "${p}_click" "$cx" "$cy" && wait_until 30 overlays_gone "${p}_overlay_ids"; then
        result click pass "at the second click"
    else
        result click FAIL "overlay still up 3 s after each of two clicks on $o2"
    fi

    if ! wait_until $((stand_seconds * 10 + 100)) "${p}_count" "Time to Stand!" 2; then
        result escape FAIL "the second overlay never came"
        result keyboard skip "no second overlay"
        return
    fi
    sleep 1
    local focus
    focus="$("${p}_focus")"
    old_ids="$("${p}_overlay_ids")"
    "${p}_key" q
    "${p}_key" Escape
    if wait_until 30 overlays_gone "${p}_overlay_ids"; then
        result escape pass "focus was on ${focus:-nothing}"
    elif "${p}_key" Escape && wait_until 30 overlays_gone "${p}_overlay_ids"; then
        result escape pass "at the second Escape; focus was on ${focus:-nothing}"
    else
        result escape FAIL "overlay still up 3 s after each of two Escapes (focus on ${focus:-nothing})"
    fi
    if grep -q q "$work/keys-left" 2>/dev/null; then
        result keyboard pass "'q' reached the terminal"
    else
        result keyboard skip "overlay takes it (Wayland: the focused overlay gets keys; focus on ${focus:-nothing})"
    fi
}

# Where the terminals were (from a window list saved before the overlay: title|output|x|y|w|h
# in fields 1 and 3 to 6), relative to their outputs: two points each.
terminal_points() { # list title output-x
    awk -F'|' -v t="$2" -v ox="$3" '$1 == t {printf "%d,%d %d,%d", $3 - ox + $5 / 4, $4 + $6 * 3 / 4, $3 - ox + 20, $4 + 20}' "$1"
}
