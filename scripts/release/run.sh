#!/usr/bin/env bash
# Runs a command on a clean Debian system of another release, made in a folder, with a copy
# of this checkout: the way a newcomer on that release would, set-up included.
#
#   scripts/release/run.sh SUITE [COMMAND...]     (default command: make test)
#   scripts/release/run.sh trixie                 make test on a fresh Debian 13
#   scripts/release/run.sh trixie make package    the .deb built there
#   scripts/release/run.sh --again trixie ...     on the system the last run left, with its
#                                                 builds (the work tree copied over again, and
#                                                 what it no longer has removed)
#
# The base system (mmdebstrap, variant apt: apt, make, git and certificates, nothing else) is
# kept in ~/.cache/quorvel/<suite>/base.tar and made again when a week old; the packages
# scripts/setup.sh installs there are downloaded once into a cache beside it. Each run unpacks
# a fresh copy into build/release-<suite>/root, copies the checkout's files (tracked and new,
# as in the work tree) to /src/quorvel there, and the pose model from this user's cache, so
# that the system fetches nothing but Debian packages. What the command writes under
# /src/quorvel/build (packages, logs, test results) is copied back to build/release-<suite>/.
# Needs root (or sudo), as chroot does.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
again=0
if [ "${1:-}" = --again ]; then
    again=1
    shift
fi
suite="${1:-}"
case "$suite" in
bookworm | trixie) ;;
*) echo "usage: $0 bookworm|trixie [COMMAND...]" >&2; exit 2 ;;
esac
shift
[ "$#" -gt 0 ] || set -- make test
cache="${XDG_CACHE_HOME:-$HOME/.cache}/quorvel/$suite"
models="${XDG_CACHE_HOME:-$HOME/.cache}/quorvel/models"
work="$root/build/release-$suite"
sys="$work/root"
mirror="http://deb.debian.org/debian"

say() { echo "release $suite: $*"; }
fail() { echo "release $suite: FAILED: $*" >&2; exit 1; }

