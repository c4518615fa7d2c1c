"""The control program with its simulated instrument, for the tests of a lab script.

::

    import unittest
    from vuzaravarede import Filter
    from vuzaravarede.testing import simulated_program

    class TestMyScript(unittest.TestCase):
        def test_band(self):
            with simulated_program() as (host, port), Filter(host, port, timeout=30.0) as f:
                f.set_band(550.0, 10.0)
                self.assertEqual(f.band.cwl_nm, 550.0)

`simulated_program()` starts ``VuzaRavarede --simulate --headless`` on a free port of
127.0.0.1: the program runs against ``instrument-sim`` (the simulator installed beside it) with
the sample calibration table (model F123, 400.0-800.0 nm), in a temporary program folder of its
own, so the settings, calibration copies, logs and scan records of the real program folder are
left alone. It waits until the program reports the session ready, yields ``(host, port)`` and
ends the program (and with it the simulator) when the block is left. The program is the one
named by the environment variable ``VR_PROGRAM``, else ``VuzaRavarede`` on ``PATH``.

The program's stderr (its message-bar lines) goes to the logger ``vuzaravarede.testing`` at
DEBUG level.
"""

import collections
import contextlib
import logging
import os
import shutil
import signal
import socket
import subprocess
import threading
import time
from typing import Deque, Iterator, Optional, Tuple

__all__ = ["simulated_program", "find_program", "SimulationError"]

log = logging.getLogger(__name__)

HOST = "127.0.0.1"
# The program ends with this status when it cannot listen on the port it was given.
_EXIT_CANNOT_LISTEN = 2
# A port found free may be taken by another program before this one listens there.
_PORT_ATTEMPTS = 3
# The session answers of a program still on its way to READY.
_NOT_YET = {"SEARCHING", "OPENING", "BUSY", "SCANNING"}


class SimulationError(RuntimeError):
    """The simulated program did not start, ended early, or never got its session ready."""


def find_program() -> str:
    """The program to run: ``$VR_PROGRAM``, else ``VuzaRavarede`` on ``PATH``.

    Raises FileNotFoundError, naming both places, when neither gives an executable."""
    named = os.environ.get("VR_PROGRAM")
    if named:
        if os.path.isfile(named) and os.access(named, os.X_OK):
            return named
        raise FileNotFoundError(f"VR_PROGRAM names {named!r}, which is not an executable file")
    found = shutil.which("VuzaRavarede")
    if found:
        return found
    raise FileNotFoundError(
        "VuzaRavarede is not on PATH; set VR_PROGRAM to the program's path "
        "(the folder it is installed in also holds instrument-sim)")


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind((HOST, 0))
        return probe.getsockname()[1]


class _Program:
    """One run of the simulated program, with its stderr lines collected as they come."""

    def __init__(self, path: str, remote_port: int) -> None:
        self.port = remote_port
        self.lines: Deque[str] = collections.deque(maxlen=40)
        self.process = subprocess.Popen(
            [path, "--simulate", "--headless", "--remote-port", str(remote_port)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            text=True, encoding="utf-8", errors="replace")
        self.reader = threading.Thread(target=self._read, daemon=True,
                                       name=f"VuzaRavarede:{remote_port} stderr")
        self.reader.start()

    def _read(self) -> None:
        assert self.process.stderr is not None
        for line in self.process.stderr:
            line = line.rstrip("\n")
            self.lines.append(line)
            log.debug("program:%d: %s", self.port, line)

    def describe_end(self) -> str:
        """How the program ended, with its last stderr lines."""
        self.reader.join(5)
        status = self.process.returncode
        how = f"with status {status}" if status >= 0 else f"by signal {-status}"
        tail = "\n".join(self.lines)
        return f"the simulated program ended {how}" + (f":\n{tail}" if tail else "")

    def end(self, timeout_s: float = 30.0) -> None:
        """SIGTERM (its normal shutdown, which ends the simulator too), SIGKILL after
        `timeout_s`."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout_s)
            except subprocess.TimeoutExpired:
                log.warning("the simulated program did not end on SIGTERM; killing it")
                self.process.kill()
                self.process.wait()
        self.reader.join(5)
        if self.process.stderr is not None:
            self.process.stderr.close()


def _ask_session(connection: socket.socket, buffer: bytearray) -> Optional[str]:
    """Sends SESSION and reads its one-line answer (ended by CR, LF or CR LF); None when the
    program closed the connection."""
    connection.sendall(b"SESSION\r")
    while True:
        ends = [at for at in (buffer.find(b"\r"), buffer.find(b"\n")) if at >= 0]
        if ends:
            line = bytes(buffer[:min(ends)]).decode("latin-1")
            del buffer[:min(ends) + 1]
            if line:  # else the LF of a CR LF
                return line
            continue
        chunk = connection.recv(256)
        if not chunk:
            return None
        buffer += chunk


def _wait_ready(program: _Program, deadline: float) -> None:
    """Polls SESSION until READY; raises SimulationError when the program ends, answers that it
    cannot get ready, or the deadline passes."""
    last = "no answer"
    while time.monotonic() < deadline:
        if program.process.poll() is not None:
            raise SimulationError(program.describe_end())
        try:
            with socket.create_connection((HOST, program.port), timeout=5.0) as connection:
                buffer = bytearray()
                while time.monotonic() < deadline:
                    answer = _ask_session(connection, buffer)
                    if answer is None:
                        break  # not taken (its server still busy with a client): again
                    last = answer
                    if answer == "READY":
                        return
                    if answer not in _NOT_YET:
                        raise SimulationError(
                            f"the simulated program on {HOST}:{program.port} answered SESSION "
                            f"with {answer!r}, not READY")
                    time.sleep(0.2)
        except (ConnectionRefusedError, ConnectionResetError, socket.timeout):
            pass  # not listening yet
        time.sleep(0.1)
    raise SimulationError(
        f"the simulated program on {HOST}:{program.port} was not ready in time "
        f"(last SESSION answer: {last})")


@contextlib.contextmanager
def simulated_program(timeout_s: float = 60.0) -> Iterator[Tuple[str, int]]:
    """Runs the control program against its simulated instrument on a free port of 127.0.0.1.

    Yields ``(host, port)`` once the program answers ``SESSION`` with ``READY`` (about seven
    seconds after the start: the program pauses 5 s after finding the instrument, as it does
    with the real one), and ends the program when the block is left.

    `timeout_s` bounds the wait for READY. Raises FileNotFoundError when the program is not
    found (see `find_program`), SimulationError when it does not get ready."""
    path = find_program()
    deadline = time.monotonic() + timeout_s
    program: Optional[_Program] = None
    for attempt in range(1, _PORT_ATTEMPTS + 1):
        program = _Program(path, _free_port())
        try:
            _wait_ready(program, deadline)
            break
        except SimulationError:
            program.end()
            taken = (program.process.returncode == _EXIT_CANNOT_LISTEN
                     and any("cannot listen" in line for line in program.lines))
            if not taken or attempt == _PORT_ATTEMPTS:
                raise
            log.debug("port %d was taken meanwhile; another one", program.port)
        except BaseException:
            program.end()
            raise
    assert program is not None
    try:
        yield HOST, program.port
    finally:
        program.end()
