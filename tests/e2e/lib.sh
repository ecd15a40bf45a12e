# shellcheck shell=bash
# Shared by the end-to-end suites: each suite sources this file first and is
# then run again inside the sandbox of tests/support/sandbox.sh (own network and
# mount namespaces, tmpfs /home holding /home/quillet, /etc as an overlay, a
# veth pair whose one end is ens18), where a test trapper listens on
# 127.0.0.1:10052 and the suite's scratch directory lies on that tmpfs, so
# nothing outlives the suite. A suite that cannot have its sandbox exits 77
# (skipped) with the reason.
#
# Environment from CTest: QUILLET_BIN (the binary), FAKE_TRAPPER (the test
# trapper), E2E_DIR (this directory), QUILLET_VERSION (the version the binary
# prints).

set -euo pipefail

: "${QUILLET_BIN:?QUILLET_BIN must name the quillet binary}"
: "${FAKE_TRAPPER:?FAKE_TRAPPER must name the fake_trapper binary}"
: "${QUILLET_VERSION:?QUILLET_VERSION must name the version of the binary}"
SUPPORT=$E2E_DIR/../support

if [ -z "${QUILLET_SANDBOX:-}" ]; then
  exec bash "$SUPPORT/sandbox.sh" --ens18 -- bash "$0" "$@"
fi

SCRATCH=/home/scratch
mkdir -p "$SCRATCH/bin"
# The TCP reader is found on PATH, as dnstop is: the one built beside quillet.
export PATH="$SCRATCH/bin:$(dirname "$QUILLET_BIN"):$PATH"
TRAPPER_LOG=$SCRATCH/trapper.log
TRAPPER_PID=

source "$SUPPORT/checks.sh"

NAMED_TRAPPER_PIDS=()
cleanup() {
  if [ -n "$TRAPPER_PID" ]; then kill "$TRAPPER_PID" 2>/dev/null || true; fi
  for pid in "${NAMED_TRAPPER_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

# expect_file_eq WHAT FILE EXPECTED-TEXT (compared byte for byte, final newline included)
expect_file_eq() {
  checks=$((checks + 1))
  if ! diff <(printf '%s' "$3") "$2" >"$SCRATCH/diff" 2>&1; then
    fail "$1"
    sed 's/^/  /' "$SCRATCH/diff"
  fi
}

# run_quillet ARGS...: runs the binary; its stdout, stderr and status land in
# $OUT, $ERR and $STATUS.
OUT=$SCRATCH/stdout
ERR=$SCRATCH/stderr
STATUS=
run_quillet() {
  set +e
  "$QUILLET_BIN" "$@" >"$OUT" 2>"$ERR"
  # shellcheck disable=SC2034 # read by the suites that source this file
  STATUS=$?
  set -e
}

# capture_line [INTERFACE]: the console line of a collection's captures on
# INTERFACE (ens18 by default).
capture_line() {
  local words="-i ${1:-ens18}"
  [ "${1:-}" != any ] || words="$words -y LINUX_SLL"
  echo "[DEBUG] Executando: timeout 5 tcpdump --immediate-mode -B 65536 -s 512 $words -w" \
    "/home/quillet/dump.pcap udp port 53 & timeout 5 tcpdump --immediate-mode -B 32768 -s 65535" \
    "$words -w /home/quillet/tcp_dump.pcap 'tcp port 53 or (ip[6:2] & 0x1fff != 0 and ip[9] = 6)" \
    "or (ip6[6] = 44 and ip6[40] = 6)'"
}

# What a delivering run sends after its clients' values: what it could not
# count, as trapper_values shows it for HOST (all 0 with the fake capture).
UNCOUNTED_KEYS="quillet.capture.dropped quillet.tcp.left_out quillet.tcp.before_window quillet.tcp.broken"
uncounted_values() {
  local key
  for key in $UNCOUNTED_KEYS; do echo "$1 $key=0"; done
}

# fake_capture REPORT-FILE [DNSTOP-STATUS]: the instant capture of
# tests/support/fake_capture.sh, first on PATH.
fake_capture() {
  bash "$SUPPORT/fake_capture.sh" "$SCRATCH/bin" "$@"
}

# start_trapper [SCRIPT [FAKE_TRAPPER-OPTIONS...]]: a test trapper on
# 127.0.0.1:10052 (unless the options say --listen) that logs every request
# body to $TRAPPER_LOG, one per line.
start_trapper() {
  local ready=$SCRATCH/trapper.ready script=${1:-}
  shift || true
  rm -f "$ready" "$TRAPPER_LOG"
  "$FAKE_TRAPPER" --listen 127.0.0.1:10052 --log "$TRAPPER_LOG" --ready "$ready" \
    ${script:+--script "$script"} "$@" &
  TRAPPER_PID=$!
  wait_ready "$ready"
}

wait_ready() {
  for _ in $(seq 100); do
    [ -e "$1" ] && return 0
    sleep 0.05
  done
  echo "the test trapper did not start"
  exit 1
}

# start_named_trapper NAME ADDR:PORT [FAKE_TRAPPER-OPTIONS...]: one more test
# trapper, which logs request bodies to $SCRATCH/NAME.log and its clients'
# addresses to $SCRATCH/NAME.peers, one line per request.
start_named_trapper() {
  local name=$1 listen=$2
  shift 2
  rm -f "$SCRATCH/$name".{ready,log,peers}
  "$FAKE_TRAPPER" --listen "$listen" --log "$SCRATCH/$name.log" --peers "$SCRATCH/$name.peers" \
    --ready "$SCRATCH/$name.ready" "$@" &
  NAMED_TRAPPER_PIDS+=($!)
  wait_ready "$SCRATCH/$name.ready"
}

stop_named_trappers() {
  for pid in "${NAMED_TRAPPER_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${NAMED_TRAPPER_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  NAMED_TRAPPER_PIDS=()
}

# keys_at NAME: the item keys that trapper NAME received, in order, on one line.
keys_at() {
  trapper_values "$SCRATCH/$1.log" | sed 's/^[^ ]* //; s/=.*//' | tr '\n' ' ' | sed 's/ $//'
}

stop_trapper() {
  if [ -n "$TRAPPER_PID" ]; then
    kill "$TRAPPER_PID" 2>/dev/null || true
    wait "$TRAPPER_PID" 2>/dev/null || true
    TRAPPER_PID=
  fi
}

# new_deliveries: from now on trapper_values shows only what arrives later.
TRAPPER_MARK=0
new_deliveries() {
  TRAPPER_MARK=$( [ -f "$TRAPPER_LOG" ] && wc -l <"$TRAPPER_LOG" || echo 0)
}

# The requests the trapper logged since new_deliveries (or all that LOG holds),
# one "host key=value" line per value.
trapper_values() {
  local log=${1:-$TRAPPER_LOG} mark=$TRAPPER_MARK
  [ -n "${1:-}" ] && mark=0
  [ -f "$log" ] || return 0
  tail -n +$((mark + 1)) "$log" | python3 -c '
import json, sys
for line in sys.stdin:
    for item in json.loads(line)["data"]:
        print(item["host"] + " " + item["key"] + "=" + item["value"])
'
}
