"""`Filter`: the blocking client, over its own TCP connection or a pyvisa resource."""

from __future__ import annotations

import signal
import socket
import threading
import time
from contextlib import contextmanager
from typing import Any, Callable, Iterator, List, Optional, Sequence, Tuple

from . import protocol
from .errors import (
    CannotConnect, ControlHeld, Disconnected, FilterError, NoResponse, ProtocolError,
)
from .protocol import Band, Call, Progress, Protocol, Receive, Send, Sleep, Step

__all__ = ["Filter"]


@contextmanager
def _interrupts_deferred() -> Iterator[List[int]]:
    """Holds back Ctrl-C (SIGINT) while a request is sent and recorded, so that a request is
    never half sent nor sent without being counted; a Ctrl-C that came meanwhile is listed in
    the yielded list. Only in the main thread, and only where Python's own handler is in place."""
    caught: List[int] = []
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
        yield caught
        return
    previous = signal.signal(signal.SIGINT, lambda signum, frame: caught.append(signum))
    try:
        yield caught
    finally:
        signal.signal(signal.SIGINT, previous)


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

    def send(self, data: bytes) -> None:
        try:
            self.sock.settimeout(self.timeout_s)
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
                self.sock.settimeout(left)
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
            raw = self.resource.read_raw()
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


