#!/usr/bin/env python3
"""Turns the result lines of one scripts/run-bench run into its Markdown table.

    report.py VALUES.tsv RESULTS.md

Input lines (tab-separated), as printed by kelvo-bench and kelvo-bench-win:
    value   LABEL METRIC MEDIAN MIN MAX     LABEL: one, two (CPUs) or unpinned
    allocs  CLIENT OPS EXCHANGES ALLOCATIONS SECONDS
    instr   CLIENT OPS INSTRUCTIONS         (callgrind totals over the timed loop)
    found   LABEL METRIC CALLS-THAT-FOUND-ALL CALLS
The run's settings and machine come from BENCH_* environment variables.
"""
import os
import sys
from collections import defaultdict

SCAN_REPLY_MS = 5  # the simulator's reply delay in the scan
INITIAL_FLOOR = 1.5  # seconds: the discovery wait of Kelvo_Initial
RATIO_GOAL = 0.95
INSTRUCTION_GOAL = 2.5  # the per-unit lock and the trace branch included


def load(path):
    values, allocs, instr, found = {}, {}, defaultdict(dict), {}
    with open(path) as f:
        for line in f:
            f = line.rstrip("\r\n").split("\t")
            if f[0] == "value":
                values[(f[1], f[2])] = tuple(float(x) for x in f[3:6])
            elif f[0] == "allocs":
                allocs[f[1]] = (int(f[3]), int(f[4]))
            elif f[0] == "instr":
                instr[f[1]][int(f[2])] = int(f[3])
            elif f[0] == "found":
                found[f[2]] = (int(f[3]), int(f[4]))
    return values, allocs, instr, found


