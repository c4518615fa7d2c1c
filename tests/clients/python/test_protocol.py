"""The protocol core without a socket: each case drives one exchange or flow of the core with
the request lines it must send and the answers the program gives, in order, and checks what
comes out. What needs a real connection (time-outs, hang-ups, garbage on the wire) is in
test_client_faults."""

import asyncio
import os
import sys
import unittest
from typing import Any, Callable, List, NamedTuple, Optional, Sequence, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "clients", "python"))

from vuzaravarede import (  # noqa: E402
    Band, ConnectionLost, DeviceBusy, FilterError, Limits, NotReady, OutOfRange, Progress,
    ProtocolError, ScanFailed, ScanResult, ScanTimeout, Session, State, Step,
)
from vuzaravarede.protocol import (  # noqa: E402
    Call, Exchange, Protocol, Receive, Send, Sleep, decode,
)

LE = "\xa1\xc2"  # the sign "≤" as the program sends it (two bytes)


class Late(NamedTuple):
    """An answer that comes only after the wait for it was interrupted by `error`."""
    answer: str
    error: BaseException


class Script:
    """The other end of the core: `pairs` are (request line sent, answer line), in order."""

    def __init__(self, pairs: Sequence[Tuple[str, Any]],
                 on_sleep: Optional[Callable[[float], None]] = None) -> None:
        self.pairs = list(pairs)
        # Requests sent beyond the pairs (kept here too, in case the core swallows the error).
        self.unexpected: List[bytes] = []
        self.wire: List[Any] = []
        self.slept: List[float] = []
        self.on_sleep = on_sleep

    def run(self, job):
        value: Any = None
        error: Optional[BaseException] = None
        while True:
            try:
                action = job.throw(error) if error is not None else job.send(value)
            except StopIteration as stop:
                return stop.value
            value, error = None, None
            try:
                if isinstance(action, Exchange):
                    value = self.run(action.operation)
                elif isinstance(action, Send):
                    if not self.pairs:
                        self.unexpected.append(action.data)
                        raise AssertionError(f"unexpected request {action.data!r}")
                    sent, answer = self.pairs.pop(0)
                    if action.data != sent.encode("latin-1"):
                        raise AssertionError(f"sent {action.data!r}, expected {sent!r}")
                    self.wire.append(answer)
                elif isinstance(action, Receive):
                    answer = self.wire[0]
                    if isinstance(answer, Late):
                        self.wire[0] = answer.answer
                        raise answer.error
                    self.wire.pop(0)
                    value = decode(answer.encode("latin-1"))
                elif isinstance(action, Sleep):
                    self.slept.append(action.seconds)
                    if self.on_sleep:
                        self.on_sleep(action.seconds)
                elif isinstance(action, Call):
                    value = action.function(*action.args)
            except BaseException as failure:  # noqa: B036 - thrown back into the core
                error = failure


def refused(code: str, text: str) -> List[Tuple[str, str]]:
    return [("ECODE", code), ("ETEXT", text)]


class Raises(NamedTuple):
    kind: type
    code: Optional[str] = None
    text: Optional[str] = None
    request: Optional[str] = None


class CoreTest(unittest.TestCase):
    def check_cases(self, cases):
        """Each case: (name, job of a fresh Protocol, pairs, expected value or Raises)."""
        for name, job, pairs, expected in cases:
            with self.subTest(name):
                script = Script(pairs)
                protocol = Protocol("lab:5050", poll_interval_s=0.2)
                if isinstance(expected, Raises):
                    with self.assertRaises(expected.kind) as raised:
                        script.run(job(protocol))
                    self.assertIs(type(raised.exception), expected.kind)
                    for field in ("code", "text", "request"):
                        if getattr(expected, field) is not None:
                            self.assertEqual(getattr(raised.exception, field),
                                             getattr(expected, field))
                else:
                    result = script.run(job(protocol))
                    self.assertEqual(result, expected)
                    self.assertEqual(type(result), type(expected))
                self.assertEqual(script.pairs, [], "requests the core did not send")
                self.assertEqual(script.unexpected, [], "requests beyond the script")
                self.assertEqual(script.wire, [], "answers the core did not read")


