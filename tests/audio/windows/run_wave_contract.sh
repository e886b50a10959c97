#!/usr/bin/env bash
# Runs the waveform device's contract tests under Wine (no sound device needed: the driver is
# the test's own).
# Usage: run_wave_contract.sh <wave_contract_tests.exe> <a file two folders below build/>
set -euo pipefail
. "$(dirname "$0")/../../wine_prefix.sh" "$2"
wine "$1"
