#!/usr/bin/env python3
"""DNS queries of known clients, and their count in a capture.

  dns_queries.py send SERVER4 SERVER6 PLAN
      Sends the queries of PLAN ("address how count" lines) to the server,
      each client in a thread of its own, bound to its address; how is
      "udp" (names that exist, are cached or recursed), "nx" (UDP, names
      that do not exist), "mix" (UDP, three in five www.near.example, A and
      AAAA by turns, two in five missing names of far.example), "tcp" (a
      connection per query) or "pipelined" (all
      on one connection: twenty in one segment, then three at a time, two
      in a segment and one split across two).
      Every query waits for its answer, up to 3 s, and is never sent again.
      Prints "address udp tcp answers nxdomain" per client: the queries
      sent over each transport, the answers, those that said NXDOMAIN.
  dns_queries.py count PCAP
      Counts the queries to port 53 per source in PCAP (Ethernet, as tcpdump
      writes it): "address udp tcp", one line each, with a line "unframed N"
      for TCP streams whose start is not in the capture. TCP streams are put
      together by sequence number from their SYN, each byte once, however
      segments repeat or overlap, and framed by their 2-byte lengths; a
      query is a message with QR clear.
  dns_queries.py tables PCAP OWN CLIENT...
      What the clients in PCAP asked and how the server answered, as lines
      to compare with the listing's tables: "name NAME N SHARE" for the ten
      names (last two labels, lower case) asked most, "client CLIENT NAME N"
      for the three of each CLIENT, "type TYPE N SHARE" per query type,
      "answers N" and "rcode KIND SHARE" for the answers of the addresses in
      the file OWN (one a line) from port 53 to others, "client-answers
      CLIENT N SHARE..." per CLIENT. Ties go by name; shares in percent.
"""
import ipaddress
import random
import socket
import struct
import sys
import threading
import time

def query(qid, name, qtype):
    wire = b"".join(bytes([len(p)]) + p.encode() for p in name.split("."))
    return struct.pack("!6H", qid, 0x0100, 1, 0, 0, 0) + wire + b"\0" + struct.pack("!HH", qtype, 1)


def names(address, how, count):
    label = address.replace(":", "-").replace(".", "-")
    for i in range(count):
        if how == "nx":
            yield f"nx{i}.{label}.near.example", 1
        elif how == "mix":
            yield ("www.near.example", 1 + 27 * (i % 2)) if i % 5 < 3 else (f"nx{i}.{label}.far.example", 1)
        elif i % 3 == 0:
            yield "www.near.example", 1 + 27 * (i % 2)  # cached after its first lookup
        else:
            yield f"q{i}.{label}.w.{'near' if i % 3 == 1 else 'far'}.example", 1 + 27 * (i % 2)


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        piece = sock.recv(n - len(data))
        if not piece:
            raise ConnectionError("closed")
        data += piece
    return data


def read_answer(sock):
    return recv_exact(sock, struct.unpack("!H", recv_exact(sock, 2))[0])


def client(address, how, count, server, result):
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    messages = [query(random.randrange(65536), n, t) for n, t in names(address, how, count)]
    framed = [struct.pack("!H", len(m)) + m for m in messages]
    answers, sent = [], 0
    try:
        if how in ("udp", "nx", "mix"):
            s = socket.socket(family, socket.SOCK_DGRAM)
            s.bind((address, 0))
            s.settimeout(3)
            for m in messages:
                s.sendto(m, (server, 53))
                sent += 1
                answers.append(s.recv(65535))
        elif how == "tcp":
            for m in framed:
                with socket.create_connection((server, 53), 3, (address, 0)) as s:
                    s.sendall(m)
                    sent += 1
                    answers.append(read_answer(s))
        else:
            with socket.create_connection((server, 53), 3, (address, 0)) as s:
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                # Twenty in one segment of about 1 KB, then three at a time,
                # the next three once they are answered.
                s.sendall(b"".join(framed[:20]))
                sent += len(framed[:20])
                answers += [read_answer(s) for _ in framed[:20]]
                for i in range(20, len(framed), 3):
                    group = framed[i:i + 3]
                    s.sendall(b"".join(group[:2]))  # two messages in one segment
                    if len(group) == 3:
                        s.sendall(group[2][:7])  # one split across two
                        time.sleep(0.002)
                        s.sendall(group[2][7:])
                    sent += len(group)
                    answers += [read_answer(s) for _ in group]
    except OSError as e:
        print(f"{address}: {e!r}", file=sys.stderr)
    udp = sent if how in ("udp", "nx", "mix") else 0
    nxdomain = sum(a[3] & 15 == 3 for a in answers)
    result[address] = f"{address} {udp} {sent - udp} {len(answers)} {nxdomain}"


def send(server4, server6, plan):
    result, threads = {}, []
    for line in open(plan):
        fields = line.split("#")[0].split()
        if not fields:
            continue
        address, how, count = fields[0], fields[1], int(fields[2])
        server = server6 if ":" in address else server4
        threads.append(threading.Thread(target=client, args=(address, how, count, server, result)))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("\n".join(result[a] for a in sorted(result)))


def packets(path):
    with open(path, "rb") as f:
        head = f.read(24)
        order = {b"\xd4\xc3\xb2\xa1": "<", b"\xa1\xb2\xc3\xd4": ">", b"\x4d\x3c\xb2\xa1": "<",
                 b"\xa1\xb2\x3c\x4d": ">"}[head[:4]]
        if struct.unpack(order + "I", head[20:24])[0] != 1:
            sys.exit("count: only Ethernet captures")
        while True:
            rec = f.read(16)
            if len(rec) < 16:
                return
            data = f.read(struct.unpack(order + "IIII", rec)[2])
            kind, ip = struct.unpack("!H", data[12:14])[0], data[14:]
            if kind == 0x0800:
                proto, start = ip[9], (ip[0] & 15) * 4
                src, dst, end = ip[12:16], ip[16:20], struct.unpack("!H", ip[2:4])[0]
            elif kind == 0x86DD:
                proto, start, src, dst = ip[6], 40, ip[8:24], ip[24:40]
                end = 40 + struct.unpack("!H", ip[4:6])[0]
            else:
                continue
            yield proto, str(ipaddress.ip_address(src)), str(ipaddress.ip_address(dst)), ip[start:end]


