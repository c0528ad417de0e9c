#!/usr/bin/env bash
# Builds the libFuzzer targets and runs them side by side, one a core, for a
# bounded time, each on a scratch copy of its seed corpus, so a run never
# grows the corpora kept in the repo: the packing of printer records
# (printer-pack) and the reading of the scheduler's answer set beside
# libcups's (printer-answer). Exits non-zero on any finding, leaving the
# input that triggered it in build/fuzz/findings/.
#
#   fuzz.sh [SECONDS [TARGET...]]   run for SECONDS (default 60), both targets unless named
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-60}
case $seconds in
  '' | *[!0-9]* | 0) echo "usage: fuzz.sh [SECONDS [TARGET...]]   (SECONDS a whole number above 0)" >&2; exit 2 ;;
esac
shift $(($# > 0 ? 1 : 0))
targets=${*:-printer-pack printer-answer}

scripts/install-packages.sh build
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# libFuzzer is not part of the build packages; say which ones bring it
# rather than fail at link time with a missing libclang_rt.fuzzer.
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
  >"$scratch/probe.cc"
if ! clang++ -fsanitize=fuzzer "$scratch/probe.cc" -o "$scratch/probe" 2>/dev/null; then
  echo "fuzz.sh: clang++ with libFuzzer is needed: apt-get install clang libclang-rt-14-dev" >&2
  exit 1
fi

cmake --preset fuzz >/dev/null
for target in $targets; do
  cmake --build build/fuzz --target "${target}_fuzz" >/dev/null
done

# 65536 bytes hold thousands of names, past the 4000 the packing target
# counts, and the answer target reads no more, so that libcups's cost for
# many attributes stays small. An input takes well under a second, even
# beside the sanitized suites on a busy machine: one that takes 30 s hangs.
findings=build/fuzz/findings
mkdir -p "$findings"
for target in $targets; do
  mkdir -p "$scratch/$target"
  cp tests/fuzz-corpus/"$target"/* "$scratch/$target/"
  (status=0
   build/fuzz/"${target}_fuzz" -max_total_time="$seconds" -max_len=65536 -timeout=30 -print_final_stats=1 \
     -artifact_prefix="$findings/$target-" "$scratch/$target" >"$scratch/$target.log" 2>&1 || status=$?
   echo "$status" >"$scratch/$target.status") &
done
wait

failed=0
for target in $targets; do
  log=$scratch/$target.log
  status=$(cat "$scratch/$target.status")
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz: $target FAILED (exit $status); inputs kept in $findings/" >&2
    failed=1
    continue
  fi
  final_stat() { sed -n "s/^stat::$1: *//p" "$log"; }
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  echo "fuzz: $target clean: $(final_stat number_of_executed_units) runs in ${seconds} s" \
       "($(final_stat average_exec_per_sec)/s), coverage $cov edges, $ft features," \
       "corpus $(ls "$scratch/$target" | wc -l) inputs"
done
exit "$failed"
