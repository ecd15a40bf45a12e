#!/usr/bin/env bash
# quillet against a real Zabbix server (Debian's: 6.0 on Debian 12, 7.0 on 13),
# on real captured DNS traffic.
#
#   real_zabbix_test.sh [REPO-ROOT]        (QUILLET_BIN names the binary)
#   real_zabbix_test.sh --stand-in [REPO-ROOT]
#
# In network, mount and PID namespaces of its own: starts PostgreSQL, Zabbix
# server (trapper 127.0.0.1:10052) and the frontend API (tests/zabbix/
# zabbix_env.sh), imports the shipped template through the API (the 7.0
# export on 7.0 and later) without a warning of the frontend, creates a host
# linked to it, then runs `quillet coletarDns /tmp 127.0.0.1 <host>` twice on
# traffic of 22 simulated clients (tests/support/dns_traffic.sh; two of them
# send over TCP, one of those over UDP too) and reads back
# what Zabbix stored: the discovered items, the counts and percentages of the
# twenty busiest clients (each value exactly once), the problems of the trigger
# prototype, named with their share and count, and what each widget of the
# host's dashboard shows (the items, graphs and patterns it names exist on the
# host after discovery). A value sent twice with the same clock and ns is
# stored once.
# Last, the debug listing of the same traffic. /home is a tmpfs holding
# /home/quillet.
#
# The first run's values mostly fail: the server takes values for a discovered
# item only once its configuration cache knows the item, and the values follow
# the discovery within milliseconds. The run says how many were refused
# ("processed: 0; failed: 1" replies), which must match what Zabbix kept; the
# second run's values, sent once the items are known, are all stored. A run
# under a host name the server does not know says that the discovery was
# refused and ends with status 1.
#
# Then the server moves to the stock trapper port 10051 with a certificate of
# its own (a test PKI made with openssl), and quillet runs configured by
# /etc/quillet/quillet.conf (ServerPort=10051): with a PSK to a host that
# accepts PSK only, with certificates to a host that accepts certificates only
# (every value stored), unencrypted to the PSK host (the discovery refused,
# status 1), and with a key the server does not know (five red lines, given up).
#
# Then a cluster and, on 7.0, a proxy group: the silence trigger of the
# template has fired since the host's last values (a host macro shortens its
# window to 30 s); a second HA node joins as standby, and a run given
# "standby;active" stores every value (and ends the silence); the active node
# stops, the standby takes over, and a run given "stopped;active" stores every
# value. On Zabbix 7.0 two proxies form a group that monitors the host and
# twenty more: a run sent to the proxy the host is not assigned to is
# redirected (one connection to that proxy, the rest to the host's) and stores
# every value; twenty runs with a faked capture deliver at once through that
# proxy (every value stored, timed); the host's proxy stops, the group moves
# the host to the other (timed), and the next run stores every value again.
# Every run whose values must all be stored has its discovery processed too:
# its items were last discovered by a value of the run's time or later.
#
# --stand-in replaces the binary by a small script (tcpdump, the query counter
# of tests/support/dns_queries.py, awk and zabbix_sender) that sends the same
# items; it checks the server, the template and the traffic on their own.
#
# Exit status: 0 passed, 1 failed, 77 skipped (no root, no namespaces, or the
# Zabbix packages are not installed: see tests/zabbix/packages.txt).
#
# Environment: QUILLET_BIN (default REPO-ROOT/build/quillet); ZBX_KEEP_DIR: a
# folder on disk where the server's data is kept between runs (start then takes
# about a second instead of a minute); the test deletes and recreates its host
# there. Without it the data lives on a tmpfs of the test's mount namespace.
set -euo pipefail

STAND_IN=0
if [ "${1:-}" = --stand-in ]; then
  STAND_IN=1
  shift
fi
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "${1:-$HERE/../..}" && pwd)
QUILLET_BIN=${QUILLET_BIN:-$REPO/build/quillet}
TRAFFIC=$REPO/tests/support/dns_traffic.sh
export QUERIES=$REPO/tests/support/dns_queries.py
ENV_SH=$HERE/zabbix_env.sh
API=$HERE/zbx_api.py
TEMPLATE_NAME='quillet DNS top clients'
HOST=dns-lab
CAPTURE_LINE="[DEBUG] Executando: timeout 5 tcpdump --immediate-mode -B 65536 -s 512 -i ens18 -w /home/quillet/dump.pcap udp port 53 & timeout 5 tcpdump --immediate-mode -B 32768 -s 65535 -i ens18 -w /home/quillet/tcp_dump.pcap 'tcp port 53 or (ip[6:2] & 0x1fff != 0 and ip[9] = 6) or (ip6[6] = 44 and ip6[40] = 6)'"
export CAPTURE_LINE
AVISO_TAIL='valores: endereços novos só são aceitos depois que a descoberta cria seus itens.'

skip() {
  echo "SKIPPED: $*"
  exit 77
}

