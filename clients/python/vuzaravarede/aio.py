"""`AsyncFilter`: the same client for asyncio programs, on one asyncio connection (no threads)."""

from __future__ import annotations

import asyncio
import inspect
import logging
import socket
import time
from typing import Any, Awaitable, Callable, List, Optional, Sequence, Tuple, TypeVar

from . import protocol
from ._names import renamed
from .errors import (
    CannotConnect, ControlHeld, Disconnected, FilterError, NoResponse, ProtocolError,
)
from .protocol import (
    Band, Call, Exchange, Limits, Progress, Protocol, Receive, ScanResult, Send, Session, Sleep,
    State, Step,
)

__all__ = ["AsyncFilter"]

log = logging.getLogger("vuzaravarede")
T = TypeVar("T")


class _LineReceiver(asyncio.Protocol):
    """Collects the bytes of the connection; waiters are woken on every arrival and at its end.
    The bytes stay here until a whole line is taken, so a wait that is cancelled or times out
    loses nothing."""

    def __init__(self) -> None:
        self.rx = bytearray()
        self.closed: Optional[str] = None
        self.transport: Optional[asyncio.Transport] = None
        # The future a receive waits on: done at the next arrival, the end of the connection,
        # or the receive's time limit.
        self.waiter: Optional[asyncio.Future[None]] = None

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport  # type: ignore[assignment]

    def data_received(self, data: bytes) -> None:
        self.rx += data
        self.wake()

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self.closed = f" ({exc})" if exc else ""
        self.wake()

    def wake(self) -> None:
        if self.waiter is not None and not self.waiter.done():
            self.waiter.set_result(None)


class _AsyncLink:
    def __init__(self, host: str, port: int, timeout_s: float) -> None:
        self.host, self.port = host, port
        self.where = f"{host}:{port}"
        self.timeout_s = timeout_s
        self.receiver = _LineReceiver()

    async def open(self) -> None:
        loop = asyncio.get_running_loop()
        try:
            transport, _ = await asyncio.wait_for(
                loop.create_connection(lambda: self.receiver, self.host, self.port),
                self.timeout_s)
        except ConnectionRefusedError:
            raise CannotConnect(self.where, f"connection to {self.where} refused: is the "
                                "program running, and is this its remote control port?") from None
        except socket.gaierror as error:
            raise CannotConnect(self.where, f"cannot find host {self.host!r}: {error}") from None
        except asyncio.TimeoutError:
            raise CannotConnect(self.where, f"no connection to {self.where} within "
                                f"{self.timeout_s:g} s") from None
        except OSError as error:
            raise CannotConnect(self.where, f"cannot connect to {self.where}: {error}") from None
        # asyncio turns Nagle's algorithm off on TCP connections by itself.

    def send(self, data: bytes) -> None:
        receiver = self.receiver
        if receiver.closed is not None or receiver.transport is None:
            raise self.lost(f"the connection to {self.where} was lost{receiver.closed or ''}")
        receiver.transport.write(data + b"\r")

    async def receive(self, timeout_s: Optional[float]) -> str:
        limit = self.timeout_s if timeout_s is None else timeout_s
        deadline = time.monotonic() + limit
        receiver = self.receiver
        while True:
            cr = receiver.rx.find(b"\r")
            if cr >= 0:
                line = bytes(receiver.rx[:cr])
                del receiver.rx[:cr + 1]
                return protocol.decode(line)
            if len(receiver.rx) > protocol.MAX_LINE:
                raise ProtocolError(f"{self.where} sent {len(receiver.rx)} bytes without a "
                                    "line end")
            if receiver.closed is not None:
                middle = " in the middle of a response" if receiver.rx else ""
                raise self.lost(f"{self.where} closed the connection{middle}{receiver.closed}")
            left = deadline - time.monotonic()
            if left <= 0:
                raise NoResponse(self.where, f"no response from {self.where} within {limit:g} s")
            # A future and a timer rather than wait_for, which makes a task per wait.
            loop = asyncio.get_running_loop()
            receiver.waiter = loop.create_future()
            timer = loop.call_later(left, receiver.wake)
            try:
                await receiver.waiter
            finally:
                timer.cancel()
                receiver.waiter = None

    def lost(self, text: str) -> Disconnected:
        self.close()
        return Disconnected(self.where, text)

    def close(self) -> None:
        if self.receiver.transport is not None:
            self.receiver.transport.close()


