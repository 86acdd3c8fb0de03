#!/usr/bin/env bash
# Installs the build into a scratch prefix, as a user would, and checks the
# layout: the library, the versioned jar and its link, the Maven repository
# layout (pom with the jar's coordinates), the local-repository component, and
# that the installed jar alone loads the library in a real JVM.
# Usage: check-install.sh BUILD_DIR JAVA CASES_JAR VERSION WORK_DIR
set -uo pipefail
build=$1 java=$2 cases_jar=$3 version=$4 work=$5
rm -rf "$work" && mkdir -p "$work" || exit 2
prefix=$work/prefix m2=$work/m2
failed=0
fail() { echo "check-install: $*"; failed=1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || fail "cmake --install failed: $(tail -5 "$work/install.log")"
cmake --install "$build" --component maven-local --prefix "$m2" >>"$work/install.log" 2>&1 || fail "maven-local install failed"

maven=qv/vantrel/quorvane/$version
for f in "lib/libquorvane.so" "share/java/quorvane-$version.jar" "share/maven-repo/$maven/quorvane-$version.jar" \
         "share/maven-repo/$maven/quorvane-$version.pom"; do
  [ -f "$prefix/$f" ] || fail "missing $f"
done
[ "$(readlink "$prefix/share/java/quorvane.jar")" = "quorvane-$version.jar" ] || fail "share/java/quorvane.jar is not a link to quorvane-$version.jar"
for f in "quorvane-$version.jar" "quorvane-$version.pom"; do
  [ -f "$m2/$maven/$f" ] || fail "maven-local: missing $maven/$f"
done
pom=$prefix/share/maven-repo/$maven/quorvane-$version.pom
grep -q "<groupId>qv.vantrel</groupId>" "$pom" && grep -q "<artifactId>quorvane</artifactId>" "$pom" \
  && grep -q "<version>$version</version>" "$pom" || fail "the pom does not carry qv.vantrel:quorvane:$version"
mkdir -p "$work/unpacked" && (cd "$work/unpacked" && "$(dirname "$java")/jar" xf "$prefix/share/java/quorvane.jar" META-INF)
cmp -s "$pom" "$work/unpacked/META-INF/maven/qv.vantrel/quorvane/pom.xml" \
  || fail "the installed pom differs from the one inside the jar"
grep -q "^Automatic-Module-Name: qv.vantrel.quorvane" "$work/unpacked/META-INF/MANIFEST.MF" \
  || fail "the jar's manifest names no automatic module"

# The installed jar, through its link, with nothing on java.library.path.
mkdir -p "$work/run" "$work/empty" && cd "$work/run" || exit 2
if ! "$java" -Xcheck:jni -Djava.library.path="$work/empty" -cp "$cases_jar" LoadingCases \
    two-loaders "$prefix/share/java/quorvane.jar" jar-only >stdout.txt 2>&1 || grep -q "WARNING" stdout.txt; then
  fail "the installed jar did not load the library:"; tail -20 stdout.txt
fi
[ $failed -eq 0 ] && echo "installed layout under $prefix is complete"
exit $failed
