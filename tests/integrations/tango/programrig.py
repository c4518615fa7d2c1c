"""The unchanged program and the instrument simulator for the Tango device's end-to-end tests: a
program folder of its own in a temporary folder (settings with a free remote port, the sample
calibration copy, every serial port name but the simulator's pointing nowhere), the simulator's
exchanges as it prints them, and the sample file's grid points."""

import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from typing import List, Optional

from fake_program import free_port
from tangorig import HANG_S, ROOT

SAMPLE = os.path.join(ROOT, "samples", "20180315_F123_ABCD12345678.csv")


def sample_positions(cwl: float, fwhm: float) -> str:
    """"p1 p2 p3" of the sample file's grid point (cwl, fwhm): the line ",,1,2,..." names the
    FWHM columns, each later line is number, CWL, grid points "p1:p2:p3"."""
    column = None
    with open(SAMPLE, encoding="latin-1") as f:
        for line in f:
            fields = [x.strip() for x in line.strip().split(",")]
            if column is None and len(fields) > 2 and fields[0] == "" and fields[1] == "":
                column = next(i for i in range(2, len(fields)) if float(fields[i]) == fwhm)
            elif column is not None and len(fields) > column and float(fields[1]) == cwl:
                return fields[column].replace(":", " ")
    raise ValueError(f"no grid point {cwl}/{fwhm} in the sample file")


def stop_process(process: Optional[subprocess.Popen]) -> Optional[int]:
    """Ends a process this test started: SIGTERM, SIGKILL after 20 s."""
    if process is None:
        return None
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return process.returncode


class ProgramRig:
    def __init__(self, bin_dir: str) -> None:
        self.bin_dir = bin_dir
        self.path = tempfile.mkdtemp(prefix="vr-tango-")
        self.port = free_port()
        shutil.copy(os.path.join(bin_dir, "VuzaRavarede"), self.path)
        os.makedirs(os.path.join(self.path, "Cal"))
        shutil.copy(SAMPLE, os.path.join(self.path, "Cal", "F123_ABCD12345678.csv"))
        self.sim_link = os.path.join(self.path, "instrument")
        os.makedirs(os.path.join(self.path, "ports"))
        for n in range(1, 65):
            target = self.sim_link if n == 3 else os.path.join(self.path, "nowhere")
            os.symlink(target, os.path.join(self.path, "ports", f"COM{n}"))
        with open(os.path.join(self.path, "VuzaRavarede.ini"), "w") as f:
            f.write(f"[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM3\n"
                    f"[Remote]\nPortNum={self.port}\n")
        self.program: Optional[subprocess.Popen] = None
        self.sim: Optional[subprocess.Popen] = None
        self.exchanges: List[str] = []  # the commands the simulator answered, in order
        self.cond = threading.Condition()

    def start_program(self) -> None:
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        self.program = subprocess.Popen(
            [os.path.join(self.path, "VuzaRavarede"), "--remote-listen", "127.0.0.1"],
            cwd=self.path, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)

    def stop_program(self) -> Optional[int]:
        status, self.program = stop_process(self.program), None
        return status

    def start_sim(self) -> None:
        self.sim = subprocess.Popen(
            [os.path.join(self.bin_dir, "instrument-sim"), "--link", self.sim_link,
             "--home-ms", "500"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        threading.Thread(target=self._read, args=(self.sim,), daemon=True).start()
        self.wait_for(lambda: os.path.islink(self.sim_link), "the simulator's link")

    def _read(self, sim: subprocess.Popen) -> None:
        for line in sim.stdout:
            if line.startswith("exchange "):
                with self.cond:
                    self.exchanges.append(line.split('"')[1])
                    self.cond.notify_all()

    def commands(self, prefix: str = "") -> List[str]:
        with self.cond:
            return [c for c in self.exchanges if c.startswith(prefix)]

    def wait_for(self, predicate, what: str, timeout: float = HANG_S) -> None:
        deadline = time.monotonic() + timeout
        with self.cond:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"timed out waiting for {what}; "
                                         f"simulator exchanges: {self.exchanges}")
                self.cond.wait(min(left, 0.2))

    def listening(self) -> bool:
        """True once the program's remote control listens (seen in the kernel's socket table,
        so no connection is made)."""
        port = f":{self.port:04X} "
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            try:
                with open(table) as f:
                    if any(port in line and line.split()[3] == "0A" for line in f):
                        return True
            except OSError:
                pass
        return False

    def wait_listening(self) -> None:
        deadline = time.monotonic() + HANG_S
        while not self.listening():
            if time.monotonic() > deadline:
                raise AssertionError("the program's remote control does not listen")
            time.sleep(0.02)

    def wait_session(self) -> None:
        """Until the program's open sequence has homed the filter."""
        self.wait_for(lambda: "HOME 3" in self.exchanges, "the session's HOME")

    def close(self) -> None:
        self.stop_program()
        if self.sim:
            stop_process(self.sim)
            self.sim.stdin.close()
            self.sim.stdout.close()
        shutil.rmtree(self.path, ignore_errors=True)
