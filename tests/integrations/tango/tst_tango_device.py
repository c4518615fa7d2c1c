"""The TunableFilter device against a stand-in for the program's remote control: states that
follow the program's session without a request that acts on the instrument, recovery when the
program is missing, gone or garbled, the table's limits on the attributes, refusals as
DevFailed, two Tango clients at once, and a scan followed through change events."""

import math
import threading
import unittest

from tangorig import (
    HANG_S, Events, device_context, failure, main, wait_state, wait_until,
)

import tango
from fake_program import FakeProgram, free_port
from tango import AttrQuality, DevState
from vuzaravarede import Band, Progress
from vuzaravarede_tango.scanplan import ScanPlan, on_tenths, scan_cwls

# What the device may ask on its own: the program's read-only queries.
READ_ONLY = {"VER", "SESSION", "LIMITS", "BAND", "PROGRESS", "", "ECODE", "ETEXT"}


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

    def test_states_follow_the_session_and_the_device_acts_on_nothing(self):
        # The first SESSION goes unanswered: until it is, the device does not know.
        fake = self.start_fake(held={"SESSION"}, band=None)
        proxy = self.start_device(fake.port)
        wait_until(lambda: "asking for its instrument session" in proxy.status(),
                   "the connection")
        self.assertEqual(proxy.state(), DevState.INIT)
        with fake.lock:
            fake.held.clear()
            fake.lock.notify_all()
        wait_state(proxy, DevState.ON)
        homed = proxy.read_attribute("Wavelength")
        self.assertEqual((homed.value, homed.quality), (None, AttrQuality.ATTR_INVALID))
        limits = {name: (proxy.get_attribute_config(name).min_value,
                         proxy.get_attribute_config(name).max_value)
                  for name in ("Wavelength", "Bandwidth")}
        self.assertEqual(limits, {"Wavelength": ("400", "800"), "Bandwidth": ("1", "20")})

        stages = [
            ("SEARCHING", DevState.DISABLE, "searching for it (SEARCHING)"),
            ("OPENING", DevState.DISABLE, "opening its instrument session (OPENING)"),
            ("UNUSABLE,ERRDV10", DevState.DISABLE, "could not be read (UNUSABLE, ERRDV10)"),
            ("BUSY", DevState.MOVING, "busy with the instrument (BUSY)"),
            ("SCANNING", DevState.RUNNING, "Scanning: point 0 of 0."),
            ("READY", DevState.ON, "Ready."),
        ]
        for stage, state, status in stages:
            with self.subTest(stage):
                with fake.lock:
                    fake.session = stage
                wait_until(lambda: status in proxy.status(), status)
                self.assertEqual(proxy.state(), state)
                table = proxy.get_attribute_config("Wavelength").max_value
                self.assertEqual(table, "Not specified" if state == DevState.DISABLE else "800")
        with fake.lock:
            fake.session = "SEARCHING"
        wait_state(proxy, DevState.DISABLE)
        self.assertEqual(failure(lambda: proxy.SetBand([550.0, 10.0])),
                         ("NONE", "Device not ready. Please connect QVL Rari."))
        self.assertEqual(proxy.state(), DevState.DISABLE)
        self.assertEqual(set(fake.lines()) - READ_ONLY, {"SETC,550.0,10.0"})

    def test_fault_until_the_program_is_there_and_again_when_it_ends(self):
        port = free_port()
        proxy = self.start_device(port)
        wait_state(proxy, DevState.FAULT)
        self.assertIn(f"127.0.0.1:{port}", proxy.status())
        self.assertEqual(failure(lambda: proxy.SetBand([550.0, 10.0]))[0], "FAULT")
        self.assertEqual(proxy.read_attribute("Wavelength").quality, AttrQuality.ATTR_INVALID)

        fake = FakeProgram(port).start()
        try:
            wait_state(proxy, DevState.ON)
            proxy.SetBand([550.0, 10.0])
            self.assertEqual(fake.lines("SETC"), ["SETC,550.0,10.0"])
        finally:
            fake.stop()  # the program ends under the device
        wait_state(proxy, DevState.FAULT)
        self.assertEqual(proxy.read_attribute("Wavelength").quality, AttrQuality.ATTR_INVALID)

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
            ("SetBand 900", lambda: proxy.SetBand([900.0, 10.0]),
             "ERRSE04", "Out of range. Please set [CWL] <= 800.0"),
            ("SetBand FWHM 30", lambda: proxy.SetBand([550.0, 30.0]),
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
                self.assertEqual(proxy.status(), "Ready.")
        # Writes outside the table's range (from LIMITS) are refused by Tango itself.
        for name, value in (("Wavelength", 900.0), ("Bandwidth", 30.0), ("Wavelength", math.nan)):
            with self.subTest(f"{name} {value}"):
                self.assertEqual(failure(lambda: proxy.write_attribute(name, value))[0],
                                 "API_WAttrOutsideLimit")
        self.assertEqual(fake.lines("SET"), ["SETC,550.0,10.0", "SETC,900.0,10.0",
                                             "SETC,550.0,30.0", "SETR,300.0,310.0"])

    def test_two_clients_moving_at_once_each_get_their_own_answer(self):
        fake = self.start_fake(move_s=0.3)
        proxy = self.start_device(fake.port)
        wait_state(proxy, DevState.ON)
        other = tango.DeviceProxy(self.context.get_device_access())
        proxy.SetBand([550.0, 10.0])
        for round_, (good, bad) in enumerate([(proxy, other), (other, proxy)]):
            with self.subTest(round=round_):
                outcome = {}
                barrier = threading.Barrier(2)

                def move(who, proxy_, cwl):
                    barrier.wait()
                    try:
                        proxy_.SetBand([cwl, 10.0])
                        outcome[who] = "ok"
                    except tango.DevFailed as error:
                        outcome[who] = error.args[0].reason

                threads = [threading.Thread(target=move, args=("good", good, 600.0 + round_)),
                           threading.Thread(target=move, args=("bad", bad, 900.0))]
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

    def test_events_of_moves_and_scans_a_failed_one_stopped_and_reset_midway(self):
        fake = self.start_fake(step_s=0.1)
        proxy = self.start_device(fake.port)
        wait_state(proxy, DevState.ON)
        names = ["State", "Wavelength", "Bandwidth", "ShortEdge", "LongEdge", "ScanProgress"]
        events = Events(proxy, names)
        self.addCleanup(events.close)
        # The subscription is live once an event pushed after it arrives.
        proxy.SetBand([550.0, 10.0])
        # Each attribute's events come on a channel of their own: wait for every one of them.
        events.wait(lambda: 550.0 in events.values("Wavelength") and
                    10.0 in events.values("Bandwidth") and 545.0 in events.values("ShortEdge")
                    and 555.0 in events.values("LongEdge"), "the band 550/10")

        with self.subTest("a width change"):
            mark = events.mark()
            proxy.SetBand([550.0, 20.0])
            events.wait(lambda: events.since(mark, "LongEdge"), "LongEdge")
            self.assertEqual({name: events.since(mark, name) for name in names[1:5]},
                             {"Wavelength": [], "Bandwidth": [20.0], "ShortEdge": [540.0],
                              "LongEdge": [560.0]})

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
        self.assertEqual(proxy.status(), "Ready. Last scan: SUCCESS.")

        with self.subTest("a move fails"):
            with fake.lock:
                fake.fail_at = 3
            proxy.Scan([500.0, 510.0, 10.0, 2.0, 0.1])
            wait_state(proxy, DevState.ON)
            self.assertEqual(proxy.LastError, "ERRDV05: Scan failure.")
            self.assertEqual(proxy.status(), "Ready. Last scan: FAIL.")
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
                self.assertEqual(proxy.status(), "Ready. Last scan: ABORT.")
                if stop == "Reset":
                    self.assertEqual(asked, ["STOP", "RESET"])
                    homed = proxy.read_attribute("Wavelength")
                    self.assertEqual(homed.quality, AttrQuality.ATTR_INVALID)
                    events.wait(lambda: events.since(mark, "Wavelength")[-1] is None,
                                "an INVALID Wavelength event")
                else:
                    self.assertEqual(asked, ["STOP"])

        with self.subTest("a scan over before a round saw it run"):
            # SESSION is held until the one-point scan has ended: the device never sees it run.
            with fake.lock:
                fake.step_s, fake.held = 0.0, {"SESSION"}
            scan = threading.Thread(target=proxy.Scan, args=([520.0, 520.0, 10.0, 1.0, 0.1],))
            scan.start()
            ended = fake.wait_for(lambda: fake.report == b"SCAN SUCCESS")
            with fake.lock:
                fake.held.clear()
                fake.lock.notify_all()
            scan.join(HANG_S)
            self.assertTrue(ended)
            wait_until(lambda: proxy.status() == "Ready. Last scan: SUCCESS.", "its report")
            self.assertEqual(proxy.Wavelength, 520.0)

    def test_every_point_of_a_scan_is_published_though_the_reading_passed_over_some(self):
        # The paced stand-in moves through several points at once, between two requests of the
        # device: PROGRESS jumps, and BAND never shows the points in between.
        fake = self.start_fake(paced=True)
        proxy = self.start_device(fake.port)
        wait_state(proxy, DevState.ON)
        names = ["State", "Wavelength", "Bandwidth", "ShortEdge", "LongEdge", "ScanProgress"]
        events = Events(proxy, names)
        self.addCleanup(events.close)
        proxy.SetBand([450.0, 20.0])
        events.wait(lambda: 460.0 in events.values("LongEdge"), "the band 450/20")
        cases = [
            # name, PROGRESS a point late, scan, points let through at each stage, Stop after
            ("jumps up to the end", False, [500.0, 510.0, 10.0, 2.0, 0.1], [1, 3, 6], False),
            ("BAND a point ahead of PROGRESS, stopped", True, [520.0, 508.0, 5.0, 2.0, 0.1],
             [2, 4, 5], True),
        ]
        for name, count_late, scan, stages, stop in cases:
            with self.subTest(name):
                start, end, fwhm, step, _ = scan
                cwls = [start + math.copysign(step, end - start) * i for i in range(stages[-1])]
                with fake.lock:
                    fake.allowed, fake.count_late = 0, count_late
                mark = events.mark()
                proxy.Scan(scan)
                for allowed in stages:
                    with fake.lock:
                        fake.allowed = allowed
                        fake.lock.notify_all()
                    last = cwls[allowed - 1]
                    events.wait(lambda: last in events.since(mark, "Wavelength") and
                                last + fwhm / 2 in events.since(mark, "LongEdge"),
                                f"the point {last}")
                if stop:
                    proxy.Stop()
                wait_state(proxy, DevState.ON)
                expected = {"Wavelength": cwls, "Bandwidth": [fwhm],
                            "ShortEdge": [cwl - fwhm / 2 for cwl in cwls],
                            "LongEdge": [cwl + fwhm / 2 for cwl in cwls],
                            "ScanProgress": [proxy.ScanProgress]}
                # Each attribute's events come on a channel of their own: wait for the last.
                events.wait(lambda: all(events.since(mark, name)[-1:] == values[-1:]
                                        for name, values in expected.items()), "the last events")
                progress = events.since(mark, "ScanProgress")
                self.assertEqual(progress, sorted(progress))
                self.assertEqual({name: events.since(mark, name) for name in names[1:5]},
                                 {name: expected[name] for name in names[1:5]})
                self.assertEqual((proxy.ScanPoint, proxy.ScanPoints),
                                 (stages[-1], 7 if stop else stages[-1]))
                self.assertEqual(proxy.status(), "Ready. Last scan: %s." %
                                 ("ABORT" if stop else "SUCCESS"))


class ScanGrid(unittest.TestCase):
    """The points the device works out for its own scans, against the program's scan engine."""

    def test_points_as_the_program_visits_them(self):
        tenths = [round(400.0 + i / 10, 1) for i in range(11)]
        cases = [
            ("ascending, END reached", (500.0, 510.0, 2.0), [500, 502, 504, 506, 508, 510]),
            ("descending, END not reached", (510.0, 500.0, 4.0), [510, 506, 502]),
            ("single point", (500.0, 500.0, 2.0), [500]),
            ("single point, STEP 0", (500.0, 500.0, 0.0), [500]),
            ("STEP 0 stays at START", (500.0, 510.0, 0.0), [500]),
            ("START rounded to 0.1 nm", (500.04, 500.3, 0.1), [500.0, 500.1, 500.2, 500.3]),
            ("END as given, just below a point", (500.0, 509.96, 2.0), [500, 502, 504, 506, 508]),
            ("tenths without drift", (400.0, 401.0, 0.1), tenths),
            ("descending tenths", (400.3, 400.0, 0.1), [400.3, 400.2, 400.1, 400.0]),
        ]
        for name, request, points in cases:
            with self.subTest(name):
                self.assertEqual(list(scan_cwls(*request, limit=100)), points)
        self.assertEqual(len(list(scan_cwls(400.0, 800.0, 0.1, limit=10000))), 4001)
        self.assertEqual(len(list(scan_cwls(400.0, 800.0, 0.1, limit=7))), 7)
        # A STEP off the 0.1 nm grid visits points that depend on the program's build.
        self.assertEqual([on_tenths(step) for step in (0.1, 0.3, 2.0, 0.15, 1.05)],
                         [True, True, True, False, False])

    def test_catch_up_publishes_passed_points_once_and_drops_a_foreign_scan(self):
        def band(cwl, fwhm=10.0):
            return Band(cwl, fwhm, cwl - fwhm / 2, cwl + fwhm / 2)

        def progress(done, total=6):
            return Progress(done, total, 0.0, 0.0)

        cases = [
            ("the band before the scan, on a later point", [
                (progress(0), band(504.0), []),
                (progress(1), band(500.0), []),
                (progress(3), band(504.0), [band(502.0)]),
            ]),
            ("BAND ahead of PROGRESS, then a failed move", [
                (progress(0), band(500.0), []),
                (progress(2), band(504.0), [band(502.0)]),
                (progress(3), band(504.0), []),
                (progress(5), None, [band(506.0), band(508.0)]),
            ]),
            ("a scan of another length", [(progress(2, total=9), band(502.0), None)]),
            ("a band off the scan's grid", [(progress(2), band(503.0), None)]),
            ("another width", [(progress(2), band(502.0, 5.0), None)]),
            ("the count going back", [(progress(4), band(506.0),
                                       [band(500.0), band(502.0), band(504.0)]),
                                      (progress(1), band(500.0), None)]),
        ]
        for name, rounds in cases:
            with self.subTest(name):
                plan = ScanPlan(500.0, 510.0, 10.0, 2.0)
                self.assertEqual([plan.catch_up(p, b) for p, b, _ in rounds],
                                 [skipped for _, _, skipped in rounds])


if __name__ == "__main__":
    main()
