#!/usr/bin/env bash
# Installs brimvox.jar with its pom, sources and javadoc into a local Maven repository as
# org.brimvox:brimvox:VERSION, and brimvox-legacy.jar (NativeAudio) as
# org.brimvox:brimvox-legacy:VERSION, in the layout `mvn install` writes (no plugin or network).
# usage: maven_local.sh JAR_DIR [REPOSITORY]   (JAR_DIR holds brimvox.jar, brimvox.pom, the
#        sources and javadoc jars, brimvox-legacy.jar and brimvox-legacy.pom: build/ after `make jar`, or build/linux/java; the repository
#        defaults to $MAVEN_REPO_LOCAL or ~/.m2/repository)
set -euo pipefail
from=$(cd "${1:?directory of brimvox.jar}" && pwd)
repo=${2:-${MAVEN_REPO_LOCAL:-$HOME/.m2/repository}}
jar=$from/brimvox.jar
pom=$from/brimvox.pom
version=$(sed -n 's:.*<version>\(.*\)</version>.*:\1:p' "$pom" | head -1)
dir=$repo/org/brimvox/brimvox/$version
mkdir -p "$dir"
cp "$jar" "$dir/brimvox-$version.jar"
cp "$pom" "$dir/brimvox-$version.pom"
for kind in sources javadoc; do
    cp "$from/brimvox-$kind.jar" "$dir/brimvox-$version-$kind.jar"
done
# NativeAudio for existing callers: org.brimvox:brimvox-legacy, which depends on brimvox.
legacy=$repo/org/brimvox/brimvox-legacy/$version
mkdir -p "$legacy"
cp "$from/brimvox-legacy.jar" "$legacy/brimvox-legacy-$version.jar"
cp "$from/brimvox-legacy.pom" "$legacy/brimvox-legacy-$version.pom"
stamp=$(date -u +%Y%m%d%H%M%S)
for artifact in brimvox brimvox-legacy; do
    cat > "$repo/org/brimvox/$artifact/maven-metadata-local.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<metadata>
  <groupId>org.brimvox</groupId>
  <artifactId>$artifact</artifactId>
  <versioning>
    <release>$version</release>
    <versions>
      <version>$version</version>
    </versions>
    <lastUpdated>$stamp</lastUpdated>
  </versioning>
</metadata>
XML
done
echo "installed org.brimvox:brimvox:$version and org.brimvox:brimvox-legacy:$version into $repo"
