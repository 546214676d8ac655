#!/usr/bin/env bash
# The install test of the Debian package (make test-package): on a clean, minimal Debian
# system of the release the package is for, in a folder, `apt install ./quorvel_<version>_<arch>.deb` (apt resolves the
# dependencies, without recommended packages: what Depends names must be enough), then as a
# user with an empty home, on a private X server and session bus (no tray there):
#   - `quorvel --version` prints the package's version;
#   - /usr/bin/quorvel brings up its fallback window "Quorvel";
#   - switching posture monitoring on (the panel's first switch, with the keyboard) with a
#     recorded camera (QUORVEL_CAMERA_SOURCE) loads the pose model from
#     /usr/share/quorvel/models (its quorvel.posture log line);
# then `apt remove quorvel` and `apt purge quorvel` must leave no file of the package, and
# the user's files stay.
# Prints each step's time and the installed size.
#
#   scripts/package/test.sh            the package for this machine's release, built here
#   scripts/package/test.sh trixie     the package for Debian 13, built on a fresh Debian 13
#                                      (scripts/release/run.sh) when this machine runs another
#   scripts/package/test.sh trixie --built    the one such a system already built
#                                      (scripts/release/run.sh trixie make package)
#
# The base system (mmdebstrap, variant apt, from deb.debian.org) is kept in
# ~/.cache/quorvel/<suite>-package and made again when a week old; the packages apt downloads
# are kept beside it. Each run unpacks a fresh copy. Needs root (or sudo), as chroot does.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
here_suite="$(. /etc/os-release && echo "$VERSION_CODENAME")"
suite="${1:-$here_suite}"
[ "$suite" = --inside ] && suite="${2:?}"
prebuilt=0
[ "${2:-}" = --built ] && prebuilt=1
cache="${XDG_CACHE_HOME:-$HOME/.cache}/quorvel/$suite-package"
work="$root/build/package-test-$suite"
mirror="http://deb.debian.org/debian"
# Where the package is built: here, or on a fresh system of its release.
if [ "$suite" = "$here_suite" ]; then
    built="$root/build/package"
else
    built="$root/build/release-$suite/build/package"
fi

now() { date +%s.%N; }
step_started=""
step_name=""
begin() { step_name="$1"; step_started="$(now)"; }
end() { # [note]
    printf 'test-package: %-44s %6.1f s%s\n' "$step_name" \
        "$(awk -v a="$step_started" -v b="$(now)" 'BEGIN {print b - a}')" "${1:+  ($1)}"
}
fail() { echo "test-package: FAILED: $*" >&2; exit 1; }

if [ "${1:-}" != --inside ]; then
    if [ "$(id -u)" -ne 0 ]; then
        exec sudo --preserve-env=HOME,XDG_CACHE_HOME,JOBS "$0" "$@"
    fi
    # The package, built when the sources changed since the last build.
    begin "package for $suite (built if needed)"
    mkdir -p "$root/build"
    if [ "$prebuilt" = 1 ]; then
        echo "package: $(ls "$built"/quorvel_*.deb 2>/dev/null)" >"$root/build/package-build.out"
    elif [ "$suite" = "$here_suite" ]; then
        "$root/scripts/package/build.sh" >"$root/build/package-build.out" 2>&1
    else
        "$root/scripts/release/run.sh" "$suite" scripts/package/build.sh \
            >"$root/build/package-build.out" 2>&1
    fi || { cat "$root/build/package-build.out" >&2; fail "the package did not build"; }
    end "$(grep '^package: ' "$root/build/package-build.out" | tail -n 1 | sed 's/^package: //')"

    # The base system, cached.
    base="$cache/$suite-apt.tar"
    begin "$suite base system"
    mkdir -p "$cache/archives/partial"
    if [ -f "$base" ] && [ -n "$(find "$base" -mmin -$((7 * 24 * 60)))" ]; then
        end "cached, $(du -m "$base" | cut -f1) MB"
    else
        # A user for the test, with no home yet.
        mmdebstrap --quiet --variant=apt --skip=cleanup/apt/lists \
            --customize-hook='echo "tester:x:1000:1000::/home/tester:/bin/sh" >>"$1/etc/passwd"' \
            --customize-hook='echo "tester:x:1000:" >>"$1/etc/group"' \
            "$suite" "$cache/$suite-apt.new.tar" \
            "deb $mirror $suite main" "deb $mirror $suite-updates main" \
            "deb http://deb.debian.org/debian-security $suite-security main" ||
            fail "mmdebstrap could not make the base system"
        mv -f "$cache/$suite-apt.new.tar" "$base"
        end "made, $(du -m "$base" | cut -f1) MB"
    fi
    # The rest in a mount namespace of its own: its mounts go away with it.
    exec unshare --mount --propagation private -- "$0" --inside "$suite"
