#!/usr/bin/env python3
"""Reads the credentials of a run's processes from /proc while they run.

Usage: proc_watch.py ANCESTOR SECONDS COMM...

Looks through /proc as fast as it can for descendants of the process ANCESTOR
whose name is one of COMM, until a descendant named quillet has come and gone,
or for SECONDS at most. Prints one line per name seen: the last reading of the
first process of that name, "NAME key=value ...": Uid, Gid, Groups (blanks as
commas), the five capability sets and NoNewPrivs as /proc/PID/status has them,
the net, pid, mnt and user namespaces, each "same" or "own" against those of
the quillet process, and "ms": how long after its first sight the reading was
taken (a process that lives a few milliseconds is read at its first sight).
"""
import os
import sys
import time

FIELDS = ("Uid", "Gid", "Groups", "CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb", "NoNewPrivs")
NAMESPACES = ("net", "pid", "mnt", "user")


def descendants(ancestor: str) -> list:
    children = {}
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open(f"/proc/{pid}/stat") as f:
                    parent = f.read().rpartition(")")[2].split()[1]
            except OSError:
                continue  # ended meanwhile
            children.setdefault(parent, []).append(pid)
    found, todo = [], [ancestor]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def reading(pid: str) -> dict:
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in FIELDS:
                values[key] = ",".join(value.split())
    for ns in NAMESPACES:
        values["ns_" + ns] = os.readlink(f"/proc/{pid}/ns/{ns}")
    return values


def main() -> None:
    ancestor, seconds, names = sys.argv[1], float(sys.argv[2]), set(sys.argv[3:])
    deadline = time.monotonic() + seconds
    first_seen, last = {}, {}
    quillet = None
    while time.monotonic() < deadline:
        quillet_alive = False
        for pid in descendants(ancestor):
            try:
                with open(f"/proc/{pid}/comm") as f:
                    comm = f.read().strip()
                if comm == "quillet" and quillet in (None, pid):
                    quillet_alive = True
                    if quillet is None:
                        quillet = pid
                        quillet_ns = {ns: os.readlink(f"/proc/{pid}/ns/{ns}") for ns in NAMESPACES}
                if comm in names and first_seen.get(comm, (pid,))[0] == pid:
                    values = reading(pid)
                    now = time.monotonic()
                    first_seen.setdefault(comm, (pid, now))
                    values["ms"] = str(round((now - first_seen[comm][1]) * 1000))
                    last[comm] = values
            except OSError:
                continue  # ended meanwhile
        if quillet is not None and not quillet_alive:
            break
    for comm in sorted(last):
        values = last[comm]
        for ns in NAMESPACES:
            mine = values.pop("ns_" + ns)
            values[ns] = "?" if quillet is None else ("same" if mine == quillet_ns[ns] else "own")
        print(comm, " ".join(f"{key}={value}" for key, value in values.items()))


if __name__ == "__main__":
    main()
