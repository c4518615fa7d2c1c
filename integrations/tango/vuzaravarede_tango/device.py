"""The filter as a Tango device: `TunableFilter`, a client of the program's remote control.

The program stays the only owner of the serial line and shows everything in its window; this
device holds the program's one remote connection for as long as it runs, and turns Tango
requests into the program's requests. A polling thread shares that connection (under the
link's lock) to follow scans and moves and to push change events.

Threads: Tango serves clients concurrently (the device server runs without Tango's own
serialisation), so a client can read State while another one's move is under way. All state the
device keeps is guarded by `_mutex`; events are pushed under `_events` by whichever thread saw
the change (a push only queues the event for Tango's event channel, so subscribers never hold up
the line).
"""

import math
import threading
import time
from typing import Callable, List, Optional, Sequence, Tuple

import tango
from tango import AttrQuality, AttrWriteType, DevState
from tango.server import Device, attribute, command, device_property

from .link import Busy, FilterError, ProgramLink, Unreachable, is_refusal, tango_text

Band = Tuple[float, float, float, float]  # cwl, fwhm, sw, lw in nm
Progress = Tuple[int, int, float, float]  # done, total, elapsed s, remaining s

NAN = float("nan")
NO_PROGRESS: Progress = (0, 0, 0.0, 0.0)

# The program's answer to a request it cannot start because it has no instrument session.
NOT_READY_TEXTS = ("Device not ready", "Reset failure. Device not ready")


def _is_not_ready(error: FilterError) -> bool:
    return error.code == "NONE" and any(error.text.startswith(t) for t in NOT_READY_TEXTS)


def _is_busy(error: FilterError) -> bool:
    return error.code == "NONE" and error.text.startswith("Device busy")


def _same(a: float, b: float) -> bool:
    return a == b or (math.isnan(a) and math.isnan(b))


