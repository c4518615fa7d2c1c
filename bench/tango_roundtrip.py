#!/usr/bin/env python3
"""The TunableFilter Tango device against the unchanged program and the instrument simulator.

Starts instrument-sim and the program (offscreen) in a temporary program folder, waits for the
session, then measures on loopback:
  SETC       the program's own round trip, moves alternating between two grid points, through
             a plain remote client (the floor of a write through the device);
  then starts the device server (python3 -m vuzaravarede_tango, no Tango database) on the same
  program and measures through tango.DeviceProxy:
  read       N reads of Wavelength in a row (each a BAND request to the program): p50, p99;
  write      Wavelength writes alternating between the same two points, against the SETC
             median (target <= 1.05 x).
Needs Debian's python3-tango (runs itself again under /usr/bin/python3 when the interpreter
that started it has no tango module).
"""

import os
import sys

try:
    import tango
except ImportError:
    if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise

import argparse
import math
import statistics
import subprocess
import time

from benchlib import HOME_LINE, ROOT, ProgramFolder, RemoteClient, free_port, record, stop

POINTS = [(500.0, 10.0), (600.0, 10.0)]


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(p / 100.0 * len(ordered)) - 1))]


def program_setc(port, count):
    """Round trips (ms) of SETC through a plain client, alternating between the two points."""
    client = RemoteClient(port)
    try:
        deadline = time.monotonic() + 15
        while client.ask("SETC,%.1f,%.1f" % POINTS[0]) != "SETC OK":  # the session may be busy
            if time.monotonic() > deadline:
                raise SystemExit("SETC refused: " + client.ask("ETEXT"))
        times = []
        for i in range(count):
            request = "SETC,%.1f,%.1f" % POINTS[(i + 1) % 2]
            start = time.perf_counter()
            response = client.ask(request)
            times.append((time.perf_counter() - start) * 1000.0)
            if response != "SETC OK":
                raise SystemExit(f"{request}: {response}")
        return times
    finally:
        client.close()


def start_device(folder, program_port):
    """The device server on the program, without a database; (process, proxy)."""
    tango_port = free_port()
    server_file = os.path.join(folder, "tango-server.txt")
    with open(server_file, "w") as f:
        f.write("TunableFilter/bench/DEVICE/TunableFilter: bench/filter/1\n"
                "bench/filter/1->Host: 127.0.0.1\n"
                f"bench/filter/1->Port: {program_port}\n")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.join(ROOT, "clients", "python"), os.path.join(ROOT, "integrations", "tango")]
        + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    process = subprocess.Popen(
        ["/usr/bin/python3", "-m", "vuzaravarede_tango", "bench", f"-file={server_file}",
         "-ORBendPoint", f"giop:tcp::{tango_port}"],
        env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    name = f"tango://127.0.0.1:{tango_port}/bench/filter/1#dbase=no"
    deadline = time.monotonic() + 60
    while True:
        try:
            proxy = tango.DeviceProxy(name)
            if proxy.state() == tango.DevState.ON:
                return process, proxy
        except tango.DevFailed:
            pass
        if process.poll() is not None or time.monotonic() > deadline:
            stop(process)
            raise SystemExit("the device server did not become ready")
        time.sleep(0.2)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "bin"),
                        help="folder of VuzaRavarede and instrument-sim (default build/bin)")
    parser.add_argument("--reads", type=int, default=2000, help="Wavelength reads (default 2000)")
    parser.add_argument("--writes", type=int, default=20,
                        help="SETC requests and Wavelength writes (default 20 each)")
    args = parser.parse_args()

    folder = ProgramFolder(args.bin)
    device = None
    try:
        sim = folder.start_sim("--home-ms", "500")
        folder.start_program()
        print("waiting for the session (the program pauses 5 s after identification)...")
        if sim.wait_for(lambda line: line == HOME_LINE, 60) is None:
            raise SystemExit("no session")

        setc = program_setc(folder.remote_port, args.writes)
        floor = statistics.median(setc)
        print(f"program SETC x{args.writes}: p50 {floor:.1f} ms")

        device, proxy = start_device(folder.path, folder.remote_port)
        proxy.SetBand(list(POINTS[0]))
        reads = []
        for _ in range(args.reads):
            start = time.perf_counter()
            proxy.read_attribute("Wavelength")
            reads.append((time.perf_counter() - start) * 1000.0)
        print(f"Wavelength read x{args.reads}: p50 {statistics.median(reads):.3f} ms, "
              f"p99 {percentile(reads, 99):.3f} ms")
        record("Tango Wavelength read round trip", reads, "ms",
               note=f"p99 {percentile(reads, 99):.3f} ms, {args.reads} in a row, each a BAND "
                    "request to the program")

        writes = []
        for i in range(args.writes):
            value = POINTS[(i + 1) % 2][0]
            start = time.perf_counter()
            proxy.write_attribute("Wavelength", value)
            writes.append((time.perf_counter() - start) * 1000.0)
        print(f"Wavelength write x{args.writes}: p50 {statistics.median(writes):.1f} ms, "
              f"{statistics.median(writes) / floor:.3f} x the program's SETC")
        record("Tango Wavelength write", writes, "ms", floor,
               "floor: the program's own SETC round trip, same moves (target <= 1.05 x)")
        return 0
    finally:
        stop(device)
        folder.close()


if __name__ == "__main__":
    sys.exit(main())
