#!/usr/bin/env bash
# libbrimvox.so, as the jar carries it, needs nothing at run time beyond the C and C++ runtimes
# and ALSA: libsndfile and libsamplerate are loaded only when the virtual sound card uses them.
# It exports the eighteen native methods of NativeAudio and nothing else.
# Usage: check_needed.sh <libbrimvox.so>
set -euo pipefail
lib=${1:?library}
allowed='^(libasound\.so\.2|libstdc\+\+\.so\.6|libm\.so\.6|libgcc_s\.so\.1|libc\.so\.6|ld-linux-x86-64\.so\.2)$'
needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "NEEDED:" $needed
status=0
for n in $needed; do
    if ! [[ $n =~ $allowed ]]; then
        echo "FAIL: $lib needs $n"
        status=1
    fi
done
echo "$needed" | grep -qx 'libasound.so.2' || { echo "FAIL: ALSA is not linked"; status=1; }
exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
others=$(echo "$exports" | grep -v '^Java_NativeAudio_' || true)
if [ -n "$others" ]; then
    echo "FAIL: exports beyond the native methods:" $others
    status=1
fi
count=$(echo "$exports" | grep -c '^Java_NativeAudio_' || true)
[ "$count" -eq 18 ] || { echo "FAIL: $count native methods exported, not 18"; status=1; }
exit $status
