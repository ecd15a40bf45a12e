#!/usr/bin/env bash
# compare.sh [--build DIR] [--runs N] [--write]
#
# Side-by-side comparisons of quillet with what an admin would use instead, all
# in one run on this machine, each figure the median of N runs (7 by default):
#   - parsing and ranking a 1,000,000-line report: quillet_top against the awk |
#     sort | head pipeline of awk_top.sh and the Python parse of parse_report.py;
#   - a whole debug run with an instant (faked) capture against `python3 -c pass`,
#     its own CPU time and its wall time without the capture's shell commands;
#   - the peak resident size of a debug run on the 1,000,000-line report;
#   - the 41 deliveries of a run against 41 zabbix_sender runs and one batched
#     `zabbix_sender -i`, all to the same fake trapper on 127.0.0.1:10052;
#   - the micro-benchmarks of quillet_bench (parser MB/s, ranking per record).
# Prints a Markdown table; with --write, also puts it into docs/performance.md
# between its results markers.
#
# DIR is a configured and built build directory (default: build). Runs inside
# tests/support/sandbox.sh (root, private network and mount namespaces), so the trapper
# port and /home/quillet/ are its own. Needs hyperfine, GNU time, zabbix_sender,
# awk and python3: scripts/install_deps.sh bench.
set -euo pipefail

bench_dir=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$bench_dir")
build=$repo/build
runs=7
write=

usage() {
  echo "usage: compare.sh [--build DIR] [--runs N] [--write]" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case $1 in
    --build) [ $# -ge 2 ] || usage; build=$2; shift 2 ;;
    --runs) [ $# -ge 2 ] || usage; runs=$2; shift 2 ;;
    --write) write=1; shift ;;
    *) usage ;;
  esac
done
case $runs in '' | *[!0-9]* | 0) usage ;; esac
build=$(cd "$build" && pwd)

if [ -z "${QUILLET_SANDBOX:-}" ]; then
  exec bash "$repo/tests/support/sandbox.sh" bash "$0" --build "$build" --runs "$runs" ${write:+--write}
fi

missing=
for tool in hyperfine /usr/bin/time zabbix_sender awk python3; do
  command -v "$tool" >/dev/null || missing="$missing $tool"
done
[ -z "$missing" ] || { echo "compare.sh: missing$missing (scripts/install_deps.sh bench)" >&2; exit 2; }
for target in quillet tests/fake_trapper bench/quillet_top bench/quillet_deliver \
  bench/quillet_gen_report bench/quillet_bench bench/quillet_run_bench; do
  [ -x "$build/$target" ] || { echo "compare.sh: $build/$target is not built" >&2; exit 2; }
done
# Debian's interpreter, not a version manager's shim script in front of it.
python=$(command -v /usr/bin/python3 || command -v python3)

work=/home/compare
mkdir -p "$work"
log() { echo "== $*" >&2; }

{
  echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
  echo "cores=$(nproc)"
  echo "memory=$(free -g | awk '/^Mem:/ { print $2 " GiB" }')"
  echo "kernel=$(uname -r)"
  echo "load_start=$(cut -d' ' -f1-3 /proc/loadavg)"
  changed=$(git -C "$repo" status --porcelain --untracked-files=no -- LINUX bench 2>/dev/null || true)
  echo "commit=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)${changed:+ with uncommitted changes}"
  echo "build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")"
  echo "compiler=$(c++ --version | head -1)"
  echo "awk=$(readlink -f "$(command -v awk)" | xargs basename) $(awk -W version 2>/dev/null | head -1 | cut -d' ' -f2-3)"
  echo "sort=$(sort --version | head -1)"
  echo "python=$($python --version 2>&1) ($python)"
  echo "zabbix_sender=$(zabbix_sender --version | head -1)"
  echo "hyperfine=$(hyperfine --version)"
  echo "runs=$runs"
} >"$work/machine.txt"

log "reports"
r1k=$work/report-1000.txt
r1m=$work/report-1000000.txt
"$build/bench/quillet_gen_report" 1000 >"$r1k"
"$build/bench/quillet_gen_report" 1000000 >"$r1m"
echo "report_1m_bytes=$(stat -c %s "$r1m")" >>"$work/machine.txt"

log "parsing and ranking: same output from all three"
"$build/bench/quillet_top" "$r1m" >"$work/top.quillet"
sh "$bench_dir/awk_top.sh" "$r1m" >"$work/top.awk"
"$python" "$bench_dir/parse_report.py" "$r1m" >"$work/top.python"
cmp "$work/top.quillet" "$work/top.awk"
cmp "$work/top.quillet" "$work/top.python"
[ "$(wc -l <"$work/top.quillet")" = 20 ] || { echo "compare.sh: quillet_top did not list 20" >&2; exit 1; }

log "parsing and ranking: timing"
hyperfine -N --style basic --runs "$runs" --warmup 1 --export-json "$work/parse.json" \
  "$build/bench/quillet_top $r1m" \
  "sh $bench_dir/awk_top.sh $r1m" \
  "$python $bench_dir/parse_report.py $r1m" >&2

