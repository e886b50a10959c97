#!/usr/bin/env bash
# Runs the brimvox.dll harness under Wine twice: with ALSA offering no sound card, then with
# ALSA's `file` plugin as the default device (microphone: the speech file; speaker: a raw file),
# which Wine's own audio driver then reports as one input and one output device.
# Usage: run_dll_tests.sh <dll_tests.exe> <brimvox.dll> <speech_8k.raw> <win32|win64>
set -euo pipefail
harness=$1 dll=$2 speech=$3 arch=$4

. "$(dirname "$0")/../../wine_prefix.sh" "$dll"
# Wine's ALSA driver, not whichever driver it would try first.
wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d alsa /f >/dev/null 2>&1

work=$(mktemp -d /tmp/brimvox-wine-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/nodevice" "$work/device" "$work/files"

# No sound card: the default PCM and control name a card that does not exist.
cat >"$work/nodevice/.asoundrc" <<CONF
pcm.!default { type hw card 99 }
ctl.!default { type hw card 99 }
CONF

# The `copy` plugin in front makes reads and writes reach the file plugin in chunks no larger
# than its buffer. The `null` PCM underneath runs as fast as it is fed.
cat >"$work/device/.asoundrc" <<CONF
pcm.brimvox_speaker {
    type file
    slave.pcm "null"
    file "$work/files/speaker.raw"
    format "raw"
}
pcm.brimvox_microphone {
    type file
    slave.pcm "null"
    infile "$(realpath "$speech")"
    file "$work/files/captured.raw"
    format "raw"
}
pcm.!default {
    type asym
    playback.pcm { type copy slave.pcm "brimvox_speaker" }
    capture.pcm { type copy slave.pcm "brimvox_microphone" }
}
CONF

export BRIMVOX_DLL=$(winepath -w "$dll")
export BRIMVOX_SPEECH=$(winepath -w "$(realpath "$speech")")
export BRIMVOX_TEST_DIR=$(winepath -w "$work/files")

status=0
echo "--- $arch: no sound device"
HOME=$work/nodevice wine "$harness" --gtest_filter='Exports.*:NoDevice.*' || status=1
echo "--- $arch: ALSA file plugin as the sound card"
HOME=$work/device wine "$harness" --gtest_filter='Device.*' || status=1
exit $status
