#!/usr/bin/env bash
# brimvox-codec with the files a user really has: MP3, FLAC and Ogg speech, text and programs,
# WAV files given where frames belong, one file named twice, outputs typed by their names, a
# write that fails half way, batch runs. Sound files are made with sox and ffmpeg.
# usage: cli_files_test.sh PATH_TO_BRIMVOX_CODEC SPEECH_RAW
set -uo pipefail
cli=$(realpath "${1:?brimvox-codec}")
speech=${2:?speech sample (raw 8000 Hz)}
. "$(dirname "$0")/check_lib.sh"
frames() { "$cli" info "$1" 2>/dev/null | sed -n 's/^frames: *//p'; }
near() { [ -n "$1" ] && [ "$1" -ge $(($2 - $3)) ] && [ "$1" -le $(($2 + $3)) ]; }
nothing_but() {  # nothing_but DIR NAME...: DIR holds exactly these names (no leftovers)
    local dir=$1
    shift
    [ "$(ls -A "$dir" | sort | tr '\n' ' ')" = "$(printf '%s\n' "$@" | sort | tr '\n' ' ')" ]
}
rawfmt=(-t raw -r 8000 -e signed -b 16 -c 1)

# ---- inputs recognised by their content ----
cp "$speech" "$tmp/speech.raw"
"$cli" encode --raw "$tmp/speech.raw" "$tmp/ref.bvx" 2>/dev/null
ref=$(frames "$tmp/ref.bvx")
sox "${rawfmt[@]}" "$tmp/speech.raw" "$tmp/speech.flac"
sox "${rawfmt[@]}" "$tmp/speech.raw" -r 16000 "$tmp/speech.ogg"
ffmpeg -loglevel error -f s16le -ar 8000 -ac 1 -i "$tmp/speech.raw" "$tmp/speech.mp3"
# Without an ID3 tag or gapless header: the file starts with an MPEG frame header.
ffmpeg -loglevel error -f s16le -ar 8000 -ac 1 -i "$tmp/speech.raw" -id3v2_version 0 \
    -write_xing 0 "$tmp/bare.mp3"

check "FLAC input encodes" test "$(status "$cli" encode "$tmp/speech.flac" "$tmp/flac.bvx")" = 0
check "lossless FLAC gives the frames of the raw samples" cmp -s "$tmp/flac.bvx" "$tmp/ref.bvx"
check "MP3 input encodes" test "$(status "$cli" encode "$tmp/speech.mp3" "$tmp/mp3.bvx")" = 0
check "MP3 keeps the duration of the speech" near "$(frames "$tmp/mp3.bvx")" "$ref" 2
check "MP3 without a tag encodes" test "$(status "$cli" encode "$tmp/bare.mp3" "$tmp/bare.bvx")" = 0
check "MP3 without a tag keeps the duration (plus the MP3 coder's delay)" near "$(frames "$tmp/bare.bvx")" "$ref" 8
check "16 kHz Ogg input encodes" test "$(status "$cli" encode "$tmp/speech.ogg" "$tmp/ogg.bvx")" = 0
check "Ogg keeps the duration of the speech" near "$(frames "$tmp/ogg.bvx")" "$ref" 2
check "the conversion note is silent by default" test ! -s "$tmp/err"
"$cli" encode -v "$tmp/speech.ogg" "$tmp/ogg.bvx" 2>"$tmp/err"
check "-v tells of the conversion" grep -q "converted 1 channel(s) at 16000 Hz" "$tmp/err"
cp "$tmp/speech.mp3" "$tmp/speech-mp3.dat"
check "the type is found from the content, not the name" test "$(status "$cli" encode "$tmp/speech-mp3.dat" "$tmp/dat.bvx")" = 0

printf 'Meeting notes\nnothing to hear here\n' > "$tmp/notes.txt"
cp "$cli" "$tmp/program"
: > "$tmp/empty"
for f in notes.txt program empty; do
    check "$f is refused with exit 1" test "$(status "$cli" encode "$tmp/$f" "$tmp/$f.bvx")" = 1
    check "$f: the refusal text" test "$(cat "$tmp/err")" = "brimvox-codec: $tmp/$f: not a sound file (use --raw for headerless 8 kHz 16-bit PCM)"
    check "$f: nothing is written" test ! -e "$tmp/$f.bvx"
