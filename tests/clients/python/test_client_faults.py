"""The Python client against a stand-in of the program: wire format, refusals, end reports,
step-through and every connection fault, blocking and asyncio."""

import asyncio
import importlib.util
import math
import os
import signal
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "clients", "python"))
sys.path.insert(0, HERE)

from fakeprogram import FakeProgram, refusing_port  # noqa: E402
from vuzaravarede import (  # noqa: E402
    AsyncFilter, Band, CannotConnect, ConnectionLost, ControlHeld, DeviceBusy, Disconnected,
    Filter, FilterError, Limits, NoResponse, NotReady, OutOfRange, Progress, ProtocolError,
    ScanFailed, ScanResult, ScanTimeout, Session, State, scan_points,
)

# A bound against hangs, well above every time-out the tests give.
HANG_S = 20.0


class FakeTest(unittest.TestCase):
    state_keeps_report = True

    def setUp(self):
        self.server = FakeProgram(self.state_keeps_report)
        self.addCleanup(self.server.close)

    def connect(self, timeout_s=5.0, **kwargs):
        self.assertTrue(self.server.wait_idle())
        f = Filter("127.0.0.1", self.server.port, timeout_s=timeout_s, poll_interval_s=0.01,
                   **kwargs)
        self.addCleanup(f.close)
        return f


class Requests(FakeTest):
    def test_lines_numbers_and_decoded_refusals(self):
        f = self.connect()
        f.set_band(550, 10.0)
        f.set_edges(545.5, 555.25)
        with self.assertRaises(OutOfRange) as refused:
            f.set_band(1000.0, 10.0)
        self.assertEqual(refused.exception.code, "ERRSE04")
        self.assertEqual(refused.exception.text, "Out of range. Please set [CWL] \u2264 800.0")
        self.assertEqual(refused.exception.request, "SETC,1000.0,10.0")
        with self.assertRaises(OutOfRange) as refused:
            f.set_band(300.0, 10.0)
        self.assertEqual(refused.exception.text, "Out of range. Please set [CWL] \u2265 400.0")
        # The details are asked right after the refusal, before anything else.
        self.assertEqual(self.server.requests,
                         ["VER", "SETC,550.0,10.0", "SETR,545.5,555.25",
                          "SETC,1000.0,10.0", "ECODE", "ETEXT",
                          "SETC,300.0,10.0", "ECODE", "ETEXT"])

    def test_refusals_raise_by_kind(self):
        cases = [
            (b"ERRSE07", b"The decimal place of [CWL] must be an even integer.", OutOfRange),
            (b"NONE", b"Device busy.", DeviceBusy),
            (b"NONE", b"Now Scanning.", DeviceBusy),
            (b"NONE", b"Device not ready. Please connect QVL Rari.", NotReady),
            (b"NONE", b"Reset failure. Device not ready.", NotReady),
            (b"ERRDV02", b"Communication error. Connection lost.", ConnectionLost),
            (b"ERRDV04", b"Failed to change wavelength and FWHM.", ConnectionLost),
            (b"NONE", b"Unknown Error.", FilterError),
        ]
        f = self.connect()
        for code, text, kind in cases:
            with self.subTest(code=code, text=text):
                def refuse(server, code=code, text=text):
                    server.store(b"", code, text)
                    return b"RESET FAIL\r"
                self.server.replies["RESET"] = refuse
                with self.assertRaises(kind) as raised:
                    f.reset()
                self.assertIs(type(raised.exception), kind)
                self.assertEqual((raised.exception.code, raised.exception.text),
                                 (code.decode(), text.decode()))
                self.assertEqual(raised.exception.request, "RESET")

    def test_values_that_are_no_numbers_are_never_sent(self):
        f = self.connect()
        for value in ["550", None, True, float("nan"), float("inf"), -math.inf, [550]]:
            with self.subTest(value=value):
                with self.assertRaises(ValueError):
                    f.set_band(value, 10.0)
                with self.assertRaises(ValueError):
                    f.start_scan(500.0, 520.0, 10.0, 2.0, value)
        with self.assertRaises(ValueError):
            f.ask("VER\rSTATE")
        self.assertEqual(self.server.requests, ["VER"])

    def test_band_and_progress(self):
        f = self.connect()
        self.assertIsNone(f.band)
        self.assertEqual(f.progress, Progress(0, 0, 0.0, 0.0))
        f.set_band(550.0, 10.0)
        self.assertEqual(f.band, Band(550.0, 10.0, 545.0, 555.0))
        self.server.progress = b"12,51,13.2,42.0"
        self.assertEqual(f.progress, Progress(12, 51, 13.2, 42.0))
        # A program that does not know the request says so.
        self.server.replies["BAND"] = lambda s: (s.store(b"", b"NONE", b"Unknown Command."),
                                                 b"UNKNOWN COMMAND\r")[1]
        with self.assertRaises(FilterError) as unknown:
            f.band
        self.assertEqual((unknown.exception.code, unknown.exception.text),
                         ("NONE", "Unknown Command."))
        self.server.progress = b"12,51"
        with self.assertRaises(ProtocolError):
            f.progress

    def test_answers_that_are_not_the_protocol(self):
        f = self.connect()
        for request, reply in [("STATE", b"HELLO\r"), ("SETC,550.0,10.0", b"\x00\xff\r"),
                               ("", b"SCAN MAYBE\r")]:
            with self.subTest(request=request):
                self.server.replies[request] = reply
                with self.assertRaises(ProtocolError):
                    if request == "STATE":
                        f.state
                    elif request:
                        f.set_band(550.0, 10.0)
                    else:
                        f.ask("")
        # Endless bytes without a line end are refused, not collected for ever.
        self.server.replies["VER"] = b"x" * 70000
        with self.assertRaises(ProtocolError):
            f.version


