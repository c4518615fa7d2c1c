"""The TunableFilter device against the unchanged program and the instrument simulator of
VR_BIN_DIR (default build/bin): states that follow the program's session from its start without
a homing of the device's own, writes move the instrument and read back the band, a scan
followed through change events, a stopped scan, refusals, no instrument, and the program
stopped and started again."""

import os
import time
import unittest

from tangorig import ROOT, Events, HANG_S, device_context, failure, main, wait_state

from programrig import ProgramRig, sample_positions
from tango import AttrQuality, DevState

BIN = os.environ.get("VR_BIN_DIR", os.path.join(ROOT, "build", "bin"))


class DeviceAgainstProgram(unittest.TestCase):

    def setUp(self):
        self.rig = ProgramRig(BIN)
        self.addCleanup(self.rig.close)

    def start_device(self):
        context = device_context(self.rig.port, timeout_s=30.0)
        proxy = context.__enter__()
        self.addCleanup(context.__exit__, None, None, None)
        return proxy

    def ready_device(self):
        """The program with a session and the device ON on it."""
        self.rig.start_sim()
        self.rig.start_program()
        self.rig.wait_session()
        proxy = self.start_device()
        wait_state(proxy, DevState.ON)
        return proxy

    def test_started_on_a_ready_program_the_device_homes_nothing(self):
        self.rig.start_sim()
        self.rig.start_program()
        self.rig.wait_session()
        before = len(self.rig.commands())
        proxy = self.start_device()
        wait_state(proxy, DevState.ON)
        self.assertEqual(proxy.read_attribute("Wavelength").quality, AttrQuality.ATTR_INVALID)
        proxy.SetBand([500.0, 10.0])
        # Between the device's start and the move asked for, the instrument heard nothing.
        commands = self.rig.commands()[before:]
        self.assertTrue(commands and all(c.startswith(("GO", "POS")) for c in commands),
                        commands)

    def test_started_on_an_opening_program_never_on_before_the_session_is_ready(self):
        self.rig.start_sim()
        self.rig.start_program()
        self.rig.wait_listening()  # so that the device's first connection finds the program
        proxy = self.start_device()
        seen = []  # (state, the session's homing done by then)
        deadline = time.monotonic() + HANG_S
        while not seen or seen[-1][0] != DevState.ON:
            homed = "HOME 3" in self.rig.commands()
            state = proxy.state()
            if not seen or seen[-1][0] != state:
                seen.append((state, homed))
            self.assertLess(time.monotonic(), deadline, f"states seen: {seen}")
            time.sleep(0.02)
        # INIT lasts until the program's first answer, often over before the proxy is there;
        # the program answers BUSY while its session's start homes the filter (MOVING).
        states = [state for state, _ in seen]
        states = states[1:] if states[0] == DevState.INIT else states
        self.assertEqual((states[0], states[-1]), (DevState.DISABLE, DevState.ON), seen)
        self.assertLessEqual(set(states[1:-1]), {DevState.DISABLE, DevState.MOVING}, seen)
        self.assertTrue(seen[-1][1], "ON before the program's session had homed the filter")
        self.assertEqual(self.rig.commands("HOME"), ["HOME 3"])

    def test_writes_move_the_instrument_and_read_back_the_band(self):
        proxy = self.ready_device()
        steps = [
            ("SetBand", lambda: proxy.SetBand([500.0, 10.0]), (500.0, 10.0)),
            ("Bandwidth", lambda: proxy.write_attribute("Bandwidth", 5.0), (500.0, 5.0)),
            ("Wavelength", lambda: proxy.write_attribute("Wavelength", 612.5), (612.5, 5.0)),
            ("SetEdges", lambda: proxy.SetEdges([545.0, 555.0]), (550.0, 10.0)),
        ]
        for name, call, (cwl, fwhm) in steps:
            with self.subTest(name):
                call()
                self.assertEqual(self.rig.commands("GO")[-1], "GO 3 " + sample_positions(cwl,
                                                                                        fwhm))
                self.assertEqual((proxy.Wavelength, proxy.Bandwidth, proxy.ShortEdge,
                                  proxy.LongEdge), (cwl, fwhm, cwl - fwhm / 2, cwl + fwhm / 2))
                self.assertEqual(proxy.state(), DevState.ON)
                self.assertEqual(proxy.LastError, "")

        moves = len(self.rig.commands("GO"))
        self.assertEqual(failure(lambda: proxy.SetBand([900.0, 10.0])),
                         ("ERRSE04", "Out of range. Please set [CWL] <= 800.0"))
        self.assertEqual(proxy.LastError, "ERRSE04: Out of range. Please set [CWL] <= 800.0")
        # The table's range, from the program, bounds the attributes: Tango refuses at once.
        self.assertEqual((proxy.get_attribute_config("Wavelength").min_value,
                          proxy.get_attribute_config("Wavelength").max_value), ("400", "800"))
        self.assertEqual(failure(lambda: proxy.write_attribute("Wavelength", 900.0))[0],
                         "API_WAttrOutsideLimit")
        self.assertEqual(len(self.rig.commands("GO")), moves)
        self.assertEqual(proxy.Wavelength, 550.0)

        proxy.Reset()
        wait_state(proxy, DevState.ON)
        self.assertEqual(proxy.read_attribute("Wavelength").quality, AttrQuality.ATTR_INVALID)

    def test_scan_followed_through_events_and_stopped(self):
        proxy = self.ready_device()
        events = Events(proxy, ["State", "Wavelength", "ScanProgress"])
        self.addCleanup(events.close)
        proxy.SetBand([450.0, 10.0])  # an event after the subscription: it is live
        events.wait(lambda: 450.0 in events.values("Wavelength"), "Wavelength 450")

        mark, moves = events.mark(), len(self.rig.commands("GO"))
        proxy.Scan([500.0, 510.0, 10.0, 2.0, 0.1])
        events.wait(lambda: DevState.ON in events.since(mark, "State"), "the scan's end")
        points = [500.0, 502.0, 504.0, 506.0, 508.0, 510.0]
        self.assertEqual(self.rig.commands("GO")[moves:],
                         ["GO 3 " + sample_positions(cwl, 10.0) for cwl in points])
        self.assertEqual(events.since(mark, "Wavelength"), points)
        self.assertEqual(events.since(mark, "State"), [DevState.RUNNING, DevState.ON])
        progress = events.since(mark, "ScanProgress")
        self.assertEqual(progress, sorted(progress))
        self.assertEqual(progress[-1], 100.0)
        self.assertEqual((proxy.ScanPoint, proxy.ScanPoints), (6, 6))
        self.assertIn("Last scan: SUCCESS", proxy.status())

        mark = events.mark()
        proxy.Scan([500.0, 700.0, 10.0, 1.0, 0.1])
        events.wait(lambda: len(events.since(mark, "Wavelength")) >= 3, "three points")
        proxy.Stop()
        wait_state(proxy, DevState.ON)
        self.assertIn("Last scan: ABORT", proxy.status())
        self.assertLess(proxy.ScanPoint, proxy.ScanPoints)
        self.assertEqual(proxy.ScanPoints, 201)
        events.wait(lambda: DevState.ON in events.since(mark, "State"), "State ON")
        self.assertEqual(proxy.Wavelength, events.since(mark, "Wavelength")[-1])

    def test_disabled_without_an_instrument_fault_without_the_program(self):
        self.rig.start_program()
        proxy = self.start_device()
        wait_state(proxy, DevState.DISABLE)
        self.assertEqual(failure(lambda: proxy.SetBand([500.0, 10.0])),
                         ("NONE", "Device not ready. Please connect QVL Rari."))

        self.assertEqual(self.rig.stop_program(), 0)
        wait_state(proxy, DevState.FAULT)
        self.assertIn(f"127.0.0.1:{self.rig.port}", proxy.status())
        self.assertEqual(failure(lambda: proxy.SetBand([500.0, 10.0]))[0], "FAULT")

        # The program comes back, and finds the instrument: the device follows by itself.
        self.rig.start_sim()
        self.rig.start_program()
        wait_state(proxy, DevState.ON)
        proxy.SetBand([500.0, 10.0])
        self.assertEqual(self.rig.commands("GO")[-1], "GO 3 " + sample_positions(500.0, 10.0))


if __name__ == "__main__":
    main()
