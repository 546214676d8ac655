#!/usr/bin/env bash
# Installs the Debian packages that building and install-testing the Debian package need
# (only `make package` and `make test-package` run this; `make test` stays light), then the
# package's build dependencies from debian/control. Quiet when everything is there.
set -euo pipefail

packages=(
    # building: debhelper with its CMake support, the checks Debian runs
    debhelper dpkg-dev lintian desktop-file-utils appstream
    # the install test: a clean Debian system, a private X server and session bus
    mmdebstrap xvfb dbus-daemon x11-utils xdotool imagemagick
)

root="$(cd "$(dirname "$0")/../.." && pwd)"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# Another install on this machine (a second work tree, the desktop suite) may hold the lock.
apt=(apt-get -o DPkg::Lock::Timeout=600)

missing=()
for p in "${packages[@]}"; do
    # Unpacked and configured (a trigger another install left pending counts too).
    dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -Eq '^(installed|triggers-(pending|awaited))$' ||
        missing+=("$p")
done
updated=0
if [ "${#missing[@]}" -gt 0 ]; then
    echo "package setup: installing ${missing[*]}"
    $sudo "${apt[@]}" update -qq
    updated=1
    $sudo "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Build-Depends (scripts/setup.sh already brings most of them).
if ! (cd "$root" && dpkg-checkbuilddeps >/dev/null 2>&1); then
    echo "package setup: installing the build dependencies of debian/control"
    [ "$updated" = 1 ] || $sudo "${apt[@]}" update -qq
    $sudo "${apt[@]}" build-dep -y -qq --no-install-recommends "$root" >/dev/null
fi