class Queries(CoreTest):
    def test_read_only_queries(self):
        unknown = refused("NONE", "Unknown Command.")
        self.check_cases([
            ("version", lambda p: p.version(), [("VER", "QVL Rari v2.1")], "QVL Rari v2.1"),
            ("version, not the program", lambda p: p.version(), [("VER", "UNKNOWN COMMAND")],
             Raises(ProtocolError)),
            ("state", lambda p: p.state(), [("STATE", "SCAN")], State.SCAN),
            ("state, garbage", lambda p: p.state(), [("STATE", "HELLO")], Raises(ProtocolError)),
            ("band", lambda p: p.band(), [("BAND", "550.0,10.0,545.0,555.0")],
             Band(550.0, 10.0, 545.0, 555.0)),
            ("band unknown", lambda p: p.band(), [("BAND", "NONE")], None),
            ("band, a program without it", lambda p: p.band(),
             [("BAND", "UNKNOWN COMMAND")] + unknown,
             Raises(FilterError, "NONE", "Unknown Command.", "BAND")),
            ("progress", lambda p: p.progress(), [("PROGRESS", "12,51,13.2,42.0")],
             Progress(12, 51, 13.2, 42.0)),
            ("progress, short", lambda p: p.progress(), [("PROGRESS", "12,51")],
             Raises(ProtocolError)),
            ("limits", lambda p: p.limits(), [("LIMITS", "400.0,800.0,0.5,1.0,20.0")],
             Limits(400.0, 800.0, 0.5, 1.0, 20.0)),
            ("limits without a table", lambda p: p.limits(), [("LIMITS", "NONE")], None),
            ("limits, short", lambda p: p.limits(), [("LIMITS", "400.0,800.0")],
             Raises(ProtocolError)),
            ("limits of a FWHM", lambda p: p.limits_for(20), [("LIMITS,20.0", "410.0,790.0")],
             (410.0, 790.0)),
            ("limits of a FWHM not in the table", lambda p: p.limits_for(2.5),
             [("LIMITS,2.5", "NONE")], None),
            ("limits, a program without them", lambda p: p.limits(),
             [("LIMITS", "UNKNOWN COMMAND")] + unknown, Raises(FilterError, "NONE")),
            ("last error", lambda p: p.last_error(), refused("ERRSE03", "Low."),
             ("ERRSE03", "Low.")),
        ])

    def test_session(self):
        for word in ("SEARCHING", "OPENING", "READY", "BUSY", "SCANNING"):
            with self.subTest(word):
                session = Script([("SESSION", word)]).run(Protocol("lab:5050").session())
                self.assertIs(session, Session[word])
                self.assertEqual(session, word)
                self.assertEqual(session.code, "")
        session = Script([("SESSION", "UNUSABLE,ERRDV10")]).run(Protocol("lab:5050").session())
        self.assertEqual(session, Session.UNUSABLE)
        self.assertEqual(session, "UNUSABLE")
        self.assertIsInstance(session, Session)
        self.assertEqual(session.code, "ERRDV10")
        self.assertEqual(Session.UNUSABLE.code, "")  # the member itself is left alone
        self.assertEqual(repr(session), "<Session.UNUSABLE,ERRDV10>")
        self.check_cases([
            ("without its code", lambda p: p.session(), [("SESSION", "UNUSABLE")],
             Raises(ProtocolError)),
            ("garbage", lambda p: p.session(), [("SESSION", "ready")], Raises(ProtocolError)),
            ("a program without it", lambda p: p.session(),
             [("SESSION", "UNKNOWN COMMAND")] + refused("NONE", "Unknown Command."),
             Raises(FilterError, "NONE", "Unknown Command.")),
        ])

    def test_checks_return_the_error_the_request_would_raise(self):
        self.check_cases([
            ("accepted", lambda p: p.check(p.band_request(550, 10)),
             [("CHECK,SETC,550.0,10.0", "OK")], None),
            ("edges", lambda p: p.check(p.edges_request(545, 555.5)),
             [("CHECK,SETR,545.0,555.5", "OK")], None),
            ("scan", lambda p: p.check(p.scan_request(500, 520, 10, 2, 0.5)),
             [("CHECK,SCAN,500.0,520.0,10.0,2.0,0.5", "OK")], None),
            ("garbage", lambda p: p.check(p.band_request(550, 10)),
             [("CHECK,SETC,550.0,10.0", "MAYBE")], Raises(ProtocolError)),
            ("a program without CHECK", lambda p: p.check(p.band_request(550, 10)),
             [("CHECK,SETC,550.0,10.0", "UNKNOWN COMMAND")]
             + refused("NONE", "Unknown Command."), Raises(FilterError, "NONE")),
        ])
        # A refusal comes back as the error, with the request that would have been refused.
        cases = [
            ("SETC", "ERRSE04", "Out of range. Please set [CWL] " + LE + " 800.0", OutOfRange,
             "Out of range. Please set [CWL] \u2264 800.0"),
            ("SETC", "ERRSE10", "Out of range, for FWHM 20.0", OutOfRange, None),
            ("SETR", "ERRSE05", "Low.", OutOfRange, None),
            ("SCAN", "ERRSC03", "Too many points.", OutOfRange, None),
            ("SETC", "NONE", "Device busy.", DeviceBusy, None),
            ("SETC", "NONE", "Now Scanning.", DeviceBusy, None),
            ("SETC", "NONE", "Device not ready. Please connect QVL Rari.", NotReady, None),
            ("SETC", "ERRDV10", "No calibration data file.", ConnectionLost, None),
        ]
        for word, code, text, kind, decoded in cases:
            with self.subTest(word=word, code=code, text=text):
                protocol = Protocol("lab:5050")
                request = {"SETC": protocol.band_request(795, 20),
                           "SETR": protocol.edges_request(390, 400),
                           "SCAN": protocol.scan_request(500, 520, 10, 0.01, 0.5)}[word]
                refusal = Script([("CHECK," + request, f"{code},{text}")]).run(
                    protocol.check(request))
                self.assertIs(type(refusal), kind)
                self.assertEqual((refusal.code, refusal.text, refusal.request),
                                 (code, decoded or text, request))

    def test_values_that_are_no_numbers_are_never_sent(self):
        for value in ["550", None, True, float("nan"), float("inf")]:
            with self.subTest(value=value):
                for job in (lambda p: p.set_band(value, 10), lambda p: p.limits_for(value),
                            lambda p: p.check(p.scan_request(500, 520, 10, 2, value))):
                    with self.assertRaises(ValueError):
                        Script([]).run(job(Protocol("lab:5050")))


