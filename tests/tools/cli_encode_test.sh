#!/usr/bin/env bash
# brimvox-codec encode and roundtrip as a user meets them: inputs of every kind, padding,
# pipes, batch mode, voice decisions, exit codes and error lines.
# usage: cli_encode_test.sh PATH_TO_BRIMVOX_CODEC SPEECH_RAW
set -uo pipefail
cli=${1:?brimvox-codec}
speech=${2:?speech sample (raw 8000 Hz)}
. "$(dirname "$0")/check_lib.sh"
# Writes a WAV file of the raw samples in $1 at rate $3 with $4 channels (samples duplicated).
mkwav() {
    python3 - "$1" "$2" "$3" "$4" <<'PY'
import sys, wave, array
raw, out, rate, ch = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
a = array.array('h'); a.frombytes(open(raw, 'rb').read())
b = array.array('h', [s for s in a for _ in range(ch)])
w = wave.open(out, 'wb'); w.setnchannels(ch); w.setsampwidth(2); w.setframerate(rate)
w.writeframes(b.tobytes()); w.close()
PY
}

head -c 4800 "$speech" > "$tmp/ten.raw"     # 2400 samples = 10 frames
head -c 4802 "$speech" > "$tmp/tenplus.raw"  # one sample more: 11 frames
head -c 4801 "$speech" > "$tmp/odd.raw"      # a stray byte

check "encode --help exits 0" test "$(status "$cli" encode --help)" = 0
check "roundtrip --help exits 0" test "$(status "$cli" roundtrip -h)" = 0
check "main help lists encode" grep -q "encode IN OUT" <("$cli" --help)
check "encode without output is a usage error" test "$(status "$cli" encode "$tmp/ten.raw")" = 2
check "encode with unknown option is a usage error" test "$(status "$cli" encode --fast a b)" = 2
check "-o without directory is a usage error" test "$(status "$cli" encode -o)" = 2
check "roundtrip rejects -o" test "$(status "$cli" roundtrip -o "$tmp" "$tmp/ten.raw")" = 2

check "unreadable input fails with 1" test "$(status "$cli" encode "$tmp/none.raw" "$tmp/o.bvx")" = 1
check "unreadable input: one clear line" test "$(cat "$tmp/err")" = "brimvox-codec: $tmp/none.raw: No such file or directory"
check "unreadable input writes nothing" test ! -e "$tmp/o.bvx"
check "uncreatable output fails with 1" test "$(status "$cli" encode --raw "$tmp/ten.raw" "$tmp/no/dir/o.bvx")" = 1
printf 'RIFF\x10\x00\x00\x00WAVEjunkjunk' > "$tmp/broken.wav"
check "damaged WAV fails with 1" test "$(status "$cli" encode "$tmp/broken.wav" "$tmp/o.bvx")" = 1
check "damaged WAV names the file" grep -q "broken.wav" "$tmp/err"

check "raw encode succeeds" test "$(status "$cli" encode --raw "$tmp/ten.raw" "$tmp/ten.bvx")" = 0
check "ten frames of 18 bytes" test "$(size "$tmp/ten.bvx")" = 180
check "a partial last frame is padded, not lost" test "$(status "$cli" encode --raw "$tmp/tenplus.raw" "$tmp/tenplus.bvx"; size "$tmp/tenplus.bvx")" = "0
198"
check "padding keeps the earlier frames" cmp -s -n 180 "$tmp/ten.bvx" "$tmp/tenplus.bvx"
check "a stray byte is noted" test "$(status "$cli" encode --raw "$tmp/odd.raw" "$tmp/odd.bvx"; grep -c "trailing byte" "$tmp/err")" = "0
1"
check "every encoded frame is valid" grep -q "^bad frames: *0$" <("$cli" info "$tmp/tenplus.bvx")

"$cli" encode - - < "$tmp/ten.raw" > "$tmp/piped.bvx" 2>/dev/null
check "stdin to stdout equals file to file" cmp -s "$tmp/piped.bvx" "$tmp/ten.bvx"

mkwav "$tmp/ten.raw" "$tmp/ten8k.wav" 8000 1
check "8000 Hz mono WAV encodes like the raw samples" test "$(status "$cli" encode "$tmp/ten8k.wav" "$tmp/wav.bvx")" = 0
check "8000 Hz mono WAV gives identical frames" cmp -s "$tmp/wav.bvx" "$tmp/ten.bvx"
# Full-scale samples (both extremes, every 64th value) and a WAV cut short: 8000 Hz mono WAV
# of 16 bits is read without conversion, and must still give the raw samples' frames.
python3 -c "
import array, sys
a = array.array('h', [(-32768, 32767, -1, 0, 1)[i % 5] if i < 500 else ((i * 64) % 65536) - 32768
                      for i in range(4800)])
