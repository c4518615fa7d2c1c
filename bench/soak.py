#!/usr/bin/env python3
"""A night in miniature: the unchanged program scans STEPS steps at TimeDelay 0.1 s against the
simulator, driven over the remote control, and every GO command the simulator received is
compared with the grid points the scans had to visit.

The sample table holds CWL 400.0-800.0 nm every 0.5 nm; at FWHM 1.0 nm the scannable range is
400.5-799.5 nm, 799 points. A table holds at most 1000 rows, so 10 000 steps are always several
scans: here they run back to back over the sample table, up, down, up, ..., the last one cut
short so that the steps add up to STEPS exactly. Each scan is started with SCAN,... and its end
awaited with empty request lines (which answer the end report once the scan has ended; STATE
would replace that report).

Printed, and written to --json: GO commands expected, received, missed, extra, in order; the
program's resident set before the first scan, after it, and at the end; its CPU share over the
whole soak; the mean step period. Takes about STEPS x 0.2 s (the move's 100 ms answer slice and
the 100 ms poll).
"""

import argparse
import collections
import json
import os
import re
import sys
import time

import benchlib

GO_LINE = re.compile(r'^exchange "GO 3 (\d+) (\d+) (\d+)"')
FWHM = 1.0
STEP = 0.5
DELAY = 0.1


def scannable_points(fwhm):
    """(CWL, positions) of the sample table's grid points at `fwhm`, by rising CWL."""
    points, column = [], None
    with open(benchlib.SAMPLE, encoding="latin-1") as f:
        for line in f:
            fields = [x.strip() for x in line.strip().split(",")]
            if column is None and len(fields) > 2 and fields[0] == "" and fields[1] == "":
                column = next(i for i in range(2, len(fields)) if float(fields[i]) == fwhm)
            elif column is not None and len(fields) > column and fields[column] != "x":
                points.append((float(fields[1]), tuple(int(p) for p in fields[column].split(":"))))
    return points


def plan(points, steps):
    """Scans alternating up and down whose points add up to `steps`: a list of point lists."""
    scans, left, up = [], steps, True
    while left > 0:
        sweep = points if up else points[::-1]
        scans.append(sweep[:left])
        left -= len(scans[-1])
        up = not up
    return scans


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", default=os.path.join(benchlib.ROOT, "build", "bin"),
                        help="folder of VuzaRavarede and instrument-sim (default build/bin)")
    parser.add_argument("--steps", type=int, default=10000, help="steps in all (default 10000)")
    parser.add_argument("--json", help="where to write the figures (default: soak.json beside "
                        "the --bin folder)")
    args = parser.parse_args()
    out = args.json or os.path.join(os.path.dirname(os.path.abspath(args.bin)), "soak.json")

    scans = plan(scannable_points(FWHM), args.steps)
    folder = benchlib.ProgramFolder(args.bin)
    received_all, missed, extra, in_order, ends = 0, 0, 0, True, collections.Counter()
    try:
        sim = folder.start_sim("--home-ms", "500")
        program = folder.start_program()
        pid = program.pid
        if sim.wait_for(lambda line: line.startswith('exchange "HOME 3"'), 60) is None:
            raise RuntimeError("no session")
        client = benchlib.RemoteClient(folder.remote_port)
        deadline = time.monotonic() + 10
        while client.ask("STATE") != "IDLE":  # answers once the session has released the device
            if time.monotonic() > deadline:
                raise RuntimeError("the program does not answer STATE with IDLE")
        time.sleep(1)
        rss_start = benchlib.rss_mb(pid)
        rss_first = None
        cpu0, t0 = benchlib.cpu_seconds(pid), time.monotonic()
        print(f"{len(scans)} scans, {args.steps} steps at FWHM {FWHM}, STEP {STEP}, "
              f"TimeDelay {DELAY}; RSS at start {rss_start:.2f} MB", flush=True)
        last_note = t0
        for k, points in enumerate(scans):
            first_line = sim.count()
            request = f"SCAN,{points[0][0]:.1f},{points[-1][0]:.1f},{FWHM:.1f},{STEP},{DELAY}"
            if client.ask(request) != "SCAN OK":
                raise RuntimeError(f"{request} refused: {client.ask('ECODE')} "
                                   f"{client.ask('ETEXT')}")
            while True:
                time.sleep(0.5)
                report = client.ask("")
                if report:
                    break
                if time.monotonic() - last_note >= 60:
                    last_note = time.monotonic()
                    print(f"  {last_note - t0:.0f} s: scan {k + 1}/{len(scans)}, "
                          f"RSS {benchlib.rss_mb(pid):.2f} MB", flush=True)
            ends[report] += 1
            with sim.cond:
                lines = [line for _, line in sim.lines[first_line:]]
            received = [tuple(int(x) for x in m.groups()) for m in map(GO_LINE.match, lines) if m]
            expected = [p for _, p in points]
            received_all += len(received)
            missed += sum((collections.Counter(expected) - collections.Counter(received)).values())
            extra += sum((collections.Counter(received) - collections.Counter(expected)).values())
            in_order = in_order and received == expected
            if k == 0:
                rss_first = benchlib.rss_mb(pid)
            if report != "SCAN SUCCESS" or received != expected:
                print(f"  scan {k + 1}: {report}, {len(received)} GO of {len(expected)}",
                      flush=True)
        t1, cpu1 = time.monotonic(), benchlib.cpu_seconds(pid)
        rss_end = benchlib.rss_mb(pid)
        client.close()
        status = folder.close()
    finally:
        folder.close()

    wall = t1 - t0
    result = {
        "steps": args.steps, "scans": len(scans), "scan_ends": dict(ends),
        "go_expected": args.steps, "go_received": received_all, "go_missed": missed,
        "go_extra": extra, "go_in_order": in_order,
        "rss_start_mb": rss_start, "rss_after_first_scan_mb": rss_first, "rss_end_mb": rss_end,
        "rss_growth_mb": rss_end - rss_start, "cpu_percent_core": 100.0 * (cpu1 - cpu0) / wall,
        "seconds": wall, "step_period_ms": 1000.0 * wall / args.steps,
        "exit_status_on_sigterm": status,
    }
    print(f"GO commands: {received_all} received of {args.steps}, {missed} missed, {extra} extra, "
          f"{'in order' if in_order else 'NOT in order'}; scan ends {dict(ends)}")
    print(f"RSS: {rss_start:.2f} MB at start, {rss_first:.2f} MB after the first scan, "
          f"{rss_end:.2f} MB at the end: growth {rss_end - rss_start:+.2f} MB (target <= 1 MB)")
    print(f"CPU: {result['cpu_percent_core']:.2f} % of a core over {wall / 60:.1f} min; "
          f"{result['step_period_ms']:.1f} ms a step; exit status on SIGTERM {status}")
    with open(out, "w", encoding="utf-8") as f:
        json.dump(result, f, indent=2)
        f.write("\n")
    print(f"written: {out}")
    good = (missed == 0 and extra == 0 and in_order and ends == {"SCAN SUCCESS": len(scans)}
            and status == 0)
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
