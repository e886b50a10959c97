#!/usr/bin/env bash
# The main job that exists so far, through the command-line tool: compressed speech frames are
# decoded to a WAV file and described. When the build has an encoder, a spoken sample is
# encoded first, so the round trip speech -> 4800 bit/s -> speech is heard and measured.
# usage: demo.sh BUILD_DIR
set -euo pipefail
build=${1:?build directory}
root=$(cd "$(dirname "$0")/.." && pwd)
cli="$build/tools/brimvox-codec"
out="$build/demo"
mkdir -p "$out"

if "$cli" encode --help >/dev/null 2>&1; then
    bash "$root/scripts/make_speech.sh" "$out/speech.wav"
    echo "== speech sample: $out/speech.wav ($(soxi -D "$out/speech.wav") s, espeak-ng)"
    "$cli" encode "$out/speech.wav" "$out/speech.bvx"
    echo "== encoded: $out/speech.bvx ($(stat -c %s "$out/speech.bvx") bytes)"
else
    # No encoder in this build yet: a fixed stream of pseudo-random frames stands in.
    python3 -c "import random,sys; random.seed(4800); sys.stdout.buffer.write(bytes(random.getrandbits(8) for _ in range(18*200)))" \
        > "$out/speech.bvx"
    echo "== no encoder in this build: made $out/speech.bvx, 200 pseudo-random frames"
fi
"$cli" info "$out/speech.bvx"
"$cli" decode "$out/speech.bvx" "$out/decoded.wav"
echo "== decoded: $out/decoded.wav"
soxi "$out/decoded.wav" | grep -E 'Channels|Sample Rate|Precision|Duration'
sox "$out/decoded.wav" -n stat 2>&1 | grep -E 'RMS +amplitude|Maximum amplitude' || true
echo "== done: play it with 'play $out/decoded.wav' (sox) or any audio player"

# The same speech through the Java class NativeAudio and the audio engine: the virtual sound
# card's microphone plays the sample; 4 seconds are recorded to a compressed file and played back
# into a WAV file, then the same through the 54-byte block methods.
jar="$build/java/brimvox.jar"
lib="$build/audio/libbrimvox.so"
if [ -f "$jar" ] && [ -f "$lib" ] && "$cli" encode --help >/dev/null 2>&1; then
    echo "== NativeAudio through the virtual sound card (clock x${BRIMVOX_AUDIO_SPEED:-4})"
    BRIMVOX_AUDIO=virtual BRIMVOX_AUDIO_IN="$out/speech.wav" BRIMVOX_AUDIO_OUT="$out/speaker.wav" \
        BRIMVOX_AUDIO_SPEED="${BRIMVOX_AUDIO_SPEED:-4}" \
        java -Dbrimvox.library="$lib" -jar "$jar" "$out/speech.wav" "$out/native" 4
    echo "== played back: $out/native/played_file.wav, $out/native/played_blocks.wav"
fi
