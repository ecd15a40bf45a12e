#!/usr/bin/env bash
# Real DNS traffic from simulated clients, seen on an interface named ens18.
#
#   dns_traffic.sh [--plan NAME|FILE] [--ready-file PATH] [--] COMMAND [ARG...]
#       In the current network namespace: makes a veth pair whose local end is
#       ens18 (192.0.2.1/24, 2001:db8::1/32) and whose other end lives in a
#       client namespace of its own; answers DNS on ens18 with a tiny responder;
#       starts COMMAND in the background; once the capture has started (PATH
#       exists, or after one second without --ready-file) sends the plan's
#       queries with dig, one source address per client; waits for COMMAND and
#       exits with its status. Everything it made is removed on the way out,
#       also on failure or interrupt.
#   dns_traffic.sh expect [--plan NAME|FILE]
#       The Sources rows that `dnstop` makes of the plan's traffic, busiest
#       first: "address count percent".
#   dns_traffic.sh plan [--plan NAME|FILE]
#       The plan itself.
#
# A plan has one "address count" line per client (# starts a comment):
# addresses in 192.0.2.0/24 or 2001:db8::/32 other than the server's, written
# as dnstop prints them (inet_ntop form), counts all different so that the
# ranking is certain. Plans "default" (22 clients, 1000 queries: the two
# quietest miss the top twenty) and "small" (5 clients, 100 queries) are built
# in; with a total of 100 or 1000 every percentage is exact to one decimal.
#
# What dnstop does with such traffic (measured with dnstop 20120611): it counts
# queries only; responses appear neither among the Sources nor in the total,
# and a query needs no answer to be counted. IPv6 sources are counted and
# listed in compressed form, the address column widens to the longest address.
# Percentages are count * 100 / total with one decimal. Equal counts come out
# in no fixed order. The responder is there only so that dig does not wait:
# unanswered queries to a closed port cost a time-out each once the kernel
# rate-limits its ICMP errors.
#
# Run it in a network namespace of its own (unshare --net): it refuses to work
# where an ens18 already exists.
set -euo pipefail

SERVER4=192.0.2.1
SERVER6=2001:db8::1

say() { echo "dns_traffic: $*" >&2; }
die() {
  say "$*"
  exit 2
}

plan_text() {
  case "$1" in
  default)
    cat <<'EOF'
192.0.2.10 150
2001:db8::10 120
192.0.2.11 100
2001:db8:ffff:1:2:3:4:5 90
192.0.2.12 80
2001:db8::11 70
192.0.2.13 60
192.0.2.14 50
2001:db8::12 45
192.0.2.15 40
192.0.2.16 35
2001:db8::13 30
192.0.2.17 25
192.0.2.18 20
2001:db8::14 18
192.0.2.19 16
192.0.2.20 14
2001:db8::15 12
192.0.2.21 10
192.0.2.22 8
2001:db8::16 5
192.0.2.23 2
EOF
    ;;
  small)
    cat <<'EOF'
192.0.2.10 40
2001:db8::10 25
192.0.2.11 15
2001:db8::11 12
192.0.2.12 8
EOF
    ;;
  *) cat "$1" ;;
  esac
}

# The plan without comments and blank lines, checked: "address count" lines.
read_plan() {
  case "$1" in
  default | small) ;;
  *) [ -r "$1" ] || die "no plan '$1' (default, small or a readable file)" ;;
  esac
  plan_text "$1" | sed 's/#.*//' | awk 'NF' | /usr/bin/env python3 -c '
