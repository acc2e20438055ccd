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
          libsimdjson-dev g++ cmake ninja-build)
# Pinned in requirements-dev.txt, installed in the tree's venv (numpy too, so that the tree runs the
# same numpy as the host even when Debian's moves on).
CONSUMERS=(numpy pandas python-dateutil tzdata polars polars-runtime-32 pyarrow duckdb)
VENV_IN_TREE=/opt/consumers
TREE=build/py314-root
BUILD=build/py314         # relative to the checkout, both outside and inside the tree
SRC_IN_TREE=/src          # where the checkout appears inside the tree
STAMP=.kelvra-packages    # inside the tree: hash of what it was made from

log() { echo "py314: $*"; }
die() { echo "py314: $*" >&2; exit 1; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f s", b - a }'; }

[ "$(id -u)" -eq 0 ] || die "needs root (mmdebstrap, chroot, bind mounts)"
HOST_PYTHON=${HOST_PYTHON:-.venv/bin/python}
[ -x "$HOST_PYTHON" ] || die "no host interpreter at $HOST_PYTHON (run make setup)"

# Every mount below lives in a private mount namespace: other processes never see the checkout
# mounted inside the tree (so an `rm -rf build` elsewhere cannot reach through it), and the
# mounts vanish with the namespace even if this script is killed outright.
if [ "${KELVRA_PY314_NS:-}" != 1 ]; then
    exec env KELVRA_PY314_NS=1 unshare --mount --propagation private -- "$SELF" "$@"
fi

# The host's settings for reaching that mirror (a frozen mirror has expired Release files that the
# host is told to accept; a proxy), passed on to apt in the tree.
host_apt_options() {
    local key value
    for key in Acquire::Check-Valid-Until Acquire::Check-Date Acquire::http::Proxy \
               Acquire::https::Proxy; do
        value=$(apt-config shell v "$key" | sed -n "s/^v='\(.*\)'\$/\1/p")
        [ -z "$value" ] || echo "--aptopt=$key \"$value\""
    done
}

# Refuses to go on while anything is mounted at or below a directory about to be deleted:
# removing it would reach into the mounted file system.
assert_unmounted() {
    local dir
    dir=$(realpath -m "$1")
    if awk -v d="$dir" '$5 == d || index($5, d "/") == 1 { bad = 1 } END { exit !bad }' \
           /proc/self/mountinfo; then
        die "something is still mounted below $dir; unmount it before the tree is made again"
    fi
}

ensure_mmdebstrap() {
    command -v mmdebstrap >/dev/null 2>&1 && return
    log "installing mmdebstrap"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap
}

# The requirements-dev.txt line (name==version) of each consumer.
consumer_pins() {
    local name
    for name in "${CONSUMERS[@]}"; do
        grep -m1 -oiE "^$name==[^[:space:]#]+" requirements-dev.txt ||
            die "requirements-dev.txt pins no version of $name"
    done
}

# Installs the pinned consumers into a venv in the new tree that also sees the tree's own packages.
install_consumers() {
    local version pin wheels=/tmp/kelvra-wheels
    version=$(chroot "$TREE.new" python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    log "fetching the wheels for CPython $version: ${PINS[*]}"
    # One at a time, so that a failure names the package without a wheel for this interpreter.
    for pin in "${PINS[@]}"; do
        "$HOST_PYTHON" -m pip download --quiet --disable-pip-version-check --no-deps \
            --only-binary=:all: --python-version "$version" --dest "$TREE.new$wheels" "$pin" ||
            die "no wheel of $pin for CPython $version (see pip's message above)"
    done
    bind /proc "$TREE.new/proc"
    chroot "$TREE.new" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LANG=C.UTF-8 sh -euc '
            venv=$1 wheels=$2
            shift 2
            python3 -m venv --system-site-packages "$venv"
            "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-cache-dir \
                --no-index --find-links "$wheels" "$@"
            rm -rf "$wheels"' sh "$VENV_IN_TREE" "$wheels" "${PINS[@]}"
    unmount_all
}

ensure_tree() {
    local want mirror options
    want=$(printf '%s\n' "$SUITE" "${PACKAGES[@]}" "$VENV_IN_TREE" "${PINS[@]}" |
           sha256sum | cut -d' ' -f1)
    if [ "$(cat "$TREE/$STAMP" 2>/dev/null)" = "$want" ]; then
        return
    fi
    ensure_mmdebstrap
    mirror=$(scripts/debian-mirror.sh)
    [ -n "$mirror" ] || die "no Debian mirror found in the apt configuration"
    mapfile -t options < <(host_apt_options)
    log "making the $SUITE tree in $TREE (${PACKAGES[*]})"
    assert_unmounted "$TREE"
    assert_unmounted "$TREE.new"
    rm -rf "$TREE.new"
    mkdir -p "$(dirname "$TREE")"
    mmdebstrap --mode=root --variant=apt --quiet \
        --aptopt='APT::Install-Recommends "false"' "${options[@]}" \
        --include="$(IFS=,; echo "${PACKAGES[*]}")" \
        "$SUITE" "$TREE.new" "deb $mirror $SUITE main"
    install_consumers
    echo "$want" >"$TREE.new/$STAMP"
    rm -rf "$TREE" "$BUILD"    # a build made by the old tree's compiler is stale too
    mv "$TREE.new" "$TREE"
}

# Mounts made here, most recent last; undone in reverse on every way out of the script.
MOUNTS=()
unmount_all() {
    local i
    for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
        umount "${MOUNTS[i]}" 2>/dev/null || umount --lazy "${MOUNTS[i]}"
    done
    MOUNTS=()
}
trap unmount_all EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

bind() {
    mkdir -p "$2"
    mount --bind "$1" "$2"
    MOUNTS+=("$2")
}

# Runs a shell script in the tree, in the checkout, with a clean environment.
in_tree() {
    chroot "$TREE" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        PYTEST_ARGS="${PYTEST_ARGS:-}" JOBS="${PY314_JOBS:-2}" \
        sh -euc "cd $SRC_IN_TREE; $1"
}

PINS_TEXT=$(consumer_pins)    # a plain assignment, so that a missing pin stops the script
mapfile -t PINS <<<"$PINS_TEXT"
t=$(now)
ensure_tree
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
