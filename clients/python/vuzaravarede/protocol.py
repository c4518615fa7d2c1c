"""The remote control protocol, without input or output.

An *exchange* is a generator that yields what it needs done on the connection - send a line
(`Send`), receive a response line (`Receive`) - and gets the outcome back; it runs with the
connection held for it alone, from its first request to its last response. A *flow* (waiting
for a scan's end, stepping through points, waiting for the session) is a generator that yields
exchanges (`Exchange`), pauses (`Sleep`) and calls of the user's functions (`Call`); it holds
nothing between them, so other threads or tasks use the connection while it sleeps or calls
back. `Filter` runs both with a blocking connection, `AsyncFilter` with asyncio, so both follow
the same rules:

- a request is one 8-bit line ended by CR; each request line gets exactly one response line,
  ended by CR alone, in order;
- a refused request (``... FAIL``, ``UNKNOWN ...``) is followed at once by ``ECODE`` and
  ``ETEXT``, within the same exchange, before any other request replaces them;
- a scan's end report (``SCAN SUCCESS``, ``SCAN ABORT``, ``SCAN FAIL``) is read with empty
  lines and kept by the client until `wait_scan` returns it;
- a request whose response did not come in time (or whose wait was interrupted) stays owed:
  its response is read and set aside before the next request is sent, so that no response is
  ever taken for another request's.

Each request and response is logged at DEBUG on the logger ``vuzaravarede``, with the
program's address and the round trip; refusals at INFO.
"""

from __future__ import annotations

import collections
import decimal
import enum
import logging
import math
import numbers
import time
from typing import (
    Any, Callable, Deque, Generator, List, NamedTuple, NoReturn, Optional, Sequence, Tuple,
    TypeVar, Union, cast,
)

from .errors import (
    Disconnected, FilterError, NoResponse, NotReady, ProtocolError, ScanFailed, ScanTimeout,
    error_for,
)

__all__ = ["Band", "Progress", "Step", "Limits", "State", "ScanResult", "Session", "Protocol",
           "encode", "decode", "scan_points", "scan_deadline", "tenths"]

log = logging.getLogger("vuzaravarede")

# The version answer of the program this client was written for.
PROGRAM_VERSION = "QVL Rari v2.1"
# A scan step takes its TimeDelay plus the move and the 100 ms poll; the wait for a scan's end
# allows this much per point, and the margin below for the start, the first move from afar and
# the supervision timer that reports the end (once a second).
STEP_ALLOWANCE_S = 0.3
SCAN_MARGIN_S = 30.0
# The longest response line taken; a peer that sends more without a CR is not the program.
MAX_LINE = 65536


class _StrEnum(str, enum.Enum):
    """An enum whose members are their own strings: ``State.IDLE == "IDLE"``, and they print
    as the plain word."""

    def __str__(self) -> str:
        return str.__str__(self)

    def __format__(self, format_spec: str) -> str:
        return str.__format__(self, format_spec)

    def __repr__(self) -> str:
        return f"<{type(self).__name__}.{self._name_}>"


class State(_StrEnum):
    """What ``STATE`` answers."""
    IDLE = "IDLE"
    SCAN = "SCAN"


class ScanResult(_StrEnum):
    """How a scan ended, when it did not fail."""
    SUCCESS = "SUCCESS"
    ABORT = "ABORT"


class Session(_StrEnum):
    """The program's session with the instrument (``SESSION``):

    - SEARCHING: no instrument; the program searches for it;
    - OPENING: found; the session starts (a pause, the reads, the homing);
    - READY: idle, a move would be accepted;
    - BUSY: an operation holds the instrument (a move, a reset, the file dialog);
    - SCANNING: a scan runs;
    - UNUSABLE: connected, but the information or the calibration table could not be read;
      `code` says which read failed (``"ERRDV10"``); a reset reads again.

    Compare with ``==`` (``f.session == Session.UNUSABLE`` or ``== "UNUSABLE"``): an UNUSABLE
    answer is a member of its own that carries its code.
    """
    SEARCHING = "SEARCHING"
    OPENING = "OPENING"
    READY = "READY"
    BUSY = "BUSY"
    SCANNING = "SCANNING"
    UNUSABLE = "UNUSABLE"

    @property
    def code(self) -> str:
        """The code of the failed read for UNUSABLE, otherwise empty."""
        return str(self.__dict__.get("_code", ""))

    @classmethod
    def unusable(cls, code: str) -> "Session":
        member = str.__new__(cls, "UNUSABLE")
        member._name_ = member._value_ = "UNUSABLE"
        member._code = code  # type: ignore[attr-defined]
        return member

    def __repr__(self) -> str:
        code = f",{self.code}" if self.code else ""
        return f"<Session.{self._name_}{code}>"


