#!/usr/bin/env bash
# Makes the portable wheels into dist/ and tries each as a user would. Zig's compiler (the
# ziglang package) builds every module for glibc GLIBC_TARGET, with its own libc++ linked in
# statically and simdjson, zlib and libzstd's decoder compiled in from source
# (scripts/library-source.sh; gzip through zlib, not ISA-L): the module then needs neither the
# build machine's C library nor its C++ runtime nor those libraries. auditwheel tags
# each wheel for that glibc (it refuses a module that needs more), and scripts/check-glibc.sh
# checks every shared object in it against FLOOR.
#
# Usage: scripts/wheels.sh build PYTHON...   (one x86-64 wheel per interpreter, on this machine)
#        scripts/wheels.sh check PYTHON...   (each interpreter's wheel in a new venv: the suite,
#                                             mypy and stubtest, by scripts/check-wheel.sh)
# Environment: HOST_PYTHON (the interpreter whose venv holds the pinned tools, ziglang among them;
# default .venv's), KELVRA_ZIG (the zig program, instead of HOST_PYTHON's ziglang), GLIBC_TARGET
# (default 2.17), FLOOR (default 2.31), WHEEL_JOBS, WHEEL_SOURCES_READY (1: build/wheel-src
# is in place); pip's own PIP_NO_INDEX and PIP_FIND_LINKS.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
HOST_PYTHON=${HOST_PYTHON:-.venv/bin/python}
GLIBC_TARGET=${GLIBC_TARGET:-2.17}
FLOOR=${FLOOR:-2.31}
HOST_BIN=$(dirname "$(realpath -s "$HOST_PYTHON")")

log() { echo "wheels: $*"; }
die() { echo "wheels: $*" >&2; exit 1; }

[ $# -ge 2 ] || die "usage: $0 build|check PYTHON..."
action=$1
shift

# Pins of the build tools, as the main venv has them.
pin() { grep -m1 -oE "^$1==[^[:space:]#]+" requirements-dev.txt || die "requirements-dev.txt pins no $1"; }
PIP_PIN="pip==$("$HOST_PYTHON" -m pip --version | cut -d' ' -f2)"

# cp311-cp311 or cp313-cp313t, and x86_64: the interpreter's wheel tags.
tags_of() { "$1" -c 'import sys; v = "cp%d%d" % sys.version_info[:2]; print(v + "-" + v + sys.abiflags)'; }
machine_of() { "$1" -c 'import platform; print(platform.machine())'; }

# A venv of the interpreter with pip and the wheel's build backend (build/wheels/venv-TAGS-MACHINE):
# made with the host's pip, so that an interpreter built without pip serves as well.
build_venv() {
    local python=$1 tags venv
    tags=$(tags_of "$python")
    venv=$ROOT/build/wheels/venv-$tags-$(machine_of "$python")
    # A free-threaded interpreter needs a pip that knows its wheels' tags (cp313t).
    local pip_pin=$PIP_PIN
    [[ $tags != *t ]] || pip_pin=$(grep -m1 -oE '^pip==[^[:space:]#]+' requirements-free-threaded.txt)
    if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import scikit_build_core, pybind11' 2>/dev/null ||
       [ "$("$venv/bin/python" -m pip --version 2>/dev/null | cut -d' ' -f2)" != "${pip_pin#pip==}" ]; then
        rm -rf "$venv"
        "$python" -m venv --without-pip "$venv"
        "$HOST_PYTHON" -m pip --python "$venv/bin/python" install -q --disable-pip-version-check \
            "$pip_pin" "$(pin scikit-build-core)" "$(pin pybind11)"
    fi
    echo "$venv"
}

zig_settings() {
    local zig
    [ -z "${KELVRA_ZIG:-}" ] || return 0
    zig=$("$HOST_PYTHON" -c 'import os, ziglang; print(os.path.dirname(ziglang.__file__))') ||
        die "no ziglang in $HOST_PYTHON's venv (make setup-wheel installs it)"
    export KELVRA_ZIG=$zig/zig ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$ROOT/build/zig-cache}
}

# Debian's Python keeps pyconfig.h per architecture (/usr/include/MULTIARCH/python3.X/), which its
# python3.X/pyconfig.h includes by that name from /usr/include. Zig's compiler searches only its
# own C library's headers: a folder holding just that directory (a link) is put on the path.
# Prints the compiler flag, or nothing for an interpreter that keeps one pyconfig.h.
multiarch_include() {
    local python=$1 shim multiarch series
    multiarch=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("MULTIARCH") or "")')
    series=$("$python" -c 'import sys; print("python%d.%d" % sys.version_info[:2] + sys.abiflags)')
    [ -n "$multiarch" ] && [ -d "/usr/include/$multiarch/$series" ] || return 0
    shim=$ROOT/build/wheels/include-$multiarch-$series
    mkdir -p "$shim/$multiarch"
    ln -sfn "/usr/include/$multiarch/$series" "$shim/$multiarch/$series"
    echo "-isystem $shim"
}

