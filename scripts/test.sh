#!/usr/bin/env bash
# Builds everything and runs every check: the native suites (scripted
# spooler, private CUPS scheduler, terminal, faults, memcheck, and both
# Windows builds under Wine), the same suites under AddressSanitizer and
# UndefinedBehaviorSanitizer, the linters, and a bounded fuzzing run.
set -eu
cd "$(dirname "$0")/.."
# cupsd and lpadmin live in sbin, which not every environment puts on PATH.
PATH=$PATH:/usr/sbin:/sbin
scripts/install-packages.sh test

# CTest shows a skipped test's name but not its output; this names each
# skipped case and the reason it gave.
report_skipped() {  # BUILD_DIR
  awk '
    /^[0-9]+\/[0-9]+ Testing: / { suite = $3 }
    /: Skipped$/ { getline reason }
    /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ { printf "skipped: %s %s: %s\n", suite, $4, reason; n++ }
    END { printf "%d case(s) skipped\n", n }
  ' "$1/Testing/Temporary/LastTest.log"
}

cmake --preset default
cmake --build --preset default

# The native suites spend most of their time waiting out the probe's limits
# and the schedulers' answers, so the sanitized build and its suites and the
# linters run beside them, each into a log of its own that is shown when all
# have ended. The fuzzing, bounded in time, runs after them, with the
# machine to itself as far as the sanitized suites, which also mostly wait,
# leave it.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
checks=()
beside() {  # NAME COMMAND...
  checks+=("$1")
  # set -e would end the subshell at a failing check, before its status.
  (status=0; "${@:2}" >"$logs/$1" 2>&1 || status=$?; echo "$status" >"$logs/$1.status") &
}
beside asan sh -c 'cmake --preset asan && cmake --build --preset asan && ctest --preset asan'
beside lint scripts/lint.sh

failed=0
ctest --preset default || failed=1
scripts/fuzz.sh 60 || failed=1
wait
for check in "${checks[@]}"; do
  echo "== $check"
  cat "$logs/$check"
  [ "$(cat "$logs/$check.status")" -eq 0 ] || { echo "$check FAILED"; failed=1; }
done
# Last, so that a run which could not try everything says so at its end.
echo "== skipped"
report_skipped build/default
[ ! -f build/asan/Testing/Temporary/LastTest.log ] || report_skipped build/asan
exit "$failed"
