"""The remote control protocol, without input or output.

Each operation is a generator that yields what it needs done - send a line, receive a
response line, sleep, call the user's function - and gets the outcome back. `Filter` runs the
generators with a blocking connection, `AsyncFilter` with asyncio, so both follow the same rules:

- a request is one 8-bit line ended by CR; each request line gets exactly one response line,
  ended by CR alone, in order;
- a refused request (``... FAIL``, ``UNKNOWN ...``) is followed at once by ``ECODE`` and
  ``ETEXT``, before any other request replaces them;
- a scan's end report (``SCAN SUCCESS``, ``SCAN ABORT``, ``SCAN FAIL``) is read with empty
  lines and kept by the client until `wait_scan` returns it;
- a request whose response did not come in time (or whose wait was interrupted) stays owed:
  its response is read and set aside before the next request is sent, so that no response is
  ever taken for another request's.
"""

from __future__ import annotations

import collections
import decimal
import math
import numbers
import re
import time
from typing import Any, Callable, Deque, Generator, List, NamedTuple, Optional, Sequence, Tuple

from .errors import (
    FilterError, NoResponse, OutOfRange, ProtocolError, ScanFailed, ScanTimeout, error_for,
)

__all__ = ["Band", "Progress", "Step", "Protocol", "encode", "decode", "scan_points",
           "scan_deadline", "tenths"]

# The version answer of the program this client was written for.
PROGRAM_VERSION = "QVL Rari v2.1"
# A scan step takes its TimeDelay plus the move and the 100 ms poll; the wait for a scan's end
# allows this much per point, and the margin below for the start, the first move from afar and
# the supervision timer that reports the end (once a second).
STEP_ALLOWANCE_S = 0.3
SCAN_MARGIN_S = 30.0
# The longest response line taken; a peer that sends more without a CR is not the program.
MAX_LINE = 65536

_REPORTS = {"SCAN SUCCESS": "SUCCESS", "SCAN ABORT": "ABORT"}
_BOUND = re.compile(r"(-?\d+(?:[.,]\d+)?)\s*$")


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


class Step(NamedTuple):
    """One point of `step_through`: the centre wavelength set (nm, rounded to 0.1 nm as the
    program rounds it), when the filter had arrived there and when the measurement ended
    (`time.time()` seconds), and what the measurement returned."""
    cwl_nm: float
    started: float
    finished: float
    value: Any


# What an operation yields to the connection that runs it.
class Send(NamedTuple):
    """Send one request line (bytes without the CR). The runner sends it whole or not at all."""
    data: bytes


class Receive(NamedTuple):
    """Receive the next response line; the answer is its text (CR removed, decoded)."""
    timeout_s: Optional[float] = None


class Sleep(NamedTuple):
    seconds: float


class Call(NamedTuple):
    """Call the user's function; an awaitable result is awaited by the asyncio runner."""
    function: Callable[..., Any]
    args: Tuple[Any, ...]


Operation = Generator[Any, Any, Any]


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


def _bound(text: str) -> int:
    """The bound that ends a refusal text ("... ≤ 800.0", or "800,0" where the program's machine
    writes a decimal comma), in tenths."""
    match = _BOUND.search(text)
    if not match:
        raise ProtocolError(f"no bound in the refusal text {text!r}")
    return tenths(float(match.group(1).replace(",", ".")))


def _fields(response: str, count: int, request: str) -> List[str]:
    fields = response.split(",")
    if len(fields) != count:
        raise ProtocolError(f"unexpected response {response!r}", request)
    return fields


