#!/usr/bin/env python3
"""Writes the benchmark table (Markdown) from Google Benchmark JSON results.

Usage: bench/report.py RESULT.json... > report.md
       bench/report.py --check RESULT.json...

Each measure is set against its reference: the host's own cost of a command,
of a whole ProgramFlash and of a discovery against memcpy + memcmp of the same
bytes (reference_bench); the parallel runs against one drive. A benchmark run
several times (--benchmark_repetitions) counts with its least time: a busy
machine only ever adds to a measure.

--check prints the rows that have a bound and exits 1 when one is over it (2
when one was not measured).
"""
import json
import sys

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(paths):
    runs, context = {}, None
    for path in paths:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        context = context or data.get("context", {})
        for b in data.get("benchmarks", []):
            if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
                continue
            name = b["name"]
            parts = name.split("/")
            key = "/".join(p for p in parts if ":" not in p and not p.endswith("_time"))
            scale = UNIT_NS[b.get("time_unit", "ns")]
            run = {
                "cpu": b["cpu_time"] * scale,
                "real": b["real_time"] * scale,
                "failures": b.get("failures", 0),
            }
            if key in runs:
                run["cpu"] = min(run["cpu"], runs[key]["cpu"])
                run["real"] = min(run["real"], runs[key]["real"])
                run["failures"] += runs[key]["failures"]
            runs[key] = run
    return runs, context or {}


# The bounds of the flash phase's per-command cost: the program's own work
# against the memory work the procedure prescribes, and a whole run on the
# zero-latency simulated drive against copying and comparing the image once.
BOUNDS = (
    ("ProgramFlash 1 MiB, drive that only copies / prescribed memory work",
     "ProgramFlashOneMiBCopyingDrive", "PrescribedMemoryWork/1048576", 1.5),
    ("ProgramFlash 1 MiB, zero-latency drive / memcpy+memcmp 1 MiB",
     "ProgramFlashOneMiB", "MemcpyMemcmp/1048576", 2.0),
)


def check(paths):
    runs, _ = load(paths)
    worst = 0
    for label, key, ref_key, bound in BOUNDS:
        value, ref = runs.get(key), runs.get(ref_key)
        if not value or not ref or ref["cpu"] <= 0:
            print(f"NOT MEASURED {label}")
            worst = max(worst, 2)
            continue
        ratio = value["cpu"] / ref["cpu"]
        over = ratio > bound or value.get("failures")
        print(f"{'OVER' if over else 'ok'} {label}: {show(value['cpu'])} / {show(ref['cpu'])}"
              f" = {ratio:.2f}× (bound {bound}×)"
              + (f", {int(value['failures'])} failed runs" if value.get("failures") else ""))
        worst = max(worst, 1 if over else 0)
    return worst


def show(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} µs"
    return f"{ns:.1f} ns"


def main(paths):
    runs, context = load(paths)
    rows = []

    def row(measure, key, ref_key, ref_label, field="cpu", note=""):
        value = runs.get(key)
        ref = runs.get(ref_key)
        if value is None:
            rows.append((measure, "not measured", ref_label, "", note))
            return
        if ref and ref[field] > 0:
            r = value[field] / ref[field]
            ratio = f"{r:.2f}×" if r < 10 else f"{r:.0f}×"
        else:
            ratio = "n/a"
        ref_text = f"{ref_label}: {show(ref[field])}" if ref else ref_label
        if value.get("failures"):
            note = (note + "; " if note else "") + f"{int(value['failures'])} failed runs"
        rows.append((measure, show(value[field]), ref_text, ratio, note))

    for route, key in (("pass-through", "BM_ExecuteCommandPassThrough"),
                       ("ASPI", "BM_ExecuteCommandAspi")):
        row(f"Host cost of one command, 0 B, {route}", f"{key}/0", "MemcpyMemcmp/0",
            "memcpy+memcmp 0 B")
        row(f"Host cost of one command, 16 KiB in, {route}", f"{key}/16384",
            "MemcpyMemcmp/16384", "memcpy+memcmp 16 KiB")
    row("16 KiB WRITE BUFFER + READ BUFFER, pass-through", "BM_WriteReadBlockPassThrough",
        "MemcpyMemcmp/16384", "memcpy+memcmp 16 KiB")
    row("Host CPU of one 1 MiB ProgramFlash (zero-latency drive, virtual waits)",
        "ProgramFlashOneMiB", "MemcpyMemcmp/1048576", "memcpy+memcmp 1 MiB")
    row("Host CPU of one 1 MiB ProgramFlash, drive that only copies",
        "ProgramFlashOneMiBCopyingDrive", "MemcpyMemcmp/1048576", "memcpy+memcmp 1 MiB")
    row("Host CPU of one 1 MiB ProgramFlash, drive that only copies",
        "ProgramFlashOneMiBCopyingDrive", "PrescribedMemoryWork/1048576",
        "prescribed memory work 1 MiB")
    row("Prescribed memory work of 1 MiB (clear, copy in, to staging and back, compare)",
        "PrescribedMemoryWork/1048576", "MemcpyMemcmp/1048576", "memcpy+memcmp 1 MiB")
    row("Discovery of 16 drives, ASPI scan", "BM_DiscoverSixteenAspiDrives", "MemcpyMemcmp/1536",
        "memcpy+memcmp 16 × 96 B")
    row("Discovery of 16 drives, drive letters", "BM_DiscoverSixteenDriveLetters",
        "MemcpyMemcmp/1536", "memcpy+memcmp 16 × 96 B")
    for n in (1, 4, 16):
        row(f"Parallel update, {n} drive{'s' if n > 1 else ''}, 2 ms per command, 1 MiB each "
            "(wall time)", f"ParallelDrives/{n}", "ParallelDrives/1", "one drive", field="real")

    out = ["| Measure | Time | Reference | Ratio | Note |", "|---|---|---|---|---|"]
    out += [f"| {m} | {t} | {r} | {x} | {n} |" for m, t, r, x, n in rows]
    cpus = context.get("num_cpus", "?")
    mhz = context.get("mhz_per_cpu", "?")
    out.append("")
    out.append(f"Machine: {cpus} CPUs at {mhz} MHz; "
               f"measured {context.get('date', '')}. Host costs are CPU time on the simulated "
               "computer (virtual clock, commands not recorded); the parallel rows are wall time "
               "with real 2 ms command latency.")
    print("\n".join(out))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--check"]:
        sys.exit(check(sys.argv[2:]))
    main(sys.argv[1:])