class Filter:
    """The filter, driven through the program's remote control.

    ::

        with Filter("localhost", 5050, timeout=30.0) as f:
            f.set_band(550.0, 10.0)

    Creating it connects (the program then locks its own buttons); closing it, or leaving the
    ``with`` block, disconnects, which also stops a scan that still runs. Wavelengths are in
    nm, times in seconds. `timeout` is the longest wait for one response, and must exceed the
    longest move or reset of the instrument; `poll_interval` is the pause between the empty
    lines that wait for a scan's end.

    Refusals raise `FilterError` subclasses; connection faults raise `CannotConnect`,
    `ControlHeld`, `Disconnected` (which are `ConnectionError`) or `NoResponse` (a
    `TimeoutError`). A `Filter` may be used from several threads; requests take turns, and
    one thread may `stop()` a scan that another waits for.
    """

    def __init__(self, host: str = "localhost", port: int = 5050, timeout: float = 30.0,
                 poll_interval: float = 0.2) -> None:
        if not timeout > 0:
            raise ValueError(f"timeout must be positive, not {timeout!r}")
        self._open_link: Callable[[], Any] = lambda: _SocketLink(host, port, timeout)
        self._timeout = float(timeout)
        self._poll_interval = poll_interval
        self._lock = threading.RLock()
        self._link: Any = None
        self._protocol = Protocol(f"{host}:{port}", poll_interval)
        self._connect()

    @classmethod
    def via_pyvisa(cls, resource_name: str, timeout: float = 30.0, poll_interval: float = 0.2,
                   resource_manager: Any = None) -> "Filter":
        """A `Filter` that talks through a pyvisa resource, for example
        ``Filter.via_pyvisa("TCPIP::127.0.0.1::5050::SOCKET")``. The resource is opened with
        read and write termination CR and a time-out of `timeout` seconds, from
        `resource_manager` (default ``pyvisa.ResourceManager()``)."""
        if not timeout > 0:
            raise ValueError(f"timeout must be positive, not {timeout!r}")
        self = cls.__new__(cls)
        self._open_link = lambda: _VisaLink(resource_name, timeout, resource_manager)
        self._timeout = float(timeout)
        self._poll_interval = poll_interval
        self._lock = threading.RLock()
        self._link = None
        self._protocol = Protocol(resource_name, poll_interval)
        self._connect()
        return self

    # --- connection -------------------------------------------------------------------------

    def _connect(self) -> None:
        self._link = self._open_link()
        self._protocol = Protocol(self._link.where, self._poll_interval)
        try:
            self._run(self._protocol.handshake())
        except Disconnected:
            self._link = None
            raise ControlHeld(self._protocol.where, f"{self._protocol.where} closed the "
                              "connection without a reply: another client holds control (or "
                              "the program is ending)") from None
        except BaseException:
            self.close()
            raise

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
                self._drive(link, self._protocol.settle(min(self._timeout, 5.0)))
            except BaseException:
                pass
            link.close()

    @property
    def connected(self) -> bool:
        """True while the connection is open (it may still turn out to be lost)."""
        return self._link is not None

    def __enter__(self) -> "Filter":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # --- running an operation ---------------------------------------------------------------

    def _run(self, operation: protocol.Operation) -> Any:
        with self._lock:
            link = self._link
            if link is None:
                operation.close()
                raise Disconnected(self._protocol.where, f"not connected to "
                                   f"{self._protocol.where}; call reconnect()")
            try:
                return self._drive(link, operation, self._lock)
            except Disconnected:
                self._link = None
                raise

    @staticmethod
    def _drive(link: Any, operation: protocol.Operation, lock: Any = None) -> Any:
        """Runs `operation` on `link`. While it sleeps or calls the user's function (no response
        is then owed) `lock` is let go, so that another thread can use the filter meanwhile:
        a `stop()` during `scan()`, for example."""
        value: Any = None
        error: Optional[BaseException] = None
        while True:
            try:
                action = operation.throw(error) if error is not None else operation.send(value)
            except StopIteration as stop:
                return stop.value
            value, error = None, None
            if isinstance(action, Send):
                # The request is sent, and recorded as owed by the operation, before a Ctrl-C
                # can take effect; one that came meanwhile ends the wait for its response.
                try:
                    with _interrupts_deferred() as caught:
                        link.send(action.data)
                        try:
                            action = operation.send(None)
                        except StopIteration as stop:
                            return stop.value
                except FilterError as failed:  # nothing was sent
                    error = failed
                    continue
                if caught:
                    error = KeyboardInterrupt()
                    continue
            try:
                if isinstance(action, Receive):
                    value = link.receive(action.timeout_s)
                elif isinstance(action, (Sleep, Call)):
                    if lock is not None:
                        lock.release()
                    try:
                        if isinstance(action, Sleep):
                            time.sleep(action.seconds)
                        else:
                            value = action.function(*action.args)
                    finally:
                        if lock is not None:
                            lock.acquire()
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
    def state(self) -> str:
        """``"SCAN"`` while a scan runs, otherwise ``"IDLE"`` (``STATE``). Asking never loses
        the end report of a scan: `wait_scan` still returns it."""
        return self._run(self._protocol.state())

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
             dwell_s: float, progress: Optional[Callable[[Progress], Any]] = None) -> str:
        """Runs a scan from `start_nm` towards `end_nm` by `step_nm` at `fwhm_nm`, each point
        held `dwell_s`, and waits for its end: ``"SUCCESS"`` or ``"ABORT"`` (stopped);
        `ScanFailed` when a move failed. `progress`, if given, is called with a `Progress` at
        each poll."""
        return self._run(self._protocol.scan(start_nm, end_nm, fwhm_nm, step_nm, dwell_s,
                                             progress))

    def start_scan(self, start_nm: float, end_nm: float, fwhm_nm: float, step_nm: float,
                   dwell_s: float) -> None:
        """Starts a scan (``SCAN``) and returns at once; see `wait_scan` and `stop`."""
        self._run(self._protocol.start_scan(start_nm, end_nm, fwhm_nm, step_nm, dwell_s))

    def wait_scan(self, timeout: Optional[float] = None,
                  progress: Optional[Callable[[Progress], Any]] = None) -> str:
        """Waits for the running scan's end report: ``"SUCCESS"`` or ``"ABORT"``; `ScanFailed`
        when it failed. `timeout` None allows the scan's own length (points x (dwell + 0.3 s)
        + 30 s) for a scan this client started; `ScanTimeout` after it (the scan goes on).
        Pass ``float("inf")`` to wait without limit."""
        return self._run(self._protocol.wait_scan(timeout, progress))

    def stop(self) -> bool:
        """Stops the running scan (``STOP``): True when a scan was stopped (`wait_scan` then
        returns ``"ABORT"``), False when none was running."""
        return self._run(self._protocol.stop())

    @property
    def progress(self) -> Progress:
        """``Progress(done, total, elapsed_s, remaining_s)`` of the running or last scan
        (``PROGRESS``); all zero before the first scan."""
        return self._run(self._protocol.progress())

    def step_through(self, points: Sequence[float], fwhm: float, dwell: float,
                     on_point: Optional[Callable[[float], Any]] = None,
                     check_range: bool = True) -> List[Step]:
        """Steps the filter through `points` (nm, in the given order: uneven or descending is
        fine) at FWHM `fwhm` nm, for a detector of your own: at each point the filter is set,
        `dwell` seconds pass, then ``on_point(cwl_nm)`` measures and its return value is kept.
        Returns one ``Step(cwl_nm, started, finished, value)`` per point.

        With `check_range`, every point is first checked against the calibration table's CWL
        range, which the program tells by refusing two requests that cannot move the filter
        (its message bar shows the refusal): a point outside it raises `OutOfRange` before
        anything moves. A point refused later (off the table's grid, outside the range valid
        for this FWHM) stops the stepping with its exception. Any exception, Ctrl-C included,
        leaves the filter where it is and carries the steps done so far as its ``steps``
        attribute."""
        return self._run(self._protocol.step_through(points, fwhm, dwell, on_point,
                                                     check_range))

    def last_error(self) -> Tuple[str, str]:
        """The program's code and text of the last stored result (``ECODE``, ``ETEXT``)."""
        return self._run(self._protocol.last_error())

    def ask(self, line: str) -> str:
        """Sends one request line as it is and returns its response line, for requests this
        class has no method for. An empty line that brings a scan's end report keeps it for
        `wait_scan` too."""
        def operation() -> protocol.Operation:
            response = yield from self._protocol.ask(line)
            if line == "" and response:
                yield from self._protocol._note_report(response)
            return response
        return self._run(operation())
