#!/usr/bin/env bash
# The persistent buffer where it is hardest to keep: runs killed with SIGKILL
# while they write it, a file system that fills up, and two runs that drain one
# buffer at once. Hundreds of runs, so they are made by fast_quillet (the
# program's own entry with one attempt per value and no pause) against the test
# trapper with the instant capture. An outage is a server argument on which
# nothing listens; the trapper on 127.0.0.1:10052 stays up throughout.
#
# BUFFER_SEED=N repeats a suite's random kill moments (the seed is printed);
# BUFFER_ROUNDS=N makes N rounds of two kills instead of 100.
source "$E2E_DIR/lib.sh"
: "${FAST_QUILLET:?FAST_QUILLET must name the fast_quillet driver}"

seed=${BUFFER_SEED:-$((SRANDOM % 32768))}
echo "kill moments from seed $seed (BUFFER_SEED=$seed repeats them)"
RANDOM=$seed

down=127.0.0.1:$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
conf=$SCRATCH/quillet.conf

# use_buffer FILE: the runs keep their values in FILE (a week: nothing ages out).
use_buffer() {
  BUFFER=$1
  mkdir -p "$(dirname "$BUFFER")"
  printf 'EnablePersistentBuffer=1\nPersistentBufferPeriod=7d\nPersistentBufferFile=%s\n' "$BUFFER" >"$conf"
  chmod 600 "$conf"
}

# Each run ranks twenty clients of its own, so that a key names the run it
# came from: run N's are 10.<N/250>.<N%250>.1 to .20.
RUN=0
client_report() {
  local file=$1 n=$2
  {
    printf 'Sources Count %% cum%%\n'
    for k in $(seq 20); do printf '10.%d.%d.%d %d 5.0 %d.0\n' $((n / 250)) $((n % 250)) "$k" $((21 - k)) $((5 * k)); done
  } >"$file"
}

# fast WORKDIR SERVER [DRIVER-OPTIONS...]: the next run, with a report of its
# own, as host dns-lab; stdout, stderr and status in $OUT, $ERR and $STATUS.
# The capture of WORKDIR.tools/bin comes first on PATH.
fast() {
  local work=$1 server=$2
  shift 2
  RUN=$((RUN + 1))
  # The stand-ins and their report lie outside the private working directory,
  # where the contained dnstop's user can read them.
  local tools=$work.tools
  mkdir -p "$work" "$tools"
  chmod 700 "$work"
  [ -x "$tools/bin/tcpdump" ] || bash "$SUPPORT/fake_capture.sh" "$tools/bin" "$tools/report.txt"
  client_report "$tools/report.txt" "$RUN"
  set +e
  # (braces: bash says nothing of a run killed on purpose)
  { PATH="$tools/bin:$PATH" "$FAST_QUILLET" --work-dir "$work" --config "$conf" --attempts 1 \
    --pause-ms 0 --timeout-ms 2000 "$@" -- coletarDns /p "$server" dns-lab >"$OUT" 2>"$ERR"; } 2>/dev/null
  STATUS=$?
  set -e
  cat "$OUT" >>"$SCRATCH/all.out"
}

# kept: "K T" from the run's line of values kept, nothing when it has none.
kept() {
  sed -n 's/^\[ERRO\] [0-9]* de [0-9]* envios ao Zabbix falharam; \([0-9]*\) valores guardados no buffer persistente, que agora tem \([0-9]*\) valores\.$/\1 \2/p' "$OUT"
}

# Every line a run printed about a buffer it could not read, at any point.
unreadable() {
  grep -h "ilegív" "$SCRATCH/all.out" "$ERR" || true
  find "$(dirname "$BUFFER")" -name '*ilegivel*' || true
}

log_lines() { wc -l <"$TRAPPER_LOG"; }

# held: the number of values in the buffer, as a run reads it.
held() { "$FAST_QUILLET" --read-buffer "$BUFFER"; }

# Temporary files of rewrites that a kill cut short.
temporaries() { find "$(dirname "$BUFFER")" -name "$(basename "$BUFFER").tmp" | wc -l; }

