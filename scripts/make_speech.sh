#!/usr/bin/env bash
# Makes a speech sample: 16-bit mono 8000 Hz WAV spoken by espeak-ng, repeated until it lasts
# at least the given number of seconds.
# usage: make_speech.sh OUT.wav [SECONDS]
set -euo pipefail
out=${1:?output wav}
seconds=${2:-0}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
text="The quick brown fox jumps over the lazy dog. A compact voice recording keeps every word \
clear while using very little space. Please leave your message after the tone, and we will call \
you back as soon as we can. Seven, eight, nine, ten: the numbers are read slowly and carefully."
espeak-ng -v en-us -s 150 -w "$tmp/voice.wav" "$text"
sox -q "$tmp/voice.wav" -r 8000 -c 1 -b 16 "$tmp/one.wav"
cp "$tmp/one.wav" "$out"
one=$(soxi -D "$tmp/one.wav")
if awk -v a="$one" -v b="$seconds" 'BEGIN { exit !(a < b) }'; then
    reps=$(awk -v a="$one" -v b="$seconds" 'BEGIN { print int(b / a) + 1 }')
    files=()
    for _ in $(seq "$reps"); do files+=("$tmp/one.wav"); done
    sox -q "${files[@]}" "$out"
fi
