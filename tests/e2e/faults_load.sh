#!/usr/bin/env bash
# Fifty collection runs in a row against the local trapper, each with a fresh
# capture whose figures carry the run's number: every run delivers its 41
# values complete and in order, then what it could not count, holds no descriptor beyond the one socket of
# the delivery in progress, and leaves no file behind but its two working
# files.
source "$E2E_DIR/lib.sh"

runs=50
fake_capture /dev/null
# The report of run N: 22 addresses, the twenty busiest first.
cat >"$SCRATCH/bin/dnstop" <<EOF
#!/bin/sh
n=\$(cat '$SCRATCH/run')
echo "Sources          Count      %   cum%"
j=1
while [ \$j -le 22 ]; do
  echo "10.\$n.0.\$j \$((1000 * n + 100 - j)) \$j.5 x"
  j=\$((j + 1))
done
EOF

# What the trapper must see from run N, one "host key=value" line per value.
expected_run() {
  local n=$1 j doc='{"data": ['
  for j in $(seq 1 20); do
    [ "$j" -gt 1 ] && doc+=', '
    doc+="{\"{#SOURCE}\": \"10.$n.0.$j\", \"{#CONTAGEM}\": $((1000 * n + 100 - j)), \"{#PERCENTUAL}\": $j.5}"
  done
  echo "dns-lab descobertaDns=$doc]}"
  for j in $(seq 1 20); do
    echo "dns-lab contDns[10.$n.0.$j]=$((1000 * n + 100 - j))"
    echo "dns-lab percentDns[10.$n.0.$j]=$j.5"
  done
  uncounted_values dns-lab
}

# The last value of every run drips in slowly, so that the run can be looked
# at in the middle of a delivery.
script=$(for _ in $(seq $runs); do printf 'success,%.0s' $(seq 40); printf 'drip,success,'; done)
start_trapper "${script%,}" --drip-pieces 5 --drip-gap 150

export TMPDIR=$SCRATCH/tmp
mkdir -p "$TMPDIR"
bad_runs=()
for n in $(seq $runs); do
  echo "$n" >"$SCRATCH/run"
  new_deliveries
  set +e
  # Started with nothing open but 0, 1 and 2, whatever this shell holds.
  python3 -c 'import os, sys; os.closerange(3, 1 << 16); os.execv(sys.argv[1], sys.argv[1:])' \
    "$QUILLET_BIN" coletarDns /p 127.0.0.1 dns-lab </dev/null >"$OUT" 2>"$ERR" &
  pid=$!
  set -e
  # Once the last request is in, its reply takes 0.75 s to drip: room for a
  # loaded machine to look.
  for _ in $(seq 500); do
    [ "$(($(wc -l <"$TRAPPER_LOG") - TRAPPER_MARK))" -ge 41 ] && break
    sleep 0.01
  done
  # A run already gone is a problem of this run, not the end of the suite.
  fds=$(ls -l "/proc/$pid/fd" 2>&1 | awk 'NR > 1 { print $9, $11 }' | sed 's/socket:\[[0-9]*\]/socket/' || true)
  wait "$pid" && STATUS=0 || STATUS=$?
  problems=""
  [ "$STATUS" = 0 ] || problems+=" status $STATUS;"
  [ "$(tail -n 1 "$OUT")" = "OK!" ] || problems+=" last line $(tail -n 1 "$OUT");"
  [ -s "$ERR" ] && problems+=" stderr $(head -c 200 "$ERR");"
  [ "$fds" = "0 /dev/null
1 $OUT
2 $ERR
3 socket" ] || problems+=" descriptors: $(echo "$fds" | tr '\n' ',');"
  [ "$(trapper_values)" = "$(expected_run "$n")" ] || problems+=" deliveries differ;"
  [ "$(ls -A /home/quillet | tr '\n' ' ')" = "dnstop_output.txt dump.pcap tcp_dump.pcap tcp_output.txt " ] ||
    problems+=" working directory: $(ls -A /home/quillet | tr '\n' ' ');"
  [ -z "$problems" ] || bad_runs+=("run $n:$problems")
done

expect_eq "runs with a problem" "$(printf '%s\n' "${bad_runs[@]}")" ""
expect_eq "requests received" "$(wc -l <"$TRAPPER_LOG")" $((runs * 42))
expect_eq "temporary files" "$(ls -A "$TMPDIR")" ""

finish
