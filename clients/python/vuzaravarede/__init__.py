"""Drives the QVL Rari tunable band-pass filter through its control program's remote control.

::

    from vuzaravarede import Filter, FilterError
    with Filter("localhost", 5050, timeout_s=30.0) as f:
        f.wait_ready(timeout_s=60.0)
        f.set_band(550.0, 10.0)

`Filter` blocks; `AsyncFilter` is the same for asyncio; `Filter.via_pyvisa(...)` goes through a
pyvisa resource. Wavelengths are in nm, times in seconds. Standard library only (pyvisa only
for `via_pyvisa`). Requests, responses and connections are logged on the logger
``vuzaravarede``; the package prints nothing itself.
"""

import logging

from .aio import AsyncFilter
from .client import Filter
from .errors import (
    CannotConnect, ConnectionLost, ControlHeld, DeviceBusy, Disconnected, FilterError,
    NoResponse, NotReady, OutOfRange, ProtocolError, ScanFailed, ScanTimeout,
)
from .protocol import (
    Band, Limits, Progress, ScanResult, Session, State, Step, scan_deadline, scan_points,
)

# Nothing is printed unless the application sets up logging.
logging.getLogger("vuzaravarede").addHandler(logging.NullHandler())

__version__ = "2.1.0"

__all__ = [
    "Filter", "AsyncFilter", "Band", "Progress", "Step", "Limits", "Session", "State",
    "ScanResult", "scan_points", "scan_deadline",
    "FilterError", "OutOfRange", "DeviceBusy", "NotReady", "ConnectionLost", "ScanFailed",
    "ProtocolError", "CannotConnect", "ControlHeld", "Disconnected", "NoResponse",
    "ScanTimeout",
]