done
check "--raw takes any bytes as samples" test "$(status "$cli" encode --raw "$tmp/notes.txt" "$tmp/notes.bvx"; size "$tmp/notes.bvx")" = "0
18"
check "-t raw is --raw" test "$(status "$cli" encode -t raw "$tmp/notes.txt" "$tmp/notes2.bvx")" = 0
printf 'RIFF\x10\x00\x00\x00WAVEjunkjunk' > "$tmp/broken.wav"
check "a damaged WAV file fails with 1" test "$(status "$cli" encode "$tmp/broken.wav" "$tmp/b.bvx")" = 1
check "a damaged WAV file is named and called so" grep -q "^brimvox-codec: $tmp/broken.wav: WAV file that cannot be read" "$tmp/err"

sox "${rawfmt[@]}" "$tmp/speech.raw" "$tmp/speech.wav"
check "stdin with a WAV header is not taken as samples" test "$(status "$cli" encode - "$tmp/in.bvx" < "$tmp/speech.wav")" = 1
check "stdin: the refusal says what it looks like" grep -q "stdin: looks like a WAV file; use -t TYPE" "$tmp/err"
check "stdin read as WAV with -t wav" test "$(status "$cli" encode -t wav - "$tmp/in.bvx" < "$tmp/speech.wav")" = 0
check "stdin WAV gives the frames of the raw samples" cmp -s "$tmp/in.bvx" "$tmp/ref.bvx"
check "an unknown input type is a usage error" test "$(status "$cli" encode -t nonsense - "$tmp/in.bvx" < /dev/null)" = 2

# ---- sound files given where frames belong ----
for f in speech.wav speech.flac speech.ogg speech.mp3 bare.mp3; do
    check "decode refuses $f" test "$(status "$cli" decode "$tmp/$f" "$tmp/dec.wav")" = 1
    check "decode of $f writes nothing" test ! -e "$tmp/dec.wav"
    check "info refuses $f" test "$(status "$cli" info "$tmp/$f")" = 1
done
check "the refusal says what the file looks like" test "$(status "$cli" decode "$tmp/speech.wav" "$tmp/dec.wav"; cat "$tmp/err")" = "1
brimvox-codec: $tmp/speech.wav: looks like a WAV file, not compressed speech frames (use --force to read it anyway)"
check "decode --force decodes it anyway" test "$(status "$cli" decode --force "$tmp/speech.wav" "$tmp/dec.wav")" = 0
check "decode --force warns of the bad frames" grep -q "warning: $tmp/speech.wav: [0-9]* of [0-9]* frames are bad" "$tmp/err"
check "info --force warns on stderr" test "$(status "$cli" info --force "$tmp/speech.wav"; grep -c "frames are bad" "$tmp/err")" = "0
1"
check "headerless samples given to info are warned of" test "$(status "$cli" info "$tmp/speech.raw"; grep -c "frames are bad" "$tmp/err")" = "0
1"
check "-q silences the warning" test "$(status "$cli" info -q "$tmp/speech.raw"; wc -c < "$tmp/err")" = "0
0"
check "real frames raise no warning" test "$(status "$cli" decode "$tmp/ref.bvx" "$tmp/ok.wav"; wc -c < "$tmp/err")" = "0
0"

# ---- one file named twice ----
cp "$tmp/speech.raw" "$tmp/same.bvx"
cp "$tmp/same.bvx" "$tmp/same.orig"
mkdir -p "$tmp/sub"
ln "$tmp/same.bvx" "$tmp/hardlink.raw"
ln -s "$tmp/same.bvx" "$tmp/symlink.wav"
check "encode IN IN is refused" test "$(status "$cli" encode --raw "$tmp/same.bvx" "$tmp/same.bvx")" = 1
check "encode through another spelling is refused" test "$(status "$cli" encode --raw "$tmp/same.bvx" "$tmp/sub/../same.bvx")" = 1
check "the refusal names the file" grep -q "same.bvx: is the input file itself" "$tmp/err"
check "decode into a hard link of IN is refused" test "$(status "$cli" decode --force "$tmp/same.bvx" "$tmp/hardlink.raw")" = 1
check "roundtrip into a symbolic link to IN is refused" test "$(status "$cli" roundtrip --raw "$tmp/same.bvx" "$tmp/symlink.wav")" = 1
check "the input survives" cmp -s "$tmp/same.bvx" "$tmp/same.orig"

