# Shared by the brimvox-codec test scripts: a scratch directory removed on exit, and `check NAME
# COMMAND...`, which counts COMMAND's success. Finish a script with `report`.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0
failed=0
check() {  # check NAME CONDITION...
    local name=$1
    shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $name"; fi
}
report() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
