#!/usr/bin/env bash
# The listing on a real recursive resolver: Debian's unbound serves the
# clients on ens18 and recurses to Debian's nsd, through ens18 (near.example)
# and through a second link, up0 (far.example). Clients send known loads over
# UDP, over TCP (a connection per query, pipelined on one, dig +tcp) and as
# truncated answers retried over TCP, over IPv4 and IPv6, for names that exist,
# are cached or do not exist. The debug listing must be the truth: every
# client's UDP + TCP queries, its share of all clients' queries, and none of
# the resolver's own queries, captured on ens18 and, with Interface=any, on
# every link. What was sent is checked against a capture on the clients' side,
# and so are the listing's tables of what the clients asked (names, their
# types) and how the server answered them (NOERROR, NXDOMAIN for missing
# names, REFUSED for a client the resolver refuses).
#
#   resolver namespace (the sandbox)      clients namespace
#   unbound 192.0.2.1, 2001:db8::1  ens18 --- ens18p  clients, nsd .53 and ::53
#           198.51.100.1            up0   --- up0p    nsd 198.51.100.53
source "$E2E_DIR/lib.sh"
export PATH=$PATH:/usr/sbin:/sbin
PYTHON=/usr/bin/python3
QUERIES=$SUPPORT/dns_queries.py
for tool in unbound nsd dig tcpdump dnstop nsenter "$PYTHON"; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed (scripts/install_deps.sh test runtime)"; exit 77; }
done
DIR=$SCRATCH/resolver
mkdir -p "$DIR"

# The known loads: "address how count" (see dns_queries.py); dig-tcp is dig
# +tcp, dig-txt a TXT answer too large for UDP, which dig asks again over TCP.
# 1053 queries in all: a total one too high or too low changes two shares.
# The resolver refuses 192.0.2.17.
cat >"$DIR/plan" <<'EOF'
192.0.2.10    udp       300
2001:db8::10  udp       200
192.0.2.11    udp       120
2001:db8::11  udp        90
192.0.2.14    nx         70
192.0.2.15    mix        45
192.0.2.16    udp        30
192.0.2.18    udp        15
192.0.2.17    udp        13
2001:db8::12  pipelined  40
2001:db8::13  tcp        20
192.0.2.12    dig-tcp    50
192.0.2.13    dig-txt    30
EOF

# within WHAT COMMAND...: until COMMAND succeeds, for 10 s at most.
within() {
  local what=$1
  shift
  for _ in $(seq 200); do
    "$@" && return 0
    sleep 0.05
  done
  echo "FAIL: $what within 10 s"
  exit 1
}

PIDS=()
stop_all() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  PIDS=()
  cleanup
}
trap stop_all EXIT

# The clients' namespace, held by a process of its own.
unshare --net sleep infinity &
HOLDER=$!
PIDS+=("$HOLDER")
other_net() { [ "$(readlink "/proc/$HOLDER/ns/net")" != "$(readlink /proc/self/ns/net)" ]; }
within "the clients' namespace" other_net
# An array, not a function: "${IN_CLIENTS[@]}" CMD & gives the process id of CMD.
IN_CLIENTS=(nsenter --net="/proc/$HOLDER/ns/net")
in_clients() { "${IN_CLIENTS[@]}" "$@"; }
ip link add up0 type veth peer name up0p
ip link set ens18p netns "$HOLDER"
ip link set up0p netns "$HOLDER"
ip addr add 192.0.2.1/24 dev ens18
ip addr add 2001:db8::1/64 dev ens18 nodad
ip addr add 198.51.100.1/24 dev up0
ip link set up0 up
in_clients ip link set lo up
in_clients ip addr add 198.51.100.53/24 dev up0p
for address in 192.0.2.53 2001:db8::53 $(awk '!/^#/ { print $1 }' "$DIR/plan"); do
  case $address in
  *:*) in_clients ip addr add "$address/64" dev ens18p nodad ;;
  *) in_clients ip addr add "$address/24" dev ens18p ;;
  esac
done
in_clients ip link set ens18p up
in_clients ip link set up0p up
# Every address of the resolver, "unframed" too: the lines of dns_queries.py
# count that are no client's.
{ ip -o addr show | awk '{ sub("/.*", "", $4); print $4 }'; echo unframed; } >"$DIR/own"
# clients_of FILE / own_of FILE: the lines of FILE whose first word is not / is
# an address of the resolver.
clients_of() { awk 'NR == FNR { own[$1]; next } !($1 in own)' "$DIR/own" "$1"; }
own_of() { awk 'NR == FNR { own[$1]; next } $1 in own' "$DIR/own" "$1"; }

