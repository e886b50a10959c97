#!/usr/bin/env bash
# Behaviour of brimvox-codec as a user meets it: exit codes, error lines, outputs.
# usage: cli_test.sh PATH_TO_BRIMVOX_CODEC
set -uo pipefail
cli=${1:?brimvox-codec}
. "$(dirname "$0")/check_lib.sh"

# Three valid frames (all zero) plus 5 stray bytes; one frame with lag code 127 (bad).
head -c 54 /dev/zero > "$tmp/three.bvx"
cat "$tmp/three.bvx" > "$tmp/stray.bvx"
printf 'abcde' >> "$tmp/stray.bvx"
{ head -c 17 /dev/zero; printf '\xfe'; } > "$tmp/bad.bvx"

check "help exits 0" test "$(status "$cli" --help)" = 0
check "decode --help exits 0" test "$(status "$cli" decode --help)" = 0
check "info -h exits 0" test "$(status "$cli" info -h)" = 0
check "no command is a usage error" test "$(status "$cli")" = 2
check "unknown command is a usage error" test "$(status "$cli" transmogrify a b)" = 2
check "missing argument is a usage error" test "$(status "$cli" decode "$tmp/three.bvx")" = 2
check "unknown option is a usage error" test "$(status "$cli" decode --fast a b)" = 2
check "usage error names the problem" grep -q "missing argument" <(status "$cli" decode x; cat "$tmp/err")

check "unreadable input fails with 1" test "$(status "$cli" decode "$tmp/none.bvx" "$tmp/o.wav")" = 1
check "unreadable input: one clear line" test "$(cat "$tmp/err")" = "brimvox-codec: $tmp/none.bvx: No such file or directory"
check "unreadable input writes nothing" test ! -e "$tmp/o.wav"
check "uncreatable output fails with 1" test "$(status "$cli" decode "$tmp/three.bvx" "$tmp/no/dir/o.raw")" = 1

check "raw decode succeeds" test "$(status "$cli" decode "$tmp/stray.bvx" "$tmp/o.raw")" = 0
check "trailing bytes are ignored" test "$(stat -c %s "$tmp/o.raw")" = 1440
check "trailing bytes are noted" grep -q "ignoring 5 trailing bytes" "$tmp/err"

check "wav decode succeeds" test "$(status "$cli" decode "$tmp/three.bvx" "$tmp/o.WAV")" = 0
check "wav is 8000 Hz mono 16-bit with 720 frames" test "$(python3 -c "
import wave, sys
w = wave.open(sys.argv[1])
print(w.getframerate(), w.getnchannels(), w.getsampwidth(), w.getnframes())" "$tmp/o.WAV")" = "8000 1 2 720"

"$cli" decode - - < "$tmp/three.bvx" > "$tmp/piped.raw" 2>/dev/null
"$cli" decode "$tmp/three.bvx" "$tmp/file.raw" 2>/dev/null
check "stdin to stdout equals file to file" cmp -s "$tmp/piped.raw" "$tmp/file.raw"

check "info succeeds" test "$(status "$cli" info "$tmp/bad.bvx")" = 0
check "info counts frames" grep -q "^frames: *1$" "$tmp/out"
check "info counts bad frames" grep -q "^bad frames: *1$" "$tmp/out"
check "info reads stdin" test "$(status "$cli" info - < "$tmp/stray.bvx"; grep -c 'trailing: *5 bytes' "$tmp/out")" = "0
1"

report
