#!/usr/bin/env bash
# Builds everything and runs every test suite: the scripted spooler, the
# private CUPS scheduler, the terminal, and both Windows builds under Wine.
set -eu
cd "$(dirname "$0")/.."
scripts/install-packages.sh test
cmake --preset default
cmake --build --preset default
ctest --preset default
