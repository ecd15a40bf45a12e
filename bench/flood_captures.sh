#!/usr/bin/env bash
# flood_captures.sh [options] BUILD_DIR [SCENARIO...]
#
# The whole collection on prepared captures of floods: per scenario
# (random-names, spoofed, syn-flood, mix; all four by default), writes the
# capture with BUILD_DIR/bench/quillet_flood_gen, runs
# `quillet coletarDns x y debug` with the real dnstop, the real quillet-tcp and
# the real box, and a stand-in tcpdump first on PATH that writes the capture at
# once: the part of it that the command line's filter asks for ("tcp" in the
# filter: the TCP packets, whole; "udp": the UDP ones; neither: all, cut at 512
# bytes), with tcpdump's closing report on standard error. Stand-ins for dnstop
# and quillet-tcp run the real ones under GNU time, inside the box; quillet's
# own figures come from quillet_peak_run. Prints a markdown table: the work
# after the window (from the end of the stand-in capture to quillet's exit),
# CPU and peak memory of each process, the exit status, and whether the
# listing equals what the clients sent; then the [AVISO]/[ERRO] lines of each
# run.
#
# Options:
#   --quillet BIN    the quillet to run (default BUILD_DIR/quillet)
#   --tcp-dir DIR    the directory of its quillet-tcp (default: BIN's)
#   --scale S        multiplies every count of the captures (default 1)
#   --work DIR       where the captures are written (default: under /var/tmp);
#                    each is removed after its run
#   --within-snapshot  no TCP segment over 512 bytes in the mix
#   --check          exit 1 when a run fails, misses a goal or lists wrongly
#
# Runs inside tests/support/sandbox.sh (it enters it when needed): the run
# works in the fixed /home/quillet/.
set -euo pipefail
bench_dir=$(cd "$(dirname "$0")" && pwd)

quillet='' tcp_dir='' scale=1 work='' check=0 gen_flags=()
args=("$@")
while [ $# -gt 0 ]; do
  case $1 in
  --quillet) quillet=$2; shift ;;
  --tcp-dir) tcp_dir=$2; shift ;;
  --scale) scale=$2; shift ;;
  --work) work=$2; shift ;;
  --within-snapshot) gen_flags+=(--within-snapshot) ;;
  --check) check=1 ;;
  -*) echo "flood_captures.sh: unknown option $1" >&2; exit 2 ;;
  *) break ;;
  esac
  shift
done
build=${1:?usage: flood_captures.sh [options] BUILD_DIR [SCENARIO...]}
shift
scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] || scenarios=(random-names spoofed syn-flood mix)

if [ -z "${QUILLET_SANDBOX:-}" ]; then
  exec bash "$bench_dir/../tests/support/sandbox.sh" bash "$0" "${args[@]}"
fi

build=$(cd "$build" && pwd)
quillet=$(realpath "${quillet:-$build/quillet}")
tcp_dir=$(realpath "${tcp_dir:-$(dirname "$quillet")}")
gen=$build/bench/quillet_flood_gen
peak_run=$build/bench/quillet_peak_run
for f in "$quillet" "$tcp_dir/quillet-tcp" "$gen" "$peak_run" /usr/bin/time; do
  [ -x "$f" ] || { echo "flood_captures.sh: $f is missing" >&2; exit 2; }
done
dnstop=$(command -v dnstop) || { echo "flood_captures.sh: no dnstop" >&2; exit 2; }
# The sandbox's /home holds the run's copy of the capture (both parts, for a
# build that captures UDP and TCP apart).
mount -o remount,size=6g /home
work=$(mktemp -d "${work:-/var/tmp}/quillet-flood.XXXXXX")
# The largest scenario's three files take about 1.2 GB at scale 1.
need_kib=$(awk -v s="$scale" 'BEGIN { printf "%d", s * 1.5e6 + 1e5 }')
if [ "$(df --output=avail -k "$work" | tail -1)" -lt "$need_kib" ]; then
  echo "flood_captures.sh: $work needs $((need_kib / 1024)) MiB free" >&2
  rmdir "$work"
  exit 2
