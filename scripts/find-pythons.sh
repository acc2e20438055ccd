#!/usr/bin/env bash
# Prints one interpreter a line for each CPython version given (3.10 3.11 ...): the newest of that
# series that pyenv keeps (under PYENV_ROOT, `pyenv root` or pyenv's default ~/.pyenv), else
# python3.X on PATH. Fails naming the versions it found no interpreter for. Only builds with the
# GIL: the free-threaded one is built by scripts/free-threaded-python.sh.
set -euo pipefail
root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}
missing=()
for version in "$@"; do
    found=
    if [ -n "$root" ]; then
        for candidate in $(ls -d "$root"/versions/"$version".* 2>/dev/null | sort -rV); do
            python=$candidate/bin/python$version
            if [ -x "$python" ] && "$python" -c 'import sys; sys.exit(sys.abiflags != "")' 2>/dev/null; then
                found=$python
                break
            fi
        done
    fi
    if [ -z "$found" ] && command -v "python$version" >/dev/null 2>&1 &&
       "python$version" -c 'import sys; sys.exit(sys.abiflags != "")' 2>/dev/null; then
        found=$(command -v "python$version")
    fi
    if [ -n "$found" ]; then echo "$found"; else missing+=("$version"); fi
done
((${#missing[@]} == 0)) || { echo "find-pythons: no CPython ${missing[*]} found (pyenv or PATH)" >&2; exit 1; }
