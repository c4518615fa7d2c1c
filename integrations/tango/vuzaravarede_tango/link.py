"""The one connection to the program, shared by the device's commands and its poller.

The program serves one remote client at a time and answers one request line at a time, so the
device keeps a single connection and lets exactly one thread use it at once. Whoever holds the
lock owns the line for a whole exchange (request and answer), so no caller can read another
caller's answer.
"""

import threading
from contextlib import contextmanager
from typing import Iterator, Optional

import vuzaravarede

FilterError = vuzaravarede.FilterError


def is_refusal(error: BaseException) -> bool:
    """True for the program's answer to a request it refused (it carries the program's code),
    false for a fault of the connection (refused, lost, timed out, unreadable answer)."""
    return isinstance(error, FilterError) and bool(error.code) and \
        not isinstance(error, (ConnectionError, TimeoutError))


class Unreachable(Exception):
    """The program cannot be reached: refused, gone, timed out or answering nonsense. The
    connection has been dropped; the poller reconnects."""


class Busy(Exception):
    """Another exchange held the connection longer than the caller may wait."""


def tango_text(text: str) -> str:
    """A text as Tango can carry it. Tango strings are Latin-1 (a string attribute holding any
    other character crashes the server of Debian's PyTango 9.3, and error descriptions are read
    back as Latin-1), so the program's "≥" and "≤" become ">=" and "<=", and any other character
    outside Latin-1 becomes "?"."""
    text = text.replace("\u2265", ">=").replace("\u2264", "<=")
    return text.encode("latin-1", "replace").decode("latin-1")


class ProgramLink:
    """The connection to the program at host:port, opened on demand and dropped on any fault of
    the connection itself. The program's refusals (FilterError) leave it open."""

    def __init__(self, host: str, port: int, timeout: float) -> None:
        self.host = host
        self.port = port
        self.timeout = timeout
        self._lock = threading.Lock()
        self._filter: Optional[vuzaravarede.Filter] = None
        self.fault = "not connected yet"

    @property
    def address(self) -> str:
        return f"{self.host}:{self.port}"

    @property
    def connected(self) -> bool:
        return self._filter is not None

    @contextmanager
    def hold(self, wait: Optional[float]) -> Iterator["vuzaravarede.Filter"]:
        """The connected client, held alone for the block. `wait`: seconds to wait for the lock
        (None: as long as it takes). Raises Busy when the lock stays taken, Unreachable when
        there is no connection or it fails in the block (it is then dropped)."""
        if not self._lock.acquire(timeout=-1 if wait is None else max(wait, 0.0)):
            raise Busy("Device busy.")
        try:
            if self._filter is None:
                raise Unreachable(self.fault)
            try:
                yield self._filter
            except Exception as error:
                if is_refusal(error):
                    raise
                if isinstance(error, (FilterError, OSError, EOFError, ValueError)):
                    # Callers check their numbers before a request, so a ValueError here is
                    # about an answer that could not be read: the line is no longer trusted.
                    self._drop(self._describe(error))
                    raise Unreachable(self.fault) from error
                raise
        finally:
            self._lock.release()

    def connect(self) -> None:
        """Opens the connection unless it is open. Raises Unreachable."""
        with self._lock:
            if self._filter is not None:
                return
            try:
                self._filter = vuzaravarede.Filter(self.host, self.port, timeout=self.timeout)
            except (FilterError, OSError, EOFError, ValueError) as error:
                self.fault = self._describe(error)
                raise Unreachable(self.fault) from error

    def _describe(self, error: BaseException) -> str:
        text = str(error) or type(error).__name__
        return text if self.address in text else f"{self.address}: {text}"

    def close(self) -> None:
        with self._lock:
            self._drop("closed")

    def _drop(self, reason: str) -> None:
        self.fault = reason
        client, self._filter = self._filter, None
        if client is not None:
            try:
                client.close()
            except Exception:  # noqa: BLE001 - a broken connection may fail to close too
                pass

