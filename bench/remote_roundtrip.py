#!/usr/bin/env python3
"""Remote control round trips of the built program against the instrument simulator.

Starts instrument-sim and the unchanged program (offscreen) in a temporary program folder,
waits for the session, then measures on loopback:
  VER   N requests in a row, each sent when the previous response has arrived: p50, p99, max;
  SETC  moves alternating between two grid points, each compared with its floor: the position
        query and the move, each taking whole 100 ms answer slices (the move's travel time at
        the simulator's axis speed rounded up to a slice).
Python standard library only.
"""

import argparse
import math
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from benchlib import record

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "samples", "20180315_F123_ABCD12345678.csv")
SLICE_MS = 100.0


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def sample_positions(cwl, fwhm):
    """The three motor positions the sample calibration file holds for (cwl, fwhm)."""
    column = None
    with open(SAMPLE, encoding="latin-1") as f:
        for line in f:
            fields = [x.strip() for x in line.strip().split(",")]
            if column is None and len(fields) > 2 and fields[0] == "" and fields[1] == "":
                column = next(i for i in range(2, len(fields)) if float(fields[i]) == fwhm)
            elif column is not None and len(fields) > column and float(fields[1]) == cwl:
                return [int(p) for p in fields[column].split(":")]
    raise SystemExit(f"no grid point {cwl}/{fwhm} in the sample file")


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.rx = b""

    def ask(self, request):
        self.sock.sendall(request + b"\r")
        while b"\r" not in self.rx:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("connection closed by the program")
            self.rx += chunk
        line, self.rx = self.rx.split(b"\r", 1)
        return line


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(p / 100.0 * len(ordered)) - 1))]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "bin"),
                        help="folder of VuzaRavarede and instrument-sim (default build/bin)")
    parser.add_argument("--ver", type=int, default=10000, help="VER requests (default 10000)")
    parser.add_argument("--setc", type=int, default=20, help="SETC requests (default 20)")
    parser.add_argument("--speed", type=int, default=20000,
                        help="simulator axis speed, steps per second (default 20000)")
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="vr-bench-")
    sim = program = None
    try:
        port = free_port()
        shutil.copy(os.path.join(args.bin, "VuzaRavarede"), folder)
        os.makedirs(os.path.join(folder, "Cal"))
        shutil.copy(SAMPLE, os.path.join(folder, "Cal", "F123_ABCD12345678.csv"))
        os.makedirs(os.path.join(folder, "ports"))
        for n in range(1, 65):
            if n != 3:  # keep the program off the machine's own serial devices
                os.symlink(os.path.join(folder, "nowhere"), os.path.join(folder, "ports", f"COM{n}"))
        with open(os.path.join(folder, "VuzaRavarede.ini"), "w") as f:
            f.write(f"[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM3\n[Remote]\nPortNum={port}\n")

        sim = subprocess.Popen([os.path.join(args.bin, "instrument-sim"), "--link",
                                os.path.join(folder, "ports", "COM3"), "--home-ms", "500",
                                "--speed", str(args.speed)],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        if not sim.stdout.readline().startswith("ready "):
            raise SystemExit("the simulator did not start")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        program = subprocess.Popen([os.path.join(folder, "VuzaRavarede")], cwd=folder, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print("waiting for the session (the program pauses 5 s after identification)...")
        for line in sim.stdout:
            if line.startswith('exchange "HOME 3"'):
                break
        client = Client(port)

        # VER
        client.ask(b"VER")
        times = []
        for _ in range(args.ver):
            start = time.perf_counter()
            response = client.ask(b"VER")
            times.append((time.perf_counter() - start) * 1000.0)
            if response != b"QVL Rari v2.1":
                raise SystemExit(f"unexpected response {response!r}")
        print(f"VER  x{args.ver}: mean {statistics.fmean(times):.3f} ms, "
              f"p50 {statistics.median(times):.3f} ms, "
              f"p99 {percentile(times, 99):.3f} ms, max {max(times):.3f} ms (target p99 <= 2 ms)")
        record("remote VER round trip", times, "ms", note=f"p99 {percentile(times, 99):.3f} ms "
               f"(target <= 2 ms), {args.ver} in a row")

        # SETC, alternating between two grid points; the first move starts from home.
        points = [(500.0, 10.0), (600.0, 10.0)]
        positions = [sample_positions(*p) for p in points]
        deadline = time.monotonic() + 10
        while client.ask(b"SETC,500.0,10.0") != b"SETC OK":  # the session may still hold the device
            if time.monotonic() > deadline:
                raise SystemExit("SETC refused: " + client.ask(b"ETEXT").decode("latin-1"))
        at = positions[0]
        ratios, rtts = [], []
        for i in range(args.setc):
            target = (i + 1) % 2
            travel_ms = max(abs(a - b) for a, b in zip(at, positions[target])) * 1000.0 / args.speed
            floor = SLICE_MS + max(1, math.ceil(travel_ms / SLICE_MS)) * SLICE_MS
            request = b"SETC,%.1f,%.1f" % points[target]
            start = time.perf_counter()
            response = client.ask(request)
            rtt = (time.perf_counter() - start) * 1000.0
            if response != b"SETC OK":
                raise SystemExit(f"{request!r}: {response!r}")
            at = positions[target]
            rtts.append(rtt)
            ratios.append(rtt / floor)
        print(f"SETC x{args.setc}: round trip p50 {statistics.median(rtts):.1f} ms "
              f"(floor {floor:.0f} ms); ratio to floor p50 {statistics.median(ratios):.3f}, "
              f"max {max(ratios):.3f} (target <= 1.10)")
        record("remote SETC round trip", rtts, "ms", floor,
               "floor: POS and GO in whole 100 ms slices (target <= 1.10 x floor)")
        client.sock.close()
        return 0
    finally:
        for process in (program, sim):
            if process and process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(20)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