if [ -z "${QUILLET_SANDBOX:-}" ]; then
  [ "$(id -u)" = 0 ] || skip "needs root (namespaces, tmpfs, PostgreSQL and Zabbix as their users)"
  missing=()
  for tool in zabbix_server php zabbix_sender tcpdump dnstop ip nsenter unshare setpriv python3; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || missing+=(initdb)
  [ -f /usr/share/zabbix/api_jsonrpc.php ] || missing+=(zabbix-frontend-php)
  [ ${#missing[@]} -eq 0 ] ||
    skip "not installed: ${missing[*]} (scripts/install_deps.sh zabbix test runtime)"
  if [ "$STAND_IN" = 0 ] && [ ! -x "$QUILLET_BIN" ]; then
    echo "FAIL: no quillet binary at $QUILLET_BIN (set QUILLET_BIN)"
    exit 1
  fi
  # In a PID namespace of its own, everything the test starts dies with it,
  # whatever way the test ends.
  args=("$REPO")
  [ "$STAND_IN" = 0 ] || args=(--stand-in "$REPO")
  exec env QUILLET_BIN="$QUILLET_BIN" bash "$REPO/tests/support/sandbox.sh" --pid -- bash "$0" "${args[@]}"
fi

# ---------------------------------------------------------------------------
# Inside the sandbox: one network namespace holds the Zabbix server on its
# loopback, ens18 and the DNS responder; quillet runs here too. The server's
# data lives on the tmpfs of /home too (about 130 MB), unless kept. The
# overlay of /etc stands below the frontend's bind mount over /etc/zabbix.

if [ -n "${ZBX_KEEP_DIR:-}" ]; then
  export ZBX_ENV_DIR=$ZBX_KEEP_DIR
  STOP_ARGS=(--keep-data)
else
  export ZBX_ENV_DIR=/home/zabbix-env
  STOP_ARGS=()
fi
export ZBX_PRIVATE_ETC=1
# The server is node-a of an HA cluster from the start; the cluster phase adds
# the standby node.
export ZBX_HA_NODE=node-a
SERVER_PORT=10052
eval "$("$ENV_SH" env)"
export ZBX_API_URL
SCRATCH=/home/scratch
mkdir -p "$SCRATCH"

source "$REPO/tests/support/checks.sh"

now() { date +%s.%N; }
TIMINGS=()
# timed NAME START: records how long a phase took.
timed() { TIMINGS+=("$(awk -v s="$2" -v e="$(now)" -v n="$1" 'BEGIN { printf "%-40s %6.1f s", n, e - s }')"); }

cleanup() {
  local status=$?
  "$ENV_SH" stop "${STOP_ARGS[@]}" >/dev/null 2>&1 || true
  exit "$status"
}
trap cleanup EXIT

# The stand-in: what a collection run sends, made of the tools themselves.
STAND_IN_BIN=$SCRATCH/stand-in.sh
cat >"$STAND_IN_BIN" <<'EOF'
#!/usr/bin/env bash
# Temporary stand-in for `quillet coletarDns PATH SERVER HOST`.
set -u
server=$3 host=${!#}
dump=/home/quillet/dump.pcap report=/home/quillet/dnstop_output.txt
rm -f "$dump" "$report"
echo "$CAPTURE_LINE"
timeout 5 tcpdump --immediate-mode -s 512 -i ens18 -w "$dump" port 53 >/dev/null 2>&1
# Queries per source over UDP and TCP; the server's own addresses are no client.
/usr/bin/python3 "$QUERIES" count "$dump" >"$report" || exit 1
rows=$(awk '$1 != "unframed" && $1 != "192.0.2.1" && $1 != "2001:db8::1" { n[$1] = $2 + $3; t += $2 + $3 }
            END { for (a in n) printf "%s %d %.1f\n", a, n[a], n[a] * 100 / t }' "$report" |
  sort -s -k2,2nr | head -n 20)
if [ "$host" = debug ]; then
  printf 'Modo DEBUG ativado:\n\e[0;32m\nVersão do script: %s\e[0;0m\n' "${QUILLET_VERSION:-?}"
  awk '{ printf "{\x27{#SOURCE}\x27: \x27%s\x27, \x27{#CONTAGEM}\x27: %s, \x27{#PERCENTUAL}\x27: %s}\n", $1, $2, $3 }' <<<"$rows"
  exit 0
fi
doc=$(awk 'BEGIN { printf "{\"data\": [" } NF { printf "%s{\"{#SOURCE}\": \"%s\", \"{#CONTAGEM}\": %s, \"{#PERCENTUAL}\": %s}", (n++ ? ", " : ""), $1, $2, $3 } END { printf "]}" }' <<<"$rows")
refused() { sed -n 's/.*failed: \([0-9]*\);.*/\1/p' <<<"$1" | head -n 1; }
reply=$(zabbix_sender -z "$server" -p 10052 -s "$host" -k descobertaDns -o "$doc")
awk -v h="$host" 'NF { print h, "contDns[" $1 "]", $2; print h, "percentDns[" $1 "]", $3 }' <<<"$rows" >/home/quillet/values
values=$(zabbix_sender -z "$server" -p 10052 -i /home/quillet/values)
if [ "$(refused "$reply")" != 0 ]; then
  echo "[ERRO] O Zabbix recusou a descoberta (descobertaDns) do host \"$host\": confira o nome do host, o template e os hosts permitidos."
  exit 1
fi
n=$(refused "$values")
if [ "${n:-0}" -gt 0 ]; then
  echo "[AVISO] O Zabbix recusou $n de $(wc -l </home/quillet/values) valores: endereços novos só são aceitos depois que a descoberta cria seus itens."
fi
echo "OK!"
EOF
chmod +x "$STAND_IN_BIN"
if [ "$STAND_IN" = 1 ]; then
  BIN=$STAND_IN_BIN
  echo "NOTE: the stand-in script replaces the quillet binary in this run"
else
  BIN=$QUILLET_BIN
  # The TCP reader, found on PATH as dnstop is: the one built beside quillet.
  PATH="$(dirname "$QUILLET_BIN"):$PATH"
fi

# wait_accepted KEY VALUE [HOST ZABBIX_SENDER-OPTIONS...]: sends KEY=VALUE for
# HOST (the test host; with "-p 10052" when no options are given) until the
# server keeps it ("processed: 1"), for at most 20 s; the last reply is in $REPLY.
wait_accepted() {
  local i host=${3:-$HOST} options=("${@:4}")
  [ ${#options[@]} -gt 0 ] || options=(-p 10052)
  for ((i = 0; i < 100; i++)); do
    REPLY=$(zabbix_sender -z 127.0.0.1 "${options[@]}" -s "$host" -k "$1" -o "$2" 2>&1 || true)
    [[ $REPLY == *"processed: 1;"* ]] && return 0
    sleep 0.2
  done
  return 1
}

# collect HOST OUTFILE [SERVER]: one collection run on the traffic of the
# default plan, sending to SERVER (default 127.0.0.1).
collect() {
  set +e
  "$TRAFFIC" --ready-file /home/quillet/dump.pcap -- "$BIN" coletarDns /tmp "${3:-127.0.0.1}" "$1" \
    >"$2" 2>"$2.err"
  RUN_STATUS=$?
  set -e
  sed 's/^/  | /' "$2.err"
}

# stored_all HOST SINCE WHAT: every value of a run since SINCE reached the
# server (from a proxy, within a second or two), each exactly once.
stored_all() {
  local i rows
  for ((i = 0; i < 50; i++)); do
    rows=$("$API" history "$1" --since "$2" | cut -d' ' -f2- | LC_ALL=C sort)
    [ "$(wc -l <<<"$rows")" -ge 40 ] && break
    sleep 0.2
  done
  expect_eq "$3: values stored, each once (key value)" "$rows" "$expected_values"
}

# discovered_since HOST SINCE WHAT: the discovery rule has listed every item of
# HOST again in a discovery value of SINCE or later, so a run that began at
# SINCE had its own discovery processed, whoever discovered the items first.
discovered_since() {
  local i at
  for ((i = 0; i < 50; i++)); do
    at=$("$API" discovered-at "$1")
    at_or_after "$at" "$2" && break
    sleep 0.2
  done
  check "$3: its discovery processed (items last discovered at $at, the run began at $2)" \
    at_or_after "$at" "$2"
}
# at_or_after CLOCK SINCE: CLOCK is a number, SINCE or later.
at_or_after() { [[ $1 =~ ^[0-9]+$ ]] && (($1 >= $2)); }

# stored_run HOST RUN WHAT [SERVER]: a run of HOST (its output in
# $SCRATCH/RUN) that ends with OK!, whose discovery is processed and whose
# values are all stored.
stored_run() {
  local since
  since=$(date +%s)
  collect "$1" "$SCRATCH/$2" "${4:-}"
  expect_eq "$3: status" "$RUN_STATUS" 0
  expect_eq "$3: output" "$(cat "$SCRATCH/$2")" "$CAPTURE_LINE"$'\n'"OK!"
  stored_all "$1" "$since" "$3"
  discovered_since "$1" "$since" "$3"
}

# fails COMMAND...: the command must fail (its output is dropped).
fails() { ! "$@" >/dev/null 2>&1; }

# --- the server, the template and the host ---------------------------------
t=$(now)
"$ENV_SH" start | sed 's/^/  /'
timed "server start" "$t"
zabbix_version=$("$API" version)
echo "Zabbix $zabbix_version started"

t=$(now)
# The template's export for the version: 7.0 and later get the richer dashboard.
TEMPLATE=$REPO/zabbix/quillet_template.yaml
[ "${zabbix_version%%.*}" -lt 7 ] || TEMPLATE=$REPO/zabbix/quillet_template_7.0.yaml
php_log=$ZBX_ENV_DIR/php/php.log
php_log_size=$(stat -c %s "$php_log")
"$API" import "$TEMPLATE" >/dev/null
expect_eq "import of ${TEMPLATE##*/}: no warning of the frontend" \
  "$(tail -c "+$((php_log_size + 1))" "$php_log" | grep -i -E 'warning|deprecated|notice|error' || true)" ""
# The limits of the share trigger, set to pick known clients of the plan: the host's
# own limit (12: 192.0.2.10 at 15.0 % is over it, 2001:db8::10 at exactly 12.0 %
# is not), two per-client limits (one for an IPv6 address), and one client whose
# share is over its limit but whose count (8) is under {$DNS.TOP.MIN.QUERIES}.
# The NXDOMAIN limit under the 0.2 % of the plan's two answers NXDOMAIN of 1000.
# The silence alarm's window and interval, shortened for the silence check.
SILENCE_WINDOW=30 SILENCE_INTERVAL=5
# shellcheck disable=SC2016 # Zabbix macros, not shell expansions
"$API" host-create "$HOST" "$TEMPLATE_NAME" --macro '{$DNS.TOP.PCT.MAX}=12' \
  --macro '{$DNS.TOP.PCT.MAX:"192.0.2.11"}=9.5' \
  --macro '{$DNS.TOP.PCT.MAX:"2001:db8:ffff:1:2:3:4:5"}=8.9' \
  --macro '{$DNS.TOP.PCT.MAX:"192.0.2.22"}=0' --macro '{$QUILLET.NXDOMAIN.PCT.MAX}=0.1' \
  --macro "{\$QUILLET.SILENCE}=${SILENCE_WINDOW}s" --macro "{\$QUILLET.SILENCE.INTERVAL}=${SILENCE_INTERVAL}s" >/dev/null
# The server accepts values for a new host once its configuration cache has
# synced; an empty discovery document tells when.
wait_accepted descobertaDns '{"data": []}' || {
  fail "the server never accepted values for host $HOST: $REPLY"
  exit 1
}
timed "template import, host, cache sync" "$t"

mapfile -t expected_rows < <("$TRAFFIC" expect | head -n 20)
expected_values=$(for row in "${expected_rows[@]}"; do
  read -r a c p <<<"$row"
  echo "contDns[$a] $c"
  echo "percentDns[$a] $p"
done | LC_ALL=C sort)
expected_items=$(awk '{ print $1, ($1 ~ /^contDns/ ? 3 : 0), 0, "-" }' <<<"$expected_values")

# --- first run: discovery ----------------------------------------------------
t=$(now)
t1=$(date +%s)
collect "$HOST" "$SCRATCH/run1"
timed "first run" "$t"
expect_eq "first run: status" "$RUN_STATUS" 0
# Values sent within milliseconds of their discovery are refused: the run says
# how many, and that figure must match what the server kept.
run1_refused=$(sed -n "s/^\[AVISO\] O Zabbix recusou \([0-9]*\) de 40 $AVISO_TAIL\$/\1/p" "$SCRATCH/run1")
check "first run: the refused values are said ($(sed -n 2p "$SCRATCH/run1"))" test -n "$run1_refused"
expect_eq "first run: output" "$(cat "$SCRATCH/run1")" \
  "$CAPTURE_LINE"$'\n'"[AVISO] O Zabbix recusou ${run1_refused:-?} de 40 $AVISO_TAIL"$'\n'"OK!"

t=$(now)
waited=$("$API" wait-items "$HOST" 40 --timeout 30) || {
  fail "discovery did not create 40 items"
  waited="(never)"
}
expect_eq "discovered items (key, value type, state, error)" \
  "$("$API" items "$HOST" | LC_ALL=C sort)" "$expected_items"
for ((i = 0; i < 15; i++)); do
  run1_stored=$("$API" history "$HOST" --since "$t1" | wc -l)
  [ $((run1_stored + ${run1_refused:-0})) -ge 40 ] && break
  sleep 0.2
done
expect_eq "first run: refused and stored values make 40" $((run1_stored + ${run1_refused:-0})) 40
# New items reach the trapper with the next configuration sync (every second;
# the reload asks for one at once). All items of a discovery come in the same
# sync, so one probe value tells when: it goes to the quietest client's count
# and is stored before the second run's start second, which the checks below
# do not look at.
zabbix_server -c "$ZBX_SERVER_CONF" -R config_cache_reload >/dev/null
read -r quietest _ <<<"${expected_rows[-1]}"
wait_accepted "contDns[$quietest]" 0 || fail "the server never accepted values for the discovered items: $REPLY"
sleep 1
timed "discovery, cache sync" "$t"
echo "first run: all items there ${waited} s after the run; $run1_stored of 40 values stored," \
  "${run1_refused:-?} refused (sent before the server knew their items)"

# --- second run: values ------------------------------------------------------
# With the ranked table and the tables of names and answers, which the debug
# run's listing shows as well.
install -d -m 755 /etc/quillet
printf '%s\n' EnableRanking=1 EnableQueryTables=1 EnableResponseCodes=1 >/etc/quillet/quillet.conf
t=$(now)
t2=$(date +%s)
collect "$HOST" "$SCRATCH/run2"
timed "second run" "$t"
expect_eq "second run: status" "$RUN_STATUS" 0
expect_eq "second run: output" "$(cat "$SCRATCH/run2")" "$CAPTURE_LINE"$'\n'"OK!"

t=$(now)
stored_all "$HOST" "$t2" "second run"
expect_eq "second run: one value per item" "$("$API" history "$HOST" --since "$t2" | wc -l)" 40
run2_clock=$("$API" history "$HOST" --since "$t2" | awk -F. 'NR == 1 { print $1 }')
# What the quiet run could not count, as it sent it: 0 each, at the run's clock.
UNCOUNTED_KEYS="quillet.capture.dropped quillet.tcp.left_out quillet.tcp.before_window quillet.tcp.broken"
for ((i = 0; i < 25; i++)); do
  uncounted=$(for key in $UNCOUNTED_KEYS; do echo "$key $("$API" item "$HOST" "$key")"; done)
  [[ $uncounted != *" 0 0 "* ]] && break
  sleep 0.2
done
expect_eq "second run: the not-counted items (key state clock value error)" "$uncounted" \
  "$(for key in $UNCOUNTED_KEYS; do echo "$key 0 $run2_clock 0 -"; done)"
expect_eq "items supported after the second run" \
  "$("$API" items "$HOST" | LC_ALL=C sort)" "$expected_items"
expected_problems=$(printf '%s\n' \
  "DNS client 192.0.2.10 sends more than 12% of all queries" \
  "DNS client 192.0.2.11 sends more than 9.5% of all queries" \
  "DNS client 2001:db8:ffff:1:2:3:4:5 sends more than 8.9% of all queries" \
  "$([ "$STAND_IN" = 1 ] || echo "DNS server answers more than 0.1% NXDOMAIN or 10% SERVFAIL")" | sed '/^$/d')
for ((i = 0; i < 25; i++)); do
  problems=$("$API" problems "$HOST")
  [ "$problems" = "$expected_problems" ] && break
  sleep 0.2
done
expect_eq "problems" "$problems" "$expected_problems"
# The problems as listed: their event names carry share and count.
expect_eq "problems: their names" "$("$API" events "$HOST" --since "$t1" | sed -n 's/^[0-9]* 1 \(DNS client .*\)/\1/p' | LC_ALL=C sort -u)" \
  "$(printf '%s\n' \
    "DNS client 192.0.2.10 sends 15 % of all queries (150 queries in 5 s), over its limit of 12 %" \
    "DNS client 192.0.2.11 sends 10 % of all queries (100 queries in 5 s), over its limit of 9.5 %" \
    "DNS client 2001:db8:ffff:1:2:3:4:5 sends 9 % of all queries (90 queries in 5 s), over its limit of 8.9 %")"
[ "$STAND_IN" = 1 ] || expect_eq "problems: the answers' name" "$("$API" events "$HOST" --since "$t1" | sed -n 's/^[0-9]* 1 \(DNS server .*\)/\1/p' | LC_ALL=C sort -u)" \
  "DNS server answers 0.2 % NXDOMAIN and 0 % SERVFAIL (1000 answers in 5 s), over its limits of 0.1 % and 10 %"
# The dashboard of the linked host: each widget shows what discovery made.
ranked="'DNS clients ranked by queries, last run': item quillet.ranking"
client_names="'Names asked most by the ranked clients, last run': item quillet.client_names"
names="'Names asked most, last run': item quillet.names"
types="'Query types, last run': item quillet.qtypes"
client_rcodes="'Answers of the ranked clients by response code, last run': item quillet.client_rcodes"
clients="item 'DNS clients with data from quillet': item quillet.clients"
widgets=("plaintext $ranked" "plaintext $client_names" "plaintext $names"
  "graphprototype 'Queries and share per client': 20 graphs of its graph prototype"
  "graph 'Response codes of the answers': graph 'quillet: response codes of the answers'"
  "plaintext $types" "plaintext $client_rcodes"
  "graph 'What the runs could not count': graph 'quillet: what the runs could not count'" "$clients")
[ "${zabbix_version%%.*}" -lt 7 ] || widgets=("itemhistory $ranked" "itemhistory $client_names"
  "itemhistory $names" "svggraph 'Queries per client in the 5-s capture': 20 items named 'DNS client *: queries'"
  "piechart 'Share of all queries, last run': 20 items named 'DNS client *: share of queries'"
  "piechart 'Response codes of the answers, last run': $(for kind in NOERROR NXDOMAIN SERVFAIL REFUSED other; do
    echo "1 items named 'Share of answers: $kind'"; done | paste -sd, | sed 's/,/, /g')"
  "itemhistory $types" "problems 'Problems of this DNS server': -" "itemhistory $client_rcodes"
  "honeycomb 'What the runs could not count': 4 items named 'Not counted: *'" "$clients")
expect_eq "the host's dashboard" "$("$API" dashboard "$HOST")" "$(printf "$TEMPLATE_NAME: %s\n" "${widgets[@]}")"
timed "read-back" "$t"

echo "Zabbix holds for $HOST (second run):"
"$API" latest "$HOST" --since "$t2" | LC_ALL=C sort | sed 's/^/  /'

# --- the same value twice ------------------------------------------------------
# A request sent again after its reply was lost carries the same clock and ns
# as the first. Zabbix keeps one row per (item, clock, ns). A later value of
# the same item, stored only after both, tells when to look. The clocks lie
# before the second run, where no check looks.
t=$(now)
twice=$((t2 - 600))
printf '%s contDns[%s] %s 123456789 7\n' "$HOST" "$quietest" "$twice" >"$SCRATCH/twice"
printf '%s contDns[%s] %s 0 8\n' "$HOST" "$quietest" $((twice + 1)) >"$SCRATCH/after-twice"
twice_replies=()
for file in twice twice after-twice; do
  twice_replies+=("$(zabbix_sender -z 127.0.0.1 -p 10052 -T -N -i "$SCRATCH/$file" 2>&1 | head -n 1 || true)")
done
for ((i = 0; i < 25; i++)); do
  twice_rows=$("$API" history "$HOST" --since "$twice" --until $((twice + 1)))
  [[ $twice_rows == *" 8" ]] && break
  sleep 0.2
done
expect_eq "a value sent twice with the same clock and ns: stored once" "$twice_rows" \
  "$twice.123456789 contDns[$quietest] 7"$'\n'"$((twice + 1)).000000000 contDns[$quietest] 8"
printf '  sent twice, replies: %s\n' "${twice_replies[@]:0:2}"
grep -i duplicate "$ZBX_SERVER_LOG" | sed 's/^/  server log: /' || true
timed "a value sent twice" "$t"

# --- a host name the server does not know ------------------------------------
t=$(now)
collect dns-unknown "$SCRATCH/run-unknown"
timed "run with an unknown host name" "$t"
expect_eq "unknown host: status" "$RUN_STATUS" 1
expect_eq "unknown host: output" "$(cat "$SCRATCH/run-unknown")" "$CAPTURE_LINE"$'\n'\
'[ERRO] O Zabbix recusou a descoberta (descobertaDns) do host "dns-unknown": confira o nome do host, o template e os hosts permitidos.'
for run in run1 run2 run-unknown; do sed "s/^/  $run> /" "$SCRATCH/$run"; done

# --- debug listing -------------------------------------------------------------
t=$(now)
t3=$(date +%s)
collect debug "$SCRATCH/run3"
timed "debug run" "$t"
# Its records, after the head of four lines (tests/e2e/collection.sh checks the
# head byte for byte).
expected_records=$(for row in "${expected_rows[@]}"; do
  read -r a c p <<<"$row"
  echo "{'{#SOURCE}': '$a', '{#CONTAGEM}': $c, '{#PERCENTUAL}': $p}"
done)
expect_eq "debug run: status" "$RUN_STATUS" 0
expect_eq "debug run: a listing" "$(sed -n 2p "$SCRATCH/run3")" "Modo DEBUG ativado:"
expect_eq "debug run: records" "$(tail -n +5 "$SCRATCH/run3" | sed '/^$/,$d')" "$expected_records"
expect_eq "debug run: nothing sent" "$("$API" history "$HOST" --since "$t3" | wc -l)" 0
# section HEADING FILE: the lines after HEADING: up to the next blank line.
section() { awk -v h="$1:" '$0 == h { on = 1; next } on && $0 == "" { exit } on' "$2"; }
if [ "$STAND_IN" = 0 ]; then
  for key in quillet.ranking quillet.names quillet.client_names quillet.qtypes quillet.client_rcodes; do
    expect_eq "second run: $key stored at the run's clock, as the listing shows it" \
      "$("$API" item "$HOST" "$key")" "0 $run2_clock $(section "$key" "$SCRATCH/run3") -"
  done
  # The answers' values, read by their meaning (Zabbix writes 100.0 as 100).
  expect_eq "second run: quillet.answers and quillet.rcode[*], as the listing shows them" \
    "$(section 'quillet.answers, quillet.rcode[*]' "$SCRATCH/run3" | while IFS== read -r key _; do
      echo "$key=$("$API" item "$HOST" "$key" | awk -v c="$run2_clock" '$1 == 0 && $2 == c { print $3 + 0 }')"
    done)" "$(section 'quillet.answers, quillet.rcode[*]' "$SCRATCH/run3" | awk -F= '{ print $1 "=" $2 + 0 }')"
  # What the plan asks: 998 queries under clients.example, 2 for strangers'
  # bytes, NXDOMAIN; every query of type A and answered.
  long=$(printf '\\000%.0s' $(seq 63))...  # two labels of 63 bytes, cut at 255 characters
  # shellcheck disable=SC2016 # the name's own bytes
  expect_eq "debug run: the names asked most" "$(section quillet.names "$SCRATCH/run3")" "$(printf '%s  %-255s  %7s  %6s\n' \
    '#' name queries share 1 clients.example 998 '99.8 %' 2 "$long" 1 '0.1 %' 3 '{$x}.<b>\001\255</b>' 1 '0.1 %')"
  expect_eq "debug run: the query types" "$(section quillet.qtypes "$SCRATCH/run3")" \
    "type  queries    share"$'\n'"A        1000  100.0 %"
fi

# --- encrypted delivery, to the stock trapper port ---------------------------
# The server moves to port 10051 with a certificate of its own; one host takes
# only PSK, one only certificates. Each is discovered first by the stock
# sender (GnuTLS), so that quillet's run must deliver every value.
if [ "$STAND_IN" = 1 ]; then
  echo "NOTE: the stand-in reads no configuration file: encrypted runs left out"
else
  t=$(now)
  PKI=/home/pki
  bash "$REPO/tests/support/test_pki.sh" "$PKI"
  chown zabbix "$PKI/server.key"
  ZBX_LISTEN_PORT=10051 ZBX_TLS_CA_FILE=$PKI/ca.crt ZBX_TLS_CERT_FILE=$PKI/server.crt \
    ZBX_TLS_KEY_FILE=$PKI/server.key "$ENV_SH" restart-server | sed 's/^/  /'
  SERVER_PORT=10051
  PSK_ID="dns-psk quillet"
  "$API" host-create dns-psk "$TEMPLATE_NAME" --tls-psk "$PSK_ID" "$(cat "$PKI/psk.key")" >/dev/null
  CA_NAME="CN=quillet test CA,O=quillet tests"
  "$API" host-create dns-cert "$TEMPLATE_NAME" \
    --tls-cert "$CA_NAME" "CN=quillet test client,O=quillet tests" >/dev/null
  install -d -m 755 /etc/quillet
  install -m 600 "$PKI/psk.key" /etc/quillet/psk.key
  psk_sender=(-p 10051 --tls-connect psk --tls-psk-identity "$PSK_ID" --tls-psk-file /etc/quillet/psk.key)
  cert_sender=(-p 10051 --tls-connect cert --tls-ca-file "$PKI/ca.crt"
    --tls-cert-file "$PKI/client.crt" --tls-key-file "$PKI/client.key")
  zabbix_server -c "$ZBX_SERVER_CONF" -R config_cache_reload >/dev/null
  document=$(for row in "${expected_rows[@]}"; do
    read -r a c p <<<"$row"
    printf '{"{#SOURCE}": "%s", "{#CONTAGEM}": %s, "{#PERCENTUAL}": %s}\n' "$a" "$c" "$p"
  done | paste -sd, | sed 's/^/{"data": [/; s/$/]}/')
  for host in dns-psk dns-cert; do
    if [ $host = dns-psk ]; then opts=("${psk_sender[@]}"); else opts=("${cert_sender[@]}"); fi
    wait_accepted descobertaDns "$document" $host "${opts[@]}" ||
      fail "$host: the stock sender's discovery was not accepted: $REPLY"
    "$API" wait-items $host 40 --timeout 30 >/dev/null || fail "$host: discovery made no 40 items"
  done
  zabbix_server -c "$ZBX_SERVER_CONF" -R config_cache_reload >/dev/null
  wait_accepted "contDns[$quietest]" 0 dns-psk "${psk_sender[@]}" || fail "dns-psk: items unknown: $REPLY"
  wait_accepted "contDns[$quietest]" 0 dns-cert "${cert_sender[@]}" || fail "dns-cert: items unknown: $REPLY"
  sleep 1
  timed "TLS: server on 10051, hosts, discovery" "$t"

  # config TEXT: the configuration file, root's and not writable by others.
  config() { printf '%s\n' "$@" >/etc/quillet/quillet.conf; }
  t=$(now)
  config ServerPort=10051 TLSConnect=psk "TLSPSKIdentity=$PSK_ID" TLSPSKFile=/etc/quillet/psk.key
  stored_run dns-psk run-psk run-psk
  timed "TLS: psk run" "$t"

  t=$(now)
  config ServerPort=10051 TLSConnect=cert "TLSCAFile=$PKI/ca.crt" "TLSCertFile=$PKI/client.crt" \
    "TLSKeyFile=$PKI/client.key" "TLSCRLFile=$PKI/crl.pem" "TLSServerCertIssuer=$CA_NAME" \
    "TLSServerCertSubject=CN=quillet test server,O=quillet tests"
  stored_run dns-cert run-cert run-cert
  timed "TLS: cert run" "$t"

  # Unencrypted, to the host that takes PSK only: refused, and said.
  t=$(now)
  config ServerPort=10051
  collect dns-psk "$SCRATCH/run-plain"
  timed "TLS: unencrypted run to the PSK host" "$t"
  expect_eq "unencrypted to the PSK host: status" "$RUN_STATUS" 1
  expect_eq "unencrypted to the PSK host: output" "$(cat "$SCRATCH/run-plain")" "$CAPTURE_LINE"$'\n'\
'[ERRO] O Zabbix recusou a descoberta (descobertaDns) do host "dns-psk": confira o nome do host, o template e os hosts permitidos.'

  # A key the server does not know, on a quiet interface: the discovery, five
  # failed attempts with their pauses, given up, and the host's own values
  # not tried after it.
  t=$(now)
  openssl rand -hex 32 >/etc/quillet/other.key
  chmod 600 /etc/quillet/other.key
  config ServerPort=10051 TLSConnect=psk "TLSPSKIdentity=$PSK_ID" TLSPSKFile=/etc/quillet/other.key
  ip link add ens18 type veth peer name ens18p
  ip link set ens18 up
  set +e
  "$BIN" coletarDns /tmp 127.0.0.1 dns-psk >"$SCRATCH/run-wrong-key" 2>&1
  RUN_STATUS=$?
  set -e
  ip link del ens18
  timed "TLS: run with a wrong key" "$t"
  red=$'\e[1;31mErro ao enviar para o Zabbix: 127.0.0.1:10051: o servidor encerrou a conexão durante o handshake TLS: ele não aceitou a identidade PSK "dns-psk quillet" ou a chave\e[0;0m'
  expect_eq "wrong key: status" "$RUN_STATUS" 1
  expect_eq "wrong key: output" "$(cat "$SCRATCH/run-wrong-key")" "$(
    echo "$CAPTURE_LINE"
    for _ in 1 2 3 4 5; do echo "$red"; done
    echo "[ERRO] 2 de 2 envios ao Zabbix falharam."
  )"
  for run in run-psk run-cert run-plain run-wrong-key; do sed "s/^/  $run> /" "$SCRATCH/$run"; done
fi

# --- a silent collector --------------------------------------------------------
# The host's last values came with the second run. The template's silence
# trigger fires once its window has passed without a client value (the item
# is computed every SILENCE_INTERVAL s); the phases since then took longer
# than that, or the wait covers the rest.
rm -f /etc/quillet/quillet.conf
SILENCE_NAME="No DNS client data from quillet for ${SILENCE_WINDOW}s"
# silence_event HOST VALUE SINCE TIMEOUT: waits until HOST's silence trigger has
# an event with VALUE (1 fired, 0 resolved) at or after SINCE; its clock is in
# EVENT_CLOCK.
silence_event() {
  local i
  for ((i = 0; i < $4 * 2; i++)); do
    EVENT_CLOCK=$("$API" events "$1" --since "$3" | sed -n "s/^\([0-9]*\) $2 $SILENCE_NAME\$/\1/p" | head -n 1)
    [ -n "$EVENT_CLOCK" ] && return 0
    sleep 0.5
  done
  return 1
}
t=$(now)
last_value=$("$API" history "$HOST" --since "$t2" | tail -n 1 | cut -d. -f1)
if silence_event "$HOST" 1 "$t2" $((SILENCE_WINDOW + SILENCE_INTERVAL + 30)); then
  fired=$((EVENT_CLOCK - last_value))
  check "silence: fired ${fired} s after the last value, window ${SILENCE_WINDOW} s + interval ${SILENCE_INTERVAL} s" \
    test "$fired" -ge $((SILENCE_WINDOW - 1)) -a "$fired" -le $((SILENCE_WINDOW + SILENCE_INTERVAL + 10))
  check "silence: a problem of the host" grep -qxF "$SILENCE_NAME" <<<"$("$API" problems "$HOST")"
else
  fail "silence: the trigger did not fire; quillet.clients: $("$API" item "$HOST" quillet.clients)"
  fired="(never)"
fi
timed "silence: fired" "$t"

# --- outages ---------------------------------------------------------------------
# The server stops while runs go on, for the host dns-outage, whose items the
# stock sender discovered beforehand. The runs use a faked capture whose
# tcpdump notes when it ended: the moment that each run's values must be
# stored at (within a second). Each run's counts differ from the others', so
# every stored value tells its run. Without the persistent buffer, a run
# started during the outage keeps retrying, and its values are stored at their
# capture time once the server is back 40 s later. With the buffer, five runs
# back to back during an outage each end within 40 s and keep their values; a
# client appears from the third on, and a late one in the last two. The first
# run after the server is back announces every buffered client. The late
# client's items are then disabled, as items the server's configuration cache
# does not know yet (with the default CacheUpdateFrequency, for up to a
# minute): the second run delivers the backlog, is refused the late client's
# values and keeps that request; once the items are enabled, the third sends
# it again. Every value of every run is then stored exactly once.
if [ "$STAND_IN" = 1 ]; then
  echo "NOTE: the stand-in reads no configuration file: outage runs left out"
else
  t=$(now)
  OUT_HOST=dns-outage
  OUT_FAKE=$SCRATCH/outage-capture
  bash "$REPO/tests/support/fake_capture.sh" "$OUT_FAKE" "$OUT_FAKE/report"
  mv "$OUT_FAKE/tcpdump" "$OUT_FAKE/tcpdump.fake"
  cat >"$OUT_FAKE/tcpdump" <<'EOF'
#!/bin/sh
"$0.fake" "$@"
status=$?
date +%s.%N >"$(dirname "$0")/ended"
exit $status
EOF
  chmod 755 "$OUT_FAKE/tcpdump"
  NEW_CLIENT=192.0.2.99
  LATE_CLIENT=192.0.2.98
  # rows_of RUN: what the capture of run RUN holds ("address count percent",
  # busiest first): the plan's clients with each count raised by RUN, in
  # runs 13 to 15 NEW_CLIENT, the busiest, and in runs 14 and 15 LATE_CLIENT.
  rows_of() {
    {
      "$TRAFFIC" expect | awk -v r="$1" '{ print $1, $2 + r, $3 }'
      case $1 in 13 | 14 | 15) echo "$NEW_CLIENT $((500 + $1)) 33.3" ;; esac
      case $1 in 14 | 15) echo "$LATE_CLIENT $((400 + $1)) 20.0" ;; esac
    } | sort -s -k2,2nr
  }
  # late_items STATUS: the late client's two items enabled (0) or disabled (1),
  # and the server's configuration cache reloaded.
  late_items() {
    local ids
    ids=$("$API" call item.get "{\"host\": \"$OUT_HOST\", \"output\": [\"itemid\"], \"search\": {\"key_\": \"[$LATE_CLIENT]\"}}" |
      python3 -c 'import json, sys; print(" ".join(i["itemid"] for i in json.load(sys.stdin)))')
    [ "$(wc -w <<<"$ids")" = 2 ] || fail "$OUT_HOST: the late client's items: $ids"
    for id in $ids; do "$API" call item.update "{\"itemid\": \"$id\", \"status\": $1}" >/dev/null; done
    zabbix_server -c "$ZBX_SERVER_CONF" -R config_cache_reload >/dev/null
    sleep 1
  }
  # outage_run RUN: a run of OUT_HOST on the capture of run RUN: its output in
  # $SCRATCH/outage-RUN, the end of its capture in CAPTURED[RUN], how long it
  # took in LASTED[RUN]; "RUN key value" of each of its values are added to
  # $SCRATCH/outage-expected.
  declare -A CAPTURED LASTED
  outage_run() {
    local start
    {
      echo "Sources          Count      %   cum%"
      echo "------------ --------- ------ ------"
      rows_of "$1" | awk '{ printf "%-23s %9d %6.1f %6.1f\n", $1, $2, $3, 0 }'
      echo
    } >"$OUT_FAKE/report"
    rows_of "$1" | head -n 20 |
      awk -v r="$1" '{ print r, "contDns[" $1 "]", $2; print r, "percentDns[" $1 "]", $3 }' \
        >>"$SCRATCH/outage-expected"
    rm -f "$OUT_FAKE/ended"
    start=$(now)
    set +e
    PATH="$OUT_FAKE:$PATH" "$BIN" coletarDns /tmp 127.0.0.1 "$OUT_HOST" >"$SCRATCH/outage-$1" 2>&1
    RUN_STATUS=$?
    set -e
    LASTED[$1]=$(awk -v s="$start" -v e="$(now)" 'BEGIN { printf "%.1f", e - s }')
    CAPTURED[$1]=$(cat "$OUT_FAKE/ended" 2>/dev/null || echo 0)
  }
  # server_env COMMAND: zabbix_env.sh COMMAND for the server as the TLS phase
  # set it up.
  server_env() {
    ZBX_LISTEN_PORT=$SERVER_PORT ZBX_TLS_CA_FILE=$PKI/ca.crt ZBX_TLS_CERT_FILE=$PKI/server.crt \
      ZBX_TLS_KEY_FILE=$PKI/server.key "$ENV_SH" "$1" | sed 's/^/  /'
  }
  # accepted_before KEY: sends KEY=0 for OUT_HOST, dated before the outage
  # runs, until the server keeps it (at most 20 s): the server knows the item.
  accepted_before() {
    local i
    printf '%s %s %s 0\n' "$OUT_HOST" "$1" $((out_since - 100)) >"$SCRATCH/probe"
    for ((i = 0; i < 100; i++)); do
      REPLY=$(zabbix_sender -z 127.0.0.1 -p "$SERVER_PORT" -T -i "$SCRATCH/probe" 2>&1 || true)
      [[ $REPLY == *"processed: 1;"* ]] && return 0
      sleep 0.2
    done
    return 1
  }
  "$API" host-create "$OUT_HOST" "$TEMPLATE_NAME" >/dev/null
  zabbix_server -c "$ZBX_SERVER_CONF" -R config_cache_reload >/dev/null
  out_document=$(rows_of 0 | awk '{ printf "%s{\"{#SOURCE}\": \"%s\", \"{#CONTAGEM}\": %s, \"{#PERCENTUAL}\": %s}",
    (n++ ? ", " : ""), $1, $2, $3 }')
  wait_accepted descobertaDns "{\"data\": [$out_document]}" "$OUT_HOST" -p "$SERVER_PORT" ||
    fail "$OUT_HOST: the stock sender's discovery was not accepted: $REPLY"
  "$API" wait-items "$OUT_HOST" 44 --timeout 30 >/dev/null || fail "$OUT_HOST: discovery made no 44 items"
  zabbix_server -c "$ZBX_SERVER_CONF" -R config_cache_reload >/dev/null
  out_since=$(date +%s)
  accepted_before "contDns[$quietest]" || fail "$OUT_HOST: items unknown: $REPLY"
  : >"$SCRATCH/outage-expected"
  # outage_failed KEPT HELD: the last line of an outage run with the buffer
  # that kept KEPT values, after which the buffer holds HELD.
  outage_failed() {
    echo "[ERRO] 42 de 42 envios ao Zabbix falharam; $1 valores guardados no buffer persistente, que agora tem $2 valores."
  }
  timed "outage: host, discovery" "$t"

  # Without the buffer: the run retries its discovery five times and gives it
  # up; its values get through once the server is back. The server takes
  # about 1.5 s to start: it is back about 40 s after the run began, ahead of
  # the first value's last attempt at 45 s.
  t=$(now)
  config ServerPort="$SERVER_PORT"
  server_env stop-server
  (s=$(now) && sleep 38.5 && server_env start-server && echo "  server back $(awk -v s="$s" -v e="$(now)" \
    'BEGIN { printf "%.1f", e - s }') s after the run began") &
  back=$!
  outage_run 10
  wait "$back"
  expect_eq "outage without buffer: status" "$RUN_STATUS" 1
  expect_eq "outage without buffer: last line" "$(tail -n 1 "$SCRATCH/outage-10")" \
    "[ERRO] 1 de 42 envios ao Zabbix falharam."
  timed "outage without buffer: run" "$t"

  # With the buffer: five runs during the outage.
  t=$(now)
  config ServerPort="$SERVER_PORT" EnablePersistentBuffer=1
  server_env stop-server
  for run in 11 12 13 14 15; do
    outage_run $run
    expect_eq "outage run $run: status" "$RUN_STATUS" 1
    expect_eq "outage run $run: last line" "$(tail -n 1 "$SCRATCH/outage-$run")" \
      "$(outage_failed 40 $((40 * (run - 10))))"
    check "outage run $run: ended within 40 s (${LASTED[$run]} s)" \
      awk -v s="${LASTED[$run]}" 'BEGIN { exit !(s <= 40) }'
  done
  timed "outage with buffer: 5 runs" "$t"

  # The server is back: the first run announces the buffered clients, and
  # once the server knows the new client's items, the next delivers the rest
  # but the late client's values, which the third delivers.
  t=$(now)
  server_env start-server
  outage_run 16
  expect_eq "recovery run 16: status" "$RUN_STATUS" 0
  expect_eq "recovery run 16: output" "$(cat "$SCRATCH/outage-16")" "$CAPTURE_LINE"$'\n'\
