#!/usr/bin/env bash
# Real DNS traffic from simulated clients, seen on an interface named ens18.
#
#   dns_traffic.sh [--plan NAME|FILE] [--ready-file PATH] [--] COMMAND [ARG...]
#       In the current network namespace: makes a veth pair whose local end is
#       ens18 (192.0.2.1/24, 2001:db8::1/32) and whose other end lives in a
#       client namespace of its own; answers DNS on ens18 with a tiny responder;
#       starts COMMAND in the background; once the capture has started (PATH
#       exists, or after one second without --ready-file) sends the plan's
#       queries from the clients' addresses; waits for
#       COMMAND and exits with its status. Everything it made is removed on the
#       way out, also on failure or interrupt.
#   dns_traffic.sh expect [--plan NAME|FILE]
#       The rows that the plan's traffic makes, busiest first: "address count
#       percent", the count of UDP and TCP queries together.
#   dns_traffic.sh plan [--plan NAME|FILE]
#       The plan itself.
#
# A plan has one "address count [tcp]" line per client (# starts a comment):
# addresses in 192.0.2.0/24 or 2001:db8::/32 other than the server's, written
# as dnstop prints them (inet_ntop form), counts all different so that the
# ranking is certain; tcp of the count go over TCP (none by default), all
# pipelined on one connection opened once the capture runs. Plans "default"
# (22 clients, 1000 queries, 70 of them from two clients over TCP: the two
# quietest miss the top twenty) and "small" (5 clients, 100 queries over UDP)
# are built in; with a total of 100 or 1000 every percentage is exact to one
# decimal. A client asks for q<n>.<its address>.clients.example, and one of at
# most two queries for names of strangers' bytes, which are answered NXDOMAIN:
# one like a macro and HTML with control and invalid bytes, one of two labels
# of 63 bytes.
#
# What dnstop does with such traffic (measured with dnstop 20120611): it counts
# queries over UDP only (TCP queries are counted beside it); responses appear neither among the Sources nor in the total,
# and a query needs no answer to be counted. IPv6 sources are counted and
# listed in compressed form, the address column widens to the longest address.
# Percentages are count * 100 / total with one decimal. Equal counts come out
# in no fixed order. So the queries go out without waiting for their answers,
# all clients' interleaved, in well under a second even with every core busy;
# the responder answers them only so that the capture holds answers too, as a
# DNS server's does. The client namespace knows the server's link address
# beforehand: queries queued behind a neighbour lookup could be dropped.
#
# Run it in a network namespace of its own (unshare --net): it refuses to work
# where an ens18 already exists.
set -euo pipefail

SERVER4=192.0.2.1
SERVER6=2001:db8::1
# Debian's interpreter, not a version manager's shim script in front of it: the
# sender and the responder are stopped by their process ids.
PYTHON=$(command -v /usr/bin/python3 || command -v python3 || true)

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
192.0.2.12 80 30
2001:db8::11 70
192.0.2.13 60
192.0.2.14 50
2001:db8::12 45
192.0.2.15 40 40
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
  plan_text "$1" | sed 's/#.*//' | awk 'NF' | "$PYTHON" -c '
import ipaddress, sys
net4, net6 = ipaddress.ip_network("192.0.2.0/24"), ipaddress.ip_network("2001:db8::/32")
servers = {ipaddress.ip_address("'"$SERVER4"'"), ipaddress.ip_address("'"$SERVER6"'")}
seen, counts, rows = set(), set(), []
for number, line in enumerate(sys.stdin, 1):
    fields = line.split()
    try:
        address, count = ipaddress.ip_address(fields[0]), int(fields[1])
        tcp = int(fields[2]) if len(fields) == 3 else 0
        assert len(fields) <= 3 and 0 <= tcp <= count
    except (ValueError, IndexError, AssertionError):
        sys.exit(f"plan line {number}: want \"address count [tcp]\", tcp at most count, got {line.strip()!r}")
    if str(address) != fields[0]:
        sys.exit(f"plan line {number}: write {fields[0]} as dnstop prints it, {address}")
    if address not in (net4 if address.version == 4 else net6) or address in servers:
        sys.exit(f"plan line {number}: {address} is not a client address of 192.0.2.0/24 or 2001:db8::/32")
    if count < 1 or count in counts or address in seen:
        sys.exit(f"plan line {number}: counts must be positive and all different, addresses unique")
    seen.add(address)
    counts.add(count)
    rows.append(f"{address} {count} {tcp}")
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
SENDER=
COMMAND_PID=
WORK=

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  # The client namespace dies with its holder, the last, and the veth pair
  # with it.
  local pid
  for pid in "$COMMAND_PID" "$RESPONDER" "$SENDER" "$HOLDER"; do
    [ -n "$pid" ] || continue
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  ip link del ens18 2>/dev/null || true
  [ -n "$WORK" ] && rm -rf "$WORK"
  exit "$status"
}