# drained FROM TO RUN: "D L" for the requests logged at lines FROM+1..TO: D
# the buffered values among them (the keys of no run RUN's), L the number of
# those in the last request when the last request holds them (else 0).
drained() {
  [ "$2" -gt "$1" ] || { echo 0 0; return; }
  sed -n "$(($1 + 1)),$2p" "$TRAPPER_LOG" |
    awk -v own="[10.$(($3 / 250)).$(($3 % 250))." '
      { n = 0; line = $0
        while (match(line, /"key":"(contDns|percentDns)\[[^]]*\]"/)) {
          if (index(substr(line, RSTART, RLENGTH), own) == 0) n++
          line = substr(line, RSTART + RLENGTH) }
        total += n; last = n }
      END { print total + 0, last + 0 }'
}

start_trapper
fake_capture /dev/null # no run of this suite uses the shared capture

#
# Crashes. Each of 100 rounds kills one run while it keeps its values in the
# buffer (outage) and one while it drains the buffer, each at a random moment
# shortly after a write into the buffer began (the append that keeps values,
# the announcement, the rewrite or a commit of a drain), and reads the file
# back as a run does: it must hold exactly the old or the new content.
#
use_buffer "$SCRATCH/crash/quillet.buffer"
work=$SCRATCH/w1
KEPT_RUNS=()     # runs that said they kept their values, and those of fill
IN_FLIGHT=()     # lines of the trapper log that a killed run may not have taken off the buffer
declare -A kills # what each kill hit

# refill N: N outage runs, 40 values each.
refill() {
  for _ in $(seq "$1"); do
    fast "$work" "$down"
    KEPT_RUNS+=("$RUN")
  done
  read -r k count <<<"$(kept)"
}

# fill N: the values of N more runs written into the buffer by the buffer's
# own code, announced long ago: what the drains take, at a fraction of the
# cost of the runs.
fill() {
  count=$("$FAST_QUILLET" --fill-buffer "$BUFFER" $((RUN + 1)) "$1")
  for _ in $(seq "$1"); do
    RUN=$((RUN + 1))
    KEPT_RUNS+=("$RUN")
  done
}

refill 38
expect_eq "crashes: 38 outage runs keep 40 values each" "$k $count" "40 1520"
verdict_from=$(log_lines)

# random_moment LOW HIGH: a moment in µs, uniformly between the two.
random_moment() { echo $(($1 + ((RANDOM << 15) | RANDOM) % ($2 - $1 + 1))); }
# into_write K US: a kill within US µs of the K-th write into the buffer: into
# the append, or for a drain into its announcement, its rewrite or after a
# commit, into the next request.
into_write() { echo --from-write "$1:$(dirname "$BUFFER")" --kill-after-us "$(random_moment 0 "$2")"; }
# tally WHAT: one more kill that hit WHAT, and whether it left a temporary file.
temps=0
tally() {
  local what=$1
  [ "$(temporaries)" = "$temps" ] || what+=", a temporary file left"
  temps=$(temporaries)
  kills[$what]=$((${kills[$what]:-0} + 1))
}

for _ in $(seq "${BUFFER_ROUNDS:-100}"); do
  # Killed while keeping: the file holds the old values, or those and the
  # run's 40.
  # shellcheck disable=SC2046 # the options are words
  fast "$work" "$down" $(into_write 1 60)
  line=$(kept)
  [ -z "$line" ] || KEPT_RUNS+=("$RUN")
  now=$(held)
  if [ -n "$line" ]; then
    what="ended before the kill"
    [ "$now" = $((count + 40)) ] || what="FAULT: reported kept, $now values after $count"
  elif [ "$now" = "$count" ]; then
    what="killed while keeping: old content"
  elif [ "$now" = $((count + 40)) ]; then
    what="killed while keeping: new content"
  else
    what="FAULT: killed while keeping, $now values after $count"
  fi
  tally "$what"
  count=$now

  # Killed while draining: every request the trapper took is off the buffer,
  # except perhaps the last one. The run announces the outage runs' clients
  # first, rewrites the file, then commits each delivered request.
  from=$(log_lines)
  writes=(1 2 3 5)
  # shellcheck disable=SC2046
  fast "$work" 127.0.0.1 $(into_write "${writes[RANDOM % 4]}" 1500)
  to=$(log_lines)
  read -r d last <<<"$(drained "$from" "$to" "$RUN")"
  [ "$last" = 0 ] || IN_FLIGHT+=("$to")
  now=$(held)
  if [ "$d" = 0 ]; then
    what="killed before draining"
    [ "$now" = "$count" ] || what="FAULT: killed before draining, $now values after $count"
  elif [ "$now" = $((count - d)) ]; then
    what="killed while draining: every delivered request off the buffer"
  elif [ "$last" != 0 ] && [ "$now" = $((count - d + last)) ]; then
    what="killed while draining: the last delivered request still in the buffer"
  else
    what="FAULT: killed while draining, $now values after $count and $d delivered"
  fi
  tally "$what"
  count=$now
  [ "$count" -ge 2000 ] || fill 100
