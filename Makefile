# The two commands a newcomer needs: `make run` and `make test`.
.PHONY: all setup build run test test-default test-asan test-desktops test-debian13 format clean

JOBS ?= $(shell nproc)

all: build

setup:
	@scripts/setup.sh

build: setup
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

run: build
	@if [ ! -x build/quorvel ]; then \
	    echo "The quorvel app is not built yet: only the libraries and tests exist so far." >&2; \
	    exit 1; \
	fi
	@./build/quorvel

test: setup
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)
	@ctest --preset default -j $(JOBS)
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)
	@ctest --preset asan -j $(JOBS)

# The real app on real desktops, headless (installs the desktops; root or sudo).
# DESKTOPS="x11-openbox sway" picks some; all by default (see scripts/desktops/run.sh).
test-desktops: setup
	@scripts/desktops/run.sh $(DESKTOPS)

# `make test`, `make test-desktops` and `make test-package` again for Debian 13, on a fresh
# Debian 13 system made in a folder (root or sudo): set-up, both builds and every test as a
# newcomer on Debian 13 runs them, its package built there, the desktop suite on Debian 13's
# desktops (README's "-debian13" rows), then the package installed on a clean Debian 13.
# See scripts/release/.
test-debian13:
	@scripts/release/run.sh trixie make test package test-desktops
	@scripts/package/test.sh trixie --built

format:
	@cmake --preset default >/dev/null
	@cmake --build --preset default --target format

clean:
	rm -rf build build-asan

# The Debian package, built as Debian builds its own and checked with lintian
# (build/package/quorvel_<version>_<arch>.deb), and its install test on a clean Debian 12
# system (root or sudo). See scripts/package/.
.PHONY: package test-package
package: setup
	@scripts/package/build.sh
test-package: setup
	@scripts/package/test.sh