fi

# --- inside the mount namespace --------------------------------------------------------

version="$(dpkg-parsechangelog -l "$root/debian/changelog" -SVersion)"
arch="$(dpkg-architecture -qDEB_HOST_ARCH)"
deb="$built/quorvel_${version}_${arch}.deb"
sys="$work/root"
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

begin "unpack a fresh copy"
rm -rf --one-file-system "$work"
mkdir -p "$sys"
tar -xf "$cache/$suite-apt.tar" -C "$sys"
cp /etc/resolv.conf "$sys/etc/resolv.conf"
# No service starts inside, and dpkg does not wait for the disk (a throwaway system).
printf '#!/bin/sh\nexit 101\n' >"$sys/usr/sbin/policy-rc.d"
chmod 755 "$sys/usr/sbin/policy-rc.d"
echo force-unsafe-io >"$sys/etc/dpkg/dpkg.cfg.d/unsafe-io"
# apt keeps what it downloads in the cache shared between runs (`apt` would delete it).
echo 'Binary::apt::APT::Keep-Downloaded-Packages "true";' >"$sys/etc/apt/apt.conf.d/90keep-debs"
mount -t proc proc "$sys/proc"
mount --rbind /dev "$sys/dev"
mount --bind "$cache/archives" "$sys/var/cache/apt/archives"
mkdir -p "$sys/tmp/.X11-unix"
[ -d /tmp/.X11-unix ] || mkdir -m 1777 /tmp/.X11-unix
mount --bind /tmp/.X11-unix "$sys/tmp/.X11-unix"
install -m 644 "$deb" "$sys/tmp/"
in_root() { chroot "$sys" "$@"; }
packages_before="$(in_root dpkg-query -W -f='${Package}\n' | wc -l)"
used_before="$(du -skx "$sys" | cut -f1)"
end

begin "apt install ./$(basename "$deb")"
install_deb() {
    in_root env DEBIAN_FRONTEND=noninteractive apt install -y --no-install-recommends \
        "/tmp/$(basename "$deb")" >>"$work/apt.log" 2>&1
}
# A week-old base may name package versions the mirror no longer has: refresh and retry.
install_deb || { in_root apt-get update -qq >>"$work/apt.log" 2>&1 && install_deb; } ||
    { tail -n 30 "$work/apt.log" >&2; fail "apt could not install the package"; }
added="$(($(in_root dpkg-query -W -f='${Package}\n' | wc -l) - packages_before))"
size="$(in_root dpkg-query -W -f='${Installed-Size}' quorvel)"
grown="$((($(du -skx "$sys" | cut -f1) - used_before) / 1024))"
end "$added packages"
echo "test-package: installed size: quorvel $size KiB; the system grew by $grown MiB with its dependencies"
echo "test-package: quorvel depends on: $(dpkg-deb -f "$deb" Depends)"

begin "quorvel --version"
printed="$(in_root /usr/bin/quorvel --version 2>&1)" || fail "quorvel --version failed: $printed"
[ "$printed" = "Quorvel $version" ] || fail "quorvel --version printed \"$printed\", not \"Quorvel $version\""
end "$printed"

# A private X server and session bus for the test user; the chroot reaches the X server's
# socket through /tmp/.X11-unix and the bus through its runtime folder.
n=140
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
export DISPLAY=":$n"
Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
mkdir -p "$sys/home/tester" "$sys/run/user/1000"
chown 1000:1000 "$sys/home/tester" "$sys/run/user/1000"
chmod 700 "$sys/run/user/1000"
setpriv --reuid=1000 --regid=1000 --clear-groups \
    dbus-daemon --session --nofork --address="unix:path=$sys/run/user/1000/bus" \
    >"$work/dbus.log" 2>&1 &
pids+=($!)
# A recording for the camera: a person, 320x240, two frames.
convert "$root/tests/data/astronaut.png" -resize 320x240 "jpg:$work/frame.jpg"
cat "$work/frame.jpg" "$work/frame.jpg" >"$sys/tmp/camera.mjpeg"
chmod 644 "$sys/tmp/camera.mjpeg"
for _ in $(seq 100); do
    [ -S "/tmp/.X11-unix/X$n" ] && [ -S "$sys/run/user/1000/bus" ] && break
    sleep 0.1
