"""The filter as a Tango device: `TunableFilter`, a client of the program's remote control.

The program stays the only owner of the serial line and shows everything in its window; this
device holds the program's one remote connection for as long as it runs and turns Tango requests
into the program's requests. It never acts on the instrument unless a Tango client asked: what
it reports comes from the program's read-only queries (SESSION, BAND, PROGRESS, LIMITS).

The device runs in PyTango's asyncio mode: every request of a Tango client, and the one task
that follows the program, run as coroutines on one event loop, over one `AsyncFilter`
connection, so the device's state needs no locks. Requests to the program take turns on that
connection; the only lock of the device keeps two rounds of reading the program apart.
"""

import asyncio
import logging
import math
import time
from typing import Any, Awaitable, Callable, Dict, List, Optional, Sequence, Tuple

import tango
from tango import AttrQuality, AttrWriteType, DevState, GreenMode
from tango.server import Device, attribute, command, device_property

import vuzaravarede

from . import program
from .program import (
    BUSY, OPENING, READY, SCANNING, SEARCHING, UNUSABLE, FilterError, Limits, Session,
    is_refusal, tango_text,
)
from .scanplan import ScanPlan, on_tenths

Band = vuzaravarede.Band
Progress = vuzaravarede.Progress

NO_PROGRESS = Progress(0, 0, 0.0, 0.0)
# Stages in which the program holds a calibration table.
WITH_TABLE = (READY, BUSY, SCANNING)
# Attributes whose every change is pushed as a change event.
EVENTS = ("State", "Status", "Wavelength", "Bandwidth", "ShortEdge", "LongEdge", "ScanProgress")
BAND_ATTRIBUTES = ("Wavelength", "Bandwidth", "ShortEdge", "LongEdge")

log = logging.getLogger(__name__)


def _number(raw: Any, name: str, positive: bool = False) -> Tuple[Optional[float], str]:
    """A device property's value as a number, or the reason it is none."""
    if raw is None or (isinstance(raw, str) and not raw.strip()):
        return None, f"Device property {name} is missing."
    try:
        value = float(raw)
    except (TypeError, ValueError):
        return None, f"Device property {name} is not a number: {tango_text(str(raw))!r}."
    if not math.isfinite(value) or (positive and value <= 0):
        return None, f"Device property {name} must be a positive number, not {raw}."
    return value, ""