class ScanReports(FakeTest):
    def test_scan_waits_with_empty_lines_and_reports_progress(self):
        f = self.connect()
        seen = []

        def progress(figures):
            seen.append(figures)
            if len(seen) == 3:
                self.server.end_scan()

        self.assertEqual(f.scan(500.0, 520.0, 10.0, 2.0, 0.1, progress=progress), "SUCCESS")
        self.assertEqual(len(seen), 3)
        self.assertTrue(all(isinstance(p, Progress) for p in seen))
        after_scan = self.server.requests[self.server.requests.index("SCAN,500.0,520.0,10.0,2.0,0.1"):]
        self.assertNotIn("STATE", after_scan)
        self.assertEqual(after_scan[-1], "")

    def test_state_keeps_the_report_for_wait_scan(self):
        cases = [("program keeps it", True), ("program replaces it", False)]
        for name, keeps in cases:
            with self.subTest(name):
                self.server.state_keeps_report = keeps
                f = self.connect()
                f.start_scan(500.0, 520.0, 10.0, 2.0, 0.1)
                self.assertEqual(f.state, "SCAN")
                self.server.end_scan()
                self.assertEqual(f.state, "IDLE")
                self.assertEqual(f.state, "IDLE")
                self.assertEqual(f.version, "QVL Rari v2.1")
                self.assertEqual(f.wait_scan(timeout_s=5), "SUCCESS")
                f.close()

    def test_stop_and_failure(self):
        f = self.connect()
        self.assertFalse(f.stop())
        for keeps in (True, False):
            with self.subTest(stop_keeps_report=keeps):
                self.server.state_keeps_report = keeps
                f.start_scan(500.0, 520.0, 10.0, 2.0, 0.1)
                with self.assertRaises(DeviceBusy):
                    f.set_band(550.0, 10.0)
                self.assertTrue(f.stop())
                self.assertEqual(f.wait_scan(), "ABORT")
        self.server.state_keeps_report = True

        f.start_scan(500.0, 520.0, 10.0, 2.0, 0.1)
        self.server.end_scan(b"SCAN FAIL", b"ERRDV05", b"Scan failure.")
        with self.assertRaises(ScanFailed) as failed:
            f.wait_scan()
        self.assertEqual((failed.exception.code, failed.exception.text),
                         ("ERRDV05", "Scan failure."))
        # The details were read right after the report.
        self.assertEqual(self.server.requests[-3:], ["", "ECODE", "ETEXT"])

        with self.assertRaises(FilterError):
            f.wait_scan()  # no scan runs

    def test_a_scan_waited_for_elsewhere_is_stopped_from_here(self):
        f = self.connect()
        outcome = []
        waiter = threading.Thread(
            target=lambda: outcome.append(f.scan(500.0, 520.0, 10.0, 2.0, 0.1)))
        waiter.start()
        self.assertTrue(self.server.wait_for_request("", count=2))
        self.assertTrue(f.stop())
        waiter.join(HANG_S)
        self.assertEqual(outcome, ["ABORT"])

        async def stopped_by_another_task():
            async with AsyncFilter("127.0.0.1", self.server.port, timeout_s=5,
                                   poll_interval_s=0.01) as af:
                scan = asyncio.ensure_future(af.scan(500.0, 520.0, 10.0, 2.0, 0.1))
                await asyncio.sleep(0.05)
                self.assertTrue(await af.stop())
                return await scan

        f.close()
        self.assertTrue(self.server.wait_idle())
        self.assertEqual(asyncio.run(asyncio.wait_for(stopped_by_another_task(), HANG_S)),
                         "ABORT")

    def test_a_scan_that_does_not_end_in_time(self):
        f = self.connect()
        f.start_scan(500.0, 520.0, 10.0, 2.0, 0.1)
        started = time.monotonic()
        with self.assertRaises(ScanTimeout) as late:
            f.wait_scan(timeout_s=0.3)
        self.assertIsInstance(late.exception, TimeoutError)
        self.assertLess(time.monotonic() - started, HANG_S)
        self.server.end_scan()
        self.assertEqual(f.wait_scan(timeout_s=5), "SUCCESS")

    def test_points_of_a_scan(self):
        cases = [
            ((500.0, 520.0, 2.0), 11),
            ((520.0, 500.0, 3.0), 7),       # descending, END off the grid: 520 ... 502
            ((550.0, 550.0, 1.0), 1),
            ((500.0, 795.0, 10.0), 30),     # END off the grid: 500 ... 790
            ((500.05, 500.15, 0.1), 1),     # both round to 500.1
            ((500.0, 500.25, 0.1), 3),      # 500.25 rounds to 500.2
        ]
        for (start, end, step), points in cases:
            with self.subTest(start=start, end=end, step=step):
                self.assertEqual(scan_points(start, end, step), points)


