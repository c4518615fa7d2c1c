#!/usr/bin/env python3
"""The filter in a Tango control system on this machine: four programs with their simulators,
four TunableFilter device servers registered in one Tango database (MariaDB and DataBaseds
started in a temporary folder, as the tests do), and client processes subscribed to the
Wavelength change events of all four filters. Measures:
  latency    from a scan's GO reaching a simulator (its exchange line) to a client's callback
             for that point, p50 and p99, with 1, 4 and 20 clients per filter, the four filters
             scanning at once;
  CPU, RSS   of a device server (the median of the four), idle with a ready session, and while
             its filter scans;
  write      Wavelength writes through the database-registered device (found by name), moves
             alternating between two grid points, against the program's own SETC round trip
             for the same moves (floor).
Needs Debian's python3-tango, tango-db and mariadb-server (scripts/test installs them); runs
itself again under /usr/bin/python3 when the interpreter that started it has no tango module.
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
import threading
import time

from benchlib import HOME_LINE, ROOT, ProgramFolder, cpu_seconds, record, rss_mb, stop

sys.path.insert(0, os.path.join(ROOT, "tests", "integrations", "tango"))
from tangodb import HERE as TANGO_TESTS, TangoSystem, missing  # noqa: E402

FILTERS = 4
DEVICES = [f"bench/filter/{n}" for n in range(1, FILTERS + 1)]
POINTS = [(500.0, 10.0), (600.0, 10.0)]


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(p / 100.0 * len(ordered)) - 1))]


class Clients:
    """Client processes of the facility test, each subscribed to Wavelength of every device,
    their event lines with the callback's time."""

    def __init__(self, system, count):
        self.lines = []
        self.cond = threading.Condition()
        self.processes = []
        for _ in range(count):
            process = subprocess.Popen(
                [sys.executable, os.path.join(TANGO_TESTS, "facility_client.py"), "--times",
                 "--attributes", "Wavelength", *DEVICES],
                env=system.env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL, text=True, bufsize=1)
            threading.Thread(target=self._read, args=(process,), daemon=True).start()
            self.processes.append(process)
        self.wait(lambda: sum(1 for _, line in self.lines if line == "ready") == count, 120)

    def _read(self, process):
        for line in process.stdout:
            with self.cond:
                self.lines.append((process.pid, line.rstrip("\n")))
                self.cond.notify_all()

    def wait(self, predicate, timeout):
        with self.cond:
            if not self.cond.wait_for(predicate, timeout):
                raise SystemExit("timed out waiting for the clients' events")

    def last_values(self):
        """The set of the last Wavelength value each client saw of each device (under cond)."""
        last = {}
        for pid, line in self.lines:
            fields = line.split()
            if fields[:1] == ["event"]:
                last[pid, fields[1]] = fields[3]
        if len(last) < len(self.processes) * len(DEVICES):
            return None
        return set(last.values())

    def close(self):
        for process in self.processes:
            try:
                process.stdin.write("quit\n")
                process.stdin.close()
                process.wait(30)
            except (OSError, subprocess.TimeoutExpired):
                pass
            stop(process)
            process.stdout.close()


def scan_latencies(folders, proxies, clients, scan, points):
    """Latencies (ms): each GO of each filter's scan to each client's event of that point."""
    starts = [folder.sim.count() for folder in folders]
    mark = len(clients.lines)
    for proxy in proxies:
        proxy.Scan(scan)
    last = str(points[-1])
    count = len(clients.processes) * len(DEVICES)
    clients.wait(lambda: sum(1 for _, line in clients.lines[mark:]
                             if line.split()[3:4] == [last]) >= count, 120)
    latencies = []
    for folder, start, device in zip(folders, starts, DEVICES):
        with folder.sim.cond:
            gos = [at for at, line in folder.sim.lines[start:]
                   if line.startswith('exchange "GO ')]
        if len(gos) != len(points):
            raise SystemExit(f"{device}: {len(gos)} moves for {len(points)} points")
        with clients.cond:
            seen = [(pid, line.split()) for pid, line in clients.lines[mark:]]
        for pid in (process.pid for process in clients.processes):
            events = [(float(f[3]), float(f[4])) for p, f in seen
                      if p == pid and f[:3] == ["event", device, "Wavelength"]]
            values = [value for value, _ in events]
            if values != points:
                raise SystemExit(f"client {pid}, {device}: events {values}, not {points}")
            latencies += [(at - go) * 1000.0 for (_, at), go in zip(events, gos)]
    return latencies


