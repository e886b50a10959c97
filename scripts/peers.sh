#!/usr/bin/env bash
# Compares the speed of our speech decoder and encoder with peer low-bit-rate speech codecs on
# the same speech, in the same run: ffmpeg's G.723.1 decoder and encoder (6300 bit/s) and
# codec2's c2dec and c2enc at 3200 bit/s.
# Prints CPU seconds, real-time factors (audio seconds / CPU seconds), our ratio to each peer
# (how many times faster ours is) and the peak memory (resident set) of every program.
# usage: peers.sh BUILD_DIR [SECONDS_OF_SPEECH]
set -euo pipefail
build=${1:?build directory}
seconds=${2:-600}
root=$(cd "$(dirname "$0")/.." && pwd)
cli="$build/tools/brimvox-codec"
work="$build/peers"
mkdir -p "$work"
runs=3

speech="$work/speech.wav"
if [ ! -f "$speech" ] || [ "$(soxi -D "$speech" | cut -d. -f1)" -lt "$seconds" ]; then
    bash "$root/scripts/make_speech.sh" "$speech" "$seconds"
fi
audio=$(soxi -D "$speech")
sox -q "$speech" -t raw -e signed -b 16 -L "$work/speech.raw"

# Each codec's own compressed form of the speech, for the decoders.
"$cli" encode "$speech" "$work/speech.bvx"
ffmpeg -nostdin -hide_banner -loglevel error -y -i "$speech" -c:a g723_1 -b:a 6300 \
    -f g723_1 "$work/speech.g723"
c2enc 3200 "$work/speech.raw" "$work/speech.c2"

time_of() { python3 "$root/scripts/cputime.py" "$runs" "$@"; }
# Peak resident memory of one run, in MB.
peak_of() {
    /usr/bin/time -f %M -o "$work/peak.txt" "$@" >/dev/null 2>&1
    awk '{ printf "%.1f", $1 / 1024 }' "$work/peak.txt"
}
ours=$(time_of "$cli" decode "$work/speech.bvx" "$work/ours.raw")
g723=$(time_of ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -y -f g723_1 \
    -i "$work/speech.g723" -f s16le "$work/g723.raw")
codec2=$(time_of c2dec 3200 "$work/speech.c2" "$work/codec2.raw")

mem_ours=$(peak_of "$cli" decode "$work/speech.bvx" "$work/ours.raw")
mem_g723=$(peak_of ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -y -f g723_1 \
    -i "$work/speech.g723" -f s16le "$work/g723.raw")
mem_codec2=$(peak_of c2dec 3200 "$work/speech.c2" "$work/codec2.raw")

row() { awk -v n="$1" -v t="$2" -v a="$audio" -v o="$ours" -v m="$3" \
    'BEGIN { printf "%-34s %9.3f s %12.0fx %10.2f %9s MB\n", n, t, a / t, t / o, m }'; }
echo "Decoding ${audio} s of speech (best of $runs runs, CPU time of the whole process, one core)"
printf "%-34s %11s %13s %10s %12s\n" "decoder" "cpu" "real-time" "peer/ours" "peak memory"
row "brimvox-codec decode (4800 bit/s)" "$ours" "$mem_ours"
row "ffmpeg g723_1 (6300 bit/s)" "$g723" "$mem_g723"
row "codec2 c2dec 3200" "$codec2" "$mem_codec2"

# Encoders: the same speech in, each codec's own compressed form out.
enc_ours=$(time_of "$cli" encode "$speech" "$work/ours.bvx")
enc_g723=$(time_of ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -y -i "$speech" \
    -c:a g723_1 -b:a 6300 -f g723_1 "$work/enc.g723")
enc_codec2=$(time_of c2enc 3200 "$work/speech.raw" "$work/enc.c2")
mem_ours=$(peak_of "$cli" encode "$speech" "$work/ours.bvx")
mem_g723=$(peak_of ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -y -i "$speech" \
    -c:a g723_1 -b:a 6300 -f g723_1 "$work/enc.g723")
mem_codec2=$(peak_of c2enc 3200 "$work/speech.raw" "$work/enc.c2")

ours=$enc_ours
echo
echo "Encoding ${audio} s of speech (best of $runs runs, CPU time of the whole process, one core)"
printf "%-34s %11s %13s %10s %12s\n" "encoder" "cpu" "real-time" "peer/ours" "peak memory"
row "brimvox-codec encode (4800 bit/s)" "$enc_ours" "$mem_ours"
row "ffmpeg g723_1 (6300 bit/s)" "$enc_g723" "$mem_g723"
row "codec2 c2enc 3200" "$enc_codec2" "$mem_codec2"