"[AVISO] Buffer persistente: 200 valores guardados aguardam as próximas coletas."$'\n'"OK!"
  "$API" wait-items "$OUT_HOST" 48 --timeout 30 >/dev/null || fail "$OUT_HOST: $NEW_CLIENT and $LATE_CLIENT not discovered"
  late_items 1
  accepted_before "contDns[$NEW_CLIENT]" || fail "$OUT_HOST: $NEW_CLIENT's items unknown: $REPLY"
  outage_run 17
  expect_eq "recovery run 17: status" "$RUN_STATUS" 0
  expect_eq "recovery run 17: output" "$(cat "$SCRATCH/outage-17")" "$CAPTURE_LINE"$'\n'\
"[AVISO] Buffer persistente: 200 valores guardados entregues em 1 envios; restam 200."$'\n'\
"[AVISO] O Zabbix recusou 4 de 200 valores guardados; os 200 valores desses envios ficam no buffer para as próximas coletas."$'\n'"OK!"
  late_items 0
  outage_run 18
  expect_eq "recovery run 18: status" "$RUN_STATUS" 0
  expect_eq "recovery run 18: output" "$(cat "$SCRATCH/outage-18")" "$CAPTURE_LINE"$'\n'\
"[AVISO] Buffer persistente: 200 valores guardados entregues em 1 envios; restam 0."$'\n'"OK!"
  timed "outage with buffer: 3 recovery runs" "$t"

  # Every value of every run, stored at its run's capture time: each stored
  # row becomes "RUN key value", RUN the run whose capture ended nearest to the
  # row's clock, within a second ("?" for none). The recovery runs' captures
  # may lie less than a second apart.
  t=$(now)
  out_total=$(wc -l <"$SCRATCH/outage-expected")
  for ((i = 0; i < 50; i++)); do
    out_rows=$("$API" history "$OUT_HOST" --since "$out_since")
    [ "$(wc -l <<<"$out_rows")" -ge "$out_total" ] && break
    sleep 0.2
  done
  captured=$(for run in "${!CAPTURED[@]}"; do echo "$run ${CAPTURED[$run]}"; done)
  expect_eq "outages: every value of runs 10 to 18 stored once, at its capture time (run key value)" \
    "$(awk 'NR == FNR { at[$1] = $2; next }
      { run = "?"; best = 1
        for (r in at) { d = $1 - at[r]; if (d < 0) d = -d; if (d <= best) { run = r; best = d } }
        print run, $2, $3 }' \
      <(echo "$captured") <(echo "$out_rows") | LC_ALL=C sort)" "$(LC_ALL=C sort "$SCRATCH/outage-expected")"
  rm -f /etc/quillet/quillet.conf /home/quillet/quillet.buffer /home/quillet/quillet.buffer.lock
  timed "outages: read-back" "$t"
  for run in 10 11 15 16 17 18; do sed "s/^/  outage-$run> /" "$SCRATCH/outage-$run"; done
  echo "outages: the run without buffer took ${LASTED[10]} s; with it, the outage runs took" \
    "$(for run in 11 12 13 14 15; do echo "${LASTED[$run]} s"; done | paste -sd, | sed 's/,/, /g'), the recovery runs" \
    "${LASTED[16]} s, ${LASTED[17]} s and ${LASTED[18]} s"