def cpu_share(pids, seconds, during=None):
    """Each process's CPU use (share of one core) over `seconds`, or over during()."""
    before = [cpu_seconds(pid) for pid in pids]
    start = time.monotonic()
    if during:
        during()
    else:
        time.sleep(seconds)
    elapsed = time.monotonic() - start
    return [(cpu_seconds(pid) - b) / elapsed for pid, b in zip(pids, before)]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "bin"),
                        help="folder of VuzaRavarede and instrument-sim (default build/bin)")
    parser.add_argument("--clients", default="1,4,20",
                        help="client counts of the latency rounds (default 1,4,20)")
    parser.add_argument("--points", type=int, default=20, help="points of each scan (20)")
    parser.add_argument("--writes", type=int, default=20,
                        help="SETC requests and Wavelength writes (default 20 each)")
    parser.add_argument("--idle-s", type=float, default=10.0, help="idle CPU window (10 s)")
    args = parser.parse_args()
    if missing():
        raise SystemExit(f"needs {', '.join(missing())}")

    scan = [500.0, 500.0 + 2.0 * (args.points - 1), 10.0, 2.0, 0.1]
    points = [500.0 + 2.0 * n for n in range(args.points)]
    folders = [ProgramFolder(args.bin) for _ in DEVICES]
    system = None
    try:
        for folder in folders:
            folder.start_sim("--home-ms", "500")
            folder.start_program()
        system = TangoSystem().__enter__()
        os.environ["TANGO_HOST"] = system.tango_host
        print("waiting for the sessions (the program pauses 5 s after identification)...")
        for folder in folders:
            if folder.sim.wait_for(lambda line: line == HOME_LINE, 60) is None:
                raise SystemExit("no session")
        for number, (folder, device) in enumerate(zip(folders, DEVICES), 1):
            system.register(f"bench{number}", device, folder.remote_port)
        servers = [system.start_server(f"bench{n}", wait=False) for n in range(1, FILTERS + 1)]
        for server in servers:
            server.output.wait_for("Ready to accept request", f"server {server.instance}")
        proxies = [tango.DeviceProxy(device) for device in DEVICES]
        for proxy in proxies:
            deadline = time.monotonic() + 60
            while proxy.state() != tango.DevState.ON:
                if time.monotonic() > deadline:
                    raise SystemExit(f"{proxy.name()}: {proxy.status()}")
                time.sleep(0.1)
        pids = [server.pid for server in servers]

        idle = cpu_share(pids, args.idle_s)
        record("Tango device server CPU, idle", [100.0 * x for x in idle], "% of a core",
               note=f"each of {FILTERS} servers over {args.idle_s:g} s, ready session")
        record("Tango device server RSS, idle", [rss_mb(pid) for pid in pids], "MB")

        for count in [int(x) for x in args.clients.split(",")]:
            clients = Clients(system, count)
            try:
                for proxy in proxies:
                    proxy.SetBand([450.0, 10.0])
                clients.wait(lambda: clients.last_values() == {"450.0"}, 60)
                latencies = []
                busy = cpu_share(pids, 0, lambda: latencies.extend(
                    scan_latencies(folders, proxies, clients, scan, points)))
                print(f"{count} clients per filter: latency p50 "
                      f"{statistics.median(latencies):.1f} ms, p99 "
                      f"{percentile(latencies, 99):.1f} ms")
                record(f"Tango event latency, {count} clients per filter", latencies, "ms",
                       note=f"GO at the simulator to the client's callback; p99 "
                            f"{percentile(latencies, 99):.1f} ms; {FILTERS} filters scanning "
                            f"{args.points} points at once")
                if count == max(int(x) for x in args.clients.split(",")):
                    record(f"Tango device server CPU, scanning ({count} clients)",
                           [100.0 * x for x in busy], "% of a core")
                    record(f"Tango device server RSS, scanning ({count} clients)",
                           [rss_mb(pid) for pid in pids], "MB")
            finally:
                clients.close()

        for proxy in proxies:
            proxy.SetBand(list(POINTS[0]))
        setc = program_setc(system, proxies[0], folders[0].remote_port, args.writes)
        floor = statistics.median(setc)
        writes = []
        for i in range(args.writes):
            value = POINTS[(i + 1) % 2][0]
            start = time.perf_counter()
            proxies[0].write_attribute("Wavelength", value)
            writes.append((time.perf_counter() - start) * 1000.0)
        print(f"Wavelength write x{args.writes}: p50 {statistics.median(writes):.1f} ms, "
              f"{statistics.median(writes) / floor:.3f} x the program's SETC")
        record("Tango Wavelength write, registered device", writes, "ms", floor,
               "floor: the program's own SETC round trip, same moves")
        return 0
    finally:
        if system is not None:
            system.__exit__(None, None, None)
        for folder in folders:
            folder.close()


def program_setc(system, proxy, port, count):
    """The program's own SETC round trips (ms) through a plain client. The program serves one
    client, so the device's server is stopped meanwhile and started again after."""
    from benchlib import RemoteClient
    server = next(s for s in system.servers if s.instance == "bench1")
    server.stop()
    system.servers.remove(server)
    client = None
    deadline = time.monotonic() + 30
    while client is None:
        try:
            client = RemoteClient(port)
            if client.ask("VER") != "QVL Rari v2.1":
                raise ConnectionError("not served")
        except (OSError, ConnectionError):
            if client is not None:
                client.close()
                client = None
            if time.monotonic() > deadline:
                raise SystemExit("the program did not serve a plain client")
            time.sleep(0.1)
    try:
        times = []
        for i in range(count):
            request = "SETC,%.1f,%.1f" % POINTS[(i + 1) % 2]
            start = time.perf_counter()
            response = client.ask(request)
            times.append((time.perf_counter() - start) * 1000.0)
            if response != "SETC OK":
                raise SystemExit(f"{request}: {response}")
    finally:
        client.close()
    system.start_server("bench1")
    deadline = time.monotonic() + 60
    while proxy.state() != tango.DevState.ON:
        if time.monotonic() > deadline:
            raise SystemExit(f"{proxy.name()}: {proxy.status()}")
        time.sleep(0.1)
    return times


if __name__ == "__main__":
    sys.exit(main())