class StepThrough(FakeTest):
    def test_points_in_the_given_order_each_measured_after_its_move(self):
        f = self.connect()
        moves_seen = []

        def measure(cwl):
            moves_seen.append((cwl, [r for r in self.server.requests if r.startswith("SETC,5")]))
            return cwl * 2

        steps = f.step_through([520.0, 512.5, 500.04], fwhm_nm=10, dwell_s=0.05,
                               on_point=measure)
        self.assertEqual([s.cwl_nm for s in steps], [520.0, 512.5, 500.0])
        self.assertEqual([s.value for s in steps], [1040.0, 1025.0, 1000.0])
        for step in steps:
            self.assertGreaterEqual(step.finished - step.started, 0.05)
        # Each measurement came after its own move and before the next.
        self.assertEqual([len(moves) for _, moves in moves_seen], [1, 2, 3])
        self.assertEqual(moves_seen[-1][1],
                         ["SETC,520.0,10.0", "SETC,512.5,10.0", "SETC,500.04,10.0"])

    def test_a_point_the_program_would_refuse_moves_nothing(self):
        f = self.connect()
        for points, fwhm, code in [([500.0, 795.0, 600.0], 20, "ERRSE10"),
                                   ([500.0, 399.94], 1, "ERRSE03")]:
            with self.subTest(points=points):
                with self.assertRaises(OutOfRange) as refused:
                    f.step_through(points, fwhm_nm=fwhm, dwell_s=0)
                self.assertEqual(refused.exception.code, code)
                self.assertEqual(refused.exception.steps, [])
                self.assertEqual(refused.exception.request,
                                 f"SETC,{points[1]},{float(fwhm)}")
        # Only checks reached the program: no move, no refusal stored.
        self.assertEqual([r.split(",")[0] for r in self.server.requests],
                         ["VER"] + ["CHECK"] * 4)
        self.assertEqual(f.last_error(), ("", ""))

    def test_an_exception_stops_the_stepping_and_keeps_the_steps_done(self):
        f = self.connect()

        def measure(cwl):
            if cwl == 510.0:
                raise KeyboardInterrupt
            return cwl

        with self.assertRaises(KeyboardInterrupt) as stopped:
            f.step_through([500.0, 505.0, 510.0, 515.0], fwhm_nm=10, dwell_s=0,
                           on_point=measure)
        self.assertEqual([s.cwl_nm for s in stopped.exception.steps], [500.0, 505.0])
        self.assertNotIn("SETC,515.0,10.0", self.server.requests)
        # A refusal that could not be known first stops it the same way.
        self.server.replies["SETC,505.0,10.0"] = lambda s: (
            s.store(b"", b"ERRSE07", b"The decimal place of [CWL] must be an even integer."),
            b"SETC FAIL\r")[1]
        with self.assertRaises(OutOfRange) as refused:
            f.step_through([500.0, 505.0, 510.0], fwhm_nm=10, dwell_s=0)
        self.assertEqual([s.cwl_nm for s in refused.exception.steps], [500.0])
        self.assertEqual(f.version, "QVL Rari v2.1")