# The zones: names that exist, a wildcard, a TXT record of 1,530 bytes.
txt=$(for i in 1 2 3 4 5 6; do printf '"%0250d" ' "$i"; done)
for zone in near far; do
  if [ $zone = near ]; then ns="ns A 192.0.2.53"$'\n'"ns AAAA 2001:db8::53"; else ns="ns A 198.51.100.53"; fi
  cat >"$DIR/$zone.zone" <<EOF
\$ORIGIN $zone.example.
\$TTL 300
@ SOA ns hostmaster 1 3600 600 86400 300
@ NS ns
$ns
www A 192.0.2.80
www AAAA 2001:db8::80
*.w A 192.0.2.81
*.w AAAA 2001:db8::81
big TXT $txt
EOF
done
cat >"$DIR/nsd.conf" <<EOF
server:
  ip-address: 192.0.2.53
  ip-address: 2001:db8::53
  ip-address: 198.51.100.53
  username: ""
  chroot: ""
  database: ""
  zonesdir: "$DIR"
  zonelistfile: "$DIR/zone.list"
  xfrdfile: "$DIR/xfrd.state"
  xfrdir: "$DIR"
  pidfile: "$DIR/nsd.pid"
  server-count: 1
  logfile: "$DIR/nsd.log"
remote-control:
  control-enable: no
zone:
  name: near.example
  zonefile: near.zone
zone:
  name: far.example
  zonefile: far.zone
EOF
cat >"$DIR/unbound.conf" <<EOF
server:
  username: ""
  chroot: ""
  directory: "$DIR"
  pidfile: "$DIR/unbound.pid"
  use-syslog: no
  logfile: "$DIR/unbound.log"
  num-threads: 1
  interface: 192.0.2.1
  interface: 2001:db8::1
  access-control: 192.0.2.0/24 allow
  access-control: 2001:db8::/64 allow
  access-control: 192.0.2.17/32 refuse
  module-config: "iterator"
stub-zone:
  name: "near.example"
  stub-addr: 192.0.2.53
  stub-addr: 2001:db8::53
stub-zone:
  name: "far.example"
  stub-addr: 198.51.100.53
remote-control:
  control-enable: no
EOF

# listening RUNNER ADDRESS: something listens on ADDRESS port 53.
listening() { "$1" ss -ltnH "( sport = :53 )" | grep -qF "$2:53"; }
here() { "$@"; }
"${IN_CLIENTS[@]}" nsd -d -c "$DIR/nsd.conf" &
PIDS+=($!)
within "nsd" listening in_clients 198.51.100.53

