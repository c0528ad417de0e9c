#!/usr/bin/env bash
# Checks a Windows build as a file, without running it: its PE format, a
# console program, and the only DLLs it imports, so it runs on any Windows
# with the spooler and nothing installed beside it.
#
#   windows-exe.sh OBJDUMP EXE PE32|PE32+
set -eu
objdump=${1:?usage: windows-exe.sh OBJDUMP EXE PE32|PE32+} exe=${2:?} magic=${3:?}
headers=$("$objdump" -p "$exe")
failed=0
expect() {  # WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf '%s: %s\n  expected: %s\n  actual:   %s\n' "$exe" "$1" "$2" "$3" >&2
    failed=1
  fi
}
expect "format" "$magic" "$(sed -n 's/^Magic[[:space:]]*[0-9a-f]*[[:space:]]*(\(.*\))$/\1/p' <<<"$headers")"
expect "subsystem" "Windows CUI" "$(sed -n 's/^Subsystem[[:space:]]*[0-9a-f]*[[:space:]]*(\(.*\))$/\1/p' <<<"$headers")"
expect "imports" "KERNEL32.dll WINSPOOL.DRV msvcrt.dll" \
  "$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | LC_ALL=C sort | paste -sd' ')"
[ "$failed" -eq 0 ] && echo "$exe: $magic console program importing KERNEL32, msvcrt and WINSPOOL only"
exit "$failed"