class ConnectionFaults(FakeTest):
    def test_refused_connection_names_host_and_port(self):
        port = refusing_port(self)
        with self.assertRaises(CannotConnect) as refused:
            Filter("127.0.0.1", port, timeout_s=5)
        self.assertIsInstance(refused.exception, ConnectionError)
        self.assertIn(f"127.0.0.1:{port}", str(refused.exception))

    def test_second_client_is_told_that_control_is_held(self):
        self.connect()
        with self.assertRaises(ControlHeld) as held:
            Filter("127.0.0.1", self.server.port, timeout_s=5)
        self.assertIsInstance(held.exception, ConnectionError)
        self.assertIn("another client holds control", str(held.exception))

    def test_silence_times_out_and_the_late_answer_is_not_taken_for_another(self):
        self.server.replies["VER"] = None
        started = time.monotonic()
        with self.assertRaises(NoResponse) as silent:
            Filter("127.0.0.1", self.server.port, timeout_s=0.5)
        self.assertIsInstance(silent.exception, TimeoutError)
        self.assertIn(f"127.0.0.1:{self.server.port}", str(silent.exception))
        self.assertLess(time.monotonic() - started, HANG_S)
        del self.server.replies["VER"]
        self.server.drop_client()

        f = self.connect(timeout_s=0.5)
        self.server.replies["SETC,550.0,10.0"] = None
        with self.assertRaises(NoResponse):
            f.set_band(550.0, 10.0)
        self.server.client.sendall(b"SETC OK\r")  # the answer comes late
        self.assertEqual(f.state, "IDLE")
        self.assertEqual(f.version, "QVL Rari v2.1")

    def test_connection_lost_mid_answer_then_reconnect(self):
        f = self.connect()

        def half_then_close(server):
            server.client.sendall(b"SETC O")
            server.drop_client()
            return None

        self.server.replies["SETC,550.0,10.0"] = half_then_close
        with self.assertRaises(Disconnected) as lost:
            f.set_band(550.0, 10.0)
        self.assertIsInstance(lost.exception, ConnectionError)
        self.assertIsInstance(lost.exception, ConnectionLost)
        self.assertIn("in the middle of a response", str(lost.exception))
        with self.assertRaises(Disconnected):
            f.version
        # The program ends under a connected client: the next request says so.
        del self.server.replies["SETC,550.0,10.0"]
        self.assertTrue(self.server.wait_idle())
        f.reconnect()
        self.server.drop_client()
        with self.assertRaises(Disconnected):
            f.set_band(550.0, 10.0)
        self.assertTrue(self.server.wait_idle())
        f.reconnect()
        f.set_band(550.0, 10.0)

    @unittest.skipUnless(threading.current_thread() is threading.main_thread(), "needs SIGINT")
    def test_ctrl_c_while_waiting_leaves_the_connection_in_step(self):
        f = self.connect()
        self.server.replies["SETC,550.0,10.0"] = None
        threading.Thread(target=lambda: self.server.wait_for_request("SETC,550.0,10.0")
                         and os.kill(os.getpid(), signal.SIGINT), daemon=True).start()
        with self.assertRaises(KeyboardInterrupt):
            f.set_band(550.0, 10.0)
        self.server.client.sendall(b"SETC OK\r")
        self.assertEqual(f.version, "QVL Rari v2.1")
        # A close right after Ctrl-C first reads the answer still owed.
        self.server.replies["SETC,560.0,10.0"] = None
        threading.Thread(target=lambda: self.server.wait_for_request("SETC,560.0,10.0")
                         and os.kill(os.getpid(), signal.SIGINT), daemon=True).start()
        with self.assertRaises(KeyboardInterrupt):
            f.set_band(560.0, 10.0)
        threading.Timer(0.2, lambda: self.server.client.sendall(b"SETC OK\r")).start()
        f.close()
        self.assertEqual(self.server.requests[-1], "SETC,560.0,10.0")