class Protocol:
    """The state of one client session and its operations (generators; see the module)."""

    def __init__(self, where: str, poll_interval_s: float = 0.2) -> None:
        self.where = where
        self.poll_interval_s = poll_interval_s
        # Requests sent whose responses have not been read, oldest first.
        self.owed: Deque[str] = collections.deque()
        # A wait for a response was interrupted (Ctrl-C, a cancelled task), not timed out.
        self.interrupted = False
        # A scan of this session whose end report has not been read yet, and the report once
        # read: "SUCCESS", "ABORT" or the ScanFailed to raise.
        self.scan_pending = False
        self.report: Any = None
        self.scan_deadline_s: Optional[float] = None

    # --- requests ---------------------------------------------------------------------------

    def ask(self, line: str, timeout_s: Optional[float] = None) -> Operation:
        """Sends `line` and returns its response (owed responses are read first)."""
        data = encode(line)
        while self.owed:
            request = self.owed[0]
            response = yield from self._receive(timeout_s)
            self.owed.popleft()
            if request == "" and response:
                yield from self._note_report(response)
        yield Send(data)
        self.owed.append(line)
        response = yield from self._receive(timeout_s)
        self.owed.popleft()
        return response

    def _receive(self, timeout_s: Optional[float]) -> Operation:
        try:
            return (yield Receive(timeout_s))
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

    def settle(self, timeout_s: float) -> Operation:
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

    def command(self, request: str, ok: str) -> Operation:
        """A request that answers `ok` on success; anything else raises."""
        response = yield from self.ask(request)
        if response != ok:
            yield from self.refused(request, response)

    def refused(self, request: str, response: str) -> Operation:
        """Raises the error for a response that is not the expected one: a FAIL or UNKNOWN
        response with the code and text read at once, anything else as a protocol error."""
        if response.endswith(" FAIL") or response.startswith("UNKNOWN "):
            code = yield from self.ask("ECODE")
            text = yield from self.ask("ETEXT")
            raise error_for(code, text, request)
        raise ProtocolError(f"unexpected response {response!r}", request)

    def _note_report(self, response: str) -> Operation:
        """Keeps a scan's end report read from an empty line; a failure is described at once,
        before another request replaces its code and text."""
        if response in _REPORTS:
            self.report = _REPORTS[response]
        elif response == "SCAN FAIL":
            code = yield from self.ask("ECODE")
            text = yield from self.ask("ETEXT")
            self.report = ScanFailed(code, text, "SCAN")
        else:
            raise ProtocolError(f"unexpected response {response!r} to an empty line", "")
        self.scan_pending = False

    def poll(self) -> Operation:
        """One empty line: True when it brought a scan's end report."""
        response = yield from self.ask("")
        if response:
            yield from self._note_report(response)
            return True
        return False

    # --- operations -------------------------------------------------------------------------

    def handshake(self) -> Operation:
        """The first request of a connection: the program's version."""
        return (yield from self.version())

    def version(self) -> Operation:
        response = yield from self.ask("VER")
        if not response or response.endswith(" FAIL") or response.startswith("UNKNOWN "):
            raise ProtocolError(f"unexpected response {response!r}", "VER")
        return response

    def state(self) -> Operation:
        # While a scan of ours has not reported its end, an empty line first collects the report
        # if there is one, so that it is kept for wait_scan whatever STATE does with it.
        if self.scan_pending and (yield from self.poll()):
            return "IDLE"
        response = yield from self.ask("STATE")
        if response not in ("IDLE", "SCAN"):
            yield from self.refused("STATE", response)
        if response == "SCAN" and not self.scan_pending and self.report is None:
            # A scan that was started before this session: its end is awaited the same way.
            self.scan_pending = True
            self.scan_deadline_s = None
        return response

    def set_band(self, cwl_nm: float, fwhm_nm: float) -> Operation:
        request = f"SETC,{number(cwl_nm, 'cwl_nm')},{number(fwhm_nm, 'fwhm_nm')}"
        yield from self.command(request, "SETC OK")

    def set_edges(self, sw_nm: float, lw_nm: float) -> Operation:
        request = f"SETR,{number(sw_nm, 'sw_nm')},{number(lw_nm, 'lw_nm')}"
        yield from self.command(request, "SETR OK")

    def reset(self) -> Operation:
        yield from self.command("RESET", "RESET OK")

    def band(self) -> Operation:
        response = yield from self.ask("BAND")
        if response == "NONE":
            return None
        try:
            return Band(*(float(x) for x in _fields(response, 4, "BAND")))
        except (ProtocolError, ValueError):
            yield from self.refused("BAND", response)

    def progress(self) -> Operation:
        response = yield from self.ask("PROGRESS")
        try:
            done, total, elapsed, remaining = _fields(response, 4, "PROGRESS")
            return Progress(int(done), int(total), float(elapsed), float(remaining))
        except (ProtocolError, ValueError):
            yield from self.refused("PROGRESS", response)

    def start_scan(self, start_nm: float, end_nm: float, fwhm_nm: float, step_nm: float,
                   dwell_s: float) -> Operation:
        values = [number(start_nm, "start_nm"), number(end_nm, "end_nm"),
                  number(fwhm_nm, "fwhm_nm"), number(step_nm, "step_nm"),
                  number(dwell_s, "dwell_s")]
        yield from self.command("SCAN," + ",".join(values), "SCAN OK")
        self.scan_pending = True
        self.report = None
        self.scan_deadline_s = scan_deadline(scan_points(start_nm, end_nm, step_nm),
                                             float(dwell_s))

    def wait_scan(self, timeout_s: Optional[float], progress: Optional[Callable]) -> Operation:
        """Waits for the end report of the scan: "SUCCESS" or "ABORT"; a failed scan raises
        ScanFailed. `timeout_s` None: the deadline worked out from the scan this session
        started (none for a scan it did not start)."""
        if timeout_s is not None and not timeout_s > 0:
            raise ValueError(f"timeout must be positive, not {timeout_s!r}")
        if not self.scan_pending and self.report is None:
            running = yield from self.state()
            if running == "IDLE" and not (yield from self.poll()):
                raise FilterError("", "no scan to wait for", "")
        limit = self.scan_deadline_s if timeout_s is None else timeout_s
        deadline = None if limit is None or math.isinf(limit) else time.monotonic() + limit
        while True:
            if self.report is not None:
                report, self.report = self.report, None
                if isinstance(report, ScanFailed):
                    raise report
                return report
            if (yield from self.poll()):
                continue
            if progress is not None:
                figures = yield from self.progress()
                yield Call(progress, (figures,))
            if deadline is not None and time.monotonic() >= deadline:
                raise ScanTimeout(self.where, f"the scan did not report its end within "
                                  f"{limit:.1f} s; it may still run")
            yield Sleep(self.poll_interval_s)

    def scan(self, start_nm: float, end_nm: float, fwhm_nm: float, step_nm: float,
             dwell_s: float, progress: Optional[Callable]) -> Operation:
        yield from self.start_scan(start_nm, end_nm, fwhm_nm, step_nm, dwell_s)
        return (yield from self.wait_scan(None, progress))

    def stop(self) -> Operation:
        """Stops the running scan: True when one was stopped, False when none ran."""
        response = yield from self.ask("STOP")
        if response == "STOP OK":
            # STOP is answered once the scan's end has been reported. Where the program gave
            # the STOP its answer in place of the report, the report is the stop's: ABORT.
            if self.scan_pending and not (yield from self.poll()):
                self.report, self.scan_pending = "ABORT", False
            return True
        if response == "STOP FAIL":
            code = yield from self.ask("ECODE")
            text = yield from self.ask("ETEXT")
            if code == "NONE" and text == "No Scan.":
                return False
            raise error_for(code, text, "STOP")
        yield from self.refused("STOP", response)

    def last_error(self) -> Operation:
        code = yield from self.ask("ECODE")
        text = yield from self.ask("ETEXT")
        return code, text

    def cwl_limits(self, fwhm: str) -> Operation:
        """The CWL range of the calibration table, read from the program's own refusals of two
        requests that cannot move the filter: a CWL of 10^9 nm (refused as above the largest
        CWL) and a CWL of 0 with a FWHM of 10^9 nm (refused as below the smallest CWL, or for
        its FWHM when the table starts at 0). Returns ((low, refusal), (high, refusal)) with
        the bounds in tenths of nm."""
        far = "1000000000.0"
        found = []
        for request, code in ((f"SETC,{far},{fwhm}", "ERRSE04"), (f"SETC,0.0,{far}", "ERRSE03")):
            try:
                yield from self.command(request, "SETC OK")
            except OutOfRange as refusal:
                if refusal.code == code:
                    found.append((_bound(refusal.text), refusal))
                elif code == "ERRSE03" and refusal.code == "ERRSE06":
                    found.append((0, None))
                else:
                    raise
            else:
                raise ProtocolError("the program accepted a request it cannot fulfil", request)
        high, low = found
        return low, high

    def step_through(self, points: Sequence[float], fwhm_nm: float, dwell_s: float,
                     on_point: Optional[Callable], check_range: bool) -> Operation:
        values = [number(p, "point") for p in points]
        fwhm = number(fwhm_nm, "fwhm_nm")
        number(dwell_s, "dwell_s")
        if dwell_s < 0:
            raise ValueError(f"dwell_s must not be negative, not {dwell_s!r}")
        for text in values:
            if float(text) < 0:
                raise ValueError(f"a wavelength must not be negative, not {text}")
        if not values:
            return []
        if check_range:
            (low, below), (high, above) = yield from self.cwl_limits(fwhm)
            for text in values:
                at = tenths(float(text))
                refusal = below if at < low else above if at > high else None
                if refusal is not None:
                    raise OutOfRange(refusal.code, refusal.text, f"SETC,{text},{fwhm}")
        steps: List[Step] = []
        try:
            for text in values:
                yield from self.command(f"SETC,{text},{fwhm}", "SETC OK")
                cwl = tenths(float(text)) / 10.0
                started = time.time()
                if dwell_s > 0:
                    yield Sleep(float(dwell_s))
                value = (yield Call(on_point, (cwl,))) if on_point is not None else None
                steps.append(Step(cwl, started, time.time(), value))
        except BaseException as error:
            # What was measured before the stop stays available to the caller.
            error.steps = steps  # type: ignore[attr-defined]
            raise
        return steps
