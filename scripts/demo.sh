#!/usr/bin/env bash
# The main job: a spoken sample (espeak-ng) is encoded to 4800 bit/s and decoded again through
# brimvox-codec; then the same speech goes through the Java API (brimvox.jar, which carries its
# native library) and the audio engine with the virtual sound card, recorded to a file and to a
# stream and played back.
# usage: demo.sh BUILD_DIR [JAR]
set -euo pipefail
build=${1:?build directory}
jar=${2:-$build/java/brimvox.jar}
root=$(cd "$(dirname "$0")/.." && pwd)
cli="$build/tools/brimvox-codec"
out="$build/demo"
mkdir -p "$out"

bash "$root/scripts/make_speech.sh" "$out/speech.wav"
echo "== speech sample: $out/speech.wav ($(soxi -D "$out/speech.wav") s, espeak-ng)"
"$cli" encode "$out/speech.wav" "$out/speech.bvx"
echo "== encoded: $out/speech.bvx ($(stat -c %s "$out/speech.bvx") bytes)"
"$cli" info "$out/speech.bvx"
"$cli" decode "$out/speech.bvx" "$out/decoded.wav"
echo "== decoded: $out/decoded.wav"
soxi "$out/decoded.wav" | grep -E 'Channels|Sample Rate|Precision|Duration'
sox "$out/decoded.wav" -n stat 2>&1 | grep -E 'RMS +amplitude|Maximum amplitude' || true

# The same speech through the Java API and the audio engine: the virtual sound card's microphone
# plays the sample; 4 seconds are recorded to a compressed file and played back into a WAV file,
# then the same through a stream of frames. Only the jar is needed: it loads its own library.
if [ -f "$jar" ]; then
    echo "== brimvox.jar through the virtual sound card (clock x${BRIMVOX_AUDIO_SPEED:-4})"
    BRIMVOX_AUDIO=virtual BRIMVOX_AUDIO_IN="$out/speech.wav" BRIMVOX_AUDIO_OUT="$out/speaker.wav" \
        BRIMVOX_AUDIO_SPEED="${BRIMVOX_AUDIO_SPEED:-4}" \
        java -jar "$jar" "$out/speech.wav" "$out/native" 4
    echo "== played back: $out/native/played_file.wav, $out/native/played_blocks.wav"
fi
echo "== done: listen with 'play FILE.wav' (sox) or any audio player; files in $out"
