#!/usr/bin/env bash
# flood_live.sh [options] BUILD_DIR
#
# Live loss against the rate: in the sandbox of tests/support/sandbox.sh
# --ens18 (it enters it when needed), BUILD_DIR/bench/quillet_flood_send sends
# a known number of DNS queries over UDP at a set rate from a few clients,
# raw frames into ens18p, all inside the capture window, while
# `quillet coletarDns x y debug` captures on ens18 (its default) with the real
# tcpdump, dnstop and quillet-tcp. Then the same traffic under a plain
# `timeout 5 tcpdump --immediate-mode -s 512 [-B 65536] -i ens18 -w FILE port 53`,
# with and without -B, for tcpdump's own counts. Prints a markdown table, one
# row per run, with the load average at that run.
#
# Options:
#   --quillet BIN    the quillet to run (default BUILD_DIR/quillet)
#   --tcp-dir DIR    the directory of its quillet-tcp (default: BIN's)
#   --rates "R..."   queries a second, 0 for as fast as the sender can
#                    (default "100000 200000 290000 350000 400000 0")
#   --reps N         runs of each rate (default 3)
#   --seconds S      how long each rate sends (default 3; the window is 5)
#   --clients N      client addresses (default 4)
#   --udp-buffer K   run BUILD_DIR/tests/fast_quillet instead, its UDP capture
#                    with a kernel buffer of K KiB: to see what a run says of
#                    its losses at rates this machine can send
#   --no-tcpdump     leave out the plain tcpdump runs
#   --check          exit 1 unless every run listed all that reached ens18
#                    less the drops it reported
set -euo pipefail
bench_dir=$(cd "$(dirname "$0")" && pwd)

quillet='' tcp_dir='' rates="100000 200000 290000 350000 400000 0" reps=3 seconds=3 clients=4
plain=1 check=0 udp_buffer=
args=("$@")
while [ $# -gt 0 ]; do
  case $1 in
  --quillet) quillet=$2; shift ;;
  --tcp-dir) tcp_dir=$2; shift ;;
  --rates) rates=$2; shift ;;
  --reps) reps=$2; shift ;;
  --seconds) seconds=$2; shift ;;
  --clients) clients=$2; shift ;;
  --udp-buffer) udp_buffer=$2; shift ;;
  --no-tcpdump) plain=0 ;;
  --check) check=1 ;;
  -*) echo "flood_live.sh: unknown option $1" >&2; exit 2 ;;
  *) break ;;
  esac
  shift
done
build=${1:?usage: flood_live.sh [options] BUILD_DIR}

if [ -z "${QUILLET_SANDBOX:-}" ]; then
  exec bash "$bench_dir/../tests/support/sandbox.sh" --ens18 bash "$0" "${args[@]}"
fi

build=$(cd "$build" && pwd)
quillet=$(realpath "${quillet:-$build/quillet}")
tcp_dir=$(realpath "${tcp_dir:-$(dirname "$quillet")}")
send=$build/bench/quillet_flood_send
for f in "$quillet" "$tcp_dir/quillet-tcp" "$send"; do
  [ -x "$f" ] || { echo "flood_live.sh: $f is missing" >&2; exit 2; }
done
run=("$quillet")
[ -z "$udp_buffer" ] || run=("$build/tests/fast_quillet" --work-dir /home/quillet --udp-buffer-kib "$udp_buffer" --)
mount -o remount,size=4g /home
# A sysfs of this network namespace, for the links' counters.
mount -t sysfs sysfs /sys
scratch=$(mktemp -d /home/quillet-live.XXXXXX)
chmod 1777 "$scratch"  # tcpdump writes its file as its own user
trap 'rm -rf "$scratch"' EXIT
mac=$(cat /sys/class/net/ens18/address)
stat_of() { cat "/sys/class/net/$1/statistics/$2"; }
load() { cut -d' ' -f1 /proc/loadavg; }

# wait_for FILE: until FILE exists (the capture has begun), at most 5 s.
wait_for() {
  local tries=500
  until [ -e "$1" ]; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.01
  done
}

# send_now RATE: the rate's queries into ens18p; sets sent, dropped (by the
# veth, before any capture), reached (sent less those) and rx (what ens18
# counted received: also the link's own few packets, such as IPv6 neighbour
# discovery).
send_now() {
  local count rx0 drop0 out
  # A paced run may fall a little behind: it gets a few tenths more to end.
  local limit
  if [ "$1" = 0 ]; then
    count=100000000 limit=$seconds
  else
    count=$(awk -v r="$1" -v s="$seconds" 'BEGIN { printf "%d", r * s }')
    limit=$(awk -v s="$seconds" 'BEGIN { print s + 0.3 }')
  fi
  rx0=$(stat_of ens18 rx_packets)
  drop0=$(($(stat_of ens18 rx_dropped) + $(stat_of ens18p tx_dropped)))
  out=$("$send" send ens18p "$mac" "$1" "$count" "$limit" "$clients")
  sent=$(awk '{ print $2 }' <<<"$out")
  took=$(awk '{ print $4 }' <<<"$out")
  rx=$(($(stat_of ens18 rx_packets) - rx0))
  dropped=$(($(stat_of ens18 rx_dropped) + $(stat_of ens18p tx_dropped) - drop0))
  reached=$((sent - dropped))
}