import ipaddress, sys
net4, net6 = ipaddress.ip_network("192.0.2.0/24"), ipaddress.ip_network("2001:db8::/32")
servers = {ipaddress.ip_address("'"$SERVER4"'"), ipaddress.ip_address("'"$SERVER6"'")}
seen, counts, rows = set(), set(), []
for number, line in enumerate(sys.stdin, 1):
    fields = line.split()
    try:
        address, count = ipaddress.ip_address(fields[0]), int(fields[1])
        assert len(fields) == 2
    except (ValueError, IndexError, AssertionError):
        sys.exit(f"plan line {number}: want \"address count\", got {line.strip()!r}")
    if str(address) != fields[0]:
        sys.exit(f"plan line {number}: write {fields[0]} as dnstop prints it, {address}")
    if address not in (net4 if address.version == 4 else net6) or address in servers:
        sys.exit(f"plan line {number}: {address} is not a client address of 192.0.2.0/24 or 2001:db8::/32")
    if count < 1 or count in counts or address in seen:
        sys.exit(f"plan line {number}: counts must be positive and all different, addresses unique")
    seen.add(address)
    counts.add(count)
    rows.append(f"{address} {count}")
if not rows:
    sys.exit("the plan has no clients")
print("\n".join(rows))
'
}

expect() {
  read_plan "$1" | sort -k2,2nr |
    awk '{ a[NR] = $1; c[NR] = $2; total += $2 }
         END { for (i = 1; i <= NR; i++) printf "%s %d %.1f\n", a[i], c[i], c[i] * 100 / total }'
}

# ---------------------------------------------------------------------------
# The traffic run.

HOLDER=
RESPONDER=
COMMAND_PID=
WORK=

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$COMMAND_PID" ] && kill -0 "$COMMAND_PID" 2>/dev/null; then
    kill "$COMMAND_PID" 2>/dev/null || true
    wait "$COMMAND_PID" 2>/dev/null || true
  fi
  if [ -n "$RESPONDER" ]; then
    kill "$RESPONDER" 2>/dev/null || true
    wait "$RESPONDER" 2>/dev/null || true
  fi
  # The client namespace dies with its only process, and the veth pair with it.
  if [ -n "$HOLDER" ]; then
    kill "$HOLDER" 2>/dev/null || true
    wait "$HOLDER" 2>/dev/null || true
  fi
  ip link del ens18 2>/dev/null || true
  [ -n "$WORK" ] && rm -rf "$WORK"
  exit "$status"
}

in_clients() { nsenter --net="/proc/$HOLDER/ns/net" "$@"; }

make_network() {
  local plan=$1 address count
  ip link add ens18 type veth peer name ens18p || die "cannot create the veth pair ens18/ens18p"
  # A process of its own holds the client namespace: no name under /run/netns
  # to clean up, and nothing survives it.
  unshare --net sleep infinity &
  HOLDER=$!
  local i
  for ((i = 0; i < 50; i++)); do
    [ "$(readlink "/proc/$HOLDER/ns/net")" != "$(readlink /proc/self/ns/net)" ] && break
    sleep 0.02
  done
  ip link set ens18p netns "$HOLDER"
  ip addr add "$SERVER4/24" dev ens18
  ip -6 addr add "$SERVER6/32" dev ens18 nodad
  ip link set ens18 up
  in_clients ip link set lo up
  while read -r address count; do
    case "$address" in
    *:*) in_clients ip -6 addr add "$address/32" dev ens18p nodad ;;
    *) in_clients ip addr add "$address/24" dev ens18p ;;
    esac
  done < <(read_plan "$plan")
  in_clients ip link set ens18p up
}

start_responder() {
  /usr/bin/env python3 - "$SERVER4" "$SERVER6" "$WORK/responder.ready" <<'EOF' &
# Answers every DNS query with NOERROR and no records.
import select, socket, struct, sys
socks = []
for family, address in ((socket.AF_INET, sys.argv[1]), (socket.AF_INET6, sys.argv[2])):
    s = socket.socket(family, socket.SOCK_DGRAM)
    s.bind((address, 53))
    socks.append(s)
open(sys.argv[3], "w").close()
while True:
    for s in select.select(socks, [], [])[0]:
        query, peer = s.recvfrom(4096)
        if len(query) < 12:
            continue
        qid, flags = struct.unpack("!HH", query[:4])
        end = 12
        while end < len(query) and query[end] != 0:
            end += query[end] + 1
        question = query[12:end + 5]
        s.sendto(struct.pack("!HHHHHH", qid, 0x8180 | (flags & 0x0100), 1, 0, 0, 0) + question, peer)
EOF
  RESPONDER=$!
  local i
  for ((i = 0; i < 100; i++)); do
    [ -e "$WORK/responder.ready" ] && return
    kill -0 "$RESPONDER" 2>/dev/null || die "the DNS responder did not start"
    sleep 0.05
  done
  die "the DNS responder did not start within 5 s"
}