# ---- outputs typed by their names ----
check "encode refuses a .wav name for frames" test "$(status "$cli" encode "$tmp/speech.flac" "$tmp/enc.wav")" = 2
check "encode refuses .FLAC for frames, whatever the case" test "$(status "$cli" encode "$tmp/speech.flac" "$tmp/enc.FLAC")" = 2
check "nothing is written for a refused name" test ! -e "$tmp/enc.wav" -a ! -e "$tmp/enc.FLAC"
check "encode writes frames under any other name" test "$(status "$cli" encode "$tmp/speech.flac" "$tmp/enc.frames"; cmp "$tmp/enc.frames" "$tmp/ref.bvx" && echo same)" = "0
same"
for t in wav flac ogg aiff au; do
    check "decode to .$t" test "$(status "$cli" decode "$tmp/ref.bvx" "$tmp/dec.$t")" = 0
    check ".$t holds 8000 Hz mono of the right length" test "$(for o in t r c s; do soxi -$o "$tmp/dec.$t" 2>/dev/null; done | tr '\n' ' ')" = "$([ $t = ogg ] && echo vorbis || echo $t) 8000 1 $((ref * 240)) "
done
check "decode to .raw gives headerless samples" test "$(status "$cli" decode "$tmp/ref.bvx" "$tmp/dec.raw"; size "$tmp/dec.raw")" = "0
$((ref * 480))"
sox "$tmp/dec.wav" "${rawfmt[@]}" "$tmp/fromwav.raw"
check "the WAV holds the same samples" cmp -s "$tmp/fromwav.raw" "$tmp/dec.raw"
check "an extension that cannot be written is refused" test "$(status "$cli" decode "$tmp/ref.bvx" "$tmp/dec.bvx2")" = 2
check "a name without extension is refused" test "$(status "$cli" decode "$tmp/ref.bvx" "$tmp/decoded")" = 2
check "the refusal names the file" grep -q "^brimvox-codec: $tmp/decoded: no extension" "$tmp/err"
check "refused names are never created" test ! -e "$tmp/dec.bvx2" -a ! -e "$tmp/decoded"
# (soxi's own detection on a pipe depends on how the first reads split, so the stream is
# captured first.)
"$cli" decode -t wav "$tmp/ref.bvx" - 2>/dev/null | cat > "$tmp/stdout.wav"
check "-t wav to stdout gives a WAV stream" test "$(soxi -t "$tmp/stdout.wav"; soxi -s "$tmp/stdout.wav")" = "wav
$((ref * 240))"
"$cli" decode "$tmp/ref.bvx" -t wav - 2>/dev/null | cat > "$tmp/stdout2.wav"
check "-t before OUT: the same stream" cmp -s "$tmp/stdout.wav" "$tmp/stdout2.wav"
check "stdout without -t gets raw samples" test "$("$cli" decode "$tmp/ref.bvx" - 2>/dev/null | wc -c)" = $((ref * 480))
check "-t names the type of any other name" test "$(status "$cli" decode -t flac "$tmp/ref.bvx" "$tmp/dec.out"; soxi -t "$tmp/dec.out")" = "0
flac"
check "-t against a sound extension is refused" test "$(status "$cli" decode -t wav "$tmp/ref.bvx" "$tmp/x.flac")" = 2
check "an unknown -t is refused" test "$(status "$cli" decode -t nonsense "$tmp/ref.bvx" "$tmp/x.out")" = 2
check "roundtrip writes by extension too" test "$(status "$cli" roundtrip "$tmp/speech.mp3" "$tmp/rt.flac"; soxi -t "$tmp/rt.flac")" = "0
flac"
check "decode to a device gets raw samples" test "$(status "$cli" decode "$tmp/ref.bvx" /dev/null)" = 0

