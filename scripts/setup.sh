#!/usr/bin/env bash
# Installs what the build needs: Debian packages (only those missing) and the project's .venv
# with the pinned tools. Idempotent and quick when everything is already in place.
# Environment: PYTHON and VENV (the interpreter and the venv made from it), REQUIREMENTS (the
# pinned tools, default requirements-dev.txt), EXTRA_REQUIREMENTS, EXTRA_APT_PACKAGES.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-$(scripts/find-python.sh)}
VENV=${VENV:-.venv}
APT_PACKAGES=(g++ make libsimdjson-dev zlib1g-dev libisal-dev libzstd-dev ${EXTRA_APT_PACKAGES:-})

# Debian's own interpreter makes venvs only with python3.X-venv and builds modules only with
# python3.X-dev: add them when PYTHON is that interpreter (a file of a Debian package).
python_path=$(command -v "$PYTHON" || true)
if [ -n "$python_path" ] && dpkg -S "$(realpath "$python_path")" >/dev/null 2>&1; then
    version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    APT_PACKAGES+=("python$version-venv" "python$version-dev")
fi

missing=()
for pkg in "${APT_PACKAGES[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
    echo "setup: installing Debian packages: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi

# Recreate the venv when it was made from another interpreter version.
want=$("$PYTHON" -c 'import sys; print(sys.version)')
if [ -x "$VENV/bin/python" ]; then
    have=$("$VENV/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null || true)
    if [ "$have" != "$want" ]; then
        echo "setup: $VENV was made from another interpreter; recreating"
        rm -rf "$VENV"
    fi
fi
if [ ! -x "$VENV/bin/python" ]; then
    echo "setup: creating $VENV from $PYTHON ($("$PYTHON" -c 'import sys; print(sys.version.split()[0])'))"
    "$PYTHON" -m venv "$VENV"
fi

stamp="$VENV/.kelvra-requirements"
for req in ${REQUIREMENTS:-requirements-dev.txt} ${EXTRA_REQUIREMENTS:-}; do
    sum=$(sha256sum "$req" | cut -d' ' -f1)
    if ! grep -qx "$req $sum" "$stamp" 2>/dev/null; then
        echo "setup: installing the tools pinned in $req into $VENV: $(grep -oE '^[A-Za-z0-9_.-]+' "$req" | paste -sd' ')"
        "$VENV/bin/python" -m pip install -q --disable-pip-version-check -r "$req"
        { grep -v "^$req " "$stamp" 2>/dev/null || true; echo "$req $sum"; } >"$stamp.new"
        mv "$stamp.new" "$stamp"
    fi
done