class Requests(CoreTest):
    def test_moves_and_their_refusals(self):
        self.check_cases([
            ("set band", lambda p: p.set_band(550, 10.0), [("SETC,550.0,10.0", "SETC OK")], None),
            ("set edges", lambda p: p.set_edges(545.5, 555.25),
             [("SETR,545.5,555.25", "SETR OK")], None),
            ("reset", lambda p: p.reset(), [("RESET", "RESET OK")], None),
            ("out of range, the sign decoded", lambda p: p.set_band(1000, 10),
             [("SETC,1000.0,10.0", "SETC FAIL")]
             + refused("ERRSE04", "Out of range. Please set [CWL] " + LE + " 800.0"),
             Raises(OutOfRange, "ERRSE04", "Out of range. Please set [CWL] \u2264 800.0",
                    "SETC,1000.0,10.0")),
            ("busy", lambda p: p.set_band(550, 10), [("SETC,550.0,10.0", "SETC FAIL")]
             + refused("NONE", "Now Scanning."), Raises(DeviceBusy, "NONE", "Now Scanning.")),
            ("not ready", lambda p: p.reset(), [("RESET", "RESET FAIL")]
             + refused("NONE", "Reset failure. Device not ready."), Raises(NotReady)),
            ("line lost", lambda p: p.set_edges(545, 555), [("SETR,545.0,555.0", "SETR FAIL")]
             + refused("ERRDV02", "Communication error. Connection lost."),
             Raises(ConnectionLost, "ERRDV02")),
            ("other", lambda p: p.reset(), [("RESET", "RESET FAIL")]
             + refused("NONE", "Unknown Error."), Raises(FilterError, "NONE")),
            ("garbage", lambda p: p.set_band(550, 10), [("SETC,550.0,10.0", "\x00\xff")],
             Raises(ProtocolError)),
            ("no scan to stop", lambda p: p.stop(), [("STOP", "STOP FAIL")]
             + refused("NONE", "No Scan."), False),
            ("stop refused otherwise", lambda p: p.stop(), [("STOP", "STOP FAIL")]
             + refused("ERRDV02", "Communication error. Connection lost."),
             Raises(ConnectionLost)),
        ])

    def test_messages_leave_out_the_code_none(self):
        busy = Script([("SETC,550.0,10.0", "SETC FAIL")] + refused("NONE", "Now Scanning."))
        with self.assertRaises(DeviceBusy) as raised:
            busy.run(Protocol("lab:5050").set_band(550, 10))
        self.assertEqual(str(raised.exception), "SETC,550.0,10.0: Now Scanning.")
        self.assertEqual(raised.exception.code, "NONE")
        high = Script([("SETC,900.0,10.0", "SETC FAIL")] + refused("ERRSE04", "High."))
        with self.assertRaises(OutOfRange) as raised:
            high.run(Protocol("lab:5050").set_band(900, 10))
        self.assertEqual(str(raised.exception), "SETC,900.0,10.0: ERRSE04 : High.")

    def test_an_answer_owed_after_an_interruption_is_set_aside(self):
        protocol = Protocol("lab:5050")
        script = Script([("SETC,550.0,10.0", Late("SETC OK", KeyboardInterrupt()))])
        with self.assertRaises(KeyboardInterrupt):
            script.run(protocol.set_band(550, 10))
        self.assertEqual(list(protocol.owed), ["SETC,550.0,10.0"])
        # The next request first reads the late answer; its own answer is its own.
        script.pairs = [("VER", "QVL Rari v2.1")]
        self.assertEqual(script.run(protocol.version()), "QVL Rari v2.1")
        self.assertEqual((list(protocol.owed), script.wire), ([], []))
        # An owed empty line that brought an end report keeps it for the wait.
        protocol.scan_pending = True
        script.pairs = [("", Late("SCAN SUCCESS", asyncio.CancelledError())), ("", ""),
                        ("STATE", "IDLE")]
        with self.assertRaises(asyncio.CancelledError):
            script.run(protocol.poll())
        self.assertEqual(script.run(protocol.state()), State.IDLE)
        self.assertEqual(protocol.report, ScanResult.SUCCESS)


