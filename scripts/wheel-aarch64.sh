#!/usr/bin/env bash
# The portable aarch64 wheel for the CPython of a Debian suite (trixie: 3.13, unstable: 3.14), made
# and tried as scripts/wheels.sh does on the host: zig c++ for aarch64-linux-gnu.2.17, then the
# glibc floor check, then the wheel installed into a new venv of the suite's arm64 interpreter and
# the whole suite, mypy and stubtest run against it under qemu. The wheel lands in dist/.
#
# It happens in a Debian tree of that suite, made once with mmdebstrap and cached under build/
# (made again only when its package list or pins change): the host's architecture with arm64 as a
# second one, holding only the arm64 interpreter and its headers, the C++ runtime and the cross
# binutils (the glibc check reads the module with them). Zig is a static program: the host's (the ziglang package) is
# mounted into the tree at its own path and runs natively there; it is also the tree's cc, with
# which the suite builds its fault-injection library. The wheels of the tools and consumers are
# fetched by the host's pip (scripts/aarch64-tree.sh).
#
# Usage: scripts/wheel-aarch64.sh SUITE
# Exits with status 3, having said why, when the suite's arm64 tree cannot be had from the mirror.
# Needs root (mmdebstrap, chroot, bind mounts, binfmt_misc). Environment: HOST_PYTHON (default
# .venv's), PYTEST_ARGS (passed to the suite in the tree), WHEEL_JOBS (parallel compile jobs).
set -euo pipefail
SELF=$(realpath "${BASH_SOURCE[0]}")
cd "$(dirname "$SELF")/.."

SUITE=${1:-}
case $SUITE in
    trixie) PY_VERSION=3.13 ;;
    unstable) PY_VERSION=3.14 ;;  # named whole: unstable's python3 may still be another
    *) echo "usage: $0 trixie|unstable" >&2; exit 2 ;;
esac
LOG_PREFIX="aarch64 $SUITE"
# shellcheck source=scripts/debian-tree.sh
. scripts/debian-tree.sh

[ "$(id -u)" -eq 0 ] || die "needs root (mmdebstrap, chroot, bind mounts, binfmt_misc)"
HOST_PYTHON=${HOST_PYTHON:-.venv/bin/python}
# shellcheck source=scripts/aarch64-tree.sh
. scripts/aarch64-tree.sh
enter_private_mount_namespace "$SELF" "$@"

TREE_PYTHON=python$PY_VERSION
TAGS=cp${PY_VERSION/./}-cp${PY_VERSION/./}
# libstdc++6: what CMake's and the consumers' manylinux wheels link against.
PACKAGES=("$TREE_PYTHON:arm64" "$TREE_PYTHON-dev:arm64" libstdc++6:arm64
          "binutils-aarch64-linux-gnu:$HOST_ARCH")
TREE=build/aarch64-$SUITE-root
BUILD=build/wheels/cmake-$TAGS-aarch64  # the wheel's CMake tree, made again with the tree
SRC_IN_TREE=/src
VENV=/opt/kelvra
WHEELS=/opt/wheels
STAMP=.kelvra-packages
TREE_CC=$SRC_IN_TREE/scripts/zig/cc
STAMP_INPUTS=("$VENV" "$TREE_CC" "$PIP_PIN" "${TOOL_PINS[@]}" "${CONSUMER_PINS[@]}")
TREE_UNAVAILABLE_STATUS=3
ZIG_DIR=$("$HOST_PYTHON" -c 'import os, ziglang; print(os.path.realpath(os.path.dirname(ziglang.__file__)))')
# KELVRA_QEMU_USER tells the suite that its interpreter runs emulated.
TREE_ENV=(PYTEST_ARGS="${PYTEST_ARGS:-}" KELVRA_QEMU_USER=1 HOST_PYTHON="$VENV/bin/python"
          KELVRA_ZIG="$ZIG_DIR/zig" KELVRA_ZIG_TARGET=aarch64-linux-gnu.2.17
          ZIG_GLOBAL_CACHE_DIR="$SRC_IN_TREE/build/zig-cache" WHEEL_SOURCES_READY=1
          PIP_NO_INDEX=1 PIP_FIND_LINKS="$WHEELS" WHEEL_JOBS="${WHEEL_JOBS:-2}")

# The tree's venv, and python3 naming the suite's interpreter (scripts/check-glibc.sh runs it).
fill_tree() {
    install_wheels
    ln -sfn "/usr/bin/$TREE_PYTHON" "$TREE.new/usr/local/bin/python3"
}

started=$(now)
t=$(now)
ensure_binfmt
ensure_tree "$SUITE" "$HOST_ARCH,arm64" fill_tree
scripts/library-source.sh build/wheel-src
bind "$PWD" "$TREE$SRC_IN_TREE"
bind /proc "$TREE/proc"
bind /dev "$TREE/dev"
bind "$ZIG_DIR" "$TREE$ZIG_DIR"
TREE_ENV+=(CMAKE_EXECUTABLE="$(venv_cmake)")
log "tree ready in $(since "$t"): $(in_tree "$VENV/bin/python -c 'import platform, sys; \
    print(platform.machine(), sys.version.split()[0])'")"

t=$(now)
in_tree "scripts/wheels.sh build $VENV/bin/python"
log "wheel built in $(since "$t")"
t=$(now)
in_tree "scripts/wheels.sh check $VENV/bin/python"
log "wheel tried in $(since "$t")"
unmount_all

assert_aarch64_wheels "$TAGS-*manylinux_2_17_aarch64"
log "passed in $(minutes_since "$started")"
