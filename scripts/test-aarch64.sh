#!/usr/bin/env bash
# Kelvra on 64-bit ARM, under emulation: builds the module for aarch64 and runs the whole suite
# and the fuzzers' corpora with it, then makes the aarch64 manylinux wheel into dist/, installs it
# into a new venv and runs the suite against the installed module (scripts/check-wheel.sh).
#
# It all happens in a Debian tree of the host's own release, made once with mmdebstrap and cached
# under build/ (made again only when its package list or pins change). Python, simdjson, the C and
# C++ runtimes and every wheel in it are arm64: qemu-user-static runs them, registered with
# binfmt_misc (which this script mounts and registers when the host has not). The tree's own
# architecture is the host's, as in Debian's cross-building setups, so that Debian's cross compiler
# (g++-aarch64-linux-gnu) runs natively in it, finding the arm64 headers and libraries at their
# multiarch paths: g++ itself under emulation compiles about ten times slower.
#
# The Python packages in the tree are aarch64 wheels that the host's pip fetches
# (scripts/aarch64-tree.sh).
#
# Needs root (mmdebstrap, chroot, bind mounts, binfmt_misc). Environment: HOST_PYTHON (the
# interpreter whose pip fetches the wheels; default .venv's), PYTEST_ARGS (passed to pytest in
# the tree), AARCH64_JOBS (parallel compile jobs, default 2).
set -euo pipefail
SELF=$(realpath "${BASH_SOURCE[0]}")
cd "$(dirname "$SELF")/.."

LOG_PREFIX=aarch64
# shellcheck source=scripts/debian-tree.sh
. scripts/debian-tree.sh

[ "$(id -u)" -eq 0 ] || die "needs root (mmdebstrap, chroot, bind mounts, binfmt_misc)"
HOST_PYTHON=${HOST_PYTHON:-.venv/bin/python}
# shellcheck source=scripts/aarch64-tree.sh
. scripts/aarch64-tree.sh
enter_private_mount_namespace "$SELF" "$@"

SUITE=$(. /etc/os-release && echo "$VERSION_CODENAME")
GCC_MAJOR=$(gcc -dumpversion | cut -d. -f1)
# The arm64 side: what the module is built against and runs on. Without ISA-L the build inflates
# gzip through zlib, so that this run tests the other of the two gzip decoders.
ARM_PACKAGES=(python3 python3-dev libsimdjson-dev zlib1g-dev libzstd-dev)
# The cross compiler, named whole: its packages are Multi-Arch: foreign, and apt would otherwise
# take their arm64 builds, which run emulated.
CROSS_PACKAGES=(g++-aarch64-linux-gnu "g++-$GCC_MAJOR-aarch64-linux-gnu"
                "gcc-$GCC_MAJOR-aarch64-linux-gnu" "cpp-$GCC_MAJOR-aarch64-linux-gnu"
                binutils-aarch64-linux-gnu)
PACKAGES=("${ARM_PACKAGES[@]/%/:arm64}" "${CROSS_PACKAGES[@]/%/:$HOST_ARCH}")
TREE=build/aarch64-root
BUILD=build/aarch64       # relative to the checkout, both outside and inside the tree
SRC_IN_TREE=/src          # where the checkout appears inside the tree
VENV=/opt/kelvra          # the tree's venv: the tools, numpy and the consumers
WHEELS=/opt/wheels        # the wheels it was made from
STAMP=.kelvra-packages    # inside the tree: hash of what it was made from
CXX_IN_TREE=aarch64-linux-gnu-g++
TREE_PYTHON=python3
TREE_CC=/usr/bin/aarch64-linux-gnu-gcc  # the cross compiler
JOBS=${AARCH64_JOBS:-2}
# KELVRA_QEMU_USER tells the suite that its interpreter runs emulated.
TREE_ENV=(PYTEST_ARGS="${PYTEST_ARGS:-}" JOBS="$JOBS" KELVRA_QEMU_USER=1)

STAMP_INPUTS=("$VENV" "$PIP_PIN" "${TOOL_PINS[@]}" "${CONSUMER_PINS[@]}")

