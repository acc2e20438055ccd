#!/usr/bin/env bash
# Builds the module for CPython 3.14 and runs the whole suite with it, inside a Debian unstable tree
# (whose python3 is 3.14) made once with mmdebstrap and cached under build/. The tree is made again
# only when its package list changes. Needs root: mmdebstrap, chroot and bind mounts.
#
# Afterwards the host's own interpreter tries to load the 3.14 module, which must refuse it.
#
# The Arrow consumers that tests/test_arrow_export.py reads tables with are not Debian's but the
# versions pinned in requirements-dev.txt, in a venv inside the tree (over the tree's own python3,
# pytest, hypothesis). The host's pip fetches their wheels for the tree's interpreter, through the
# host's own pip configuration (index, certificates, proxy), and the tree's pip installs them from
# that directory alone: the tree never reaches a package index itself.
#
# Environment: HOST_PYTHON (interpreter with pip, and with pytest for the host-side check; default
# .venv's), PYTEST_ARGS (passed to pytest in the tree), PY314_JOBS (parallel compile jobs, default
# 2).
set -euo pipefail
SELF=$(realpath "${BASH_SOURCE[0]}")
cd "$(dirname "$SELF")/.."

SUITE=unstable
# This python3 is the GIL build, not the free-threaded 3.14t that the module is meant for: Debian
# packages no free-threaded interpreter (no python3.14-nogil or the like in unstable or
# experimental, checked October 2026). When one arrives, add it here and run the suite a second
# time with it, in a build dir of its own.
PACKAGES=(python3 python3-dev pybind11-dev python3-pybind11 python3-pytest python3-hypothesis
          python3-numpy python3-venv
          libsimdjson-dev zlib1g-dev libisal-dev libzstd-dev g++ cmake ninja-build)
# Pinned in requirements-dev.txt, installed in the tree's venv (numpy too, so that the tree runs the
# same numpy as the host even when Debian's moves on).
CONSUMERS=(numpy pandas python-dateutil tzdata polars polars-runtime-32 pyarrow duckdb)
VENV_IN_TREE=/opt/consumers
TREE=build/py314-root
BUILD=build/py314         # relative to the checkout, both outside and inside the tree
SRC_IN_TREE=/src          # where the checkout appears inside the tree
STAMP=.kelvra-packages    # inside the tree: hash of what it was made from

LOG_PREFIX=py314
# shellcheck source=scripts/debian-tree.sh
. scripts/debian-tree.sh

[ "$(id -u)" -eq 0 ] || die "needs root (mmdebstrap, chroot, bind mounts)"
HOST_PYTHON=${HOST_PYTHON:-.venv/bin/python}
[ -x "$HOST_PYTHON" ] || die "no host interpreter at $HOST_PYTHON (run make setup)"
enter_private_mount_namespace "$SELF" "$@"

# Installs the pinned consumers into a venv in the new tree that also sees the tree's own packages.
install_consumers() {
    local version pin wheels=/tmp/kelvra-wheels
    version=$(chroot_sh 'python3 -c "import sys; print(\"%d.%d\" % sys.version_info[:2])"' \
              "$TREE.new")
    log "fetching the wheels for CPython $version: ${PINS[*]}"
    # One at a time, so that a failure names the package without a wheel for this interpreter.
    for pin in "${PINS[@]}"; do
        "$HOST_PYTHON" -m pip download --quiet --disable-pip-version-check --no-deps \
            --only-binary=:all: --python-version "$version" --dest "$TREE.new$wheels" "$pin" ||
            die "no wheel of $pin for CPython $version (see pip's message above)"
    done
    bind /proc "$TREE.new/proc"
    chroot_sh "python3 -m venv --system-site-packages $VENV_IN_TREE
               $VENV_IN_TREE/bin/python -m pip install --quiet --disable-pip-version-check \
                   --no-cache-dir --no-index --find-links $wheels ${PINS[*]}
               rm -rf $wheels" "$TREE.new"
    unmount_all
}

TREE_ENV=(PYTEST_ARGS="${PYTEST_ARGS:-}" JOBS="${PY314_JOBS:-2}")

# A plain assignment, so that a missing pin stops the script.
PINS_TEXT=$(pins_of requirements-dev.txt "${CONSUMERS[@]}")
mapfile -t PINS <<<"$PINS_TEXT"
STAMP_INPUTS=("$VENV_IN_TREE" "${PINS[@]}")
t=$(now)
ensure_tree "$SUITE" "$(dpkg --print-architecture)" install_consumers
bind "$PWD" "$TREE$SRC_IN_TREE"
bind /proc "$TREE/proc"
log "tree ready in $(since "$t"): $(in_tree "$VENV_IN_TREE/bin/python --version")"

t=$(now)
in_tree "cmake -S . -B $BUILD -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVRA_WERROR=ON \
             -DPython_EXECUTABLE=\"\$(command -v python3)\" >/dev/null
         cmake --build $BUILD --parallel \"\$JOBS\""
log "build in $(since "$t")"

t=$(now)
# No cache provider: the host's pytest keeps its own record of the last run.
in_tree "PYTHONPATH=$SRC_IN_TREE/$BUILD $VENV_IN_TREE/bin/python -m pytest -p no:cacheprovider \
         \$PYTEST_ARGS"
log "tests in $(since "$t")"
multiarch=$(in_tree 'c++ -print-multiarch')
unmount_all

# The same module file, offered to the host's interpreter. The module needs a newer C++ runtime
# (and so a newer C library) than the host has, so the interpreter runs on the tree's dynamic
# loader and libraries: loading then gets as far as the module's own version check.
shopt -s nullglob
modules=("$BUILD"/kelvra.*.so)
loaders=("$TREE/usr/lib/$multiarch"/ld-linux*.so.*)
[ ${#modules[@]} -eq 1 ] || die "expected one kelvra module in $BUILD, found ${#modules[@]}"
[ ${#loaders[@]} -eq 1 ] || die "expected one dynamic loader in $TREE/usr/lib/$multiarch"
host=("${loaders[0]}" --library-path "$TREE/usr/lib/$multiarch" "$HOST_PYTHON")
log "host check: $("${host[@]}" --version) loads ${modules[0]}"
# No conftest: it imports kelvra, which the host interpreter must not find (and these tests use
# none of its fixtures).
KELVRA_PY314_MODULE="$PWD/${modules[0]}" "${host[@]}" -m pytest -p no:cacheprovider --noconftest \
    tests/test_py314.py