fi
# The stand-ins run contained, as the box's user: they must be reachable.
tools=$(mktemp -d /home/quillet-flood-tools.XXXXXX)
chmod 755 "$tools"
trap 'rm -rf "$work" "$tools"' EXIT

cat >"$tools/tcpdump" <<'EOF'
#!/bin/sh
# Stand-in: writes the prepared capture that the filter asks for at -w.
dir=$(dirname "$0")
out='' filter=''
while [ $# -gt 0 ]; do
  case $1 in
  -w) out=$2; shift 2; continue ;;
  -[BCEFGMQTVWZcijrsyz]) shift 2; continue ;;
  -*) ;;
  *) filter="$filter $1" ;;
  esac
  shift
done
case $filter in
*tcp*) part=tcp ;;
*udp*) part=udp ;;
*) part=all ;;
esac
captures=$(cat "$dir/captures")
cp "$captures/$part.pcap" "$out"
n=$(cat "$captures/$part.count")
echo "$part" >>"$dir/parts"
date +%s%N >>"$dir/capture_end"
printf '%s packets captured\n%s packets received by filter\n0 packets dropped by kernel\n' "$n" "$n" >&2
exit 124
EOF
printf '#!/bin/sh\nexec /usr/bin/time -f "qflood dnstop %%e %%U %%S %%M" %s "$@"\n' "$dnstop" >"$tools/dnstop"
printf '#!/bin/sh\nexec /usr/bin/time -f "qflood quillet-tcp %%e %%U %%S %%M" %s "$@"\n' \
  "$tcp_dir/quillet-tcp" >"$tools/quillet-tcp"
chmod 755 "$tools/tcpdump" "$tools/dnstop" "$tools/quillet-tcp"

mib() { awk -v k="$1" 'BEGIN { if (k == "") print "-"; else printf "%.0f", k / 1024 }'; }
# PROGRAM: "wall s, CPU s, peak MiB" from the GNU time line of the run.
program_figures() {
  local line
  line=$(grep "^qflood $1 " "$tools/err" | tail -1 || true)
  if [ -z "$line" ]; then
    echo "- | - | -"
  else
    awk '{ printf "%.2f | %.2f | %.0f", $3, $4 + $5, $6 / 1024 }' <<<"$line"
  fi
}

