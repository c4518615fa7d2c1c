"""The client shared by tasks and threads, and interrupted at any moment: the connection is held
for one request and its response at a time whatever is cancelled, every answer goes to its own
request, and a call that started a scan stops it when it is cancelled or interrupted."""

import asyncio
import os
import random
import signal
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "clients", "python"))
sys.path.insert(0, HERE)

from fakeprogram import FakeProgram  # noqa: E402
from vuzaravarede import (  # noqa: E402
    AsyncFilter, Band, DeviceBusy, Filter, FilterError, OutOfRange, ScanResult, ScanTimeout,
    Session, State,
)

# A bound against hangs, well above every time-out the tests give.
HANG_S = 20.0


class FakeTest(unittest.TestCase):
    def setUp(self):
        self.server = self.make_server()
        self.addCleanup(self.server.close)

    def make_server(self):
        return FakeProgram()

    def run_async(self, coroutine):
        return asyncio.run(asyncio.wait_for(coroutine, HANG_S * 3))

    async def in_thread(self, function, *args):
        return await asyncio.get_running_loop().run_in_executor(None, function, *args)

    def hold(self, request):
        """The stand-in answers `request` only once the returned function is called."""
        server = self.server
        released = []
        answer = server._answer

        def held(server):
            server.received.wait_for(lambda: released, HANG_S)
            del server.replies[request]
            return answer(request)

        def release():
            with server.received:
                released.append(True)
                server.received.notify_all()

        self.addCleanup(release)
        server.replies[request] = held
        return release


class SharedByTasks(FakeTest):
    def test_a_wait_cancelled_while_another_task_holds_the_connection(self):
        async def scenario():
            f = await AsyncFilter("127.0.0.1", self.server.port, timeout_s=HANG_S,
                                  poll_interval_s=0.01).connect()
            await f.start_scan(500.0, 520.0, 10.0, 2.0, 0.1)
            waiter = asyncio.ensure_future(asyncio.wait_for(f.wait_scan(), 0.5))
            self.assertTrue(await self.in_thread(self.server.wait_for_request, "", 2))
            release = self.hold("RESET")
            reset = asyncio.ensure_future(f.reset())
            self.assertTrue(await self.in_thread(self.server.wait_for_request, "RESET"))
            # The wait times out while it waits for the connection RESET holds.
            with self.assertRaises(asyncio.TimeoutError):
                await waiter
            self.assertTrue(f._lock.locked())
            version = asyncio.ensure_future(f.version)
            release()
            self.assertIsNone(await reset)
            self.assertEqual(await version, "QVL Rari v2.1")
            self.assertEqual(self.server.requests[-2:], ["RESET", "VER"])
            self.assertTrue(await f.stop())
            await f.close()

        self.run_async(scenario())

    def test_a_cancelled_scan_stops_and_a_cancelled_wait_does_not(self):
        async def scenario():
            f = await AsyncFilter("127.0.0.1", self.server.port, timeout_s=HANG_S,
                                  poll_interval_s=0.01).connect()
            # task.cancel() while the scan is polled.
            scan = asyncio.ensure_future(f.scan(500.0, 520.0, 10.0, 2.0, 0.1))
            self.assertTrue(await self.in_thread(self.server.wait_for_request, "", 2))
            scan.cancel()
            with self.assertRaises(asyncio.CancelledError):
                await scan
            self.assertEqual(self.server.requests[-2:], ["STOP", ""])
            self.assertEqual(await f.state, State.IDLE)
            # wait_for's deadline.
            with self.assertRaises(asyncio.TimeoutError):
                await asyncio.wait_for(f.scan(500.0, 520.0, 10.0, 2.0, 0.1), 0.2)
            self.assertEqual(await f.state, State.IDLE)
            self.assertEqual(self.server.requests.count("STOP"), 2)
            # Cancelled while SCAN waits for its answer: the scan it may have started stops.
            release = self.hold("SCAN,500.0,520.0,10.0,2.0,0.1")
            scan = asyncio.ensure_future(f.scan(500.0, 520.0, 10.0, 2.0, 0.1))
            self.assertTrue(await self.in_thread(self.server.wait_for_request,
                                                 "SCAN,500.0,520.0,10.0,2.0,0.1", 3))
            scan.cancel()
            release()
            with self.assertRaises(asyncio.CancelledError):
                await scan
            self.assertEqual(await f.state, State.IDLE)
            # A cancelled wait for a scan started elsewhere leaves it running.
            await f.start_scan(500.0, 520.0, 10.0, 2.0, 0.1)
            with self.assertRaises(asyncio.TimeoutError):
                await asyncio.wait_for(f.wait_scan(), 0.2)
            self.assertEqual(await f.state, State.SCAN)
            self.assertTrue(await f.stop())
            self.assertEqual(await f.wait_scan(timeout_s=5), ScanResult.ABORT)
            await f.close()

        self.run_async(scenario())


