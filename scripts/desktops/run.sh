#!/usr/bin/env bash
# The desktop suite: the real quorvel on real desktops, headless (README, "Testing on real
# desktops"). Installs the desktops, builds the app and the suite's helpers, and runs the
# scenario (test_desktop.py) on each desktop of README's table, or on those named.
#   scripts/desktops/run.sh [DESKTOP...]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
"$here/install.sh" "$@"
cd "$root"
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target quorvel logind-standin kwin-shot virtual-input quorvel-camera-holder >/dev/null
rm -rf build/desktops
mkdir -p build/desktops
# Debian's Python and pytest, whatever python3 comes first on the PATH.
PYTHONDONTWRITEBYTECODE=1 exec /usr/bin/python3 -m pytest -p no:cacheprovider -rfE \
    --junitxml=build/desktops/junit.xml --desktops "$*" "$here/test_desktop.py"
