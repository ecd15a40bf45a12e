#!/usr/bin/env bash
# Installs what quillet needs on Debian 12 or 13, as root. Groups:
#   build    compiler, CMake, Ninja, GoogleTest, Google Benchmark, nlohmann-json,
#            OpenSSL
#   runtime  tcpdump and dnstop, which every collection run calls
#   test     tools of the test suites (zabbix_sender, clang for fuzzing, clang-format,
#            lintian for the package, openssl for test certificates, GNU time,
#            ...)
#   zabbix   a local Zabbix server (6.0 on Debian 12, 7.0 on 13) with
#            PostgreSQL and the frontend's API
#   bench    what bench/compare.sh compares with and measures by, and profilers
# Packages already installed are not fetched again; apt-get update runs only when
# something is missing. With --download-only first, what is missing is only
# fetched into apt's cache (CI fetches while other work runs, installs later).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
apt_mode=()
if [ "${1:-}" = --download-only ]; then
  apt_mode=(--download-only)
  shift
fi

# A few names differ between the releases: the release picks them.
# shellcheck source=/dev/null
read -r os_id os_version os_name < <(. /etc/os-release 2>/dev/null
  echo "${ID:-?} ${VERSION_ID:-?} ${PRETTY_NAME:-an unknown system}")
case "$os_id $os_version" in
"debian 12") release=12 sender=zabbix-agent ;;
"debian 13") release=13 sender=zabbix-sender ;; # zabbix_sender has a package of its own from 7.0 on
*)
  echo "install_deps: this is $os_name; quillet supports Debian 12 (bookworm) and Debian 13 (trixie)" >&2
  exit 2
  ;;
esac

declare -A group
group[build]="g++ cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libssl-dev dpkg-dev"
group[runtime]="tcpdump dnstop"
group[test]="iproute2 util-linux $sender clang clang-format libclang-rt-dev python3 procps man-db groff-base lintian openssl time"
group[zabbix]=""
group[bench]="hyperfine time mawk $sender python3 iproute2 util-linux procps linux-perf valgrind openssl"
# tests/zabbix/packages.txt: one package a line, for every release or only for
# the releases named after it.
if [ -f "$here/tests/zabbix/packages.txt" ]; then
  group[zabbix]=$(awk -v r="$release" '!/^#/ && NF { for (i = 2; i <= NF; i++) if ($i == r) break
                                                    if (NF == 1 || i <= NF) print $1 }' \
    "$here/tests/zabbix/packages.txt" | tr '\n' ' ')
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
# Another apt or dpkg run on the machine holds the lock for a while: wait for it.
apt-get -o DPkg::Lock::Timeout=600 update -qq
apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${apt_mode[@]}" "${missing[@]}" >/dev/null
echo "install_deps: done${apt_mode:+ (downloaded only)}"
