#!/usr/bin/env bash
# The glibc floor shown by running: the x86-64 cp311 portable wheel installed into a new venv and
# the whole suite run against it (scripts/check-wheel.sh) inside a Debian 11 (bullseye) tree, whose
# C library is glibc 2.31, made once with mmdebstrap and cached under build/bullseye-root.
#
# Bullseye's own python3 is 3.9, older than the module supports: the tree gets a CPython 3.11 built
# in it from the upstream tarball in Debian's source package python3.11 (bookworm's), against the
# tree's own glibc, into /opt/python3.11; the tree is made again only when that changes. The host's
# pip fetches pip and the test tools (pinned) into build/wheels/bullseye-wheelhouse; the tree
# installs them from there alone.
#
# Needs root (mmdebstrap, chroot, bind mounts). Environment: HOST_PYTHON (default .venv's; its pip
# fetches the wheels), BULLSEYE_JOBS (parallel compile jobs, default 2).
set -euo pipefail
SELF=$(realpath "${BASH_SOURCE[0]}")
cd "$(dirname "$SELF")/.."

LOG_PREFIX=bullseye
# shellcheck source=scripts/debian-tree.sh
. scripts/debian-tree.sh
# shellcheck source=scripts/debian-source.sh
. scripts/debian-source.sh

[ "$(id -u)" -eq 0 ] || die "needs root (mmdebstrap, chroot, bind mounts)"
HOST_PYTHON=${HOST_PYTHON:-.venv/bin/python}
enter_private_mount_namespace "$SELF" "$@"

SUITE=bullseye
PYTHON_SOURCE_SUITE=bookworm
PYTHON_SERIES=3.11
# The libraries of the modules pip, the suite and mypy need (mypy keeps its cache in sqlite3).
PACKAGES=(build-essential libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
          xz-utils)
TREE=build/bullseye-root
BUILD=build/bullseye      # relative to the checkout: nothing is built there
SRC_IN_TREE=/src
STAMP=.kelvra-packages
PREFIX=/opt/python$PYTHON_SERIES
VENV=/opt/check
WHEELHOUSE=build/wheels/bullseye-wheelhouse
STAMP_INPUTS=("$PYTHON_SOURCE_SUITE" "$PYTHON_SERIES" "$PREFIX")
TREE_ENV=(JOBS="${BULLSEYE_JOBS:-2}" PYTEST_ARGS="${PYTEST_ARGS:-}")

# Builds CPython from Debian's source package into the new tree.
build_python() {
    local work=build/bullseye-python tarball
    rm -rf "$work"
    fetch_debian_source "$PYTHON_SOURCE_SUITE" "python$PYTHON_SERIES" "$work/apt" "$work/src"
    tarball=$(ls "$work"/src/python"$PYTHON_SERIES"_*.orig.tar.* | head -n 1)
    mkdir -p "$TREE.new/opt/src"
    tar -xf "$tarball" -C "$TREE.new/opt/src"
    rm -rf "$work"
    log "building CPython from $(basename "$tarball") in the tree (a few minutes)"
    bind /proc "$TREE.new/proc"
    chroot_sh "cd /opt/src/Python-*
               ./configure --prefix=$PREFIX --without-ensurepip --disable-test-modules >/tmp/configure.log 2>&1 ||
                   { tail -n 30 /tmp/configure.log; exit 1; }
               nice -n 10 make -j\$JOBS >/tmp/make.log 2>&1 || { tail -n 30 /tmp/make.log; exit 1; }
               make install >/tmp/install.log 2>&1 || { tail -n 30 /tmp/install.log; exit 1; }
               $PREFIX/bin/python$PYTHON_SERIES -c 'import bz2, ctypes, lzma, sqlite3, ssl, venv, zlib'
               rm -rf /opt/src" "$TREE.new"
    unmount_all
}

t=$(now)
ensure_tree "$SUITE" "$(dpkg --print-architecture)" build_python
log "tree ready in $(since "$t"): $(chroot_sh 'ldd --version | head -n 1'), \
$(chroot_sh "$PREFIX/bin/python$PYTHON_SERIES --version")"

tags=cp${PYTHON_SERIES/./}-cp${PYTHON_SERIES/./}
wheel=$(ls -t dist/kelvra-*-"$tags"-manylinux*_2_17_x86_64.whl 2>/dev/null | head -n 1 || true)
[ -n "$wheel" ] || die "no portable $tags x86-64 wheel in dist/: run make wheels first"
PIP_PIN="pip==$("$HOST_PYTHON" -m pip --version | cut -d' ' -f2)"
TOOLS_TEXT=$(pins_of requirements-dev.txt pytest hypothesis && pins_of requirements-wheel.txt mypy)
mapfile -t TOOLS <<<"$TOOLS_TEXT"
mkdir -p "$WHEELHOUSE"
"$HOST_PYTHON" -m pip download --quiet --disable-pip-version-check --only-binary=:all: \
    --python-version "$PYTHON_SERIES" --implementation cp --platform manylinux2014_x86_64 \
    --platform manylinux_2_17_x86_64 --platform manylinux_2_28_x86_64 --dest "$WHEELHOUSE" \
    "$PIP_PIN" "${TOOLS[@]}"

bind "$PWD" "$TREE$SRC_IN_TREE"
bind /proc "$TREE/proc"
bind /dev "$TREE/dev"
t=$(now)
in_tree "rm -rf $VENV && $PREFIX/bin/python$PYTHON_SERIES -m venv --without-pip $VENV
         $VENV/bin/python $WHEELHOUSE/${PIP_PIN/==/-}-py3-none-any.whl/pip install -q \
             --disable-pip-version-check --no-index --find-links $WHEELHOUSE $PIP_PIN
         WHEEL=$wheel PYTHON=$VENV/bin/python WHEELHOUSE=$SRC_IN_TREE/$WHEELHOUSE scripts/check-wheel.sh"
log "$wheel passed on $(chroot_sh 'ldd --version | head -n 1') in $(since "$t")"