fi

# --- HA cluster: a standby node, then the active one ---------------------------
t=$(now)
node_out=$("$ENV_SH" start-node node-b 10062)
printf '%s\n' "$node_out" | sed 's/^/  /'
check "HA: the second node is standby" grep -q "HA node node-b is standby" <<<"$node_out"
standby_status=0
zabbix_sender -z 127.0.0.1 -p 10062 -s "$HOST" -k descobertaDns -o '{"data": []}' >/dev/null 2>&1 || standby_status=$?
check "HA: the standby node refuses connections (zabbix_sender status $standby_status)" test "$standby_status" != 0
since=$(date +%s)
stored_run "$HOST" run-ha HA "127.0.0.1:10062;127.0.0.1:$SERVER_PORT"
timed "HA: run to standby;active, read-back" "$t"
sed "s/^/  run-ha> /" "$SCRATCH/run-ha"

# The run's values end the silence at the item's next computation.
t=$(now)
last_value=$("$API" history "$HOST" --since "$since" | tail -n 1 | cut -d. -f1)
if silence_event "$HOST" 0 "$since" $((SILENCE_INTERVAL + 30)); then
  cleared=$((EVENT_CLOCK - last_value))
  check "silence: resolved ${cleared} s after the run's values, interval ${SILENCE_INTERVAL} s" \
    test "$cleared" -le $((SILENCE_INTERVAL + 10))
  check "silence: no longer a problem" test -z "$("$API" problems "$HOST" | grep -xF "$SILENCE_NAME")"
