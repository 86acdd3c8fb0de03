#!/usr/bin/env bash
# Runs one row of a test run (tests/jvm/run-case.sh runs it and checks its exit,
# -Xcheck:jni and crashes), then reads what the run printed: each --expect text
# must be there, no --reject text may be, nothing may warn of a dynamically
# loaded agent, and no line may start with WARNING but the JDK's own warning of
# native access, once, where the JVM runs on JDK 24 or later with no option
# (a --plain row), or where --native-access-warning once says so. JDK 24 and
# later also warn when code other than Quorvane's calls sun.misc.Unsafe (Byte
# Buddy 1.12 does, however its agent started): that warning is not Quorvane's.
# Usage: check-run.sh [--expect TEXT]... [--reject TEXT]... [--native-access-warning auto|once|none]
#                     -- RUN_CASE_SCRIPT RUN_CASE_ARGS...
set -uo pipefail

expects=() rejects=() warning=auto
while [ $# -gt 0 ]; do
  case "$1" in
    --expect) expects+=("$2"); shift 2 ;;
    --reject) rejects+=("$2"); shift 2 ;;
    --native-access-warning) warning=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "check-run: unknown option $1" >&2; exit 2 ;;
  esac
done

work_dir="" java="" plain=false
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    --work-dir) work_dir=${args[i + 1]} ;;
    --java) java=${args[i + 1]} ;;
    --plain) plain=true ;;
    --) break ;;
  esac
done
if [ "$warning" = auto ]; then
  warning=none
  feature=$(sed -n 's/^JAVA_VERSION="\([0-9]*\).*/\1/p' "$(dirname "$java")/../release" 2>/dev/null)
  if $plain && [ "${feature:-17}" -ge 24 ]; then
    warning=once
  fi
fi

bash "$@"
status=$?

output=$(cat "$work_dir/stdout.txt" "$work_dir/stderr.txt" 2>/dev/null)
failed=0
fail() { echo "check-run: $*"; failed=1; }
for text in "${expects[@]}"; do
  grep -qF -- "$text" <<<"$output" || fail "the output lacks: $text"
done
for text in "${rejects[@]}"; do
  ! grep -qF -- "$text" <<<"$output" || fail "the output has: $text"
done
if grep -qiE 'loaded dynamically|dynamically loaded' <<<"$output"; then
  fail "an agent was loaded dynamically: $(grep -iE 'loaded dynamically|dynamically loaded' <<<"$output" | head -3)"
fi
# The JDK's native-access warning, as JDK 24 and later print it for the library's load.
native_access='^WARNING: (A restricted method in java[.]lang[.]System has been called|java[.]lang[.]System::load has been called by |Use --enable-native-access=|Restricted methods will be blocked in a future release)'
unsafe='^WARNING: (A terminally deprecated method in sun[.]misc[.]Unsafe has been called|sun[.]misc[.]Unsafe::[A-Za-z]+ has been called by |Please consider reporting this to the maintainers of |sun[.]misc[.]Unsafe::[A-Za-z]+ will be removed in a future release)'
if grep -E "$unsafe" <<<"$output" | grep -q 'qv[.]vantrel[.]quorvane'; then
  fail "Quorvane called sun.misc.Unsafe: $(grep -E "$unsafe" <<<"$output" | grep 'qv[.]vantrel[.]quorvane' | head -3)"
fi
warnings=$(grep '^WARNING' <<<"$output" | grep -vE "$unsafe")
case "$warning" in
  none)
    [ -z "$warnings" ] || fail "the run warned: $(head -5 <<<"$warnings")" ;;
  once)
    [ "$(grep -c '^WARNING: A restricted method' <<<"$output")" -eq 1 ] \
      || fail "not one native-access warning: $(head -8 <<<"$warnings")"
    others=$(grep -vE "$native_access" <<<"$warnings")
    [ -z "$others" ] || fail "the run warned of more than native access: $(head -5 <<<"$others")" ;;
  *) echo "check-run: --native-access-warning auto, once or none" >&2; exit 2 ;;
esac
if [ $failed -ne 0 ]; then
  [ $status -ne 0 ] || { echo "---- output (last 40 lines) ----"; tail -n 40 <<<"$output"; }
  echo "---- working directory: $work_dir"
  exit 1
fi
exit $status
