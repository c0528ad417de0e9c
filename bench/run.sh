#!/usr/bin/env bash
# What listing the printers costs the machine and its scheduler: printer-probe
# side by side with `lpstat -e` and with bare-requests (the four requests any
# listing in two widths and two calls must make), on a private scheduler
# holding 0, 100, 1,000 and 5,000 queues; and at 100 queues the same three
# across a network: over TCP with TLS required, and through a proxy that
# delivers each chunk 10 ms after it came, each way, beside the least time
# the protocol can take over that distance. Writes docs/benchmarks.md,
# docs/benchmarks.png and docs/benchmarks-network.png; the raw figures stay
# in build/bench-results.
#
#   bench/run.sh                    from the repo root, a few minutes
#   BENCH_COUNTS="0 100" BENCH_RUNS=3 BENCH_ROUNDS=1 bench/run.sh     a quick trial
#   BENCH_BEFORE=PATH bench/run.sh  also times an earlier build of the probe at
#                                   0 queues, where its start-up is all it costs
#
# BENCH_COUNTS must rise, since queues are only ever added.
set -euo pipefail
cd "$(dirname "$0")/.."
PATH=$PATH:/usr/sbin:/sbin
. bench/lib.sh

counts=${BENCH_COUNTS:-0 100 1000 5000}
runs=${BENCH_RUNS:-20}
rounds=${BENCH_ROUNDS:-5}
# A run across the network takes some 15 ms over TLS, within a couple of ms
# of the others' (more runs keep such near ties from being decided by noise).
network_runs=${BENCH_NETWORK_RUNS:-100}
# Anything else busy on the machine shows in the figures; the report says so.
load_at_start=$(cut -d' ' -f1 /proc/loadavg)

install_missing

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPRINTER_PROBE_TESTS=OFF -DPRINTER_PROBE_BENCH=ON >/dev/null
cmake --build build/bench --target printer-probe bare-requests delay-proxy
probe=build/bench/printer-probe
bare=build/bench/bench/bare-requests
delay_proxy=build/bench/bench/delay-proxy
before_probe=${BENCH_BEFORE:+$(realpath "${BENCH_BEFORE}")}

out=build/bench-results
rm -rf "$out"
mkdir -p "$out" docs

