#!/usr/bin/env python3
"""hostile_dnstop.py CASE REPORT [DNSTOP-ARGS...]

A dnstop that attacks the host it runs on, for the tests only: it makes the
attempt CASE, says on standard error how it went ("hostile: CASE: bloqueado:
..." or "hostile: CASE: CONSEGUIU ..."), then prints the file REPORT as its
report and ends with status 0, as a dnstop whose attack simply failed would.
Attempts that never end by themselves must be cut short by a bound.
"""
import ctypes
import fcntl
import os
import socket
import subprocess
import sys
import termios
import time


class Escaped(Exception):
    pass


def read_shadow():
    with open("/etc/shadow", "rb") as f:
        f.read()


def write_workdir():
    with open("/home/quillet/hostile", "w") as f:
        f.write("x")


def write_etc():
    with open("/etc/quillet-hostile", "w") as f:
        f.write("x")


def write_capture():
    with open("/home/quillet/dump.pcap", "r+b") as f:
        f.write(b"x")


def connect_trapper():
    socket.create_connection(("127.0.0.1", 10052), timeout=2).close()


def raw_socket():
    socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_UDP).close()


def privileged():
    status = dict(line.split(":\t", 1) for line in open("/proc/self/status").read().splitlines()
                  if ":\t" in line)
    caps = {k: v.strip() for k, v in status.items() if k.startswith("Cap")}
    if os.geteuid() == 0 or any(int(v, 16) for v in caps.values()):
        raise Escaped(f"euid {os.geteuid()}, {caps}")
    raise PermissionError(f"euid {os.geteuid()}, every capability set 0")


def signal_parent():
    os.kill(os.getppid(), 9)


def interfaces():
    names = sorted(name for _, name in socket.if_nameindex())
    if names != ["lo"]:
        raise Escaped(f"interfaces {names}")
    raise PermissionError("only lo")


def setuid_binary():
    # A copy of id, setuid root, that the suite left in the scratch directory.
    euid = subprocess.run(["/home/scratch/suid-id", "-u"], capture_output=True,
                          text=True).stdout.strip()
    if euid == "0":
        raise Escaped("euid 0 through the setuid binary")
    os.setuid(0)


def loop_forever():
    while True:
        pass


def allocate():
    block = bytearray(4 << 30)
    raise Escaped(f"{len(block)} bytes allocated")


def write_10g():
    chunk = b"x" * (1 << 20)
    for _ in range(10 << 10):
        sys.stdout.buffer.write(chunk)
    raise Escaped("10 GiB written")


def fork_bomb():
    born = 0
    try:
        while True:
            if os.fork() == 0:
                time.sleep(3600)
                os._exit(0)
            born += 1
    except OSError as e:
        raise PermissionError(f"{e} after {born} processes") from e


def open_tty():
    os.close(os.open("/dev/tty", os.O_RDWR))


def tiocsti():
    # What the admin's root shell reads once quillet ends.
    fd = os.open("/dev/tty", os.O_RDWR)
    for c in b"id > /home/scratch/typed\n":
        fcntl.ioctl(fd, termios.TIOCSTI, bytes([c]))


def unix_socket(address="/home/scratch/open.sock"):
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(address)
        s.sendall(b"192.0.2.10\n")


def abstract_socket():
    unix_socket("\0quillet-hostile")


def socket_pair():
    socket.socketpair()


def write_shm():
    with open("/dev/shm/quillet-hostile", "w") as f:
        f.write("x")


def sysv_shm():
    # A segment anyone may attach, made by the suite; its id in /home/scratch.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.shmat.restype = ctypes.c_void_p
    with open("/home/scratch/shmid") as f:
        shmid = int(f.read())
    if libc.shmat(shmid, None, 0) == ctypes.c_void_p(-1).value:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))


def keyring():
    # The user key that the shell starting quillet added to its session
    # keyring, as an admin's PSK: by name, and by its id in /home/scratch.
    with open("/home/scratch/keyid") as f:
        key = f.read().strip()
    tried = [subprocess.run(["keyctl", *args], capture_output=True, text=True)
             for args in (["search", "@s", "user", "quillet-hostile"], ["print", key])]
    if any(t.returncode == 0 for t in tried):
        raise Escaped(" ".join(t.stdout.strip() for t in tried))
    raise PermissionError("; ".join(t.stderr.strip() for t in tried))


def close_stderr_spin():
    os.close(2)
    loop_forever()


CASES = {f.__name__: f for f in (
    read_shadow, write_workdir, write_etc, write_capture, connect_trapper, raw_socket,
    privileged, signal_parent, interfaces, setuid_binary, loop_forever, allocate,
    write_10g, fork_bomb, open_tty, tiocsti, unix_socket, abstract_socket, socket_pair, write_shm,
    sysv_shm, keyring, close_stderr_spin)}


def main():
    case, report = sys.argv[1], sys.argv[2]
    try:
        CASES[case]()
        print(f"hostile: {case}: CONSEGUIU", file=sys.stderr)
    except Escaped as e:
        print(f"hostile: {case}: CONSEGUIU: {e}", file=sys.stderr)
    except (OSError, MemoryError) as e:
        print(f"hostile: {case}: bloqueado: {type(e).__name__} {e}", file=sys.stderr)
    with open(report, "rb") as f:
        sys.stdout.buffer.write(f.read())


main()
