# Shell functions shared by bench/run.sh and bench/test.sh.

# The bench runs on fresh machines too, so it installs whatever of its tools
# is missing. Installing cups-daemon would start the machine's own
# scheduler, which the bench must leave alone, so starting services is
# refused for the length of the install unless a local rule already decides.
install_missing() {
  local missing=() pair
  for pair in cmake:cmake ninja:ninja-build g++:g++ cupsd:cups-daemon lpadmin:cups-client \
              hyperfine:hyperfine gnuplot:gnuplot-nox; do
    command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
  done
  [ -x /usr/bin/time ] || missing+=(time)
  [ -f /usr/include/cups/cups.h ] || missing+=(libcups2-dev)
  compgen -G '/usr/include/*/curl/curl.h' >/dev/null || [ -f /usr/include/curl/curl.h ] || missing+=(libcurl4-gnutls-dev)
  [ ${#missing[@]} -eq 0 ] && return 0

  local guard=
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    guard=1
  fi
  local status=0
  apt-get update && DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}" || status=$?
  [ -z "$guard" ] || rm -f /usr/sbin/policy-rc.d
  return $status
}

# tests/private-cupsd.sh start can return before the scheduler listens, as
# `lpstat -r` exits 0 whether or not it is running; this waits for the words.
wait_answering() {
  for _ in $(seq 100); do
    [ "$(LC_ALL=C lpstat -r 2>/dev/null)" = "scheduler is running" ] && return 0
    sleep 0.1
  done
  return 1
}

# Adds queues bench-FROM to bench-TO through the scheduler's own way of
# adding them. Four lpadmin at a time on two cores take half as long as one
# at a time and leave the same queues. Fails if any of them fails.
add_queues() {  # FROM TO
  [ "$2" -ge "$1" ] || return 0
  seq -f 'bench-%05g' "$1" "$2" |
    xargs -P "$((2 * $(nproc)))" -I{} lpadmin -p {} -v file:///dev/null -E
}

# cupsd writes printers.conf a while after a change (DirtyCleanInterval,
# 30 s by default); waiting for that write keeps it out of the measured runs.
# Fails when no write newer than MARKER comes within SECONDS, which also
# happens when it came before MARKER was made.
wait_written() {  # FILE MARKER SECONDS
  local deadline=$((SECONDS + $3))
  until [ "$1" -nt "$2" ]; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.5
  done
}

# Reads the snapshots taken before every run, warm-ups included (a label,
# then the scheduler's /proc/PID/stat line), and one labelled "end" after
# each round of runs; prints each label with the scheduler's user and system
# CPU time per run, in milliseconds, in the order the labels first come. A
# command's runs lie between its own first snapshot and the next label's
# first one, in each round; what lies after an "end" is nobody's. The
# process name inside the stat line may hold spaces and parentheses, so
# fields are counted from its last ") ".
cpu_per_run() {  # LOG TICKS_PER_SECOND
  awk -v hz="$2" '
    { label = $1; sub(/^.*\) /, ""); split($0, f, " "); ticks = f[12] + f[13] }
    label != last {
      if (last != "") { used[last] += ticks - first; counted[last] += runs }
      if (!(label in used) && label != "end") order[++k] = label
      last = label; first = ticks; runs = 0
    }
    { runs++ }
    END { for (i = 1; i <= k; i++) printf "%s %.3f\n", order[i], used[order[i]] * 1000 / hz / counted[order[i]] }
  ' "$1"
}

# Reads result lines "LABEL COMMAND MEDIAN_MS ..." (LABEL a queue count or a
# network case) and prints one line per
# target: name, limit, measured ratio (or "-" when not measured) and
# yes/no/- for whether it held.
targets() {  # RESULTS
  awk '
    { median[$1 " " $2] = $3 }
    function check(name, limit, num, den) {
      if (!(num in median) || !(den in median) || median[den] <= 0) {
        printf "%s %s - -\n", name, limit
        return
      }
      ratio = median[num] / median[den]
      printf "%s %s %.2f %s\n", name, limit, ratio, (ratio <= limit ? "yes" : "no")
    }
    END {
      check("probe/lpstat@1000", 0.4, "1000 probe", "1000 lpstat")
      check("probe/bare@1000", 1.2, "1000 probe", "1000 bare")
      check("probe@5000/probe@1000", 6, "5000 probe", "1000 probe")
      check("probe/bare@tls", 1.2, "tls probe", "tls bare")
      check("probe/lpstat@tls", 1, "tls probe", "tls lpstat")
      check("probe/bare@distance", 1.1, "distance probe", "distance bare")
      check("probe/least@distance", 1.2, "distance probe", "distance least")
    }
  ' "$1"
}