# run_resolver WHAT: one collection run with a fresh unbound (an empty cache)
# while the loads go; compares the listing with what was sent.
run_resolver() {
  local what=$1 unbound_pid ref_pid quillet_pid t0 address how count
  unbound -d -c "$DIR/unbound.conf" &
  unbound_pid=$!
  PIDS+=("$unbound_pid")
  within "unbound" listening here 192.0.2.1
  "${IN_CLIENTS[@]}" tcpdump -i ens18p -B 65536 -n -U -w "$DIR/ref.pcap" port 53 2>"$DIR/ref.err" &
  ref_pid=$!
  PIDS+=("$ref_pid")
  within "the reference capture" grep -qs "listening on" "$DIR/ref.err"
  rm -f /home/quillet/dump.pcap
  t0=$(date +%s.%N)
  "$QUILLET_BIN" coletarDns /tmp x debug >"$OUT" 2>"$ERR" &
  quillet_pid=$!
  within "quillet's capture" test -e /home/quillet/dump.pcap
  sleep 0.2
  # The loads, all at once.
  grep -v dig- "$DIR/plan" >"$DIR/plan.py"
  in_clients "$PYTHON" "$QUERIES" send 192.0.2.1 2001:db8::1 "$DIR/plan.py" >"$DIR/sent.py" &
  local loads=($!)
  local opts
  while read -r address how count; do
    opts=(+tries=1 +timeout=3)
    case $how in
    dig-tcp)
      opts+=(+tcp)
      for i in $(seq "$count"); do echo "t$i.w.near.example A"; done >"$DIR/$how"
      ;;
    dig-txt) for i in $(seq "$count"); do echo "big.near.example TXT"; done >"$DIR/$how" ;;
    esac
    in_clients dig @192.0.2.1 -b "$address" "${opts[@]}" -f "$DIR/$how" >"$DIR/$how.out" 2>&1 &
    loads+=($!)
  done < <(grep dig- "$DIR/plan")
  wait "${loads[@]}"
  local took status
  took=$(awk -v s="$t0" -v e="$(date +%s.%N)" 'BEGIN { printf "%.2f", e - s }')
  status=0
  wait "$quillet_pid" || status=$?
  kill -INT "$ref_pid"
  wait "$ref_pid" || true
  kill "$unbound_pid"
  wait "$unbound_pid" || true
  expect_eq "$what: status" "$status" 0
  expect_eq "$what: stderr" "$(cat "$ERR")" ""
  echo "$what: the loads ended $took s after quillet started"
  check "$what: the loads ended within the capture" \
    awk -v t="$took" 'BEGIN { exit !(t < 4.8) }'
  check "$what: the reference capture dropped nothing" grep -q "^0 packets dropped by kernel" "$DIR/ref.err"

  # What was sent ("address udp tcp"): the sender's own account; dig sends
  # one query a line (+tries=1) and says when it asks again over TCP.
  local retried
  retried=$(grep -c "Truncated, retrying in TCP mode" "$DIR/dig-txt.out" || true)
  {
    cut -d' ' -f1-3 "$DIR/sent.py"
    awk -v r="$retried" '$2 == "dig-tcp" { print $1, 0, $3 } $2 == "dig-txt" { print $1, $3, r }' "$DIR/plan"
  } | sort >"$DIR/truth"
  # A SERVFAIL now and then, under load, is the resolver's business.
  expect_eq "$what: every query answered, NXDOMAIN for the nx client's only" \
    "$({ cut -d' ' -f1,4,5 "$DIR/sent.py"
      for how in dig-tcp dig-txt; do
        echo "$(awk -v h=$how '$2 == h { print $1 }' "$DIR/plan") $(grep -c "status: " "$DIR/$how.out")" \
          "$(grep -c "status: NXDOMAIN" "$DIR/$how.out")"
      done; } | sort)" \
    "$(awk '{ print $1, $3, ($2 == "nx" ? $3 : $2 == "mix" ? $3 * 2 / 5 : 0) }' "$DIR/plan" | sort)"
  "$PYTHON" "$QUERIES" count "$DIR/ref.pcap" >"$DIR/seen"
  expect_eq "$what: the clients' capture holds what was sent" \
    "$(clients_of "$DIR/seen")" "$(cat "$DIR/truth")"
  echo "$what: the resolver's own queries on ens18 (address udp tcp): $(own_of "$DIR/seen" | paste -sd,)"

  local expected listed
  expected=$(awk '{ n[$1] = $2 + $3; total += $2 + $3 }
    END { for (a in n) printf "%s %d %.1f\n", a, n[a], n[a] * 100 / total }' "$DIR/truth" | sort -k2,2nr | head -n 20)
  listed=$(sed -n "s/^{'{#SOURCE}': '\(.*\)', '{#CONTAGEM}': \([0-9]*\), '{#PERCENTUAL}': \(.*\)}$/\1 \2 \3/p" "$OUT")
  echo "$what: truth (address count share) | listed"
  join -a1 -a2 -e- -o 0,1.2,1.3,2.2,2.3 <(sort <<<"$expected") <(sort <<<"$listed") |
    sort -k2,2nr | awk '{ printf "  %-14s %4s %5s | %4s %5s\n", $1, $2, $3, $4, $5 }'
  expect_eq "$what: the listing" "$listed" "$expected"
  expect_eq "$what: the resolver's addresses listed" \
    "$(own_of <(echo "$listed"))" ""

  # The tables, in the lines of dns_queries.py's truth.
  "$PYTHON" "$QUERIES" tables "$DIR/ref.pcap" "$DIR/own" $(cut -d' ' -f1 <<<"$listed") >"$DIR/tables"
  expect_eq "$what: the names, types and answers the listing shows" "$(awk '
    /^quillet\.[a-z_]+[ :,]/ { table = $1; next }
    /^$/ { table = "" }
    table == "quillet.names" && $1 ~ /^[0-9]+$/ { print "name", $2, $3, $4 }
    table == "quillet.client_names" && $1 ~ /^[0-9]+$/ {
      for (i = 4; i < NF; i += 2) { n = $(i + 1); sub(/,$/, "", n); print "client", $2, $i, n } }
    table == "quillet.qtypes" && $1 != "type" { print "type", $1, $2, $3 }
    table == "quillet.answers," { split($0, kv, "="); k = kv[1]; gsub(/quillet\.|rcode\[|\]/, "", k)
      print (k == "answers" ? "answers" : "rcode " k), kv[2] }
    table == "quillet.client_rcodes" && $1 ~ /^[0-9]+$/ { print "client-answers", $2, $3, $4, $6, $8, $10, $12 }
    ' "$OUT")" "$(cat "$DIR/tables")"
  echo "$what: NXDOMAIN and REFUSED of the answers: $(awk '$1 == "rcode" && ($2 == "NXDOMAIN" || $2 == "REFUSED") { printf "%s %s %% ", $2, $3 }' "$DIR/tables")"
}

run_resolver ens18
mkdir -m 755 /etc/quillet
printf 'Interface=any\n' >/etc/quillet/quillet.conf
run_resolver any
finish
