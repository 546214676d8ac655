#!/usr/bin/env bash
# Fetches the body-pose model (MoveNet SinglePose Lightning, as published in the npm package
# @vladmandic/human) into the per-user cache, where the build picks it up.
# Quiet and instant when the cache already holds both files with the right checksums.
#   scripts/fetch-model.sh --check    exits 0 when it does, 1 when a fetch is needed
set -euo pipefail

package="@vladmandic/human@3.3.6"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/quorvel/models"
declare -A sums=(
    [movenet-lightning.json]=df8cbde44d00f533ccc4916a7c6ebc17316532fb3fadad114ec667fef22872e9
    [movenet-lightning.bin]=bf97bc10d9c8a11200b0190ed64ce039b6252f1aff7cb552aca99b3d191c2f34
)

sum_of() { sha256sum "$1" | cut -d' ' -f1; }

cache_good() {
    local f
    for f in "${!sums[@]}"; do
        [ -f "$cache/$f" ] && [ "$(sum_of "$cache/$f")" = "${sums[$f]}" ] || return 1
    done
}

cache_good && exit 0
# --check: only tell whether the cache already holds the model.
[ "${1:-}" != --check ] || exit 1

command -v npm >/dev/null 2>&1 || { echo "fetch-model: npm is needed to fetch the pose model (run scripts/setup.sh)" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "fetch-model: downloading $package (about 29 MB) for the pose model"
(cd "$work" && npm pack --silent --cache "$work/npm-cache" "$package" >/dev/null) || {
    echo "fetch-model: 'npm pack $package' failed" >&2
    exit 1
}
tarball="$(ls "$work"/*.tgz 2>/dev/null | head -n1)"
[ -n "$tarball" ] || { echo "fetch-model: npm produced no package archive" >&2; exit 1; }

members=()
for f in "${!sums[@]}"; do members+=("package/models/$f"); done
tar -xzf "$tarball" -C "$work" "${members[@]}" || {
    echo "fetch-model: the package does not contain the expected model files" >&2
    exit 1
}

for f in "${!sums[@]}"; do
    actual="$(sum_of "$work/package/models/$f")"
    if [ "$actual" != "${sums[$f]}" ]; then
        echo "fetch-model: checksum mismatch for $f" >&2
        echo "  expected ${sums[$f]}" >&2
        echo "  got      $actual" >&2
        echo "  the cache at $cache was left unchanged" >&2
        exit 1
    fi
done

mkdir -p "$cache"
for f in "${!sums[@]}"; do
    # Copy next to the target, then rename, so a reader never sees half a file.
    cp "$work/package/models/$f" "$cache/.$f.tmp"
    mv -f "$cache/.$f.tmp" "$cache/$f"
done
echo "fetch-model: pose model stored in $cache"