class TunableFilter(Device):
    """The motorised tunable band-pass filter, driven through the VuzaRavarede program's remote
    control at Host:Port."""

    Host = device_property(dtype=str, default_value="localhost",
                           doc="Host name or address of the PC running the program")
    Port = device_property(dtype=int, default_value=5050,
                           doc="The program's remote control port (PortNum of its settings)")
    Timeout = device_property(dtype=float, default_value=30.0,
                              doc="Seconds to wait for one answer of the program")

    # Polling periods (s): during a scan fast enough to see every point (the program moves at
    # most every ~200 ms), otherwise just often enough to notice a lost program or instrument.
    SCAN_POLL_S = 0.05
    IDLE_POLL_S = 0.5
    RECONNECT_S = 1.0
    PROBE_S = 2.0
    # Longest a command keeps its Tango client waiting (under the client's default 3 s time-out).
    # A reset or stop that takes longer goes on in the background; the State says so.
    REPLY_WINDOW_S = 2.5
    # Longest a move waits for the connection before it is refused as busy.
    LOCK_WAIT_S = 1.5
    # A probe that takes longer than this is moving the filter (a homing), shown as MOVING.
    MOVING_AFTER_S = 0.3

    # ------------------------------------------------------------------ life cycle

    def init_device(self) -> None:
        super().init_device()
        # Without Tango's per-device serialisation a State read is answered during a move; the
        # device's own locks make that safe.
        tango.Util.instance().set_serial_model(tango.SerialModel.NO_SYNC)
        self._mutex = threading.RLock()
        self._events = threading.Lock()
        self._link = ProgramLink(self.Host, int(self.Port), float(self.Timeout))
        self._band: Optional[Band] = None
        self._progress: Progress = NO_PROGRESS
        self._ready: Optional[bool] = None  # does the program have an instrument session?
        self._not_ready = ""                # why not, in the program's words
        self._scanning = False
        self._moving: List[str] = []        # operations under way
        self._last_error = ""
        self._last_scan = ""
        self._next_probe = 0.0
        self._pushed: dict = {}
        self._set_point: List[float] = [NAN, NAN]  # cwl, fwhm last asked for
        self._probing = False
        self._wake = threading.Event()
        for name in ("State", "Wavelength", "ScanProgress"):
            self.set_change_event(name, True, False)
        self._stopping = threading.Event()
        self._poller = threading.Thread(target=self._poll_loop, name="TunableFilter poller",
                                        daemon=True)
        self._poller.start()

    def delete_device(self) -> None:
        self._stopping.set()
        self._wake.set()
        if self._poller.is_alive() and self._poller is not threading.current_thread():
            self._poller.join(self.REPLY_WINDOW_S + float(self.Timeout))
        self._link.close()
        super().delete_device()

    # ------------------------------------------------------------------ state

    def _state(self) -> Tuple[DevState, str]:
        with self._mutex:
            if not self._link.connected:
                return DevState.FAULT, (
                    f"The program cannot be reached ({tango_text(self._link.fault)}). "
                    f"The device reconnects by itself.")
            if self._scanning:
                done, total = self._progress[0], self._progress[1]
                return DevState.RUNNING, f"Scanning: point {done} of {total}."
            if self._moving:
                return DevState.MOVING, f"{self._moving[-1]} under way."
            if self._ready is False:
                return DevState.DISABLE, self._not_ready
            text = "Ready."
            if self._last_scan:
                text += f" Last scan: {self._last_scan}."
            if self._last_error:
                text += f" Last error: {self._last_error}"
            return DevState.ON, text

    # Both are answered from the device's own fields. The status is never stored in Tango's
    # (a string written by several threads at once); the state is, since a pushed State event
    # carries the stored one.
    def dev_state(self) -> DevState:
        state = self._state()[0]
        self.set_state(state)
        return state

    def dev_status(self) -> str:
        return self._state()[1]

    def _publish(self) -> None:
        """Pushes a change event for each of State, Wavelength and ScanProgress whose value
        differs from the one pushed last."""
        with self._events:
            with self._mutex:
                state = self._state()[0]
                values = {"State": state}
                if self._link.connected:
                    values["Wavelength"] = self._band[0] if self._band else NAN
                    values["ScanProgress"] = self._percent(self._progress)
            self.set_state(state)
            for name, value in values.items():
                before = self._pushed.get(name)
                if before is not None and (before == value if name == "State"
                                           else _same(before, value)):
                    continue
                self._pushed[name] = value
                self.push_change_event(name, value)

    @staticmethod
    def _percent(progress: Progress) -> float:
        done, total = progress[0], progress[1]
        return 100.0 * done / total if total > 0 else 0.0

    # ------------------------------------------------------------------ errors

    def _fail(self, reason: str, text: str, origin: str) -> None:
        text = tango_text(text)
        with self._mutex:
            self._last_error = f"{reason}: {text}"
        tango.Except.throw_exception(reason, text, f"TunableFilter.{origin}")

    def _refused(self, error: FilterError) -> None:
        """Takes note of a refusal of the program: what it says about its session."""
        text = f"{error.code}: {tango_text(error.text)}"
        with self._mutex:
            self._last_error = text
            if _is_not_ready(error):
                self._ready = False
                self._not_ready = ("The program has no instrument session (Device not ready). "
                                   "Connect the instrument.")
            elif _is_busy(error) and self._ready is not True:
                self._ready = False
                self._not_ready = "The program is opening its instrument session (Device busy.)."
            elif error.code == "ERRDV02":
                # The instrument stopped answering: the program closed the session and looks
                # for the instrument again.
                self._ready = None

    def _run(self, origin: str, work: Callable, moving: Optional[str], wait: Optional[float]):
        """Runs work(client) holding the connection; DevFailed for every refusal."""
        try:
            with self._link.hold(wait) as client:
                if moving:
                    with self._mutex:
                        self._moving.append(moving)
                    self._publish()
                try:
                    result = work(client)
                finally:
                    if moving:
                        with self._mutex:
                            self._moving.remove(moving)
        except FilterError as error:
            self._refused(error)
            self._publish_quietly()
            self._fail(error.code, error.text, origin)
        except Busy:
            self._fail("NONE", "Device busy.", origin)
        except Unreachable as error:
            self._publish_quietly()
            self._fail("FAULT", f"The program cannot be reached ({error}).", origin)
        finally:
            self._wake.set()  # the poller follows at once what the request started
        self._publish_quietly()
        return result

    def _publish_quietly(self) -> None:
        """Pushes what changed; a failed push is retried by the poller's next round."""
        try:
            self._publish()
        except tango.DevFailed:
            self._wake.set()

    def _numbers(self, values: Sequence[float], names: Sequence[str], origin: str) -> List[float]:
        """The values as numbers, or DevFailed (code NONE) before anything is sent."""
        if len(values) != len(names):
            self._fail("NONE", f"{origin} takes {len(names)} values ({', '.join(names)}), "
                               f"not {len(values)}.", origin)
        for name, value in zip(names, values):
            if not math.isfinite(value):
                self._fail("NONE", f"{name} must be a number, not {value}.", origin)
        return [float(v) for v in values]

    # ------------------------------------------------------------------ moves

    def _move(self, origin: str, work: Callable) -> None:
        def go(client):
            work(client)
            band = client.band
            with self._mutex:
                self._band = band
                self._ready = True
                self._last_error = ""
        self._run(origin, go, "Move", self.LOCK_WAIT_S)

    def _set_band(self, cwl: float, fwhm: float, origin: str) -> None:
        self._numbers([cwl, fwhm], ("CWL", "FWHM"), origin)
        with self._mutex:
            self._set_point = [cwl, fwhm]
        self._move(origin, lambda client: client.set_band(cwl, fwhm))

    def _other_half(self, index: int, origin: str) -> float:
        """The current CWL (0) or FWHM (1); while homed, the one asked for last."""
        with self._mutex:
            value = self._band[index] if self._band is not None else self._set_point[index]
        if math.isnan(value):
            self._fail("NONE", "The filter is homed: give both values with SetBand.", origin)
        return value

    # ------------------------------------------------------------------ the band

    def _read_band(self) -> Tuple[Optional[Band], AttrQuality]:
        """The band read back from the program now, or the last one when the connection is
        busy with a move or a scan step."""
        try:
            with self._link.hold(0.05) as client:
                band = client.band
            with self._mutex:
                self._band = band
                if band is not None:
                    self._ready = True
        except Busy:
            pass
        except FilterError as error:
            self._refused(error)
            self._fail(error.code, error.text, "read")
        except Unreachable as error:
            self._fail("FAULT", f"The program cannot be reached ({error}).", "read")
        with self._mutex:
            quality = AttrQuality.ATTR_CHANGING if (self._moving or self._scanning) \
                else AttrQuality.ATTR_VALID
            return self._band, quality

    def _band_value(self, index: int):
        band, quality = self._read_band()
        return (band[index] if band else NAN), time.time(), quality

    Wavelength = attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="nm",
                           format="%.1f", label="Centre wavelength",
                           doc="Centre wavelength (CWL) of the band; NaN while homed. Writing "
                               "moves the filter, keeping the current Bandwidth.")
    Bandwidth = attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="nm",
                          format="%.1f", label="Bandwidth (FWHM)",
                          doc="Full width at half maximum of the band; NaN while homed. "
                              "Writing moves the filter, keeping the current Wavelength.")
    ShortEdge = attribute(dtype=float, unit="nm", format="%.1f", label="Short edge",
                          doc="Short-wavelength edge (SW) of the band; NaN while homed")
    LongEdge = attribute(dtype=float, unit="nm", format="%.1f", label="Long edge",
                         doc="Long-wavelength edge (LW) of the band; NaN while homed")

    def read_Wavelength(self):
        return self._band_value(0)

    def write_Wavelength(self, value: float) -> None:
        self._set_band(value, self._other_half(1, "write_Wavelength"), "write_Wavelength")

    def read_Bandwidth(self):
        return self._band_value(1)

    def write_Bandwidth(self, value: float) -> None:
        self._set_band(self._other_half(0, "write_Bandwidth"), value, "write_Bandwidth")

    def read_ShortEdge(self):
        return self._band_value(2)

    def read_LongEdge(self):
        return self._band_value(3)

    # ------------------------------------------------------------------ scan progress

    def _read_progress(self) -> Progress:
        try:
            with self._link.hold(0.05) as client:
                progress = client.progress
            with self._mutex:
                self._progress = progress
        except Busy:
            pass
        except FilterError as error:
            self._refused(error)
            self._fail(error.code, error.text, "read")
        except Unreachable as error:
            self._fail("FAULT", f"The program cannot be reached ({error}).", "read")
        with self._mutex:
            return self._progress

    ScanProgress = attribute(dtype=float, unit="%", format="%.1f", label="Scan progress",
                             min_value=0.0, max_value=100.0,
                             doc="Points of the current (or last) scan done, in percent")
    ScanPoint = attribute(dtype=int, format="%d", label="Scan point",
                          doc="Points of the current (or last) scan done")
    ScanPoints = attribute(dtype=int, format="%d", label="Scan points",
                           doc="Points of the current (or last) scan in all")
    LastError = attribute(dtype=str, label="Last error",
                          doc='The last refusal, "CODE: text" (empty after a success)')

    def read_ScanProgress(self) -> float:
        return self._percent(self._read_progress())

    def read_ScanPoint(self) -> int:
        return self._read_progress()[0]

    def read_ScanPoints(self) -> int:
        return self._read_progress()[1]

    def read_LastError(self) -> str:
        with self._mutex:
            return self._last_error

    # ------------------------------------------------------------------ commands

    @command(dtype_in=(float,), doc_in="[cwl, fwhm] in nm: the band to move to")
    def SetBand(self, values: Sequence[float]) -> None:
        cwl, fwhm = self._numbers(values, ("CWL", "FWHM"), "SetBand")
        self._set_band(cwl, fwhm, "SetBand")

    @command(dtype_in=(float,), doc_in="[sw, lw] in nm: the band's short and long edges")
    def SetEdges(self, values: Sequence[float]) -> None:
        sw, lw = self._numbers(values, ("SW", "LW"), "SetEdges")
        self._move("SetEdges", lambda client: client.set_edges(sw, lw))

    @command(dtype_in=(float,),
             doc_in="[start, end, fwhm, step] in nm and [delay] in s: returns once the scan "
                    "has started")
    def Scan(self, values: Sequence[float]) -> None:
        start, end, fwhm, step, delay = self._numbers(
            values, ("START", "END", "FWHM", "STEP", "TimeDelay"), "Scan")

        def go(client):
            client.start_scan(start, end, fwhm, step, delay)
            with self._mutex:
                self._scanning = True
                self._ready = True
                self._last_scan = ""
                self._last_error = ""
                self._progress = NO_PROGRESS
            progress, band = client.progress, client.band
            with self._mutex:
                self._progress, self._band = progress, band
        self._run("Scan", go, None, self.LOCK_WAIT_S)

    @command(doc_in="Stops the running scan")
    def Stop(self) -> None:
        def go(client):
            if not self._stop_scan(client):
                self._fail("NONE", "No Scan.", "Stop")
        self._in_background("Stop", go)

    @command(doc_in="Homes the filter; a running scan is stopped first")
    def Reset(self) -> None:
        def go(client):
            with self._mutex:
                scanning = self._scanning
            if scanning:
                self._stop_scan(client)
            client.reset()
            with self._mutex:
                self._band = None
                self._ready = True
                self._last_error = ""
        self._in_background("Reset", go, moving="Reset")

    def _stop_scan(self, client) -> bool:
        """Stops the running scan; False when none was running."""
        stopped = client.stop()
        with self._mutex:
            self._scanning = False
            if stopped:
                self._last_scan = "ABORT"
        # The end report the program now holds ("SCAN ABORT") is left for the client.
        return stopped

    def _in_background(self, origin: str, work: Callable, moving: Optional[str] = None) -> None:
        """Runs a command that may take longer than a Tango client waits: its refusal (if any)
        is raised when it comes within REPLY_WINDOW_S; later outcomes show in State, Status
        and LastError."""
        outcome: dict = {}

        def worker():
            try:
                self._run(origin, work, moving, None)
            except tango.DevFailed as error:
                outcome["error"] = error
            except Exception as error:  # noqa: BLE001 - reported to the caller, never lost
                outcome["error"] = error
            finally:
                outcome["done"] = True
                self._publish_quietly()

        thread = threading.Thread(target=worker, name=f"TunableFilter {origin}", daemon=True)
        thread.start()
        thread.join(self.REPLY_WINDOW_S)
        if "error" in outcome:
            raise outcome["error"]

    # ------------------------------------------------------------------ poller

    def _poll_loop(self) -> None:
        while not self._stopping.is_set():
            try:
                period = self._poll_once()
            except Exception as error:  # noqa: BLE001 - the poller must outlive any surprise
                with self._mutex:
                    self._last_error = f"NONE: {tango_text(repr(error))}"
                period = self.RECONNECT_S
            try:
                self._publish()
            except tango.DevFailed:
                pass  # no subscriber can take the event now; the next poll tries again
            self._wake.wait(period)
            self._wake.clear()

    def _poll_once(self) -> float:
        if not self._link.connected:
            try:
                self._link.connect()
            except Unreachable:
                with self._mutex:
                    self._scanning = False
                return self.RECONNECT_S
            with self._mutex:
                # A new connection: nothing known about the program's session yet.
                self._ready = None
                self._scanning = False
                self._band = None
                self._next_probe = 0.0
        with self._mutex:
            scanning = self._scanning
            moving = bool(self._moving)
        if moving:
            return self.IDLE_POLL_S
        try:
            with self._link.hold(0.1) as client:
                if scanning:
                    self._poll_scan(client)
                else:
                    band = client.band
                    with self._mutex:
                        self._band = band
                        if band is not None:
                            self._ready = True
                    self._probe_if_needed(client)
        except Busy:
            return self.SCAN_POLL_S
        except Unreachable:
            with self._mutex:
                self._scanning = False
            return self.RECONNECT_S
        except FilterError as error:
            self._refused(error)
        with self._mutex:
            return self.SCAN_POLL_S if self._scanning else self.IDLE_POLL_S

    def _poll_scan(self, client) -> None:
        # An empty line brings the end report once the scan has ended; PROGRESS and BAND leave
        # it in place.
        report = client.ask("")
        failure = client.last_error() if report == "SCAN FAIL" else None
        progress = client.progress
        with self._mutex:
            changed = progress[0] != self._progress[0]
            self._progress = progress
        if changed or report:
            band = client.band
            with self._mutex:
                self._band = band
        if report:
            with self._mutex:
                self._scanning = False
                self._last_scan = report.split()[-1]
                if failure:
                    self._last_error = f"{failure[0]}: {tango_text(failure[1])}"

    def _probe_if_needed(self, client) -> None:
        """Finds out whether the program has an instrument session. Its protocol tells that
        only by refusing an operation ("Device not ready"), so while it is unknown and the
        filter is homed (or its position unknown), the device asks the program to home it; the
        program's own session start has just homed it too."""
        with self._mutex:
            due = (self._ready is False or (self._ready is None and self._band is None)) \
                and time.monotonic() >= self._next_probe
        if not due:
            return
        with self._mutex:
            self._probing = True
        moving_timer = threading.Timer(self.MOVING_AFTER_S, self._probe_moving)
        moving_timer.daemon = True
        moving_timer.start()
        try:
            client.reset()
            with self._mutex:
                self._ready = True
                self._band = None
        except FilterError as error:
            if not is_refusal(error):
                raise
            self._refused(error)
            with self._mutex:
                if error.code == "ERRDV03":
                    # The program has a session and the homing failed: no second attempt.
                    self._ready = True
                elif error.code.startswith("ERRDV") and error.code != "ERRDV02":
                    # A session without its information or calibration table: RESET reads
                    # them again, so asking again later is how the device sees it fixed.
                    self._ready = False
                    self._not_ready = ("The program's instrument session is not ready: "
                                       f"{error.code}: {tango_text(error.text)}")
        finally:
            moving_timer.cancel()
            with self._mutex:
                self._probing = False
                if "Reset" in self._moving:
                    self._moving.remove("Reset")
                self._next_probe = time.monotonic() + self.PROBE_S

    def _probe_moving(self) -> None:
        """The probe is homing the filter: MOVING until it is done."""
        with self._mutex:
            if not self._probing:
                return
            self._moving.append("Reset")
        self._publish()