else
  fail "silence: not resolved after the run; quillet.clients: $("$API" item "$HOST" quillet.clients)"
  cleared="(never)"
fi
timed "silence: resolved" "$t"
echo "silence: fired ${fired} s after the last values, resolved ${cleared} s after the next run's"

# The active node stops; the standby takes over (a node that stopped cleanly
# is replaced without the failover delay), and a run given "stopped;active"
# stores every value.
t=$(now)
check "HA: the active node node-a stops" "$ENV_SH" stop-server
for ((i = 0; i < 180; i++)); do
  ha_status=$(zabbix_server -c "$ZBX_ENV_DIR/node-node-b/zabbix_server.conf" -R ha_status 2>&1 || true)
  grep -Eq " node-b +[^ ]+ +active " <<<"$ha_status" && break
  sleep 0.5
done
took_over=$(awk -v s="$t" -v e="$(now)" 'BEGIN { printf "%.1f", e - s }')
# node_is NAME ADDRESS STATUS: a row of $ha_status.
node_is() { grep -Eq " $1 +$2 +$3 " <<<"$ha_status"; }
check "HA: node-b active (${took_over} s after the stop began)" node_is node-b 127.0.0.1:10062 active
check "HA: node-a stopped" node_is node-a "127.0.0.1:$SERVER_PORT" stopped
# shellcheck disable=SC2001 # one prefix on every line
sed 's/^/  /' <<<"$ha_status"
wait_accepted "contDns[$quietest]" 0 "$HOST" -p 10062 || fail "HA: node-b does not take values: $REPLY"
sleep 1
timed "HA: takeover" "$t"
t=$(now)
stored_run "$HOST" run-ha2 "HA takeover" "127.0.0.1:$SERVER_PORT;127.0.0.1:10062"
timed "HA: run to stopped;active, read-back" "$t"
sed "s/^/  run-ha2> /" "$SCRATCH/run-ha2"
ACTIVE_PORT=10062