if [ "${RELEASE_INSIDE:-}" != 1 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        flags=()
        [ "$again" = 0 ] || flags=(--again)
        exec sudo --preserve-env=HOME,XDG_CACHE_HOME,JOBS "$0" "${flags[@]}" "$suite" "$@"
    fi
    "$root/scripts/fetch-model.sh" || fail "the pose model could not be fetched into $models"
    command -v mmdebstrap >/dev/null || {
        say "installing mmdebstrap"
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
            --no-install-recommends mmdebstrap >/dev/null 2>&1 ||
            { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 \
                install -y -qq --no-install-recommends mmdebstrap >/dev/null; }
    }
    base="$cache/base.tar"
    mkdir -p "$cache/archives/partial"
    if [ -f "$base" ] && [ -n "$(find "$base" -mmin -$((7 * 24 * 60)))" ]; then
        say "base system cached ($(du -m "$base" | cut -f1) MB)"
    else
        started=$SECONDS
        mmdebstrap --quiet --variant=apt --include=ca-certificates,make,git,sudo \
            --skip=cleanup/apt/lists \
            "$suite" "$cache/base.new.tar" \
            "deb $mirror $suite main" "deb $mirror $suite-updates main" \
            "deb http://deb.debian.org/debian-security $suite-security main" ||
            fail "mmdebstrap could not make the base system"
        mv -f "$cache/base.new.tar" "$base"
        say "base system made in $((SECONDS - started)) s ($(du -m "$base" | cut -f1) MB)"
    fi
    # The rest in a mount namespace of its own: its mounts go away with it.
    RELEASE_AGAIN=$again RELEASE_INSIDE=1 exec unshare --mount --propagation private -- \
        "$0" "$suite" "$@"
fi

# --- inside the mount namespace --------------------------------------------------------

if [ "${RELEASE_AGAIN:-0}" = 1 ] && [ -d "$sys/src/quorvel" ]; then
    say "again on the system of the last run"
    rm -rf "$sys/src/quorvel/.git"
else
    rm -rf --one-file-system "$sys"
    mkdir -p "$sys"
    tar -xf "$cache/base.tar" -C "$sys"
fi
cp /etc/resolv.conf "$sys/etc/resolv.conf"
# This machine's certificate authorities too (a proxy's own, where there is one).
if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    cp /etc/ssl/certs/ca-certificates.crt "$sys/etc/ssl/host-ca-certificates.crt"
fi
printf '#!/bin/sh\nexit 101\n' >"$sys/usr/sbin/policy-rc.d"
chmod 755 "$sys/usr/sbin/policy-rc.d"
echo force-unsafe-io >"$sys/etc/dpkg/dpkg.cfg.d/unsafe-io"
echo 'Binary::apt::APT::Keep-Downloaded-Packages "true";' >"$sys/etc/apt/apt.conf.d/90keep-debs"
# The root a mount point of its own, as a system's is: a program that makes a mount namespace
# inside (the desktop suite's GNOME) changes the root's propagation.
mount --bind "$sys" "$sys"
mount -t proc proc "$sys/proc"
mount --rbind /dev "$sys/dev"
mount --rbind /sys "$sys/sys"
mount -t tmpfs -o size=4g,mode=1777 tmpfs "$sys/tmp"
mount --bind "$cache/archives" "$sys/var/cache/apt/archives"

# The sources as they are in the work tree, and the model.
# Only the files that differ from the last run's are written, stamped now: a copy that kept
# the work tree's times could be older than the last run's objects and not be rebuilt.
mkdir -p "$sys/src/quorvel" "$sys/root/.cache/quorvel/models"
stage=$(mktemp -d)
(cd "$root" && git ls-files -z --cached --others --exclude-standard) |
    (cd "$root" && while IFS= read -r -d '' f; do [ -f "$f" ] && printf '%s\0' "$f"; done) |
    (cd "$root" && tar --null -T - -cf -) | tar -xf - -C "$stage"
(cd "$stage" && find . -type f -print0) | while IFS= read -r -d '' f; do
    if ! cmp -s "$stage/$f" "$sys/src/quorvel/$f"; then
        mkdir -p "$(dirname "$sys/src/quorvel/$f")"
        cp --preserve=mode "$stage/$f" "$sys/src/quorvel/$f"
    fi
done
# What the work tree no longer has (a file moved or deleted since the last run) goes too, or a
# build would still find it; the builds themselves stay.
(cd "$sys/src/quorvel" && find . \( -path ./build -o -path ./build-asan -o -path ./.git \) -prune \
    -o -type f -print0) | while IFS= read -r -d '' f; do
    [ -e "$stage/$f" ] || rm -f "$sys/src/quorvel/$f"
done
rm -rf "$stage"
cp "$models"/movenet-lightning.* "$sys/root/.cache/quorvel/models/"
# A repository of its own, so that what lists the checkout's files (the package build) works.
git -C "$sys/src/quorvel" init -q
git -C "$sys/src/quorvel" add -A
git -C "$sys/src/quorvel" -c user.name=release -c user.email=release@localhost \
    commit -q --no-verify -m "the work tree of $(git -C "$root" rev-parse --short HEAD)"

say "running '$*' in /src/quorvel"
status=0
chroot "$sys" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" JOBS="${JOBS:-}" \
    NODE_EXTRA_CA_CERTS=/etc/ssl/host-ca-certificates.crt \
    bash -c 'cd /src/quorvel && exec "$@"' bash "$@" || status=$?
rm -rf "$work/build"
if [ -d "$sys/src/quorvel/build" ]; then
    mkdir -p "$work/build"
    # What others read: packages, logs, test records (not the object files).
    (cd "$sys/src/quorvel/build" &&
        find . \( -name '*.deb' -o -name '*.log' -o -name '*.txt' -o -name '*.xml' -o -name '*.png' \
            -o -name '*.changes' -o -name '*.buildinfo' \) -size -64M -print0 |
        tar --null -T - -cf -) | tar -xf - -C "$work/build" 2>/dev/null || true
fi
[ "$status" = 0 ] || fail "'$*' ended with status $status"
say "'$*' passed"