class OverAsyncio:
    """AsyncFilter with each call run to its end on an event loop of its own, so that the same
    tests drive it and the blocking client."""

    def __init__(self, port: int, **kwargs) -> None:
        self.loop = asyncio.new_event_loop()
        self.client = AsyncFilter("127.0.0.1", port, **kwargs)
        self.loop.run_until_complete(self.client.connect())

    def __getattr__(self, name):
        if isinstance(getattr(AsyncFilter, name), property):
            return self.loop.run_until_complete(getattr(self.client, name))
        method = getattr(self.client, name)
        return lambda *args, **kwargs: self.loop.run_until_complete(method(*args, **kwargs))

    def close(self):
        self.loop.run_until_complete(self.client.close())
        self.loop.close()


HAVE_PYVISA = importlib.util.find_spec("pyvisa") is not None


class Queries(FakeTest):
    """Session, limits and checks through each client: what they return, and that asking moves
    nothing and stores nothing."""

    def clients(self):
        yield "blocking", lambda: self.connect()
        yield "asyncio", lambda: OverAsyncio(self.server.port, timeout_s=5, poll_interval_s=0.01)
        if HAVE_PYVISA:
            yield "pyvisa", lambda: Filter.via_pyvisa(
                f"TCPIP::127.0.0.1::{self.server.port}::SOCKET", timeout_s=5,
                poll_interval_s=0.01)

    def test_session_limits_and_checks(self):
        for name, connect in self.clients():
            with self.subTest(name):
                self.assertTrue(self.server.wait_idle())
                self.server.session, self.server.scanning = b"READY", False
                self.server.requests.clear()
                f = connect()
                try:
                    self.queries(f)
                finally:
                    f.close()

    def queries(self, f):
        server = self.server
        server.store(b"", b"ERRSE03", b"kept")
        self.assertIs(f.session, Session.READY)
        self.assertEqual(f.limits, Limits(400.0, 800.0, 0.5, 1.0, 20.0))
        self.assertEqual(f.limits_for(20), (410.0, 790.0))
        self.assertIsNone(f.limits_for(2.5))
        self.assertIsNone(f.check_band(550.0, 10.0))
        self.assertIsNone(f.check_edges(545.0, 555.0))
        high = f.check_band(900.0, 10.0)
        self.assertIsInstance(high, OutOfRange)
        self.assertEqual((high.code, high.text, high.request),
                         ("ERRSE04", "Out of range. Please set [CWL] \u2264 800.0",
                          "SETC,900.0,10.0"))
        self.assertIsInstance(f.check_scan(500.0, 520.0, 10.0, 0.0, 0.5), OutOfRange)
        server.scanning = True
        self.assertEqual(f.session, "SCANNING")
        busy = f.check_band(550.0, 10.0)
        self.assertIs(type(busy), DeviceBusy)
        self.assertEqual(str(busy), "SETC,550.0,10.0: Now Scanning.")
        server.scanning = False
        server.session = b"UNUSABLE,ERRDV10"
        unusable = f.session
        self.assertEqual((unusable, unusable.code), (Session.UNUSABLE, "ERRDV10"))
        self.assertIsNone(f.limits)
        self.assertIsInstance(f.check_band(550.0, 10.0), ConnectionLost)
        # Nothing was stored nor moved by asking.
        self.assertEqual(f.last_error(), ("ERRSE03", "kept"))
        self.assertFalse([r for r in server.requests if r.startswith(("SETC", "SETR", "SCAN"))])
        # The session opens after a few answers; a wait that gives up says why.
        answers = iter([b"SEARCHING", b"OPENING", b"OPENING"])
        server.session = b"SEARCHING"
        server.replies["SESSION"] = lambda s: next(answers, b"READY") + b"\r"
        self.assertIs(f.wait_ready(timeout_s=HANG_S), Session.READY)
        server.replies["SESSION"] = b"BUSY\r"
        server.session = b"BUSY"
        with self.assertRaises(NotReady) as late:
            f.wait_ready(timeout_s=0.05)
        self.assertEqual((late.exception.code, late.exception.text, late.exception.session),
                         ("NONE", "Device busy.", Session.BUSY))
        del server.replies["SESSION"]


