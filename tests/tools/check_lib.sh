# Shared by the brimvox-codec test scripts: a scratch directory removed on exit, `check NAME
# COMMAND...`, which counts COMMAND's success, `status COMMAND...`, which runs COMMAND with its
# output in $tmp/out and $tmp/err and prints its exit status, and `size FILE`. Finish a script
# with `report`.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0
failed=0
check() {  # check NAME CONDITION...
    local name=$1
    shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $name"; fi
}
status() { "$@" >"$tmp/out" 2>"$tmp/err"; echo $?; }
size() { stat -c %s "$1"; }
report() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
