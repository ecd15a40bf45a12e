#!/usr/bin/env bash
# smoke.sh BUILD_DIR
#
# Runs every benchmark once, briefly, so that none of them rots: fails when one
# cannot run or reports an error (a parse that lost records, a delivery given
# up, a debug run that ended badly). The whole-process benchmarks run in the
# sandbox of tests/support/sandbox.sh and are skipped where that cannot be had. Figures from
# here mean nothing; compare.sh, flood_captures.sh and flood_live.sh make the real ones.
set -euo pipefail
bench_dir=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: smoke.sh BUILD_DIR}
out=$(mktemp)
trap 'rm -f "$out"' EXIT

# run NAME COMMAND...: the benchmark's output must show no error.
run() {
  local name=$1
  shift
  local status=0
  "$@" --benchmark_min_time=0.01 >"$out" 2>&1 || status=$?
  if [ "$status" = 77 ]; then
    echo "bench smoke: $name skipped ($(tail -1 "$out"))"
  elif [ "$status" != 0 ] || grep -q "ERROR OCCURRED" "$out"; then
    echo "bench smoke: $name failed (status $status):"
    grep -E "ERROR OCCURRED|rror" "$out" || tail -20 "$out"
    return 1
  else
    echo "bench smoke: $name ran $(grep -c '^BM_' "$out") benchmarks"
  fi
}

run quillet_bench "$build/bench/quillet_bench"
# An hour of buffered values only: a day's drain takes seconds.
run quillet_buffer_bench "$build/bench/quillet_buffer_bench" --benchmark_filter='/2400$'
run quillet_run_bench bash "$bench_dir/../tests/support/sandbox.sh" "$build/bench/quillet_run_bench"

# script NAME COMMAND...: a benchmark script, which checks its own results.
script() {
  local name=$1
  shift
  local status=0
  "$@" >"$out" 2>&1 || status=$?
  if [ "$status" = 77 ]; then
    echo "bench smoke: $name skipped ($(grep SKIPPED "$out" | tail -1))"
  elif [ "$status" != 0 ]; then
    echo "bench smoke: $name failed (status $status):"
    tail -30 "$out"
    return 1
  else
    echo "bench smoke: $name ran"
  fi
}

# Floods a thousandth of their size; every TCP segment within the 512 bytes
# that a capture of "port 53" keeps.
script flood_captures bash "$bench_dir/flood_captures.sh" --scale 0.001 --check "$build"
script flood_live bash "$bench_dir/flood_live.sh" --rates 50000 --reps 1 --seconds 1 --no-tcpdump \
  --check "$build"
