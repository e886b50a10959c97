#!/usr/bin/env bash
# A consumer project built with Debian's Maven, offline: it depends on org.brimvox:brimvox-legacy
# (and through it on org.brimvox:brimvox) as installed by maven_local.sh, compiles against both,
# and its programs record and play on the virtual card, and call NativeAudio, with the installed
# jars as their class path. The plugins come from the packages'
# repository /usr/share/maven-repo, seen through a private local repository of links, so that
# nothing is written there.
# usage: consumer_test.sh JAR_DIR SPEECH_WAV   (JAR_DIR as for scripts/maven_local.sh)
set -euo pipefail
jars=$(cd "${1:?directory of brimvox.jar}" && pwd)
speech=$(realpath "${2:?speech wav}")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../../../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
debian=/usr/share/maven-repo
command -v mvn >/dev/null || { echo "consumer_test: mvn is not installed (package maven)"; exit 1; }
[ -d "$debian" ] || { echo "consumer_test: $debian is missing (package maven-repo-helper)"; exit 1; }

# The private local repository: links to every group of Debian's repository, org/brimvox real.
repo=$work/repo
mkdir -p "$repo/org"
for entry in "$debian"/*; do
    [ "$(basename "$entry")" = org ] || ln -s "$entry" "$repo/$(basename "$entry")"
done
for entry in "$debian"/org/*; do
    ln -s "$entry" "$repo/org/$(basename "$entry")"
done
bash "$root/scripts/maven_local.sh" "$jars" "$repo"
version=$(sed -n 's:.*<version>\(.*\)</version>.*:\1:p' "$jars/brimvox.pom" | head -1)
installed=$repo/org/brimvox/brimvox/$version/brimvox-$version.jar

# The jar names its own coordinates.
unzip -p "$installed" META-INF/maven/org.brimvox/brimvox/pom.properties | grep -qx "version=$version"
unzip -p "$installed" META-INF/maven/org.brimvox/brimvox/pom.xml | grep -q "<artifactId>brimvox</artifactId>"
for kind in sources javadoc; do
    [ -s "$repo/org/brimvox/brimvox/$version/brimvox-$version-$kind.jar" ]
done

project=$work/consumer
mkdir -p "$project/src/main/java/example"
cat > "$project/pom.xml" <<POM
<?xml version="1.0" encoding="UTF-8"?>
<project xmlns="http://maven.apache.org/POM/4.0.0">
  <modelVersion>4.0.0</modelVersion>
  <groupId>example</groupId>
  <artifactId>consumer</artifactId>
  <version>1</version>
  <properties>
    <maven.compiler.release>11</maven.compiler.release>
    <project.build.sourceEncoding>UTF-8</project.build.sourceEncoding>
  </properties>
  <dependencies>
    <dependency>
      <groupId>org.brimvox</groupId>
      <artifactId>brimvox-legacy</artifactId>
      <version>$version</version>
    </dependency>
  </dependencies>
  <build>
    <plugins>
      <plugin>
        <groupId>org.apache.maven.plugins</groupId>
        <artifactId>maven-compiler-plugin</artifactId>
        <version>3.10.1</version>
      </plugin>
      <plugin>
        <groupId>org.apache.maven.plugins</groupId>
        <artifactId>maven-resources-plugin</artifactId>
        <version>3.3.0</version>
      </plugin>
    </plugins>
  </build>
</project>
POM
cat > "$project/src/main/java/example/Consumer.java" <<'JAVA'
package example;

import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import org.brimvox.AudioRun;
import org.brimvox.Brimvox;

public final class Consumer {
    public static void main(String[] args) throws Exception {
        Path file = Path.of(args[0]);
        try (Brimvox engine = Brimvox.open()) {
            AudioRun rec = engine.recordToFile(file);
            rec.awaitElapsed(Duration.ofMillis(900));
            rec.stop();
            Duration recorded = rec.await();
            Duration played = engine.playFile(file).await();
            System.out.println("recorded " + recorded.toMillis() + " ms, " + Files.size(file) + " bytes; played "
                               + played.toMillis() + " ms");
        }
    }
}
JAVA
# An existing caller of NativeAudio (unnamed package), through brimvox-legacy, which brings
# brimvox with it.
cat > "$project/src/main/java/LegacyConsumer.java" <<'JAVA'
public final class LegacyConsumer {
    public static void main(String[] args) {
        System.out.println("NativeAudio version " + NativeAudio.GetVersion());
    }
}
JAVA
stamp=$work/stamp
touch "$stamp"
(cd "$project" && mvn -o -B -q -Dmaven.repo.local="$repo" compile)
# Nothing was written into the packages' repository through the links.
written=$(find -L "$debian" -newer "$stamp" -print -quit 2>/dev/null || true)
[ -z "$written" ] || { echo "consumer_test: Maven wrote into $debian: $written"; exit 1; }

out=$(cd "$work" && BRIMVOX_AUDIO=virtual BRIMVOX_AUDIO_IN="$speech" BRIMVOX_AUDIO_OUT="$work/speaker.wav" \
      BRIMVOX_AUDIO_SPEED=8 XDG_CACHE_HOME="$work/cache" \
      java -cp "$project/target/classes:$installed" example.Consumer "$work/note.bvx")
echo "$out"
legacy_jar=$repo/org/brimvox/brimvox-legacy/$version/brimvox-legacy-$version.jar
[ "$(java -cp "$project/target/classes:$installed:$legacy_jar" LegacyConsumer)" = "NativeAudio version 101" ]
ms=$(echo "$out" | sed -n 's/^recorded \([0-9]*\) ms, \([0-9]*\) bytes; played \([0-9]*\) ms$/\1 \2 \3/p')
read -r recorded bytes played <<<"$ms"
[ "$recorded" -ge 900 ] && [ "$bytes" -eq $((recorded / 90 * 54)) ] && [ "$played" -eq $((bytes / 18 * 30)) ] \
    || { echo "consumer_test: unexpected run: $out"; exit 1; }
[ "$(stat -c %s "$work/speaker.wav")" -gt $((bytes / 18 * 480)) ]
echo "consumer_test: org.brimvox:brimvox:$version resolved offline by Maven, recorded and played"