class Band(NamedTuple):
    """A pass band of the filter, in nm."""
    cwl_nm: float
    fwhm_nm: float
    sw_nm: float
    lw_nm: float


class Progress(NamedTuple):
    """How far the current (or last) scan is: points moved, points in all, seconds since its
    start, estimated seconds left."""
    done: int
    total: int
    elapsed_s: float
    remaining_s: float


class Limits(NamedTuple):
    """What the loaded calibration table allows, in nm: the CWL range and its grid step, and
    the FWHM range. The CWL range of one FWHM may be narrower: see `limits_for`."""
    cwl_min_nm: float
    cwl_max_nm: float
    cwl_step_nm: float
    fwhm_min_nm: float
    fwhm_max_nm: float


class Step(NamedTuple):
    """One point of `step_through`: the centre wavelength set (nm, rounded to 0.1 nm as the
    program rounds it), when the filter had arrived there and when the measurement ended
    (`time.time()` seconds), and what the measurement returned."""
    cwl_nm: float
    started: float
    finished: float
    value: Any


# What an exchange yields to the connection that runs it.
class Send(NamedTuple):
    """Send one request line (bytes without the CR). The runner sends it whole or not at all."""
    data: bytes


class Receive(NamedTuple):
    """Receive the next response line; the answer is its text (CR removed, decoded)."""
    timeout_s: Optional[float] = None


T = TypeVar("T")
# An exchange: requests and their responses, run with the connection held throughout. What is
# sent back into it is the response line for a Receive, None for a Send.
Operation = Generator[Union[Send, Receive], Optional[str], T]


# What a flow yields to the client that runs it.
class Exchange(NamedTuple):
    """Run this exchange (with the connection held for it) and give back its result."""
    operation: Operation[Any]


class Sleep(NamedTuple):
    seconds: float


class Call(NamedTuple):
    """Call the user's function; an awaitable result is awaited by the asyncio runner."""
    function: Callable[..., Any]
    args: Tuple[Any, ...]


# A flow: what is sent back is the result of the exchange or of the call, None after a pause.
Flow = Generator[Union[Exchange, Sleep, Call], Any, T]


def encode(line: str) -> bytes:
    """A request line as the program's 8-bit text (without the CR)."""
    if "\r" in line or "\n" in line:
        raise ValueError(f"a request is one line, without CR or LF: {line!r}")
    text = line.replace("\u2265", "\xa1\xc3").replace("\u2264", "\xa1\xc2")
    try:
        return text.encode("latin-1")
    except UnicodeEncodeError:
        raise ValueError(f"a request is 8-bit text: {line!r}") from None


def decode(raw: bytes) -> str:
    """A response line as text: the byte pairs A1 C3 and A1 C2 are the signs "≥" and "≤",
    every other byte is Latin-1."""
    return raw.decode("latin-1").replace("\xa1\xc3", "\u2265").replace("\xa1\xc2", "\u2264")


def number(value: Any, name: str) -> str:
    """`value` as the program reads numbers ("." and an optional exponent). Anything that is
    not a finite number raises ValueError: the program would read it as 0."""
    if isinstance(value, bool) or not isinstance(value, (numbers.Real, decimal.Decimal)):
        raise ValueError(f"{name} must be a number, not {value!r}")
    x = float(value)
    if not math.isfinite(x):
        raise ValueError(f"{name} must be a finite number, not {value!r}")
    return repr(x)


def tenths(value: float) -> int:
    """`value` in tenths, rounded as the program rounds its inputs: on the exact value of the
    double, an exact half to the even neighbour (500.05 -> 5001, 500.15 -> 5001, 500.25 -> 5002)."""
    exact = decimal.Decimal(float(value)).scaleb(1)
    return int(exact.to_integral_value(rounding=decimal.ROUND_HALF_EVEN))


def scan_points(start_nm: float, end_nm: float, step_nm: float) -> int:
    """The number of points a scan visits: from START towards END by STEP, END included when
    it lies on the STEP grid from START (values rounded to 0.1 nm first)."""
    start, end, step = tenths(start_nm), tenths(end_nm), tenths(step_nm)
    if step <= 0:
        return 1
    return abs(end - start) // step + 1


