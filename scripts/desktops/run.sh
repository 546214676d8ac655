#!/usr/bin/env bash
# Acceptance tests of the real quorvel program on real desktops, headless: each desktop with
# two outputs of different sizes where it allows, and a user's terminal on each output.
# Per desktop it checks the tray icon (or the fallback window), a stand overlay over every
# output (full screen, above the terminals: pixels of the overlay's gradient where they
# were), that a click on the second output and Escape dismiss it, that a key typed on X11
# while it is up reaches the terminal, and that a second launch shows the panel.
#
#   scripts/desktops/run.sh [DESKTOP...]     default: all of them
#   DESKTOPS: x11-openbox x11-openbox-trayer x11-kwin x11-kwin-trayer x11-mutter
#             sway gnome gnome-appindicator kwin-wayland
#
# Installs what the desktops need (scripts/desktops/install.sh), writes screenshots to
# build/desktops/<desktop>/ and one contact sheet, build/desktops/contact-sheet.png, prints
# a table of the results and fails when a check failed.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
all=(x11-openbox x11-openbox-trayer x11-kwin x11-kwin-trayer x11-mutter sway gnome gnome-appindicator kwin-wayland)
desktops=("$@")
[ "${#desktops[@]}" -gt 0 ] || desktops=("${all[@]}")
for d in "${desktops[@]}"; do
    [[ " ${all[*]} " == *" $d "* ]] || { echo "desktops: unknown desktop '$d' (known: ${all[*]})" >&2; exit 2; }
done

started=$(date +%s)
"$here/install.sh" "${desktops[@]}"
(cd "$root" && cmake --preset default >/dev/null && cmake --build --preset default -j "$(nproc)" --target quorvel >/dev/null)
# logind's stand-in for the lock checks (lib.sh), a Qt D-Bus program of one file.
logind_standin="$root/build/logind-standin"
if [ ! -x "$logind_standin" ] || [ "$here/logind-standin.cpp" -nt "$logind_standin" ]; then
    # shellcheck disable=SC2046
    g++ -std=c++20 -O1 -fPIC -o "$logind_standin" "$here/logind-standin.cpp" $(pkg-config --cflags --libs Qt6DBus)
fi
export logind_standin

base="$root/build/desktops"
rm -rf "$base"
mkdir -p "$base"
results="$base/results.tsv"
: >"$results"
export results

declare -A took
for d in "${desktops[@]}"; do
    # One process per desktop, with a time limit: whatever happens, it stops what it started.
    t0=$(date +%s)
    timeout --signal=TERM --kill-after=20 330 "$here/one.sh" "$d" "$base/$d" || true
    took[$d]=$(($(date +%s) - t0))
    grep -q "^$d	" "$results" || printf '%s\t%s\t%s\t%s\n' "$d" all FAIL "did not finish" >>"$results"
done

# The contact sheet: every screenshot, labelled desktop/name.
sheet="$base/contact-sheet.png"
args=()
for f in "$base"/*/*.png; do
    [ -e "$f" ] || continue
    args+=(-label "$(basename "$(dirname "$f")")/$(basename "$f" .png)" "$f")
done
if [ "${#args[@]}" -gt 0 ]; then
    montage "${args[@]}" -tile 6x -geometry 320x200+6+6 -background '#d8dee9' -pointsize 11 "$sheet"
fi

# The summary: desktop x check.
source "$here/lib.sh"
echo
printf '%-20s' desktop
for c in "${checks[@]}"; do printf ' %-13s' "$c"; done
echo
failed=0
for d in "${desktops[@]}"; do
    printf '%-20s' "$d ${took[$d]}s"
    for c in "${checks[@]}"; do
        s="$(awk -F'\t' -v d="$d" -v c="$c" '$1 == d && (($2 == c) || $2 == "all") {print $3; exit}' "$results")"
        printf ' %-13s' "${s:-FAIL}"
        [ "${s:-FAIL}" = FAIL ] && failed=$((failed + 1))
    done
    echo
    skipped="$(awk -F'\t' -v d="$d" '$1 == d && $3 == "skip" {print $4; exit}' "$results")"
    [ -z "$skipped" ] || echo "    SKIPPED: $skipped"
done
echo
[ ! -e "$sheet" ] || echo "contact sheet: $sheet"
passed="$(awk -F'\t' '$3 == "pass"' "$results" | wc -l)"
skips="$(awk -F'\t' '$3 == "skip"' "$results" | wc -l)"
echo "suite time: $(($(date +%s) - started)) s"
echo "desktops: $passed passed, $failed failed, $skips skipped"
[ "$failed" -eq 0 ]
