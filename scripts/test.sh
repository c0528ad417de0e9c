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

cmake --preset default
cmake --build --preset default
ctest --preset default

cmake --preset asan
cmake --build --preset asan
ctest --preset asan

scripts/lint.sh
scripts/fuzz.sh 60
