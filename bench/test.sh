#!/usr/bin/env bash
# Checks what the benchmark's figures rest on: its arithmetic, and that the
# programs it times count the queues of the scheduler they are aimed at.
#   bench/test.sh PRINTER_PROBE BARE_REQUESTS     (from anywhere)
set -u
probe=$(realpath "${1:?usage: test.sh PRINTER_PROBE BARE_REQUESTS}")
bare=$(realpath "${2:?usage: test.sh PRINTER_PROBE BARE_REQUESTS}")
root=$(cd "$(dirname "$0")/.." && pwd)
PATH=$PATH:/usr/sbin:/sbin
. "$root/bench/lib.sh"

passed=0 failed=0
check() {  # NAME EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
  fi
}

work=$(mktemp -d)
trap '"$root/tests/private-cupsd.sh" stop "$work/cups"; rm -rf "$work"' EXIT

# Ticks 10 and 1 (user, system) of a process whose name holds ") " itself;
# counted from the first ")", the fields would be off by two.
stat_of() { echo "$1 42 (x) y) S 1 1 1 0 -1 0 0 0 0 0 $2 $3 0 0 20 0 1 0 5 0 0"; }
{
  stat_of bare 100 0    # the previous command's runs end here
  stat_of probe 100 0
  stat_of probe 110 0
  stat_of probe 125 5
  stat_of lpstat 130 10  # probe used 40 ticks over its 3 runs
  stat_of lpstat 200 10
  stat_of end 290 10     # lpstat used 160 ticks over its 2 runs
  stat_of probe 400 10   # a second round: the time between rounds is nobody's
  stat_of end 420 10     # probe used 20 more over 1 run
} > "$work/log"
check "scheduler CPU is split among the runs between snapshots, over every round" \
  "bare 0.000|probe 150.000|lpstat 800.000" "$(cpu_per_run "$work/log" 100 | paste -sd'|')"

# Medians chosen so that 9 vs 10 ms would pass as text but not as numbers.
cat > "$work/results" <<'R'
1000 probe 9 8 11 0 1
1000 lpstat 20 19 30 0 1
1000 bare 10 9 12 0 1
5000 probe 61 60 70 0 1
tls probe 25 20 30 0 1
tls lpstat 24 20 30 0 1
tls bare 22 20 30 0 1
distance probe 100 90 110 0 1
distance bare 90 80 100 0 1
distance least 100 100 100 - -
R
check "targets compare numbers, within one queue count or case" \
  "probe/lpstat@1000 0.4 0.45 no|probe/bare@1000 1.2 0.90 yes|probe@5000/probe@1000 6 6.78 no|probe/bare@tls 1.2 1.14 yes|probe/lpstat@tls 1 1.04 no|probe/bare@distance 1.1 1.11 no|probe/least@distance 1.2 1.00 yes" \
  "$(targets "$work/results" | paste -sd'|')"
check "a target with a missing figure is not judged" \
  "probe/lpstat@1000 0.4 - -|probe/bare@1000 1.2 - -|probe@5000/probe@1000 6 - -|probe/bare@tls 1.2 - -|probe/lpstat@tls 1 - -|probe/bare@distance 1.1 - -|probe/least@distance 1.2 - -" \
  "$(targets /dev/null | paste -sd'|')"

touch "$work/marker"
(sleep 1; touch "$work/conf") &
wait_written "$work/conf" "$work/marker" 10
check "a write after the marker ends the wait" 0 $?
wait
touch "$work/marker2"
SECONDS=0
wait_written "$work/conf" "$work/marker2" 1
check "no write after the marker is a failure" 1 $?
check "and the wait stops at its limit" 1 $((SECONDS <= 3))

export CUPS_SERVER="$work/none.sock"
add_queues 1 2 2>/dev/null
check "queues that cannot be added fail the step" 1 $(($? != 0))

if CUPS_SERVER=$(PRIVATE_CUPSD_OWNER=$$ "$root/tests/private-cupsd.sh" start "$work/cups") && wait_answering; then
  check "an empty scheduler answers each bare request with no queues" "0 0 0 0" "$("$bare")"
  add_queues 1 3
  check "add_queues adds FROM to TO" "bench-00001 bench-00002 bench-00003" "$(lpstat -e | sort | paste -sd' ')"
  add_queues 4 3
  check "an empty range adds nothing" 3 "$(lpstat -e | wc -l)"
  check "bare-requests counts the queues in each answer" "3 3 3 3" "$("$bare")"
  check "the probe sees the same queues in both widths" 2 \
    "$(setsid -w "$probe" </dev/null | grep -c 'represent 3 structures')"
  # Some 40 KB of answer: more than one read, more than one block.
  add_queues 4 800
  check "bare-requests counts every queue of a long answer" "800 800 800 800" "$("$bare")"
  check "so does the probe" 2 "$(setsid -w "$probe" </dev/null | grep -c 'represent 800 structures')"
  "$root/tests/private-cupsd.sh" stop "$work/cups"
  "$bare" >/dev/null 2>&1
  check "bare-requests fails when the scheduler is gone" 1 $(($? != 0))
else
  check "the private scheduler starts" started failed
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
