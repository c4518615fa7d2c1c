#!/usr/bin/env python3
"""Runs the benchmarks of bench/ against a built tree and prints one table of their figures
(median and spread over repeated runs, and the ratio to the figure's floor where it has one);
the same table, with the machine's load, goes to BUILD/bench.json.

  suite.py --build BUILD [NAME...]     NAME: one of the benchmarks below (default: all)

Each benchmark appends its figures to the file named by VR_BENCH_JSON, one JSON object a line.
"""

import argparse
import datetime
import glob
import json
import os
import subprocess
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)


# Scripts of bench/ that are not benchmarks of their own.
NOT_BENCHMARKS = {"benchlib", "suite", "soak"}
# The order of the table; benchmarks found beside them follow in name order.
ORDER = ["device_exchange", "caldata_import", "caldata_window", "program", "remote_roundtrip"]


def benchmarks(build):
    """Name -> command line: every program bench_NAME built in BUILD/bench, and every python3
    script bench/NAME.py, which takes the folder of the program and the simulator as --bin."""
    bin_dir = os.path.join(build, "bin")
    found = {}
    for path in glob.glob(os.path.join(build, "bench", "bench_*")):
        if os.path.isfile(path) and os.access(path, os.X_OK):
            found[os.path.basename(path)[len("bench_"):]] = [path]
    for path in glob.glob(os.path.join(BENCH, "*.py")):
        name = os.path.basename(path)[:-3]
        if name not in NOT_BENCHMARKS:
            found[name] = [sys.executable, path, "--bin", bin_dir]
    if "device_exchange" in found:
        found["device_exchange"] += ["--sim", os.path.join(bin_dir, "instrument-sim")]
    names = [n for n in ORDER if n in found] + sorted(n for n in found if n not in ORDER)
    return {n: found[n] for n in names}


def machine():
    """The processor's model and the kernel, to tell the figures of one machine from another's."""
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f
                          if line.startswith("model name")), "")
    except OSError:
        pass
    uname = os.uname()
    return ", ".join(x for x in (model, f"{uname.sysname} {uname.release}") if x)


def load_average():
    with open("/proc/loadavg") as f:
        return [float(x) for x in f.read().split()[:3]]


def fmt(value):
    if value is None:
        return ""
    return f"{value:.0f}" if abs(value) >= 1000 else f"{value:.4g}"


def print_table(rows):
    head = ["Figure", "Median", "Spread (min-max)", "Unit", "Floor", "x Floor", "Runs"]
    body = []
    for r in rows:
        ratio = r.get("ratio")
        body.append([r["figure"], fmt(r["median"]), f"{fmt(r['min'])}-{fmt(r['max'])}",
                     r["unit"], fmt(r.get("floor")), f"{ratio:.3f}" if ratio else "",
                     str(r["runs"])])
    widths = [max(len(x[i]) for x in [head] + body) for i in range(len(head))]
    line = "| " + " | ".join(h.ljust(w) for h, w in zip(head, widths)) + " |"
    print(line)
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for b in body:
        print("| " + " | ".join(c.ljust(w) if i in (0, 3) else c.rjust(w)
                               for i, (c, w) in enumerate(zip(b, widths))) + " |")
    notes = [(r["figure"], r["note"]) for r in rows if r.get("note")]
    if notes:
        print()
        for figure, note in notes:
            print(f"  {figure}: {note}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="the built tree (bin/ and bench/ in it)")
    parser.add_argument("names", nargs="*", help="benchmarks to run (default: all)")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    table = benchmarks(build)
    names = args.names or list(table)
    unknown = [n for n in names if n not in table]
    if unknown:
        print(f"unknown benchmark {', '.join(unknown)}; known: {', '.join(table)}")
        return 2

    env = dict(os.environ)
    env.setdefault("QT_QPA_PLATFORM", "offscreen")
    rows, failed = [], []
    load_before = load_average()
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="vr-bench-suite-") as tmp:
        for name in names:
            out = os.path.join(tmp, name + ".jsonl")
            print(f"== {name}", flush=True)
            status = subprocess.call(table[name], env=dict(env, VR_BENCH_JSON=out), cwd=ROOT)
            if status != 0:
                failed.append(name)
                print(f"== {name} FAILED (status {status})", flush=True)
            if os.path.exists(out):
                with open(out, encoding="utf-8") as f:
                    rows += [dict(json.loads(line), benchmark=name) for line in f if line.strip()]
    load_after = load_average()

    print()
    print_table(rows)
    print(f"\n{os.cpu_count()} cores; load average {load_before[0]:.2f} before, "
          f"{load_after[0]:.2f} after; {time.monotonic() - started:.0f} s"
          + (f"; FAILED: {', '.join(failed)}" if failed else ""))
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    result = {
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "commit": commit,
        "cores": os.cpu_count(),
        "machine": machine(),
        "load_average_before": load_before,
        "load_average_after": load_after,
        "benchmarks": names,
        "failed": failed,
        "figures": rows,
    }
    with open(os.path.join(build, "bench.json"), "w", encoding="utf-8") as f:
        json.dump(result, f, indent=2)
        f.write("\n")
    print(f"written: {os.path.join(build, 'bench.json')}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
