#!/usr/bin/env bash
# Installs the wheel from build/dist into a fresh virtual environment on Debian's Python, with
# the system's site packages (numpy, Dask, tqdm, fsspec, pytest from Debian packages).
# usage: scripts/python_venv.sh VENV
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
venv=${1:?usage: python_venv.sh VENV}
python=${PYTHON:-/usr/bin/python3}
shopt -s nullglob
wheels=("$root"/build/dist/brimvox-*.whl)
if [ ${#wheels[@]} -ne 1 ]; then
    echo "python_venv: expected one wheel in build/dist, found ${#wheels[@]} (run make wheel)" >&2
    exit 1
fi
rm -rf "$venv"
"$python" -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --quiet --no-deps --no-index "${wheels[0]}"
