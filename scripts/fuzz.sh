#!/usr/bin/env bash
# Builds the libFuzzer target for the packing of printer records and runs it
# for a bounded time on a scratch copy of the seed corpus, so a run never
# grows the corpus kept in the repo. Exits non-zero on any finding, leaving
# the input that triggered it in build/fuzz/findings/.
#
#   fuzz.sh [SECONDS]     run for SECONDS (default 60)
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-60}
case $seconds in
  '' | *[!0-9]* | 0) echo "usage: fuzz.sh [SECONDS]   (a whole number above 0)" >&2; exit 2 ;;
esac

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
cmake --build build/fuzz --target printer-pack_fuzz >/dev/null

findings=build/fuzz/findings
mkdir -p "$scratch/corpus" "$findings"
cp tests/fuzz-corpus/printer-pack/* "$scratch/corpus/"

# 65536 bytes hold thousands of names; the target stops counting at 4000.
status=0
build/fuzz/printer-pack_fuzz -max_total_time="$seconds" -max_len=65536 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$findings/" "$scratch/corpus" \
  >"$scratch/log" 2>&1 || status=$?

if [ "$status" -ne 0 ]; then
  tail -n 60 "$scratch/log" >&2
  echo "fuzz: printer-pack FAILED (exit $status); inputs kept in $findings/" >&2
  exit 1
fi

final_stat() { sed -n "s/^stat::$1: *//p" "$scratch/log"; }
cov=$(grep -o 'cov: [0-9]*' "$scratch/log" | tail -n 1 | cut -d' ' -f2)
ft=$(grep -o 'ft: [0-9]*' "$scratch/log" | tail -n 1 | cut -d' ' -f2)
echo "fuzz: printer-pack clean: $(final_stat number_of_executed_units) runs in ${seconds} s" \
     "($(final_stat average_exec_per_sec)/s), coverage $cov edges, $ft features," \
     "corpus $(ls "$scratch/corpus" | wc -l) inputs"
