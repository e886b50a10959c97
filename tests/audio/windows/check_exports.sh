#!/usr/bin/env bash
# brimvox.dll exports exactly the eighteen native methods of NativeAudio: on x86 under their
# 32-bit decorated names (_name@bytes, 8 bytes for JNIEnv* and jclass plus 4 per Java parameter),
# on x64 under their plain names.
# Usage: check_exports.sh <objdump> <brimvox.dll> <win32|win64>
set -euo pipefail
objdump=$1 dll=$2 arch=$3

# method and number of Java parameters
methods="GetVersion 0
NewJavaClass4800 0
DeleteJavaClass4800 0
RecordFile 1
RecordBuffer 0
PlayFile 1
PlayBuffer 0
Stop 0
Pause 0
GetBuffer 1
SetBuffer 3
FunIsStopPlaying 1
FunGetTimePlaying 1
FunIsStopRecording 1
FunGetTimeRecording 1
FunGetError 1
FunGetMaxSample 0
FunGetIsBuffering 0"

expected=$(while read -r name params; do
    if [ "$arch" = win32 ]; then
        echo "_Java_NativeAudio_${name}@$((8 + 4 * params))"
    else
        echo "Java_NativeAudio_${name}"
    fi
done <<<"$methods" | LC_ALL=C sort)

names=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    awk '/^[[:space:]]*\[ *[0-9]+\]/ {print $NF}' | LC_ALL=C sort)

# Nothing beside the system's own DLLs may be needed at load time.
imports=$("$objdump" -p "$dll" | awk '/DLL Name:/ {print toupper($3)}' | sort -u)
echo "exports ($arch):" $names
echo "imports:" $imports
status=0
if [ "$names" != "$expected" ]; then
    echo "FAIL: export table differs from the expected names:"
    diff <(echo "$expected") <(echo "$names") || true
    status=1
fi
for dll_name in $imports; do
    case $dll_name in
    KERNEL32.DLL | MSVCRT.DLL | WINMM.DLL | USER32.DLL | ADVAPI32.DLL) ;;
    *) echo "FAIL: imports $dll_name, which is not a system DLL"; status=1 ;;
    esac
done
[ "$(echo "$names" | wc -l)" -eq 18 ] || { echo "FAIL: not 18 exports"; status=1; }
exit $status