class AsyncFilter:
    """`Filter` for asyncio: the same methods, as coroutines, on one connection.

    ::

        async with AsyncFilter("localhost", 5050) as f:
            await f.set_band(550.0, 10.0)
            print(await f.version)

    The read-only values (`version`, `state`, `session`, `band`, `progress`, `limits`) are
    awaited as attributes. Callbacks (`progress`, `on_point`) may be plain functions or
    coroutine functions.

    An `AsyncFilter` may be shared by the tasks of its event loop (not by threads): each
    request and its response take the connection alone, and the waits let it go while they
    pause or call back, so one task may `stop()` a scan that another awaits, and a callback
    may use the filter. A cancelled call leaves the connection usable: the response it was
    waiting for is read and set aside before the next request. A cancelled `scan()` stops the
    scan it started (``STOP``, then its end report) before the cancellation goes on; a
    cancelled `wait_scan()` leaves the scan running.
    """

    def __init__(self, host: str = "localhost", port: int = 5050, timeout_s: float = 30.0,
                 poll_interval_s: float = 0.2, **old_names: float) -> None:
        timeout_s = renamed("AsyncFilter", old_names, {"timeout": "timeout_s"}).get(
            "timeout_s", timeout_s)
        if isinstance(timeout_s, bool) or not isinstance(timeout_s, (int, float)) \
                or not timeout_s > 0:
            raise ValueError(f"timeout_s must be a positive number, not {timeout_s!r}")
        self._host, self._port = host, port
        self._timeout = float(timeout_s)
        self._poll_interval = float(poll_interval_s)
        self._link: Optional[_AsyncLink] = None
        self._protocol = Protocol(f"{host}:{port}", self._poll_interval)
        self._lock: Optional[asyncio.Lock] = None

    def __repr__(self) -> str:
        status = "connected" if self._link is not None else "not connected"
        return f"<AsyncFilter {self._protocol.where} {status}>"

    async def connect(self) -> "AsyncFilter":
        """Opens the connection (``async with`` does this)."""
        link = _AsyncLink(self._host, self._port, self._timeout)
        await link.open()
        self._link = link
        self._protocol = Protocol(link.where, self._poll_interval)
        try:
            version = await self._run(self._protocol.handshake())
        except Disconnected:
            self._link = None
            held = ControlHeld(link.where, f"{link.where} closed the connection without a "
                               "reply: another client holds control (or the program is "
                               "ending)")
            log.warning("%s", held)
            raise held from None
        except BaseException:
            await self.close()
            raise
        log.info("%s: connected (%s)", link.where, version)
        return self

    async def reconnect(self) -> None:
        """Closes the connection (if any) and opens a new one."""
        await self.close()
        await self.connect()

    async def close(self) -> None:
        """Disconnects, once the request under way (if any) has been answered; a response
        still owed after a cancelled call is read first (up to 5 s). Closing twice is
        harmless."""
        async with self._get_lock():
            link, self._link = self._link, None
            if link is None:
                return
            try:
                await _drive(link, self._protocol.settle(min(self._timeout, 5.0)))
            except Exception:
                pass  # closing anyway; a cancellation of the close goes on once closed
            finally:
                link.close()
                log.info("%s: disconnected", link.where)

    @property
    def connected(self) -> bool:
        return self._link is not None

    async def __aenter__(self) -> "AsyncFilter":
        if self._link is None:
            await self.connect()
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    # --- running exchanges and flows --------------------------------------------------------

    def _get_lock(self) -> asyncio.Lock:
        # Made in the event loop that first uses it.
        if self._lock is None:
            self._lock = asyncio.Lock()
        return self._lock

    async def _run(self, operation: protocol.Operation[T]) -> T:
        """Runs one exchange with the connection held for it alone. A cancellation while
        waiting for the connection leaves it to its holder."""
        try:
            async with self._get_lock():
                link = self._link
                if link is None:
                    raise Disconnected(self._protocol.where, f"not connected to "
                                       f"{self._protocol.where}; call connect()")
                try:
                    return await _drive(link, operation)
                except Disconnected as lost:
                    self._link = None
                    log.warning("%s", lost)
                    raise
                except (NoResponse, ProtocolError) as fault:
                    log.warning("%s", fault)
                    raise
        finally:
            operation.close()

    async def _flow(self, flow: protocol.Flow[T]) -> T:
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
                    value = await self._run(action.operation)
                elif isinstance(action, Sleep):
                    await asyncio.sleep(action.seconds)
                elif isinstance(action, Call):
                    value = action.function(*action.args)
                    if inspect.isawaitable(value):
                        value = await value
                else:
                    raise TypeError(f"unknown action {action!r}")
            except BaseException as failure:
                error = failure

    # --- requests ---------------------------------------------------------------------------

    @property
    def version(self) -> Awaitable[str]:
        """``await f.version``: the program's version text."""
        return self._run(self._protocol.version())

    @property
    def state(self) -> Awaitable[State]:
        """``await f.state``: `State.SCAN` or `State.IDLE`; never loses a scan's end report."""
        return self._run(self._protocol.state())

    @property
    def session(self) -> Awaitable[Session]:
        """``await f.session``: the program's session with the instrument; see `Session`."""
        return self._run(self._protocol.session())

    @property
    def band(self) -> Awaitable[Optional[Band]]:
        """``await f.band``: the band last set, or None when homed or unknown."""
        return self._run(self._protocol.band())

    @property
    def progress(self) -> Awaitable[Progress]:
        """``await f.progress``: `Progress` of the running or last scan."""
        return self._run(self._protocol.progress())

    @property
    def limits(self) -> Awaitable[Optional[Limits]]:
        """``await f.limits``: see `Filter.limits`."""
        return self._run(self._protocol.limits())

    async def limits_for(self, fwhm_nm: float) -> Optional[Tuple[float, float]]:
        """See `Filter.limits_for`."""
        return await self._run(self._protocol.limits_for(fwhm_nm))

    async def wait_ready(self, timeout_s: float = 60.0) -> Session:
        """See `Filter.wait_ready`."""
        return await self._flow(self._protocol.wait_ready(timeout_s))

    async def check_band(self, cwl_nm: float, fwhm_nm: float) -> Optional[FilterError]:
        """See `Filter.check_band`."""
        return await self._run(self._protocol.check(Protocol.band_request(cwl_nm, fwhm_nm)))

    async def check_edges(self, sw_nm: float, lw_nm: float) -> Optional[FilterError]:
        """See `Filter.check_edges`."""
        return await self._run(self._protocol.check(Protocol.edges_request(sw_nm, lw_nm)))

    async def check_scan(self, start_nm: float, end_nm: float, fwhm_nm: float, step_nm: float,
                         dwell_s: float) -> Optional[FilterError]:
        """See `Filter.check_scan`."""
        return await self._run(self._protocol.check(
            Protocol.scan_request(start_nm, end_nm, fwhm_nm, step_nm, dwell_s)))

    async def set_band(self, cwl_nm: float, fwhm_nm: float) -> None:
        """See `Filter.set_band`."""
        await self._run(self._protocol.set_band(cwl_nm, fwhm_nm))

    async def set_edges(self, sw_nm: float, lw_nm: float) -> None:
        """See `Filter.set_edges`."""
        await self._run(self._protocol.set_edges(sw_nm, lw_nm))

    async def reset(self) -> None:
        """See `Filter.reset`."""
        await self._run(self._protocol.reset())

    async def scan(self, start_nm: float, end_nm: float, fwhm_nm: float, step_nm: float,
                   dwell_s: float, progress: Optional[Callable[[Progress], object]] = None
                   ) -> ScanResult:
        """See `Filter.scan`. Cancelled (``task.cancel()``, ``asyncio.wait_for``), it stops
        the scan it started before the cancellation goes on."""
        return await self._flow(self._protocol.scan(start_nm, end_nm, fwhm_nm, step_nm,
                                                    dwell_s, progress))

    async def start_scan(self, start_nm: float, end_nm: float, fwhm_nm: float, step_nm: float,
                         dwell_s: float) -> None:
        """See `Filter.start_scan`."""
        await self._run(self._protocol.start_scan(start_nm, end_nm, fwhm_nm, step_nm, dwell_s))

    def wait_scan(self, timeout_s: Optional[float] = None,
                  progress: Optional[Callable[[Progress], object]] = None,
                  **old_names: float) -> Awaitable[ScanResult]:
        """See `Filter.wait_scan`. Cancelled, it leaves the scan running."""
        timeout_s = renamed("wait_scan", old_names, {"timeout": "timeout_s"}).get(
            "timeout_s", timeout_s)
        return self._flow(self._protocol.wait_scan(timeout_s, progress))

    async def stop(self) -> bool:
        """See `Filter.stop`."""
        return await self._run(self._protocol.stop())

    def step_through(self, points: Sequence[float], fwhm_nm: Optional[float] = None,
                     dwell_s: Optional[float] = None,
                     on_point: Optional[Callable[[float], object]] = None,
                     check_range: bool = True, **old_names: float) -> Awaitable[List[Step]]:
        """See `Filter.step_through`; `on_point` may be a coroutine function. Cancelled, it
        stops stepping; the exception carries the steps done."""
        given = renamed("step_through", old_names, {"fwhm": "fwhm_nm", "dwell": "dwell_s"})
        fwhm_nm = given.get("fwhm_nm", fwhm_nm)
        dwell_s = given.get("dwell_s", dwell_s)
        return self._flow(self._protocol.step_through(points, fwhm_nm, dwell_s, on_point,
                                                      check_range))

    async def last_error(self) -> Tuple[str, str]:
        """See `Filter.last_error`."""
        return await self._run(self._protocol.last_error())

    async def ask(self, line: str) -> str:
        """See `Filter.ask`."""
        return await self._run(self._protocol.line(line))


async def _drive(link: _AsyncLink, operation: protocol.Operation[T]) -> T:
    """Runs the exchange `operation` on `link`."""
    value: Any = None
    error: Optional[BaseException] = None
    while True:
        try:
            action = operation.throw(error) if error is not None else operation.send(value)
        except StopIteration as stop:
            return stop.value  # type: ignore[no-any-return]
        value, error = None, None
        try:
            if isinstance(action, Send):
                # Written and recorded as owed with no await in between: a cancellation can
                # only come while its response is awaited.
                link.send(action.data)
            elif isinstance(action, Receive):
                value = await link.receive(action.timeout_s)
            else:
                raise TypeError(f"an exchange yields requests and responses only: {action!r}")
        except BaseException as failure:
            error = failure
