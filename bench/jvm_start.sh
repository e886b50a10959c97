#!/usr/bin/env bash
# Start time of a warm JVM that loads the native library from brimvox.jar, against one that only
# puts the jar on its class path (the library cache is the user's, as for any program). Prints the median, lowest and highest wall time of N starts of
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
            // Through the packaged API, which loads the library (present in every version of the jar).
            Object v = Class.forName("org.brimvox.Brimvox").getMethod("nativeVersion").invoke(null);
            if (!Integer.valueOf(101).equals(v)) throw new IllegalStateException("version " + v);
        }
    }
}
JAVA
javac -d "$work" "$work/StartProbe.java"
# Wall time and CPU time (user + system) of one start, in ms. On a busy machine the CPU time is
# the steadier figure.
once() {
    local TIMEFORMAT='%R %U %S' t
    t=$({ time java -cp "$jar:$work" StartProbe "$@" >/dev/null; } 2>&1)
    awk '{ printf "%d %d\n", $1 * 1000, ($2 + $3) * 1000 }' <<<"$t"
}
median() { sort -n | awk '{ v[NR] = $1 } END { printf "median %d ms (lowest %d, highest %d)", v[int((NR + 1) / 2)], v[1], v[NR] }'; }
for mode in plain load; do
    args=()
    [ $mode = load ] && args=(load)
    once "${args[@]}" >/dev/null
    once "${args[@]}" >/dev/null
    : >"$work/times"
    for _ in $(seq "$n"); do once "${args[@]}" >>"$work/times"; done
    echo "$mode: wall $(cut -d' ' -f1 "$work/times" | median); cpu $(cut -d' ' -f2 "$work/times" | median)"
done