def messages(path):
    """(source, destination, source port, destination port, message, over TCP) of every
    DNS message to or from port 53, and the TCP streams to port 53 without their start."""
    streams, found = {}, []
    for proto, src, dst, seg in packets(path):
        sport, dport = struct.unpack("!HH", seg[0:4])
        if 53 not in (sport, dport):
            continue
        if proto == 17:
            found.append((src, dst, sport, dport, seg[8:], False))
        elif proto == 6:
            seq, flags = struct.unpack("!I", seg[4:8])[0], seg[13]
            stream = streams.setdefault((src, sport, dst, dport), {"syn": None, "segments": []})
            if flags & 2:
                stream["syn"] = seq
            payload = seg[(seg[12] >> 4) * 4:]
            if payload:
                stream["segments"].append((seq, payload))
    unframed = 0
    for (src, sport, dst, dport), stream in streams.items():
        if stream["syn"] is None:
            unframed += dport == 53
            continue
        data = bytearray()
        for seq, payload in sorted(stream["segments"], key=lambda s: (s[0] - stream["syn"] - 1) % 2**32):
            offset = (seq - stream["syn"] - 1) % 2**32
            if offset > len(data):
                break  # a gap: what follows cannot be framed
            data += payload[len(data) - offset:]
        at = 0
        while at + 2 <= len(data):
            length = struct.unpack("!H", data[at:at + 2])[0]
            message = bytes(data[at + 2:at + 2 + length])
            if len(message) < length:
                break
            if length >= 12:
                found.append((src, dst, sport, dport, message, True))
            at += 2 + length
    return found, unframed


def count(path):
    udp, tcp = {}, {}
    found, unframed = messages(path)
    for src, _, _, dport, message, over_tcp in found:
        if dport == 53 and len(message) >= 12 and not message[2] & 0x80:
            (tcp if over_tcp else udp)[src] = (tcp if over_tcp else udp).get(src, 0) + 1
    for address in sorted(set(udp) | set(tcp)):
        print(address, udp.get(address, 0), tcp.get(address, 0))
    print("unframed", unframed)


def question(message):
    """The last two labels of the first question's name and its type, or None."""
    labels, at = [], 12
    while at < len(message) and 0 < message[at] < 64:
        labels.append(message[at + 1:at + 1 + message[at]])
        at += 1 + message[at]
    if at + 5 > len(message) or message[at] != 0 or struct.unpack("!H", message[4:6])[0] == 0:
        return None
    name = ".".join("".join(chr(b + 32) if 65 <= b <= 90 else chr(b) if 33 <= b < 127 and b not in (46, 92)
                            else "\\" + chr(b) if b in (46, 92) else f"\\{b:03d}" for b in label)
                    for label in labels[-2:]) or "."
    return name, struct.unpack("!H", message[at + 1:at + 3])[0]


def tables(path, own_file, ranked):
    own = set(open(own_file).read().split())
    names, client_names, types, answers = {}, {}, {}, {}
    found, _ = messages(path)
    for src, dst, sport, dport, message, _ in found:
        if message[2] & 0x80 and sport == 53 and src in own and dst not in own:
            answers.setdefault(dst, []).append(message[3] & 15)
        elif not message[2] & 0x80 and dport == 53 and src not in own and question(message):
            name, qtype = question(message)
            names[name] = names.get(name, 0) + 1
            client_names[(src, name)] = client_names.get((src, name), 0) + 1
            types[qtype] = types.get(qtype, 0) + 1
    total = sum(names.values())
    by_count = lambda counts: sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))
    for name, n in by_count(names)[:10]:
        print(f"name {name} {n} {100.0 * n / total:.1f}")
    for client in ranked:
        for name, n in by_count({name: n for (c, name), n in client_names.items() if c == client})[:3]:
            print(f"client {client} {name} {n}")
    mnemonic = {1: "A", 28: "AAAA", 16: "TXT", 2: "NS", 12: "PTR", 15: "MX", 33: "SRV", 255: "ANY"}
    for qtype, n in sorted(types.items(), key=lambda kv: (-kv[1], kv[0])):
        print(f"type {mnemonic.get(qtype, f'TYPE{qtype}')} {n} {100.0 * n / total:.1f}")

    def shares(codes):
        kinds = [codes.count(0), codes.count(3), codes.count(2), codes.count(5)]
        return [f"{100.0 * k / len(codes) if codes else 0.0:.1f}" for k in kinds + [len(codes) - sum(kinds)]]
    every = [code for codes in answers.values() for code in codes]
    print("answers", len(every))
    for kind, share in zip(["NOERROR", "NXDOMAIN", "SERVFAIL", "REFUSED", "other"], shares(every)):
        print("rcode", kind, share)
    for client in ranked:
        print("client-answers", client, len(answers.get(client, [])), *shares(answers.get(client, [])))


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "send":
        send(*sys.argv[2:])
    elif len(sys.argv) == 3 and sys.argv[1] == "count":
        count(sys.argv[2])
    elif len(sys.argv) >= 4 and sys.argv[1] == "tables":
        tables(sys.argv[2], sys.argv[3], sys.argv[4:])
    else:
        sys.exit(__doc__)
