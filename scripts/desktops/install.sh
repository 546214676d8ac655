#!/usr/bin/env bash
# Installs what the desktop suite needs for the given desktops (see run.sh), quietly when
# it is all there. Debian 12 packages, without recommends.
set -euo pipefail

common=(imagemagick x11-utils dbus-daemon dbus-bin python3 fonts-dejavu-core qt6-wayland)
x11=(xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils xterm xdotool wmctrl)
packages=("${common[@]}")
for d in "$@"; do
    case "$d" in
    x11-openbox) packages+=("${x11[@]}" openbox) ;;
    x11-openbox-trayer) packages+=("${x11[@]}" openbox trayer) ;;
    x11-kwin) packages+=("${x11[@]}" kwin-x11) ;;
    x11-kwin-trayer) packages+=("${x11[@]}" kwin-x11 trayer) ;;
    x11-mutter) packages+=("${x11[@]}" mutter) ;;
    sway) packages+=(sway grim foot gcc libwayland-dev libxkbcommon-dev) ;;
    gnome) packages+=(gnome-shell libglib2.0-bin foot) ;;
    gnome-appindicator) packages+=(gnome-shell gnome-shell-extension-appindicator libglib2.0-bin foot) ;;
    kwin-wayland) packages+=(kwin-wayland weston libglib2.0-bin gcc g++ libwayland-dev libxkbcommon-dev qt6-base-dev) ;;
    esac
done

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ "${#missing[@]}" -gt 0 ] || exit 0

echo "desktops: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get install -y -qq -o DPkg::Lock::Timeout=900 --no-install-recommends "${missing[@]}" >/dev/null; then
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq -o DPkg::Lock::Timeout=900 --no-install-recommends "${missing[@]}" >/dev/null
fi
