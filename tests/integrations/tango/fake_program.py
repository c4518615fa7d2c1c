"""A stand-in for the program's remote control, for the device's fault paths: a TCP server on a
free loopback port speaking the line protocol (CR-ended 8-bit lines, one answer a request, one
client at a time), with an instrument session whose stage the test sets, a scan that steps on
its own or as far as the test lets it, the read-only queries (SESSION, LIMITS, CHECK) and
faults on request (gone, garbage answers, a request held unanswered). Every request line is
recorded."""

import socket
import threading
import time
from typing import List, Optional, Tuple

GE = b"\xa1\xc3"  # "≥" as the program sends it


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class FakeProgram:
    """The program's remote control with a 400-800 nm, 1-20 nm table on a 0.1 nm grid."""

    def __init__(self, port: Optional[int] = None) -> None:
        self.port = port or free_port()
        self.lock = threading.Condition()
        # The instrument session's stage as SESSION names it while nothing runs: SEARCHING,
        # OPENING, READY or UNUSABLE,<code>. BUSY and SCANNING come from what runs.
        self.session = "READY"
        self.held: set = set()       # request lines left unanswered until taken out of it
        self.garbage = False         # answer nonsense to every request
        self.move_s = 0.0            # how long a SETC/SETR takes
        self.step_s = 0.15           # how long each scan point lasts
        self.fail_at = 0             # a scan's move that fails (1 = the first), 0: none
        # Paced: the scan moves through as many points as `allowed` lets it, at once and
        # between two requests, then waits for more.
        self.paced = False
        self.allowed = 0
        # PROGRESS counts a point only once the next one is reached (or the scan has ended),
        # as when BAND is read after the filter arrived but before the point was counted.
        self.count_late = False
        self.requests: List[Tuple[float, float, str]] = []  # (received, answered, line)
        self.band: Optional[Tuple[float, float]] = None      # cwl, fwhm
        self.progress = (0, 0, 0.0, 0.0)
        self.scan_points: List[float] = []
        self.scanning = False
        self.moving = False
        self.stop_scan = False
        self.result = (b"", b"", b"")
        self.report = b""            # end report waiting for the next empty line
        self.clients = 0
        self._server: Optional[socket.socket] = None
        self._conns: List[socket.socket] = []
        self._threads: List[threading.Thread] = []

    # -------------------------------------------------------------- life

    def start(self) -> "FakeProgram":
        server = socket.socket()
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind(("127.0.0.1", self.port))
        server.listen(4)
        self._server = server
        self._spawn(self._accept, server)
        return self

    def stop(self) -> None:
        """The program ends: the listener and every connection close."""
        server, self._server = self._server, None
        if server:
            try:
                server.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread
            except OSError:
                pass
            server.close()
        with self.lock:
            conns, self._conns = self._conns, []
            self.scanning = False
            self.held.clear()
            self.lock.notify_all()
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            conn.close()
        for thread in self._threads:
            thread.join(5)
        self._threads = []

    def _spawn(self, target, *args) -> None:
        thread = threading.Thread(target=target, args=args, daemon=True)
        self._threads.append(thread)
        thread.start()

    def lines(self, prefix: str = "") -> List[str]:
        with self.lock:
            return [line for _, _, line in self.requests if line.startswith(prefix)]

    def wait_for(self, predicate, timeout: float = 30.0) -> bool:
        """Waits until predicate() (called under the lock) holds."""
        deadline = time.monotonic() + timeout
        with self.lock:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.lock.wait(min(left, 0.2))
            return True

    # -------------------------------------------------------------- connections

    def _accept(self, server: socket.socket) -> None:
        while True:
            try:
                conn, _ = server.accept()
            except OSError:
                return
            with self.lock:
                if self.clients:
                    conn.close()  # one client holds control
                    continue
                self.clients += 1
                self._conns.append(conn)
            self._spawn(self._serve, conn)

    def _serve(self, conn: socket.socket) -> None:
        rx = b""
        try:
            while True:
                chunk = conn.recv(4096)
                if not chunk:
                    break
                rx += chunk
                while b"\r" in rx:
                    line, rx = rx.split(b"\r", 1)
                    received = time.monotonic()
                    text = line.strip(b" \n\t").decode("latin-1")
                    with self.lock:
                        self.lock.wait_for(lambda: text not in self.held or not self._server)
                    answer = self._answer(text)
                    conn.sendall(answer + b"\r")
                    with self.lock:
                        self.requests.append((received, time.monotonic(), line.decode("latin-1")))
                        self.lock.notify_all()
        except OSError:
            pass
        finally:
            with self.lock:
                self.clients -= 1
                self.stop_scan = True  # the program stops a scan whose client leaves
                if conn in self._conns:
                    self._conns.remove(conn)
                self.lock.notify_all()
            conn.close()

    # -------------------------------------------------------------- protocol

    def _store(self, response: bytes, code: bytes = b"", text: bytes = b"") -> bytes:
        self.result = (response, code, text)
        return response

    def stage(self) -> str:
        """SESSION's answer now (called under the lock)."""
        if self.scanning:
            return "SCANNING"
        if self.moving:
            return "BUSY"
        return self.session

    def _answer(self, line: str) -> bytes:
        with self.lock:
            if self.garbage:
                return b"\x00\xffgarbage"
            fields = [f for f in line.replace(" ", ",").split(",") if f] if line else []
            word = fields[0] if fields else ""
            if not line:
                report, self.report = self.report, b""
                return report
            if line == "ECODE":
                return self.result[1]
            if line == "ETEXT":
                return self.result[2]
            if line == "VER":
                return self._store(b"QVL Rari v2.1")
            if line == "SESSION":
                return self.stage().encode()
            if word == "LIMITS" and len(fields) <= 2:
                return self._limits(fields[1:])
            if word == "CHECK" and len(fields) > 1 and fields[1] in ("SETC", "SETR", "SCAN"):
                return self._check(fields[1:])
            if line == "BAND":
                if self.band is None:
                    return b"NONE"
                cwl, fwhm = self.band
                return b"%.1f,%.1f,%.1f,%.1f" % (cwl, fwhm, cwl - fwhm / 2, cwl + fwhm / 2)
            if line == "PROGRESS":
                return b"%d,%d,%.1f,%.1f" % self.progress
            if line == "STATE":
                self.report = b""
                return self._store(b"SCAN" if self.scanning else b"IDLE")
            if word in ("SETC", "SETR", "RESET", "SCAN") and self.scanning:
                return self._store(word.encode() + b" FAIL", b"NONE", b"Now Scanning.")
            if word == "STOP" and len(fields) == 1:
                if not self.scanning:
                    return self._store(b"STOP FAIL", b"NONE", b"No Scan.")
                self.stop_scan = True
                self.lock.notify_all()  # a paced scan waits without a time limit
                self.lock.wait_for(lambda: not self.scanning, 3)
                return self._store(b"STOP OK")
            refusal = self._unready(word)
            if refusal and word in ("SETC", "SETR", "SCAN", "RESET"):
                return self._store(word.encode() + b" FAIL", *refusal)
            if word == "RESET" and len(fields) == 1:
                self.band = None
                return self._store(b"RESET OK")
            if word in ("SETC", "SETR") and len(fields) == 3:
                return self._set(word, float(fields[1]), float(fields[2]))
            if word == "SCAN" and len(fields) == 6:
                return self._scan([float(f) for f in fields[1:]])
            return self._store(b"UNKNOWN COMMAND", b"NONE", b"Unknown Command.")

    def _unready(self, word: str) -> Optional[Tuple[bytes, bytes]]:
        """Code and text of the refusal of an instrument request at this stage, or None."""
        if self.session == "OPENING" or self.moving:
            return b"NONE", b"Device busy."
        if self.session != "READY":
            if word == "RESET":
                return b"NONE", b"Reset failure. Device not ready."
            return b"NONE", b"Device not ready. Please connect QVL Rari."
        return None

    def _limits(self, fwhm: List[str]) -> bytes:
        if self.stage() not in ("READY", "BUSY", "SCANNING"):
            return b"NONE"
        if not fwhm:
            return b"400.0,800.0,0.1,1.0,20.0"
        width = float(fwhm[0])
        if width not in [float(w) for w in range(1, 21)]:
            return b"NONE"
        return b"%.1f,%.1f" % (400.0 + width / 2, 800.0 - width / 2)

    def _check(self, fields: List[str]) -> bytes:
        word, values = fields[0], fields[1:]
        if len(values) != (5 if word == "SCAN" else 2):
            return b"UNKNOWN COMMAND"
        refusal = self._unready(word)
        if refusal:
            return b"NONE," + refusal[1]
        numbers = [float(v) for v in values]
        fault = self._scan_fault(numbers) if word == "SCAN" else self._set_fault(word, *numbers)
        return fault[0] + b"," + fault[1] if fault else b"OK"

    def _store(self, response: bytes, code: bytes = b"", text: bytes = b"") -> bytes:
        self.result = (response, code, text)
        return response

    @staticmethod
    def _set_fault(word: str, a: float, b: float) -> Optional[Tuple[bytes, bytes]]:
        cwl, fwhm = (a, b) if word == "SETC" else ((a + b) / 2, b - a)
        if cwl < 400.0:
            return b"ERRSE03", b"Out of range. Please set [CWL] " + GE + b" 400.0"
        if cwl > 800.0:
            return b"ERRSE04", b"Out of range. Please set [CWL] \xa1\xc2 800.0"
        if not 1.0 <= fwhm <= 20.0:
            return b"ERRSE05", b"Out of range. Please set 1.0 " + GE + b" [FWHM]"
        return None

    @staticmethod
    def _scan_fault(values: List[float]) -> Optional[Tuple[bytes, bytes]]:
        start, end, _, step, _ = values
        if not (400.0 <= start <= 800.0 and 400.0 <= end <= 800.0) or step <= 0:
            return b"ERRSC01", b"Out of range."
        return None

    def _set(self, word: str, a: float, b: float) -> bytes:
        fault = self._set_fault(word, a, b)
        if fault:
            return self._store(word.encode() + b" FAIL", *fault)
        cwl, fwhm = (a, b) if word == "SETC" else ((a + b) / 2, b - a)
        if self.move_s:
            self.moving = True
            self.lock.wait(self.move_s)  # the line stays with this request, as in the program
            self.moving = False
        self.band = (round(cwl, 1), round(fwhm, 1))
        return self._store(word.encode() + b" OK")

    def _scan(self, values: List[float]) -> bytes:
        fault = self._scan_fault(values)
        if fault:
            return self._store(b"SCAN FAIL", *fault)
        start, end, fwhm, step, delay = values
        count = int(round(abs(end - start) / step)) + 1
        direction = 1 if end >= start else -1
        self.scan_points = [round(start + direction * i * step, 1) for i in range(count)]
        self.scanning, self.stop_scan = True, False
        self.progress = (0, count, 0.0, count * self.step_s)
        self._spawn(self._run_scan, fwhm)
        return self._store(b"SCAN OK")

    def _run_scan(self, fwhm: float) -> None:
        started = time.monotonic()
        with self.lock:
            points = list(self.scan_points)
            failed = False
            reached = 0
            for done, cwl in enumerate(points, 1):
                if self.stop_scan or not self.scanning:
                    break
                if done == self.fail_at:
                    failed = True
                    break
                if self.paced:
                    self.lock.wait_for(lambda: self.stop_scan or not self.scanning or
                                       self.allowed >= done)
                    if self.stop_scan or not self.scanning:
                        break
                self.band = (cwl, fwhm)
                reached = done
                counted = done - 1 if self.count_late else done
                elapsed = time.monotonic() - started
                self.progress = (counted, len(points), elapsed,
                                 (len(points) - counted) * self.step_s)
                self.lock.notify_all()
                if not self.paced:
                    self.lock.wait_for(lambda: self.stop_scan or not self.scanning, self.step_s)
            aborted = self.stop_scan or not self.scanning
            self.progress = (reached,) + self.progress[1:3] + (0.0,)
            self.scanning, self.stop_scan = False, False
            if failed:
                self.report = self._store(b"SCAN FAIL", b"ERRDV05", b"Scan failure.")
            elif aborted:
                self.report = self._store(b"SCAN ABORT", b"NONE", b"Scan aborted.")
            else:
                self.report = self._store(b"SCAN SUCCESS", b"NONE", b"Scan successful.")
            self.lock.notify_all()