dir=$(mktemp -d /tmp/printer-probe-bench.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; tests/private-cupsd.sh stop "$dir"; rm -rf "$dir"' EXIT
trap 'exit 130' INT TERM
# libcups keeps the certificates it trusted on first use under ~/.cups:
# this run's own, not the user's.
export HOME=$dir
# The scheduler also listens on loopback TCP, where it speaks TLS too.
port=$((20000 + RANDOM % 20000))
CUPS_SERVER=$(PRIVATE_CUPSD_OWNER=$$ PRIVATE_CUPSD_PORT=$port tests/private-cupsd.sh start "$dir")
export CUPS_SERVER
wait_answering || { echo "run.sh: the private scheduler does not answer" >&2; exit 1; }
pid=$(cat "$dir/cupsd.pid")
[ "$(cat "/proc/$pid/comm")" = cupsd ] || { echo "run.sh: $pid is not the private cupsd" >&2; exit 1; }
hz=$(getconf CLK_TCK)

# Whatever is timed must have listed exactly the queues it was meant to.
check_counts() {  # QUEUES
  local n=$1 listing
  [ "$("$bare")" = "$n $n $n $n" ] || { echo "run.sh: bare-requests did not see $n queues" >&2; return 1; }
  listing=$(setsid -w "$probe" </dev/null)
  if [ "$n" -eq 0 ]; then
    # With nothing to list the size call already succeeds, and the probe stops.
    grep -q 'succeeded with NULL buffer' <<<"$listing"
  else
    [ "$(grep -c "represent $n structures" <<<"$listing")" -eq 2 ]
  fi || { echo "run.sh: printer-probe did not list $n queues" >&2; return 1; }
  [ "$(lpstat -e | wc -l)" -eq "$n" ] || { echo "run.sh: lpstat -e did not list $n queues" >&2; return 1; }
}

# Prints the largest resident set, in KiB, of three runs of a command.
peak_kib() {
  local most=0 kib
  for _ in 1 2 3; do
    setsid -w /usr/bin/time -v -o "$out/time.txt" "$@" >/dev/null 2>&1 </dev/null
    kib=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$out/time.txt")
    [ "$kib" -le "$most" ] || most=$kib
  done
  echo "$most"
}

# The three are timed in rounds, a hyperfine run of all three each, so that
# their ratios share the machine's state: its speed drifts over seconds, and
# hyperfine times one command's runs back to back. A command's median is the
# median of its rounds' medians, its min and max those of all its runs.
# Before each run, warm-ups included, the scheduler's CPU time is noted; no
# terminal is attached (setsid), so the probe never waits for a key.
measure() {  # LABEL (the queue count, or the network case)
  local n=$1 log=$out/cupsd-$1.log per_round=$(((runs + rounds - 1) / rounds))
  local note="sh -c 'echo %s \$(cat /proc/$pid/stat) >> $log'"
  local commands=(probe lpstat bare) before=()
  if [ "$n" = 0 ] && [ -n "$before_probe" ]; then
    commands+=(before)
    # shellcheck disable=SC2059
    before=(-n before -p "$(printf "$note" before)" "$before_probe")
  fi
  : > "$out/times-$n.csv"
  for _ in $(seq "$rounds"); do
    # shellcheck disable=SC2059
    setsid -w hyperfine -N --style basic --warmup 2 --min-runs "$per_round" \
      --export-csv "$out/round.csv" \
      -n probe -p "$(printf "$note" probe)" "$probe" \
      -n lpstat -p "$(printf "$note" lpstat)" "lpstat -e" \
      -n bare -p "$(printf "$note" bare)" "$bare" "${before[@]}" </dev/null
    tail -n +2 "$out/round.csv" >> "$out/times-$n.csv"
    echo "end $(cat "/proc/$pid/stat")" >> "$log"
  done
  cpu_per_run "$log" "$hz" > "$out/cpu-$n.txt"

  local name median min max cpu
  for name in "${commands[@]}"; do
    median=$(column_of "$name" 4 | sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
    min=$(column_of "$name" 7 | sort -g | head -n 1)
    max=$(column_of "$name" 8 | sort -g | tail -n 1)
    cpu=$(awk -v c="$name" '$1 == c { print $2 }' "$out/cpu-$n.txt")
    case $name in
      probe) set -- "$probe" ;;
      lpstat) set -- lpstat -e ;;
      bare) set -- "$bare" ;;
      before) set -- "$before_probe" ;;
    esac
    awk -v n="$n" -v c="$name" -v me="$median" -v mi="$min" -v ma="$max" -v cpu="$cpu" -v kib="$(peak_kib "$@")" \
      'BEGIN { printf "%s %s %.3f %.3f %.3f %s %d\n", n, c, me * 1000, mi * 1000, ma * 1000, cpu, kib }'
  done >> "$out/results.txt"
}

# A figure of each round of one command (4 median, 7 min, 8 max), in seconds.
column_of() {  # COMMAND FIELD
  awk -F, -v c="$1" -v f="$2" '$1 == c { print $f }' "$out/times-$n.csv"
}

# The same queues on a print server across a network: TCP on loopback with
# TLS required, then plain TCP through the delaying proxy. Each command sets
# up its own connection, as it would to a real server.
measure_network() {  # QUEUES
  local n=$1 proxy_port=$((port + 1)) proxy_pid delay_ms=10
  # Bounded in time: should this run stop early, the proxy ends by itself.
  (
    export CUPS_SERVER=127.0.0.1:$port CUPS_ENCRYPTION=Required
    check_counts "$n"
    echo "== $n queues, TLS required"
    runs=$network_runs measure tls
  )
  "$delay_proxy" "$proxy_port" "$port" "$delay_ms" 900 &
  proxy_pid=$!
  (
    export CUPS_SERVER=127.0.0.1:$proxy_port
    wait_answering || { echo "run.sh: no scheduler answers through the delaying proxy" >&2; exit 1; }
    check_counts "$n"
    echo "== $n queues, 10 ms away"
    runs=$network_runs measure distance
  )
  kill "$proxy_pid"
  # Over that distance nothing can take less than one connection (its
  # handshake a round trip) and the four requests' round trips.
  local least=$(((1 + 4) * 2 * delay_ms))
  echo "distance least $least $least $least - -" >> "$out/results.txt"
}

have=0
for n in $counts; do
  if [ "$n" -gt "$have" ]; then
    begin=$(date +%s.%N)
    add_queues $((have + 1)) "$n"
    touch "$dir/added"
    echo "$((n - have)) $(echo "$(date +%s.%N) - $begin" | bc)" >> "$out/setup.txt"
    wait_written "$dir/printers.conf" "$dir/added" 75 ||
      echo "run.sh: no printers.conf write seen after adding queues; going on" >&2
  fi
  have=$n
  check_counts "$n"
  echo "== $n queues"
  measure "$n"
  [ "$n" -ne 100 ] || measure_network "$n"
done

