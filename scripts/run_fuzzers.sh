#!/usr/bin/env bash
# Runs every libFuzzer target (fuzz_*) of a build directory for a bounded time each.
# usage: run_fuzzers.sh BUILD_DIR SECONDS
set -euo pipefail
build=${1:?build directory}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
mapfile -t targets < <(find "$build" -type f -name 'fuzz_*' -perm -u+x | sort)
if [ ${#targets[@]} -eq 0 ]; then
    echo "run_fuzzers: no fuzz targets in $build" >&2
    exit 1
fi
for t in "${targets[@]}"; do
    name=$(basename "$t")
    name=${name#fuzz_}
    work="$build/fuzz-corpus/$name"
    mkdir -p "$work"
    seeds=()
    [ -d "$root/tests/fuzz/corpus/$name" ] && seeds+=("$root/tests/fuzz/corpus/$name")
    echo "fuzzing $name for ${seconds}s"
    "$t" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-$name-" "$work" "${seeds[@]}" 2>&1 | tail -n 12
    [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "fuzz_$name found a failure" >&2; exit 1; }
done
echo "fuzzers: ${#targets[@]} ran for ${seconds}s each without a failure"