done
for what in "${!kills[@]}"; do printf '  %3d x %s\n' "${kills[$what]}" "$what"; done | sort -k3
expect_eq "crashes: kills after which the buffer held neither the old nor the new content" \
  "$(for what in "${!kills[@]}"; do [[ $what != FAULT* ]] || echo "$what"; done)" ""
expect_eq "crashes: unreadable buffers" "$(unreadable)" ""
# A killed rewrite leaves its temporary file; the next rewrite replaces it.
expect_eq "crashes: temporary files beside the buffer" "$(temporaries | sed 's/^[01]$/at most one/')" "at most one"

# Then the server is back for good: two runs deliver all that is left.
fast "$work" 127.0.0.1
fast "$work" 127.0.0.1
expect_eq "crashes: the buffer after two runs" "$(held)" 0

# At the trapper: every value a run said it kept, once, with one clock; a
# value twice only as often as a killed run's last request may repeat it.
cat >"$SCRATCH/crash_verdict.py" <<'EOF'
import collections, json, sys
start, kept_runs, in_flight = int(sys.argv[1]), sys.argv[2].split(), {int(n) for n in sys.argv[3].split()}
counts = collections.Counter()
clocks = collections.defaultdict(set)
allowed = collections.Counter()
for number, line in enumerate(sys.stdin, start + 1):
    for v in json.loads(line)["data"]:
        if v["key"] == "descobertaDns" or v["key"].startswith("quillet."):
            continue
        counts[v["key"]] += 1
        clocks[v["key"]].add((v.get("clock"), v.get("ns")))
        if number in in_flight:
            allowed[v["key"]] += 1