open(sys.argv[1], 'wb').write(a.tobytes())" "$tmp/full.raw"
mkwav "$tmp/full.raw" "$tmp/full.wav" 8000 1
"$cli" encode --raw "$tmp/full.raw" "$tmp/full-raw.bvx" 2>/dev/null
"$cli" encode "$tmp/full.wav" "$tmp/full-wav.bvx" 2>/dev/null
check "full-scale 8000 Hz WAV gives the raw samples' frames" cmp -s "$tmp/full-wav.bvx" "$tmp/full-raw.bvx"
head -c 6044 "$tmp/full.wav" > "$tmp/cut.wav"
head -c 6000 "$tmp/full.raw" > "$tmp/cut.raw"
"$cli" encode --raw "$tmp/cut.raw" "$tmp/cut-raw.bvx" 2>/dev/null
check "cut 8000 Hz WAV encodes what it holds" test "$(status "$cli" encode "$tmp/cut.wav" "$tmp/cut-wav.bvx")" = 0
check "cut 8000 Hz WAV is reported as truncated" grep -q "truncated" "$tmp/err"
check "cut 8000 Hz WAV gives the frames of its samples" cmp -s "$tmp/cut-wav.bvx" "$tmp/cut-raw.bvx"
if command -v sox >/dev/null; then
    # Other sample widths are converted as before: 24-bit samples of the same values agree.
    sox -q "$tmp/full.wav" -b 24 "$tmp/full24.wav"
    "$cli" encode "$tmp/full24.wav" "$tmp/full24.bvx" 2>/dev/null
    check "24-bit 8000 Hz WAV of the same samples gives the same frames" cmp -s "$tmp/full24.bvx" "$tmp/full-raw.bvx"
fi
mkwav "$tmp/ten.raw" "$tmp/stereo.wav" 8000 2
"$cli" encode -v "$tmp/stereo.wav" "$tmp/stereo.bvx" 2>"$tmp/err"
check "identical stereo channels mix down to the same frames" cmp -s "$tmp/stereo.bvx" "$tmp/ten.bvx"
check "the conversion is noted with -v" grep -q "converted 2 channel" "$tmp/err"
cat "$tmp/ten8k.wav" > "$tmp/wav-without-suffix"
"$cli" encode "$tmp/wav-without-suffix" "$tmp/sniffed.bvx" 2>/dev/null
check "a WAV header is recognised without the suffix" cmp -s "$tmp/sniffed.bvx" "$tmp/ten.bvx"
mkwav "$speech" "$tmp/s16k.wav" 16000 1
check "16 kHz WAV is resampled" test "$(status "$cli" encode "$tmp/s16k.wav" "$tmp/s16k.bvx")" = 0
full=$(( ( $(size "$speech") / 2 / 2 + 239 ) / 240 * 18 ))
check "resampling keeps the duration (half the samples at 8 kHz)" test "$(size "$tmp/s16k.bvx")" -ge $((full - 36)) -a "$(size "$tmp/s16k.bvx")" -le $((full + 36))

check "roundtrip succeeds" test "$(status "$cli" roundtrip --raw "$tmp/ten.raw" "$tmp/rt.raw")" = 0
"$cli" decode "$tmp/ten.bvx" "$tmp/dec.raw" 2>/dev/null
check "roundtrip equals encode then decode" cmp -s "$tmp/rt.raw" "$tmp/dec.raw"
check "roundtrip to WAV" test "$(status "$cli" roundtrip --raw "$tmp/ten.raw" "$tmp/rt.wav")" = 0
check "roundtrip WAV is 8000 Hz mono with 2400 samples" test "$(python3 -c "
import wave, sys
w = wave.open(sys.argv[1])
print(w.getframerate(), w.getnchannels(), w.getnframes())" "$tmp/rt.wav")" = "8000 1 2400"

"$cli" encode --vad --raw "$tmp/tenplus.raw" "$tmp/v.bvx" 2>"$tmp/vad"
check "--vad writes one line per frame" test "$(wc -l < "$tmp/vad")" = 11
check "--vad lines are frame, time, decision" grep -qE '^10 0\.300 [01]$' "$tmp/vad"
check "--vad does not change the frames" cmp -s "$tmp/v.bvx" "$tmp/tenplus.bvx"

mkdir -p "$tmp/in" "$tmp/outdir"
for i in 1 2 3 4 5; do head -c $((4800 * i)) "$speech" > "$tmp/in/part$i.raw"; done
check "batch encode succeeds" test "$(status "$cli" encode --raw -o "$tmp/outdir" "$tmp"/in/part*.raw)" = 0
ok=true
for i in 1 2 3 4 5; do
    "$cli" encode --raw "$tmp/in/part$i.raw" "$tmp/single$i.bvx" 2>/dev/null
    cmp -s "$tmp/outdir/part$i.bvx" "$tmp/single$i.bvx" || ok=false
done
check "batch outputs equal single encodes" $ok
cp "$tmp/in/part1.raw" "$tmp/part1.raw"
check "two inputs to one output name are refused" test "$(status "$cli" encode --raw -o "$tmp/outdir" "$tmp/in/part1.raw" "$tmp/part1.raw")" = 1
mkdir -p "$tmp/outdir2"
check "batch with a missing input fails with 1" test "$(status "$cli" encode --raw -o "$tmp/outdir2" "$tmp/in/part2.raw" "$tmp/in/nothere.raw")" = 1
check "batch names the missing input" grep -q "nothere.raw: No such file" "$tmp/err"
check "batch still writes the good inputs" cmp -s "$tmp/outdir2/part2.bvx" "$tmp/single2.bvx"
check "batch refuses stdin" test "$(status "$cli" encode -o "$tmp/outdir" -)" = 2

report
