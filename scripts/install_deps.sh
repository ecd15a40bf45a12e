#!/usr/bin/env bash
# Installs what quillet needs on Debian 12 or 13, as root. Groups:
#   build    compiler, CMake, Ninja, GoogleTest, Google Benchmark, nlohmann-json,
#            OpenSSL, libseccomp, libpcap
#   runtime  tcpdump and dnstop, which every collection run calls, and the
#            user _quillet that dnstop runs as (systemd-sysusers, with the
#            package's own cmake/debian/sysusers.conf)
#   test     tools of the test suites (zabbix_sender, clang for fuzzing, clang-format,
#            lintian for the package, openssl for test certificates, GNU time,
#            systemd-nspawn and debootstrap for the package's service under a
#            real systemd, unbound and nsd for the suite on a real resolver,
#            dig, keyctl for the box's keyring test, ...)
#   zabbix   a local Zabbix server (6.0 on Debian 12, 7.0 on 13) with
#            PostgreSQL and the frontend's API, and on 13 a Zabbix proxy
#            unpacked beside it
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
group[build]="g++ cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libssl-dev libseccomp-dev libpcap-dev dpkg-dev"
group[runtime]="tcpdump dnstop systemd"
group[test]="iproute2 util-linux $sender clang clang-format libclang-rt-dev python3 procps man-db groff-base lintian openssl time systemd-container debootstrap unbound nsd bind9-dnsutils keyutils"
group[zabbix]=""
group[bench]="hyperfine time mawk $sender python3 iproute2 util-linux procps linux-perf valgrind openssl"
# tests/zabbix/packages.txt: one package a line, for every release or only for
# the releases named after it; "unpack" after the name: not installed, only
# unpacked into $UNPACK_ROOT/NAME (a package that conflicts with another one
# the group installs).
UNPACK_ROOT=/opt/quillet-tests
unpack=()
if [ -f "$here/tests/zabbix/packages.txt" ]; then
  zabbix_lines=$(awk -v r="$release" '!/^#/ && NF { n = 0; mode = "install"
      for (i = 2; i <= NF; i++) if ($i == "unpack") mode = "unpack"; else { n++; if ($i == r) ok = 1 }
      if (n == 0 || ok) print mode, $1; ok = 0 }' "$here/tests/zabbix/packages.txt")
  group[zabbix]=$(awk '$1 == "install" { print $2 }' <<<"$zabbix_lines" | tr '\n' ' ')
  mapfile -t zabbix_unpack < <(awk '$1 == "unpack" { print $2 }' <<<"$zabbix_lines")
fi

wanted=()
user=0
for g in "${@:-build runtime}"; do
  for name in $g; do
    [ -n "${group[$name]+x}" ] || { echo "install_deps: unknown group '$name'" >&2; exit 2; }
    [ "$name" != runtime ] || user=1
    # shellcheck disable=SC2206
    wanted+=(${group[$name]})
    [ "$name" != zabbix ] || unpack+=("${zabbix_unpack[@]}")
  done
done

# candidate PKG: the version apt would install.
candidate() { apt-cache policy "$1" 2>/dev/null | awk '$1 == "Candidate:" { print $2 }'; }
# An unpacked package is there when its folder names the candidate version.
unpacked() { [ "$(cat "$UNPACK_ROOT/$1/.version" 2>/dev/null)" = "$(candidate "$1")" ]; }

missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
missing_unpack=()
for pkg in "${unpack[@]}"; do
  unpacked "$pkg" || missing_unpack+=("$pkg")
done
# The user dnstop runs as, made as the package's users are made at boot.
make_user() {
  [ "$user" = 1 ] && [ ${#apt_mode[@]} -eq 0 ] || return 0
  getent passwd _quillet >/dev/null || systemd-sysusers "$here/cmake/debian/sysusers.conf"
}
if [ ${#missing[@]} -eq 0 ] && [ ${#missing_unpack[@]} -eq 0 ]; then
  make_user
  echo "install_deps: everything is installed"
  exit 0
fi
note=()
[ ${#missing_unpack[@]} -eq 0 ] || note=("(unpacked: ${missing_unpack[*]})")
echo "install_deps: installing" "${missing[@]}" "${note[@]}"
export DEBIAN_FRONTEND=noninteractive
# Daemons (unbound, nsd, ...) are started by the tests that need them, in
# namespaces of their own, never by their packages: without a policy-rc.d,
# one that refuses is in place for the install only.
if [ ! -e /usr/sbin/policy-rc.d ] && [ ${#apt_mode[@]} -eq 0 ]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
  chmod 755 /usr/sbin/policy-rc.d
  trap 'rm -f /usr/sbin/policy-rc.d' EXIT
fi
# Another apt or dpkg run on the machine holds the lock for a while: wait for it.
apt-get -o DPkg::Lock::Timeout=600 update -qq
if [ ${#missing[@]} -gt 0 ]; then
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${apt_mode[@]}" "${missing[@]}" >/dev/null
fi
# Packages to unpack are fetched into apt's cache like the others.
archives=/var/cache/apt/archives
for pkg in "${missing_unpack[@]}"; do
  unpacked "$pkg" && continue
  version=$(candidate "$pkg")
  deb=$archives/${pkg}_${version//:/%3a}_$(dpkg --print-architecture).deb
  if [ ! -s "$deb" ]; then
    (cd "$archives" && apt-get download -qq "$pkg" 2>/dev/null)
    [ -s "$deb" ] || { echo "install_deps: apt-get download $pkg gave no $deb" >&2; exit 1; }
  fi
  [ ${#apt_mode[@]} -eq 0 ] || continue
  rm -rf "${UNPACK_ROOT:?}/$pkg"
  mkdir -p "$UNPACK_ROOT/$pkg"
  dpkg-deb -x "$deb" "$UNPACK_ROOT/$pkg"
  echo "$version" >"$UNPACK_ROOT/$pkg/.version"
done
make_user
echo "install_deps: done${apt_mode:+ (downloaded only)}"
