#!/usr/bin/env bash
# clang-format and clang-tidy over src/ and tests/, with the repo's own
# settings. Needs the default build's compile_commands.json (scripts/test.sh
# makes it first).
set -eu
cd "$(dirname "$0")/.."
sources=$(git ls-files 'src/*.cc' 'src/*.h' 'tests/*.cc' 'tests/*.h')
clang-format --dry-run -Werror $sources
# The Windows twin needs <windows.h>, which clang-tidy cannot see here; the
# fuzz target is built by its own preset.
tidy=$(git ls-files 'src/*.cc' 'tests/*.cc' | grep -v -e '-win32\.cc$' -e '_fuzz\.cc$')
if ! report=$(clang-tidy -p build/default --quiet $tidy 2>&1); then
  echo "$report" | grep -v -e '^[0-9]* warnings\? generated' -e '^Suppressed' >&2
  exit 1
fi
echo "lint: clang-format and clang-tidy clean on $(echo $sources | wc -w) files"
