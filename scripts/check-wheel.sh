#!/usr/bin/env bash
# Checks the wheel in dist/ as a pip user gets it. It goes into a new venv with nothing beside it
# but pytest, hypothesis and mypy; the module must load its own copy of simdjson from the wheel,
# never the system's (or, built with simdjson compiled in, load no simdjson library at all); the whole suite runs against the installed module, from a directory outside
# the checkout and without PYTHONPATH; mypy --strict must pass on a script that uses every name of
# the module, and stubtest must find the stub and the module agreeing.
#
# Environment: PYTHON (the interpreter the wheel is for; default .venv's, whose pip installs into
# the new venv), PYTEST_ARGS, WHEELHOUSE (a directory to take pytest, hypothesis and mypy from
# instead of the package index), WHEEL (the wheel to check; default the newest in dist/ for
# PYTHON), REQUIREMENTS (the file pinning pytest and hypothesis; default requirements-dev.txt),
# TYPE_CHECKS (0: no mypy and stubtest, for an interpreter mypy cannot be installed on).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHON=${PYTHON:-.venv/bin/python}
unset PYTHONPATH

log() { echo "check-wheel: $*"; }
die() { echo "check-wheel: $*" >&2; exit 1; }

# cp311-cp311, or cp314-cp314t for a free-threaded interpreter; and x86_64, aarch64, ...
tags=$("$PYTHON" -c 'import sys; v = "cp%d%d" % sys.version_info[:2]; print(v + "-" + v + sys.abiflags)')
machine=$("$PYTHON" -c 'import platform; print(platform.machine())')
wheel=${WHEEL:-$(ls -t dist/kelvra-*-"$tags"-manylinux*_"$machine".whl 2>/dev/null | head -n 1 || true)}
[ -n "$wheel" ] || die "no manylinux wheel for $tags on $machine in dist/: run make wheel first"

venv=$ROOT/build/wheel-check/$tags-$machine
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log "installing $wheel into a new venv, $venv"
rm -rf "$venv"
"$PYTHON" -m venv --without-pip "$venv"
py=$venv/bin/python
"$PYTHON" -m pip --python "$py" install -q --disable-pip-version-check \
    ${WHEELHOUSE:+--no-index --find-links "$WHEELHOUSE"} "$wheel" \
    $(grep -E '^(pytest|hypothesis)==' "${REQUIREMENTS:-requirements-dev.txt}") \
    $([ "${TYPE_CHECKS:-1}" = 0 ] || grep -E '^mypy==' requirements-wheel.txt)
site=$("$py" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')

# From here on nothing runs inside the checkout: neither it nor a module built in it can be found.
cd "$work"

log "the installed module and the simdjson it loads"
"$py" - "$site" <<'PY'
import os, sys, tempfile

site = os.path.realpath(sys.argv[1])
import kelvra

module = os.path.realpath(kelvra.__file__)
assert os.path.dirname(module) == site, f"kelvra was imported from {module}, not from {site}"
with tempfile.TemporaryDirectory() as tmp:  # reading JSON goes through simdjson
    path = os.path.join(tmp, "t.json")
    df = kelvra.DataFrame()
    df["a"] = [1, "x", None]
    df.to_json(path)
    assert kelvra.read_json(path)["a"] == [1, "x", None]
with open("/proc/self/maps") as maps:
    loaded = {line.split()[-1] for line in maps if "simdjson" in line}
bundled = os.path.join(site, "kelvra.libs") + os.sep
if os.path.isdir(bundled):
    assert loaded, "no simdjson mapped into the process"
    assert all(os.path.realpath(p).startswith(bundled) for p in loaded), f"simdjson from {loaded}"
    print(f"  {module}\n  loads {', '.join(sorted(loaded))}")
else:  # simdjson compiled into the module
    assert not loaded, f"the module has simdjson compiled in, yet loads {loaded}"
    print(f"  {module}\n  has simdjson compiled in and loads no simdjson library")
PY

log "the whole suite against the installed module"
"$py" -c 'import sys, kelvra, pytest; print("check-wheel: testing", kelvra.__file__); sys.exit(pytest.main(sys.argv[1:]))' \
    -c "$ROOT/pyproject.toml" --rootdir "$ROOT" -p no:cacheprovider ${PYTEST_ARGS:-} "$ROOT/tests"

if [ "${TYPE_CHECKS:-1}" = 0 ]; then
    log "passed (no mypy and stubtest: TYPE_CHECKS=0)"
    exit 0
fi
log "mypy --strict on a script using every name, with the installed stubs"
"$py" -m mypy --strict --cache-dir "$work/mypy-cache" "$ROOT/tests/stubs/every_method.py"
"$py" "$ROOT/tests/stubs/every_method.py" >/dev/null

log "stubtest: the stub against the installed module"
"$py" -m mypy.stubtest kelvra --allowlist "$ROOT/tests/stubs/stubtest-allowlist.txt"
log "passed"