class Conventions(FakeTest):
    """What users of other lab drivers expect: string enums, names with units (the former ones
    still taken, with a warning), a logger, a readable repr."""

    def test_enums_compare_as_their_strings(self):
        f = self.connect()
        self.assertEqual(f.state, "IDLE")
        self.assertIs(f.state, State.IDLE)
        seen = []
        result = f.scan(500.0, 520.0, 10.0, 2.0, 0.1, progress=lambda p: (
            seen.append(p), self.server.end_scan()))
        self.assertIs(result, ScanResult.SUCCESS)
        self.assertEqual(result, "SUCCESS")
        self.assertEqual((str(result), f"{result}", f"{State.SCAN}"), ("SUCCESS",) * 2 + ("SCAN",))

    def test_former_argument_names_warn_and_still_work(self):
        with self.assertWarns(DeprecationWarning) as warned:
            g = Filter("127.0.0.1", self.server.port, timeout=3.0)
        self.assertEqual(warned.filename, __file__)
        g.close()
        self.assertEqual(g._timeout, 3.0)
        f = self.connect()
        f.start_scan(500.0, 520.0, 10.0, 2.0, 0.1)
        self.server.end_scan()
        cases = [
            ("wait_scan(timeout=)", lambda: f.wait_scan(timeout=5), ScanResult.SUCCESS),
            ("step_through(fwhm=, dwell=)",
             lambda: [s.cwl_nm for s in f.step_through([510.0], fwhm=10, dwell=0)], [510.0]),
        ]
        for name, call, expected in cases:
            with self.subTest(name):
                with self.assertWarns(DeprecationWarning) as warned:
                    self.assertEqual(call(), expected)
                self.assertEqual(warned.filename, __file__)  # points at the caller
        with self.assertRaises(TypeError):
            f.step_through([510.0], fwhm_nm=10, dwell_s=0, dwel=1)

        async def asyncio_names():
            with self.assertWarns(DeprecationWarning):
                af = AsyncFilter("127.0.0.1", self.server.port, timeout=4.0)
            self.assertEqual(af._timeout, 4.0)

        asyncio.run(asyncio_names())

    def test_logging_and_repr(self):
        where = f"127.0.0.1:{self.server.port}"
        with self.assertLogs("vuzaravarede", "DEBUG") as logged:
            f = self.connect()
            f.version
            with self.assertRaises(OutOfRange):
                f.set_band(900.0, 10.0)
        self.assertEqual(repr(f), f"<Filter {where} connected>")
        f.close()
        self.assertEqual(repr(f), f"<Filter {where} closed>")
        lines = [(r.levelname, r.getMessage()) for r in logged.records]
        self.assertIn(("INFO", f"{where}: connected (QVL Rari v2.1)"), lines)
        self.assertRegex("\n".join(m for level, m in lines if level == "DEBUG"),
                         f"{where}: 'VER' -> 'QVL Rari v2.1' \\([0-9.]+ ms\\)")
        self.assertIn(("INFO", f"{where}: refused: SETC,900.0,10.0: ERRSE04 : Out of range. "
                               "Please set [CWL] \u2264 800.0"), lines)
        self.assertTrue(self.server.wait_idle())
        af = AsyncFilter("127.0.0.1", self.server.port)
        self.assertEqual(repr(af), f"<AsyncFilter {where} not connected>")