in_clients() { nsenter --net="/proc/$HOLDER/ns/net" "$@"; }

# make_network: the veth pair and the client namespace, with the addresses of
# the checked plan in $WORK/plan.
make_network() {
  local address
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
  while read -r address _; do
    case "$address" in
    *:*) in_clients ip -6 addr add "$address/32" dev ens18p nodad ;;
    *) in_clients ip addr add "$address/24" dev ens18p ;;
    esac
  done <"$WORK/plan"
  in_clients ip link set ens18p up
  local mac
  mac=$(ip -o link show ens18 | sed -n 's|.* link/ether \([0-9a-f:]*\) .*|\1|p')
  in_clients ip neigh replace "$SERVER4" lladdr "$mac" dev ens18p nud permanent
  in_clients ip -6 neigh replace "$SERVER6" lladdr "$mac" dev ens18p nud permanent
}

start_responder() {
  "$PYTHON" - "$SERVER4" "$SERVER6" "$WORK/responder.ready" <<'EOF' &
# Answers every DNS query, over UDP and TCP, with no records: NOERROR for a
# name under clients.example, NXDOMAIN for any other.
import select, socket, struct, sys
udp, listeners, streams = [], [], {}
for family, address in ((socket.AF_INET, sys.argv[1]), (socket.AF_INET6, sys.argv[2])):
    s = socket.socket(family, socket.SOCK_DGRAM)
    s.bind((address, 53))
    udp.append(s)
    s = socket.socket(family, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((address, 53))
    s.listen(16)
    listeners.append(s)
open(sys.argv[3], "w").close()
def answer(query):
    qid, flags = struct.unpack("!HH", query[:4])
    end = 12
    while end < len(query) and query[end] != 0:
        end += query[end] + 1
    code = 0 if query[:end + 1].endswith(b"\x07clients\x07example\x00") else 3
    return struct.pack("!HHHHHH", qid, 0x8180 | code | (flags & 0x0100), 1, 0, 0, 0) + query[12:end + 5]
while True:
    for s in select.select(udp + listeners + list(streams), [], [])[0]:
        if s in listeners:
            streams[s.accept()[0]] = b""
        elif s in streams:
            data = s.recv(65536)
            if not data:
                del streams[s]
                s.close()
                continue
            data, replies = streams[s] + data, b""
            while len(data) >= 2 and len(data) >= 2 + struct.unpack("!H", data[:2])[0]:
                length = struct.unpack("!H", data[:2])[0]
                reply = answer(data[2:2 + length])
                replies += struct.pack("!H", len(reply)) + reply
                data = data[2 + length:]
            s.sendall(replies)
            streams[s] = data
        else:
            query, peer = s.recvfrom(4096)
            if len(query) >= 12:
                s.sendto(answer(query), peer)
EOF
  RESPONDER=$!
}

# wait_ready PID FILE WHAT: until the process PID has made FILE, 10 s at most.
wait_ready() {
  local i
  for ((i = 0; i < 200; i++)); do
    [ -e "$2" ] && return
    kill -0 "$1" 2>/dev/null || die "$3 did not start"
    sleep 0.05
  done
  die "$3 did not start within 10 s"
}

# start_sender: a process in the client namespace that binds a UDP socket to
# each client's address and builds every query of $WORK/plan, all before the
# command starts, so that none of it costs the capture time. On a line through
# the FIFO on descriptor 5 it sends them: first each TCP client's on a
# connection of its own, four to a write and the next four once their answers
# came, so that no segment outgrows the 512 bytes that quillet captures of a
# packet; then the UDP ones, the clients'
# interleaved, with a pause of a millisecond after every 50 so that nothing
# queues up; it writes how many left to $WORK/sent.
start_sender() {
  mkfifo "$WORK/go"
  # Opened for reading and writing: neither this shell nor the sender blocks.
  exec 5<>"$WORK/go"
  in_clients "$PYTHON" -c '
import socket, struct, sys, time
server4, server6, plan, go, ready = sys.argv[1:]
queries, streams = [], []
for line in open(plan):
    address, count, tcp = line.split()
    count, tcp = int(count), int(tcp)
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    server = (server6 if family == socket.AF_INET6 else server4, 53)
    s = socket.socket(family, socket.SOCK_DGRAM)
    s.bind((address, 0))
    label = address.replace(":", "-").replace(".", "-")
    framed = []
    for i in range(1, count + 1):
        name = b"".join(bytes([len(p)]) + p.encode() for p in f"q{i}.{label}.clients.example".split("."))
        if count <= 2:  # bytes of strangers: a name like a macro and HTML, one of 127 bytes
            name = b"\x04{$X}\x09<b>\x01\xff</b>" if i == 1 else b"\x3f" + bytes(63) + b"\x3f" + b"\xff" * 63
        wire = struct.pack("!6H", i, 0x0100, 1, 0, 0, 0) + name + b"\0" + struct.pack("!HH", 1, 1)
        if i > count - tcp:
            framed.append(struct.pack("!H", len(wire)) + wire)
        else:
            queries.append((i, s, wire, server))
    if tcp:
        t = socket.socket(family, socket.SOCK_STREAM)
        t.bind((address, 0))
        t.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        t.settimeout(3)
        streams.append((t, server, framed, tcp))
queries.sort(key=lambda q: q[0])
open(ready, "w").close()
open(go).readline()
sent = 0
def answers(t, n):
    data = b""
    while n:
        while len(data) < 2 or len(data) < 2 + struct.unpack("!H", data[:2])[0]:
            data += t.recv(65536) or sys.exit("the responder closed a TCP connection")
        data = data[2 + struct.unpack("!H", data[:2])[0]:]
        n -= 1
for t, server, framed, tcp in streams:
    t.connect(server)
    for at in range(0, tcp, 4):
        t.sendall(b"".join(framed[at:at + 4]))
        sent += len(framed[at:at + 4])
        answers(t, len(framed[at:at + 4]))
    t.close()
for _, s, wire, server in queries:
    s.sendto(wire, server)
    sent += 1
    if sent % 50 == 0:
        time.sleep(0.001)
print(sent)
' "$SERVER4" "$SERVER6" "$WORK/plan" "$WORK/go" "$WORK/sender.ready" >"$WORK/sent" &
  SENDER=$!
}

# send_queries: lets the sender go and waits for it; sets SENT. Fails unless
# every query of the plan left.
send_queries() {
  echo go >&5
  exec 5>&-
  wait "$SENDER" || true
  SENDER=
  SENT=$(cat "$WORK/sent")
  [ "${SENT:-0}" -eq "$(awk '{ n += $2 } END { print n }' "$WORK/plan")" ]
}

run() {
  local plan=$1 ready_file=$2 i t_start t_ready t_sent status
  shift 2
  [ "$(id -u)" = 0 ] || die "needs root (veth, namespaces, port 53)"
  for tool in ip nsenter unshare python3; do
    command -v "$tool" >/dev/null || die "needs $tool"
  done
  ! ip link show ens18 >/dev/null 2>&1 ||
    die "an ens18 exists here already; run me in a network namespace of my own (unshare --net)"

  WORK=$(mktemp -d /tmp/dns_traffic.XXXXXX)
  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  read_plan "$plan" >"$WORK/plan"
  make_network
  start_responder
  start_sender
  wait_ready "$RESPONDER" "$WORK/responder.ready" "the DNS responder"
  wait_ready "$SENDER" "$WORK/sender.ready" "the DNS query sender"

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
  send_queries || status=$?
  t_sent=$(date +%s.%N)
  say "$(awk -v s="$t_start" -v r="$t_ready" -v e="$t_sent" -v n="$SENT" \
    'BEGIN { printf "sent %d queries from %.2f s to %.2f s after the command started", n, r - s, e - s }')"
  [ "$status" -eq 0 ] || say "not every query of the plan left; the capture misses them"

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
