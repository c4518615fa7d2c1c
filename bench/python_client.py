#!/usr/bin/env python3
"""The Python package's cost on top of the protocol, against the unchanged program and the
instrument simulator on loopback:
  version   `f.version` round trips in a row, blocking `Filter` and `AsyncFilter`, with the
            package's logging off and at DEBUG to a file: p50, p99 (target p99 <= 0.25 ms
            each);
  set_band  `f.set_band` against the same SETC sent by vr-remote, alternating between two grid
            points so that every move travels as far (target <= 1.02 x vr-remote). vr-remote's
            own SETC time is taken from runs of --batch SETC lines, less the time of a run with
            one VER (its start, connection and one round trip), divided by --batch.
The rounds of the two alternate, so that a change of load meets both alike.
"""

import argparse
import asyncio
import contextlib
import logging
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time

import benchlib

sys.path.insert(0, os.path.join(benchlib.ROOT, "clients", "python"))

from vuzaravarede import AsyncFilter, ControlHeld, DeviceBusy, Filter  # noqa: E402

POINTS = [(500.0, 10.0), (600.0, 10.0)]


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(p / 100.0 * len(ordered)) - 1))]


def connect(port):
    """A client, once the previous one has left (until then the program refuses a new one)."""
    deadline = time.monotonic() + 30
    while True:
        try:
            return Filter("127.0.0.1", port, timeout_s=30.0)
        except ControlHeld:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def vr_remote(bin_dir, port, lines):
    """Seconds one vr-remote run with `lines` takes."""
    command = [os.path.join(bin_dir, "vr-remote"), "--port", str(port), *lines]
    deadline = time.monotonic() + 30
    while True:
        start = time.perf_counter()
        run = subprocess.run(command, capture_output=True, text=True)
        elapsed = time.perf_counter() - start
        if run.returncode == 0:
            return elapsed
        if time.monotonic() > deadline:  # a refused connection is tried again
            raise SystemExit(f"vr-remote failed: {run.stderr.strip()}")
        time.sleep(0.05)


def version_times(f, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        f.version
        times.append((time.perf_counter() - start) * 1000.0)
    return times


async def async_version_times(port, count):
    deadline = time.monotonic() + 30
    while True:
        try:
            f = await AsyncFilter("127.0.0.1", port, timeout_s=30.0).connect()
            break
        except ControlHeld:
            if time.monotonic() > deadline:
                raise
            await asyncio.sleep(0.05)
    try:
        await f.version
        times = []
        for _ in range(count):
            start = time.perf_counter()
            await f.version
            times.append((time.perf_counter() - start) * 1000.0)
        return times
    finally:
        await f.close()


@contextlib.contextmanager
def package_log(debug_file):
    """The package's logger writing DEBUG lines to `debug_file`, or off (None)."""
    logger = logging.getLogger("vuzaravarede")
    if debug_file is None:
        yield
        return
    handler = logging.FileHandler(debug_file)
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s %(message)s"))
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
        handler.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", default=os.path.join(benchlib.ROOT, "build", "bin"),
                        help="folder of VuzaRavarede, instrument-sim and vr-remote")
    parser.add_argument("--ver", type=int, default=10000, help="version round trips (10000)")
    parser.add_argument("--rounds", type=int, default=5, help="set_band rounds (default 5)")
    parser.add_argument("--batch", type=int, default=10, help="SETC per round (default 10)")
    args = parser.parse_args()

    folder = benchlib.ProgramFolder(args.bin)
    try:
        sim = folder.start_sim("--home-ms", "500")
        folder.start_program()
        print("waiting for the session (the program pauses 5 s after identification)...")
        if sim.wait_for(lambda line: line.startswith('exchange "HOME 3"'), 60) is None:
            raise SystemExit("no session")
        port = folder.remote_port

        f = connect(port)
        deadline = time.monotonic() + 10
        while True:  # the session may hold the instrument a moment after its home
            try:
                f.set_band(*POINTS[0])
                break
            except DeviceBusy:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        f.close()
        log_file = os.path.join(tempfile.mkdtemp(prefix="vr-bench-log-"), "filter.log")
        for logged, debug_file in (("logging off", None), ("DEBUG to a file", log_file)):
            with package_log(debug_file):
                f = connect(port)
                f.version
                blocking = version_times(f, args.ver)
                f.close()
                asyncio_times = asyncio.run(async_version_times(port, args.ver))
            for name, times in (("blocking", blocking), ("asyncio", asyncio_times)):
                p99 = percentile(times, 99)
                benchlib.record(f"Python {name} f.version round trip, {logged}", times, "ms",
                                note=f"p99 {p99:.3f} ms (target <= 0.25 ms), {args.ver} in a row")
        with open(log_file) as written:
            lines = sum(1 for _ in written)
        os.remove(log_file)
        os.rmdir(os.path.dirname(log_file))
        if lines < 2 * args.ver:
            raise SystemExit(f"the DEBUG log holds {lines} lines, fewer than the requests")

        # set_band against vr-remote; the filter starts every batch at the first point.
        lines = [("SETC,%.1f,%.1f" % POINTS[(i + 1) % 2]) for i in range(args.batch)]
        if args.batch % 2:
            lines.append("SETC,%.1f,%.1f" % POINTS[0])
        package, tool = [], []
        for _ in range(args.rounds):
            start_only = vr_remote(args.bin, port, ["VER"])
            with_setc = vr_remote(args.bin, port, lines)
            tool.append((with_setc - start_only) * 1000.0 / len(lines))
            f = connect(port)
            times = []
            for i in range(len(lines)):
                start = time.perf_counter()
                f.set_band(*POINTS[(i + 1) % 2])
                times.append((time.perf_counter() - start) * 1000.0)
            f.close()
            package.append(sum(times) / len(times))
        floor = statistics.median(tool)
        benchlib.record("vr-remote SETC round trip", tool, "ms",
                        note=f"runs of {len(lines)} SETC less a run of one VER, per SETC")
        benchlib.record("Python f.set_band round trip", package, "ms", floor,
                        "floor: the vr-remote SETC round trip (target <= 1.02 x floor)")
        return 0
    finally:
        folder.close()


if __name__ == "__main__":
    sys.exit(main())
