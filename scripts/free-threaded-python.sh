#!/usr/bin/env bash
# Builds a free-threaded CPython (configured with --disable-gil) from the upstream tarball in
# Debian's source package of that version, and installs it into PREFIX. The installed interpreter
# is kept there and built again only when the version, the prefix or the configure options change.
# No PGO, no LTO and no test run of its own: on two cores this takes a few minutes.
#
# Usage: scripts/free-threaded-python.sh VERSION PREFIX       (VERSION like 3.13.5)
# Environment: FREE_THREADED_SUITE (the Debian release whose source package `pythonX.Y` holds that
# version; default trixie), FREE_THREADED_JOBS (parallel compile jobs, default 2).
#
# The source is fetched with apt-get from the mirror this machine's apt is configured with, but
# through an apt configuration of our own under the prefix's parent directory (a deb-src entry,
# its own lists and cache): the machine's apt state is neither read for sources nor changed.
# Next to PREFIX, a venv and a build folder made with an older interpreter are removed with it.
set -euo pipefail
cd "$(dirname "$0")/.."

[ $# -eq 2 ] || { echo "usage: $0 VERSION PREFIX" >&2; exit 2; }
VERSION=$1
PREFIX=$(realpath -m "$2")
SUITE=${FREE_THREADED_SUITE:-trixie}
JOBS=${FREE_THREADED_JOBS:-2}
MINOR=${VERSION%.*}                     # 3.13
PACKAGE=python$MINOR                    # Debian's source package of that series
PYTHON=$PREFIX/bin/python${MINOR}t
WORK=$(dirname "$PREFIX")               # apt state, sources and logs live next to the prefix
CONFIGURE=(--disable-gil --without-ensurepip --disable-test-modules)
STAMP=$PREFIX/.kelvra-build             # what the installed interpreter was built from

log() { echo "free-threaded: $*"; }
die() { echo "free-threaded: $*" >&2; exit 1; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f s", b - a }'; }

# shellcheck source=scripts/debian-source.sh
. scripts/debian-source.sh

[[ $VERSION =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "VERSION must look like 3.13.5, not '$VERSION'"

want=$(printf '%s\n' "$VERSION" "$PREFIX" "${CONFIGURE[@]}" | sha256sum | cut -d' ' -f1)
if [ "$(cat "$STAMP" 2>/dev/null)" = "$want" ] && [ -x "$PYTHON" ]; then
    log "using the cached $PYTHON"
    exit 0
fi

# Runs a build step quietly under nice, keeping its output in a log that is shown on failure.
step() {
    local name=$1
    shift
    if ! nice -n 10 "$@" >"$WORK/$name.log" 2>&1; then
        tail -n 40 "$WORK/$name.log" >&2
        die "$name failed; the whole output is in $WORK/$name.log"
    fi
}

fetch_source() {
    fetch_debian_source "$SUITE" "$PACKAGE" "$WORK/apt" "$WORK/src"
    TARBALL=$WORK/src/${PACKAGE}_$VERSION.orig.tar.xz
    if [ ! -f "$TARBALL" ]; then
        die "$SUITE's $PACKAGE is not $VERSION (found: $(cd "$WORK/src" && ls -- *.orig.tar.xz \
             2>/dev/null | paste -sd ' ')); set FREE_THREADED_VERSION to match"
    fi
}

t=$(now)
mkdir -p "$WORK"
fetch_source
rm -rf "$WORK/src/Python-$VERSION"
tar -xJf "$TARBALL" -C "$WORK/src"
SRC=$WORK/src/Python-$VERSION
[ -x "$SRC/configure" ] || die "$TARBALL holds no Python-$VERSION/configure"
log "source ready in $(since "$t")"

t=$(now)
log "building CPython $VERSION with ${CONFIGURE[*]} into $PREFIX ($JOBS jobs)"
(cd "$SRC" && step configure ./configure --prefix="$PREFIX" "${CONFIGURE[@]}")
(cd "$SRC" && step make make -j"$JOBS")
rm -rf "$PREFIX" "$WORK/venv" "$WORK/cmake"   # what the old interpreter made is stale too
(cd "$SRC" && step install make install)
# What the venv, pip and the suite need must have been built (the build skips a module quietly
# when a library for it is missing), and the lock must be off until a module asks for it.
"$PYTHON" -c 'import bz2, ctypes, lzma, ssl, sys, venv, zlib; assert not sys._is_gil_enabled()' ||
    die "$PYTHON lacks a module the suite needs, or runs with the GIL"
echo "$want" >"$STAMP"
rm -rf "$WORK/src" "$WORK/apt"
log "built in $(since "$t"): $("$PYTHON" -VV)"
