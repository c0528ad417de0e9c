#!/usr/bin/env bash
# Builds printer-probe alone (no tests, so no GoogleTest, mingw-w64 or Wine)
# and runs it against this machine's print system. The build says nothing
# unless it fails.
set -eu
cd "$(dirname "$0")/.."
scripts/install-packages.sh build
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake --preset release && cmake --build --preset release; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "run.sh: the build failed" >&2
  exit 1
fi
rm -f "$log"
trap - EXIT
exec build/release/printer-probe
