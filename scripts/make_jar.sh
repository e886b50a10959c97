#!/usr/bin/env bash
# Assembles the complete build/brimvox.jar: the Linux build's jar (classes, javadoc-checked API,
# linux-x86_64/libbrimvox.so) plus the Windows DLLs of the mingw builds as
# windows-x86/brimvox.dll and windows-x86_64/brimvox.dll; the javadoc and sources jars beside it.
# Then checks it: its layout, and a fresh JVM with the jar alone on the virtual sound card.
# usage: make_jar.sh BUILD_DIR (with BUILD_DIR/linux, BUILD_DIR/win32 and BUILD_DIR/win64 built)
set -euo pipefail
build=$(cd "${1:?build directory}" && pwd)
linux=$build/linux/java
stage=$build/jar-windows
rm -rf "$stage"
mkdir -p "$stage/windows-x86" "$stage/windows-x86_64"
cp "$build/win32/audio/brimvox.dll" "$stage/windows-x86/brimvox.dll"
cp "$build/win64/audio/brimvox.dll" "$stage/windows-x86_64/brimvox.dll"
# Each library's SHA-256 and size beside it: loading never hashes it.
for dll in "$stage/windows-x86/brimvox.dll" "$stage/windows-x86_64/brimvox.dll"; do
    echo "$(sha256sum "$dll" | cut -d' ' -f1) $(stat -c %s "$dll")" > "$dll.sha256"
done
cp "$linux/brimvox.jar" "$build/brimvox.jar.tmp"
jar --update --file "$build/brimvox.jar.tmp" -C "$stage" .
mv "$build/brimvox.jar.tmp" "$build/brimvox.jar"
cp "$linux/brimvox-legacy.jar" "$linux/brimvox-javadoc.jar" "$linux/brimvox-sources.jar" "$linux/brimvox.pom" "$linux/brimvox-legacy.pom" "$build/"
echo "== $build/brimvox.jar:"
jar --list --file "$build/brimvox.jar" | grep -E 'brimvox\.(dll|so)$'

junit=/usr/share/java
speech=$linux/speech8k.wav
java -Dbrimvox.jar="$build/brimvox.jar" -Dbrimvox.legacyJar="$build/brimvox-legacy.jar" -Dbrimvox.jar.complete=true -Dbrimvox.speech="$speech" \
    -jar "$junit/junit-platform-console-standalone.jar" \
    --class-path "$build/brimvox.jar:$build/brimvox-legacy.jar:$linux/test-classes" \
    --select-method org.brimvox.NativeLibraryTest#theJarCarriesTheApiTheNativesAndItsManifest \
    --select-method org.brimvox.FreshJvmTest#theJarAloneRecordsAndPlaysThroughTheVirtualCard \
    --select-method org.brimvox.FreshJvmTest#theJarIsANamedModuleThatRunsOnTheModulePath \
    --fail-if-no-tests --disable-banner --details=summary
echo "== make jar: $build/brimvox.jar, brimvox-legacy.jar, brimvox-javadoc.jar, brimvox-sources.jar, brimvox.pom"
