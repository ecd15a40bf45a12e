#!/usr/bin/env bash
# Sets up and runs the whole test suite on a Debian 12 machine, as root:
# installs what is missing, builds, and runs every suite through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install_deps.sh build runtime test zabbix

# Every build here treats warnings as errors. The main one is a Release build,
# as the package is made from one.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_WERROR=ON -DQUILLET_BENCH=ON
ninja -C build
ctest --test-dir build --output-on-failure -j2

# Every benchmark once, briefly, so that none of them rots.
bench/smoke.sh build

# The Debian package as an admin installs it: build, install, run, purge.
tests/package/package_test.sh build

# The same unit and end-to-end suites with every binary under AddressSanitizer
# and UndefinedBehaviorSanitizer, in a build of its own.
cmake -S . -B build-sanitize -G Ninja -DQUILLET_SANITIZE=ON -DQUILLET_BENCH=OFF -DQUILLET_WERROR=ON
ninja -C build-sanitize
ctest --test-dir build-sanitize --output-on-failure -j2 -L 'unit|e2e'

# Everything, tests and benchmarks too, with clang++ in a Debug build: the
# other corner from the g++ Release build, for clang's warnings and the unit
# tests unoptimised. About a minute.
cmake -S . -B build-clang -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Debug -DQUILLET_WERROR=ON
ninja -C build-clang
ctest --test-dir build-clang --output-on-failure -j2 -L unit

# Each fuzz target for a bounded time (FUZZ_SECONDS, 60 by default).
fuzz/run.sh build-fuzz
