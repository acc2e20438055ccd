# Sourced by the scripts that build and test inside a Debian tree made once with mmdebstrap and
# cached under build/ (test-py314.sh, test-aarch64.sh): logging and timing, the private mount
# namespace, the making of the tree, its mounts, and commands run inside it.
#
# Before sourcing, set LOG_PREFIX (what every message starts with); before calling the tree
# functions, set TREE (the tree's directory), SRC_IN_TREE (where the checkout appears in it),
# STAMP (the file in the tree that says what it was made from) and BUILD (the build folder made
# with it). TREE_ENV (an array of NAME=value) is passed to every command run in the tree.

log() { echo "$LOG_PREFIX: $*"; }
die() { echo "$LOG_PREFIX: $*" >&2; exit 1; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f s", b - a }'; }
minutes_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f min", (b - a) / 60 }'; }

# Runs the calling script ($1, then its arguments) again in a private mount namespace. Every mount
# it makes then stays there: other processes never see the checkout mounted inside the tree (so an
# `rm -rf build` elsewhere cannot reach through it), and the mounts vanish with the namespace even
# if the script is killed outright.
enter_private_mount_namespace() {
    if [ "${KELVRA_TREE_NS:-}" != 1 ]; then
        exec env KELVRA_TREE_NS=1 unshare --mount --propagation private -- "$@"
    fi
}

# Installs the Debian packages given that the host lacks.
ensure_host_packages() {
    local pkg missing=()
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    ((${#missing[@]})) || return 0
    log "installing ${missing[*]}"
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends "${missing[@]}"
}

# The host's settings for reaching the mirror (a frozen mirror has expired Release files that the
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

# The name==version line of each named package in a requirements file.
pins_of() {
    local file=$1 name
    shift
    for name in "$@"; do
        grep -m1 -oiE "^$name==[^[:space:]#]+" "$file" || die "$file pins no version of $name"
    done
}

# Makes $TREE.new afresh with mmdebstrap from the host's Debian mirror: make_tree SUITE
# ARCHITECTURES PACKAGE... (ARCHITECTURES comma-separated, the tree's own first). Exits with
# TREE_UNAVAILABLE_STATUS, when set, if mmdebstrap fails.
make_tree() {
    local suite=$1 architectures=$2 mirror options
    shift 2
    ensure_host_packages mmdebstrap
    mirror=$(scripts/debian-mirror.sh)
    [ -n "$mirror" ] || die "no Debian mirror found in the apt configuration"
    mapfile -t options < <(host_apt_options)
    assert_unmounted "$TREE"
    assert_unmounted "$TREE.new"
    rm -rf "$TREE.new"
    mkdir -p "$(dirname "$TREE")"
    if ! mmdebstrap --mode=root --variant=apt --quiet --architectures="$architectures" \
             --aptopt='APT::Install-Recommends "false"' "${options[@]}" \
             --include="$(IFS=,; echo "$*")" \
             "$suite" "$TREE.new" "deb $mirror $suite main"; then
        # A caller that can do without the tree (a mirror lacking the suite, an architecture or a
        # package) says so with TREE_UNAVAILABLE_STATUS, the status to exit with.
        [ -z "${TREE_UNAVAILABLE_STATUS:-}" ] || {
            log "cannot make the $suite tree ($architectures) from the mirror: see mmdebstrap's message"
            exit "$TREE_UNAVAILABLE_STATUS"
        }
        die "mmdebstrap could not make the $suite tree ($architectures)"
    fi
}

# Makes $TREE with make_tree and then FILL (a function that completes $TREE.new), unless the tree
# was made from the same suite, architectures, PACKAGES and STAMP_INPUTS (arrays) before: its
# STAMP file holds their hash. A build made with the old tree (BUILD) goes with it.
# Usage: ensure_tree SUITE ARCHITECTURES FILL
ensure_tree() {
    local want
    want=$(printf '%s\n' "$1" "$2" "${PACKAGES[@]}" "${STAMP_INPUTS[@]}" | sha256sum | cut -d' ' -f1)
    if [ "$(cat "$TREE/$STAMP" 2>/dev/null)" = "$want" ]; then
        return
    fi
    log "making the $1 tree in $TREE (${PACKAGES[*]})"
    make_tree "$1" "$2" "${PACKAGES[@]}"
    "$3"
    echo "$want" >"$TREE.new/$STAMP"
    rm -rf "$TREE" "$BUILD"
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

# Runs a shell script in a tree ($TREE, or the one given second), in a clean environment.
chroot_sh() {
    chroot "${2:-$TREE}" /usr/bin/env -i \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LANG=C.UTF-8 "${TREE_ENV[@]}" sh -euc "$1"
}

# Runs a shell script in the tree, in the checkout.
in_tree() {
    chroot_sh "cd $SRC_IN_TREE; $1"
}