# The figures to plot, a line for each label matching PATTERN: the label,
# then median, min and max of the probe, of lpstat -e and of the bare requests.
plot_data() {  # PATTERN
  awk -v pattern="$1" '
    $1 ~ pattern { t[$1, $2] = $3 " " $4 " " $5; if (!($1 in seen)) { seen[$1]; order[++k] = $1 } }
    END {
      for (i = 1; i <= k; i++) {
        n = order[i]
        print n, t[n, "probe"], t[n, "lpstat"], t[n, "bare"], ((n, "least") in t ? t[n, "least"] : "0 0 0")
      }
    }
  ' "$out/results.txt"
}

# The plot: median time against queues, with the min-max range as bars.
plot_data '^[0-9]+$' > "$out/plot.dat"
gnuplot <<PLOT
set terminal pngcairo size 900,560 font ",11"
set output "docs/benchmarks.png"
set title "Listing the printers: time per run (median, bars from min to max)"
set xlabel "queues on the scheduler"
set ylabel "milliseconds"
set logscale y
set grid
set key top left
set xrange [-200:*]
plot "$out/plot.dat" using 1:2:3:4 with yerrorlines title "printer-probe", \
     "" using 1:5:6:7 with yerrorlines title "lpstat -e", \
     "" using 1:8:9:10 with yerrorlines title "4 bare requests"
PLOT

# The network plot: median time of each command in each case.
plot_data '^[a-z]+$' > "$out/network.dat"
gnuplot <<PLOT
set terminal pngcairo size 900,520 font ",11"
set output "docs/benchmarks-network.png"
set title "100 queues on a print server across a network: time per run (median)"
set ylabel "milliseconds"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set grid ytics
set yrange [0:*]
set key top left
set xtics ("TLS required, loopback" 0, "plain TCP, 10 ms each way" 1)
plot "$out/network.dat" using 2 title "printer-probe", "" using 5 title "lpstat -e", "" using 8 title "4 bare requests", \
     "" using 11 title "least possible for the 4 requests"
PLOT

# A Markdown table of the result rows whose first field matches PATTERN.
table() {  # PATTERN HEADING
  echo "| $2 | Command | Median ms | Min ms | Max ms | × lpstat -e | × bare | Scheduler CPU ms/run | Peak RSS KiB |"
  echo "|---|---|---:|---:|---:|---:|---:|---:|---:|"
  awk -v pattern="$1" '
    { median[$1, $2] = $3 }
    $1 ~ pattern { row[++k] = $0 }
    END {
      label["probe"] = "printer-probe"; label["lpstat"] = "lpstat -e"; label["bare"] = "4 bare requests"
      label["before"] = "printer-probe, the earlier build"
      label["least"] = "least possible for the 4 requests: 1 connection, 4 round trips"
      label["tls"] = "TLS required, loopback"; label["distance"] = "plain TCP, 10 ms each way"
      for (i = 1; i <= k; i++) {
        split(row[i], f, " ")
        printf "| %s | %s | %.2f | %.2f | %.2f | %.2f | %.2f | %s | %s |\n", (f[1] in label ? label[f[1]] : f[1]),
               label[f[2]], f[3], f[4], f[5], f[3] / median[f[1], "lpstat"], f[3] / median[f[1], "bare"],
               f[6] == "-" ? "-" : sprintf("%.1f", f[6]), f[7] == "-" ? "-" : sprintf("%d", f[7])
      }
    }' "$out/results.txt"
}

