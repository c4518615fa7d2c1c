"""The Python client against the unchanged program and the instrument simulator: the main
paths through the blocking client, the asyncio client and a pyvisa resource, one program for
all of them; refusals while the session starts; the program restarting under a client."""

import asyncio
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from labprogram import PATIENCE_S, Lab, sample_positions  # noqa: E402
from vuzaravarede import (  # noqa: E402
    AsyncFilter, Band, CannotConnect, DeviceBusy, Disconnected, Filter, FilterError, Limits,
    NotReady, OutOfRange, ScanResult, Session, State,
)

LAB = None
AT_START = []
SESSIONS = []


def setUpModule():
    """Starts the program without its instrument, then the simulator, and keeps the refusals
    and sessions a client meets on the way: before the instrument, and while the session
    opens."""
    global LAB
    LAB = Lab()
    try:
        LAB.start_program()
        with LAB.connect() as f:
            SESSIONS.append(f.session)
            try:
                f.set_band(550.0, 10.0)
            except FilterError as refusal:
                AT_START.append(refusal)
            sim = LAB.start_sim()
            if sim.wait_for(lambda line: line.startswith('exchange "?"')) is None:
                raise RuntimeError("the program never asked the simulator who it is")
            deadline = time.monotonic() + PATIENCE_S
            while time.monotonic() < deadline:
                try:
                    f.set_band(550.0, 10.0)
                except NotReady:
                    continue  # the identification is still being checked
                except FilterError as refusal:
                    AT_START.append(refusal)
                break
            SESSIONS.append(f.session)
            SESSIONS.append(f.wait_ready(timeout_s=PATIENCE_S))
    except BaseException:
        LAB.close()
        raise


def tearDownModule():
    LAB.close()


class OverAsyncio:
    """AsyncFilter, each call run to its end on an event loop of its own, so that the same
    tests drive it."""

    def __init__(self, port: int) -> None:
        self.loop = asyncio.new_event_loop()
        self.client = AsyncFilter("127.0.0.1", port, timeout_s=30.0)
        self.loop.run_until_complete(self.client.connect())

    def __getattr__(self, name):
        if isinstance(getattr(AsyncFilter, name), property):
            return self.loop.run_until_complete(getattr(self.client, name))
        method = getattr(self.client, name)
        return lambda *args, **kwargs: self.loop.run_until_complete(method(*args, **kwargs))

    def close(self):
        self.loop.run_until_complete(self.client.close())
        self.loop.close()


