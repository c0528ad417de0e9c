#!/usr/bin/env bash
# A whole run of printer-probe, for a machine without printers or anyone who
# wants to see one first: a private CUPS scheduler with a few sample queues,
# the program built as scripts/run.sh builds it and run at this terminal,
# where it waits for a key as usual.
#
# The machine's own print system is left alone: the scheduler's
# configuration, state and socket live in a folder of the demo's own, and
# only the demo's own commands are aimed at it. That scheduler is stopped and
# its folder removed on every way out, Ctrl-C included.
set -eu
cd "$(dirname "$0")/.."
# cupsd and lpadmin live in sbin, which not every environment puts on PATH.
PATH=$PATH:/usr/sbin:/sbin
scripts/install-packages.sh demo

dir=$(mktemp -d "${TMPDIR:-/tmp}/printer-probe-demo.XXXXXX")
finish() {
  # A second Ctrl-C must not cut the cleanup short.
  trap '' INT TERM HUP
  tests/private-cupsd.sh stop "$dir/cups"
  rm -rf "$dir"
}
trap finish EXIT
# Ctrl-C before the prompt (at the prompt the program takes it as a key).
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

if ! { cmake --preset release && cmake --build --preset release; } >"$dir/build.log" 2>&1; then
  cat "$dir/build.log" >&2
  echo "demo.sh: the build failed" >&2
  exit 1
fi

socket=$(PRIVATE_CUPSD_OWNER=$$ tests/private-cupsd.sh start "$dir/cups")
# Names in the scripts a spooler has to carry through both widths.
queues=(office-laser Drucker_Küche Принтер_бухгалтерия 打印机)
for queue in "${queues[@]}"; do
  CUPS_SERVER=$socket lpadmin -p "$queue" -v file:///dev/null -E
done
CUPS_SERVER=$socket lpadmin -d office-laser

echo "printer-probe against a private scheduler with ${#queues[@]} sample queues, office-laser the default;"
echo "this machine's own print system is not touched."
echo
CUPS_SERVER=$socket build/release/printer-probe
