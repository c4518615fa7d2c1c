"""The TunableFilter device against a stand-in for the program's remote control: states and
recovery when the program is missing, gone, garbled or without an instrument, refusals as
DevFailed, two Tango clients at once, and a scan followed through change events."""

import math
import threading
import unittest

from tangorig import Events, device_context, failure, main, wait_state

import tango
from fake_program import FakeProgram, free_port
from tango import DevState


class DeviceAgainstFake(unittest.TestCase):

    def start_device(self, port: int):
        self.context = device_context(port)
        proxy = self.context.__enter__()
        self.addCleanup(self.context.__exit__, None, None, None)
        return proxy

    def start_fake(self, **settings) -> FakeProgram:
        fake = FakeProgram()
        for name, value in settings.items():
            setattr(fake, name, value)
        fake.start()
        self.addCleanup(fake.stop)
        return fake

    def test_fault_until_the_program_is_there_and_again_when_it_ends(self):
        port = free_port()
        proxy = self.start_device(port)
        wait_state(proxy, DevState.FAULT)
        self.assertIn(f"127.0.0.1:{port}", proxy.status())
        self.assertEqual(failure(lambda: proxy.SetBand([550.0, 10.0]))[0], "FAULT")
        self.assertEqual(failure(lambda: proxy.Wavelength)[0], "FAULT")

        fake = FakeProgram(port).start()
        try:
            wait_state(proxy, DevState.ON)
            proxy.SetBand([550.0, 10.0])
            self.assertEqual(fake.lines("SETC"), ["SETC,550.0,10.0"])
        finally:
            fake.stop()  # the program ends under the device
        wait_state(proxy, DevState.FAULT)

        fake = self.start_fake(port=port)
        wait_state(proxy, DevState.ON)
        proxy.SetBand([560.0, 5.0])
        self.assertEqual(fake.lines("SETC"), ["SETC,560.0,5.0"])
        self.assertEqual(proxy.Wavelength, 560.0)

    def test_garbage_answers_are_a_fault_and_the_device_recovers(self):
        fake = self.start_fake()
        proxy = self.start_device(fake.port)
        wait_state(proxy, DevState.ON)
        with fake.lock:
            fake.garbage = True
        wait_state(proxy, DevState.FAULT)
        with fake.lock:
            fake.garbage = False
        wait_state(proxy, DevState.ON)
        proxy.SetBand([550.0, 10.0])
        self.assertEqual(proxy.Bandwidth, 10.0)

    def test_refusals_raise_the_programs_code_and_move_nothing(self):
        fake = self.start_fake()
        proxy = self.start_device(fake.port)
        wait_state(proxy, DevState.ON)
        proxy.SetBand([550.0, 10.0])
        cases = [
            ("Wavelength 900", lambda: proxy.write_attribute("Wavelength", 900.0),
             "ERRSE04", "Out of range. Please set [CWL] <= 800.0"),
            ("Bandwidth 30", lambda: proxy.write_attribute("Bandwidth", 30.0),
             "ERRSE05", "Out of range. Please set 1.0 >= [FWHM]"),
            ("SetEdges below", lambda: proxy.SetEdges([300.0, 310.0]),
             "ERRSE03", "Out of range. Please set [CWL] >= 400.0"),
            ("SetBand NaN", lambda: proxy.SetBand([math.nan, 10.0]),
             "NONE", "CWL must be a number, not nan."),
            ("SetBand one value", lambda: proxy.SetBand([550.0]),
             "NONE", "SetBand takes 2 values (CWL, FWHM), not 1."),
            ("Stop without a scan", lambda: proxy.Stop(), "NONE", "No Scan."),
        ]
        for name, call, code, text in cases:
            with self.subTest(name):
                self.assertEqual(failure(call), (code, text))
                self.assertEqual(proxy.LastError, f"{code}: {text}")
                self.assertEqual((proxy.Wavelength, proxy.Bandwidth), (550.0, 10.0))
                self.assertEqual(proxy.state(), DevState.ON)
        # Tango itself refuses a NaN write; nothing reaches the program.
        self.assertEqual(failure(lambda: proxy.write_attribute("Wavelength", math.nan))[0],
                         "API_WAttrOutsideLimit")
        self.assertEqual(fake.lines("SET"), ["SETC,550.0,10.0", "SETC,900.0,10.0",
                                             "SETC,550.0,30.0", "SETR,300.0,310.0"])

    def test_disabled_without_an_instrument_until_the_program_has_one(self):
        fake = self.start_fake(session=False)
        proxy = self.start_device(fake.port)
        wait_state(proxy, DevState.DISABLE)
        self.assertIn("no instrument session", proxy.status())
        self.assertEqual(failure(lambda: proxy.SetBand([550.0, 10.0])),
                         ("NONE", "Device not ready. Please connect QVL Rari."))
        self.assertTrue(math.isnan(proxy.Wavelength))
        with fake.lock:
            fake.session = True
        wait_state(proxy, DevState.ON)
        proxy.SetBand([550.0, 10.0])

    def test_two_clients_writing_at_once_each_get_their_own_answer(self):
        fake = self.start_fake(move_s=0.3)
        proxy = self.start_device(fake.port)
        wait_state(proxy, DevState.ON)
        other = tango.DeviceProxy(self.context.get_device_access())
        proxy.SetBand([550.0, 10.0])
        for round_, (good, bad) in enumerate([(proxy, other), (other, proxy)]):
            with self.subTest(round=round_):
                outcome = {}
                barrier = threading.Barrier(2)

                def write(who, proxy_, value):
                    barrier.wait()
                    try:
                        proxy_.write_attribute("Wavelength", value)
                        outcome[who] = "ok"
                    except tango.DevFailed as error:
                        outcome[who] = error.args[0].reason

                threads = [threading.Thread(target=write, args=("good", good, 600.0 + round_)),
                           threading.Thread(target=write, args=("bad", bad, 900.0))]
                for thread in threads:
                    thread.start()
                # While a move holds the line, a third request is answered: MOVING.
                moving = False
                while not moving and any(thread.is_alive() for thread in threads):
                    moving = proxy.state() == DevState.MOVING
                self.assertTrue(moving)
                for thread in threads:
                    thread.join()
                self.assertEqual(outcome, {"good": "ok", "bad": "ERRSE04"})
                self.assertEqual(proxy.Wavelength, 600.0 + round_)
                self.assertEqual(proxy.state(), DevState.ON)
        # No request started before the previous one was answered.
        with fake.lock:
            spans = [(start, end) for start, end, _ in fake.requests]
        self.assertTrue(all(b[0] >= a[1] - 1e-3 for a, b in zip(spans, spans[1:])))

    def test_scan_through_events_a_failed_one_stopped_and_reset_midway(self):
        fake = self.start_fake(step_s=0.1)
        proxy = self.start_device(fake.port)
        wait_state(proxy, DevState.ON)
        events = Events(proxy, ["State", "Wavelength", "ScanProgress"])
        self.addCleanup(events.close)
        # The subscription is live once an event pushed after it arrives.
        proxy.SetBand([450.0, 10.0])
        events.wait(lambda: 450.0 in events.values("Wavelength"), "Wavelength 450")

        mark = events.mark()
        proxy.Scan([500.0, 510.0, 10.0, 2.0, 0.1])
        self.assertEqual(proxy.state(), DevState.RUNNING)
        events.wait(lambda: DevState.ON in events.since(mark, "State"), "the scan's end")
        self.assertEqual(events.since(mark, "Wavelength"), [500.0, 502.0, 504.0, 506.0, 508.0,
                                                           510.0])
        progress = events.since(mark, "ScanProgress")
        self.assertEqual(progress[-1], 100.0)
        self.assertEqual(progress, sorted(progress))
        self.assertEqual(events.since(mark, "State"), [DevState.RUNNING, DevState.ON])
        self.assertEqual((proxy.ScanPoint, proxy.ScanPoints, proxy.ScanProgress), (6, 6, 100.0))
        self.assertIn("Last scan: SUCCESS", proxy.status())

        with self.subTest("a move fails"):
            with fake.lock:
                fake.fail_at = 3
            proxy.Scan([500.0, 510.0, 10.0, 2.0, 0.1])
            wait_state(proxy, DevState.ON)
            self.assertEqual(proxy.LastError, "ERRDV05: Scan failure.")
            self.assertIn("Last scan: FAIL", proxy.status())
            with fake.lock:
                fake.fail_at = 0

        for stop in ("Stop", "Reset"):
            with self.subTest(stop):
                mark, sent = events.mark(), len(fake.lines())
                proxy.Scan([500.0, 700.0, 10.0, 2.0, 0.1])
                events.wait(lambda: len(events.since(mark, "Wavelength")) >= 3, "3 points")
                getattr(proxy, stop)()
                wait_state(proxy, DevState.ON)
                self.assertLess(proxy.ScanPoint, proxy.ScanPoints)
                asked = [line for line in fake.lines()[sent:] if line in ("STOP", "RESET")]
                if stop == "Reset":
                    self.assertEqual(asked, ["STOP", "RESET"])
                    self.assertTrue(math.isnan(proxy.Wavelength))
                else:
                    self.assertEqual(asked, ["STOP"])
                    self.assertIn("Last scan: ABORT", proxy.status())


if __name__ == "__main__":
    main()