@unittest.skipUnless(HAVE_PYVISA, "pyvisa is not installed")
class PyVisaFaults(FakeTest):
    def resource(self, port):
        return f"TCPIP::127.0.0.1::{port}::SOCKET"

    def test_connection_faults_through_a_visa_resource(self):
        with self.assertRaises(CannotConnect) as refused:
            Filter.via_pyvisa(self.resource(refusing_port(self)), timeout_s=5)
        self.assertIsInstance(refused.exception, ConnectionError)

        f = Filter.via_pyvisa(self.resource(self.server.port), timeout_s=0.5)
        self.addCleanup(f.close)
        # pyvisa-py reports a closed connection only when a write meets it; a read meets
        # silence, and the message says what that may mean.
        with self.assertRaises((ControlHeld, NoResponse)) as closed:
            Filter.via_pyvisa(self.resource(self.server.port), timeout_s=0.5)
        self.assertIn("another client", str(closed.exception))
        self.assertEqual(f.version, "QVL Rari v2.1")
        self.server.replies["SETC,550.0,10.0"] = None
        with self.assertRaises(NoResponse):
            f.set_band(550.0, 10.0)
        self.server.client.sendall(b"SETC OK\r")
        self.assertEqual(f.state, "IDLE")
        with self.assertRaises(OutOfRange) as refused:
            f.set_band(300.0, 10.0)
        self.assertEqual(refused.exception.text, "Out of range. Please set [CWL] \u2265 400.0")
        self.server.replies["VER"] = lambda server: (server.client.sendall(b"QVL"),
                                                     server.drop_client())[1]
        started = time.monotonic()
        for _ in range(2):  # the half answer is never taken for a response
            with self.assertRaises(NoResponse):
                f.version
        self.assertLess(time.monotonic() - started, HANG_S)


