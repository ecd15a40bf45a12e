#!/usr/bin/env python3
"""parse_report.py REPORT

The parse and ranking of a dnstop report as a Python admin would write it with
the standard library alone, for compare.sh: the "Sources" table's records, the
twenty greatest counts (a stable sort, so equal counts keep report order),
printed as "address count" lines like quillet_top prints them.
"""
import ipaddress
import sys


def records(path):
    with open(path, encoding="utf-8", errors="ignore") as report:
        text = report.read()
    capturing = False
    for line in text.splitlines():
        if "Sources" in line and "Count" in line and "%" in line:
            capturing = True
            continue
        if not capturing:
            continue
        if "Destinations" in line:
            break
        if not line.strip() or line.startswith("-"):
            continue
        fields = line.split()
        if len(fields) != 4:
            continue
        try:
            ipaddress.ip_address(fields[0])
            count = int(fields[1])
            share = float(fields[2])
        except ValueError:
            continue
        yield {"{#SOURCE}": fields[0], "{#CONTAGEM}": count, "{#PERCENTUAL}": share}


def main():
    ranked = sorted(records(sys.argv[1]), key=lambda r: r["{#CONTAGEM}"], reverse=True)
    for record in ranked[:20]:
        print(record["{#SOURCE}"], record["{#CONTAGEM}"])


if __name__ == "__main__":
    main()