class MainPaths:
    """The tests every way of connecting must pass; `connect` gives the client."""

    @classmethod
    def connect(cls):
        raise NotImplementedError

    @classmethod
    def setUpClass(cls):
        # The previous class's client may still be leaving: the program then closes a new
        # connection, and it is tried again.
        deadline = time.monotonic() + PATIENCE_S
        while True:
            try:
                cls.f = cls.connect()
                break
            except CannotConnect:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        cls.sim = LAB.sim

    @classmethod
    def tearDownClass(cls):
        cls.f.close()

    def callback(self, function):
        return function

    def moves_since(self, mark, count):
        """The moves the instrument received since `mark`, once there are `count`."""
        return self.sim.wait_for_moves(count, mark)

    def assert_only_move_since(self, mark):
        """Nothing moved since `mark`: a move made now is the only one the instrument gets."""
        self.f.set_band(550.0, 10.0)
        self.assertEqual(self.moves_since(mark, 1), ["GO 3 " + sample_positions(550.0, 10.0)])

    def test_set_band_and_edges_move_the_filter(self):
        mark = self.sim.count()
        self.f.set_band(500.0, 10.0)
        self.f.set_edges(595.0, 605.0)
        self.assertEqual(self.moves_since(mark, 2), ["GO 3 " + sample_positions(500.0, 10.0),
                                                  "GO 3 " + sample_positions(600.0, 10.0)])
        self.assertEqual(self.f.version, "QVL Rari v2.1")
        self.assertEqual(self.f.state, "IDLE")

    def test_band_read_back(self):
        self.f.set_band(550.0, 10.0)
        self.assertEqual(self.f.band, Band(550.0, 10.0, 545.0, 555.0))
        self.f.set_edges(595.0, 605.0)
        self.assertEqual(self.f.band, Band(600.0, 10.0, 595.0, 605.0))
        self.f.reset()
        self.assertIsNone(self.f.band)

    def test_refusals_carry_the_decoded_bound_and_move_nothing(self):
        mark = self.sim.count()
        cases = [(300.0, 10.0, "ERRSE03", "Out of range. Please set [CWL] \u2265 400.0"),
                 (1000.0, 10.0, "ERRSE04", "Out of range. Please set [CWL] \u2264 800.0")]
        for cwl, fwhm, code, text in cases:
            with self.subTest(cwl=cwl):
                with self.assertRaises(OutOfRange) as refused:
                    self.f.set_band(cwl, fwhm)
                self.assertEqual((refused.exception.code, refused.exception.text), (code, text))
        self.assert_only_move_since(mark)

    def test_scan_to_its_end_with_its_progress(self):
        mark = self.sim.count()
        seen = []
        self.assertEqual(self.f.scan(500.0, 510.0, 10.0, 2.0, 0.1,
                                     progress=self.callback(seen.append)), ScanResult.SUCCESS)
        self.assertEqual(self.moves_since(mark, 6),
                         ["GO 3 " + sample_positions(cwl, 10.0)
                          for cwl in (500.0, 502.0, 504.0, 506.0, 508.0, 510.0)])
        # Polled while it ran: the points done count up to the total; at the end nothing is
        # left to do.
        self.assertTrue(seen)
        self.assertEqual({p.total for p in seen}, {6})
        self.assertEqual([p.done for p in seen], sorted(p.done for p in seen))
        final = self.f.progress
        self.assertEqual((final.done, final.total, final.remaining_s), (6, 6, 0.0))
        self.assertGreaterEqual(final.elapsed_s, seen[-1].elapsed_s)

    def test_a_stopped_scan_and_what_is_refused_meanwhile(self):
        mark = self.sim.count()
        self.f.start_scan(500.0, 795.0, 10.0, 5.0, 1.0)
        self.moves_since(mark, 1)
        self.assertEqual(self.f.state, "SCAN")
        with self.assertRaises(DeviceBusy) as busy:
            self.f.set_band(550.0, 10.0)
        self.assertEqual(busy.exception.text, "Now Scanning.")
        self.assertTrue(self.f.stop())
        self.assertEqual(self.f.wait_scan(), "ABORT")
        self.assertEqual(self.f.state, "IDLE")
        self.assertFalse(self.f.stop())

    def test_state_while_a_scan_ends_keeps_its_report(self):
        self.f.start_scan(500.0, 504.0, 10.0, 2.0, 0.1)
        deadline = time.monotonic() + PATIENCE_S
        while self.f.state == "SCAN":
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        self.assertEqual(self.f.wait_scan(timeout_s=10.0), "SUCCESS")

    def test_step_through_an_uneven_descending_list(self):
        mark = self.sim.count()
        points = [530.0, 512.5, 511.0, 500.0]
        measured = []

        def measure(cwl):
            # The move to this point, and no later one, has reached the instrument.
            moves = self.moves_since(mark, len(measured) + 1)
            measured.append((cwl, len(moves)))
            self.assertEqual(moves[-1], "GO 3 " + sample_positions(cwl, 10.0))
            return cwl * 10

        steps = self.f.step_through(points, fwhm_nm=10, dwell_s=0.1,
                                    on_point=self.callback(measure))
        self.assertEqual(measured, [(p, i + 1) for i, p in enumerate(points)])
        self.assertEqual([(s.cwl_nm, s.value) for s in steps], [(p, p * 10) for p in points])
        self.assertTrue(all(s.finished - s.started >= 0.1 for s in steps))
        self.assertEqual(self.moves_since(mark, len(points)),
                         ["GO 3 " + sample_positions(p, 10.0) for p in points])

    def test_step_through_refuses_a_point_before_any_move_and_without_a_refusal(self):
        mark = self.sim.count()
        before = self.f.last_error()
        cases = [([500.0, 805.0, 510.0], 10, "ERRSE04", "SETC,805.0,10.0"),
                 ([500.0, 795.0, 600.0], 20, "ERRSE10", "SETC,795.0,20.0"),  # this FWHM's range
                 ([500.0, 500.25], 10, None, "SETC,500.25,10.0")]            # off the grid
        for points, fwhm, code, request in cases:
            with self.subTest(points=points):
                with self.assertRaises(OutOfRange) as refused:
                    self.f.step_through(points, fwhm_nm=fwhm, dwell_s=0)
                self.assertEqual(refused.exception.steps, [])
                self.assertEqual(refused.exception.request, request)
                if code:
                    self.assertEqual(refused.exception.code, code)
        # Nothing moved and the program stored no refusal: no request was sent to be refused.
        self.assertEqual(self.f.last_error(), before)
        self.assert_only_move_since(mark)

    def test_session_limits_and_checks_on_the_sample_table(self):
        self.assertIs(self.f.session, Session.READY)
        self.assertEqual(self.f.limits, Limits(400.0, 800.0, 0.5, 1.0, 20.0))
        self.assertEqual(self.f.limits_for(20), (410.0, 790.0))
        self.assertIsNone(self.f.limits_for(2.5))
        mark = self.sim.count()
        self.assertIsNone(self.f.check_band(550.0, 10.0))
        self.assertIsNone(self.f.check_edges(545.0, 555.0))
        self.assertIsNone(self.f.check_scan(500.0, 520.0, 10.0, 2.0, 0.5))
        # A check gives the error the request itself raises.
        for check, request in [(lambda: self.f.check_band(1000.0, 10.0),
                                lambda: self.f.set_band(1000.0, 10.0)),
                               (lambda: self.f.check_scan(500.0, 520.0, 10.0, 0.0, 0.5),
                                lambda: self.f.start_scan(500.0, 520.0, 10.0, 0.0, 0.5))]:
            refusal = check()
            self.assertIsInstance(refusal, OutOfRange)
            with self.assertRaises(OutOfRange) as raised:
                request()
            self.assertEqual((type(refusal), refusal.code, refusal.text, refusal.request),
                             (type(raised.exception), raised.exception.code,
                              raised.exception.text, raised.exception.request))
        self.assert_only_move_since(mark)

