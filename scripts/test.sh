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
ctest --preset default
report_skipped build/default

cmake --preset asan
cmake --build --preset asan
ctest --preset asan
report_skipped build/asan

scripts/lint.sh
scripts/fuzz.sh 60
