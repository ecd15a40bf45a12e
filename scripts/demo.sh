#!/usr/bin/env bash
# quillet end to end on this machine (Debian 12 or 13, as root), in namespaces
# of its own so that nothing here is touched:
#   - builds build/quillet if needed (the build is incremental);
#   - starts a local Zabbix server (Debian's: 6.0 on 12, 7.0 on 13; trapper on
#     127.0.0.1:10052) with the shipped template and a host "dns-demo" linked
#     to it;
#   - five simulated clients send DNS queries (IPv4 and IPv6) through a
#     veth named ens18, and quillet captures and sends them: a first run makes
#     Zabbix discover the clients, a second one fills in their values;
#   - prints what Zabbix now holds for dns-demo, read back through its API,
#     and the address of the host's dashboard on the local frontend;
#   - stops the server and removes everything (data included).
#
#   scripts/demo.sh           the above
#   scripts/demo.sh --keep    the same, but keeps the server and the frontend,
#                             reachable on this machine's 127.0.0.1:18080, until
#                             Enter is pressed
#   scripts/demo.sh --debug   only the debug listing of captured demo traffic,
#                             without Zabbix
#
# It first installs what is missing (scripts/install_deps.sh; the Zabbix
# packages are not needed for --debug). QUILLET_BUILD_DIR names another build
# folder than build/.
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"

DEBUG=0 KEEP=0
[ "${1:-}" = --debug ] && DEBUG=1
[ "${1:-}" = --keep ] && KEEP=1

BUILD=${QUILLET_BUILD_DIR:-$REPO/build}
BIN=$BUILD/quillet
# The TCP reader is found on PATH, as dnstop is: the one built beside quillet.
export PATH="$BUILD:$PATH"
TRAFFIC=$REPO/tests/support/dns_traffic.sh
ENV_SH=$REPO/tests/zabbix/zabbix_env.sh
API=$REPO/tests/zabbix/zbx_api.py
HOST=dns-demo

now() { date +%s.%N; }
# phase NAME START: prints how long a phase took.
phase() { awk -v s="$2" -v e="$(now)" -v n="$1" 'BEGIN { printf "== %-36s %5.1f s\n", n, e - s }'; }

if [ -z "${QUILLET_DEMO_INSIDE:-}" ]; then
  [ "$(id -u)" = 0 ] || {
    echo "demo: run me as root (network namespaces, packet capture)" >&2
    exit 1
  }
  groups="build runtime test"
  [ "$DEBUG" = 1 ] || groups+=" zabbix"
  t=$(now)
  # shellcheck disable=SC2086
  scripts/install_deps.sh $groups
  phase "install" "$t"
  t=$(now)
  cmake -S . -B "$BUILD" -G Ninja >/dev/null
  ninja -C "$BUILD" quillet quillet-tcp | tail -n 1
  phase "build" "$t"
  # In the tests' sandbox, with a PID namespace: everything the demo starts
  # ends with it.
  # Descriptor 7 holds this machine's network namespace, for --keep.
  exec env QUILLET_DEMO_INSIDE=1 QUILLET_BUILD_DIR="$BUILD" \
    bash tests/support/sandbox.sh --pid -- bash "$0" "$@" 7</proc/self/ns/net
fi

# ---------------------------------------------------------------------------
# Inside: a loopback of our own (the Zabbix server), ens18 (the clients), and a
# tmpfs on /home for quillet's working directory and the server's data.

# wait_accepted KEY VALUE: sends KEY=VALUE for the demo host until the server
# keeps it, for at most 20 s.
wait_accepted() {
  local i reply
  for ((i = 0; i < 100; i++)); do
    reply=$(zabbix_sender -z 127.0.0.1 -p 10052 -s "$HOST" -k "$1" -o "$2" 2>&1 || true)
    [[ $reply == *"processed: 1;"* ]] && return 0
    sleep 0.2
  done
  echo "demo: the server does not take $1 for $HOST: $reply" >&2
  return 1
}

# run_quillet HOST: one collection run on the demo traffic.
run_quillet() {
  "$TRAFFIC" --plan small --ready-file /home/quillet/dump.pcap -- \
    "$BIN" coletarDns /home/quillet 127.0.0.1 "$1" 2>&1 | sed 's/^/   /'
  return "${PIPESTATUS[0]}"
}

if [ "$DEBUG" = 1 ]; then
  echo "== quillet coletarDns /home/quillet 127.0.0.1 debug, while five clients send 100 queries"
  t=$(now)
  run_quillet debug
  phase "debug run" "$t"
  exit 0
fi

export ZBX_ENV_DIR=/home/zabbix-env ZBX_PRIVATE_ETC=1
eval "$("$ENV_SH" env)"
export ZBX_API_URL
trap '"$ENV_SH" stop >/dev/null 2>&1 || true' EXIT

