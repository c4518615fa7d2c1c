"""A facility on one machine: four filters (four programs and simulators of VR_BIN_DIR, four
device servers registered in one Tango database of the test's own) and twenty client processes
subscribed to the Wavelength and State events of all four. Every filter scans at once, and every
client must see every point of every scan in order, once; then a device server is killed and
started again (its clients' subscriptions come back by themselves), and the database server is
restarted (servers and clients go on without restarts of their own)."""

import os
import subprocess
import sys
import threading
import unittest
from typing import List

from tangodb import HERE, TangoSystem, missing, stop_process, wait_until

from programrig import ProgramRig
from tangorig import ROOT

BIN = os.environ.get("VR_BIN_DIR", os.path.join(ROOT, "build", "bin"))
FILTERS = 4
CLIENTS = 20
DEVICES = [f"lab/filter/{n}" for n in range(1, FILTERS + 1)]
# A scan of 8 points; its TimeDelay leaves the devices time to see each point on a busy machine.
SCAN = [500.0, 514.0, 10.0, 2.0, 0.3]
POINTS = [500.0 + 2.0 * n for n in range(8)]


class Client:
    """A client process of facility_client.py and the lines it printed."""

    def __init__(self, system: TangoSystem) -> None:
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "facility_client.py"), *DEVICES],
            env=system.env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines: List[str] = []
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self) -> None:
        for line in self.process.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def mark(self) -> int:
        with self.cond:
            return len(self.lines)

    def since(self, mark: int, kind: str, device: str, attribute: str) -> List[str]:
        prefix = f"{kind} {device} {attribute} "
        with self.cond:
            return [line[len(prefix):] for line in self.lines[mark:] if line.startswith(prefix)]

    def wait(self, predicate, what: str, timeout: float = 90.0) -> None:
        with self.cond:
            if not self.cond.wait_for(predicate, timeout):
                raise AssertionError(f"client {self.process.pid}: timed out waiting for {what}; "
                                     f"last lines: {self.lines[-12:]}")

    def quit(self) -> int:
        try:
            self.process.stdin.write("quit\n")
            self.process.stdin.close()
            status = self.process.wait(60)
        finally:
            stop_process(self.process)
            self.thread.join(5)
            self.process.stdout.close()
        return status


@unittest.skipIf(missing(), f"needs {', '.join(missing())}")
class Facility(unittest.TestCase):

    def setUp(self):
        self.rigs = [ProgramRig(BIN) for _ in DEVICES]
        for rig in self.rigs:
            self.addCleanup(rig.close)
            rig.start_sim()
            rig.start_program()
        self.system = TangoSystem().__enter__()
        self.addCleanup(self.system.__exit__, None, None, None)
        os.environ["TANGO_HOST"] = self.system.tango_host
        import tango
        self.tango = tango
        for number, (rig, device) in enumerate(zip(self.rigs, DEVICES), 1):
            self.system.register(f"lab{number}", device, rig.port)
        self.servers = [self.system.start_server(f"lab{n}", wait=False)
                        for n in range(1, FILTERS + 1)]
        for server in self.servers:
            server.output.wait_for("Ready to accept request", f"server {server.instance}")
        self.proxies = [tango.DeviceProxy(device) for device in DEVICES]
        for proxy in self.proxies:
            wait_until(lambda: proxy.state() == tango.DevState.ON, f"{proxy.name()} ON",
                       timeout=90)

    def start_clients(self) -> List[Client]:
        clients = [Client(self.system) for _ in range(CLIENTS)]
        for client in clients:
            self.addCleanup(stop_process, client.process)
        for client in clients:
            client.wait(lambda: "ready" in client.lines, "its subscriptions")
        return clients

    def move_all(self, clients: List[Client], cwl: float, proxies=None) -> None:
        """Moves the filters of `proxies` (all by default) to cwl/10 nm; every client must see
        it."""
        marks = [client.mark() for client in clients]
        proxies = proxies or self.proxies
        for proxy in proxies:
            proxy.SetBand([cwl, 10.0])
        for client, mark in zip(clients, marks):
            for device in [proxy.name() for proxy in proxies]:
                client.wait(lambda: str(cwl) in client.since(mark, "event", device,
                                                             "Wavelength"),
                            f"{device} at {cwl}")

    def test_four_filters_twenty_clients_a_server_and_the_database_restarted(self):
        clients = self.start_clients()
        self.move_all(clients, 450.0)

        marks = [client.mark() for client in clients]
        for proxy in self.proxies:
            proxy.Scan(SCAN)
        expected = [str(cwl) for cwl in POINTS]
        for client, mark in zip(clients, marks):
            for device in DEVICES:
                client.wait(lambda: "ON" in client.since(mark, "event", device, "State"),
                            f"the end of {device}'s scan")
                self.assertEqual(client.since(mark, "event", device, "Wavelength"), expected,
                                 f"client {client.process.pid}, {device}")
                self.assertEqual(client.since(mark, "event", device, "State"),
                                 ["RUNNING", "ON"])
        for proxy in self.proxies:
            self.assertEqual(proxy.status(), "Ready. Last scan: SUCCESS.")

        with self.subTest("a device server killed and started again"):
            marks = [client.mark() for client in clients]
            killed = self.servers[0]
            killed.stop(kill=True)
            self.servers[0] = self.system.start_server("lab1")
            wait_until(lambda: self.proxies[0].state() == self.tango.DevState.ON,
                       "lab/filter/1 ON again", timeout=90)
            # Each client's subscription reports the lost server, then comes back by itself
            # with the attribute's value.
            for client, mark in zip(clients, marks):
                client.wait(lambda: any(
                    line.startswith("event lab/filter/1 Wavelength") for line in
                    client.lines[next((i for i in range(mark, len(client.lines))
                                       if client.lines[i].startswith("error lab/filter/1")),
                                      len(client.lines)):]),
                            "lab/filter/1's events after the restart", timeout=120)
            self.move_all(clients, 460.0, self.proxies[:1])

        with self.subTest("the database server restarted"):
            self.system.stop_databaseds()
            self.system.start_databaseds()
            # New proxies find the devices by name again; the servers read their properties
            # from the restarted database; the clients' subscriptions go on.
            proxies = [self.tango.DeviceProxy(device) for device in DEVICES]
            proxies[1].Init()
            wait_until(lambda: proxies[1].state() == self.tango.DevState.ON,
                       "lab/filter/2 ON after Init", timeout=90)
            self.move_all(clients, 470.0, proxies)
            for proxy in proxies:
                self.assertEqual(proxy.state(), self.tango.DevState.ON)

        self.assertEqual([client.quit() for client in clients], [0] * CLIENTS)
        self.assertTrue(all("bye" in client.lines for client in clients))


if __name__ == "__main__":
    unittest.main()
