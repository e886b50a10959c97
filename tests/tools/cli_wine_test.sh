#!/usr/bin/env bash
# The Windows build of brimvox-codec under Wine: no libsndfile, so WAV (16-bit mono 8000 Hz)
# and raw PCM only, said in --help; everything else refused by name; IN and OUT naming one file
# refused by file identity; outputs replaced only when complete.
# usage: cli_wine_test.sh PATH_TO_BRIMVOX_CODEC_EXE SPEECH_RAW
set -uo pipefail
exe=$(realpath "${1:?brimvox-codec.exe}")
speech=$(realpath "${2:?speech sample (raw 8000 Hz)}")
. "$(dirname "$0")/../wine_prefix.sh" "$exe"
. "$(dirname "$0")/check_lib.sh"
cd "$tmp" || exit 1
status() { wine "$exe" "$@" >out 2>err.crlf; local rc=$?; tr -d "\r" < err.crlf > err; echo $rc; }

head -c 48000 "$speech" > speech.raw  # 3 s
python3 - <<'PY'
import wave
w = wave.open("speech.wav", "wb"); w.setnchannels(1); w.setsampwidth(2); w.setframerate(8000)
w.writeframes(open("speech.raw", "rb").read()); w.close()
PY
printf 'fLaC\0\0\0\x22 not really' > fake.flac
printf 'notes, not sound\n' > notes.txt

check "--help says what this build reads" test "$(status --help; grep -c 'no libsndfile' out)" = "0
1"
check "WAV input encodes" test "$(status encode speech.wav wav.bvx)" = 0
check "raw input with --raw encodes" test "$(status encode --raw speech.raw raw.bvx)" = 0
check "WAV and raw samples give the same frames" cmp -s wav.bvx raw.bvx
check "a FLAC file is refused by name" test "$(status encode fake.flac x.bvx; cat err)" = "1
brimvox-codec: fake.flac: FLAC file: this build reads only WAV (16-bit mono 8000 Hz) and, with --raw, headerless PCM"
check "a text file is refused" test "$(status encode notes.txt x.bvx; cat err)" = "1
brimvox-codec: notes.txt: not a sound file (use --raw for headerless 8 kHz 16-bit PCM)"
check "decode refuses a WAV file" test "$(status decode speech.wav x.wav)" = 1
check "decode writes WAV" test "$(status decode wav.bvx out.wav; python3 -c "
import wave; w = wave.open('out.wav'); print(w.getframerate(), w.getnchannels(), w.getnframes())")" = "0
8000 1 24000"
check "decode refuses a type this build cannot write" test "$(status decode wav.bvx out.flac)" = 2
mkdir sub
cp raw.bvx keep.bvx
check "IN named twice is refused" test "$(status encode --raw keep.bvx 'sub\..\keep.bvx')" = 1
check "the input survives" cmp -s keep.bvx raw.bvx
printf 'previous\n' > old.wav
check "a refused run leaves an existing OUT alone" test "$(status decode speech.wav old.wav; cat old.wav)" = "1
previous"
check "a successful run replaces OUT" test "$(status decode wav.bvx old.wav; cmp old.wav out.wav && echo same)" = "0
same"
check "no temporary file is left" test -z "$(ls -A | grep -i "\.tmp$")"
python3 - <<'PY'
d = bytearray(open("speech.wav", "rb").read())
i = d.find(b"data")
d[i + 4:i + 8] = b"\0\0\0\0"  # streamed: no length in the header
open("nolength.wav", "wb").write(d)
open("short.wav", "wb").write(open("speech.wav", "rb").read()[:30000])
PY
check "a WAV without a data length is read to its end" test "$(status encode nolength.wav nolen.bvx; cmp nolen.bvx wav.bvx && echo same)" = "0
same"
check "a truncated WAV warns of how much it holds" test "$(status encode short.wav short.bvx; grep -c "ends after 1.87 s of the 3.00 s" err)" = "0
1"
check "stdin to stdout streams the same frames" test "$(wine "$exe" encode - - < speech.raw 2>/dev/null | cmp - raw.bvx && echo same)" = same
check "decode to stdout as WAV carries the whole length" test "$(wine "$exe" decode wav.bvx -t wav - 2>/dev/null | cmp - out.wav && echo same)" = same
: > empty.bvx
check "0 frames give a valid empty WAV" test "$(status decode empty.bvx empty.wav; python3 -c "
import wave; print(wave.open('empty.wav').getnframes())")" = "0
0"
check "-o creates the directory" test "$(status -q encode -o 'new\dir' speech.wav; ls new/dir)" = "0
speech.bvx"

report