# --- proxy group (7.0 on) --------------------------------------------------------
if [ "${zabbix_version%%.*}" -lt 7 ]; then
  echo "NOTE: proxy group phase left out: Zabbix $zabbix_version has no proxy groups (7.0 on)"
else
  # Two active proxies in the group "dns" (failover after 10 s, the least the
  # group takes), which monitors the host and twenty more.
  t=$(now)
  PG_HOST=dns-pg
  mapfile -t load_hosts < <(printf 'load-%02d\n' $(seq 1 20))
  "$API" proxy-group dns --failover-delay 10s >/dev/null
  declare -A proxy_port=([proxy-a]=10071 [proxy-b]=10072)
  for proxy in proxy-a proxy-b; do
    "$API" proxy-create $proxy dns 127.0.0.1 "${proxy_port[$proxy]}" >/dev/null
    ZBX_LISTEN_PORT=$ACTIVE_PORT "$ENV_SH" start-proxy $proxy "${proxy_port[$proxy]}" | sed 's/^/  /'
  done
  for host in "$PG_HOST" "${load_hosts[@]}"; do
    "$API" host-create "$host" "$TEMPLATE_NAME" --proxy-group dns >/dev/null
  done
  "$API" wait-proxy "$PG_HOST" "${load_hosts[@]}" >"$SCRATCH/assigned" ||
    fail "proxy group: not every host got a proxy"
  read -r _ assigned _ < <(grep "^$PG_HOST " "$SCRATCH/assigned")
  other="proxy-a"
  [ "$assigned" != "proxy-a" ] || other="proxy-b"
  echo "proxy group: $PG_HOST is with ${assigned:-no proxy}; the group spread the hosts" \
    "$(awk '{ n[$2]++ } END { for (p in n) printf "%s%s: %d", (s++ ? ", " : ""), p, n[p] }' "$SCRATCH/assigned")"
  timed "proxy group: proxies, hosts assigned" "$t"

  # Each host is discovered by the stock sender through the other proxy (it
  # follows the redirects), and its items made known to its proxy.
  t=$(now)
  other_port=${proxy_port[$other]}
  pg_document=$(for row in "${expected_rows[@]}"; do
    read -r a c p <<<"$row"
    printf '{"{#SOURCE}": "%s", "{#CONTAGEM}": %s, "{#PERCENTUAL}": %s}\n' "$a" "$c" "$p"
  done | paste -sd, | sed 's/^/{"data": [/; s/$/]}/')
  for host in "$PG_HOST" "${load_hosts[@]}"; do
    wait_accepted descobertaDns "$pg_document" "$host" -p "$other_port" ||
      fail "proxy group: $host: the stock sender's discovery was not accepted: $REPLY"
  done
  for host in "$PG_HOST" "${load_hosts[@]}"; do
    "$API" wait-items "$host" 40 --timeout 60 >/dev/null || fail "proxy group: $host: discovery made no 40 items"
  done
  for host in "$PG_HOST" "${load_hosts[@]}"; do
    wait_accepted "contDns[$quietest]" 0 "$host" -p "$other_port" ||
      fail "proxy group: $host: its proxy does not know its items: $REPLY"
  done
  sleep 1
  timed "proxy group: discovery, proxies synced" "$t"

  # pg_run RUN WHAT PROXY CONNECTIONS: a run of the host sent to the proxy
  # $other, which stores every value, while the group has the host with PROXY
  # before and after it. The connections the run made, counted from the SYNs
  # on the loopback: "to $other, to $assigned".
  pg_run() {
    local syns=$SCRATCH/$1.syns pid i
    t=$(now)
    expect_eq "proxy group: $2: $PG_HOST's proxy before the run" "$("$API" assigned "$PG_HOST")" "$3"
    tcpdump -i lo -n -U -w "$syns" 'tcp[tcpflags] & (tcp-syn|tcp-ack) == tcp-syn' 2>"$syns.err" &
    pid=$!
    for ((i = 0; i < 50; i++)); do
      grep -q "listening on" "$syns.err" && break
      sleep 0.1
    done
    stored_run "$PG_HOST" "$1" "proxy group: $2" "127.0.0.1:$other_port"
    kill -INT "$pid" 2>/dev/null || true
    wait "$pid" || true
    expect_eq "proxy group: $2: connections to $other, to $assigned" \
      "$(tcpdump -r "$syns" -n "dst port $other_port" 2>/dev/null | wc -l), $(tcpdump -r "$syns" -n \
        "dst port ${proxy_port[$assigned]}" 2>/dev/null | wc -l)" "$4"
    expect_eq "proxy group: $2: $PG_HOST's proxy after the run" "$("$API" assigned "$PG_HOST")" "$3"
    timed "proxy group: $2" "$t"
  }

  # A run sent to the proxy the host is not assigned to: redirected at once,
  # the discovery, the 40 values and the host's own then go straight to the
  # host's proxy.
  pg_run run-pg "run to $other" "$assigned" "1, 42"

  # Under load: twenty hosts' runs at once through the same proxy, each with a
  # faked capture (tcpdump writes a few bytes, dnstop prints the plan's report)
  # in a mount namespace of its own, so that each has its own /home/quillet and
  # the directory's lock does not turn runs away, and its own uid for _quillet,
  # so that the runs do not share one process limit, as real servers never do.
  if [ "$STAND_IN" = 1 ]; then
    echo "NOTE: the stand-in has no faked capture: the load left out"
  else
    FAKE=$SCRATCH/fake-capture
    mkdir -p "$FAKE"
    {
      echo "Sources          Count      %   cum%"
      echo "------------ --------- ------ ------"
      "$TRAFFIC" expect | awk '{ printf "%-23s %9d %6.1f %6.1f\n", $1, $2, $3, 0 }'
      echo
    } >"$FAKE/report"
    bash "$REPO/tests/support/fake_capture.sh" "$FAKE" "$FAKE/report"
    t=$(now)
    since=$(date +%s)
    pids=()
    for host in "${load_hosts[@]}"; do
      uid=$((64900 + ${#pids[@]}))
      sed "s/^_quillet:x:[0-9]*:[0-9]*:/_quillet:x:$uid:$uid:/" /etc/passwd >"$SCRATCH/passwd-$host"
      # shellcheck disable=SC2016 # expanded by the inner shell
      unshare --mount --propagation private sh -c \
        'mount -t tmpfs -o mode=700 tmpfs /home/quillet && mount --bind "$1" /etc/passwd && shift &&
         PATH="$0:$PATH" exec "$@"' \
        "$FAKE" "$SCRATCH/passwd-$host" "$BIN" coletarDns /tmp "127.0.0.1:$other_port" "$host" \
        >"$SCRATCH/load-$host" 2>&1 &
      pids+=($!)
    done
    load_failed=0
    for i in "${!pids[@]}"; do
      wait "${pids[$i]}" || load_failed=$((load_failed + 1))
    done
    load_runs=$(awk -v s="$t" -v e="$(now)" 'BEGIN { printf "%.1f", e - s }')
    expect_eq "load: runs that failed" "$load_failed" 0
    for host in "${load_hosts[@]}"; do
      expect_eq "load: $host: output" "$(cat "$SCRATCH/load-$host")" "$CAPTURE_LINE"$'\n'"OK!"
    done
    for host in "${load_hosts[@]}"; do
      stored_all "$host" "$since" "load: $host"
    done
    load_stored=$(awk -v s="$t" -v e="$(now)" 'BEGIN { printf "%.1f", e - s }')
    timed "load: 20 runs at once, read-back" "$t"
    echo "load: 20 runs of 41 values each through $other: all ended in ${load_runs} s;" \
      "every value read back from the server ${load_stored} s after their start"
  fi

  # The host's proxy stops; the group moves the host to the other one.
  t=$(now)
  check "proxy group: $assigned stops" "$ENV_SH" stop-proxy "$assigned"
  check "proxy group: stop-proxy $assigned again fails (nothing to stop)" fails "$ENV_SH" stop-proxy "$assigned"
  read -r _ moved_to moved_after < <("$API" wait-proxy "$PG_HOST" --not "$assigned" --timeout 90) ||
    fail "proxy group: $PG_HOST did not move from $assigned"
  expect_eq "proxy group: $PG_HOST moved to" "${moved_to:-}" "$other"
  echo "proxy group: $assigned stopped; $PG_HOST moved to ${moved_to:-?} ${moved_after:-?} s later" \
    "(group failover delay 10 s)"
  wait_accepted "contDns[$quietest]" 0 "$PG_HOST" -p "$other_port" ||
    fail "proxy group: $other does not take $PG_HOST's values: $REPLY"
  sleep 1
  timed "proxy group: failover" "$t"
  pg_run run-pg2 "run after the failover" "$other" "42, 0"
  for run in run-pg run-pg2; do sed "s/^/  $run> /" "$SCRATCH/$run"; done
fi

t=$(now)
"$ENV_SH" stop "${STOP_ARGS[@]}" >/dev/null
trap - EXIT
timed "server stop" "$t"

printf '  %s\n' "${TIMINGS[@]}"
finish
