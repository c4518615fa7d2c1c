"""`Filter`: the blocking client, over its own TCP connection or a pyvisa resource."""

from __future__ import annotations

import logging
import selectors
import signal
import socket
import threading
import time
from contextlib import contextmanager
from typing import Any, Callable, Iterator, List, Optional, Sequence, Tuple, TypeVar, Union

from . import protocol
from ._names import renamed
from .errors import (
    CannotConnect, ControlHeld, Disconnected, FilterError, NoResponse, ProtocolError,
)
from .protocol import (
    Band, Call, Exchange, Limits, Progress, Protocol, Receive, ScanResult, Send, Session, Sleep,
    State, Step,
)

__all__ = ["Filter"]

log = logging.getLogger("vuzaravarede")
T = TypeVar("T")


class _CtrlC:
    """Ctrl-C (SIGINT) during an exchange in the main thread. Python raises KeyboardInterrupt
    between any two steps of the code, which could take a response off the connection and
    drop it, or send a request without counting it as owed: the next request would then read
    another's answer. While an exchange runs, Ctrl-C is held back and raised only where
    nothing can be lost: while waiting for bytes to arrive, before any is taken, or once the
    exchange is over. Only where Python's own handler is in place."""

    def __init__(self) -> None:
        self.active = False
        self.open = False
        self.pending = False

    def _handler(self, signum: int, frame: object) -> None:
        if self.open:
            self.open = False
            raise KeyboardInterrupt
        self.pending = True

    @contextmanager
    def exchange(self) -> Iterator[None]:
        if (self.active or threading.current_thread() is not threading.main_thread()
                or signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
            yield
            return
        self.active, self.open, self.pending = True, False, False
        previous = signal.signal(signal.SIGINT, self._handler)
        try:
            yield
        finally:
            signal.signal(signal.SIGINT, previous)
            self.active = self.open = False
            if self.pending:  # held back to the end: it goes now, before any other outcome
                self.pending = False
                raise KeyboardInterrupt

    def begin_wait(self) -> None:
        """From here until `end_wait`, nothing is taken from the connection: Ctrl-C may act."""
        if self.active and threading.current_thread() is threading.main_thread():
            if self.pending:
                self.pending = False
                raise KeyboardInterrupt
            self.open = True

    def end_wait(self) -> None:
        self.open = False


_CTRL_C = _CtrlC()


class _SocketLink:
    """One TCP connection to the program, read line by line (lines end with CR)."""

    def __init__(self, host: str, port: int, timeout_s: float) -> None:
        self.where = f"{host}:{port}"
        self.timeout_s = timeout_s
        self.rx = bytearray()
        try:
            self.sock = socket.create_connection((host, port), timeout=timeout_s)
        except ConnectionRefusedError:
            raise CannotConnect(self.where, f"connection to {self.where} refused: is the "
                                "program running, and is this its remote control port?") from None
        except socket.gaierror as error:
            raise CannotConnect(self.where, f"cannot find host {host!r}: {error}") from None
        except socket.timeout:
            raise CannotConnect(self.where, f"no connection to {self.where} within "
                                f"{timeout_s:g} s") from None
        except OSError as error:
            raise CannotConnect(self.where, f"cannot connect to {self.where}: {error}") from None
        # One small request at a time: no waiting for more bytes to fill a packet.
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.sock, selectors.EVENT_READ)

    def send(self, data: bytes) -> None:
        try:
            self.sock.sendall(data + b"\r")
        except OSError as error:
            raise self.lost(f"the connection to {self.where} was lost ({error})") from None

    def receive(self, timeout_s: Optional[float]) -> str:
        limit = self.timeout_s if timeout_s is None else timeout_s
        deadline = time.monotonic() + limit
        while True:
            cr = self.rx.find(b"\r")
            if cr >= 0:
                line = bytes(self.rx[:cr])
                del self.rx[:cr + 1]
                return protocol.decode(line)
            if len(self.rx) > protocol.MAX_LINE:
                raise ProtocolError(f"{self.where} sent {len(self.rx)} bytes without a line end")
            left = deadline - time.monotonic()
            if left <= 0:
                raise NoResponse(self.where, f"no response from {self.where} within {limit:g} s")
            try:
                # Ctrl-C acts while the wait takes nothing, never once bytes are taken.
                _CTRL_C.begin_wait()
                try:
                    if not self.selector.select(left):
                        continue
                finally:
                    _CTRL_C.end_wait()
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError as error:
                raise self.lost(f"the connection to {self.where} was lost ({error})") from None
            if not chunk:
                middle = " in the middle of a response" if self.rx else ""
                raise self.lost(f"{self.where} closed the connection{middle}")
            self.rx += chunk

    def lost(self, text: str) -> Disconnected:
        self.close()
        return Disconnected(self.where, text)

    def close(self) -> None:
        try:
            self.selector.close()
            self.sock.close()
        except OSError:
            pass


