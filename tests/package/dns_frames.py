#!/usr/bin/env python3
"""Sends DNS queries as raw Ethernet frames out of one interface.

Usage: dns_frames.py INTERFACE SECONDS
       dns_frames.py INTERFACE --late FILE DELAY COUNT [COUNT6]

Every 0.1 s for SECONDS, 192.0.2.10 asks three queries and 192.0.2.20 one, all
to 192.0.2.53 port 53. With --late: waits until FILE exists (the capture has
begun), until DELAY seconds after it was made, then 192.0.2.30 asks COUNT queries at once,
and 2001:db8::30 COUNT6 more (to 2001:db8::53) among them.
Meant for the far end of a veth pair inside a test's own network namespace:
the frames go nowhere else.
"""
import os
import socket
import struct
import sys
import time


def checksum(data: bytes) -> int:
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def query_frame(source: str, query_id: int) -> bytes:
    question = b"\x07example\x03com\x00" + struct.pack("!HH", 1, 1)  # A, IN
    dns = struct.pack("!6H", query_id, 0x0100, 1, 0, 0, 0) + question
    length = 8 + len(dns)
    ethernet = b"\x02\x00\x00\x00\x00\x01" + b"\x02\x00\x00\x00\x00\x02"
    if ":" in source:
        addresses = socket.inet_pton(socket.AF_INET6, source) + socket.inet_pton(
            socket.AF_INET6, "2001:db8::53")
        # The UDP checksum is mandatory over IPv6: over the pseudo-header too.
        udp = struct.pack("!4H", 40000, 53, length, 0) + dns
        pseudo = addresses + struct.pack("!IxxxB", length, 17)
        padded = pseudo + udp + b"\x00" * (len(udp) % 2)
        udp = udp[:6] + struct.pack("!H", checksum(padded) or 0xFFFF) + udp[8:]
        ip = struct.pack("!IHBB", 0x60000000, length, 17, 64) + addresses
        return ethernet + b"\x86\xdd" + ip + udp
    udp = struct.pack("!4H", 40000, 53, length, 0) + dns
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), query_id, 0, 64, 17, 0,
                     socket.inet_aton(source), socket.inet_aton("192.0.2.53"))
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    return ethernet + b"\x08\x00" + ip + udp


def late_burst(sock: socket.socket, ready: str, delay: float, count: int, count6: int) -> None:
    deadline = time.monotonic() + 10
    while not os.path.exists(ready):
        if time.monotonic() > deadline:
            sys.exit(f"{ready} never appeared")
        time.sleep(0.005)
    # From the moment the capture began, however late this process saw it.
    time.sleep(max(0.0, os.stat(ready).st_mtime + delay - time.time()))
    for query_id in range(1, max(count, count6) + 1):
        if query_id <= count:
            sock.send(query_frame("192.0.2.30", query_id))
        if query_id <= count6:
            sock.send(query_frame("2001:db8::30", query_id))


def main() -> None:
    interface = sys.argv[1]
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    sock.bind((interface, 0))
    if sys.argv[2] == "--late":
        count6 = int(sys.argv[6]) if len(sys.argv) > 6 else 0
        late_burst(sock, sys.argv[3], float(sys.argv[4]), int(sys.argv[5]), count6)
        return
    seconds = float(sys.argv[2])
    end = time.monotonic() + seconds
    sent = 0
    while time.monotonic() < end:
        for source, count in (("192.0.2.10", 3), ("192.0.2.20", 1)):
            for _ in range(count):
                sent += 1
                sock.send(query_frame(source, sent & 0xFFFF))
        time.sleep(0.1)


if __name__ == "__main__":
    main()