# The capture made instant: tcpdump writes its -w file, dnstop prints a report.
bash "$repo/tests/support/fake_capture.sh" "$work/fake-1k" "$r1k"
bash "$repo/tests/support/fake_capture.sh" "$work/fake-1m" "$r1m"

log "debug run: start-up against python3 -c pass"
PATH=$work/fake-1k:$PATH "$build/quillet" coletarDns x y debug >"$work/listing.txt"
[ "$(grep -c "{'{#SOURCE}'" "$work/listing.txt")" = 20 ] ||
  { echo "compare.sh: the debug run did not list 20" >&2; exit 1; }
PATH=$work/fake-1k:$PATH hyperfine -N --style basic --runs $((runs * 5)) --warmup 3 \
  --export-json "$work/startup.json" \
  "$build/quillet coletarDns x y debug" \
  "$python -c pass" >&2

log "debug run: own time (quillet_run_bench)"
"$build/bench/quillet_run_bench" --benchmark_repetitions="$runs" \
  --benchmark_report_aggregates_only=true --benchmark_format=json \
  --benchmark_out="$work/run.json" --benchmark_out_format=json >/dev/null

log "debug run: peak resident size on the 1,000,000-line report"
peak=0
for _ in 1 2 3; do
  kib=$(PATH=$work/fake-1m:$PATH /usr/bin/time -f %M "$build/quillet" coletarDns x y debug \
    2>&1 >/dev/null | tail -1)
  [ "$kib" -gt "$peak" ] && peak=$kib
done
echo "peak_rss_kib_1m=$peak" >>"$work/machine.txt"

log "deliveries"
trapper_log=$work/trapper.log
"$build/tests/fake_trapper" --listen 127.0.0.1:10052 --log "$trapper_log" \
  --ready "$work/trapper.ready" &
trapper=$!
trap 'kill $trapper 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$work/trapper.ready" ] && break; sleep 0.05; done
[ -e "$work/trapper.ready" ] || { echo "compare.sh: the trapper did not start" >&2; exit 1; }

"$build/bench/quillet_deliver" --list "$r1k" bench-host >"$work/values.tsv"
: >"$work/sender_input.txt"
echo "#!/bin/bash" >"$work/sender_each.sh"
while IFS=$'\t' read -r host key value; do
  quoted=${value//\\/\\\\}
  printf '%s %s "%s"\n' "$host" "$key" "${quoted//\"/\\\"}" >>"$work/sender_input.txt"
  printf 'zabbix_sender -z 127.0.0.1 -p 10052 -s %q -k %q -o %q >/dev/null\n' \
    "$host" "$key" "$value" >>"$work/sender_each.sh"
done <"$work/values.tsv"

deliver="$build/bench/quillet_deliver $r1k 127.0.0.1 bench-host"
each="bash $work/sender_each.sh"
batch="zabbix_sender -z 127.0.0.1 -p 10052 -i $work/sender_input.txt"
# Each way must deliver the same 41 values before it is timed.
for command in "$deliver" "$each" "$batch"; do
  seen=$(wc -l <"$trapper_log")
  $command >/dev/null
  tail -n +$((seen + 1)) "$trapper_log" >"$work/received.log"
  "$python" - "$work/received.log" "$work/values.tsv" <<'EOF'
import json, sys
got = [(i["host"], i["key"], i["value"]) for line in open(sys.argv[1]) for i in json.loads(line)["data"]]
want = [tuple(line.rstrip("\n").split("\t")) for line in open(sys.argv[2])]
if got != want:
    sys.exit(f"compare.sh: the trapper got {len(got)} values, not the {len(want)} expected")
EOF
done
hyperfine -N --style basic --runs "$runs" --warmup 1 --export-json "$work/delivery.json" \
  "$deliver" "$each" "$batch" >&2
kill $trapper 2>/dev/null || true

log "micro-benchmarks (quillet_bench)"
"$build/bench/quillet_bench" --benchmark_repetitions="$runs" --benchmark_min_time=0.2 \
  --benchmark_report_aggregates_only=true --benchmark_format=json \
  --benchmark_filter='BM_Parse(Sources|FullReport|Unicode|AndRank)|BM_TopSelection|BM_RankTop|BM_DiscoveryDocument|BM_DebugLines|BM_FormatDouble|BM_Delivery' \
  --benchmark_out="$work/micro.json" --benchmark_out_format=json >/dev/null

echo "load_end=$(cut -d' ' -f1-3 /proc/loadavg)" >>"$work/machine.txt"
"$python" "$bench_dir/results_table.py" "$work" >"$work/table.md"
cat "$work/table.md"

if [ -n "$write" ]; then
  "$python" - "$repo/docs/performance.md" "$work/table.md" <<'EOF'
import sys
doc_path, table_path = sys.argv[1], sys.argv[2]
begin, end = "<!-- compare.sh results: begin -->", "<!-- compare.sh results: end -->"
doc = open(doc_path).read()
if begin not in doc or end not in doc:
    sys.exit(f"compare.sh: {doc_path} has no results markers")
head, rest = doc.split(begin, 1)
tail = rest.split(end, 1)[1]
open(doc_path, "w").write(head + begin + "\n" + open(table_path).read() + end + tail)
EOF
  log "written to docs/performance.md"
fi