class Asyncio(FakeTest):
    def run_async(self, coroutine):
        return asyncio.run(asyncio.wait_for(coroutine, HANG_S))

    def test_requests_and_reports(self):
        async def session():
            async with AsyncFilter("127.0.0.1", self.server.port, timeout_s=5,
                                   poll_interval_s=0.01) as f:
                self.assertEqual(await f.version, "QVL Rari v2.1")
                await f.set_band(550.0, 10.0)
                self.assertEqual(await f.band, Band(550.0, 10.0, 545.0, 555.0))
                with self.assertRaises(OutOfRange) as refused:
                    await f.set_band(300.0, 10.0)
                self.assertEqual(refused.exception.text,
                                 "Out of range. Please set [CWL] \u2265 400.0")
                seen = []

                async def progress(figures):
                    seen.append(figures)
                    self.server.end_scan()

                self.assertEqual(await f.scan(500.0, 520.0, 10.0, 2.0, 0.1, progress), "SUCCESS")
                self.assertEqual(len(seen), 1)
                async def measure(cwl):
                    # The callback may ask the filter itself.
                    return (await f.band).cwl_nm

                steps = await f.step_through([510.0, 500.0], 10, 0, on_point=measure)
                self.assertEqual([(s.cwl_nm, s.value) for s in steps],
                                 [(510.0, 510.0), (500.0, 500.0)])

        self.run_async(session())

    def test_connection_faults(self):
        async def faults():
            with self.assertRaises(CannotConnect):
                await AsyncFilter("127.0.0.1", refusing_port(self), timeout_s=5).connect()
            f = await AsyncFilter("127.0.0.1", self.server.port, timeout_s=0.5).connect()
            with self.assertRaises(ControlHeld):
                await AsyncFilter("127.0.0.1", self.server.port, timeout_s=5).connect()
            # A time-out, then a cancelled call: each late answer is set aside for its request.
            self.server.replies["SETC,550.0,10.0"] = None
            with self.assertRaises(NoResponse):
                await f.set_band(550.0, 10.0)
            self.server.client.sendall(b"SETC OK\r")
            task = asyncio.ensure_future(f.set_band(550.0, 10.0))
            await asyncio.get_running_loop().run_in_executor(
                None, self.server.wait_for_request, "SETC,550.0,10.0", 2)
            task.cancel()
            with self.assertRaises(asyncio.CancelledError):
                await task
            self.server.client.sendall(b"SETC OK\r")
            self.assertEqual(await f.state, "IDLE")
            self.assertEqual(self.server.requests[-1], "STATE")
            self.server.drop_client()
            with self.assertRaises(Disconnected):
                await f.version
            await asyncio.get_running_loop().run_in_executor(None, self.server.wait_idle)
            await f.reconnect()
            self.assertEqual(await f.version, "QVL Rari v2.1")
            await f.close()

        self.run_async(faults())


EXAMPLE = os.path.join(HERE, "..", "..", "..", "examples", "remote_scan.py")


class StandardLibraryExample(FakeTest):
    """examples/remote_scan.py, the client without the package: a clear message and exit
    status 2 for each connection fault, and a scan wait that ends."""

    def run_example(self, port, *args):
        import subprocess
        return subprocess.run([sys.executable, EXAMPLE, "--port", str(port), *args],
                              capture_output=True, text=True, timeout=HANG_S)

    def test_connection_faults(self):
        def close_at_once(server):
            server.drop_client()

        cases = [("refused", refusing_port(self), {}, "connection refused"),
                 ("silent", self.server.port, {"VER": None}, "no response to 'VER'"),
                 ("lost", self.server.port, {"VER": close_at_once}, "closed the connection")]
        for name, port, replies, message in cases:
            with self.subTest(name):
                self.assertTrue(self.server.wait_idle())
                self.server.replies = dict(replies)
                run = self.run_example(port, "--timeout", "0.5")
                self.assertEqual(run.returncode, 2, run.stdout + run.stderr)
                self.assertIn(message, run.stderr)
                self.assertNotIn("Traceback", run.stderr)

    def test_the_wait_for_a_scan_has_a_deadline(self):
        loader_info = importlib.util.spec_from_file_location("remote_scan", EXAMPLE)
        example = importlib.util.module_from_spec(loader_info)
        loader_info.loader.exec_module(example)
        # 11 points held 0.5 s: 11 x (0.5 + 0.3) s and the margin.
        self.assertAlmostEqual(example.scan_deadline(540.0, 560.0, 2.0, 0.5), 11 * 0.8 + 30.0)
        rari = example.Rari("127.0.0.1", self.server.port, 5.0)
        self.addCleanup(rari.close)
        rari.command("SCAN,540.0,560.0,10.0,2.0,0.5")
        started = time.monotonic()
        with self.assertRaises(TimeoutError):
            rari.wait_for_scan_end(0.3)
        self.assertLess(time.monotonic() - started, HANG_S)


if __name__ == "__main__":
    unittest.main()