# ---- a write that fails half way ----
mkdir -p "$tmp/w"
printf 'previous contents\n' > "$tmp/w/keep.wav"
chmod 640 "$tmp/w/keep.wav"
cp "$tmp/w/keep.wav" "$tmp/keep.orig"
# A 4 KiB file size limit: the decoded speech (about 150 KB) cannot be written.
check "decode under a file size limit fails with 1" test "$(ulimit -f 4; status "$cli" decode "$tmp/ref.bvx" "$tmp/w/keep.wav")" = 1
check "the error names OUT" grep -q "^brimvox-codec: $tmp/w/keep.wav: File too large" "$tmp/err"
check "the existing OUT survives unchanged" cmp -s "$tmp/w/keep.wav" "$tmp/keep.orig"
check "decode leaves no partial file" test "$(ulimit -f 4; status "$cli" decode "$tmp/ref.bvx" "$tmp/w/new.wav")" = 1
cp "$tmp/speech.raw" "$tmp/long.raw"
for i in 1 2 3; do cat "$tmp/speech.raw" >> "$tmp/long.raw"; done
check "encode under a file size limit fails with 1" test "$(ulimit -f 4; status "$cli" encode --raw "$tmp/long.raw" "$tmp/w/new.bvx")" = 1
check "no partial or temporary file is left" nothing_but "$tmp/w" keep.wav
check "a successful write replaces OUT and keeps its permissions" test "$(status "$cli" decode "$tmp/ref.bvx" "$tmp/w/keep.wav"; soxi -t "$tmp/w/keep.wav"; stat -c %a "$tmp/w/keep.wav")" = "0
wav
640"
check "a missing directory is named" test "$(status "$cli" decode "$tmp/ref.bvx" "$tmp/nodir/x.wav"; cat "$tmp/err")" = "1
brimvox-codec: $tmp/nodir/x.wav: No such file or directory"

# ---- batch runs ----
cp "$tmp/speech.flac" "$tmp/a.flac"
cp "$tmp/speech.mp3" "$tmp/b.mp3"
check "batch into a missing directory succeeds" test "$(status "$cli" encode -o "$tmp/made/deeper" "$tmp/a.flac" "$tmp/b.mp3")" = 0
check "the directory is created and filled" nothing_but "$tmp/made/deeper" a.bvx b.bvx
check "batch output equals a single encode" cmp -s "$tmp/made/deeper/a.bvx" "$tmp/ref.bvx"
check "a summary line follows" grep -qE "^brimvox-codec: 2 files, 0 failed, [0-9]+\.[0-9] s of audio in [0-9]+\.[0-9]+ s \([0-9]+x real time\)$" "$tmp/err"
audio=$(sed -n 's/.* failed, \([0-9.]*\) s of audio.*/\1/p' "$tmp/err")
check "the summary counts the audio of both files" test "${audio%.*}" -ge 18 -a "${audio%.*}" -le 19
check "batch with a bad input fails with 1" test "$(status "$cli" encode -o "$tmp/made" "$tmp/a.flac" "$tmp/notes.txt")" = 1
check "the bad input is named and counted" test "$(grep -c "notes.txt: not a sound file" "$tmp/err") $(grep -c "2 files, 1 failed" "$tmp/err")" = "1 1"
check "-q prints nothing for a good batch" test "$(status "$cli" -q encode -o "$tmp/made" "$tmp/a.flac"; wc -c < "$tmp/err")" = "0
0"
touch "$tmp/plainfile"
check "-o onto a file fails with 1" test "$(status "$cli" encode -o "$tmp/plainfile" "$tmp/a.flac")" = 1

# ---- habits ----
check "--version exits 0" test "$(status "$cli" --version)" = 0
check "--version tells the program and the codec rate" grep -q "^brimvox-codec [0-9]" "$tmp/out"
check "--version tells the codec rate" grep -q "4800 bit/s" "$tmp/out"
cp "$tmp/speech.raw" -- "$tmp/-dash.raw"
check "-- ends the options" test "$(cd "$tmp" && status "$cli" encode --raw -- -dash.raw dash.bvx)" = 0
check "a name that looks like an option before -- is one" test "$(cd "$tmp" && status "$cli" encode --raw -dash.raw dash.bvx)" = 2
for c in encode decode roundtrip info; do
    check "$c --help shows examples" grep -q "^examples\?:" <("$cli" $c --help)
done

report