def scan_pairs(*answers: str) -> List[Tuple[str, str]]:
    return [("SCAN,500.0,520.0,10.0,2.0,0.1", "SCAN OK")] + [("", a) for a in answers]


class Scans(CoreTest):
    def test_scan_to_its_end(self):
        scan = lambda p: p.scan(500, 520, 10, 2, 0.1, None)  # noqa: E731
        self.check_cases([
            ("success", scan, scan_pairs("", "", "SCAN SUCCESS"), ScanResult.SUCCESS),
            ("stopped", scan, scan_pairs("SCAN ABORT"), ScanResult.ABORT),
            ("failed", scan, scan_pairs("", "SCAN FAIL") + refused("ERRDV05", "Scan failure."),
             Raises(ScanFailed, "ERRDV05", "Scan failure.", "SCAN")),
            ("refused", scan, [("SCAN,500.0,520.0,10.0,2.0,0.1", "SCAN FAIL")]
             + refused("ERRSC02", "Step."), Raises(OutOfRange, "ERRSC02")),
            ("garbage for a report", scan, scan_pairs("SCAN MAYBE"), Raises(ProtocolError)),
        ])

    def test_the_wait_reports_progress_and_keeps_a_report_that_state_read(self):
        protocol = Protocol("lab:5050", poll_interval_s=0.2)
        seen = []
        script = Script(scan_pairs("") + [("PROGRESS", "1,11,0.5,4.5"), ("", "SCAN SUCCESS")])
        self.assertEqual(script.run(protocol.scan(500, 520, 10, 2, 0.1, seen.append)),
                         ScanResult.SUCCESS)
        self.assertEqual((seen, script.slept), ([Progress(1, 11, 0.5, 4.5)], [0.2]))
        # STATE after the end asks with an empty line first: the report stays for the wait.
        script.pairs = scan_pairs("SCAN ABORT") + [("STATE", "IDLE")]
        script.run(protocol.start_scan(500, 520, 10, 2, 0.1))
        self.assertEqual(script.run(protocol.state()), State.IDLE)
        self.assertEqual(script.run(protocol.state()), State.IDLE)
        self.assertEqual(script.run(protocol.wait_scan(None, None)), ScanResult.ABORT)
        # No scan left to wait for.
        script.pairs = [("STATE", "IDLE"), ("", "")]
        with self.assertRaises(FilterError):
            script.run(protocol.wait_scan(None, None))

    def test_a_scan_that_ends_the_wait_early_is_stopped(self):
        cases = [
            ("cancelled while it sleeps", asyncio.CancelledError),
            ("Ctrl-C while it sleeps", KeyboardInterrupt),
            ("the callback fails", ZeroDivisionError),
        ]
        for name, kind in cases:
            with self.subTest(name):
                protocol = Protocol("lab:5050")

                def interrupt(seconds, kind=kind):
                    raise kind()

                script = Script(scan_pairs("") + [("STOP", "STOP OK"), ("", "SCAN ABORT")],
                                on_sleep=interrupt)
                with self.assertRaises(kind):
                    script.run(protocol.scan(500, 520, 10, 2, 0.1, None))
                self.assertEqual((script.pairs, script.wire), ([], []))
                # The stop's report went with the call: nothing is left to wait for.
                self.assertEqual((protocol.report, protocol.scan_pending), (None, False))
        # Interrupted while SCAN waits for its answer: the scan may run, so it is stopped,
        # and the report of that stop is read.
        protocol = Protocol("lab:5050")
        script = Script([("SCAN,500.0,520.0,10.0,2.0,0.1",
                          Late("SCAN OK", asyncio.CancelledError())),
                         ("STOP", "STOP OK"), ("", "SCAN ABORT")])
        with self.assertRaises(asyncio.CancelledError):
            script.run(protocol.scan(500, 520, 10, 2, 0.1, None))
        self.assertEqual((script.pairs, script.wire, protocol.report), ([], [], None))

    def test_another_callers_scan_is_never_stopped(self):
        protocol = Protocol("lab:5050")
        script = Script(scan_pairs())
        script.run(protocol.start_scan(500, 520, 10, 2, 0.1))  # another caller's scan
        # This call's SCAN is refused because that scan runs: nothing to stop.
        script.pairs = [("SCAN,500.0,520.0,10.0,2.0,0.1", "SCAN FAIL")] + refused(
            "NONE", "Now Scanning.")
        with self.assertRaises(DeviceBusy):
            script.run(protocol.scan(500, 520, 10, 2, 0.1, None))
        # Interrupted before its SCAN was sent (waiting for the connection): nothing either.
        scan = protocol.scan(500, 520, 10, 2, 0.1, None)
        self.assertIsInstance(next(scan), Exchange)
        with self.assertRaises(asyncio.CancelledError):
            scan.throw(asyncio.CancelledError())
        self.assertEqual((script.pairs, script.wire, script.unexpected, protocol.scan_pending),
                         ([], [], [], True))

    def test_a_wait_that_ends_early_leaves_the_scan_running(self):
        protocol = Protocol("lab:5050")
        script = Script(scan_pairs() + [("", "")], on_sleep=lambda s: (_ for _ in ()).throw(
            asyncio.CancelledError()))
        script.run(protocol.start_scan(500, 520, 10, 2, 0.1))
        with self.assertRaises(asyncio.CancelledError):
            script.run(protocol.wait_scan(None, None))
        with self.assertRaises(ScanTimeout):
            Script([("", "")]).run(protocol.wait_scan(1e-9, None))
        self.assertTrue(protocol.scan_pending)


