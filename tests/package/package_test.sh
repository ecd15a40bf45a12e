#!/usr/bin/env bash
# The Debian package as an admin meets it: builds it with CPack from a
# configured Release build directory, checks its control data and contents,
# has lintian check it, installs it with apt-get, runs the installed program
# (without arguments, and debug collections inside a sandbox, one with a
# faked capture and three on real traffic: on ens18, on another interface and
# on "any"), renders the man page, checks the scheduler examples against the
# installed files, purges the package and checks that nothing of it is left.
#
# Usage, as root on Debian: tests/package/package_test.sh <build-dir>
# It installs and removes the system package "quillet"; one already installed
# is purged first.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

# --- inside the sandbox --------------------------------------------------------
# Called again through tests/support/sandbox.sh (own network and mount
# namespaces, tmpfs /home with /home/quillet, a veth pair whose one end is
# ens18): runs the installed quillet of the package's VERSION and writes its
# verdicts to the result file.
if [ "${1:-}" = --sandbox ]; then
  results=$2 version=$3
  fail() { echo "FAIL: $*" | tee -a "$results"; }
  pass() { echo "ok" >>"$results"; }

  mkdir -m 755 /home/scratch
  umask 022
  scratch=/home/scratch

  # The head of a listing: tests/e2e/collection.sh checks it byte for byte;
  # here, that it is one and says the package's version.
  listing_head_ok() {
    [ "$(sed -n 2p "$scratch/out")" = "Modo DEBUG ativado:" ] &&
      [ "$(sed -n 4p "$scratch/out")" = $'Versão do script: '"$version"$'\e[0;0m' ]
  }

  # A faked capture, first on PATH.
  cat >"$scratch/report" <<'EOF'
Sources          Count      %   cum%
------------ --------- ------ ------
192.0.2.10           2   25.0   25.0
2001:db8::10         5   62.5   87.5
192.0.2.11           1   12.5  100.0

