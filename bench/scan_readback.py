#!/usr/bin/env python3
"""PROGRESS and BAND round trips of the unchanged program while a scan moves the filter.

Starts instrument-sim and the program (offscreen) in a program folder of its own, waits for the
session, starts a scan over the remote control (TimeDelay 0.1 s, so that moves keep coming), and
sends PROGRESS and BAND one after the other, each when the previous answer has arrived, until the
given number of each has been answered: p50, p99 and max. Both answer from the program's state,
so a request that lands while a move waits for the instrument is answered inside that wait.
Python standard library only.
"""

import argparse
import math
import os
import statistics
import sys
import time

from benchlib import HOME_LINE, ProgramFolder, RemoteClient, record

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(p / 100.0 * len(ordered)) - 1))]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "bin"),
                        help="folder of VuzaRavarede and instrument-sim (default build/bin)")
    parser.add_argument("--requests", type=int, default=3000,
                        help="PROGRESS and BAND requests each (default 3000)")
    args = parser.parse_args()

    folder = ProgramFolder(args.bin)
    try:
        sim = folder.start_sim("--home-ms", "500")
        folder.start_program()
        print("waiting for the session (the program pauses 5 s after identification)...")
        if sim.wait_for(lambda line: line.startswith(HOME_LINE), 60) is None:
            raise SystemExit("no session with the simulator")
        client = RemoteClient(folder.remote_port)
        deadline = time.monotonic() + 10
        # 400.5 to 799.5 nm in 0.5 nm steps at 0.1 s: far longer than the measurement.
        while client.ask("SCAN,405,795,10,0.5,0.1") != "SCAN OK":
            if time.monotonic() > deadline:
                raise SystemExit("SCAN refused: " + client.ask("ETEXT"))
            time.sleep(0.2)
        times = {"PROGRESS": [], "BAND": []}
        for _ in range(args.requests):
            for word in times:
                start = time.perf_counter()
                answer = client.ask(word)
                times[word].append((time.perf_counter() - start) * 1000.0)
                if answer.startswith("UNKNOWN") or answer.startswith("SCAN"):
                    raise SystemExit(f"{word}: unexpected answer {answer!r}")
        done = client.ask("PROGRESS").split(",")
        state = client.ask("STATE")
        client.ask("STOP")
        client.close()
        if state != "SCAN":
            raise SystemExit(f"the scan ended during the measurement ({state})")
        for word, values in times.items():
            p99 = percentile(values, 99)
            print(f"{word} x{len(values)} during a scan ({done[0]} of {done[1]} points moved): "
                  f"p50 {statistics.median(values):.3f} ms, p99 {p99:.3f} ms, "
                  f"max {max(values):.3f} ms (target p99 <= 2 ms)")
            record(f"remote {word} round trip during a scan", values, "ms",
                   note=f"p99 {p99:.3f} ms (target <= 2 ms)")
        return 0
    finally:
        folder.close()


if __name__ == "__main__":
    sys.exit(main())