done
[ -S "/tmp/.X11-unix/X$n" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
[ -S "$sys/run/user/1000/bus" ] || fail "the session bus did not start: $(cat "$work/dbus.log")"

begin "start: the fallback window comes up"
chroot --userspec=1000:1000 "$sys" env -i PATH=/usr/bin:/bin HOME=/home/tester USER=tester \
    LANG=C.UTF-8 DISPLAY="$DISPLAY" XDG_RUNTIME_DIR=/run/user/1000 \
    DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus \
    QT_LOGGING_RULES="quorvel.posture.info=true" QUORVEL_CAMERA_SOURCE=/tmp/camera.mjpeg \
    /usr/bin/quorvel >"$work/quorvel.log" 2>&1 &
app=$!
pids+=("$app")
window=""
for _ in $(seq 300); do
    window="$(xdotool search --onlyvisible --name '^Quorvel$' 2>/dev/null | head -n 1 || true)"
    [ -n "$window" ] && break
    kill -0 "$app" 2>/dev/null || break
    sleep 0.1
done
[ -n "$window" ] || { cat "$work/quorvel.log" >&2; fail "the window \"Quorvel\" never came up"; }
geometry="$(xwininfo -id "$window" | awk '/Width:/ {w=$2} /Height:/ {h=$2} /Map State:/ {m=$3}
    END {print w "x" h ", " m}')"
end "window $window, $geometry"

begin "monitoring on: the model loads"
# The panel's first switch is posture monitoring: give the window the keyboard, press Space
# (again if the key came before the window had the focus).
settings="$sys/home/tester/.config/Quorvel/Quorvel.conf"
monitoring_on() { grep -q '^postureMonitoringEnabled=true' "$settings" 2>/dev/null; }
for _ in 1 2 3; do
    xdotool windowfocus --sync "$window" key --clearmodifiers space 2>/dev/null || true
    for _ in $(seq 30); do monitoring_on && break 2; sleep 0.1; done
done
monitoring_on || { cat "$work/quorvel.log" >&2; fail "Space on the window did not switch monitoring on"; }
loaded=""
for _ in $(seq 300); do
    loaded="$(grep -m 1 'pose model loaded from' "$work/quorvel.log" || true)"
    [ -n "$loaded" ] && break
    sleep 0.1
done
[ -n "$loaded" ] || { cat "$work/quorvel.log" >&2; fail "the pose model never loaded"; }
case "$loaded" in
*"loaded from /usr/share/quorvel/models:"*) ;;
*) cat "$work/quorvel.log" >&2; fail "the pose model did not load from /usr/share/quorvel/models: $loaded" ;;
esac
kill -0 "$app" 2>/dev/null || fail "quorvel ended on its own"
end "${loaded#*: }"
kill "$app"
wait "$app" 2>/dev/null || true

listing="$(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' | grep -v '^/*$')"
# Fails when a path of the package is still there, but for folders another package owns too
# (/usr/share/applications ...).
check_nothing_left() {
    local path left=()
    while IFS= read -r path; do
        [ -e "$sys$path" ] || [ -L "$sys$path" ] || continue
        if [ -d "$sys$path" ] && [ ! -L "$sys$path" ] && in_root dpkg-query -S "$path" >/dev/null 2>&1; then
            continue
        fi
        left+=("$path")
    done <<<"$listing"
    [ "${#left[@]}" -eq 0 ] || fail "files of the package are left: ${left[*]}"
    [ -f "$settings" ] || fail "the user's settings went with the package"
}

begin "apt remove quorvel: no file left"
in_root env DEBIAN_FRONTEND=noninteractive apt remove -y quorvel >>"$work/apt.log" 2>&1 ||
    fail "apt remove failed"
check_nothing_left
end "$(wc -l <<<"$listing") paths checked; the user's settings stay"

# Removing a package without configuration files leaves nothing to purge: install it again
# (its dependencies are still there) and purge it.
begin "apt purge quorvel (installed again): no file left"
install_deb || fail "apt could not install the package again"
in_root env DEBIAN_FRONTEND=noninteractive apt purge -y quorvel >>"$work/apt.log" 2>&1 ||
    fail "apt purge failed"
check_nothing_left
status="$(in_root dpkg-query -W -f='${db:Status-Abbrev}' quorvel 2>/dev/null || true)"
[ -z "$status" ] || [[ "$status" == [pu]n* ]] || fail "dpkg still has quorvel: $status"
end
echo "test-package: passed"