def main():
    values, allocs, instr, found = load(sys.argv[1])
    env = os.environ.get
    rows = []

    def row(name, one, two="", goal=""):
        rows.append(f"| {name} | {one} | {two} | {goal} |")

    def spread(label, metric, scale=1.0, digits=0):
        v = values.get((label, metric))
        if not v:
            return "not measured"
        med, lo, hi = (x / scale for x in v)
        return f"{med:,.{digits}f} ({lo:,.{digits}f}–{hi:,.{digits}f})"

    def ratio(label, metric):
        v = values.get((label, metric))
        return f"{v[0]:.2f} ({v[1]:.2f}–{v[2]:.2f})" if v else "not measured"

    def ratio_goal(metric):
        vals = [values.get((label, metric)) for label in ("one", "two")]
        if any(v is None for v in vals):
            return f"≥ {RATIO_GOAL}"
        met = all(v[0] >= RATIO_GOAL for v in vals)
        return f"≥ {RATIO_GOAL}: " + ("met" if met else "**missed**")

    def pair(metric, title, baseline, unit="round trips/s", scale=1.0, digits=0, goal=True):
        for label, m in ((title, f"{metric}.lib"), (baseline, f"{metric}.raw")):
            row(f"{label}, {unit}", spread("one", m, scale, digits), spread("two", m, scale, digits))
        row("&nbsp;&nbsp;**library / raw**, paired per repetition", ratio("one", f"{metric}.ratio"),
            ratio("two", f"{metric}.ratio"), ratio_goal(f"{metric}.ratio") if goal else "")

    pair("readdio", "1 · Kelvo_ReadDIO, 24-byte replies", "1 · raw socket client, same exchange")
    pair("multiaio", "2 · Kelvo_MultiReadAIO, 256-byte replies",
         "2 · raw socket client, same exchange")
    pair("memread", "2 · Kelvo_MemReadDIO, 1 MiB", "2 · raw 8-to-256-byte ping-pong, same chunks",
         unit="MB/s", scale=1e6, digits=2)
    row("3 · libmodbus client reading 64 coils from a libmodbus server, round trips/s",
        spread("one", "modbus.read64"), spread("two", "modbus.read64"))
    row("&nbsp;&nbsp;libmodbus / raw ReadDIO client, paired", ratio("one", "modbus.ratio"),
        ratio("two", "modbus.ratio"))

    # Instructions: the loop's own (the "null" client) are taken off; the
    # per-exchange figure of the longer run is shown.
    def per_exchange(client):
        runs = sorted(instr.get(client, {}).items())
        return [ir / n for n, ir in runs] if len(runs) >= 2 else None

    loop = per_exchange("null")

    def net(client):
        p = per_exchange(client)
        return p[-1] - loop[-1] if p and loop else None

    def instr_row(name, client, goal=""):
        n = net(client)
        row(name, f"{n:,.0f}" if n is not None else "not measured", "—", goal)

    def instr_ratio(name, a, b, goal=None):
        x, y = net(a), net(b)
        r = x / y if x and y else None
        g = ""
        if goal is not None:
            g = f"≤ {goal}" + ((": met" if r <= goal else ": **missed**") if r else "")
        row(name, f"{r:.2f}" if r else "not measured", "—", g)

    instr_row("4 · instructions per exchange, Kelvo_ReadDIO", "lib-readdio")
    instr_row("4 · instructions per exchange, raw client (same exchange)", "raw-readdio")
    instr_ratio("&nbsp;&nbsp;**Kelvo_ReadDIO / raw**, instructions", "lib-readdio", "raw-readdio",
                INSTRUCTION_GOAL)
    instr_row("4 · instructions per exchange, Kelvo_MultiReadAIO", "lib-multiaio")
    instr_row("4 · instructions per exchange, raw client (256-byte reply)", "raw-multiaio")
    instr_ratio("&nbsp;&nbsp;Kelvo_MultiReadAIO / raw, instructions", "lib-multiaio",
                "raw-multiaio")
    instr_row("4 · instructions per exchange, libmodbus read of 64 coils", "modbus")

    # goal: allocations per exchange the library is meant to make (None: no
    # goal); why: what they are for.
    def alloc_row(name, client, goal=None, why=""):
        c = allocs.get(client)
        if not c:
            row(name, "not measured", "—", f"{goal}{why}" if goal is not None else "")
            return
        exchanges, count = c
        if count < 0:
            row(name, "not counted (sanitizer build)", "—", f"{goal}{why}" if goal is not None else "")
            return
        g = ""
        if goal is not None:
            g = f"{goal}{why}: " + ("met" if count == goal * exchanges else "**missed**")
        row(name, f"{count / exchanges:g} ({count:,} in {exchanges:,} exchanges)", "—", g)

    alloc_row("4 · heap allocations per exchange, Kelvo_ReadDIO", "lib-readdio", 0)
    # The multi-channel analog calls take one 240-byte working block from the
    # heap per call, by the library's design; every other exchange takes none.
    alloc_row("4 · heap allocations per exchange, Kelvo_MultiReadAIO", "lib-multiaio", 1,
              " (its 240-byte block)")
    alloc_row("4 · heap allocations per exchange, Kelvo_MemReadDIO of 1 MiB", "lib-memread")
    alloc_row("4 · heap allocations per exchange, raw client", "raw-readdio")
    alloc_row("4 · heap allocations per exchange, libmodbus", "modbus")

    for units in (1, 20, 100):
        metric = f"initial.{units}"
        v = values.get(("unpinned", metric))
        f = found.get(metric)
        if v:
            cell = f"{v[0]:.3f} s ({v[1]:.3f}–{v[2]:.3f}), {v[0] - INITIAL_FLOOR:+.3f} s"
            if f and f[0] != f[1]:
                cell += f"; **all units found in only {f[0]} of {f[1]} calls**"
        else:
            cell = "not measured"
        name = f"5 · Kelvo_Initial, {units} simulated unit{'s' if units > 1 else ''}"
        row(name, cell, "— (unpinned)", f"floor {INITIAL_FLOOR} s (the discovery wait)")

    # One reply time: a single unit read serially (the simulator's delay plus
    # the exchange).
    one = values.get(("unpinned", "scan.serial.1"))
    reply_ms = one[0] if one else SCAN_REPLY_MS
    for units in (1, 10, 100):
        t, r = values.get(("unpinned", f"scan.threads.{units}")), values.get(
            ("unpinned", f"scan.serial.{units}"))
        cell = "not measured"
        if t and r:
            cell = (f"{t[0]:.1f} ms ({t[1]:.1f}–{t[2]:.1f}); serially {r[0]:.1f} ms; "
                    f"{t[0] / reply_ms:.2f}× one reply")
        goal = ""
        if units == 100:
            goal = f"≤ 2× one reply ({reply_ms:.1f} ms)"
            if t:
                goal += ": " + ("met" if t[0] <= 2 * reply_ms else "**missed**")
        row(f"5 · scan: port 0 of {units} unit{'s' if units > 1 else ''}, one thread each",
            cell, "— (unpinned)", goal)

    pair("wine.readdio", "6 · Wine: Kelvo_ReadDIO through the 32-bit KelvoDLL.dll",
         "6 · Wine: raw 32-bit Winsock client, same exchange", goal=False)
    pair("wine64.readdio", "6 · 64-bit Wine: Kelvo_ReadDIO through the 64-bit KelvoDLL.dll",
         "6 · 64-bit Wine: raw 64-bit Winsock client, same exchange", goal=False)

    def wine_cost(label, metric):
        a, b = values.get((label, "readdio.lib")), values.get((label, f"{metric}.readdio.lib"))
        return f"{a[0] / b[0]:.1f}× fewer round trips" if a and b else "not measured"

    for metric, name in (("wine", "32-bit"), ("wine64", "64-bit")):
        row(f"6 · Wine cost: native Kelvo_ReadDIO / {name} DLL under Wine (medians)",
            wine_cost("one", metric), wine_cost("two", metric))

    notes = []
    if loop:
        spreads = []
        for client in instr:
            p = per_exchange(client)
            if p and client != "null":
                spreads.append(abs(p[0] - p[-1]))
        runs = sorted(next(iter(instr.values())).keys())
        notes.append(
            f"Instructions: callgrind `--instr-atstart=no`, counted between "
            f"CALLGRIND_START/STOP_INSTRUMENTATION around the timed loop only (user space; "
            f"system calls count as their library wrappers). The loop's own "
            f"{loop[-1]:.1f} instructions per iteration are taken off. Runs of "
            f"{' and '.join(f'{r:,}' for r in runs)} exchanges agree to within "
            f"{max(spreads, default=0):.2f} instructions per exchange.")
    notes.append(
        "Heap allocations: counted over the timed loop by the benchmark's own malloc, "
        "calloc, realloc and memalign, which forward to glibc and which the library "
        "binds to.")

    reps, secs = env("BENCH_REPS", "?"), env("BENCH_SECONDS", "?")
    cpu_a, cpu_b = env("BENCH_CPU_A", "?"), env("BENCH_CPU_B", "?")
    text = "\n".join([
        "# Kelvo benchmark results",
        "",
        f"| Measurement | One CPU: client and peer on CPU {cpu_a} | "
        f"Two CPUs: client on CPU {cpu_b} | Goal |",
        "|---|---|---|---|",
        *rows,
        "",
        f"Round trips: median (min–max) of {reps} repetitions of {secs} s per client and "
        f"placement. Within each repetition the library and its raw baseline (and libmodbus) "
        f"run back to back in rotating order; each ratio is taken within one repetition, then "
        f"the median of the ratios is shown. Peers: kelvo-bench-peer (plain C, one epoll "
        f"thread) and a libmodbus server, both pinned to CPU {cpu_a}. Rows marked — in the "
        f"two-CPU column do not depend on placement (instructions, allocations) or ran "
        f"unpinned (Kelvo_Initial, whose 1.5 s wait dwarfs placement effects).",
        "",
        *[n + "\n" for n in notes],
        f"Machine: {env('BENCH_MACHINE', 'unknown')}.  ",
        f"Run: {env('BENCH_RUN', 'unknown')}.",
        "",
    ])
    print(text)
    with open(sys.argv[2], "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