class _VisaLink:
    """A pyvisa resource (for example ``TCPIP::host::port::SOCKET``) in place of the socket."""

    def __init__(self, resource_name: str, timeout_s: float, resource_manager: Any) -> None:
        try:
            import pyvisa
        except ImportError:
            raise ImportError("Filter.via_pyvisa needs pyvisa (Debian: python3-pyvisa and "
                              "python3-pyvisa-py)") from None
        self.pyvisa = pyvisa
        self.where = resource_name
        self.timeout_s = timeout_s
        manager = resource_manager if resource_manager is not None else pyvisa.ResourceManager()
        try:
            self.resource = manager.open_resource(
                resource_name, read_termination="\r", write_termination="\r",
                timeout=int(timeout_s * 1000))
        except pyvisa.errors.VisaIOError as error:
            raise CannotConnect(self.where, f"cannot open {resource_name}: "
                                f"{error.description}") from None
        # Bytes are taken as they are; the signs ≥ and ≤ are decoded by the protocol.
        self.resource.encoding = "latin-1"

    def send(self, data: bytes) -> None:
        try:
            self.resource.write_raw(data + b"\r")
        except self.pyvisa.errors.VisaIOError as error:
            raise self.lost(f"the connection to {self.where} was lost "
                            f"({error.description})") from None
        except ConnectionRefusedError:
            # pyvisa-py connects a socket resource at its first write.
            self.close()
            raise CannotConnect(self.where, f"connection to {self.where} refused: is the "
                                "program running, and is this its remote control port?") from None
        except OSError as error:
            raise self.lost(f"the connection to {self.where} was lost ({error})") from None

    def receive(self, timeout_s: Optional[float]) -> str:
        limit = self.timeout_s if timeout_s is None else timeout_s
        try:
            self.resource.timeout = int(limit * 1000)
            # pyvisa reads inside: a Ctrl-C there may drop bytes it had taken.
            _CTRL_C.begin_wait()
            try:
                raw = self.resource.read_raw()
            finally:
                _CTRL_C.end_wait()
        except self.pyvisa.errors.VisaIOError as error:
            if error.error_code == self.pyvisa.constants.StatusCode.error_timeout:
                # pyvisa-py reports a connection the other end closed only when a write meets
                # it: a read meets silence (a second client, a program that ended).
                raise NoResponse(self.where, f"no response from {self.where} within "
                                 f"{limit:g} s (through VISA this is also how a closed "
                                 "connection shows: another client may hold control, or the "
                                 "program ended)") from None
            raise self.lost(f"the connection to {self.where} was lost "
                            f"({error.description})") from None
        except OSError as error:
            raise self.lost(f"the connection to {self.where} was lost ({error})") from None
        finally:
            if self.resource is not None:
                self.resource.timeout = int(self.timeout_s * 1000)
        if not raw.endswith(b"\r"):
            raise self.lost(f"{self.where} closed the connection in the middle of a response")
        return protocol.decode(raw[:-1])

    def lost(self, text: str) -> Disconnected:
        self.close()
        return Disconnected(self.where, text)

    def close(self) -> None:
        resource, self.resource = self.resource, None
        try:
            if resource is not None:
                resource.close()
        except Exception:
            pass


_Link = Union[_SocketLink, _VisaLink]


