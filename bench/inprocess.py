#!/usr/bin/python3
"""In-process figures for bench/run: runs brelo_ear_bench (Google Benchmark) with three
repetitions and prints the medians, with ingest plus its share of the flush per report
held against its budget of 200 ns.

Usage: inprocess.py --build DIR [--min-time SECONDS] [--json FILE]
"""

import argparse
import json
import os
import subprocess
import sys

BUDGET_NS = 200.0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--min-time", default="0.2")
    ap.add_argument("--json")
    args = ap.parse_args()

    binary = os.path.join(args.build, "bench", "brelo_ear_bench")
    out = args.json or os.path.join(args.build, "bench-inprocess.json")
    subprocess.run([binary, "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true",
                    f"--benchmark_min_time={args.min_time}", "--benchmark_format=console",
                    f"--benchmark_out={out}", "--benchmark_out_format=json"],
                   check=True, stdout=subprocess.DEVNULL)
    with open(out) as f:
        report = json.load(f)

    medians = {}
    for b in report["benchmarks"]:
        if b.get("aggregate_name") == "median":
            medians[b["run_name"]] = b

    def ns(name, counter="per_report"):
        b = medians.get(name)
        if not b or counter not in b:
            return None
        return b[counter] * 1e9  # counters are seconds per item

    print("In process (medians of 3 repetitions; CPU time):")
    rows = [
        ("ingest, batch of 1 device", ns("BM_Ingest/devices:1")),
        ("ingest, batch of 100 devices", ns("BM_Ingest/devices:100")),
        ("ingest, batch of 10,000 devices", ns("BM_Ingest/devices:10000")),
        ("flush of 100 devices x 10 readings, per report", ns("BM_Flush/devices:100")),
        ("flush of 1,000 devices x 10 readings, per report", ns("BM_Flush/devices:1000")),
        ("whole window, 50 devices x 80 readings (2,000/s), per report", ns("BM_Window/devices:50/readings:80")),
        ("whole window, 100 devices x 10 readings, per report", ns("BM_Window/devices:100/readings:10")),
        ("whole window, 1,000 devices x 10 readings, per report", ns("BM_Window/devices:1000/readings:10")),
    ]
    for label, value in rows:
        if value is not None:
            print(f"  {label:62s} {value:8.1f} ns")
    record = medians.get("BM_RecordText")
    if record:
        print(f"  {'one device record written as JSON text':62s} {record['cpu_time']:8.1f} ns "
              f"({record.get('bytes', 0):.0f} bytes)")
    body = medians.get("BM_EncodeBody")
    if body:
        print(f"  {'upload body of 600 replayed + 100 new records':62s} {body['cpu_time']:8.1f} us "
              f"({body.get('body_bytes', 0) / 1000:.0f} kB, {ns('BM_EncodeBody', 'per_record'):.0f} ns per record)")

    print(f"Ingest plus its share of the flush, per report [<= {BUDGET_NS:.0f} ns]:")
    for ingest, flush, label in (("BM_Ingest/devices:100", "BM_Flush/devices:100", "100 devices"),
                                 ("BM_Ingest/devices:10000", "BM_Flush/devices:1000", "10,000 / 1,000 devices")):
        a, b = ns(ingest), ns(flush)
        if a is None or b is None:
            continue
        total = a + b
        print(f"  {label:24s} {a:6.1f} + {b:6.1f} = {total:6.1f} ns  ratio {total / BUDGET_NS:.2f} "
              + ("met" if total <= BUDGET_NS else "MISSED"))
    window = ns("BM_Window/devices:50/readings:80")
    if window is not None:
        print(f"  {'measured, 2,000/s window':24s} {window:24.1f} ns  ratio {window / BUDGET_NS:.2f} "
              + ("met" if window <= BUDGET_NS else "MISSED"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
