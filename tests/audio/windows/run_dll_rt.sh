#!/usr/bin/env bash
# Runs the Realtime.* suite of the brimvox.dll harness under Wine with Wine's PulseAudio driver
# against a PulseAudio server of its own (null sinks at 8 kHz: `spk` the speaker, `mic` whose
# monitor is the microphone, speech looping into it), freezing the server when the harness asks.
# Usage: run_dll_rt.sh <dll_tests.exe> <brimvox.dll> <speech_8k.raw> <win32|win64>
set -euo pipefail
harness=$1 dll=$2 speech=$3 arch=$4

if ! command -v pulseaudio >/dev/null || ! command -v paplay >/dev/null; then
    echo "$arch real-time suite skipped: pulseaudio and pulseaudio-utils are not installed"
    exit 0
fi
. "$(dirname "$0")/../../wine_prefix.sh" "$dll"

work=$(mktemp -d /tmp/brimvox-wine-rt-XXXXXX)
pid=
feeder=
watcher=
cleanup() {
    [ -n "$watcher" ] && kill "$watcher" 2>/dev/null || true
    [ -n "$feeder" ] && kill "$feeder" 2>/dev/null || true
    if [ -n "$pid" ]; then kill -CONT "$pid" 2>/dev/null || true; kill "$pid" 2>/dev/null || true; fi
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
cat >"$work/pa.conf" <<CONF
load-module module-null-sink sink_name=spk rate=8000 channels=1 norewinds=1
load-module module-null-sink sink_name=mic rate=8000 channels=1 norewinds=1
set-default-sink spk
set-default-source mic.monitor
load-module module-native-protocol-unix auth-anonymous=1 socket=$work/native
CONF
echo "autospawn = no" >"$work/client.conf"
export PULSE_SERVER=unix:$work/native PULSE_CLIENTCONFIG=$work/client.conf
PULSE_RUNTIME_PATH=$work/run HOME=$work pulseaudio --daemonize=no --exit-idle-time=-1 -n \
    -F "$work/pa.conf" --use-pid-file=no --log-target=file:"$work/log.txt" &
pid=$!
for _ in $(seq 200); do [ -S "$work/native" ] && break; sleep 0.05; done
if [ ! -S "$work/native" ]; then
    echo "$arch real-time suite skipped: the PulseAudio server did not start"
    exit 0
fi
# The microphone hears speech, over and over.
sox -q -t raw -r 8000 -e signed -b 16 -c 1 "$speech" "$work/speech.wav" trim 0 4
(while true; do paplay --device=mic "$work/speech.wav" || sleep 0.2; done) &
feeder=$!
mkdir -p "$work/files"
# Freezes and thaws the server when the harness asks.
(while true; do
    if [ -f "$work/files/freeze" ]; then kill -STOP "$pid"; rm -f "$work/files/freeze"; fi
    if [ -f "$work/files/thaw" ]; then kill -CONT "$pid"; rm -f "$work/files/thaw"; fi
    sleep 0.02
done) &
watcher=$!

wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f >/dev/null 2>&1
export BRIMVOX_DLL=$(winepath -w "$dll")
export BRIMVOX_TEST_DIR=$(winepath -w "$work/files")
echo "--- $arch: Wine's PulseAudio driver on a real-time server"
status=0
wine "$harness" --gtest_filter='Realtime.*' || status=1
wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d alsa /f >/dev/null 2>&1
exit $status