@unittest.skipUnless(threading.current_thread() is threading.main_thread(), "needs SIGINT")
class CtrlC(FakeTest):
    def interrupt_after(self, request, count=1, then=None):
        def send():
            if self.server.wait_for_request(request, count):
                os.kill(os.getpid(), signal.SIGINT)
            if then:
                then()
        thread = threading.Thread(target=send, daemon=True)
        thread.start()
        self.addCleanup(thread.join, HANG_S)

    def test_ctrl_c_in_a_scan_stops_it_and_the_connection_stays_usable(self):
        f = Filter("127.0.0.1", self.server.port, timeout_s=HANG_S, poll_interval_s=0.01)
        self.addCleanup(f.close)
        self.interrupt_after("", 3)
        with self.assertRaises(KeyboardInterrupt):
            f.scan(500.0, 520.0, 10.0, 2.0, 0.1)
        self.assertIn("STOP", self.server.requests)
        self.assertFalse(self.server.scanning)
        self.assertEqual(f.state, State.IDLE)
        with self.assertRaises(FilterError):
            f.wait_scan(timeout_s=1)  # the stopped scan's report went with the call

    def test_ctrl_c_while_another_thread_holds_the_connection(self):
        f = Filter("127.0.0.1", self.server.port, timeout_s=HANG_S, poll_interval_s=0.01)
        self.addCleanup(f.close)
        release = self.hold("RESET")
        outcome = []
        resetter = threading.Thread(target=lambda: outcome.append(f.reset()))

        def reset_during_the_scan():
            if self.server.wait_for_request("", 2):
                resetter.start()

        helper = threading.Thread(target=reset_during_the_scan, daemon=True)
        helper.start()
        self.interrupt_after("RESET", then=release)
        try:
            with self.assertRaises(KeyboardInterrupt):
                f.scan(500.0, 520.0, 10.0, 2.0, 0.1)
        finally:
            release()
            helper.join(HANG_S)
            resetter.join(HANG_S)
        self.assertEqual(outcome, [None])
        self.assertEqual(f.version, "QVL Rari v2.1")
        self.assertFalse(self.server.scanning)


