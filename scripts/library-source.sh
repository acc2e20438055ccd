#!/usr/bin/env bash
# Puts the sources of the libraries the portable wheels compile into the module, each of the
# version this machine's Debian -dev package holds, into DIR, from Debian's source package of that
# version: the module then needs neither the libraries nor the newer C library and C++ runtime
# Debian's builds of them were made against on the machine it goes to. Each is kept in DIR and
# fetched again only when its version changes.
#   simdjson: its single-file source (simdjson.h and simdjson.cpp, the upstream amalgamation)
#   zlib:     zlib's C sources and headers (gzip input, where the build has no ISA-L)
#   zstd:     libzstd's lib/ folder (Zstandard input; only its decoder is compiled)
#
# Usage: scripts/library-source.sh DIR   (DIR/simdjson, DIR/zlib, DIR/zstd)
# Environment: LIBRARY_SOURCE_SUITE (the Debian release whose source packages hold those versions;
# default the machine's own).
set -euo pipefail
cd "$(dirname "$0")/.."

[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
ROOT_DIR=$(realpath -m "$1")
SUITE=${LIBRARY_SOURCE_SUITE:-$(. /etc/os-release && echo "$VERSION_CODENAME")}

log() { echo "library-source: $*"; }
die() { echo "library-source: $*" >&2; exit 1; }
# shellcheck source=scripts/debian-source.sh
. scripts/debian-source.sh

fetch_library() {
    local NAME=$1 DIR=$ROOT_DIR/$1 dev source marker version work tarball single top lib
    case $NAME in
        simdjson) dev=libsimdjson-dev source=simdjson marker=simdjson.cpp ;;
        zlib) dev=zlib1g-dev source=zlib marker=inflate.c ;;
        zstd) dev=libzstd-dev source=libzstd marker=zstd.h ;;
        *) die "unknown library $NAME" ;;
    esac

    # 1:1.2.13.dfsg-1 -> 1.2.13.dfsg: the upstream version, as the source package's tarball names it.
    version=$(dpkg-query -W -f '${Version}' "$dev" 2>/dev/null | sed 's/^[0-9]*://; s/-[^-]*$//')
    [ -n "$version" ] || die "$dev is not installed (run make setup)"
    if [ "$(cat "$DIR/VERSION" 2>/dev/null)" = "$version" ] && [ -f "$DIR/$marker" ]; then
        return 0
    fi

    work=$DIR.work
    rm -rf "$work"
    fetch_debian_source "$SUITE" "$source" "$work/apt" "$work/src"
    tarball=$(ls "$work/src"/"${source}_$version".orig.tar.* 2>/dev/null | head -n 1 || true)
    [ -n "$tarball" ] || die "$SUITE's $source source is not $version (found: $(ls "$work/src" | paste -sd ' '))"
    tar -xf "$tarball" -C "$work/src"
    rm -rf "$DIR"
    mkdir -p "$DIR"
    case $NAME in
        simdjson)
            single=$(find "$work/src" -path '*/singleheader/simdjson.cpp' -print -quit)
            [ -n "$single" ] || die "$tarball holds no singleheader/simdjson.cpp"
            cp "$(dirname "$single")/simdjson.h" "$single" "$DIR/" ;;
        zlib)
            top=$(dirname "$(find "$work/src" -maxdepth 2 -name inflate.c -print -quit)")
            [ "$top" != . ] || die "$tarball holds no inflate.c"
            cp "$top"/*.c "$top"/*.h "$DIR/" ;;
        zstd)
            lib=$(dirname "$(find "$work/src" -maxdepth 3 -path '*/lib/zstd.h' -print -quit)")
            [ "$lib" != . ] || die "$tarball holds no lib/zstd.h"
            cp -r "$lib"/. "$DIR/" ;;
    esac
    echo "$version" >"$DIR/VERSION"
    rm -rf "$work"
    log "$NAME $version's source in $DIR"
}

for library in simdjson zlib zstd; do fetch_library "$library"; done
