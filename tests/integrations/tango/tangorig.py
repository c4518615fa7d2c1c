"""Shared by the Tango device tests: the import paths of the source tree, the device started
without a database in a process of its own, and waits for states and events."""

import concurrent.futures
import os
import subprocess
import sys
import threading
import time
import unittest
from typing import Any, Callable, List, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
for path in (os.path.join(ROOT, "clients", "python"), os.path.join(ROOT, "integrations", "tango"),
             HERE):
    if path not in sys.path:
        sys.path.insert(0, path)

import tango  # noqa: E402
from tango.test_context import DeviceTestContext  # noqa: E402

from vuzaravarede_tango import TunableFilter  # noqa: E402

# A generous bound against hangs; every wait ends as soon as its event is seen.
HANG_S = 60.0


def device_context(port: int, timeout_s: float = 10.0) -> DeviceTestContext:
    """The device for the program at 127.0.0.1:port, in a process of its own (a process can
    start Tango's server only once)."""
    return DeviceTestContext(TunableFilter, process=True,
                             properties={"Host": "127.0.0.1", "Port": port,
                                         "Timeout": timeout_s})


def wait_until(predicate: Callable[[], bool], what: str, timeout: float = HANG_S) -> None:
    """Asks predicate() again and again until it holds; AssertionError after `timeout`."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)


def wait_state(proxy: Any, state: "tango.DevState", timeout: float = HANG_S) -> None:
    wait_until(lambda: proxy.state() == state, f"state {state}", timeout)


def failure(call: Callable[[], Any]) -> Tuple[str, str]:
    """(reason, description) of the DevFailed that call() raises."""
    try:
        call()
    except tango.DevFailed as error:
        return error.args[0].reason, error.args[0].desc
    raise AssertionError("no DevFailed raised")


class Events:
    """Change events of some attributes of a device, as (attribute, value) in arrival order."""

    def __init__(self, proxy: Any, names: List[str]) -> None:
        self.proxy = proxy
        self.cond = threading.Condition()
        self.seen: List[Tuple[str, Any]] = []
        self.ids = [proxy.subscribe_event(name, tango.EventType.CHANGE_EVENT, self._take)
                    for name in names]

    def _take(self, event: Any) -> None:
        if event.err or event.attr_value is None:
            return
        name = event.attr_name.split("#", 1)[0].rsplit("/", 1)[-1].lower()
        with self.cond:
            self.seen.append((name, event.attr_value.value))
            self.cond.notify_all()

    def values(self, name: str) -> List[Any]:
        with self.cond:
            return [v for n, v in self.seen if n == name.lower()]

    def mark(self) -> int:
        with self.cond:
            return len(self.seen)

    def since(self, mark: int, name: str) -> List[Any]:
        with self.cond:
            return [v for n, v in self.seen[mark:] if n == name.lower()]

    def wait(self, predicate: Callable[[], bool], what: str, timeout: float = HANG_S) -> None:
        deadline = time.monotonic() + timeout
        with self.cond:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"timed out waiting for events: {what}; "
                                         f"seen {self.seen}")
                self.cond.wait(left)

    def close(self) -> None:
        for event_id in self.ids:
            try:
                self.proxy.unsubscribe_event(event_id)
            except tango.DevFailed:
                pass


# Tests run at once by main(): they wait on the program and the device, not on the processor.
SIDE_BY_SIDE = 3


def main() -> None:
    """Runs the calling module's tests, each in a process of its own: a process that has used
    Tango's client cannot fork a clean device server any more (the forked one may never end),
    so each test may start one device. Up to SIDE_BY_SIDE of them run at once; each one's
    output is printed whole when it ends. With test names as arguments, runs just those here."""
    if len(sys.argv) > 1:
        unittest.main(module="__main__")
        return
    suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules["__main__"])
    names = [test.id().split(".", 1)[1] for group in suite for test in group]

    def run(name: str) -> Tuple[str, Any]:
        try:
            done = subprocess.run([sys.executable, sys.argv[0], name], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, timeout=4 * HANG_S)
            return done.stdout, done.returncode
        except subprocess.TimeoutExpired as hung:
            out = hung.stdout or ""
            return out if isinstance(out, str) else out.decode(errors="replace"), "hung"

    failed = []
    with concurrent.futures.ThreadPoolExecutor(SIDE_BY_SIDE) as pool:
        for name, (output, status) in zip(names, pool.map(run, names)):
            print(f"== {name}\n{output}", end="", flush=True)
            if status != 0:
                failed.append(f"{name} ({status})")
    print(f"{len(names) - len(failed)} of {len(names)} tests passed"
          + (f"; failed: {', '.join(failed)}" if failed else ""))
    sys.exit(1 if failed else 0)