class Pairing(FakeProgram):
    """A stand-in whose answers show which request they belong to: ``PING,n`` is answered
    ``PONG,n``, and a CWL above the range is refused with a text naming it. Each answer comes
    after a short random delay, and a scan ends by itself after a few polls."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.polls = 0
        super().__init__()

    def _answer(self, request):
        time.sleep(self.rng.uniform(0.0, 0.004))
        if request.startswith("PING,"):
            return b"PONG," + request[5:].encode() + b"\r"
        if request == "" and self.scanning:
            self.polls += 1
            if self.polls % 4 == 0:
                self.end_scan()
        return super()._answer(request)

    def _refusal(self, word, fields):
        refusal = super()._refusal(word, fields)
        if refusal is not None and refusal[0] == b"ERRSE04":
            return refusal[0], b"high " + fields[0].encode()
        return refusal


SEED = int(os.environ.get("VR_SEED", random.SystemRandom().randrange(2 ** 32)))
ROUNDS = 60


class RandomCancellations(FakeTest):
    """Tasks call the filter at once and are cancelled at random moments, for a fixed number of
    rounds; VR_SEED=<seed> repeats a run."""

    def make_server(self):
        print(f"\n{type(self).__name__}: seed {SEED} (VR_SEED={SEED} repeats it)",
              file=sys.stderr)
        return Pairing(SEED)

    def test_every_answer_goes_to_its_own_request(self):
        rng = random.Random(SEED)
        count = iter(range(1, 1 << 30))

        async def ping(f):
            n = next(count)
            self.assertEqual(await f.ask(f"PING,{n}"), f"PONG,{n}")

        async def move(f):
            try:
                await f.set_band(rng.choice([500.0, 550.0, 600.0]), 10.0)
            except DeviceBusy as busy:
                self.assertEqual(busy.text, "Now Scanning.")

        async def too_high(f):
            cwl = 800.0 + next(count)
            with self.assertRaises((OutOfRange, DeviceBusy)) as refused:
                await f.set_band(cwl, 10.0)
            if isinstance(refused.exception, OutOfRange):
                self.assertEqual(refused.exception.text, f"high {cwl!r}")
            refusal = await f.check_band(cwl, 10.0)
            if isinstance(refusal, OutOfRange):
                self.assertEqual(refusal.request, f"SETC,{cwl!r},10.0")
                self.assertEqual(refusal.text, f"high {cwl!r}")

        async def read(f):
            self.assertEqual(await f.version, "QVL Rari v2.1")
            self.assertIn(await f.state, (State.IDLE, State.SCAN))
            self.assertIn(await f.session, (Session.READY, Session.SCANNING))
            band = await f.band
            self.assertTrue(band is None or isinstance(band, Band))

        async def scan(f):
            try:
                self.assertIn(await f.scan(500.0, 520.0, 10.0, 2.0, 0.1),
                              (ScanResult.SUCCESS, ScanResult.ABORT))
            except DeviceBusy:
                pass  # another task's scan runs
            except FilterError as other:
                self.assertIn("another wait", other.text)

        async def wait(f):
            try:
                self.assertIn(await f.wait_scan(timeout_s=0.05),
                              (ScanResult.SUCCESS, ScanResult.ABORT))
            except ScanTimeout:
                pass
            except FilterError as none:
                self.assertIn(none.text, ("no scan to wait for",
                                          "the scan ended and its end report went to another "
                                          "wait"))

        async def stop(f):
            self.assertIn(await f.stop(), (True, False))

        async def reset(f):
            self.assertIsNone(await f.reset()) if not self.server.scanning else None

        calls = [ping, move, too_high, read, scan, wait, stop, reset]

        async def rounds():
            f = await AsyncFilter("127.0.0.1", self.server.port, timeout_s=HANG_S,
                                  poll_interval_s=0.002).connect()
            for _ in range(ROUNDS):
                jobs = []
                for _ in range(rng.randint(2, 5)):
                    call = rng.choice(calls)
                    if rng.random() < 0.5:
                        jobs.append(asyncio.wait_for(call(f), rng.uniform(0.0, 0.02)))
                    else:
                        jobs.append(call(f))
                outcomes = await asyncio.gather(*jobs, return_exceptions=True)
                for outcome in outcomes:
                    if isinstance(outcome, BaseException) and \
                            not isinstance(outcome, asyncio.TimeoutError):
                        raise outcome
            self.assertFalse(f._lock.locked())
            await f.stop()
            await ping(f)
            self.assertEqual(await f.version, "QVL Rari v2.1")
            await f.set_band(550.0, 10.0)
            self.assertEqual(await f.band, Band(550.0, 10.0, 545.0, 555.0))
            await f.close()

        self.run_async(rounds())


if __name__ == "__main__":
    unittest.main()
