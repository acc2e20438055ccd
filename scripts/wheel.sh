#!/usr/bin/env bash
# Makes the manylinux wheel for an interpreter and puts it into dist/. scikit-build-core builds it
# with the tools found first on PATH (the pinned ones of the interpreter's venv); auditwheel then
# copies simdjson into the wheel (kelvra.libs/) and points the module at that copy, so the wheel
# needs no simdjson on the machine it goes to.
#
# Usage: scripts/wheel.sh PYTHON RAW_DIR [-Cname=value ...]  (RAW_DIR receives the wheel before
# auditwheel; the -C settings go to scikit-build-core)
# Environment: WHEEL_PLAT (the platform tag auditwheel must give the wheel, manylinux_2_17_x86_64
# and the like; it refuses a module that needs more; default the lowest it finds the module meets).
set -euo pipefail
cd "$(dirname "$0")/.."
python=$1
raw=$2
shift 2

rm -rf "$raw"
version=$("$python" -c 'import platform, sys; print(sys.version.split()[0], platform.machine())')
echo "wheel: building the wheel for Python $version with scikit-build-core (a minute the first time)"
"$python" -m pip wheel --no-deps --no-build-isolation --disable-pip-version-check -q -w "$raw" \
    "$@" .
echo "wheel: bundling simdjson with auditwheel${WHEEL_PLAT:+ (platform $WHEEL_PLAT)}"
auditwheel repair -w dist ${WHEEL_PLAT:+--plat "$WHEEL_PLAT"} "$raw"/kelvra-*.whl
