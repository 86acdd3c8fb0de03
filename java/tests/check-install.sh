#!/usr/bin/env bash
# Installs the build into a scratch prefix, as a user would, and checks the
# layout: the library, the versioned jar and its link, the Maven repository
# layout (pom with the jar's coordinates, sources and javadoc jars), the
# local-repository component, a library for each platform in the jar, and
# that the installed jar alone loads the library in a real JVM.
# Usage: check-install.sh BUILD_DIR JAVA CASES_JAR VERSION WORK_DIR "PLATFORM..."
set -uo pipefail
build=$1 java=$2 cases_jar=$3 version=$4 work=$5 platforms=$6
rm -rf "$work" && mkdir -p "$work" || exit 2
prefix=$work/prefix m2=$work/m2
failed=0
fail() { echo "check-install: $*"; failed=1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || fail "cmake --install failed: $(tail -5 "$work/install.log")"
cmake --install "$build" --component maven-local --prefix "$m2" >>"$work/install.log" 2>&1 || fail "maven-local install failed"

maven=qv/vantrel/quorvane/$version
maven_files=("quorvane-$version.jar" "quorvane-$version.pom" "quorvane-$version-sources.jar" "quorvane-$version-javadoc.jar")
for f in "lib/libquorvane.so" "share/java/quorvane-$version.jar" "${maven_files[@]/#/share/maven-repo/$maven/}"; do
  [ -f "$prefix/$f" ] || fail "missing $f"
done
[ "$(readlink "$prefix/share/java/quorvane.jar")" = "quorvane-$version.jar" ] || fail "share/java/quorvane.jar is not a link to quorvane-$version.jar"
for f in "${maven_files[@]}"; do
  [ -f "$m2/$maven/$f" ] || fail "maven-local: missing $maven/$f"
done
jar_tool=$(dirname "$java")/jar
repo=$prefix/share/maven-repo/$maven
# Listed first and searched after: grep -q would cut a listing short under pipefail.
sources=$("$jar_tool" tf "$repo/quorvane-$version-sources.jar")
grep -qx "qv/vantrel/quorvane/Quorvane.java" <<<"$sources" || fail "the sources jar has no Quorvane.java"
javadoc=$("$jar_tool" tf "$repo/quorvane-$version-javadoc.jar")
grep -qx "qv.vantrel.quorvane/qv/vantrel/quorvane/Quorvane.html" <<<"$javadoc" \
  || fail "the javadoc jar has no page for Quorvane in its module"
entries=$("$jar_tool" tf "$prefix/share/java/quorvane.jar")
for platform in $platforms; do
  grep -qx "native/$platform/libquorvane.so" <<<"$entries" || fail "the installed jar has no native/$platform/libquorvane.so"
done
pom=$prefix/share/maven-repo/$maven/quorvane-$version.pom
grep -q "<groupId>qv.vantrel</groupId>" "$pom" && grep -q "<artifactId>quorvane</artifactId>" "$pom" \
  && grep -q "<version>$version</version>" "$pom" || fail "the pom does not carry qv.vantrel:quorvane:$version"
mkdir -p "$work/unpacked" && (cd "$work/unpacked" && "$jar_tool" xf "$prefix/share/java/quorvane.jar" META-INF)
cmp -s "$pom" "$work/unpacked/META-INF/maven/qv.vantrel/quorvane/pom.xml" \
  || fail "the installed pom differs from the one inside the jar"
# An explicit module that exports the API and keeps the Instrumentation's implementation.
module=$("$jar_tool" --describe-module --file "$prefix/share/java/quorvane.jar")
grep -q "^qv.vantrel.quorvane jar:" <<<"$module" && ! grep -q "automatic" <<<"$module" \
  || fail "the jar is not the explicit module qv.vantrel.quorvane: $module"
[ "$(grep '^exports ' <<<"$module" | sort | tr '\n' ' ')" = "exports qv.vantrel.quorvane exports qv.vantrel.quorvane.management exports qv.vantrel.quorvane.remapper " ] \
  || fail "the module exports other than the API: $module"

# quorvane-junit, when the build made it: the same layout, an explicit module that
# exports nothing and provides the launcher session listener, a pom depending on quorvane.
if [ -f "$build/lib/quorvane-junit.jar" ]; then
  junit=qv/vantrel/quorvane-junit/$version
  junit_files=("quorvane-junit-$version.jar" "quorvane-junit-$version.pom" "quorvane-junit-$version-sources.jar"
    "quorvane-junit-$version-javadoc.jar")
  for f in "share/java/quorvane-junit-$version.jar" "${junit_files[@]/#/share/maven-repo/$junit/}"; do
    [ -f "$prefix/$f" ] || fail "missing $f"
  done
  for f in "${junit_files[@]}"; do
    [ -f "$m2/$junit/$f" ] || fail "maven-local: missing $junit/$f"
  done
  [ "$(readlink "$prefix/share/java/quorvane-junit.jar")" = "quorvane-junit-$version.jar" ] \
    || fail "share/java/quorvane-junit.jar is not a link to quorvane-junit-$version.jar"
  junit_module=$("$jar_tool" --describe-module --file "$prefix/share/java/quorvane-junit.jar")
  grep -q "^qv.vantrel.quorvane.junit jar:" <<<"$junit_module" && ! grep -qE "automatic|exports" <<<"$junit_module" \
    && grep -q "^provides org.junit.platform.launcher.LauncherSessionListener with qv.vantrel.quorvane.junit.AgentLauncherSessionListener" <<<"$junit_module" \
    || fail "quorvane-junit.jar is not the module qv.vantrel.quorvane.junit providing the listener alone: $junit_module"
  junit_entries=$("$jar_tool" tf "$prefix/share/java/quorvane-junit.jar")
  grep -qx "META-INF/services/org.junit.platform.launcher.LauncherSessionListener" <<<"$junit_entries" \
    || fail "quorvane-junit.jar has no service file for the class path"
  ! grep -q "^org/junit/" <<<"$junit_entries" || fail "quorvane-junit.jar bundles JUnit's classes"
  junit_pom=$prefix/share/maven-repo/$junit/quorvane-junit-$version.pom
  grep -q "<artifactId>quorvane-junit</artifactId>" "$junit_pom" && grep -q "<artifactId>quorvane</artifactId>" "$junit_pom" \
    || fail "the quorvane-junit pom does not name itself and its dependency on quorvane"
fi

# The installed jar, through its link, with nothing on java.library.path.
mkdir -p "$work/run" "$work/empty" && cd "$work/run" || exit 2
if ! "$java" -Xcheck:jni -Djava.library.path="$work/empty" -cp "$cases_jar" LoadingCases \
    two-loaders "$prefix/share/java/quorvane.jar" jar-only >stdout.txt 2>&1 || grep -q "WARNING" stdout.txt; then
  fail "the installed jar did not load the library:"; tail -20 stdout.txt
fi
[ $failed -eq 0 ] && echo "installed layout under $prefix is complete"
exit $failed