table="| capture | packets | MB | after window (s) | quillet CPU (s) | quillet MiB | dnstop wall (s) | dnstop CPU (s) | dnstop MiB | quillet-tcp wall (s) | quillet-tcp CPU (s) | quillet-tcp MiB | status | listing | left out (TCP before window) | goals |
|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
details=''
failed=0
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
for scenario in "${scenarios[@]}"; do
  dir=$work/$scenario
  mkdir -p "$dir"
  echo "flood_captures: generating $scenario at scale $scale" >&2
  "$gen" "${gen_flags[@]}" "$scenario" "$scale" "$dir"
  echo "$dir" >"$tools/captures"
  rm -f "$tools/capture_end" "$tools/parts"
  rm -rf /home/quillet/*
  echo "flood_captures: running $scenario" >&2
  status=0
  PATH=$tools:$PATH "$peak_run" "$tools/peak" "$quillet" coletarDns x y debug \
    >"$tools/out" 2>"$tools/err" </dev/null || status=$?
  packets=$(cat "$dir/all.count")
  size=$(stat -c %s "$dir/all.pcap")
  end=$(sort -n "$tools/capture_end" 2>/dev/null | tail -1 || true)
  exit_ns=$(awk '$1 == "exit_ns" { print $2 }' "$tools/peak")
  after=$(awk -v a="$end" -v b="$exit_ns" 'BEGIN { if (a == "") print "-"; else printf "%.2f", (b - a) / 1e9 }')
  own_cpu=$(awk '$1 == "cpu_s" { printf "%.2f", $2 }' "$tools/peak")
  own_kib=$(awk '$1 == "peak_kib" { print $2 }' "$tools/peak")

  # The listing against the truth: order, counts, shares.
  sed -n "s/^{'{#SOURCE}': '\([^']*\)', '{#CONTAGEM}': \([0-9]*\), '{#PERCENTUAL}': \([^}]*\)}$/\1 \2 \3/p" \
    "$tools/out" >"$tools/listed"
  awk '$1 == "listed" { print $2, $3, $4 }' "$dir/truth.txt" >"$tools/truth"
  listing=$(awk 'NR == FNR { want[FNR] = $0; n = FNR; next }
    { got[FNR] = $0; m = FNR }
    END {
      for (i = 1; i <= (n > m ? n : m); i++) {
        w1 = i <= n ? want[i] : "none"; g1 = i <= m ? got[i] : "none"
        split(w1, w, " "); split(g1, g, " ")
        if (w[1] != g[1] || w[2] != g[2] || w[3] + 0 != g[3] + 0) {
          printf "differs at line %d: %s, want %s", i, g1, w1
          exit
        }
      }
      printf "exact (%d lines)", n
    }' "$tools/truth" "$tools/listed")
  # Streams that began before the window: the line must give their number.
  before_want=$(awk '$1 == "tcp_before_window" { print $2 }' "$dir/truth.txt")
  before_got=$(sed -n 's/.*\[AVISO\] TCP: \([0-9]*\) conexões começaram antes.*/\1/p' "$tools/out" | tail -1)
  before_got=${before_got:-0}
  if [ "$before_got" = "$before_want" ]; then left="exact ($before_want)"; else left="**$before_got, want $before_want**"; fi

  dnstop_fig=$(program_figures dnstop)
  tcp_fig=$(program_figures quillet-tcp)
  goals=yes
  peaks="$own_kib $(awk '$1 == "qflood" { print $6 }' "$tools/err")"
  for k in $peaks; do
    [ "$k" -le $((256 * 1024)) ] || goals=no
  done
  awk -v a="$after" 'BEGIN { exit !(a != "-" && a <= 10) }' || goals=no
  [ "$status" = 0 ] && [[ $listing == exact* ]] && [[ $left == exact* ]] || goals=no
  [ "$goals" = yes ] || failed=1
  [ "$goals" = yes ] || goals="**no**"
  table+=$'\n'"| $scenario | $packets | $(awk -v s="$size" 'BEGIN { printf "%.0f", s / 1e6 }') | $after | $own_cpu | $(mib "$own_kib") | $dnstop_fig | $tcp_fig | $status | $listing | $left | $goals |"

  # Every warning and error line of the run, and what else it wrote on
  # standard error (a program's own complaint), colours taken out.
  lines=$(cat "$tools/out" "$tools/err" | sed 's/\x1b\[[0-9;]*m//g' |
    grep -E '\[AVISO\]|\[ERRO\]|Erro|falh' | sort | uniq -c | sed 's/^ *\([0-9]*\) /(×\1) /' || true)
  other=$(grep -v -e '^qflood ' -e '^$' "$tools/err" | sed 's/\x1b\[[0-9;]*m//g' | head -5 || true)
  truth=$(grep -v '^listed' "$dir/truth.txt" | tr '\n' ' ')
  details+=$'\n'"- **$scenario** (captures the run asked for: $(sort "$tools/parts" 2>/dev/null | tr '\n' ' ')); truth: $truth"
  while IFS= read -r l; do
    [ -n "$l" ] && details+=$'\n'"  - \`$l\`"
  done <<<"$lines"
  while IFS= read -r l; do
    [ -n "$l" ] && details+=$'\n'"  - standard error: \`$l\`"
  done <<<"$other"
  rm -rf "$dir" /home/quillet/*
done

echo "Load average $load_start at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end (2 cores, shared); quillet: $quillet; scale $scale"
echo
echo "$table"
echo "$details"
[ "$check" = 0 ] || [ "$failed" = 0 ]
