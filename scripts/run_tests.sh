#!/usr/bin/env bash
# Sets up and runs the whole test suite on a Debian 12 or 13 machine, as root:
# installs what is missing, builds, and runs every suite through CTest.
#
#   scripts/run_tests.sh [STEP...]    every step by default, in this order:
#     format    the tracked C++ sources against the committed .clang-format
#     release   the Release build and every CTest suite (unit, end-to-end, the
#               real Zabbix server)
#     bench     every benchmark once, briefly
#     package   the Debian package: built, installed, run, purged, lintian
#     sanitize  unit and end-to-end suites under ASan and UBSan
#     clang     a clang++ Debug build of everything, and the unit tests
#     fuzz      each fuzz target for a bounded time (FUZZ_SECONDS, 60 by default)
set -euo pipefail
cd "$(dirname "$0")/.."

steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(format release bench package sanitize clang fuzz)
for step in "${steps[@]}"; do
  case $step in
  format | release | bench | package | sanitize | clang | fuzz) ;;
  *)
    echo "run_tests: unknown step '$step' (format release bench package sanitize clang fuzz)" >&2
    exit 2
    ;;
  esac
done

scripts/install_deps.sh build runtime test zabbix

# Every build here treats warnings as errors. The main one is a Release build,
# as the package is made from one.
release_build() {
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_WERROR=ON -DQUILLET_BENCH=ON
  ninja -C build
}

for step in "${steps[@]}"; do
  echo "== run_tests: $step"
  started=$SECONDS
  case $step in
  format)
    # The style was written with clang-format 14 (Debian 12). Version 19
    # (Debian 13) lays out a few constructs otherwise (`struct stat st {}`,
    # a lambda as an argument), so only 14 judges.
    cf_version=$(clang-format --version | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
    if [ "$cf_version" = 14 ]; then
      git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
      echo "run_tests: $(git ls-files '*.cpp' '*.h' | wc -l) C++ files formatted as .clang-format says"
    else
      echo "run_tests: format check left out: clang-format $cf_version, not 14, the version of the style"
    fi
    ;;
  release)
    release_build
    ctest --test-dir build --output-on-failure -j2
    # Which Zabbix the real-Zabbix test met, and its verdict: CTest shows a
    # passing test's output nowhere else.
    awk '/ Testing: zabbix\.real$/ { on = 1 }
         on && /^(Zabbix .* started|[0-9]+ checks, [0-9]+ failed|SKIPPED: .*)$/ { print "zabbix.real: " $0 }
         /^Test [A-Z]/ { on = 0 }' build/Testing/Temporary/LastTest.log
    ;;
  bench)
    # Every benchmark once, briefly, so that none of them rots.
    release_build >/dev/null
    bench/smoke.sh build
    ;;
  package)
    # The Debian package as an admin installs it: build, install, run, purge.
    release_build >/dev/null
    tests/package/package_test.sh build
    ;;
  sanitize)
    # The same unit and end-to-end suites with every binary under
    # AddressSanitizer and UndefinedBehaviorSanitizer, in a build of its own.
    cmake -S . -B build-sanitize -G Ninja -DQUILLET_SANITIZE=ON -DQUILLET_BENCH=OFF -DQUILLET_WERROR=ON
    ninja -C build-sanitize
    ctest --test-dir build-sanitize --output-on-failure -j2 -L 'unit|e2e'
    ;;
  clang)
    # Everything, tests and benchmarks too, with clang++ in a Debug build: the
    # other corner from the g++ Release build, for clang's warnings and the
    # unit tests unoptimised. About a minute.
    cmake -S . -B build-clang -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug -DQUILLET_WERROR=ON -DQUILLET_BENCH=ON
    ninja -C build-clang
    ctest --test-dir build-clang --output-on-failure -j2 -L unit
    ;;
  fuzz)
    fuzz/run.sh build-fuzz
    ;;
  esac
  echo "== run_tests: $step done in $((SECONDS - started)) s"
done