# plain_tcpdump RATE [-B 65536]: "captured / received / dropped / written".
plain_tcpdump() {
  local rate=$1 file=$scratch/plain.pcap
  shift
  rm -f "$file"
  timeout 5 tcpdump --immediate-mode -s 512 "$@" -i ens18 -w "$file" port 53 2>"$scratch/plain.err" &
  local pid=$!
  wait_for "$file" || { echo "tcpdump did not start" >&2; exit 1; }
  sleep 0.3
  send_now "$rate"
  wait "$pid" || true
  local c r d
  c=$(sed -n 's/^\([0-9]*\) packets captured$/\1/p' "$scratch/plain.err")
  r=$(sed -n 's/^\([0-9]*\) packets received by filter$/\1/p' "$scratch/plain.err")
  d=$(sed -n 's/^\([0-9]*\) packets dropped by kernel$/\1/p' "$scratch/plain.err")
  echo "$c / $r / $d / $("$send" count "$file") (sent $sent, reached $reached)"
}

table="| rate (q/s) | run | load | sent | sender's rate | veth drops | reached ens18 (ens18 rx) | written by tcpdump | listing's sum | missing | drops the run reported | reached − (sum + reported) | status |"
table+=$'\n'"|---|---|---|---|---|---|---|---|---|---|---|---|---|"
plain_table="| rate (q/s) | run | load | default buffer: captured / received / dropped / written | \`-B 65536\`: captured / received / dropped / written |"
plain_table+=$'\n'"|---|---|---|---|---|"
lines=''
failed=0
for rate in $rates; do
  for rep in $(seq "$reps"); do
    rm -rf /home/quillet/*
    l=$(load)
    PATH=$tcp_dir:$PATH "${run[@]}" coletarDns x y debug >"$scratch/out" 2>"$scratch/err" </dev/null &
    pid=$!
    wait_for /home/quillet/dump.pcap || { echo "the run did not start its capture" >&2; exit 1; }
    sleep 0.3
    send_now "$rate"
    status=0
    wait "$pid" || status=$?
    written=$("$send" count /home/quillet/dump.pcap 2>/dev/null || echo -)
    sum=$(sed -n "s/^{'{#SOURCE}': '[^']*', '{#CONTAGEM}': \([0-9]*\),.*/\1/p" "$scratch/out" |
      awk '{ s += $1 } END { print s + 0 }')
    # The drop line's wording is the run's own: its first number is taken.
    drop_line=$(sed 's/\x1b\[[0-9;]*m//g' "$scratch/out" | grep -E '^\[AVISO\].*(descart|perd|drop|mínim)' | head -1 || true)
    reported=$(grep -o '[0-9][0-9]*' <<<"$drop_line" | head -1 || true)
    reported=${reported:-0}
    gap=$((reached - sum - reported))
    [ "$gap" = 0 ] && [ "$status" = 0 ] || failed=1
    rate_text=$rate
    [ "$rate" != 0 ] || rate_text="as fast as possible"
    table+=$'\n'"| $rate_text | $rep | $l | $sent | $(awk -v n="$sent" -v t="$took" 'BEGIN { printf "%.0f", n / t }') | $dropped | $reached ($rx) | $written | $sum | $((reached - sum)) | $reported | $gap | $status |"
    while IFS= read -r x; do
      [ -n "$x" ] && lines+=$'\n'"- $rate_text, run $rep: \`$x\`"
    done < <(sed 's/\x1b\[[0-9;]*m//g' "$scratch/out" "$scratch/err" | grep -E '\[AVISO\]|\[ERRO\]|Erro' || true)
    if [ "$plain" = 1 ]; then
      l=$(load)
      a=$(plain_tcpdump "$rate")
      b=$(plain_tcpdump "$rate" -B 65536)
      plain_table+=$'\n'"| $rate_text | $rep | $l | $a | $b |"
    fi
    echo "flood_live: rate $rate_text, run $rep done" >&2
  done
done

echo "quillet: $quillet; $clients clients, $seconds s of sending a run inside the 5-s window; $(nproc) cores; load average (1 min) given per run"
echo
echo "$table"
if [ "$plain" = 1 ]; then
  echo
  echo "$plain_table"
fi
echo
echo "Lines of the runs:${lines:- none}"
[ "$check" = 0 ] || [ "$failed" = 0 ]
