# Sourced by the scripts that build from a Debian source package (free-threaded-python.sh,
# library-source.sh): fetches one with apt-get from the mirror this machine's apt is configured
# with, but through an apt configuration of its own (a deb-src entry, its own lists and cache), so
# that the machine's apt state is neither read for sources nor changed.
#
# Usage: fetch_debian_source SUITE PACKAGE APT_DIR DEST   (the files land in DEST; callers define
# log and die)
fetch_debian_source() {
    local suite=$1 package=$2 apt_dir dest=$4 mirror options
    apt_dir=$(realpath -m "$3")    # apt reads a relative directory below /etc/apt
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    mirror=$(scripts/debian-mirror.sh)
    [ -n "$mirror" ] || die "no Debian mirror found in the apt configuration"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/sources.list.d"
    if [ -f "$keyring" ]; then
        echo "deb-src [signed-by=$keyring] $mirror $suite main" >"$apt_dir/sources.list"
    else
        echo "deb-src $mirror $suite main" >"$apt_dir/sources.list"
    fi
    options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
             -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
             -o "Dir::State::Lists=$apt_dir/lists"
             -o "Dir::Cache=$apt_dir/cache")
    # apt's download user cannot reach into the checkout; as root, download as root outright.
    [ "$(id -u)" -ne 0 ] || options+=(-o APT::Sandbox::User=root)
    log "fetching the $suite source of $package"
    apt-get "${options[@]}" -qq update
    mkdir -p "$dest"
    (cd "$dest" && apt-get "${options[@]}" -qq source --download-only "$package" >/dev/null)
}