def scan_deadline(points: int, dwell_s: float) -> float:
    """Seconds to allow a scan of `points` points held `dwell_s` each before giving up on its
    end report: points x (dwell + 0.3 s) + 30 s."""
    return points * (max(dwell_s, 0.0) + STEP_ALLOWANCE_S) + SCAN_MARGIN_S


def _fields(response: str, count: int, request: str) -> List[str]:
    fields = response.split(",")
    if len(fields) != count:
        raise ProtocolError(f"unexpected response {response!r}", request)
    return fields


def _positive(value: float, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
        raise ValueError(f"{name} must be a positive number of seconds, not {value!r}")
    return float(value)


# What the program says when it is not ready, by session, for a wait that ended before the
# program could be asked.
_NOT_READY_TEXT = {
    Session.SEARCHING: "Device not ready. Please connect QVL Rari.",
    Session.OPENING: "Device busy.",
    Session.BUSY: "Device busy.",
    Session.SCANNING: "Now Scanning.",
}


class Protocol:
    """The state of one client session and its exchanges and flows (see the module)."""

    def __init__(self, where: str, poll_interval_s: float = 0.2) -> None:
        self.where = where
        self.poll_interval_s = poll_interval_s
        # Requests sent whose responses have not been read, oldest first.
        self.owed: Deque[str] = collections.deque()
        # A wait for a response was interrupted (Ctrl-C, a cancelled task), not timed out.
        self.interrupted = False
        # A scan of this session whose end report has not been read yet, and the report once
        # read: a ScanResult, or the ScanFailed to raise.
        self.scan_pending = False
        self.report: Union[ScanResult, ScanFailed, None] = None
        self.scan_deadline_s: Optional[float] = None
        # Scans this session started, to tell its own scan from a later one.
        self.scans_started = 0

    # --- requests ---------------------------------------------------------------------------

    def ask(self, line: str, timeout_s: Optional[float] = None) -> Operation[str]:
        """Sends `line` and returns its response (owed responses are read first)."""
        data = encode(line)
        while self.owed:
            request = self.owed[0]
            response = yield from self._receive(timeout_s)
            self.owed.popleft()
            log.debug("%s: late response to %r: %r, set aside", self.where, request, response)
            if request == "" and response:
                yield from self._note_report(response)
        started = time.perf_counter()
        yield Send(data)
        self.owed.append(line)
        response = yield from self._receive(timeout_s)
        self.owed.popleft()
        if log.isEnabledFor(logging.DEBUG):
            log.debug("%s: %r -> %r (%.3f ms)", self.where, line, response,
                      (time.perf_counter() - started) * 1000.0)
        return response

    def _receive(self, timeout_s: Optional[float]) -> Operation[str]:
        try:
            return cast(str, (yield Receive(timeout_s)))
        except NoResponse:
            self.interrupted = False
            raise
        except (KeyboardInterrupt, GeneratorExit):
            self.interrupted = True
            raise
        except BaseException as error:
            # asyncio's CancelledError is not an Exception since Python 3.8.
            if not isinstance(error, Exception):
                self.interrupted = True
            raise

    def settle(self, timeout_s: float) -> Operation[None]:
        """Reads the responses still owed after an interrupted wait, so that the connection can
        be closed between requests; errors are ignored."""
        if not (self.owed and self.interrupted):
            return
        try:
            while self.owed:
                yield from self._receive(timeout_s)
                self.owed.popleft()
        except Exception:
            pass

    def command(self, request: str, ok: str) -> Operation[None]:
        """A request that answers `ok` on success; anything else raises."""
        response = yield from self.ask(request)
        if response != ok:
            yield from self.refused(request, response)

    def refused(self, request: str, response: str) -> Operation[NoReturn]:
        """Raises the error for a response that is not the expected one: a FAIL or UNKNOWN
        response with the code and text read at once, anything else as a protocol error."""
        if response.endswith(" FAIL") or response.startswith("UNKNOWN "):
            code = yield from self.ask("ECODE")
            text = yield from self.ask("ETEXT")
            error = error_for(code, text, request)
            log.info("%s: refused: %s", self.where, error)
            raise error
        raise ProtocolError(f"unexpected response {response!r}", request)

    def _note_report(self, response: str) -> Operation[None]:
        """Keeps a scan's end report read from an empty line; a failure is described at once,
        before another request replaces its code and text."""
        if response == "SCAN SUCCESS":
            self.report = ScanResult.SUCCESS
        elif response == "SCAN ABORT":
            self.report = ScanResult.ABORT
        elif response == "SCAN FAIL":
            code = yield from self.ask("ECODE")
            text = yield from self.ask("ETEXT")
            self.report = ScanFailed(code, text, "SCAN")
            log.info("%s: the scan failed: %s", self.where, self.report)
        else:
            raise ProtocolError(f"unexpected response {response!r} to an empty line", "")
        self.scan_pending = False

    def poll(self) -> Operation[bool]:
        """One empty line: True when it brought a scan's end report."""
        response = yield from self.ask("")
        if response:
            yield from self._note_report(response)
            return True
        return False

    def line(self, line: str) -> Operation[str]:
        """Any request line as it is; an empty line that brings an end report keeps it."""
        response = yield from self.ask(line)
        if line == "" and response:
            yield from self._note_report(response)
        return response

    # --- exchanges --------------------------------------------------------------------------

    def handshake(self) -> Operation[str]:
        """The first request of a connection: the program's version."""
        return (yield from self.version())

    def version(self) -> Operation[str]:
        response = yield from self.ask("VER")
        if not response or response.endswith(" FAIL") or response.startswith("UNKNOWN "):
            raise ProtocolError(f"unexpected response {response!r}", "VER")
        return response

    def state(self) -> Operation[State]:
        # While a scan of ours has not reported its end, an empty line first collects the report
        # if there is one, so that it is kept for wait_scan whatever STATE does with it.
        if self.scan_pending and (yield from self.poll()):
            return State.IDLE
        response = yield from self.ask("STATE")
        if response not in ("IDLE", "SCAN"):
            yield from self.refused("STATE", response)
        if response == "SCAN" and not self.scan_pending and self.report is None:
            # A scan that was started before this session: its end is awaited the same way.
            self.scan_pending = True
            self.scan_deadline_s = None
        return State(response)

    def session(self) -> Operation[Session]:
        response = yield from self.ask("SESSION")
        if response.startswith("UNUSABLE,") and len(response) > len("UNUSABLE,"):
            return Session.unusable(response[len("UNUSABLE,"):])
        if response in Session.__members__ and response != "UNUSABLE":
            return Session(response)
        return (yield from self.refused("SESSION", response))

    def limits(self) -> Operation[Optional[Limits]]:
        response = yield from self.ask("LIMITS")
        if response == "NONE":
            return None
        try:
            return Limits(*(float(x) for x in _fields(response, 5, "LIMITS")))
        except (ProtocolError, ValueError):
            return (yield from self.refused("LIMITS", response))

    def limits_for(self, fwhm_nm: float) -> Operation[Optional[Tuple[float, float]]]:
        request = f"LIMITS,{number(fwhm_nm, 'fwhm_nm')}"
        response = yield from self.ask(request)
        if response == "NONE":
            return None
        try:
            low, high = (float(x) for x in _fields(response, 2, request))
            return low, high
        except (ProtocolError, ValueError):
            return (yield from self.refused(request, response))

    @staticmethod
    def band_request(cwl_nm: float, fwhm_nm: float) -> str:
        return f"SETC,{number(cwl_nm, 'cwl_nm')},{number(fwhm_nm, 'fwhm_nm')}"

    @staticmethod
    def edges_request(sw_nm: float, lw_nm: float) -> str:
        return f"SETR,{number(sw_nm, 'sw_nm')},{number(lw_nm, 'lw_nm')}"

    @staticmethod
    def scan_request(start_nm: float, end_nm: float, fwhm_nm: float, step_nm: float,
                     dwell_s: float) -> str:
        return "SCAN," + ",".join([number(start_nm, "start_nm"), number(end_nm, "end_nm"),
                                   number(fwhm_nm, "fwhm_nm"), number(step_nm, "step_nm"),
                                   number(dwell_s, "dwell_s")])

    def check(self, request: str) -> Operation[Optional[FilterError]]:
        """What the program would answer to `request` (``SETC``, ``SETR`` or ``SCAN``), without
        doing it: None when it would be accepted, else the error it would raise."""
        response = yield from self.ask("CHECK," + request)
        if response == "OK":
            return None
        code, comma, text = response.partition(",")
        if not comma or not code or " " in code:
            return (yield from self.refused("CHECK," + request, response))
        return error_for(code, text, request)

    def first_refusal(self, requests: Sequence[str]) -> Operation[Optional[FilterError]]:
        """The error of the first of `requests` the program would refuse, or None."""
        for request in requests:
            refusal = yield from self.check(request)
            if refusal is not None:
                return refusal
        return None

    def set_band(self, cwl_nm: float, fwhm_nm: float) -> Operation[None]:
        yield from self.command(self.band_request(cwl_nm, fwhm_nm), "SETC OK")

    def set_edges(self, sw_nm: float, lw_nm: float) -> Operation[None]:
        yield from self.command(self.edges_request(sw_nm, lw_nm), "SETR OK")

    def reset(self) -> Operation[None]:
        yield from self.command("RESET", "RESET OK")

    def band(self) -> Operation[Optional[Band]]:
        response = yield from self.ask("BAND")
        if response == "NONE":
            return None
        try:
            return Band(*(float(x) for x in _fields(response, 4, "BAND")))
        except (ProtocolError, ValueError):
            return (yield from self.refused("BAND", response))

    def progress(self) -> Operation[Progress]:
        response = yield from self.ask("PROGRESS")
        try:
            done, total, elapsed, remaining = _fields(response, 4, "PROGRESS")
            return Progress(int(done), int(total), float(elapsed), float(remaining))
        except (ProtocolError, ValueError):
            return (yield from self.refused("PROGRESS", response))

    def start_scan(self, start_nm: float, end_nm: float, fwhm_nm: float, step_nm: float,
                   dwell_s: float) -> Operation[None]:
        yield from self.command(self.scan_request(start_nm, end_nm, fwhm_nm, step_nm, dwell_s),
                                "SCAN OK")
        self.scans_started += 1
        self.scan_pending = True
        self.report = None
        self.scan_deadline_s = scan_deadline(scan_points(start_nm, end_nm, step_nm),
                                             float(dwell_s))

    def stop(self) -> Operation[bool]:
        """Stops the running scan: True when one was stopped, False when none ran."""
        response = yield from self.ask("STOP")
        if response == "STOP OK":
            # STOP is answered once the scan's end has been reported. Where the program gave
            # the STOP its answer in place of the report, the report is the stop's: ABORT.
            if self.scan_pending and not (yield from self.poll()):
                self.report, self.scan_pending = ScanResult.ABORT, False
            return True
        if response == "STOP FAIL":
            code = yield from self.ask("ECODE")
            text = yield from self.ask("ETEXT")
            if code == "NONE" and text == "No Scan.":
                return False
            raise error_for(code, text, "STOP")
        return (yield from self.refused("STOP", response))

    def last_error(self) -> Operation[Tuple[str, str]]:
        code = yield from self.ask("ECODE")
        text = yield from self.ask("ETEXT")
        return code, text

    def scan_to_wait(self) -> Operation[None]:
        """Makes sure there is a scan whose end to wait for: one of this session, or one the
        program runs; raises FilterError when there is none."""
        if self.scan_pending or self.report is not None:
            return
        running = yield from self.state()
        if running == State.IDLE and not (yield from self.poll()):
            raise FilterError("", "no scan to wait for", "")

    def take_report(self) -> Operation[Optional[ScanResult]]:
        """The scan's end report if it has come (asking with an empty line), else None; a
        failed scan raises ScanFailed."""
        if self.report is None and self.scan_pending:
            yield from self.poll()
        report, self.report = self.report, None
        if isinstance(report, ScanFailed):
            raise report
        if report is None and not self.scan_pending:
            raise FilterError("", "the scan ended and its end report went to another wait", "")
        return report

    # --- flows ------------------------------------------------------------------------------

    def wait_scan(self, timeout_s: Optional[float],
                  progress: Optional[Callable[[Progress], object]],
                  started: bool = False) -> Flow[ScanResult]:
        """Waits for the end report of the scan: SUCCESS or ABORT; a failed scan raises
        ScanFailed. `timeout_s` None: the deadline worked out from the scan this session
        started (none for a scan it did not start). `started`: the caller has just started
        the scan. Never stops the scan."""
        if timeout_s is not None:
            _positive(timeout_s, "timeout_s")
        if not started:
            yield Exchange(self.scan_to_wait())
        limit = self.scan_deadline_s if timeout_s is None else timeout_s
        deadline = None if limit is None or math.isinf(limit) else time.monotonic() + limit
        while True:
            report: Optional[ScanResult] = yield Exchange(self.take_report())
            if report is not None:
                return report
            if progress is not None:
                figures = yield Exchange(self.progress())
                yield Call(progress, (figures,))
            if deadline is not None and time.monotonic() >= deadline:
                raise ScanTimeout(self.where, f"the scan did not report its end within "
                                  f"{limit:.1f} s; it may still run")
            yield Sleep(self.poll_interval_s)

    def scan(self, start_nm: float, end_nm: float, fwhm_nm: float, step_nm: float,
             dwell_s: float, progress: Optional[Callable[[Progress], object]]) -> Flow[ScanResult]:
        """Starts a scan and waits for its end. Whatever ends the wait early (a cancelled task,
        Ctrl-C, an exception of the callback, the deadline) first stops the scan and reads its
        end report, unless the connection is lost, silent or garbled."""
        request = self.scan_request(start_nm, end_nm, fwhm_nm, step_nm, dwell_s)
        mine: Optional[int] = None
        try:
            yield Exchange(self.start_scan(start_nm, end_nm, fwhm_nm, step_nm, dwell_s))
            mine = self.scans_started
            return (yield from self.wait_scan(None, progress, started=True))
        except GeneratorExit:
            raise
        except BaseException as error:
            # Only this call's scan is stopped: the one it started and is still running, or
            # the one its SCAN may have started when the wait for the answer was interrupted
            # (never another caller's, when this SCAN was refused or never sent).
            running = mine == self.scans_started and self.scan_pending
            in_doubt = mine is None and request in self.owed
            if ((running or in_doubt)
                    and not isinstance(error, (Disconnected, NoResponse, ProtocolError))):
                log.info("%s: stopping the scan this call started (%s)", self.where,
                         type(error).__name__)
                try:
                    yield Exchange(self.stop_own())
                except Exception as failure:
                    log.warning("%s: the scan could not be stopped: %s", self.where, failure)
            raise

    def stop_own(self) -> Operation[bool]:
        """Stops the scan of a call that ends without it, and reads its end report, which
        then belongs to no one."""
        stopped = yield from self.stop()
        if stopped and self.report is None and not self.scan_pending:
            yield from self.poll()  # the report of a scan whose start was not seen
        self.report = None
        return stopped

    def step_through(self, points: Sequence[float], fwhm_nm: Optional[float],
                     dwell_s: Optional[float],
                     on_point: Optional[Callable[[float], object]],
                     check_range: bool) -> Flow[List[Step]]:
        """Sets each point in turn, pauses `dwell_s`, calls `on_point`. With `check_range`,
        every point is checked first (``CHECK``) and the first one the program would refuse
        raises its error before anything moves. Every exception carries the steps done as
        ``steps``."""
        steps: List[Step] = []
        try:
            fwhm = number(fwhm_nm, "fwhm_nm")
            values = [number(p, "point") for p in points]
            dwell = float(number(dwell_s, "dwell_s"))
            if dwell < 0:
                raise ValueError(f"dwell_s must not be negative, not {dwell_s!r}")
            requests = [f"SETC,{text},{fwhm}" for text in values]
            if check_range and requests:
                refusal = yield Exchange(self.first_refusal(requests))
                if refusal is not None:
                    log.info("%s: refused before the first move: %s", self.where, refusal)
                    raise refusal
            for text, request in zip(values, requests):
                yield Exchange(self.command(request, "SETC OK"))
                cwl = tenths(float(text)) / 10.0
                started = time.time()
                if dwell > 0:
                    yield Sleep(dwell)
                value = (yield Call(on_point, (cwl,))) if on_point is not None else None
                steps.append(Step(cwl, started, time.time(), value))
        except BaseException as error:
            # What was measured before the stop stays available to the caller.
            error.steps = steps  # type: ignore[attr-defined]
            raise
        return steps

    def not_ready_reason(self, session: Session, waited_s: float) -> Operation[NotReady]:
        """The program's reason why a move would be refused now, as a NotReady."""
        refusal = yield from self.check("SETC,0.0,0.0")
        if refusal is not None and (refusal.code == "NONE" or refusal.code.startswith("ERRDV")):
            code, text = refusal.code, refusal.text
        else:  # the session changed meanwhile: its own words
            code, text = session.code or "NONE", _NOT_READY_TEXT.get(session, "Not ready.")
        return NotReady(code, text, "SESSION", session=session, waited_s=waited_s)

    def wait_ready(self, timeout_s: float) -> Flow[Session]:
        """Asks ``SESSION`` until it answers READY; NotReady with the program's reason after
        `timeout_s`."""
        limit = _positive(timeout_s, "timeout_s")
        deadline = time.monotonic() + limit
        while True:
            session: Session = yield Exchange(self.session())
            if session == Session.READY:
                return session
            if time.monotonic() >= deadline:
                raise (yield Exchange(self.not_ready_reason(session, limit)))
            yield Sleep(self.poll_interval_s)