class Blocking(MainPaths, unittest.TestCase):
    @classmethod
    def connect(cls):
        return Filter("127.0.0.1", LAB.port, timeout_s=30.0)

    def test_refusals_and_sessions_while_the_session_starts(self):
        self.assertEqual([type(r) for r in AT_START], [NotReady, DeviceBusy])
        self.assertEqual([(r.code, r.text) for r in AT_START],
                         [("NONE", "Device not ready. Please connect QVL Rari."),
                          ("NONE", "Device busy.")])
        self.assertEqual(SESSIONS, [Session.SEARCHING, Session.OPENING, Session.READY])


class Asyncio(MainPaths, unittest.TestCase):
    @classmethod
    def connect(cls):
        return OverAsyncio(LAB.port)

    def callback(self, function):
        async def measure(cwl):
            await asyncio.sleep(0)
            return function(cwl)
        return measure

    def test_a_cancelled_scan_is_stopped(self):
        with self.assertRaises(asyncio.TimeoutError):
            self.f.loop.run_until_complete(asyncio.wait_for(
                self.f.client.scan(500.0, 795.0, 10.0, 5.0, 1.0), 1.0))
        self.assertEqual(self.f.state, State.IDLE)
        # Stopped, the filter is at rest: a move right after is served.
        self.f.set_band(550.0, 10.0)
        self.assertEqual(self.f.session, Session.READY)


class PyVisa(MainPaths, unittest.TestCase):
    @classmethod
    def connect(cls):
        return Filter.via_pyvisa(f"TCPIP::127.0.0.1::{LAB.port}::SOCKET", timeout_s=30.0)


class Examples(unittest.TestCase):
    """The examples that use the package, run as a user runs them."""

    def run_example(self, name, *args):
        import subprocess
        example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                               "examples", name)
        deadline = time.monotonic() + PATIENCE_S
        while True:
            run = subprocess.run([sys.executable, example, *args], capture_output=True,
                                 text=True, timeout=PATIENCE_S)
            # The previous client may still be leaving: the program then refuses this one.
            if "another client holds control" not in run.stderr or time.monotonic() > deadline:
                return run
            time.sleep(0.1)

    def test_step_detector(self):
        for via in (["--port", str(LAB.port)],
                    ["--visa", f"TCPIP::127.0.0.1::{LAB.port}::SOCKET"]):
            with self.subTest(via=via[0]):
                mark = LAB.sim.count()
                run = self.run_example("step_detector.py", *via, "--dwell", "0.1",
                                       "530", "512.5", "500")
                self.assertEqual(run.returncode, 0, run.stderr)
                lines = run.stdout.splitlines()
                self.assertEqual(lines[0], "cwl_nm,started,finished,value")
                self.assertEqual([line.split(",")[0] for line in lines[1:]],
                                 ["530.0", "512.5", "500.0"])
                self.assertEqual(LAB.sim.wait_for_moves(3, mark),
                                 ["GO 3 " + sample_positions(p, 10.0)
                                  for p in (530.0, 512.5, 500.0)])

    def test_async_scan(self):
        run = self.run_example("async_scan.py", "--port", str(LAB.port))
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("scan ended: SUCCESS", run.stdout)
        self.assertRegex(run.stdout, r"scan: \d+/11 points")


class Restart(unittest.TestCase):
    def test_the_program_restarting_under_a_client(self):
        lab = Lab()
        self.addCleanup(lab.close)
        lab.start_program()
        f = lab.connect()
        self.addCleanup(f.close)
        self.assertEqual(f.version, "QVL Rari v2.1")
        self.assertEqual(lab.stop_program(), 0)
        with self.assertRaises(Disconnected):
            f.version
        with self.assertRaises(CannotConnect):
            f.reconnect()
        lab.start_program()
        deadline = time.monotonic() + PATIENCE_S
        while True:
            try:
                f.reconnect()
                break
            except CannotConnect:
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.1)
        self.assertEqual(f.version, "QVL Rari v2.1")


if __name__ == "__main__":
    unittest.main()
