#!/usr/bin/env python3
"""results_table.py WORK_DIR

Turns what compare.sh left in WORK_DIR (hyperfine and Google Benchmark JSON,
machine.txt) into the Markdown results of docs/performance.md: the figures,
the ratios and whether each target is met.
"""
import json
import os
import sys

work = sys.argv[1]


def load(name):
    with open(os.path.join(work, name)) as f:
        return json.load(f)


machine = dict(
    line.rstrip("\n").split("=", 1) for line in open(os.path.join(work, "machine.txt"))
)


def hyperfine_medians(name):
    """Median wall time in seconds of each command, in the order they ran."""
    return [r["median"] for r in load(name)["results"]]


def bench_medians(name):
    """The median aggregate of each Google Benchmark run, by run name."""
    medians = {}
    for b in load(name)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            medians[b["run_name"]] = b
    return medians


SCALE = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def seconds(b, key="real_time"):
    return b[key] * SCALE[b["time_unit"]]


def fmt_time(s):
    if s >= 1:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.1f} ms"
    if s >= 1e-6:
        return f"{s * 1e6:.1f} µs"
    if s >= 1e-8:
        return f"{s * 1e9:.0f} ns"
    return f"{s * 1e9:.1f} ns"


def fmt_ratio(r):
    return f"{r:.1f}x" if r < 100 else f"{r:.0f}x"


def met(ok):
    return "yes" if ok else "**no**"


parse = hyperfine_medians("parse.json")
startup = hyperfine_medians("startup.json")
delivery = hyperfine_medians("delivery.json")
run = bench_medians("run.json")
micro = bench_medians("micro.json")

top, awk, python = parse
debug_wall, python_pass = startup
deliver, each, batch = delivery
report_bytes = int(machine["report_1m_bytes"])
peak_bytes = int(machine["peak_rss_kib_1m"]) * 1024
parser = micro["BM_ParseSources/1000000"]
parser_mb_s = parser["bytes_per_second"] / 1e6
own_cpu = run["BM_DebugRun/1000/manual_time"]["own_cpu"]
run_wall = seconds(run["BM_DebugRun/1000/manual_time"])
capture_wall = seconds(run["BM_CaptureCommands/1000/manual_time"])
own_wall = run_wall - capture_wall
MiB = 1024 * 1024

out = []
out.append(
    f"Machine: {machine['cpu']}, {machine['cores']} cores, {machine['memory']}, "
    f"Linux {machine['kernel']}; load average {machine['load_start']} at the start, "
    f"{machine['load_end']} at the end (the machine is shared)."
)
out.append("")
out.append(
    f"Build: {machine['build_type'] or 'RelWithDebInfo (the default)'}, {machine['compiler']}; commit {machine['commit']}; "
    f"{machine['date']}. Tools: {machine['awk']}, {machine['sort']}, {machine['python']}, "
    f"{machine['zabbix_sender']}, {machine['hyperfine']}."
)
out.append("")
out.append(
    f"Produced by `bench/compare.sh --runs {machine['runs']} --write` (as root); every figure is "
    f"the median of {machine['runs']} runs (start-up: {int(machine['runs']) * 5}), "
    "every ratio is taken between figures of this one run."
)
out.append("")
out.append("| Measure | quillet | Compared with | Ratio | Target | Met |")
out.append("|---|---|---|---|---|---|")
out.append(
    f"| Parse and rank the 1,000,000-line report ({report_bytes / 1e6:.1f} MB), "
    f"process start to exit | {fmt_time(top)} | `awk_top.sh` (awk, sort, head): {fmt_time(awk)} "
    f"| {fmt_ratio(awk / top)} faster | 10x | {met(awk / top >= 10)} |"
)
out.append(
    f"| the same | {fmt_time(top)} | `parse_report.py` (Python): {fmt_time(python)} "
    f"| {fmt_ratio(python / top)} faster | 30x | {met(python / top >= 30)} |"
)
out.append(
    f"| Parser alone, ASCII Sources table of 1,000,000 lines, in process | "
    f"{parser_mb_s:.0f} MB/s, {parser['per_line'] * 1e9:.0f} ns/line | | | 300 MB/s "
    f"| {met(parser_mb_s >= 300)} |"
)
out.append(
    f"| Debug run on the 1,000-line report, instant capture, wall | {fmt_time(debug_wall)} "
    f"| `python3 -c pass`: {fmt_time(python_pass)} | {fmt_ratio(python_pass / debug_wall)} "
    "faster | | |"
)
out.append(
    f"| the same: CPU time of the quillet process alone | {fmt_time(own_cpu)} | | | 5 ms "
    f"| {met(own_cpu < 5e-3)} |"
)
out.append(
    f"| the same: wall time minus the capture's two shell commands "
    f"({fmt_time(run_wall)} − {fmt_time(capture_wall)}) | {fmt_time(own_wall)} | | | 5 ms "
    f"| {met(own_wall < 5e-3)} |"
)
out.append(
    f"| Peak resident size, debug run on the 1,000,000-line report | "
    f"{peak_bytes / MiB:.1f} MiB | file size + 16 MiB: {(report_bytes + 16 * MiB) / MiB:.1f} MiB "
    f"| | file + 16 MiB | {met(peak_bytes <= report_bytes + 16 * MiB)} |"
)
out.append(
    f"| 41 deliveries of a run to a loopback trapper (`quillet_deliver`) | {fmt_time(deliver)} "
    f"| 41 `zabbix_sender` runs: {fmt_time(each)} | {fmt_ratio(each / deliver)} faster "
    f"| 10x | {met(each / deliver >= 10)} |"
)
out.append(
    f"| the same | {fmt_time(deliver)} | one `zabbix_sender -i` of the 41 values: "
    f"{fmt_time(batch)} | {deliver / batch:.2f}x its time | under 3x | {met(deliver < 3 * batch)} |"
)
out.append("")

