#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz) with clang and runs each for a while.
#   scripts/fuzz.sh [seconds-per-target]      default 30
# The corpus grows in build/fuzz/corpus/<target> from run to run; a crashing input is written to
# build/fuzz/artifacts/ and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
build=build/fuzz

# clang and its fuzzer runtime are among the project's packages.
scripts/setup-debian.sh fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DQUORVEL_BUILD_FUZZ=ON -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_BUILD_BENCH=OFF -DQUORVEL_BUILD_GUI=OFF \
  -DQUORVEL_BUILD_TOOLS=OFF -DQUORVEL_BUILD_EXAMPLES=OFF
cmake --build "$build" --target fuzz_targets

mkdir -p "$build/artifacts"
status=0
for target in "$build"/tests/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  echo "== $name for ${seconds} s"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$name-" "$corpus" 2>"$build/$name.log"; then
    status=1
    echo "$name FAILED; its output:"
    cat "$build/$name.log"
    continue
  fi
  # The totals libFuzzer prints at the end: runs, speed, coverage, corpus size.
  grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$build/$name.log" || true
  grep -E '^#[0-9]+.*DONE' "$build/$name.log" | tail -1 || true
done
exit "$status"
