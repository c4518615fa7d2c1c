"""`AsyncFilter`: the same client for asyncio programs, on one asyncio connection (no threads)."""

from __future__ import annotations

import asyncio
import inspect
import socket
import time
from typing import Any, Awaitable, Callable, List, Optional, Sequence, Tuple

from . import protocol
from .errors import CannotConnect, ControlHeld, Disconnected, NoResponse, ProtocolError
from .protocol import Band, Call, Progress, Protocol, Receive, Send, Sleep, Step

__all__ = ["AsyncFilter"]


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
        self.waiter: Optional[asyncio.Future] = None

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

    The read-only values (`version`, `state`, `band`, `progress`) are awaited as attributes.
    Callbacks (`progress`, `on_point`) may be plain functions or coroutine functions. A
    cancelled call leaves the connection usable: the response it was waiting for is read and
    set aside before the next request. Calls from several tasks take turns; one task may
    `stop()` a scan that another awaits, and a callback may use the filter.
    """

    def __init__(self, host: str = "localhost", port: int = 5050, timeout: float = 30.0,
                 poll_interval: float = 0.2) -> None:
        if not timeout > 0:
            raise ValueError(f"timeout must be positive, not {timeout!r}")
        self._host, self._port = host, port
        self._timeout = float(timeout)
        self._poll_interval = poll_interval
        self._link: Optional[_AsyncLink] = None
        self._protocol = Protocol(f"{host}:{port}", poll_interval)
        self._lock: Optional[asyncio.Lock] = None

    async def connect(self) -> "AsyncFilter":
        """Opens the connection (``async with`` does this)."""
        link = _AsyncLink(self._host, self._port, self._timeout)
        await link.open()
        self._link = link
        self._protocol = Protocol(link.where, self._poll_interval)
        try:
            await self._run(self._protocol.handshake())
        except Disconnected:
            self._link = None
            raise ControlHeld(link.where, f"{link.where} closed the connection without a "
                              "reply: another client holds control (or the program is "
                              "ending)") from None
        except BaseException:
            await self.close()
            raise
        return self

    async def reconnect(self) -> None:
        """Closes the connection (if any) and opens a new one."""
        await self.close()
        await self.connect()

    async def close(self) -> None:
        """Disconnects; a response still owed after a cancelled call is read first (up to
        5 s). Closing twice is harmless."""
        link, self._link = self._link, None
        if link is None:
            return
        try:
            await self._drive(link, self._protocol.settle(min(self._timeout, 5.0)))
        except BaseException:
            pass
        link.close()

    @property
    def connected(self) -> bool:
        return self._link is not None

    async def __aenter__(self) -> "AsyncFilter":
        if self._link is None:
            await self.connect()
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.close()

    # --- running an operation ---------------------------------------------------------------

    async def _run(self, operation: protocol.Operation) -> Any:
        if self._lock is None:
            self._lock = asyncio.Lock()
        async with self._lock:
            link = self._link
            if link is None:
                operation.close()
                raise Disconnected(self._protocol.where, f"not connected to "
                                   f"{self._protocol.where}; call connect()")
            try:
                return await self._drive(link, operation, self._lock)
            except Disconnected:
                self._link = None
                raise

    @staticmethod
    async def _drive(link: _AsyncLink, operation: protocol.Operation,
                     lock: Optional[asyncio.Lock] = None) -> Any:
        """Runs `operation` on `link`. While it sleeps or calls the user's function (no response
        is then owed) `lock` is let go, so that another task can use the filter meanwhile (a
        `stop()` during `scan()`), and a callback can use it too."""
        value: Any = None
        error: Optional[BaseException] = None
        while True:
            try:
                action = operation.throw(error) if error is not None else operation.send(value)
            except StopIteration as stop:
                return stop.value
            value, error = None, None
            try:
                if isinstance(action, Send):
                    # Written and recorded as owed with no await in between: a cancellation
                    # can only come while its response is awaited.
                    link.send(action.data)
                elif isinstance(action, Receive):
                    value = await link.receive(action.timeout_s)
                elif isinstance(action, (Sleep, Call)):
                    if lock is not None:
                        lock.release()
                    try:
                        if isinstance(action, Sleep):
                            await asyncio.sleep(action.seconds)
                        else:
                            value = action.function(*action.args)
                            if inspect.isawaitable(value):
                                value = await value
                    finally:
                        if lock is not None:
                            await lock.acquire()
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
    def state(self) -> Awaitable[str]:
        """``await f.state``: ``"SCAN"`` or ``"IDLE"``; never loses a scan's end report."""
        return self._run(self._protocol.state())

    @property
    def band(self) -> Awaitable[Optional[Band]]:
        """``await f.band``: the band last set, or None when homed or unknown."""
        return self._run(self._protocol.band())

    @property
    def progress(self) -> Awaitable[Progress]:
        """``await f.progress``: `Progress` of the running or last scan."""
        return self._run(self._protocol.progress())

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
                   dwell_s: float, progress: Optional[Callable[[Progress], Any]] = None) -> str:
        """See `Filter.scan`."""
        return await self._run(self._protocol.scan(start_nm, end_nm, fwhm_nm, step_nm,
                                                   dwell_s, progress))

    async def start_scan(self, start_nm: float, end_nm: float, fwhm_nm: float, step_nm: float,
                         dwell_s: float) -> None:
        """See `Filter.start_scan`."""
        await self._run(self._protocol.start_scan(start_nm, end_nm, fwhm_nm, step_nm, dwell_s))

    async def wait_scan(self, timeout: Optional[float] = None,
                        progress: Optional[Callable[[Progress], Any]] = None) -> str:
        """See `Filter.wait_scan`."""
        return await self._run(self._protocol.wait_scan(timeout, progress))

    async def stop(self) -> bool:
        """See `Filter.stop`."""
        return await self._run(self._protocol.stop())

    async def step_through(self, points: Sequence[float], fwhm: float, dwell: float,
                           on_point: Optional[Callable[[float], Any]] = None,
                           check_range: bool = True) -> List[Step]:
        """See `Filter.step_through`; `on_point` may be a coroutine function."""
        return await self._run(self._protocol.step_through(points, fwhm, dwell, on_point,
                                                           check_range))

    async def last_error(self) -> Tuple[str, str]:
        """See `Filter.last_error`."""
        return await self._run(self._protocol.last_error())

    async def ask(self, line: str) -> str:
        """See `Filter.ask`."""
        def operation() -> protocol.Operation:
            response = yield from self._protocol.ask(line)
            if line == "" and response:
                yield from self._protocol._note_report(response)
            return response
        return await self._run(operation())
