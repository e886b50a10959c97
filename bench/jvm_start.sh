#!/usr/bin/env bash
# Start time of a warm JVM that loads the native library from brimvox.jar, against one that only
# puts the jar on its class path. Prints the median, lowest and highest wall time of N starts of
# each (after two warm-up starts that also fill the library cache).
# usage: jvm_start.sh JAR [N]
set -euo pipefail
jar=$(realpath "${1:?brimvox.jar}")
n=${2:-21}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/StartProbe.java" <<'JAVA'
public class StartProbe {
    public static void main(String[] args) throws Exception {
        if (args.length > 0) {
            Object v = Class.forName("NativeAudio").getMethod("GetVersion").invoke(null);
            if (!Integer.valueOf(101).equals(v)) throw new IllegalStateException("version " + v);
        }
    }
}
JAVA
javac -d "$work" "$work/StartProbe.java"
once() {
    local t0 t1
    t0=$(date +%s%N)
    java -cp "$jar:$work" StartProbe "$@" >/dev/null
    t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000000))
}
for mode in plain load; do
    args=()
    [ $mode = load ] && args=(load)
    once "${args[@]}" >/dev/null
    once "${args[@]}" >/dev/null
    times=()
    for _ in $(seq "$n"); do times+=("$(once "${args[@]}")"); done
    mapfile -t sorted < <(printf '%s\n' "${times[@]}" | sort -n)
    echo "$mode: median ${sorted[$((n / 2))]} ms, lowest ${sorted[0]} ms, highest ${sorted[$((n - 1))]} ms"
done