started=$(now)
t=$(now)
ensure_binfmt
ensure_tree "$SUITE" "$HOST_ARCH,arm64" install_wheels
bind "$PWD" "$TREE$SRC_IN_TREE"
bind /proc "$TREE/proc"
bind /dev "$TREE/dev"
log "tree ready in $(since "$t"): $(in_tree "$VENV/bin/python -c 'import platform, sys; \
    print(platform.machine(), sys.version.split()[0])'")"
# For scikit-build-core (the wheels below).
TREE_ENV+=(CMAKE_EXECUTABLE="$(venv_cmake)")

t=$(now)
in_tree "$VENV/bin/cmake -S . -B $BUILD -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVRA_WERROR=ON \
             -DKELVRA_FUZZ_REPLAY=ON -DCMAKE_CXX_COMPILER=$CXX_IN_TREE \
             -DCMAKE_MAKE_PROGRAM=$VENV/bin/ninja -DPython_EXECUTABLE=$VENV/bin/python \
             -Dpybind11_DIR=\"\$($VENV/bin/python -m pybind11 --cmakedir)\" >/dev/null
         $VENV/bin/cmake --build $BUILD --parallel \"\$JOBS\""
log "build with the cross compiler in $(since "$t")"

t=$(now)
# No cache provider: the host's pytest keeps its own record of the last run.
in_tree "PYTHONPATH=$SRC_IN_TREE/$BUILD $VENV/bin/python -m pytest -p no:cacheprovider \
         \$PYTEST_ARGS"
log "tests in $(since "$t")"

t=$(now)
for target in csv json ops numbers arrow; do
    # The committed seeds, and what the host's fuzzing has added to them where it has run.
    corpora="tests/fuzz/corpus/$target"
    [ ! -d "build/fuzz/corpus-$target" ] || corpora+=" build/fuzz/corpus-$target"
    log "fuzz corpus $target: $(in_tree "TMPDIR=/tmp $BUILD/replay_$target $corpora")"
done
log "fuzz corpora replayed in $(since "$t")"

t=$(now)
log "the aarch64 wheel"
in_tree "PATH=$VENV/bin:\$PATH CMAKE_BUILD_PARALLEL_LEVEL=\$JOBS scripts/wheel.sh \
         $VENV/bin/python $BUILD-wheel-raw -Cbuild-dir=$BUILD \
         -Ccmake.define.KELVRA_WERROR=ON -Ccmake.define.CMAKE_CXX_COMPILER=$CXX_IN_TREE"
in_tree "PYTHON=$VENV/bin/python WHEELHOUSE=$WHEELS scripts/check-wheel.sh"
log "wheel made and checked in $(since "$t")"

# The portable wheel (scripts/wheels.sh, as on the host): zig c++ for aarch64-linux-gnu.2.17, the
# host's zig mounted at its own path, simdjson compiled in from the source the host fetched.
t=$(now)
scripts/library-source.sh build/wheel-src
ZIG_DIR=$("$HOST_PYTHON" -c 'import os, ziglang; print(os.path.realpath(os.path.dirname(ziglang.__file__)))')
bind "$ZIG_DIR" "$TREE$ZIG_DIR"
TREE_ENV+=(HOST_PYTHON="$VENV/bin/python" KELVRA_ZIG="$ZIG_DIR/zig" WHEEL_SOURCES_READY=1
           ZIG_GLOBAL_CACHE_DIR="$SRC_IN_TREE/build/zig-cache" PIP_NO_INDEX=1 PIP_FIND_LINKS="$WHEELS"
           WHEEL_JOBS="$JOBS")
in_tree "scripts/wheels.sh build $VENV/bin/python && scripts/wheels.sh check $VENV/bin/python"
log "portable wheel made and checked in $(since "$t")"
unmount_all

# What the wheels hold, read on the host: each module must be an AArch64 ELF file.
assert_aarch64_wheels "manylinux_2_3*_aarch64" "manylinux_2_17_aarch64"
log "passed in $(minutes_since "$started")"