problems = []
for run in map(int, kept_runs):
    for k in range(1, 21):
        for item in ("contDns", "percentDns"):
            key = "%s[10.%d.%d.%d]" % (item, run // 250, run % 250, k)
            if counts[key] == 0:
                problems.append("missing " + key)
for key, n in counts.items():
    if n > 1 + allowed[key]:
        problems.append("%s delivered %d times" % (key, n))
    if len(clocks[key]) != 1 or None in next(iter(clocks[key])):
        problems.append("%s with clocks %s" % (key, sorted(map(str, clocks[key]))))
print("%d values kept by %d runs, %d delivered twice by a killed run's last request" % (
    40 * len(kept_runs), len(kept_runs), sum(1 for k, n in counts.items() if n > 1)))
print("\n".join(problems[:20]) or "no value missing, none doubled")
EOF
verdict=$(tail -n +$((verdict_from + 1)) "$TRAPPER_LOG" |
  python3 "$SCRATCH/crash_verdict.py" "$verdict_from" "${KEPT_RUNS[*]}" "${IN_FLIGHT[*]}")
echo "$verdict" | head -1
expect_eq "crashes: at the trapper" "$(echo "$verdict" | tail -n +2)" "no value missing, none doubled"

#
# A full file system: the values that do not fit are lost with a line that
# says so, and the buffer keeps its old content, without a temporary file.
#
small=$SCRATCH/small
mkdir -p "$small"
mount -t tmpfs -o size=256k,mode=700 tmpfs "$small"
use_buffer "$small/quillet.buffer"
work=$SCRATCH/w2
for _ in 1 2 3; do fast "$work" "$down"; done
expect_eq "full disk: three outage runs" "$(kept)" "40 120"
cp "$BUFFER" "$SCRATCH/before-full"
dd if=/dev/zero of="$small/filler" bs=1k 2>/dev/null || true
fast "$work" "$down"
expect_eq "full disk: status" "$STATUS" 1
expect_eq "full disk: the line" \
  "$(grep -c "^\[ERRO\] Buffer persistente: não foi possível gravar $BUFFER: No space left on device; 40 valores perdidos\.$" "$OUT")" 1
echo "full disk: the run printed:"
sed 's/^/  /' "$OUT"
check "full disk: the buffer unchanged" cmp -s "$BUFFER" "$SCRATCH/before-full"
expect_eq "full disk: the files" "$(find "$small" -mindepth 1 -printf '%f\n' | sort | tr '\n' ' ')" "filler quillet.buffer quillet.buffer.lock "
rm "$small/filler"
fast "$work" "$down"
expect_eq "full disk: room again, the old content reads back" "$(kept)" "40 160"
umount "$small"

#
# Two runs drain one buffer at once, in three rounds that start the second
# run 0, 30 and 90 ms after the first; the trapper takes a few milliseconds
# for each request, so that both are still at work when one of them drains.
# Every buffered value arrives once.
#
use_buffer "$SCRATCH/shared/quillet.buffer"
stop_trapper
start_trapper drip --drip-pieces 2 --drip-gap 2
for delay in 0 0.03 0.09; do
  first=$((RUN + 1))
  fill 13
  buffered=$count
  new_deliveries
  mark=$TRAPPER_MARK
  (OUT=$SCRATCH/a.out ERR=$SCRATCH/a.err fast "$SCRATCH/wa" 127.0.0.1) &
  a=$!
  sleep "$delay"
  (RUN=$((RUN + 1)) OUT=$SCRATCH/b.out ERR=$SCRATCH/b.err fast "$SCRATCH/wb" 127.0.0.1) &
  b=$!
  wait "$a" "$b"
  lines=$(cat "$SCRATCH/a.out" "$SCRATCH/b.out" | grep "Buffer persistente" || true)
  echo "two runs, ${delay}s apart, $buffered values buffered:"
  printf '%s\n' "$lines" | sed 's/^/  /'
  expect_eq "two runs ${delay}s apart: both delivered their own values" \
    "$(tail -qn 1 "$SCRATCH/a.out" "$SCRATCH/b.out" | tr '\n' ' ')" "OK! OK! "
  expect_eq "two runs ${delay}s apart: what they said they delivered" \
    "$(echo "$lines" | sed -n 's/.*: \([0-9]*\) valores guardados entregues.*restam 0\.$/\1/p' | awk '{ s += $1 } END { print s + 0 }')" "$buffered"
  verdict=$(tail -n +$((mark + 1)) "$TRAPPER_LOG" | python3 -c '
import collections, json, sys
first, last = int(sys.argv[1]), int(sys.argv[2])
counts = collections.Counter()
for line in sys.stdin:
    for v in json.loads(line)["data"]:
        counts[(v["key"], v.get("clock"), v.get("ns"))] += 1
problems = []
for run in range(first, last + 1):
    for k in range(1, 21):
        for item in ("contDns", "percentDns"):
            key = "%s[10.%d.%d.%d]" % (item, run // 250, run % 250, k)
            found = [n for (name, _, _), n in counts.items() if name == key]
            if found != [1]:
                problems.append("%s: %s" % (key, found))
print("\n".join(problems[:20]) or "every value once")' "$first" "$((first + 12))")
  expect_eq "two runs ${delay}s apart: at the trapper" "$verdict" "every value once"
  # The order the trapper took the requests in: a and b for the two runs' own
  # values, D for a request of buffered values.
  echo "  requests in order: $(tail -n +$((mark + 1)) "$TRAPPER_LOG" | awk -v a="10.$(((first + 13) / 250)).$(((first + 13) % 250))." \
    -v b="10.$(((first + 14) / 250)).$(((first + 14) % 250))." '
    { c = index($0, a) ? "a" : index($0, b) ? "b" : "D"
      if (c == last) { n++ } else { if (last != "") printf "%s%d ", last, n; last = c; n = 1 } }
    END { printf "%s%d\n", last, n }')"
  RUN=$((RUN + 2))
done

#
# A lock that another process holds for ever costs a run 30 s, not its values.
#
use_buffer "$SCRATCH/held/quillet.buffer"
# The holder is one process (the sleep holds the locked descriptor), so that
# killing it frees the lock and leaves nothing on the suite's output.
(
  exec 9>"$BUFFER.lock"
  flock 9
  exec sleep 600
) </dev/null >/dev/null 2>&1 &
holder=$!
sleep 0.2
start=$(date +%s.%N)
fast "$SCRATCH/w3" 127.0.0.1
lasted=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
kill "$holder"
check "a lock held for ever: the run ended within 45 s ($lasted s)" awk -v s="$lasted" 'BEGIN { exit !(s < 45) }'
expect_eq "a lock held for ever: what the run said" "$(tail -n 2 "$OUT")" \
  "[AVISO] Buffer persistente: outro processo retém $BUFFER.lock há mais de 30 s; a coleta segue sem esperar por ele."$'\n'"OK!"

finish
