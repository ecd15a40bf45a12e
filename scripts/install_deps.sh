#!/usr/bin/env bash
# Installs what quillet needs on Debian 12, as root. Groups:
#   build    compiler, CMake, Ninja, GoogleTest, Google Benchmark, nlohmann-json,
#            OpenSSL
#   runtime  tcpdump and dnstop, which every collection run calls
#   test     tools of the test suites (dig, zabbix_sender, clang for fuzzing,
#            lintian for the package, openssl for test certificates, ...)
#   zabbix   a local Zabbix 6.0 server with PostgreSQL and the frontend's API
#   bench    what bench/compare.sh compares with and measures by, and profilers
# Packages already installed are not fetched again; apt-get update runs only when
# something is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

declare -A group
group[build]="g++ cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libssl-dev dpkg-dev"
group[runtime]="tcpdump dnstop"
group[test]="iproute2 util-linux dnsutils zabbix-agent clang libclang-rt-14-dev python3 procps man-db groff-base lintian openssl"
group[zabbix]=""
group[bench]="hyperfine time mawk zabbix-agent python3 iproute2 util-linux procps linux-perf valgrind openssl"
if [ -f "$here/tests/zabbix/packages.txt" ]; then
  group[zabbix]=$(grep -v '^#' "$here/tests/zabbix/packages.txt" | tr '\n' ' ')
fi

wanted=()
for g in "${@:-build runtime}"; do
  for name in $g; do
    [ -n "${group[$name]+x}" ] || { echo "install_deps: unknown group '$name'" >&2; exit 2; }
    # shellcheck disable=SC2206
    wanted+=(${group[$name]})
  done
done

missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install_deps: everything is installed"
  exit 0
fi
echo "install_deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install_deps: done"
