#!/usr/bin/env bash
# Builds printer-probe and runs it against this machine's print system.
set -eu
cd "$(dirname "$0")/.."
scripts/install-packages.sh build
cmake --preset default >/dev/null
cmake --build --preset default --target printer-probe >/dev/null
exec build/default/printer-probe
