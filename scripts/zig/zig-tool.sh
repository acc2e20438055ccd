#!/bin/sh
# Zig's C++ compiler and archiver under the names CMake expects (c++, ar, ranlib: symlinks to this
# file), for the portable wheels. The compiler builds for KELVRA_ZIG_TARGET (x86_64-linux-gnu.2.17
# and the like: CPU, system, C library and its oldest version the code may need) and links Zig's
# own libc++ into the module statically. KELVRA_ZIG is the zig program (the ziglang package's).
tool=$(basename "$0")
case $tool in
    c++) exec "${KELVRA_ZIG:?set KELVRA_ZIG to the zig program}" c++ \
             -target "${KELVRA_ZIG_TARGET:?set KELVRA_ZIG_TARGET, e.g. x86_64-linux-gnu.2.17}" "$@" ;;
    ar | ranlib) exec "${KELVRA_ZIG:?set KELVRA_ZIG to the zig program}" "$tool" "$@" ;;
    *) echo "zig-tool.sh: called as $tool; expected c++, ar or ranlib" >&2; exit 2 ;;
esac
