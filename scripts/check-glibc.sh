#!/usr/bin/env bash
# Fails loudly unless every shared object in each wheel given (the module and whatever auditwheel
# bundled into kelvra.libs/) needs no GLIBC_ symbol version above FLOOR, and the wheel's platform
# tag names a manylinux glibc no higher than FLOOR either.
#
# Usage: scripts/check-glibc.sh FLOOR WHEEL...     (FLOOR like 2.31)
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 FLOOR WHEEL..." >&2; exit 2; }
floor=$1
shift
die() { echo "check-glibc: $*" >&2; exit 1; }
# 0 when version $1 is at most $2 (both like 2.31).
at_most() { [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | tail -n 1)" = "$2" ]; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for wheel in "$@"; do
    [ -f "$wheel" ] || die "no wheel $wheel"
    name=$(basename "$wheel")
    tags=$(grep -oE 'manylinux_[0-9]+_[0-9]+' <<<"$name" | sed 's/manylinux_//; s/_/./') ||
        die "$name carries no manylinux_X_Y tag"
    for tag in $tags; do
        at_most "$tag" "$floor" || die "$name is tagged for glibc $tag, above $floor"
    done
    rm -rf "${work:?}"/*
    python3 -m zipfile -e "$wheel" "$work"
    mapfile -t objects < <(find "$work" -name '*.so*' -type f | sort)
    ((${#objects[@]})) || die "$name holds no shared object"
    for object in "${objects[@]}"; do
        # objdump -T where this binutils reads the CPU's files; readelf reads every CPU's (a
        # cross tree may have only the cross binutils).
        symbols=$(objdump -T "$object" 2>/dev/null || readelf -W --dyn-syms "$object" 2>/dev/null ||
                  aarch64-linux-gnu-readelf -W --dyn-syms "$object")
        highest=$(grep -oE 'GLIBC_[0-9]+\.[0-9]+(\.[0-9]+)?' <<<"$symbols" | sed 's/GLIBC_//' |
                  sort -uV | tail -n 1)
        [ -n "$highest" ] || die "$name: ${object#"$work"/} names no GLIBC_ symbol version at all"
        at_most "$highest" "$floor" ||
            die "$name: ${object#"$work"/} needs GLIBC_$highest, above the floor $floor:
$(grep -E "GLIBC_$highest" <<<"$symbols" | head -n 5)"
        echo "check-glibc: $name: ${object#"$work"/}: highest GLIBC_$highest (floor $floor)"
    done
done