out.append("In-process figures (`quillet_bench`, `quillet_run_bench`):")
out.append("")
out.append("| Benchmark | Time | Rate |")
out.append("|---|---|---|")


def row(name, label, rate):
    b = micro.get(name) or run.get(name)
    if b is None:
        return
    out.append(f"| {label} | {fmt_time(seconds(b))} | {rate(b)} |")


def parse_rate(b):
    return f"{b['bytes_per_second'] / 1e6:.0f} MB/s, {b['per_line'] * 1e9:.0f} ns/line"


for n in (1000, 100000, 1000000):
    row(f"BM_ParseSources/{n}", f"Parse, Sources table of {n:,} lines, ASCII", parse_rate)
for n in (1000, 100000):
    row(
        f"BM_ParseFullReport/{n}",
        f"Parse, full dnstop report with {n:,} sources (reading ends at Destinations)",
        parse_rate,
    )
for n in (1000, 100000):
    row(
        f"BM_ParseUnicode/{n}",
        f"Parse, {n:,} lines with Unicode white space, CR LF and invalid bytes",
        parse_rate,
    )
for n in (1000, 1000000):
    row(f"BM_ParseAndRank/{n}", f"Parse and keep the top 20, {n:,} lines", parse_rate)


def per_item(n, item="record"):
    return lambda b: f"{fmt_time(seconds(b) / n)}/{item}"


for order in ("descending", "shuffled", "ascending"):
    for n in (10000, 100000, 1000000):
        row(
            f"BM_TopSelection/{order}/{n}",
            f"Top-20 selection, {n:,} records, {order} counts",
            per_item(n),
        )
for n in (10000, 100000, 1000000):
    row(f"BM_RankTop/{n}", f"Full stable sort then cut (std::stable_sort), {n:,} records", per_item(n))
row("BM_TcpQueries/100000", "TCP framing, 100,000 connections of two pipelined queries", per_item(100000, "connection"))
row("BM_DiscoveryDocument", "Discovery document of 20 records", per_item(20))
row("BM_DebugLines", "Debug listing lines of 20 records", per_item(20))
row("BM_FormatDouble", "20 doubles in their shortest form", per_item(20, "double"))
row("BM_Delivery/1", "One delivery to an in-process loopback trapper", lambda b: "")
row("BM_Delivery/41", "The 41 deliveries of a run, same trapper", per_item(41, "delivery"))
for mode, name in (("psk", "TLS with a pre-shared key"), ("cert", "TLS with certificates")):
    row(f"BM_DeliveryWith/{mode}/1", f"One delivery, {name}, same trapper", lambda b: "")
    row(f"BM_DeliveryWith/{mode}/41", f"The 41 deliveries of a run, {name}", per_item(41, "delivery"))
for n in (1000, 1000000):
    row(
        f"BM_DebugRun/{n}/manual_time",
        f"Debug run as a process, {n:,}-line report",
        lambda b: f"own CPU {fmt_time(b['own_cpu'])}",
    )
    row(
        f"BM_CaptureCommands/{n}/manual_time",
        f"The capture's two shell commands alone, {n:,}-line report",
        lambda b: "",
    )
out.append("")
print("\n".join(out))
