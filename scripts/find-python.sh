#!/bin/sh
# Prints the first interpreter on PATH that actually runs (a version-manager shim for a version
# that is not selected is on PATH but fails).
for p in python3.14t python3.14 python3.13t python3.13 python3; do
    if command -v "$p" >/dev/null 2>&1 && "$p" -c pass >/dev/null 2>&1; then
        echo "$p"
        exit 0
    fi
done
echo "no usable python3 on PATH" >&2
exit 1