build_one() {
    local python=$1 venv tags machine started
    venv=$(build_venv "$python")
    tags=$(tags_of "$python")
    machine=$(machine_of "$python")
    started=$(date +%s)
    # ccache, where there is one: the core and the libraries compile once for every interpreter.
    local launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-Ccmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache
                  -Ccmake.define.CMAKE_C_COMPILER_LAUNCHER=ccache)
        export CCACHE_DIR=${CCACHE_DIR:-$ROOT/build/ccache}
    fi
    log "$tags $machine: building with zig c++ for $machine-linux-gnu.$GLIBC_TARGET"
    KELVRA_ZIG_TARGET=$machine-linux-gnu.$GLIBC_TARGET WHEEL_PLAT=manylinux_${GLIBC_TARGET/./_}_$machine \
    PATH="$HOST_BIN:$PATH" CMAKE_BUILD_PARALLEL_LEVEL=${WHEEL_JOBS:-2} \
        scripts/wheel.sh "$venv/bin/python" "build/wheels/raw-$tags-$machine" \
        -Cbuild-dir="build/wheels/cmake-$tags-$machine" -Ccmake.define.KELVRA_WERROR=ON \
        -Ccmake.define.CMAKE_CXX_COMPILER="$ROOT/scripts/zig/c++" \
        -Ccmake.define.CMAKE_AR="$ROOT/scripts/zig/ar" \
        -Ccmake.define.CMAKE_RANLIB="$ROOT/scripts/zig/ranlib" \
        -Ccmake.define.CMAKE_CXX_SCAN_FOR_MODULES=OFF \
        -Ccmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF "${launcher[@]}" \
        -Ccmake.define.KELVRA_SIMDJSON_SOURCE="$ROOT/build/wheel-src/simdjson" \
        -Ccmake.define.KELVRA_ZLIB_SOURCE="$ROOT/build/wheel-src/zlib" \
        -Ccmake.define.KELVRA_ZSTD_SOURCE="$ROOT/build/wheel-src/zstd" \
        -Ccmake.define.KELVRA_WITH_ISAL=OFF \
        -Ccmake.define.CMAKE_C_COMPILER="$ROOT/scripts/zig/cc" \
        -Ccmake.define.CMAKE_CXX_FLAGS="$(multiarch_include "$python")"
    scripts/check-glibc.sh "$FLOOR" "$(wheel_of "$tags" "$machine")"
    log "$tags $machine: wheel made in $(($(date +%s) - started)) s"
}

# The portable wheel of these tags in dist/.
wheel_of() {
    local found
    found=$(ls -t dist/kelvra-*-"$1"-*manylinux_"${GLIBC_TARGET/./_}"_"$2".whl 2>/dev/null |
            head -n 1 || true)
    [ -n "$found" ] || die "no manylinux_${GLIBC_TARGET/./_} wheel for $1 $2 in dist/"
    echo "$found"
}

check_one() {
    local python=$1 venv tags machine requirements=requirements-dev.txt started
    venv=$(build_venv "$python")
    tags=$(tags_of "$python")
    machine=$(machine_of "$python")
    # The free-threaded interpreter takes the hypothesis that has a wheel for it, 3.10 the last
    # hypothesis that supports it.
    [[ $tags != *t ]] || requirements=requirements-free-threaded.txt
    [[ $tags != cp310-* ]] || requirements=requirements-py310.txt
    # mypy's own dependencies (librt, ast-serialize) publish no free-threaded wheel: the suite
    # runs there, mypy and stubtest do not.
    local type_checks=1
    [[ $tags != *t ]] || type_checks=0
    started=$(date +%s)
    WHEEL=$(wheel_of "$tags" "$machine") PYTHON=$venv/bin/python REQUIREMENTS=$requirements \
        TYPE_CHECKS=$type_checks scripts/check-wheel.sh
    log "$tags $machine: tried in $(($(date +%s) - started)) s"
}

case $action in
    build)
        zig_settings
        # In a Debian tree the host has fetched it (the tree reaches no mirror).
        [ "${WHEEL_SOURCES_READY:-}" = 1 ] || scripts/library-source.sh build/wheel-src
        for python in "$@"; do build_one "$python"; done ;;
    check)
        for python in "$@"; do check_one "$python"; done ;;
    *) die "unknown action $action: build or check" ;;
esac
