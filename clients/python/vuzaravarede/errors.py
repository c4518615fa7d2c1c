"""Exceptions of the client.

Every exception raised by the package for the filter or the program is a `FilterError`. Those
that come from the program's refusals carry its error code and text (``ECODE``/``ETEXT``) and
the request that was refused:

- `OutOfRange`: a set or scan request broke one of the program's rules (codes ERRSEnn, ERRSCnn);
- `DeviceBusy`: another operation holds the instrument, or a scan runs;
- `NotReady`: the program has no session with the instrument;
- `ConnectionLost`: the program lost or could not drive the instrument (codes ERRDVnn);
- `ScanFailed`: a scan ended with the report ``SCAN FAIL``.

Those that come from the connection to the program name its host and port and are also the
standard `ConnectionError` or `TimeoutError`:

- `CannotConnect` (`ConnectionError`): refused, unknown host, unreachable;
- `ControlHeld` (a `CannotConnect`): another client holds control; the program closed this
  connection without a reply;
- `Disconnected` (`ConnectionError` and `ConnectionLost`): the connection was lost, for
  example because the program ended or restarted; `reconnect()` opens a new one;
- `NoResponse` (`TimeoutError`): no complete response within the time-out;
- `ScanTimeout` (`TimeoutError`): a scan did not report its end within the wait's deadline;
- `ProtocolError`: the other end answered something that is not this protocol.
"""

from typing import Optional, TYPE_CHECKING

if TYPE_CHECKING:
    from .protocol import Session

__all__ = [
    "FilterError", "OutOfRange", "DeviceBusy", "NotReady", "ConnectionLost", "ScanFailed",
    "ProtocolError", "CannotConnect", "ControlHeld", "Disconnected", "NoResponse",
    "ScanTimeout", "error_for",
]


class FilterError(Exception):
    """A request the program refused, or a failure to reach it.

    Attributes:
        code: the program's error code (``"ERRSE03"``, ``"NONE"``, ...); empty when the error
            is the client's own (a lost connection, a time-out).
        text: the error text, with the signs "≥" and "≤" decoded.
        request: the request line concerned, or None.

    The message is ``request: code : text``; the code ``NONE``, which the program gives to
    refusals without a code of their own, is left out of it (it stays in `code`).
    """

    def __init__(self, code: str, text: str, request: Optional[str] = None) -> None:
        self.code = code
        self.text = text
        self.request = request
        super().__init__(self._message())

    def _message(self) -> str:
        where = f"{self.request}: " if self.request is not None else ""
        if self.code and self.code != "NONE":
            return f"{where}{self.code} : {self.text}"
        return f"{where}{self.text}"


class OutOfRange(FilterError):
    """A value broke one of the program's set or scan rules (ERRSEnn, ERRSCnn); nothing moved."""


class DeviceBusy(FilterError):
    """Another operation holds the instrument ("Device busy."), or a scan runs
    ("Now Scanning."); nothing moved. Asking again later may succeed."""


class NotReady(FilterError):
    """The program has no session with the instrument ("Device not ready. ..."), or
    `wait_ready` gave up: then `session` holds the last answer to ``SESSION`` and code and text
    the program's reason at that moment."""

    def __init__(self, code: str, text: str, request: Optional[str] = None,
                 session: "Optional[Session]" = None, waited_s: Optional[float] = None) -> None:
        self.session = session
        self.waited_s = waited_s
        super().__init__(code, text, request)

    def _message(self) -> str:
        if self.session is None:
            return super()._message()
        detail = f"{self.code} : {self.text}" if self.code and self.code != "NONE" else self.text
        return f"not ready after {self.waited_s:g} s: {self.session.value} ({detail})"


class ConnectionLost(FilterError):
    """The program lost the instrument or failed to drive it (ERRDVnn: the instrument did not
    answer, a move or a reset failed). `Disconnected`, the loss of the connection to the program
    itself, is one too."""


class ScanFailed(FilterError):
    """A scan ended with the report ``SCAN FAIL``; code and text tell why (ERRDV05: a move of
    the scan failed)."""


class ProtocolError(FilterError):
    """The other end sent something that is not a response of this protocol."""

    def __init__(self, text: str, request: Optional[str] = None) -> None:
        super().__init__("", text, request)


class _Endpoint(FilterError):
    """An error of the connection to the program at `where` (``host:port`` or a VISA resource
    name)."""

    def __init__(self, where: str, text: str, request: Optional[str] = None) -> None:
        self.where = where
        super().__init__("", text, request)


class CannotConnect(_Endpoint, ConnectionError):
    """No connection could be made to the program."""


class ControlHeld(CannotConnect):
    """The program closed the new connection without a reply: another client holds control."""


class Disconnected(_Endpoint, ConnectionLost, ConnectionError):
    """The connection to the program was lost (the program ended or restarted, or closed the
    connection). The connection is unusable; `reconnect()` opens a new one."""


class NoResponse(_Endpoint, TimeoutError):
    """No complete response arrived within the time-out. The connection stays usable: the late
    response is read and set aside before the next request, so it is never taken for another
    request's."""


class ScanTimeout(_Endpoint, TimeoutError):
    """A scan did not report its end within the deadline of the wait. The scan goes on; wait
    again, or stop it."""


def error_for(code: str, text: str, request: Optional[str]) -> FilterError:
    """The exception for a refusal the program described with `code` and `text`."""
    if code.startswith(("ERRSE", "ERRSC")):
        return OutOfRange(code, text, request)
    if code.startswith("ERRDV"):
        return ConnectionLost(code, text, request)
    if code == "NONE":
        if text in ("Device busy.", "Now Scanning."):
            return DeviceBusy(code, text, request)
        if "Device not ready." in text:
            return NotReady(code, text, request)
    return FilterError(code, text, request)