class TunableFilter(Device):
    """The motorised tunable band-pass filter, driven through the VuzaRavarede program's remote
    control at Host:Port."""

    green_mode = GreenMode.Asyncio

    # Read as text and checked by the device, so that a wrong value gives FAULT and a Status
    # naming it rather than a server that does not start.
    Host = device_property(dtype=str, default_value="localhost",
                           doc="Host name or address of the PC running the program")
    Port = device_property(dtype=str,
                           doc="The program's remote control port (PortNum of its settings)")
    Timeout = device_property(dtype=str, default_value="30",
                              doc="Seconds to wait for one answer of the program")

    # How often the program is asked (s): during a scan or a move often enough to follow each
    # point closely (a scan moves at most every ~200 ms; the points of a scan of this device that
    # two rounds pass over are published from its request), otherwise just often enough to
    # follow the program.
    BUSY_POLL_S = 0.05
    IDLE_POLL_S = 0.5
    RECONNECT_S = 1.0
    # Longest a Stop or Reset keeps its Tango client waiting (under the client's default 3 s
    # time-out); a longer one goes on, and State says so.
    REPLY_WINDOW_S = 2.5

    # ------------------------------------------------------------------ life cycle

    async def init_device(self) -> None:
        # The base class's init_device only reads the properties, and in asyncio mode it would
        # return an unawaited coroutine here: read them directly.
        self.get_device_properties()
        self._client: Optional[vuzaravarede.AsyncFilter] = None
        self._unreachable: Optional[str] = None  # why the last connection failed or ended
        self._session: Optional[Session] = None  # None: not known since the (re)connection
        self._band: Optional[Band] = None
        self._progress: Progress = NO_PROGRESS
        self._limits: Optional[Limits] = None
        self._operations: List[str] = []        # this device's requests under way
        self._scan_started = False               # a Scan of this device not yet seen to run
        self._plan: Optional[ScanPlan] = None    # the points of the scan this device started
        self._last_scan = ""
        self._last_error = ""
        self._set_point: List[Optional[float]] = [None, None]  # cwl, fwhm asked for last
        self._pushed: Dict[str, Any] = {}
        self._round = asyncio.Lock()
        self._wake = asyncio.Event()
        self._task: Optional[asyncio.Task] = None
        for name in EVENTS:
            self.set_change_event(name, True, False)
        self._fault = self._read_properties()
        if not self._fault:
            self._task = asyncio.get_event_loop().create_task(self._follow())
        self._publish()

    async def delete_device(self) -> None:
        task, self._task = self._task, None
        if task is not None:
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)
        await self._drop("the device was stopped")

    def _read_properties(self) -> str:
        """Checks Host, Port and Timeout; the first fault found, or ""."""
        self._host = (self.Host or "").strip()
        if not self._host:
            return "Device property Host is missing."
        port, fault = _number(self.Port, "Port")
        if fault:
            return fault
        if port != int(port) or not 0 < port < 65536:
            return f"Device property Port must be a TCP port (1-65535), not {self.Port}."
        self._port = int(port)
        timeout, fault = _number(self.Timeout, "Timeout", positive=True)
        self._timeout_s = timeout or 0.0
        return fault

    @property
    def _where(self) -> str:
        return f"{self._host}:{self._port}"

    # ------------------------------------------------------------------ following the program

    async def _follow(self) -> None:
        """The device's one task: connects, then reads the program again and again."""
        while True:
            try:
                period = await self._follow_once()
            except asyncio.CancelledError:
                raise
            except Exception:  # noqa: BLE001 - the task must outlive any surprise
                log.exception("following the program failed")
                await self._drop("the device failed to read the program's answers")
                period = self.RECONNECT_S
            self._publish()
            self._wake.clear()
            try:
                await asyncio.wait_for(self._wake.wait(), period)
            except asyncio.TimeoutError:
                pass

    async def _follow_once(self) -> float:
        if self._client is None:
            client = vuzaravarede.AsyncFilter(self._host, self._port, timeout_s=self._timeout_s)
            try:
                await client.connect()
            except (FilterError, OSError) as error:
                self._unreachable = tango_text(str(error))
                return self.RECONNECT_S
            self._client, self._unreachable = client, None
            self._session, self._band, self._progress = None, None, NO_PROGRESS
            self._publish()  # INIT until the first answer
        try:
            await self._read_program()
        except FilterError as error:
            await self._drop(tango_text(str(error)))
            return self.RECONNECT_S
        busy = self._operations or (self._session and self._session.stage in (
            OPENING, BUSY, SCANNING))
        return self.BUSY_POLL_S if busy else self.IDLE_POLL_S

    async def _read_program(self) -> None:
        """One round of the read-only queries; what it learns is taken at once, at the end."""
        async with self._round:
            client = self._client
            if client is None:
                return
            plan = self._plan  # a plan made before this round's first query
            before = self._session
            session = await program.session(client)
            scanning = session.stage == SCANNING
            limits = self._limits
            if before is None or (session.stage in WITH_TABLE) != (before.stage in WITH_TABLE):
                limits = await program.limits(client)
            progress = self._progress
            # A scan the device started may have ended before a round saw it run.
            was_scanning = self._scan_started or (before is not None and before.stage == SCANNING)
            ended = was_scanning and not scanning
            read_progress = before is None or scanning or ended
            if read_progress:
                progress = await client.progress
            band = self._band
            if before is None or not scanning or progress.done != self._progress.done:
                band = await client.band
            report = await self._end_report(client) if ended else ""
            self._session, self._band, self._progress = session, band, progress
            if report:
                self._last_scan = report
            elif scanning and not was_scanning:
                self._last_scan = ""
            self._scan_started = False
            if plan is not None and plan is self._plan:
                plan.seen = plan.seen or read_progress
                plan.over = not scanning
            if limits != self._limits or before is None:
                self._limits = limits
                self._apply_limits(limits)

    async def _end_report(self, client: "vuzaravarede.AsyncFilter") -> str:
        """The ended scan's report (SUCCESS, ABORT, FAIL), read with an empty line; "" when
        a client of the device already took it (Stop)."""
        report = await client.ask("")
        if report == "SCAN FAIL":
            code, text = await client.last_error()
            self._last_error = f"{code}: {tango_text(text)}"
        return report.split()[-1] if report else ""

    def _apply_limits(self, limits: Optional[Limits]) -> None:
        """Wavelength and Bandwidth take the loaded table's range as their min and max."""
        ranges = (("Wavelength", limits.cwl_min, limits.cwl_max),
                  ("Bandwidth", limits.fwhm_min, limits.fwhm_max)) if limits else \
            (("Wavelength", None, None), ("Bandwidth", None, None))
        attributes = self.get_device_attr()
        for name, low, high in ranges:
            attr = attributes.get_w_attr_by_name(name)
            if low is None:
                conf = attr.get_properties()
                conf.min_value = conf.max_value = "Not specified"
                attr.set_properties(conf)
            else:
                attr.set_min_value(low)
                attr.set_max_value(high)

    async def _drop(self, reason: str) -> None:
        """Closes the connection: the program is unreachable until the next one."""
        client, self._client = self._client, None
        self._unreachable = reason
        self._session, self._band, self._plan = None, None, None
        if client is not None:
            try:
                await asyncio.wait_for(client.close(), 1.0)
            except Exception:  # noqa: BLE001 - a broken connection may fail to close too
                pass

    # ------------------------------------------------------------------ state and events

    def _state(self) -> Tuple[DevState, str]:
        if self._fault:
            return DevState.FAULT, self._fault
        if self._client is None:
            if self._unreachable is None:
                return DevState.INIT, f"Connecting to the program at {self._where}."
            return DevState.FAULT, (f"The program at {self._where} cannot be reached "
                                    f"({self._unreachable}). The device tries again by itself.")
        session = self._session
        if session is None:
            return DevState.INIT, (f"Connected to the program at {self._where}; asking for "
                                   "its instrument session.")
        if self._operations:
            return DevState.MOVING, f"{self._operations[-1]} under way."
        if session.stage == SEARCHING:
            return DevState.DISABLE, ("No instrument: the program is searching for it "
                                      "(SEARCHING).")
        if session.stage == OPENING:
            return DevState.DISABLE, "The program is opening its instrument session (OPENING)."
        if session.stage == UNUSABLE:
            return DevState.DISABLE, (
                "The instrument session is unusable: its information or calibration table "
                f"could not be read (UNUSABLE, {session.code}). Reset reads them again.")
        if session.stage == BUSY:
            return DevState.MOVING, "The program is busy with the instrument (BUSY)."
        if session.stage == SCANNING:
            done, total = self._progress.done, self._progress.total
            return DevState.RUNNING, f"Scanning: point {done} of {total}."
        text = "Ready."
        if self._last_scan:
            text += f" Last scan: {self._last_scan}."
        return DevState.ON, text

    def dev_state(self) -> DevState:
        return self._state()[0]

    def dev_status(self) -> str:
        return self._state()[1]

    def _band_values(self, band: Optional[Band] = None) -> Dict[str, Optional[float]]:
        if band is None:
            band = self._band
        if band is None:
            return dict.fromkeys(BAND_ATTRIBUTES)
        return dict(zip(BAND_ATTRIBUTES, (band.cwl_nm, band.fwhm_nm, band.sw_nm, band.lw_nm)))

    def _publish(self) -> None:
        """Pushes a change event for each attribute of EVENTS whose value (or quality) differs
        from the one pushed last; during a scan of this device, first those of the points the
        reading of the program passed over, in order."""
        state, status = self._state()
        self.set_state(state)
        self.set_status(status)
        plan = self._plan
        if plan is not None and plan.seen and self._client is not None:
            skipped = plan.catch_up(self._progress, self._band)
            if skipped is None:
                log.info("the scan's progress does not follow its request: events follow "
                         "what the device reads")
                self._plan = None
            for band in skipped or ():
                self._push(self._band_values(band))
        if plan is not None and plan.over:
            self._plan = None
        values: Dict[str, Any] = {"State": state, "Status": status}
        values.update(self._band_values())
        values["ScanProgress"] = self._percent() if self._client is not None else None
        self._push(values)

    def _push(self, values: Dict[str, Any]) -> None:
        """Pushes a change event for each of `values` that differs from the one pushed last."""
        for name, value in values.items():
            if name in self._pushed and self._pushed[name] == value:
                continue
            try:
                if name in ("State", "Status"):
                    self.push_change_event(name)
                elif value is None:
                    self.push_change_event(name, 0.0, time.time(), AttrQuality.ATTR_INVALID)
                else:
                    self.push_change_event(name, float(value))
            except tango.DevFailed:
                continue  # tried again at the next change or round
            self._pushed[name] = value

    def _percent(self) -> float:
        done, total = self._progress.done, self._progress.total
        return 100.0 * done / total if total > 0 else 0.0

    # ------------------------------------------------------------------ requests

    def _fail(self, reason: str, text: str, origin: str) -> None:
        """Refuses a client's request (DevFailed); LastError keeps it."""
        text = tango_text(text)
        self._last_error = f"{reason}: {text}"
        tango.Except.throw_exception(reason, text, f"TunableFilter.{origin}")

    def _connected(self, origin: str) -> "vuzaravarede.AsyncFilter":
        state, status = self._state()
        if self._fault or self._client is None:
            self._fail("FAULT", status, origin)
        return self._client

    async def _request(self, origin: str, work: Callable[[Any], Awaitable[Any]],
                       moving: bool) -> Any:
        """Runs work(client) on the program; DevFailed with the program's code for a refusal,
        with FAULT for a lost connection. Then one round of reading the program, so that State
        and the events tell what the request did."""
        client = self._connected(origin)
        if moving:
            self._operations.append("Move" if origin not in ("Reset",) else "Reset")
            self._publish()
        failure: Optional[Tuple[str, str]] = None
        result = None
        try:
            result = await work(client)
            self._last_error = ""
        except FilterError as error:
            if is_refusal(error):
                failure = (error.code, error.text)
            else:
                await self._drop(tango_text(str(error)))
                failure = ("FAULT", self._state()[1])
        finally:
            if moving:
                self._operations.pop()
        try:
            await self._read_program()
        except FilterError as error:
            await self._drop(tango_text(str(error)))
        self._publish()
        self._wake.set()
        if failure:
            self._fail(failure[0], failure[1], origin)
        return result

    async def _in_background(self, origin: str, work: Callable[[Any], Awaitable[Any]],
                             moving: bool) -> None:
        """A request that may outlast a Tango client's wait: its refusal is raised when it
        comes within REPLY_WINDOW_S; a later outcome shows in State and LastError."""
        task = asyncio.get_event_loop().create_task(self._request(origin, work, moving))
        task.add_done_callback(lambda done: done.cancelled() or done.exception())
        await asyncio.wait({task}, timeout=self.REPLY_WINDOW_S)
        if task.done():
            task.result()

    def _numbers(self, values: Sequence[float], names: Sequence[str], origin: str) -> List[float]:
        """The values as numbers, or DevFailed (code NONE) before anything is sent."""
        if len(values) != len(names):
            self._fail("NONE", f"{origin} takes {len(names)} values ({', '.join(names)}), "
                               f"not {len(values)}.", origin)
        for name, value in zip(names, values):
            if not math.isfinite(value):
                self._fail("NONE", f"{name} must be a number, not {value}.", origin)
        return [float(v) for v in values]

    async def _set_band(self, cwl: float, fwhm: float, origin: str) -> None:
        self._set_point = [cwl, fwhm]
        await self._request(origin, lambda client: client.set_band(cwl, fwhm), moving=True)

    def _other_half(self, index: int, origin: str) -> float:
        """The current CWL (0) or FWHM (1); while the band is unknown, the one asked for last."""
        value = self._band[index] if self._band is not None else self._set_point[index]
        if value is None:
            self._fail("NONE", "The band is unknown (the filter is homed): give both values "
                               "with SetBand.", origin)
        return value

    # ------------------------------------------------------------------ attributes

    def _reading(self, value: Optional[float]):
        if value is None:
            return 0.0, time.time(), AttrQuality.ATTR_INVALID
        return value

    async def _fresh_band(self) -> None:
        """Reads BAND again unless a request of this device holds the connection (a move): the
        attribute then answers the last band at once."""
        if self._client is None or self._operations:
            return
        async with self._round:
            if self._client is None:
                return
            try:
                band = await self._client.band
            except FilterError:
                self._wake.set()  # the task finds the fault and reconnects
                return
        if band != self._band:
            self._band = band
            self._wake.set()  # its events are pushed by the task

    Wavelength = attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="nm",
                           format="%.1f", label="CWL",
                           doc="Centre wavelength of the pass band; writing it moves the filter "
                               "(the bandwidth stays). INVALID while the band is unknown.")
    Bandwidth = attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="nm",
                          format="%.1f", label="FWHM",
                          doc="Full width at half maximum of the pass band; writing it moves "
                              "the filter (the centre wavelength stays)")
    ShortEdge = attribute(dtype=float, unit="nm", format="%.1f", label="SW",
                          doc="Short-wavelength edge of the pass band (CWL - FWHM/2)")
    LongEdge = attribute(dtype=float, unit="nm", format="%.1f", label="LW",
                         doc="Long-wavelength edge of the pass band (CWL + FWHM/2)")

    async def read_Wavelength(self):
        await self._fresh_band()
        return self._reading(self._band_values()["Wavelength"])

    async def write_Wavelength(self, cwl: float) -> None:
        await self._set_band(cwl, self._other_half(1, "Wavelength"), "Wavelength")

    async def read_Bandwidth(self):
        await self._fresh_band()
        return self._reading(self._band_values()["Bandwidth"])

    async def write_Bandwidth(self, fwhm: float) -> None:
        await self._set_band(self._other_half(0, "Bandwidth"), fwhm, "Bandwidth")

    async def read_ShortEdge(self):
        await self._fresh_band()
        return self._reading(self._band_values()["ShortEdge"])

    async def read_LongEdge(self):
        await self._fresh_band()
        return self._reading(self._band_values()["LongEdge"])

    ScanProgress = attribute(dtype=float, unit="%", format="%.1f", label="Scan progress",
                             min_value=0.0, max_value=100.0,
                             doc="Points of the current (or last) scan done, in percent")
    ScanPoint = attribute(dtype=int, format="%d", label="Scan point",
                          doc="Points of the current (or last) scan done")
    ScanPoints = attribute(dtype=int, format="%d", label="Scan points",
                           doc="Points of the current (or last) scan in all")
    LastError = attribute(dtype=str, label="Last error",
                          doc='The last refusal, "CODE: text" (empty after a success)')

    def read_ScanProgress(self):
        return self._reading(self._percent() if self._client is not None else None)

    def read_ScanPoint(self) -> int:
        return self._progress.done

    def read_ScanPoints(self) -> int:
        return self._progress.total

    def read_LastError(self) -> str:
        return self._last_error

    # ------------------------------------------------------------------ commands

    @command(dtype_in=(float,), doc_in="[cwl, fwhm] in nm: the band to move to")
    async def SetBand(self, values: Sequence[float]) -> None:
        cwl, fwhm = self._numbers(values, ("CWL", "FWHM"), "SetBand")
        await self._set_band(cwl, fwhm, "SetBand")

    @command(dtype_in=(float,), doc_in="[sw, lw] in nm: the band's short and long edges")
    async def SetEdges(self, values: Sequence[float]) -> None:
        sw, lw = self._numbers(values, ("SW", "LW"), "SetEdges")
        await self._request("SetEdges", lambda client: client.set_edges(sw, lw), moving=True)

    @command(dtype_in=(float,),
             doc_in="[start, end, fwhm, step] in nm and [delay] in s: returns once the scan "
                    "has started")
    async def Scan(self, values: Sequence[float]) -> None:
        start, end, fwhm, step, delay = self._numbers(
            values, ("START", "END", "FWHM", "STEP", "TimeDelay"), "Scan")
        async def scan(client) -> None:
            await client.start_scan(start, end, fwhm, step, delay)
            self._last_scan, self._scan_started = "", True
            # Off the 0.1 nm grid, the points depend on how the program was built: events
            # then follow what the device reads.
            self._plan = ScanPlan(start, end, fwhm, step) if on_tenths(step) else None
        await self._request("Scan", scan, moving=False)

    @command(doc_in="Stops the running scan; returns once the filter is at rest (or after "
                    "2.5 s, with the stop going on)")
    async def Stop(self) -> None:
        async def stop(client) -> None:
            if not await client.stop():
                raise vuzaravarede.FilterError("NONE", "No Scan.", "STOP")
            self._last_scan = "ABORT"
        await self._in_background("Stop", stop, moving=False)

    @command(doc_in="Homes the filter (a running scan is stopped first); returns after 2.5 s "
                    "at most, the homing going on")
    async def Reset(self) -> None:
        async def reset(client) -> None:
            if self._session is not None and self._session.stage == SCANNING:
                if await client.stop():
                    self._last_scan = "ABORT"
            await client.reset()
        await self._in_background("Reset", reset, moving=True)
