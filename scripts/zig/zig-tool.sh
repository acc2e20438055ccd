#!/bin/sh
# Zig's C and C++ compilers and archiver under the names CMake expects (cc, c++, ar, ranlib:
# symlinks to this file), for the portable wheels. The compilers build for KELVRA_ZIG_TARGET
# (x86_64-linux-gnu.2.17 and the like: CPU, system, C library and its oldest version the code may
# need), and the C++ one links Zig's own libc++ into the module statically. KELVRA_ZIG is the zig program (the ziglang package's).
tool=$(basename "$0")
case $tool in
    cc | c++) exec "${KELVRA_ZIG:?set KELVRA_ZIG to the zig program}" "$tool" \
             -target "${KELVRA_ZIG_TARGET:?set KELVRA_ZIG_TARGET, e.g. x86_64-linux-gnu.2.17}" "$@" ;;
    ar | ranlib) exec "${KELVRA_ZIG:?set KELVRA_ZIG to the zig program}" "$tool" "$@" ;;
    *) echo "zig-tool.sh: called as $tool; expected cc, c++, ar or ranlib" >&2; exit 2 ;;
esac