t=$(now)
"$ENV_SH" start | sed 's/^/   /'
phase "Zabbix $("$API" version) server start" "$t"

t=$(now)
# The template's export for the version: 7.0 and later get the richer dashboard.
template=zabbix/quillet_template.yaml
version=$("$API" version)
[ "${version%%.*}" -lt 7 ] || template=zabbix/quillet_template_7.0.yaml
"$API" import "$template" >/dev/null
# A lower share limit than the template's 50 %, so that the demo shows a problem.
# shellcheck disable=SC2016 # a Zabbix macro
"$API" host-create "$HOST" "quillet DNS top clients" --macro '{$DNS.TOP.PCT.MAX}=30' >/dev/null
# The server takes values for a new host once its configuration cache knows it.
wait_accepted descobertaDns '{"data": []}'
phase "template, host $HOST" "$t"

echo "== first run: Zabbix discovers the clients (their values come too early and are refused)"
t=$(now)
run_quillet "$HOST"
"$API" wait-items "$HOST" 10 --timeout 30 >/dev/null
# The same for the discovered items, asked for at once; one probe value of the
# quietest client, stored before the second run's first second, tells when.
zabbix_server -c "$ZBX_SERVER_CONF" -R config_cache_reload >/dev/null
read -r quietest _ < <("$TRAFFIC" expect --plan small | tail -n 1)
wait_accepted "contDns[$quietest]" 0
sleep 1
phase "first run and discovery" "$t"

echo "== second run: the values"
t=$(now)
since=$(date +%s)
run_quillet "$HOST"
phase "second run" "$t"

t=$(now)
for ((i = 0; i < 50; i++)); do
  [ "$("$API" history "$HOST" --since "$since" | wc -l)" -ge 10 ] && break
  sleep 0.2
done
latest=$("$API" latest "$HOST" --since "$since")
problems=$("$API" problems "$HOST")
phase "read-back" "$t"

echo
echo "Zabbix now holds for host $HOST (read back through the API):"
awk '{
       split($1, k, /[][]/)
       if (k[1] == "contDns") count[k[2]] = $2; else share[k[2]] = $2
     }
     END {
       printf "   %-28s %16s %8s\n", "client", "queries in 5 s", "share"
       fflush()
       sort = "sort -k2,2nr"
       for (a in count) printf "   %-28s %16s %6s %%\n", a, count[a], share[a] | sort
       close(sort)
     }' <<<"$latest"
echo "Problems:"
if [ -n "$problems" ]; then
  while read -r line; do echo "   $line"; done <<<"$problems"
else
  echo "   none"
fi

hostid=$("$API" call host.get "{\"output\": [\"hostid\"], \"filter\": {\"host\": [\"$HOST\"]}}" |
  sed -n 's/.*"hostid": "\([0-9]*\)".*/\1/p')
dashboard="http://127.0.0.1:18080/zabbix.php?action=host.dashboard.view&hostid=$hostid"
if [ "$KEEP" = 1 ]; then
  # The frontend listens in the demo's own network namespace; a relay whose
  # listening socket is in this machine's (descriptor 7) carries connections in.
  python3 - 7 18080 <<'EOF' &
import ctypes, os, socket, sys, threading
libc = ctypes.CDLL(None, use_errno=True)
own = os.open("/proc/self/ns/net", os.O_RDONLY)
if libc.setns(int(sys.argv[1]), 0) != 0:
    sys.exit(f"demo: setns: {os.strerror(ctypes.get_errno())}")
try:
    listener = socket.create_server(("127.0.0.1", int(sys.argv[2])))
except OSError as e:
    sys.exit(f"demo: this machine's 127.0.0.1:{sys.argv[2]}: {e}")
libc.setns(own, 0)
def pipe(a, b):
    try:
        while data := a.recv(65536):
            b.sendall(data)
        b.shutdown(socket.SHUT_WR)
    except OSError:
        pass
while True:
    client, _ = listener.accept()
    server = socket.create_connection(("127.0.0.1", int(sys.argv[2])))
    for a, b in ((client, server), (server, client)):
        threading.Thread(target=pipe, args=(a, b), daemon=True).start()
EOF
  sleep 0.5
  echo "Dashboard of $HOST: $dashboard (user Admin, password zabbix)"
  read -r -p "Press Enter to stop the server and remove everything. " _ || true
else
  echo "Dashboard of $HOST: $dashboard (user Admin, password zabbix;" \
    "removed with the rest now: scripts/demo.sh --keep keeps it until Enter)"
fi

t=$(now)
"$ENV_SH" stop >/dev/null
trap - EXIT
phase "Zabbix server stop, all removed" "$t"
