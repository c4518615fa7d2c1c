#!/usr/bin/env python3
"""The unchanged program as a process, each run in a program folder of its own:

  start to "Device ready."  from the program's start to the moment its session accepts the
        home answer (the communication log's "Command <HOME> Success", written right before the
        message bar shows "Device ready."), minus the 5 s pause the session keeps after the
        identification. Floor: the first search 1 s after the start plus seven exchanges
        (?, INFO 0-2, POS, BKEN, HOME) of one 100 ms answer slice each; the simulator homes at once.
  idle CPU and memory in three states of one run: searching with no instrument (every port name
        leads nowhere), a ready session, and after the instrument vanished (the simulator hangs
        up); share of one core over windows of a few seconds, and the resident set.
"""

import argparse
import os
import sys
import time

import benchlib

PAUSE_MS = 5000.0
FLOOR_MS = 1000.0 + 7 * 100.0


def start_to_ready(bin_dir, runs):
    values = []
    for _ in range(runs):
        folder = benchlib.ProgramFolder(bin_dir, debug_mode=True)
        try:
            folder.start_sim("--home-ms", "0")
            start = time.monotonic()
            folder.start_program()
            ready = None
            while ready is None and time.monotonic() - start < 60:
                # A light poll of the log file; the figure is in seconds, the poll in milliseconds.
                if "Command <HOME> Success" in folder.log_text():
                    ready = time.monotonic()
                elif folder.program.poll() is not None:
                    break
                else:
                    time.sleep(0.002)
            if ready is None:
                raise RuntimeError("the program did not become ready")
            values.append((ready - start) * 1000.0 - PAUSE_MS)
        finally:
            folder.close()
    print(f"start to \"Device ready.\", {runs} program starts")
    benchlib.record("start to Device ready. minus 5 s pause", values, "ms", FLOOR_MS,
                    "floor: first search at 1 s + 7 exchanges of 100 ms")


def idle_states(bin_dir, windows, seconds):
    folder = benchlib.ProgramFolder(bin_dir)
    try:
        program = folder.start_program()
        pid = program.pid
        time.sleep(3)  # started, the search running
        results = {}

        def measure(state):
            loads, rss = [], []
            for _ in range(windows):
                loads.append(benchlib.idle_load(pid, seconds))
                rss.append(benchlib.rss_mb(pid))
            if program.poll() is not None:
                raise RuntimeError("the program ended")
            results[state] = (loads, rss)

        measure("searching")
        sim = folder.start_sim("--home-ms", "500")
        if sim.wait_for(lambda line: line.startswith('exchange "HOME 3"'), 60) is None:
            raise RuntimeError("no session")
        time.sleep(1)  # the home answer accepted, "Device ready." shown
        measure("ready session")
        sim.control("hangup")
        sim.process.wait(10)
        time.sleep(2)  # the program has seen the line vanish
        measure("instrument vanished")
        status = folder.close()
        if status != 0:
            raise RuntimeError(f"the program ended with status {status} on SIGTERM")
    finally:
        folder.close()
    print(f"idle: {windows} windows of {seconds:g} s per state")
    for state, (loads, rss) in results.items():
        benchlib.record(f"idle CPU, {state}", loads, "% core", note="target <= 0.1 %")
        benchlib.record(f"RSS, {state}", rss, "MB")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", default=os.path.join(benchlib.ROOT, "build", "bin"),
                        help="folder of VuzaRavarede and instrument-sim (default build/bin)")
    parser.add_argument("--starts", type=int, default=5, help="program starts timed (default 5)")
    parser.add_argument("--windows", type=int, default=3,
                        help="idle windows per state (default 3)")
    parser.add_argument("--seconds", type=float, default=10.0,
                        help="length of an idle window in seconds (default 10)")
    args = parser.parse_args()
    if args.starts > 0:
        start_to_ready(args.bin, args.starts)
    if args.windows > 0:
        idle_states(args.bin, args.windows, args.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