class Filter:
    """The filter, driven through the program's remote control.

    ::

        with Filter("localhost", 5050, timeout_s=30.0) as f:
            f.set_band(550.0, 10.0)

    Creating it connects (the program then locks its own buttons); closing it, or leaving the
    ``with`` block, disconnects, which also stops a scan that still runs. Wavelengths are in
    nm, times in seconds. `timeout_s` is the longest wait for one response, and must exceed
    the longest move or reset of the instrument; `poll_interval_s` is the pause between the
    requests that wait for a scan's end or for the session.

    Refusals raise `FilterError` subclasses; connection faults raise `CannotConnect`,
    `ControlHeld`, `Disconnected` (which are `ConnectionError`) or `NoResponse` (a
    `TimeoutError`).

    A `Filter` may be shared by threads: each request and its response (with the ``ECODE``
    and ``ETEXT`` of a refusal) take the connection alone, and the waits (`scan`, `wait_scan`,
    `wait_ready`, `step_through`) let it go while they pause or call back, so one thread may
    `stop()` a scan that another waits for, and a callback may use the filter.
    """

    def __init__(self, host: str = "localhost", port: int = 5050, timeout_s: float = 30.0,
                 poll_interval_s: float = 0.2, **old_names: float) -> None:
        timeout_s = renamed("Filter", old_names, {"timeout": "timeout_s"}).get(
            "timeout_s", timeout_s)
        self._setup(f"{host}:{port}", timeout_s, poll_interval_s)
        self._open_link: Callable[[], _Link] = lambda: _SocketLink(host, port, self._timeout)
        self._connect()

    @classmethod
    def via_pyvisa(cls, resource_name: str, timeout_s: float = 30.0,
                   poll_interval_s: float = 0.2, resource_manager: Any = None,
                   **old_names: float) -> "Filter":
        """A `Filter` that talks through a pyvisa resource, for example
        ``Filter.via_pyvisa("TCPIP::127.0.0.1::5050::SOCKET")``. The resource is opened with
        read and write termination CR and a time-out of `timeout_s` seconds, from
        `resource_manager` (default ``pyvisa.ResourceManager()``)."""
        timeout_s = renamed("via_pyvisa", old_names, {"timeout": "timeout_s"}).get(
            "timeout_s", timeout_s)
        self = cls.__new__(cls)
        self._setup(resource_name, timeout_s, poll_interval_s)
        self._open_link = lambda: _VisaLink(resource_name, self._timeout, resource_manager)
        self._connect()
        return self

    def _setup(self, where: str, timeout_s: float, poll_interval_s: float) -> None:
        if isinstance(timeout_s, bool) or not isinstance(timeout_s, (int, float)) \
                or not timeout_s > 0:
            raise ValueError(f"timeout_s must be a positive number, not {timeout_s!r}")
        self._timeout = float(timeout_s)
        self._poll_interval = float(poll_interval_s)
        self._lock = threading.RLock()
        self._link: Optional[_Link] = None
        self._protocol = Protocol(where, self._poll_interval)

    def __repr__(self) -> str:
        status = "connected" if self._link is not None else "closed"
        return f"<{type(self).__name__} {self._protocol.where} {status}>"

    # --- connection -------------------------------------------------------------------------

    def _connect(self) -> None:
        self._link = self._open_link()
        self._protocol = Protocol(self._link.where, self._poll_interval)
        try:
            version = self._run(self._protocol.handshake())
        except Disconnected:
            self._link = None
            held = ControlHeld(self._protocol.where, f"{self._protocol.where} closed the "
                               "connection without a reply: another client holds control (or "
                               "the program is ending)")
            log.warning("%s", held)
            raise held from None
        except BaseException:
            self.close()
            raise
        log.info("%s: connected (%s)", self._protocol.where, version)

    def reconnect(self) -> None:
        """Closes the connection (if any) and opens a new one, for example after the program
        was restarted. A scan of the old connection is not followed any more."""
        with self._lock:
            self.close()
            self._connect()

    def close(self) -> None:
        """Disconnects. A response still owed after Ctrl-C is read first (up to 5 s), so that
        the program is not left in the middle of a request. Closing twice is harmless."""
        with self._lock:
            link, self._link = self._link, None
            if link is None:
                return
            try:
                _drive(link, self._protocol.settle(min(self._timeout, 5.0)))
            except Exception:
                pass  # closing anyway; a Ctrl-C meanwhile goes on once closed
            finally:
                link.close()
                log.info("%s: disconnected", self._protocol.where)

    @property
    def connected(self) -> bool:
        """True while the connection is open (it may still turn out to be lost)."""
        return self._link is not None

    def __enter__(self) -> "Filter":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # --- running exchanges and flows --------------------------------------------------------

    def _run(self, operation: protocol.Operation[T]) -> T:
        """Runs one exchange with the connection held for it alone."""
        with self._lock:
            link = self._link
            if link is None:
                operation.close()
                raise Disconnected(self._protocol.where, f"not connected to "
                                   f"{self._protocol.where}; call reconnect()")
            try:
                return _drive(link, operation)
            except Disconnected as lost:
                self._link = None
                log.warning("%s", lost)
                raise
            except (NoResponse, ProtocolError) as fault:
                log.warning("%s", fault)
                raise

    def _flow(self, flow: protocol.Flow[T]) -> T:
        """Runs a flow: each exchange with the connection held, pauses and callbacks without."""
        value: Any = None
        error: Optional[BaseException] = None
        while True:
            try:
                action = flow.throw(error) if error is not None else flow.send(value)
            except StopIteration as stop:
                return stop.value  # type: ignore[no-any-return]
            value, error = None, None
            try:
                if isinstance(action, Exchange):
                    value = self._run(action.operation)
                elif isinstance(action, Sleep):
                    time.sleep(action.seconds)
                elif isinstance(action, Call):
                    value = action.function(*action.args)
                else:
                    raise TypeError(f"unknown action {action!r}")
            except BaseException as failure:
                error = failure

    # --- requests ---------------------------------------------------------------------------

    @property
    def version(self) -> str:
        """The program's version text (``VER``), for example ``"QVL Rari v2.1"``."""
        return self._run(self._protocol.version())

    @property
    def state(self) -> State:
        """`State.SCAN` while a scan runs, otherwise `State.IDLE` (``STATE``); equal to the
        strings ``"SCAN"`` and ``"IDLE"``. Asking never loses the end report of a scan:
        `wait_scan` still returns it."""
        return self._run(self._protocol.state())

    @property
    def session(self) -> Session:
        """The program's session with the instrument (``SESSION``): `Session.READY` when a
        move would be accepted; see `Session`. Asks the program only, never the instrument."""
        return self._run(self._protocol.session())

    def wait_ready(self, timeout_s: float = 60.0) -> Session:
        """Waits until the session is READY (asking ``SESSION`` every `poll_interval_s`);
        after `timeout_s`, `NotReady` with the program's reason (``.session`` holds the last
        answer)."""
        return self._flow(self._protocol.wait_ready(timeout_s))

    @property
    def limits(self) -> Optional[Limits]:
        """What the loaded calibration table allows (``LIMITS``): `Limits(cwl_min_nm,
        cwl_max_nm, cwl_step_nm, fwhm_min_nm, fwhm_max_nm)`, or None without a table."""
        return self._run(self._protocol.limits())

    def limits_for(self, fwhm_nm: float) -> Optional[Tuple[float, float]]:
        """``(cwl_min_nm, cwl_max_nm)`` a band of width `fwhm_nm` may take (``LIMITS,FWHM``),
        or None when that FWHM is not one of the table's or there is no table."""
        return self._run(self._protocol.limits_for(fwhm_nm))

    def check_band(self, cwl_nm: float, fwhm_nm: float) -> Optional[FilterError]:
        """None when `set_band(cwl_nm, fwhm_nm)` would be accepted now, else the `FilterError`
        it would raise (the same class, code and text). Nothing moves, nothing is stored."""
        return self._run(self._protocol.check(Protocol.band_request(cwl_nm, fwhm_nm)))

    def check_edges(self, sw_nm: float, lw_nm: float) -> Optional[FilterError]:
        """As `check_band`, for `set_edges(sw_nm, lw_nm)`."""
        return self._run(self._protocol.check(Protocol.edges_request(sw_nm, lw_nm)))

    def check_scan(self, start_nm: float, end_nm: float, fwhm_nm: float, step_nm: float,
                   dwell_s: float) -> Optional[FilterError]:
        """As `check_band`, for `start_scan(start_nm, end_nm, fwhm_nm, step_nm, dwell_s)`."""
        return self._run(self._protocol.check(
            Protocol.scan_request(start_nm, end_nm, fwhm_nm, step_nm, dwell_s)))

    def set_band(self, cwl_nm: float, fwhm_nm: float) -> None:
        """Moves the filter to centre `cwl_nm` and width `fwhm_nm` (``SETC``); returns when it
        is there. The program rounds both to 0.1 nm; the point must be one of the calibration
        table's, else `OutOfRange`."""
        self._run(self._protocol.set_band(cwl_nm, fwhm_nm))

    def set_edges(self, sw_nm: float, lw_nm: float) -> None:
        """Moves the filter to the band from `sw_nm` to `lw_nm` (``SETR``)."""
        self._run(self._protocol.set_edges(sw_nm, lw_nm))

    @property
    def band(self) -> Optional[Band]:
        """The band the filter was last moved to, ``Band(cwl_nm, fwhm_nm, sw_nm, lw_nm)``, or
        None when it is homed or its position is unknown (``BAND``)."""
        return self._run(self._protocol.band())

    def reset(self) -> None:
        """Homes the filter (``RESET``); returns when it is done, which takes a few seconds."""
        self._run(self._protocol.reset())

    def scan(self, start_nm: float, end_nm: float, fwhm_nm: float, step_nm: float,
             dwell_s: float, progress: Optional[Callable[[Progress], object]] = None
             ) -> ScanResult:
        """Runs a scan from `start_nm` towards `end_nm` by `step_nm` at `fwhm_nm`, each point
        held `dwell_s`, and waits for its end: `ScanResult.SUCCESS` or `ScanResult.ABORT`
        (stopped); `ScanFailed` when a move failed. `progress`, if given, is called with a
        `Progress` at each poll. If the wait ends otherwise (Ctrl-C, an exception of
        `progress`, `ScanTimeout`), the scan is stopped before the exception leaves, unless
        the connection is lost or silent."""
        return self._flow(self._protocol.scan(start_nm, end_nm, fwhm_nm, step_nm, dwell_s,
                                              progress))

    def start_scan(self, start_nm: float, end_nm: float, fwhm_nm: float, step_nm: float,
                   dwell_s: float) -> None:
        """Starts a scan (``SCAN``) and returns at once; see `wait_scan` and `stop`."""
        self._run(self._protocol.start_scan(start_nm, end_nm, fwhm_nm, step_nm, dwell_s))

    def wait_scan(self, timeout_s: Optional[float] = None,
                  progress: Optional[Callable[[Progress], object]] = None,
                  **old_names: float) -> ScanResult:
        """Waits for the running scan's end report: `ScanResult.SUCCESS` or `ABORT`;
        `ScanFailed` when it failed. `timeout_s` None allows the scan's own length (points x
        (dwell + 0.3 s) + 30 s) for a scan this client started; `ScanTimeout` after it. Pass
        ``float("inf")`` to wait without limit. Whatever ends the wait, the scan goes on."""
        timeout_s = renamed("wait_scan", old_names, {"timeout": "timeout_s"}).get(
            "timeout_s", timeout_s)
        return self._flow(self._protocol.wait_scan(timeout_s, progress))

    def stop(self) -> bool:
        """Stops the running scan (``STOP``): True when a scan was stopped (`wait_scan` then
        returns `ScanResult.ABORT`), False when none was running."""
        return self._run(self._protocol.stop())

    @property
    def progress(self) -> Progress:
        """``Progress(done, total, elapsed_s, remaining_s)`` of the running or last scan
        (``PROGRESS``); all zero before the first scan."""
        return self._run(self._protocol.progress())

    def step_through(self, points: Sequence[float], fwhm_nm: Optional[float] = None,
                     dwell_s: Optional[float] = None,
                     on_point: Optional[Callable[[float], object]] = None,
                     check_range: bool = True, **old_names: float) -> List[Step]:
        """Steps the filter through `points` (nm, in the given order: uneven or descending is
        fine) at width `fwhm_nm`, for a detector of your own: at each point the filter is set,
        `dwell_s` seconds pass, then ``on_point(cwl_nm)`` measures and its return value is
        kept. Returns one ``Step(cwl_nm, started, finished, value)`` per point.

        With `check_range`, every point is first checked by the program (``CHECK``: range,
        grid, the range of this FWHM, the session) and the first it would refuse raises its
        error before anything moves. Any exception, Ctrl-C included, leaves the filter where
        it is and carries the steps done so far as its ``steps`` attribute (an empty list
        before the first move)."""
        given = renamed("step_through", old_names, {"fwhm": "fwhm_nm", "dwell": "dwell_s"})
        fwhm_nm = given.get("fwhm_nm", fwhm_nm)
        dwell_s = given.get("dwell_s", dwell_s)
        return self._flow(self._protocol.step_through(points, fwhm_nm, dwell_s, on_point,
                                                      check_range))

    def last_error(self) -> Tuple[str, str]:
        """The program's code and text of the last stored result (``ECODE``, ``ETEXT``)."""
        return self._run(self._protocol.last_error())

    def ask(self, line: str) -> str:
        """Sends one request line as it is and returns its response line, for requests this
        class has no method for. An empty line that brings a scan's end report keeps it for
        `wait_scan` too."""
        return self._run(self._protocol.line(line))


def _drive(link: _Link, operation: protocol.Operation[T]) -> T:
    """Runs the exchange `operation` on `link`, with Ctrl-C held back where it could drop a
    response or leave a request sent but not counted."""
    with _CTRL_C.exchange():
        value: Optional[str] = None
        error: Optional[BaseException] = None
        while True:
            try:
                action = operation.throw(error) if error is not None else operation.send(value)
            except StopIteration as stop:
                return stop.value  # type: ignore[no-any-return]
            value, error = None, None
            try:
                if isinstance(action, Send):
                    link.send(action.data)
                elif isinstance(action, Receive):
                    value = link.receive(action.timeout_s)
                else:
                    raise TypeError(f"an exchange yields requests and responses only: "
                                    f"{action!r}")
            except BaseException as failure:
                error = failure
