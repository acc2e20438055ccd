#!/usr/bin/env bash
# Puts simdjson's single-file source (simdjson.h and simdjson.cpp, the upstream amalgamation) of
# the version this machine's libsimdjson-dev holds into DIR, from Debian's source package of that
# version. The portable wheels compile it into the module, which then needs no libsimdjson (nor the
# newer C library and C++ runtime Debian's build of it was made against) on the machine it goes to.
# Kept in DIR and fetched again only when the version changes.
#
# Usage: scripts/simdjson-source.sh DIR
# Environment: SIMDJSON_SUITE (the Debian release whose source package holds that version; default
# the machine's own).
set -euo pipefail
cd "$(dirname "$0")/.."

[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
DIR=$(realpath -m "$1")
SUITE=${SIMDJSON_SUITE:-$(. /etc/os-release && echo "$VERSION_CODENAME")}

log() { echo "simdjson-source: $*"; }
die() { echo "simdjson-source: $*" >&2; exit 1; }
# shellcheck source=scripts/debian-source.sh
. scripts/debian-source.sh

# 3.0.1-1 -> 3.0.1: the upstream version, as the source package's tarball names it.
version=$(dpkg-query -W -f '${Version}' libsimdjson-dev 2>/dev/null | sed 's/^[0-9]*://; s/-[^-]*$//')
[ -n "$version" ] || die "libsimdjson-dev is not installed (run make setup)"
if [ "$(cat "$DIR/VERSION" 2>/dev/null)" = "$version" ] && [ -f "$DIR/simdjson.cpp" ]; then
    exit 0
fi

work=$DIR.work
rm -rf "$work"
fetch_debian_source "$SUITE" simdjson "$work/apt" "$work/src"
tarball=$(ls "$work/src"/simdjson_"$version".orig.tar.* 2>/dev/null | head -n 1 || true)
[ -n "$tarball" ] || die "$SUITE's simdjson source is not $version (found: $(ls "$work/src" | paste -sd ' '))"
tar -xf "$tarball" -C "$work/src"
single=$(find "$work/src" -path '*/singleheader/simdjson.cpp' -print -quit)
[ -n "$single" ] || die "$tarball holds no singleheader/simdjson.cpp"
rm -rf "$DIR"
mkdir -p "$DIR"
cp "$(dirname "$single")/simdjson.h" "$(dirname "$single")/simdjson.cpp" "$DIR/"
echo "$version" >"$DIR/VERSION"
rm -rf "$work"
log "simdjson $version's single-file source in $DIR"
