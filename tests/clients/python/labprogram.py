"""The unchanged program and the instrument simulator in a temporary program folder, with a
free remote control port, for the client's end-to-end tests.

Every port name of the folder but COM3 is a link that points nowhere, so the program never
touches the machine's own serial devices; COM3 leads to where the simulator publishes its
pseudo-terminal. The program listens on 127.0.0.1 only. Both processes are ended by their ids.
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from typing import Callable, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "clients", "python"))

from vuzaravarede import CannotConnect, Filter  # noqa: E402

BIN = os.environ.get("VR_BIN_DIR", os.path.join(ROOT, "build", "bin"))
SAMPLE = os.path.join(ROOT, "samples", "20180315_F123_ABCD12345678.csv")
# A bound against hangs, never a timing requirement.
PATIENCE_S = 60.0


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def sample_positions(cwl: float, fwhm: float) -> str:
    """The motor positions "p1 p2 p3" that the sample calibration file holds for (cwl, fwhm):
    the line ",,1,2,..." names the FWHM columns, each later line is number, CWL, grid points."""
    column = None
    with open(SAMPLE, encoding="latin-1") as f:
        for line in f:
            fields = [x.strip() for x in line.strip().split(",")]
            if column is None and len(fields) > 2 and fields[0] == "" and fields[1] == "":
                column = next(i for i in range(2, len(fields)) if float(fields[i]) == fwhm)
            elif column is not None and len(fields) > column and float(fields[1]) == cwl:
                return fields[column].replace(":", " ")
    raise ValueError(f"no grid point {cwl}/{fwhm} in the sample file")


class Simulator:
    """instrument-sim with its output lines collected as they come."""

    def __init__(self, link: str, *options: str) -> None:
        self.lines: List[str] = []
        self.cond = threading.Condition(threading.RLock())
        self.process = subprocess.Popen(
            [os.path.join(BIN, "instrument-sim"), "--link", link, *options],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        if self.wait_for(lambda line: line.startswith("ready ")) is None:
            self.stop()
            raise RuntimeError("the simulator did not start")

    def _read(self) -> None:
        for line in self.process.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def wait_for(self, match: Callable[[str], bool], start: int = 0,
                 timeout: float = PATIENCE_S) -> Optional[int]:
        """Index of the first line from `start` on that matches, or None after `timeout`."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.lines)):
                    if match(self.lines[i]):
                        return i
                start = len(self.lines)
                left = deadline - time.monotonic()
                if left <= 0 or not self.reader.is_alive():
                    return None
                self.cond.wait(left)

    def commands(self, start: int = 0) -> List[str]:
        """The commands of the exchanges from line `start` on."""
        with self.cond:  # re-entrant: also called with the condition held
            return [line.split('"')[1] for line in self.lines[start:]
                    if line.startswith("exchange ")]

    def count(self) -> int:
        with self.cond:
            return len(self.lines)

    def go_lines(self, start: int = 0) -> List[str]:
        return [c for c in self.commands(start) if c.startswith("GO 3 ")]

    def wait_for_moves(self, count: int, start: int = 0, timeout: float = PATIENCE_S) -> List[str]:
        """The GO commands from line `start` on, once there are at least `count` of them (or
        after `timeout`)."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while len(self.go_lines(start)) < count and self.reader.is_alive():
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self.cond.wait(left)
            return self.go_lines(start)

    def control(self, command: str) -> None:
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()

    def stop(self) -> None:
        _end(self.process)
        self.reader.join(5)
        self.process.stdin.close()
        self.process.stdout.close()


def _end(process: Optional[subprocess.Popen]) -> None:
    """Ends a process these tests started: SIGTERM, SIGKILL if it does not end in 20 s."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(20)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class Lab:
    """A program folder with the program and (when started) the simulator."""

    def __init__(self) -> None:
        self.path = tempfile.mkdtemp(prefix="vr-pyclient-")
        self.port = free_port()
        shutil.copy(os.path.join(BIN, "VuzaRavarede"), self.path)
        ports = os.path.join(self.path, "ports")
        os.makedirs(ports)
        self.sim_link = os.path.join(self.path, "instrument")
        for n in range(1, 65):
            target = self.sim_link if n == 3 else os.path.join(self.path, "nowhere")
            os.symlink(target, os.path.join(ports, f"COM{n}"))
        os.makedirs(os.path.join(self.path, "Cal"))
        shutil.copy(SAMPLE, os.path.join(self.path, "Cal", "F123_ABCD12345678.csv"))
        with open(os.path.join(self.path, "VuzaRavarede.ini"), "w") as f:
            f.write(f"[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM3\n"
                    f"[Remote]\nPortNum={self.port}\n")
        self.program: Optional[subprocess.Popen] = None
        self.sim: Optional[Simulator] = None

    def start_sim(self, *options: str) -> Simulator:
        self.sim = Simulator(self.sim_link, "--home-ms", "500", *options)
        return self.sim

    def start_program(self) -> None:
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        self.program = subprocess.Popen(
            [os.path.join(self.path, "VuzaRavarede"), "--remote-listen", "127.0.0.1"],
            cwd=self.path, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

    def stop_program(self) -> Optional[int]:
        _end(self.program)
        return self.program.returncode if self.program else None

    def connect(self, timeout_s: float = 30.0, **kwargs) -> Filter:
        """A client, once the program's remote control answers."""
        deadline = time.monotonic() + PATIENCE_S
        while True:
            try:
                return Filter("127.0.0.1", self.port, timeout_s=timeout_s, **kwargs)
            except CannotConnect:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

    def wait_ready(self, f: Filter) -> None:
        """Waits until the session lets a move through."""
        f.wait_ready(timeout_s=PATIENCE_S)

    def close(self) -> None:
        self.stop_program()
        if self.sim:
            self.sim.stop()
        shutil.rmtree(self.path, ignore_errors=True)


def ready_lab(*sim_options: str) -> Tuple[Lab, Filter]:
    """A lab with a ready session and a connected client."""
    lab = Lab()
    try:
        lab.start_sim(*sim_options)
        lab.start_program()
        f = lab.connect()
        lab.wait_ready(f)
        return lab, f
    except BaseException:
        lab.close()
        raise
