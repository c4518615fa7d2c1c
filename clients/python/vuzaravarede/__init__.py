"""Drives the QVL Rari tunable band-pass filter through its control program's remote control.

::

    from vuzaravarede import Filter, FilterError
    with Filter("localhost", 5050, timeout=30.0) as f:
        f.set_band(550.0, 10.0)

`Filter` blocks; `AsyncFilter` is the same for asyncio; `Filter.via_pyvisa(...)` goes through a
pyvisa resource. Wavelengths are in nm, times in seconds. Standard library only (pyvisa only
for `via_pyvisa`).
"""

from .aio import AsyncFilter
from .client import Filter
from .errors import (
    CannotConnect, ConnectionLost, ControlHeld, DeviceBusy, Disconnected, FilterError,
    NoResponse, NotReady, OutOfRange, ProtocolError, ScanFailed, ScanTimeout,
)
from .protocol import Band, Progress, Step, scan_deadline, scan_points

__version__ = "2.1.0"

__all__ = [
    "Filter", "AsyncFilter", "Band", "Progress", "Step", "scan_points", "scan_deadline",
    "FilterError", "OutOfRange", "DeviceBusy", "NotReady", "ConnectionLost", "ScanFailed",
    "ProtocolError", "CannotConnect", "ControlHeld", "Disconnected", "NoResponse",
    "ScanTimeout",
]
