"""A stand-in for the program's remote control on a free loopback port, for the client's fault
paths: it answers like the program (result store, end report for the next empty line, one
client at a time, the read-only queries BAND, PROGRESS, SESSION, LIMITS and CHECK, which store
nothing) unless a test tells it otherwise, and logs every request line it receives.
"""

import socket
import threading
from typing import Callable, Dict, List, Optional, Union

# What a test may put in `replies` for a request: bytes sent as they are (give the CR
# yourself), or a function of the server returning them; None stays silent.
Reply = Union[bytes, Callable[["FakeProgram"], Optional[bytes]], None]

GE, LE = b"\xa1\xc3", b"\xa1\xc2"


class FakeProgram:
    """Serves one client at a time on 127.0.0.1; `port` is its port. A second client is closed
    at once, without a reply, like the program does."""

    def __init__(self, state_keeps_report: bool = True) -> None:
        # Whether STATE and STOP leave a pending end report for the next empty line, or
        # replace it with their own answer (as the program once did).
        self.state_keeps_report = state_keeps_report
        self.requests: List[str] = []
        self.replies: Dict[str, Reply] = {}
        self.received = threading.Condition()
        self.response = b""
        # The end report of a scan, for the next empty line; other requests leave it alone.
        self.report = b""
        self.code = b""
        self.text = b""
        self.scanning = False
        self.band = b"NONE"
        self.progress = b"0,0,0.0,0.0"
        # What SESSION answers while no scan runs (SCANNING while one does); a move is refused
        # unless READY, with the program's words for the session.
        self.session = b"READY"
        # The sample table: CWL 400 to 800 nm by 0.5 nm, FWHM 1 to 20 nm; a band keeps its
        # edges inside the CWL range. None: no table (LIMITS answers NONE).
        self.limits: Optional[tuple] = (400.0, 800.0, 0.5, 1.0, 20.0)
        self.accept_clients = True
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.client: Optional[socket.socket] = None
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    # --- what a test uses -------------------------------------------------------------------

    def store(self, response: bytes, code: bytes = b"", text: bytes = b"") -> None:
        self.response, self.code, self.text = response, code, text

    def end_scan(self, report: bytes = b"SCAN SUCCESS", code: bytes = b"NONE",
                 text: bytes = b"Scan successful.") -> None:
        """The scan ends: its report waits for the next empty line."""
        with self.received:
            self.scanning = False
            self.report, self.code, self.text = report, code, text

    def wait_for_request(self, line: str, count: int = 1, timeout: float = 10.0) -> bool:
        """Waits until `line` has been received `count` times."""
        with self.received:
            return self.received.wait_for(lambda: self.requests.count(line) >= count, timeout)

    def wait_idle(self, timeout: float = 10.0) -> bool:
        """Waits until no client is connected (the last one's departure has been handled)."""
        with self.received:
            return self.received.wait_for(lambda: self.client is None, timeout)

    def drop_client(self) -> None:
        """Closes the client's connection, as the program does when it ends."""
        client = self.client
        if client is not None:
            try:
                client.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self) -> None:
        self.accept_clients = False
        self.drop_client()
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accept
        except OSError:
            pass
        self.listener.close()
        self.thread.join(5)

    # --- the server -------------------------------------------------------------------------

    def _serve(self) -> None:
        while self.accept_clients:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            if self.client is not None:
                conn.close()
                continue
            self.client = conn
            threading.Thread(target=self._talk, args=(conn,), daemon=True).start()

    def _talk(self, conn: socket.socket) -> None:
        rx = b""
        try:
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                rx += chunk
                while b"\r" in rx:
                    line, rx = rx.split(b"\r", 1)
                    request = line.decode("latin-1")
                    with self.received:
                        self.requests.append(request)
                        self.received.notify_all()
                        out = self._answer(request)
                    if out:
                        conn.sendall(out)
        except OSError:
            pass
        finally:
            conn.close()
            with self.received:
                self.client = None
                self.received.notify_all()

    def _answer(self, request: str) -> Optional[bytes]:
        if request in self.replies:
            reply = self.replies[request]
            return reply(self) if callable(reply) else reply
        fields = request.split(",")
        word = fields[0]
        if request == "":
            self.response, self.report = self.report, b""
        elif request == "VER":
            self.store(b"QVL Rari v2.1")
        elif request == "ECODE":
            self.response = self.code
        elif request == "ETEXT":
            self.response = self.text
        elif request == "STATE":
            state = b"SCAN" if self.scanning else b"IDLE"
            if not self.state_keeps_report:
                self.report = b""
            return state + b"\r"
        elif request == "BAND":
            return self.band + b"\r"
        elif request == "PROGRESS":
            return self.progress + b"\r"
        elif request == "SESSION":
            return (b"SCANNING" if self.scanning else self.session) + b"\r"
        elif word == "LIMITS" and len(fields) <= 2:
            return self._limits(fields[1:]) + b"\r"
        elif word == "CHECK" and len(fields) > 1 and fields[1] in ("SETC", "SETR", "SCAN") \
                and len(fields) == (7 if fields[1] == "SCAN" else 4):
            refusal = self._refusal(fields[1], fields[2:])
            return (b"%s,%s" % refusal if refusal else b"OK") + b"\r"
        elif word in ("SETC", "SETR") and len(fields) == 3:
            refusal = self._refusal(word, fields[1:])
            if refusal:
                self.store(word.encode() + b" FAIL", *refusal)
            else:
                cwl, fwhm = self._band(word, fields[1:])
                self.store(word.encode() + b" OK")
                self.band = b"%.1f,%.1f,%.1f,%.1f" % (cwl, fwhm, cwl - fwhm / 2, cwl + fwhm / 2)
        elif word == "RESET":
            self.store(b"RESET OK")
        elif word == "SCAN" and len(fields) == 6:
            refusal = self._refusal(word, fields[1:])
            if refusal:
                self.store(b"SCAN FAIL", *refusal)
            else:
                self.scanning, self.report = True, b""
                self.store(b"SCAN OK")
        elif word == "STOP":
            if self.scanning:
                # Answered once the end is reported; the report stays for an empty line
                # unless this stand-in replaces it with the answer.
                self.end_scan(b"SCAN ABORT", b"NONE", b"Scan aborted.")
                if not self.state_keeps_report:
                    self.report = b""
                self.store(b"STOP OK", self.code, self.text)
            else:
                self.store(b"STOP FAIL", b"NONE", b"No Scan.")
        else:
            self.store(b"UNKNOWN COMMAND", b"NONE", b"Unknown Command.")
        response, self.response = self.response, b""
        return response + b"\r"

    @staticmethod
    def _number(field: str) -> float:
        """A field as the program reads it: anything that is not a number counts as 0."""
        try:
            value = float(field)
        except ValueError:
            return 0.0
        return value if value == value and abs(value) != float("inf") else 0.0

    def _band(self, word: str, fields: List[str]) -> tuple:
        a, b = (self._number(x) for x in fields[:2])
        if word == "SETR":
            a, b = (a + b) / 2, b - a
        return round(a, 1), round(b, 1)

    def _limits(self, fields: List[str]) -> bytes:
        if self.limits is None or self.session != b"READY":
            return b"NONE"
        if not fields:
            return b"%.1f,%.1f,%.1f,%.1f,%.1f" % self.limits
        fwhm = self._number(fields[0])
        low, high, _, fwhm_low, fwhm_high = self.limits
        if fwhm != int(fwhm) or not fwhm_low <= fwhm <= fwhm_high:
            return b"NONE"
        return b"%.1f,%.1f" % (low + fwhm / 2, high - fwhm / 2)

    def _refusal(self, word: str, fields: List[str]) -> Optional[tuple]:
        """(code, text) of the program's refusal of the request, or None: the session first,
        then the sample table's rules, enough of them for the client's tests."""
        if self.scanning:
            return b"NONE", b"Now Scanning."
        if self.session.startswith(b"UNUSABLE,"):
            return self.session[len(b"UNUSABLE,"):], b"No calibration data file."
        if self.session in (b"OPENING", b"BUSY"):
            return b"NONE", b"Device busy."
        if self.session != b"READY" or self.limits is None:
            return b"NONE", b"Device not ready. Please connect QVL Rari."
        if word == "SCAN":
            start, end, fwhm, step = (self._number(x) for x in fields[:4])
            if step <= 0:
                return b"ERRSC01", b"Out of range. Please set [STEP] > 0.0"
            return self._refusal("SETC", [str(start), str(fwhm)]) or \
                self._refusal("SETC", [str(end), str(fwhm)])
        a, b = self._band(word, fields)
        low, high, _, fwhm_low, fwhm_high = self.limits
        if a < low:
            return b"ERRSE03", b"Out of range. Please set [CWL] " + GE + b" %.1f" % low
        if a > high:
            return b"ERRSE04", b"Out of range. Please set [CWL] " + LE + b" %.1f" % high
        if b < fwhm_low:
            return b"ERRSE05", b"Out of range. Please set [FWHM] " + GE + b" %.1f" % fwhm_low
        if b > fwhm_high:
            return b"ERRSE06", b"Out of range. Please set [FWHM] " + LE + b" %.1f" % fwhm_high
        if not low + b / 2 <= a <= high - b / 2:
            return b"ERRSE10", b"Out of range for this FWHM. Please set [CWL] %.1f - %.1f" % (
                low + b / 2, high - b / 2)
        return None


def refusing_port(test) -> int:
    """A loopback port on which nothing listens: bound, never listening, so that nothing else
    takes it while `test` runs."""
    holder = socket.socket()
    holder.bind(("127.0.0.1", 0))
    test.addCleanup(holder.close)
    return holder.getsockname()[1]