# The report.
{
  echo "# What listing the printers costs"
  echo
  echo "Written by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), on a private scheduler. The"
  echo "three commands of one queue count were timed together in $rounds rounds, each a hyperfine"
  echo "run of all three (2 warm-ups, at least $(((runs + rounds - 1) / rounds)) runs each), so that their ratios share"
  echo "the machine's state, whose speed drifts over seconds. A row's median is the"
  echo "median of its rounds' medians, its min and max those of all its runs; the ratios"
  echo "are taken between medians."
  echo
  echo "- **printer-probe**: the product, no terminal attached, output to /dev/null."
  echo "- **lpstat -e**: what CUPS itself offers to list the destinations."
  echo "- **4 bare requests**: \`bench/bare-requests\`, four CUPS-Get-Printers requests on"
  echo "  one connection, asking only for printer-name and printer-type, as the user:"
  echo "  the least a listing in two widths, each with a size call and a fill call, must"
  echo "  ask of the scheduler."
  echo
  echo "With no queues the probe's size call already succeeds and it stops after one"
  echo "request, so at 0 it does a quarter of the bare requests' work, and its time is"
  echo "mostly its start-up: loading libcups, libcurl and the TLS stack they share."
  if [ -n "$before_probe" ]; then
    echo "The row *printer-probe, the earlier build* is \`${BENCH_BEFORE}\`"
    echo "($(git -C "$(dirname "$before_probe")" log -1 --format='%h, %s' 2>/dev/null | cut -c1-60 || echo 'an earlier build')),"
    echo "timed in the same rounds, to show what the start-up cost before."
  fi
  echo
  table '^[0-9]+$' Queues
  echo
  echo "Scheduler CPU is cupsd's user and system time (/proc/PID/stat) from before the"
  echo "first run of a command to before the first run of the next, in every round, over"
  echo "all its runs, warm-ups included; it moves in steps of $((1000 / hz)) ms, so small figures"
  echo "are coarse."
  echo "Peak RSS is the largest of three runs under \`/usr/bin/time -v\`."
  echo
  echo "![time against queues](benchmarks.png)"
  echo
  echo "## Across a network"
  echo
  echo "The same scheduler with 100 queues, reached as a print server on another machine"
  echo "would be: over TCP on loopback with TLS required (\`CUPS_ENCRYPTION=Required\`, the"
  echo "scheduler's own certificate), and over plain TCP through \`bench/delay-proxy\`,"
  echo "which delivers every chunk 10 ms after it came, in either direction, however many"
  echo "others are on their way, and carries nothing on a new connection until a round"
  echo "trip after it was made, as a TCP handshake across that distance takes; each timed"
  echo "over at least $network_runs runs in $rounds rounds. Every run is a new process, so it"
  echo "connects anew: the probe and the bare requests once for all four requests, which"
  echo "share one connection. Over that distance the four requests cannot"
  echo "take less than the row *least possible*: one connection and four requests, five"
  echo "round trips of 20 ms. (\`lpstat -e\` asks for less, in fewer requests.)"
  echo "(An earlier proxy held each chunk 10 ms only after the one before it had gone, so"
  echo "a message written in two pieces took 20 ms; the bare requests, which wrote each"
  echo "request in two, measured slower than the probe, 0.87 of it.)"
  echo
  table '^[a-z]+$' Case
  echo
  echo "![time across a network](benchmarks-network.png)"
  echo
  echo "## Targets"
  echo
  echo "| Target | Limit | Measured | Held |"
  echo "|---|---:|---:|---|"
  targets "$out/results.txt" | awk '
    { name["probe/lpstat@1000"] = "printer-probe / lpstat -e, at 1,000 queues"
      name["probe/bare@1000"] = "printer-probe / 4 bare requests, at 1,000 queues"
      name["probe@5000/probe@1000"] = "printer-probe at 5,000 / at 1,000 queues (two runs)"
      name["probe/bare@tls"] = "printer-probe / 4 bare requests, TLS required"
      name["probe/lpstat@tls"] = "printer-probe / lpstat -e, TLS required"
      name["probe/bare@distance"] = "printer-probe / 4 bare requests, 10 ms each way"
      name["probe/least@distance"] = "printer-probe / least possible, 10 ms each way"
      printf "| %s | ≤ %s | %s | %s |\n", name[$1], $2, $3, $4 }'
  echo
  echo "## How the queues were made"
  echo
  echo "Through lpadmin (\`-v file:///dev/null -E\`, no model), $((2 * $(nproc))) at a time, so the"
  echo "scheduler creates and stores them the way it does any queue. This run:"
  echo
  awk '{ printf "- %d queues added in %.1f s (%.1f ms each)\n", $1, $2, $2 * 1000 / $1 }' "$out/setup.txt"
  echo
  echo "When this way was chosen, on two cores, one lpadmin at a time took about 10 ms"
  echo "a queue (50 s for 5,000) and several at once about 4.5 ms. Writing printers.conf"
  echo "before starting the scheduler would be quicker still, but would skip the"
  echo "scheduler's own way of adding queues."
  echo "Before each measurement the bench waits for the scheduler's deferred write of"
  echo "printers.conf, so that write does not land inside a timed run."
  echo
  echo "## Machine"
  echo
  echo "- CPU: $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), $(nproc) cores available"
  echo "- Memory: $(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "- Load average (1 min) when the run began: $load_at_start"
  echo "- Kernel: $(uname -sr); CUPS $(dpkg-query -W -f '${Version}' cups-daemon 2>/dev/null || echo '?'); $(hyperfine --version)"
} > docs/benchmarks.md

echo "wrote docs/benchmarks.md, docs/benchmarks.png and docs/benchmarks-network.png"
targets "$out/results.txt"
