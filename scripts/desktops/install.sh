#!/usr/bin/env bash
# Installs what the desktop suite needs for the given desktops (all of this release's when
# none is named): Debian packages, without recommends; quiet when it is all there.
set -euo pipefail
release="$(. /etc/os-release && echo "$VERSION_CODENAME")"

packages=(python3-pytest python3-pil imagemagick x11-utils dbus-daemon dbus-bin libglib2.0-bin
    fonts-dejavu-core qt6-wayland gcc pkg-config libwayland-dev libxkbcommon-dev
    at-spi2-core python3-gi gir1.2-atspi-2.0)
# the camera shared through PipeWire in GNOME's and Plasma's sessions
pipewire=(pipewire pipewire-bin wireplumber)
x11=(xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils xterm xdotool wmctrl)
if [ "$release" = bookworm ]; then
    [ "$#" -gt 0 ] || set -- x11-openbox-trayer x11-kwin x11-mutter x11-gnome-appindicator x11-i3 sway gnome plasma-wayland
    # Plasma 5 and its Qt 5 Wayland plugin
    plasma=(plasma-workspace plasma-desktop qtwayland5)
else
    [ "$#" -gt 0 ] || set -- x11-plasma-debian13 plasma-wayland-debian13 gnome-debian13 gnome-appindicator-debian13 sway-debian13
    # Plasma 6: its daemon (kded6) and the service cache tool come as packages of their own
    plasma=(plasma-workspace plasma-desktop kded6 libkf6service-bin)
fi
for d in "$@"; do
    case "${d%-debian13}" in
    x11-openbox*) packages+=("${x11[@]}" openbox trayer) ;;
    x11-kwin) packages+=("${x11[@]}" kwin-x11 trayer orca) ;; # Orca reads its panel
    x11-kwin*) packages+=("${x11[@]}" kwin-x11 trayer) ;;
    x11-mutter) packages+=("${x11[@]}" mutter) ;;
    x11-gnome*) packages+=("${x11[@]}" gnome-shell gnome-shell-extension-appindicator gjs) ;;
    x11-i3) packages+=("${x11[@]}" i3-wm) ;;
    x11-plasma) packages+=("${x11[@]}" kwin-x11 "${plasma[@]}") ;;
    sway) packages+=(sway grim foot) ;;
    gnome*) packages+=(gnome-shell gnome-shell-extension-appindicator foot gjs "${pipewire[@]}") ;; # gjs runs org.gnome.ScreenSaver
    kwin-wayland) packages+=(kwin-wayland weston) ;;
    plasma-wayland) packages+=(kwin-wayland weston "${plasma[@]}" "${pipewire[@]}") ;;
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