Destinations     Count      %   cum%
------------ --------- ------ ------
192.0.2.53           8  100.0  100.0
EOF
  bash "$here/../support/fake_capture.sh" "$scratch/bin" "$scratch/report"

  if [ "$(PATH="$scratch/bin:$PATH" command -v quillet)" = /usr/bin/quillet ]; then pass; else
    fail "sandbox: quillet on PATH is not /usr/bin/quillet"
  fi
  set +e
  PATH="$scratch/bin:$PATH" quillet coletarDns x 127.0.0.1 debug >"$scratch/out" 2>"$scratch/err"
  status=$?
  set -e
  expected="{'{#SOURCE}': '2001:db8::10', '{#CONTAGEM}': 5, '{#PERCENTUAL}': 62.5}
{'{#SOURCE}': '192.0.2.10', '{#CONTAGEM}': 2, '{#PERCENTUAL}': 25.0}
{'{#SOURCE}': '192.0.2.11', '{#CONTAGEM}': 1, '{#PERCENTUAL}': 12.5}"
  diff <(printf '%s\n' "$expected") <(tail -n +5 "$scratch/out" | sed '/^$/,$d') >"$scratch/diff" || true
  if [ "$status" = 0 ] && [ ! -s "$scratch/err" ] && listing_head_ok && [ ! -s "$scratch/diff" ]; then
    pass
  else
    fail "faked capture: 'quillet coletarDns x 127.0.0.1 debug' ended with status $status"
    sed 's/^/  diff: /' "$scratch/diff"
    sed 's/^/  stderr: /' "$scratch/err"
  fi

  # debug_run SENDER WHAT: a debug collection while the frame sender SENDER
  # runs; sets status and listing (the records after the version line).
  debug_run() {
    set +e
    quillet coletarDns x 127.0.0.1 debug >"$scratch/out" 2>"$scratch/err"
    status=$?
    set -e
    wait "$1" || fail "$2: the frame sender failed"
    listing=$(tail -n +5 "$scratch/out" | sed '/^$/,$d')
  }
  # fail_run WHAT: a failed verdict with the run's status and output.
  fail_run() {
    fail "$1: status $status, listing:"
    sed 's/^/  stdout: /' "$scratch/out"
    sed 's/^/  stderr: /' "$scratch/err"
  }

  # same_report WHAT: the report of the contained dnstop is, byte for byte,
  # the one dnstop run directly as root writes of the same capture.
  same_report() {
    dnstop -l 2 -X -B 1048573 /home/quillet/dump.pcap >"$scratch/direct" 2>"$scratch/direct.err" || true
    if [ -s "$scratch/direct" ] && cmp -s "$scratch/direct" /home/quillet/dnstop_output.txt; then pass; else
      fail "$1: the contained dnstop's report differs from the direct one's:"
      diff "$scratch/direct" /home/quillet/dnstop_output.txt | head -n 20 | sed 's/^/  /'
      sed 's/^/  direct stderr: /' "$scratch/direct.err"
    fi
  }
  # real_traffic WHAT PEER: a debug collection of real traffic, DNS queries
  # sent as raw frames into PEER, the far end of the capture's veth pair,
  # captured by the real tcpdump and summarised by the real dnstop. 192.0.2.10
  # sends three queries for every one of 192.0.2.20. The frames never leave
  # the sandbox.
  real_traffic() {
    python3 "$here/dns_frames.py" "$2" 7 &
    local sender=$! first second
    sleep 0.5
    debug_run "$sender" "$1"
    echo "$1: $(sed -n "s/^{'{#SOURCE}': '\([0-9.]*\)', '{#CONTAGEM}': \([0-9]*\), .*/\1 \2/p" <<<"$listing" | paste -sd,)"
    first=$(sed -n "1s/^{'{#SOURCE}': '\([0-9.]*\)', '{#CONTAGEM}': \([0-9]*\), .*/\1 \2/p" <<<"$listing")
    second=$(sed -n "2s/^{'{#SOURCE}': '\([0-9.]*\)', '{#CONTAGEM}': \([0-9]*\), .*/\1 \2/p" <<<"$listing")
    if [ "$status" = 0 ] && listing_head_ok &&
      [ "$(wc -l <<<"$listing")" = 2 ] && [ "${first% *}" = 192.0.2.10 ] &&
      [ "${second% *}" = 192.0.2.20 ] && [ "${second#* }" -gt 0 ] &&
      [ "${first#* }" -gt "${second#* }" ]; then
      pass
    else
      fail_run "$1"
    fi
  }
  # interface_line NAME: the debug line of a capture on NAME is the listing's
  # first.
  interface_line() {
    local want="-i $1 -w"
    [ "$1" != any ] || want="-i any -y LINUX_SLL -w"
    if grep -qF -- "tcpdump --immediate-mode -B 65536 -s 512 $want /home/quillet/dump.pcap udp port 53" \
      <(head -n 1 "$scratch/out"); then pass; else
      fail "Interface=$1: the capture line is '$(head -n 1 "$scratch/out")'"
    fi
  }

  # An interface named otherwise, and every interface at once (dnstop reads
  # the cooked frames of "any" only as LINUX_SLL; there each frame is seen on
  # both ends of the pair).
  ip link add enp3s0 type veth peer name enp3s0p
  ip link set enp3s0 up
  ip link set enp3s0p up
  mkdir -p /etc/quillet
  for interface in enp3s0 any; do
    echo "Interface=$interface" >/etc/quillet/quillet.conf
    real_traffic "Interface=$interface" enp3s0p
    interface_line "$interface"
    same_report "Interface=$interface"
  done
  rm /etc/quillet/quillet.conf

  # tcpdump's own drop: once the device is open, the capture runs as the user
  # tcpdump, without capabilities (read while it captures).
  python3 "$here/proc_watch.py" $$ 30 tcpdump >"$scratch/creds" &
  watcher=$!
  real_traffic "real traffic" ens18p
  wait "$watcher" || true
  same_report "real traffic"
  creds=$(sed -n 's/^tcpdump //p' "$scratch/creds")
  echo "tcpdump while it captured: $creds"
  uid=$(id -u tcpdump) gid=$(id -g tcpdump) after=${creds##* ms=}
  if [ "$uid" != 0 ] && [[ $creds == "Uid=$uid,$uid,$uid,$uid Gid=$gid,$gid,$gid,$gid "* ]] &&
    [[ $creds == *" CapPrm=0000000000000000 CapEff=0000000000000000 "* ]] && [ "${after%% *}" -ge 1000 ]; then
    pass
  else
    fail "real traffic: tcpdump did not run as the user tcpdump ($uid:$gid) without capabilities: '$creds'"
  fi
  if [ -s /home/quillet/dump.pcap ] && [ -s /home/quillet/dnstop_output.txt ]; then pass; else
    fail "real traffic: the working files are not left in /home/quillet"
  fi
  # Both hold every client's address and queries: readable by their owner only,
  # though the run was started with umask 022.
  modes=$(stat -c '%a' /home/quillet/dump.pcap /home/quillet/dnstop_output.txt | tr '\n' ' ')
  if [ "$modes" = "600 600 " ]; then pass; else
    fail "real traffic: working file modes are '$modes', not '600 600 '"
  fi

  # Queries of the window's last second are counted too, and a burst does not
  # overrun the capture: 1500 queries at once, a third of them over IPv6, 4.1 s
  # after tcpdump has opened its file.
  rm -f /home/quillet/dump.pcap
  python3 "$here/dns_frames.py" ens18p --late /home/quillet/dump.pcap 4.1 1000 500 &
  debug_run $! "late traffic"
  if [ "$status" = 0 ] && [ "$listing" = "{'{#SOURCE}': '192.0.2.30', '{#CONTAGEM}': 1000, '{#PERCENTUAL}': 66.7}
{'{#SOURCE}': '2001:db8::30', '{#CONTAGEM}': 500, '{#PERCENTUAL}': 33.3}" ]; then
    pass
  else
    fail_run "late traffic"
  fi
  same_report "late traffic, IPv4 and IPv6"
  exit 0
fi

# --- under the release's own systemd ----------------------------------------------
# Called again through unshare (own mount, network and PID namespaces, so that
# every mount, link and process of it goes with it): boots the systemd of the
# root LOWER, under an overlay thrown away afterwards, in a container
# (systemd-nspawn) whose veth has its other end in this network namespace. The
# package is installed there and the example unit and timer are set up as the
# README says, aimed at a test trapper on this end of the veth; the timer's
# run captures a burst of queries sent into the veth. Writes its verdicts to
# the result file, what it measured to standard output.
if [ "${1:-}" = --systemd ]; then
  results=$2 lower=$3 deb=$4 trapper=$5 work=$6
  fail() { echo "FAIL: $*" | tee -a "$results"; }
  pass() { echo "ok" >>"$results"; }
  verdict() { # verdict WHAT COMMAND...
    local what=$1
    shift
    if "$@"; then pass; else fail "$what"; fi
  }
  machine=quillet-pkg ve=ve-quillet-pkg
  trapper_ip=198.51.100.1 container_ip=198.51.100.2 queries=2000
  mount -t proc proc /proc
  # nspawn keeps its state under /run/systemd/nspawn; a cgroup v2 tree where it
  # can make its payload/ and supervisor/ groups under one of this test's own
  # (this machine's PID 1 is no systemd, and its cgroups are v1 and hybrid).
  mount -t tmpfs -o mode=755 tmpfs /run
  mount -t cgroup2 cgroup2 /sys/fs/cgroup
  group=/sys/fs/cgroup/$(basename "$(dirname "$work")")
  mkdir "$group"
  mount -t tmpfs -o mode=755 tmpfs "$work"
  mkdir "$work/upper" "$work/work" "$work/root" "$work/log"
  ct=$work/root
  mount -t overlay overlay -o "lowerdir=$lower,upperdir=$work/upper,workdir=$work/work" "$ct"
  nspawn="" others=()
  # shellcheck disable=SC2317 # called by the trap
  cleanup_systemd() {
    if [ -n "$nspawn" ]; then
      kill -TERM "$nspawn" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
    fi
    for p in "${others[@]}"; do kill "$p" 2>/dev/null || true; done
    echo 1 >"$group/cgroup.kill" 2>/dev/null || true
    wait 2>/dev/null || true
    echo $$ >/sys/fs/cgroup/cgroup.procs
    find "$group" -depth -type d -exec rmdir {} + 2>/dev/null || true
  }
  trap cleanup_systemd EXIT

  # The package and the scheduler as an admin sets them up.
  cp "$deb" "$ct/tmp/quillet.deb"
  # A lower root that had the user already (Debian 13's) loses it here.
  for f in passwd group shadow gshadow; do sed -i '/^_quillet:/d' "$ct/etc/$f"; done
  chroot "$ct" dpkg -i /tmp/quillet.deb >"$work/log/dpkg" 2>&1 || { cat "$work/log/dpkg"; fail "dpkg -i in the container"; exit 0; }
  verdict "dpkg -i alone created _quillet" grep -q '^_quillet:' "$ct/etc/passwd"
  sed -e "s/zabbix\.example\.org/$trapper_ip/" -e 's/ dns01$/ dns-ct/' -e "s/^IPAddressAllow=.*/IPAddressAllow=localhost $trapper_ip/" \
    "$ct/usr/share/quillet/examples/quillet.service" >"$ct/etc/systemd/system/quillet.service"
  cp "$ct/usr/share/quillet/examples/quillet.timer" "$ct/etc/systemd/system/"
  verdict "the unit's ExecStart and IPAddressAllow were set" \
    grep -q "^ExecStart=/usr/bin/quillet coletarDns /home/quillet $trapper_ip dns-ct\$" "$ct/etc/systemd/system/quillet.service"
  chroot "$ct" systemctl enable quillet.timer >"$work/log/enable" 2>&1 || { cat "$work/log/enable"; fail "systemctl enable quillet.timer"; }
  install -d -m 700 "$ct/home/quillet"
  install -d -m 755 "$ct/etc/quillet"
  echo "Interface=host0" >"$ct/etc/quillet/quillet.conf"
  # Boot to basic.target (timers.target among it): a root that is a whole
  # system (CI's Debian 13 lane) starts none of its servers.
  ln -sf /lib/systemd/system/basic.target "$ct/etc/systemd/system/default.target"

  ip link set lo up
  echo $BASHPID >"$group/cgroup.procs"
  started=$(date +%s.%N)
  # CAP_BPF and bpf(): without them the container's systemd cannot load the
  # cgroup programs of IPAddressDeny= and DeviceAllow=, and ignores both.
  SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 setsid systemd-nspawn -D "$ct" --boot --network-veth \
    --register=no --keep-unit --capability=CAP_BPF --system-call-filter=bpf --console=read-only \
    -M "$machine" </dev/null >"$work/log/nspawn" 2>&1 &
  nspawn=$!
  leader=
  for _ in $(seq 100); do
    # The file holds no line end: read fills the array and returns 1.
    children=()
    read -r -a children <"/proc/$nspawn/task/$nspawn/children" 2>/dev/null || true
    for child in "${children[@]}"; do
      [ "$(cat "/proc/$child/comm" 2>/dev/null)" = systemd ] && leader=$child
    done
    [ -n "$leader" ] && break
    sleep 0.1
  done
  if [ -z "$leader" ]; then
    fail "systemd-nspawn started no systemd"
    sed 's/^/  nspawn: /' "$work/log/nspawn"
    exit 0
  fi
  # -r: the container's root, which its mount namespace need not have as its own
  # (a systemd-nspawn run from a chroot, as in CI's Debian 13 lane).
  in_ct() { nsenter -t "$leader" -a -r -w "$@"; }
  state=
  # "offline" while its manager does not answer yet, in the first tenths of a
  # second.
  for _ in $(seq 100); do
    state=$(in_ct systemctl is-system-running --wait 2>/dev/null) || true
    case $state in running | degraded | maintenance | stopping) break ;; esac
    sleep 0.2
  done
  booted=$(date +%s.%N)
  echo "systemd: $(in_ct systemctl --version | head -n 1), booted in $(awk -v a="$started" -v b="$booted" 'BEGIN { printf "%.1f", b - a }') s: $state"
  verdict "the container's systemd is running (is-system-running: $state)" test "$state" = running
  [ "$state" = running ] || in_ct systemctl --failed --no-pager || true

  # Its link: this end, the trapper's, and host0 inside.
  ip addr add "$trapper_ip/24" dev "$ve"
  ip link set "$ve" up
  nsenter -t "$leader" -n ip addr add "$container_ip/24" dev host0
  nsenter -t "$leader" -n ip link set host0 up
  "$trapper" --listen "$trapper_ip:10052" --log "$work/log/trapper" --peers "$work/log/peers" \
    --ready "$work/log/trapper.ready" 2>"$work/log/trapper.err" &
  others+=($!)
  for _ in $(seq 50); do
    [ -e "$work/log/trapper.ready" ] && break
    sleep 0.1
  done

  exposure=$(in_ct systemd-analyze security quillet.service 2>&1 | sed -n 's/.*Overall exposure level for quillet.service: \([0-9.]*\).*/\1/p')
  echo "exposure inside the container: $exposure"
  verdict "exposure inside the container is $exposure, not 3.5 or lower" \
    awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 3.5) }'

  # The timer's next run: the burst goes into the veth 1 s after the capture
  # has begun, and the processes of the run are read from /proc meanwhile.
  echo "the timer: $(in_ct systemctl list-timers --no-legend quillet.timer | awk '{ print "next", $1, $2, $3 }')"
  python3 "$here/proc_watch.py" "$leader" 80 tcpdump dnstop >"$work/log/creds" &
  watcher=$!
  others+=("$watcher")
  for _ in $(seq 750); do
    [ -e "$ct/home/quillet/dump.pcap" ] && break
    sleep 0.1
  done
  python3 "$here/dns_frames.py" "$ve" --late "$ct/home/quillet/dump.pcap" 1 "$queries" ||
    fail "the burst of queries was not sent (the timer started no capture?)"
  wait "$watcher" || true
  for _ in $(seq 300); do
    [ "$(in_ct systemctl show -p ActiveState --value quillet.service)" = activating ] || break
    sleep 0.2
  done
  sed 's/^/credentials while it ran: /' "$work/log/creds"
  verdict "under the unit too, tcpdump dropped root and every capability" \
    grep -qE '^tcpdump Uid=([1-9][0-9]*),\1,\1,\1 .* CapPrm=0000000000000000 CapEff=0000000000000000 ' "$work/log/creds"
  # dnstop contained: the user _quillet (made by the package's postinst), no
  # group, no capability, no way back, namespaces of its own.
  user=$(awk -F: '$1 == "_quillet" { print $3 ":" $4 }' "$ct/etc/passwd")
  u=${user%:*} g=${user#*:} none=0000000000000000
  got=$(sed -n 's/ ms=[0-9]*//; s/^dnstop //p' "$work/log/creds")
  verdict "dnstop ran contained as _quillet ($user) under the unit" test "$got" = \
    "Uid=$u,$u,$u,$u Gid=$g,$g,$g,$g Groups= CapInh=$none CapPrm=$none CapEff=$none CapBnd=$none CapAmb=$none NoNewPrivs=1 net=own pid=own mnt=own user=same"
  in_ct systemctl status --no-pager quillet.service >"$work/log/status" 2>&1 || true
  sed 's/^/  /' "$work/log/status"
  verdict "systemctl status shows the timer's run ended with success" \
    grep -qE 'Process: .* ExecStart=/usr/bin/quillet .*status=0/SUCCESS' "$work/log/status"
  verdict "the run was the timer's" grep -q 'TriggeredBy: .*quillet.timer' "$work/log/status"
  python3 -c '
import json, sys
for line in open(sys.argv[1]):
    for item in json.loads(line)["data"]:
        print(item["host"] + " " + item["key"] + "=" + item["value"])
' "$work/log/trapper" >"$work/log/values" 2>&1 || true
  expected="dns-ct descobertaDns={\"data\": [{\"{#SOURCE}\": \"192.0.2.30\", \"{#CONTAGEM}\": $queries, \"{#PERCENTUAL}\": 100.0}]}
dns-ct contDns[192.0.2.30]=$queries
dns-ct percentDns[192.0.2.30]=100.0
dns-ct quillet.capture.dropped=0
dns-ct quillet.tcp.left_out=0
dns-ct quillet.tcp.before_window=0
dns-ct quillet.tcp.broken=0"
  if [ "$(cat "$work/log/values")" = "$expected" ] && [ "$(sort -u "$work/log/peers")" = "$container_ip" ]; then
    pass
  else
    fail "the trapper got other values, or from elsewhere than $container_ip:"
    sed 's/^/  value: /' "$work/log/values"
    sed 's/^/  peer: /' "$work/log/peers"
  fi
  exit 0
fi

# --- on the host ---------------------------------------------------------------
[ $# -eq 1 ] || {
  echo "usage: $0 <build-dir>" >&2
  exit 2
}
build=$(cd "$1" && pwd)
[ "$(id -u)" = 0 ] || {
  echo "package_test: needs root (it installs and removes the package)" >&2
  exit 1
}
export LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive

source "$source_dir/tests/support/checks.sh"

scratch=$(mktemp -d /tmp/quillet-package.XXXXXX)
installed_by_us=
cleanup() {
  if [ -n "$installed_by_us" ]; then apt-get purge -y -qq quillet >/dev/null 2>&1 || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# Tools the test needs; dpkg-dev gives cpack its dpkg-shlibdeps.
missing=()
command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
command -v man >/dev/null || missing+=(man-db)
command -v groff >/dev/null || missing+=(groff-base)
command -v python3 >/dev/null || missing+=(python3)
command -v lintian >/dev/null || missing+=(lintian)
if [ ${#missing[@]} -gt 0 ]; then
  echo "package_test: installing ${missing[*]}"
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- build the package ---
cmake "$build" >"$scratch/cmake.log" 2>&1 || {
  cat "$scratch/cmake.log"
  exit 1
}
cmake --build "$build" >"$scratch/build.log" 2>&1 || {
  cat "$scratch/build.log"
  exit 1
}
expect_eq "the package is made from a Release build" \
  "$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")" Release
out_dir=$build/package
rm -rf "$out_dir"
mkdir -p "$out_dir"
(cd "$build" && cpack -G DEB -B "$out_dir") >"$scratch/cpack.log" 2>&1 || {
  cat "$scratch/cpack.log"
  exit 1
}
debs=("$out_dir"/*.deb)
expect_eq "cpack makes exactly one .deb" "${#debs[@]}" 1
deb=${debs[0]}
field() { dpkg-deb -f "$deb" "$1"; }
version=$(field Version)
arch=$(dpkg --print-architecture)

# --- control data ---
expect_eq "file name" "$(basename "$deb")" "quillet_${version}_${arch}.deb"
expect_eq "version: the build's project version" "$version" \
  "$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")"
expect_eq "Package" "$(field Package)" quillet
expect_eq "Architecture" "$(field Architecture)" "$arch"
expect_eq "Section" "$(field Section)" net
expect_eq "Priority" "$(field Priority)" optional
check "Maintainer is a name and an address: '$(field Maintainer)'" \
  grep -qE '^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$' <<<"$(field Maintainer)"
depends=$(field Depends | tr -d ' ' | tr ',' '\n' | sed 's/(.*//')
for dep in tcpdump dnstop libc6 libstdc++6 libseccomp2 "systemd|systemd-standalone-sysusers|systemd-sysusers"; do
  check "Depends names $dep: $(field Depends)" grep -qx "$dep" <<<"$depends"
done
description=$(field Description)
check "Description has a synopsis and an extended text" test "$(wc -l <<<"$description")" -ge 3
check "Description lines fit 80 columns" test "$(awk 'length > 80' <<<"$description" | wc -l)" = 0
dpkg-deb -e "$deb" "$scratch/control"
expect_eq "control members: the postinst, no conffiles" \
  "$(find "$scratch/control" -mindepth 1 -printf '%f\n' | sort | tr '\n' ' ')" "control md5sums postinst "
expect_eq "the postinst only runs systemd-sysusers on the package's file" \
  "$(grep -v '^#\|^$\|^set -e$\|^if \|^fi$' "$scratch/control/postinst")" \
  $'\tsystemd-sysusers ${DPKG_ROOT:+--root="$DPKG_ROOT"} quillet.conf'

# --- contents ---
expected_files=(
  /usr/bin/quillet
  /usr/bin/quillet-tcp
  /usr/lib/sysusers.d/quillet.conf
  /usr/share/doc/quillet/README.md
  /usr/share/doc/quillet/changelog.gz
  /usr/share/doc/quillet/copyright
  /usr/share/man/man1/quillet.1.gz
  /usr/share/man/man1/quillet-tcp.1.gz
  /usr/share/quillet/examples/quillet.conf
  /usr/share/quillet/examples/quillet.cron
  /usr/share/quillet/examples/quillet.service
  /usr/share/quillet/examples/quillet.timer
)
for template in "$source_dir"/zabbix/*.yaml; do
  [ -e "$template" ] && expected_files+=("/usr/share/quillet/$(basename "$template")")
done
expect_eq "files in the package" \
  "$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./|/|' | sort)" \
  "$(printf '%s\n' "${expected_files[@]}" | sort)"
mkdir "$scratch/data"
dpkg-deb -x "$deb" "$scratch/data"
for page in quillet.1 quillet-tcp.1; do
  check "the man page $page is the compressed source" \
    cmp -s <(gzip -dc "$scratch/data/usr/share/man/man1/$page.gz") "$source_dir/man/$page"
done
if command -v readelf >/dev/null; then
  check "the binary is stripped" \
    test -z "$(readelf -S "$scratch/data/usr/bin/quillet" | grep -E '\.(symtab|debug_info)')"
fi
# The stand-alone licence paragraph, its indentation and " ." lines undone, is
# LICENSE's text from "Permission" on.
expect_eq "the copyright file carries the licence of LICENSE" \
  "$(awk 'text { print; next } prev == "" && $0 == "License: Expat" { text = 1 } { prev = $0 }' \
    "$scratch/data/usr/share/doc/quillet/copyright" | sed 's/^ //;s/^\.$//')" \
  "$(sed -n '/^Permission is hereby granted/,$p' "$source_dir/LICENSE")"

# --- lintian ---
# Run as nobody: lintian unpacks what it checks and warns against root. Its
# whole output goes to the log; an error fails the test, warnings do not.
lint_dir=$scratch/lintian
mkdir "$lint_dir"
cp "$deb" "$lint_dir/"
chmod 755 "$scratch" "$lint_dir"
chmod 644 "$lint_dir/$(basename "$deb")"
lint_status=0
(cd "$lint_dir" && HOME=$lint_dir runuser -u nobody -- lintian --display-info "$(basename "$deb")") \
  >"$scratch/lintian.log" 2>&1 || lint_status=$?
sed 's/^/  lintian: /' "$scratch/lintian.log"
expect_eq "lintian ends with status 0" "$lint_status" 0
expect_eq "lintian reports no error" "$(grep '^E:' "$scratch/lintian.log" || true)" ""

# --- install ---
if dpkg-query -W -f='${Status}' quillet 2>/dev/null | grep -q 'install ok installed'; then
  echo "package_test: purging the quillet package that was installed before"
  apt-get purge -y -qq quillet >/dev/null
fi
home_before=$(test -e /home/quillet && echo present || echo absent)
installed_by_us=yes
if ! apt-get install -y "$deb" >"$scratch/apt.log" 2>&1; then
  cat "$scratch/apt.log"
  fail "apt-get install $deb"
  echo "package: $((checks + 1)) passed, $failures failed"
  exit 1
fi
checks=$((checks + 1))
expect_eq "dpkg status after install" "$(dpkg-query -W -f='${Status}' quillet)" "install ok installed"
expect_eq "install leaves /home/quillet as it was" \
  "$(test -e /home/quillet && echo present || echo absent)" "$home_before"
dpkg -L quillet >"$scratch/owned"
installed_and_owned() { test -f "$1" && grep -qx "$1" "$scratch/owned"; }
for f in "${expected_files[@]}"; do
  check "$f is installed and listed by dpkg -L" installed_and_owned "$f"
done
expect_eq "quillet on PATH" "$(command -v quillet)" /usr/bin/quillet

# --- the installed program ---
# run WHAT EXPECTED-STATUS EXPECTED-STDOUT STDERR-PATTERN ARGS...: an empty
# pattern means that standard error stays empty.
run() {
  local what=$1 want_status=$2 want_out=$3 err_pattern=$4 status=0
  shift 4
  quillet "$@" >"$scratch/out" 2>"$scratch/err" || status=$?
  expect_eq "$what: status" "$status" "$want_status"
  expect_eq "$what: stdout" "$(cat "$scratch/out")" "$want_out"
  if [ -z "$err_pattern" ]; then
    expect_eq "$what: stderr" "$(cat "$scratch/err")" ""
  else
    check "$what: stderr '$(cat "$scratch/err")' matches '$err_pattern'" \
      grep -qE "$err_pattern" "$scratch/err"
  fi
}
failure_report='^quillet: falha não tratada \(.+\) na etapa ".+": .+$'
run "no argument" 1 "" "$failure_report"
run "two arguments" 1 "" "$failure_report" coletarDns x
run "unknown mode" 1 "Modo de execução não ecnontrado." "" coletar x 127.0.0.1 debug

: >"$scratch/sandbox"
bash "$source_dir/tests/support/sandbox.sh" --ens18 -- bash "$0" --sandbox "$scratch/sandbox" "$version" ||
  fail "the sandbox ended with status $? (77: it could not be had; the collection did not run)"
checks=$((checks + $(wc -l <"$scratch/sandbox")))
failures=$((failures + $(grep -c '^FAIL:' "$scratch/sandbox" || true)))

# --- the man page ---
man_file=/usr/share/man/man1/quillet.1.gz
expect_eq "man finds the installed page" "$(man -w quillet)" "$man_file"
check "the man page's title names quillet $version" \
  grep -qE "^\.TH QUILLET 1 \"[^\"]*\" \"quillet ${version//./\\.}\"" "$source_dir/man/quillet.1"
expect_eq "man renders without warnings" "$(man --warnings -l "$man_file" 2>&1 >/dev/null)" ""
expect_eq "man renders quillet-tcp's page without warnings" \
  "$(man --warnings -l /usr/share/man/man1/quillet-tcp.1.gz 2>&1 >/dev/null)" ""
rendered=$(MANWIDTH=200 man -l "$man_file" 2>/dev/null | col -b | tr -s '[:space:]' ' ')
for section in SYNOPSIS MODES DIAGNOSTICS "EXIT STATUS" FILES ZABBIX SCHEDULING; do
  check "man page section $section" grep -qF " $section " <<<"$rendered"
done
# Every console message, as the sources write it and as the program's
# documentation lists it, stands in the page.
mapfile -t from_sources < <(grep -ho 'println([a-z.]*, "[^"]*"' "$source_dir"/LINUX/*.cpp |
  sed 's/^println([a-z.]*, "\(.*\)"$/\1/' | sed 's/\\$//;s/^ *//;s/ *$//')
messages=(
  "${from_sources[@]}"
  "Erro ao Capturar dados do dnstop."
  "Modo DEBUG ativado:"
  "Versão do script: $version"
  "Erro ao enviar para o Zabbix:"
  "OK!"
  "envios ao Zabbix falharam."
  "[ERRO] Outra coleta já está em execução em /home/quillet/."
  "quillet: falha não tratada ("
  "quillet: não foi possível gravar a saída padrão no fim da execução"
)
for message in "${messages[@]}"; do
  check "man page lists '$message'" grep -qF -- "$message" <<<"$rendered"
done

# --- the scheduler examples, against the installed files ---
examples=/usr/share/quillet/examples
if command -v systemd-analyze >/dev/null; then
  mkdir "$scratch/units"
  cp "$examples/quillet.service" "$examples/quillet.timer" "$scratch/units/"
  expect_eq "systemd-analyze verify of the service and the timer" \
    "$(cd "$scratch/units" && systemd-analyze verify ./quillet.timer ./quillet.service 2>&1)" ""
  # `systemd-analyze security` rates what a unit leaves its service free to
  # do, from 0 to 10; the example must stay at 3.5 or lower.
  exposure=$(cd "$scratch/units" && systemd-analyze security --offline=true ./quillet.service 2>&1 |
    sed -n 's/.*Overall exposure level for quillet.service: \([0-9.]*\).*/\1/p')
  echo "package_test: the example unit's exposure (systemd-analyze security --offline=true): $exposure"
  check "the example unit's exposure is '$exposure', not 3.5 or lower" \
    awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 3.5) }'
fi

# --- under the release's own systemd ---
# The container's root: on Debian 12 a minimal bookworm with systemd, made
# with debootstrap from this machine's archive and kept in
# $QUILLET_CI_CACHE/systemd-bookworm (default /var/cache/quillet-ci) for a
# week; elsewhere (CI's Debian 13 lane, itself a fresh minimal root whose
# installed packages include systemd, tcpdump and dnstop) this system's own
# files. Either serves only as the lower layer of an overlay.
systemd_root() {
  local codename cache mirror params
  # shellcheck source=/dev/null
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if [ "$codename" != bookworm ]; then
    container_root=/
    return 0
  fi
  cache=${QUILLET_CI_CACHE:-/var/cache/quillet-ci}/systemd-bookworm
  mirror=$(awk '/^URIs:/ { uri = $2 } /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == "bookworm") { print uri; exit } }
    /^deb / && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null)
  [ -n "$mirror" ] || { fail "no Debian archive for bookworm in /etc/apt"; return 1; }
  local include=systemd,systemd-sysv,dbus,tcpdump,dnstop,libssl3
  params="$(debootstrap --version) bookworm $mirror $include"
  container_root=$cache/root
  if [ -f "$cache/root.params" ] && [ "$(cat "$cache/root.params")" = "$params" ] &&
    [ -z "$(find "$cache/root.params" -mtime +7)" ]; then
    return 0
  fi
  echo "package_test: making the container's root (debootstrap bookworm) in $cache"
  local t=$SECONDS
  mkdir -p "$cache"
  rm -rf "$cache/root.params" "$cache/root" "$cache/root.partial"
  debootstrap --variant=minbase --include="$include" bookworm "$cache/root.partial" "$mirror" \
    >"$cache/debootstrap.log" 2>&1 || { fail "debootstrap failed, see $cache/debootstrap.log"; return 1; }
  chmod 755 "$cache/root.partial"
  mv "$cache/root.partial" "$cache/root"
  echo "$params" >"$cache/root.params"
  echo "package_test: root made in $((SECONDS - t)) s"
}
t=$SECONDS
if systemd_root; then
  : >"$scratch/systemd"
  mkdir "$scratch/container"
  unshare --mount --net --pid --fork --kill-child --propagation private \
    bash "$0" --systemd "$scratch/systemd" "$container_root" "$deb" "$build/tests/fake_trapper" "$scratch/container" ||
    fail "the systemd phase ended with status $?"
  checks=$((checks + $(wc -l <"$scratch/systemd")))
  failures=$((failures + $(grep -c '^FAIL:' "$scratch/systemd" || true)))
  echo "package_test: the systemd phase took $((SECONDS - t)) s"
fi

cron_line=$(grep -vE '^(#|$|[A-Z]+=)' "$examples/quillet.cron")
expect_eq "cron example: one entry, every minute, as root" "$(cut -d' ' -f1-6 <<<"$cron_line")" "* * * * * root"
cron_command=$(cut -d' ' -f7- <<<"$cron_line")
check "cron example: the command is valid sh" sh -n -c "$cron_command"
check "cron example: runs the installed binary directly" grep -qF "/usr/bin/quillet coletarDns " <<<"$cron_command"
check "cron example: no % (cron would cut the command there)" test "${cron_command//%/}" = "$cron_command"

# --- removal ---
if apt-get purge -y quillet >"$scratch/apt.log" 2>&1; then
  installed_by_us=
else
  cat "$scratch/apt.log"
  fail "apt-get purge quillet"
fi
unknown_to_dpkg() { ! dpkg-query -W "$1" >/dev/null 2>&1; }
check "dpkg no longer knows quillet" unknown_to_dpkg quillet
while read -r path; do
  [ "$path" = /. ] && continue
  if [ -e "$path" ] && ! dpkg -S "$path" >/dev/null 2>&1; then
    fail "left after purge: $path"
  fi
  checks=$((checks + 1))
done <"$scratch/owned"
expect_eq "purge leaves /home/quillet as it was" \
  "$(test -e /home/quillet && echo present || echo absent)" "$home_before"

passed=$((checks - failures))
echo "package: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