class StepThrough(CoreTest):
    def test_every_point_is_checked_before_the_first_move(self):
        values = iter([1.5, 2.5])
        steps = Script([("CHECK,SETC,510.0,10.0", "OK"), ("CHECK,SETC,500.04,10.0", "OK"),
                        ("SETC,510.0,10.0", "SETC OK"), ("SETC,500.04,10.0", "SETC OK")]).run(
            Protocol("lab:5050").step_through([510, 500.04], 10, 0.25,
                                              lambda cwl: next(values), True))
        self.assertEqual([(s.cwl_nm, s.value) for s in steps], [(510.0, 1.5), (500.0, 2.5)])
        self.assertTrue(all(isinstance(s, Step) and s.finished >= s.started for s in steps))

    def test_a_point_the_program_would_refuse_moves_nothing(self):
        cases = [
            ("off the range of this FWHM", [500, 795, 600], 20,
             [("CHECK,SETC,500.0,20.0", "OK"),
              ("CHECK,SETC,795.0,20.0", "ERRSE10,Out of range, for FWHM 20.0")],
             Raises(OutOfRange, "ERRSE10", "Out of range, for FWHM 20.0", "SETC,795.0,20.0")),
            ("no session", [500], 10,
             [("CHECK,SETC,500.0,10.0", "NONE,Device not ready. Please connect QVL Rari.")],
             Raises(NotReady, "NONE")),
            ("a value that is no number", [500, "x"], 10, [], Raises(ValueError)),
            ("no FWHM", [500], None, [], Raises(ValueError)),
        ]
        for name, points, fwhm, pairs, expected in cases:
            with self.subTest(name):
                script = Script(pairs)
                with self.assertRaises(expected.kind) as raised:
                    script.run(Protocol("lab:5050").step_through(points, fwhm, 0, None, True))
                self.assertEqual(raised.exception.steps, [])
                if expected.code:
                    self.assertEqual((raised.exception.code, raised.exception.text,
                                      raised.exception.request),
                                     (expected.code, expected.text or raised.exception.text,
                                      expected.request or raised.exception.request))
                self.assertEqual(script.pairs, [])

    def test_a_refusal_after_the_check_keeps_the_steps_done(self):
        script = Script([("SETC,500.0,10.0", "SETC OK"), ("SETC,505.0,10.0", "SETC FAIL")]
                        + refused("NONE", "Device busy."))
        with self.assertRaises(DeviceBusy) as raised:
            script.run(Protocol("lab:5050").step_through([500, 505, 510], 10, 0, None, False))
        self.assertEqual([s.cwl_nm for s in raised.exception.steps], [500.0])


