#!/usr/bin/env bash
# Runs the Python suite against the installed wheel (see python_venv.sh) and the native build in
# build/linux. Fails when pytest fails, collects no test, or skips any: every test must run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
venv="$root/build/pyvenv"
bash "$root/scripts/python_venv.sh" "$venv"
log="$root/build/python-tests.log"
# From build/, so that python/ (the package sources) cannot shadow the installed wheel.
cd "$root/build"
set +e
BRIMVOX_EXPECT_INSTALLED=1 BRIMVOX_NATIVE_BUILD="$root/build/linux" \
    "$venv/bin/python" -m pytest -p no:cacheprovider -ra "$root/python/tests" 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
set -e
summary=$(grep -E '^=+ .*( in [0-9.]+s).* =+$' "$log" | tail -1 | sed -E 's/^=+ //; s/ =+$//' || true)
if [ "$rc" -eq 5 ]; then
    echo "python tests: pytest collected no tests" >&2
    exit 1
fi
if [ "$rc" -ne 0 ]; then
    echo "python tests: pytest failed (exit $rc): $summary" >&2
    exit 1
fi
if ! grep -Eq '[0-9]+ passed' <<<"$summary" || grep -Eq 'skipped|xfail|deselected' <<<"$summary"; then
    echo "python tests: not every test ran: $summary" >&2
    exit 1
fi
echo "python tests: $summary"
