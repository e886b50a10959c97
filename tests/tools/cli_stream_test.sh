#!/usr/bin/env bash
# brimvox-codec as a stream: damaged and mutated sound files (never a crash, one line naming
# the file), pipes that deliver slowly, a live pipe interrupted with SIGINT/SIGTERM, memory of
# long inputs, empty and truncated inputs, stdin typing and the smaller habits of the tool.
# usage: cli_stream_test.sh PATH_TO_BRIMVOX_CODEC SPEECH_RAW
set -uo pipefail
cli=$(realpath "${1:?brimvox-codec}")
speech=${2:?speech sample (raw 8000 Hz)}
. "$(dirname "$0")/check_lib.sh"
peak_kb() { /usr/bin/time -f %M -o "$tmp/peak" "$@" >/dev/null 2>&1; cat "$tmp/peak"; }
rawfmt=(-t raw -r 8000 -e signed -b 16 -c 1)
cp "$speech" "$tmp/speech.raw"
"$cli" encode --raw "$tmp/speech.raw" "$tmp/ref.bvx" 2>/dev/null

# ---- no crash on any input ----
sox "${rawfmt[@]}" "$tmp/speech.raw" -r 16000 "$tmp/m.wav"
sox "$tmp/m.wav" "$tmp/m.flac"
sox "$tmp/m.wav" "$tmp/m.ogg"
ffmpeg -loglevel error -i "$tmp/m.wav" "$tmp/m.opus"
ffmpeg -loglevel error -i "$tmp/m.wav" "$tmp/m.mp3"
mkdir -p "$tmp/mut"
python3 - "$tmp" <<'PY'
import random, sys
tmp = sys.argv[1]
rnd = random.Random(18)
for ext in ["wav", "flac", "ogg", "opus", "mp3"]:
    data = open(f"{tmp}/m.{ext}", "rb").read()
    for i in range(24):
        b = bytearray(data)
        if i % 3 == 0:
            b = b[: rnd.randint(1, len(b) - 1)]  # truncated
        else:
            reach = 4000 if i % 3 == 1 else len(b) - 1  # mostly the headers
            for _ in range(rnd.randint(1, 20)):
                b[rnd.randint(0, min(reach, len(b) - 1))] = rnd.randint(0, 255)
        open(f"{tmp}/mut/{ext}{i:02d}.{ext}", "wb").write(bytes(b))