# send_queries PLAN: every client's queries, one dig batch per client.
send_queries() {
  local address count server label i answered total=0 missing=0
  while read -r address count; do
    case "$address" in *:*) server=$SERVER6 ;; *) server=$SERVER4 ;; esac
    label=${address//[:.]/-}
    for ((i = 1; i <= count; i++)); do
      echo "-b $address @$server +tries=1 +timeout=2 q$i.$label.clients.example. A"
    done >"$WORK/batch"
    answered=$(in_clients dig -f "$WORK/batch" 2>&1 | grep -c 'status: NOERROR' || true)
    total=$((total + count))
    if [ "$answered" -ne "$count" ]; then
      say "$address: $answered of $count queries answered"
      missing=$((missing + count - answered))
    fi
  done < <(read_plan "$1")
  SENT=$total
  [ "$missing" -eq 0 ]
}

run() {
  local plan=$1 ready_file=$2 i t_start t_ready t_sent status
  shift 2
  [ "$(id -u)" = 0 ] || die "needs root (veth, namespaces, port 53)"
  for tool in ip dig nsenter unshare python3; do
    command -v "$tool" >/dev/null || die "needs $tool"
  done
  ! ip link show ens18 >/dev/null 2>&1 ||
    die "an ens18 exists here already; run me in a network namespace of my own (unshare --net)"
  read_plan "$plan" >/dev/null

  WORK=$(mktemp -d /tmp/dns_traffic.XXXXXX)
  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  make_network "$plan"
  start_responder

  [ -z "$ready_file" ] || rm -f "$ready_file"
  t_start=$(date +%s.%N)
  "$@" &
  COMMAND_PID=$!
  if [ -n "$ready_file" ]; then
    # The capture file appears once tcpdump has opened the interface.
    for ((i = 0; i < 100; i++)); do
      [ -e "$ready_file" ] && break
      kill -0 "$COMMAND_PID" 2>/dev/null || break
      sleep 0.02
    done
    [ -e "$ready_file" ] || say "$ready_file did not appear within 2 s; sending anyway"
    sleep 0.2
  else
    sleep 1
  fi
  t_ready=$(date +%s.%N)
  status=0
  send_queries "$plan" || status=$?
  t_sent=$(date +%s.%N)
  say "$(awk -v s="$t_start" -v r="$t_ready" -v e="$t_sent" -v n="$SENT" \
    'BEGIN { printf "sent %d queries from %.2f s to %.2f s after the command started", n, r - s, e - s }')"
  [ "$status" -eq 0 ] || say "some queries went unanswered; the capture may miss them"

  set +e
  wait "$COMMAND_PID"
  status=$?
  set -e
  COMMAND_PID=
  return "$status"
}

plan=default
ready_file=
mode=run
case "${1:-}" in
expect | plan)
  mode=$1
  shift
  ;;
esac
while [ $# -gt 0 ]; do
  case "$1" in
  --plan)
    plan=${2:?--plan needs a name or file}
    shift 2
    ;;
  --ready-file)
    ready_file=${2:?--ready-file needs a path}
    shift 2
    ;;
  --)
    shift
    break
    ;;
  -*) die "unknown option $1" ;;
  *) break ;;
  esac
done

case "$mode" in
expect) expect "$plan" ;;
plan) read_plan "$plan" ;;
run)
  [ $# -gt 0 ] || die "usage: $0 [--plan NAME|FILE] [--ready-file PATH] [--] COMMAND [ARG...]"
  run "$plan" "$ready_file" "$@"
  ;;
esac