class WaitReady(CoreTest):
    def test_waits_for_ready_and_says_why_not(self):
        self.check_cases([
            ("ready after the opening", lambda p: p.wait_ready(60),
             [("SESSION", "SEARCHING"), ("SESSION", "OPENING"), ("SESSION", "READY")],
             Session.READY),
        ])
        cases = [
            ("BUSY", "NONE,Device busy.", "NONE", "Device busy."),
            ("SEARCHING", "NONE,Device not ready. Please connect QVL Rari.", "NONE",
             "Device not ready. Please connect QVL Rari."),
            ("UNUSABLE,ERRDV10", "ERRDV10,No calibration data file.", "ERRDV10",
             "No calibration data file."),
            # Ready by the time it is asked why not: the session's own words.
            ("SCANNING", "ERRSE03,Low.", "NONE", "Now Scanning."),
        ]
        for session, check, code, text in cases:
            with self.subTest(session):
                script = Script([("SESSION", session), ("CHECK,SETC,0.0,0.0", check)])
                with self.assertRaises(NotReady) as raised:
                    script.run(Protocol("lab:5050").wait_ready(1e-9))
                self.assertEqual((raised.exception.code, raised.exception.text), (code, text))
                self.assertEqual(raised.exception.session, session.split(",")[0])
                self.assertIn(session.split(",")[0], str(raised.exception))
        with self.assertRaises(ValueError):
            Script([]).run(Protocol("lab:5050").wait_ready(0))


if __name__ == "__main__":
    unittest.main()