PY
crashed="" multiline="" leftover=""
for f in "$tmp"/mut/*; do
    timeout 60 "$cli" encode "$f" "$tmp/mut.bvx" >/dev/null 2>"$tmp/err"
    rc=$?
    [ $rc -le 1 ] || crashed="$crashed $(basename "$f"):$rc"
    if [ $rc = 1 ]; then
        [ "$(grep -c '^brimvox-codec: ' "$tmp/err")" = 1 ] && grep -q "^brimvox-codec: $f: " "$tmp/err" ||
            multiline="$multiline $(basename "$f")"
        [ ! -e "$tmp/mut.bvx" ] || leftover="$leftover $(basename "$f")"
    fi
    rm -f "$tmp/mut.bvx"
done
check "120 mutated WAV/FLAC/Ogg/Opus/MP3 files: exit 0 or 1, never a crash ($crashed)" test -z "$crashed"
check "every refusal is one error line naming its file ($multiline)" test -z "$multiline"
check "a refused file leaves no output ($leftover)" test -z "$leftover"

ffmpeg -loglevel error -f s16le -ar 8000 -ac 1 -i "$tmp/speech.raw" -f flac - > "$tmp/piped.flac"
check "FLAC written to a pipe (no length in its header) encodes" test "$(status "$cli" encode "$tmp/piped.flac" "$tmp/pf.bvx")" = 0
check "FLAC from a pipe gives the frames of the raw samples" cmp -s "$tmp/pf.bvx" "$tmp/ref.bvx"
for t in ogg opus; do
    head -c $(( $(size "$tmp/m.$t") / 2 )) "$tmp/m.$t" > "$tmp/half.$t"
    check "truncated .$t encodes what it holds" test "$(status "$cli" encode "$tmp/half.$t" "$tmp/half.bvx")" = 0
    check "truncated .$t: the frames are there" test "$(size "$tmp/half.bvx")" -gt 1000
done
for t in flac ogg opus mp3 wav; do
    "$cli" encode "$tmp/m.$t" "$tmp/file.bvx" 2>/dev/null
    check "$t through a pipe with -t $t equals the file" test "$(cat "$tmp/m.$t" | status "$cli" encode -t $t - "$tmp/pipe.bvx"; cmp -s "$tmp/pipe.bvx" "$tmp/file.bvx" && echo same)" = "0
same"
done
mkdir -p "$tmp/batch"
cp "$tmp/m.flac" "$tmp/batch/good1.flac"
cp "$tmp/m.mp3" "$tmp/batch/good2.mp3"
printf 'OggS\0\2garbage that is not an Ogg stream at all' > "$tmp/batch/bad.ogg"
check "a batch with a bad file fails with 1" test "$(status "$cli" encode -o "$tmp/batch/out" "$tmp/batch/bad.ogg" "$tmp/batch/good1.flac" "$tmp/batch/good2.mp3")" = 1
check "the batch names the bad file" grep -q "^brimvox-codec: $tmp/batch/bad.ogg: " "$tmp/err"
check "the batch goes on with the good files" test -s "$tmp/batch/out/good1.bvx" -a -s "$tmp/batch/out/good2.bvx"

# 335 s decoded to Ogg Vorbis under the usual 8 MB stack: the Vorbis encoder keeps a whole
# write's samples on the stack, so they must reach it in blocks.
for i in $(seq 36); do cat "$tmp/ref.bvx"; done > "$tmp/long.bvx"
check "a 335 s decode to .ogg succeeds" test "$(ulimit -s 8192; status "$cli" decode "$tmp/long.bvx" "$tmp/long.ogg")" = 0
check "the .ogg holds all of it" test "$(soxi -s "$tmp/long.ogg")" = $(( $(size "$tmp/long.bvx") / 18 * 240 ))

# ---- streaming: output while the input still arrives ----
frames=$(size "$tmp/ref.bvx")
{ head -c 1800 "$tmp/ref.bvx"; sleep 4; tail -c +1801 "$tmp/ref.bvx"; } | "$cli" decode - - > "$tmp/slow.raw" 2>/dev/null &
sleep 2
check "decode - -: the first 100 frames are out while the producer waits" test "$(size "$tmp/slow.raw")" = 48000
wait
check "decode - -: the rest follows" test "$(size "$tmp/slow.raw")" = $((frames / 18 * 480))
{ head -c 32000 "$tmp/speech.raw"; sleep 4; } | "$cli" encode - - > "$tmp/slow.bvx" 2>/dev/null &
sleep 2
check "encode - -: 2 s of samples are encoded while the producer waits" test "$(size "$tmp/slow.bvx")" -ge $((32 * 18))
wait
check "encode - -: 2 s of samples give 67 frames in the end" test "$(size "$tmp/slow.bvx")" = $((67 * 18))

# Progress on a terminal: by the share of a file read, by the audio done from a pipe.
if command -v script >/dev/null; then
    sox "${rawfmt[@]}" "$tmp/speech.raw" -r 44100 "$tmp/p44.wav"
    script -qec "'$cli' encode '$tmp/p44.wav' '$tmp/p.bvx'" /dev/null | tr '\r' '\n' > "$tmp/progress"
    check "progress of a file counts up to 100% while it runs" test "$(grep -cE '^encoding: +[0-9]+%$' "$tmp/progress") $(tail -n 2 "$tmp/progress" | head -n 1)" = "$(grep -cE '^encoding: +[0-9]+%$' "$tmp/progress") encoding: 100%"
    check "progress of a file shows intermediate steps" test "$(grep -cE '^encoding: +[0-9]+%$' "$tmp/progress")" -gt 3
    script -qec "cat '$tmp/p44.wav' | '$cli' encode -t wav - '$tmp/p.bvx'" /dev/null | tr '\r' '\n' > "$tmp/progress"
    check "progress of a pipe counts the seconds of audio done" test "$(grep -cE '^encoding: [0-9]+\.[0-9]{2} s$' "$tmp/progress")" -gt 3
    check "up to the whole 9.3 s" grep -qE '^encoding: 9\.3[0-9] s$' "$tmp/progress"
fi

# ---- a live pipe interrupted ----
mkfifo "$tmp/fifo"
# live_encode SIGNAL BYTES STDIN ARGS...: the FIFO delivers BYTES of speech and then stalls;
# `encode ARGS...` runs with STDIN as its standard input and gets SIGNAL after 1.5 s. Sets rc.
live_encode() {
    local sig=$1 bytes=$2 input=$3
    shift 3
    { head -c "$bytes" "$tmp/speech.raw"; sleep 20; } > "$tmp/fifo" &
    local producer=$!
    "$cli" encode "$@" < "$input" 2>"$tmp/err" &
    local pid=$!
    sleep 1.5
    kill -"$sig" $pid
    wait $pid
    rc=$?
    kill $producer 2>/dev/null
}
live_encode INT 48000 "$tmp/fifo" - "$tmp/live.bvx"
check "SIGINT on a live pipe: exit 0" test $rc = 0
check "SIGINT on a live pipe: the captured 3 s are kept (100 frames)" test "$(size "$tmp/live.bvx" 2>/dev/null)" = 1800
check "SIGINT on a live pipe: the frames equal a plain encode" cmp -s "$tmp/live.bvx" <(head -c 48000 "$tmp/speech.raw" | "$cli" encode - - 2>/dev/null)
check "SIGINT on a live pipe: a note tells what was kept" grep -q "note: stdin: input interrupted; kept the 100 frames (3.00 s)" "$tmp/err"
live_encode TERM 16000 /dev/null --raw "$tmp/fifo" "$tmp/live2.bvx"
check "SIGTERM on a FIFO named as IN: exit 0 and the frames kept" test "$rc $(size "$tmp/live2.bvx" 2>/dev/null)" = "0 $((34 * 18))"
mkdir -p "$tmp/abort"
for i in $(seq 40); do cat "$tmp/speech.raw"; done > "$tmp/abort.raw"
"$cli" roundtrip --raw "$tmp/abort.raw" "$tmp/abort/out.ogg" 2>/dev/null &
pid=$!
sleep 0.5
kill -INT $pid
wait $pid
rc=$?
check "SIGINT on a file input still aborts" test $rc -gt 128
check "and leaves no partial or temporary file" test -z "$(ls -A "$tmp/abort")"

# ---- memory stays constant ----
for i in $(seq 120); do cat "$tmp/ref.bvx"; done > "$tmp/hours.bvx"  # about 2 h
short=$(peak_kb "$cli" decode "$tmp/ref.bvx" "$tmp/short.wav")
long=$(peak_kb "$cli" decode "$tmp/hours.bvx" "$tmp/hours.wav")
check "decoding 2 h stays under 32 MB (peak ${long} KB)" test "$long" -lt 32768
check "decoding 2 h takes no more memory than 1 min (${short} KB vs ${long} KB)" test $((long - short)) -lt 4096
sox "${rawfmt[@]}" "$tmp/speech.raw" -r 44100 -c 2 "$tmp/s44.wav" repeat 7  # about 8 min, 85 MB
enc=$(peak_kb "$cli" encode "$tmp/s44.wav" "$tmp/s44.bvx")
check "encoding 8 min of 44.1 kHz stereo stays under 32 MB (peak ${enc} KB)" test "$enc" -lt 32768
piped=$(cat "$tmp/s44.wav" | peak_kb "$cli" encode -t wav - "$tmp/s44p.bvx")
check "the same from a pipe stays under 32 MB (peak ${piped} KB)" test "$piped" -lt 32768
check "and gives the same frames" cmp -s "$tmp/s44.bvx" "$tmp/s44p.bvx"
rm -f "$tmp/s44.wav" "$tmp/hours.wav" "$tmp/abort.raw"

# ---- empty and truncated inputs ----
ffmpeg -loglevel error -f s16le -ar 8000 -ac 1 -i "$tmp/speech.raw" -f wav - > "$tmp/ffpipe.wav"
python3 - "$tmp/ffpipe.wav" "$tmp/zero.wav" <<'PY'
import sys
d = bytearray(open(sys.argv[1], "rb").read())
i = d.find(b"data")
d[i + 4:i + 8] = b"\0\0\0\0"  # a 0-size data chunk with the samples after it
open(sys.argv[2], "wb").write(d)
PY
for f in ffpipe.wav zero.wav; do
    check "$f (no length in its header) is read to its end" test "$(status "$cli" encode "$tmp/$f" "$tmp/nolen.bvx"; cmp -s "$tmp/nolen.bvx" "$tmp/ref.bvx" && echo same)" = "0
same"
done
sox "${rawfmt[@]}" "$tmp/speech.raw" "$tmp/full.wav"
head -c $(( $(size "$tmp/full.wav") / 2 )) "$tmp/full.wav" > "$tmp/trunc.wav"
check "a truncated WAV encodes what it holds" test "$(status "$cli" encode "$tmp/trunc.wav" "$tmp/trunc.bvx")" = 0
check "with a warning of how much was read" grep -qE "warning: $tmp/trunc.wav: ends after [0-9.]+ s of the [0-9.]+ s its header announces" "$tmp/err"
sox "${rawfmt[@]}" /dev/null "$tmp/nodata.wav" 2>/dev/null || printf 'RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0data\0\0\0\0' > "$tmp/nodata.wav"
check "a sound file without samples is an error, not an empty .bvx" test "$(status "$cli" encode "$tmp/nodata.wav" "$tmp/nodata.bvx"; test -e "$tmp/nodata.bvx" && echo written)" = 1
check "the error says so" grep -q "nodata.wav: no audio samples" "$tmp/err"
: > "$tmp/empty.bvx"
for t in wav flac ogg au; do
    check "0 frames decode to a valid empty .$t" test "$(status "$cli" decode "$tmp/empty.bvx" "$tmp/empty.$t"; soxi -s "$tmp/empty.$t" 2>/dev/null)" = "0
0"
done

check "0 frames decode to an .mp3 that is one" test "$(status "$cli" decode "$tmp/empty.bvx" "$tmp/empty.mp3"; ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$tmp/empty.mp3")" = "0
mp3"

# ---- stdin as documented ----
python3 -c "import sys; sys.stdout.buffer.write(b'\xff\xff\xfb\x90' + open(sys.argv[1],'rb').read()[4:4800])" "$tmp/speech.raw" > "$tmp/minus1.raw"
check "raw stdin starting with -1 (an MPEG-like header) is read as samples" test "$(status "$cli" encode - "$tmp/m1.bvx" < "$tmp/minus1.raw"; size "$tmp/m1.bvx")" = "0
180"
check "--raw with an input -t is a usage error" test "$(status "$cli" encode --raw -t wav - "$tmp/x.bvx" < /dev/null)" = 2
check "roundtrip reads a WAV from stdin with -t before IN" test "$(status "$cli" roundtrip -t wav - "$tmp/rt.raw" < "$tmp/full.wav"; size "$tmp/rt.raw")" = "0
$(( $(size "$tmp/ref.bvx") / 18 * 480 ))"
check "-t before OUT types OUT" test "$(status "$cli" decode "$tmp/ref.bvx" -t flac "$tmp/typed.out"; soxi -t "$tmp/typed.out")" = "0
flac"
check "-t after the last file is a usage error" test "$(status "$cli" decode "$tmp/ref.bvx" "$tmp/x.raw" -t wav)" = 2

# ---- smaller habits ----
long=$(printf 'n%.0s' $(seq 251))
check "an OUT name of 255 bytes is written" test "$(status "$cli" encode --raw "$tmp/speech.raw" "$tmp/$long.bvx"; size "$tmp/$long.bvx")" = "0
$(size "$tmp/ref.bvx")"
printf 'x' > "$tmp/odd1.raw"
check "a single byte of raw input is an error naming it" test "$(status "$cli" encode --raw "$tmp/odd1.raw" "$tmp/odd1.bvx"; cat "$tmp/err")" = "1
brimvox-codec: $tmp/odd1.raw: no audio samples (ignoring 1 trailing byte (not a whole 16-bit sample))"
{ cat "$tmp/ref.bvx"; printf 'x'; } > "$tmp/one.bvx"
check "\"1 trailing byte\", in the singular" grep -q "ignoring 1 trailing byte of" <("$cli" decode "$tmp/one.bvx" "$tmp/one.raw" 2>&1)
check "--help encode is encode --help" cmp -s <("$cli" --help encode) <("$cli" encode --help)
check "-t mpc is not offered (Musepack's name)" test "$(status "$cli" decode "$tmp/ref.bvx" -t mpc "$tmp/x.out")" = 2
check "an .mpc name is never taken for frames" test "$(status "$cli" encode --raw "$tmp/speech.raw" "$tmp/x.mpc")" = 2
ffmpeg -loglevel error -i "$tmp/m.wav" "$tmp/m.m4a"
check "M4A is refused with the readable types named" test "$(status "$cli" encode "$tmp/m.m4a" "$tmp/x.bvx"; grep -c "MP4/M4A files are not read here; convert to one of .*flac.*wav" "$tmp/err")" = "1
1"
mkdir -p "$tmp/shared"
chmod 777 "$tmp/shared"
printf 'keep\n' > "$tmp/shared/theirs.wav"
chmod 644 "$tmp/shared/theirs.wav"
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    chmod 755 "$tmp"
    check "an OUT the user may not write is refused" test "$(setpriv --reuid=nobody --regid=nogroup --clear-groups "$cli" decode "$tmp/ref.bvx" "$tmp/shared/theirs.wav" 2>"$tmp/err"; echo $?)" = 1
    check "with 'Permission denied' naming it" grep -q "theirs.wav: Permission denied" "$tmp/err"
    check "and left as it was" test "$(cat "$tmp/shared/theirs.wav")" = keep
    chmod 700 "$tmp"
fi
chmod 604 "$tmp/shared/theirs.wav"
check "a replaced OUT keeps its mode" test "$(status "$cli" decode "$tmp/ref.bvx" "$tmp/shared/theirs.wav"; stat -c %a "$tmp/shared/theirs.wav")" = "0
604"

report
