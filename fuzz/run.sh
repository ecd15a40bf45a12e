#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ in a build directory of their own
# and runs each one, for a bounded time, on its seed corpus plus whatever
# earlier runs in that directory found.
#
#   fuzz/run.sh [BUILD_DIR]          BUILD_DIR defaults to build-fuzz
#
# Environment: FUZZ_SECONDS  time per target (default 60)
#              FUZZ_RUNS     executions per target instead of a time
#              FUZZ_TARGETS  which targets (default "report reply discovery tcp message")
#              FUZZ_CXX      the compiler (default clang++)
#              FUZZ_ASAN     0: UBSan only, for long runs (default 1: ASan too)
# A target that finds a failure stops the script with status 1; the input that
# did it is kept as BUILD_DIR/fuzz/<target>-crash-* (or -oom-, -timeout-).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
targets=${FUZZ_TARGETS:-report reply discovery tcp message}

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++}" \
  -DQUILLET_FUZZ=ON -DQUILLET_FUZZ_ASAN="$([ "${FUZZ_ASAN:-1}" = 0 ] && echo OFF || echo ON)" -DBUILD_TESTING=OFF -DQUILLET_BENCH=OFF \
  -DQUILLET_WERROR=ON >/dev/null
# shellcheck disable=SC2046,SC2086
ninja -C "$build" $(printf '%s_fuzz ' $targets) >/dev/null

for name in $targets; do
  work=$build/fuzz/corpus/$name
  mkdir -p "$work"
  cp -n fuzz/corpus/"$name"/* "$work"/
  if [ -n "${FUZZ_RUNS:-}" ]; then limit=-runs=$FUZZ_RUNS; else limit=-max_total_time=${FUZZ_SECONDS:-60}; fi
  log=$build/fuzz/$name.log
  if ! "$build/fuzz/${name}_fuzz" "$limit" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/fuzz/$name-" "$work" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz: $name FAILED; input kept as $build/fuzz/$name-*"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  echo "fuzz: $name ok, $runs executions: $last"
done
