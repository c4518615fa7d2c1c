#!/usr/bin/env python3
"""Drives the QVL Rari program from another program: sets a band, runs a scan, waits for its
end and reads the error when something fails. Python standard library only: a starting point
for a client in a language of your own. (In Python, the package in clients/python does all
this for you; see examples/step_detector.py.)

    examples/remote_scan.py [--host 127.0.0.1] [--port 5050] [--timeout 30]

The program answers each request line (ended by a carriage return) with one response line
(ended by a carriage return). Send one request, read its response, then send the next.
"""

import argparse
import socket
import sys
import time

# The longest wait for one response: longer than the longest move or reset.
RESPONSE_TIMEOUT_S = 30.0
# A scan step lasts its TimeDelay plus the move and a 100 ms poll; the wait for the end of a
# scan allows this much per point, and a margin for its start and its end report.
STEP_ALLOWANCE_S = 0.3
SCAN_MARGIN_S = 30.0


class RemoteError(Exception):
    """A request answered with FAIL; carries the code and text read right after it."""


class Rari:
    def __init__(self, host, port, timeout=RESPONSE_TIMEOUT_S):
        # The first client to connect holds control; while it does, the program closes any
        # other connection at once and locks its own buttons.
        self.where = f"{host}:{port}"
        self.timeout = timeout
        try:
            self.sock = socket.create_connection((host, port), timeout=timeout)
        except ConnectionRefusedError:
            raise ConnectionError(f"cannot connect to {self.where}: connection refused (is the "
                                  f"program running, with PortNum={port}?)") from None
        except socket.timeout:
            raise ConnectionError(f"cannot connect to {self.where}: no answer within "
                                  f"{timeout:g} s") from None
        except OSError as error:
            raise ConnectionError(f"cannot connect to {self.where}: {error}") from None
        self.rx = b""

    def close(self):
        self.sock.close()

    def ask(self, request):
        """Sends one request line and returns its response line (8-bit text)."""
        try:
            self.sock.sendall(request.encode("latin-1") + b"\r")
            while b"\r" not in self.rx:
                chunk = self.sock.recv(4096)
                if not chunk:
                    raise ConnectionError(
                        f"{self.where} closed the connection (another client may hold control, "
                        "or the program ended)")
                self.rx += chunk
        except socket.timeout:
            # The answer may still come; it would be taken for the next request's, so the
            # connection is not used any more.
            raise TimeoutError(f"no response to {request!r} from {self.where} within "
                               f"{self.timeout:g} s") from None
        except (ConnectionResetError, BrokenPipeError) as error:
            raise ConnectionError(f"the connection to {self.where} was lost ({error})") from None
        line, self.rx = self.rx.split(b"\r", 1)
        # The signs >= and <= of some error texts travel as the byte pairs A1 C3 and A1 C2.
        return line.replace(b"\xa1\xc3", ">=".encode()).replace(
            b"\xa1\xc2", "<=".encode()).decode("latin-1")

    def command(self, request):
        """A request that succeeds with "<WORD> OK"; a FAIL raises RemoteError with details,
        which must be read at once: the next request that stores a result replaces them."""
        response = self.ask(request)
        if response.endswith(" FAIL") or response.startswith("UNKNOWN "):
            code, text = self.ask("ECODE"), self.ask("ETEXT")
            raise RemoteError(f"{request}: {response}: {code} : {text}")
        return response

    def wait_for_scan_end(self, deadline_s, poll_seconds=0.2):
        """The end of a scan is reported on the next empty line; gives up after `deadline_s`
        seconds (the scan then goes on until this client disconnects)."""
        give_up = time.monotonic() + deadline_s
        while True:
            report = self.ask("")
            if report:
                return report
            if time.monotonic() > give_up:
                raise TimeoutError(f"the scan did not end within {deadline_s:.0f} s")
            time.sleep(poll_seconds)


def scan_points(start, end, step):
    """Points a scan visits: START towards END by STEP, END when it lies on that grid; the
    program rounds every value to 0.1 nm first (Python's round() rounds the same way)."""
    start, end, step = (round(round(v, 1) * 10) for v in (start, end, step))
    return abs(end - start) // step + 1 if step > 0 else 1


def scan_deadline(start, end, step, time_delay):
    """How long a scan may take before its end report is overdue."""
    return scan_points(start, end, step) * (time_delay + STEP_ALLOWANCE_S) + SCAN_MARGIN_S


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5050)
    parser.add_argument("--timeout", type=float, default=RESPONSE_TIMEOUT_S,
                        help="seconds to wait for one response (default 30)")
    args = parser.parse_args()

    try:
        rari = Rari(args.host, args.port, args.timeout)
    except ConnectionError as error:
        print(error, file=sys.stderr)
        return 2
    try:
        print("connected to", rari.ask("VER"))
        print(rari.command("SETC,550.0,10.0"))          # centre 550 nm, width 10 nm
        print(rari.command("SETR,595.0,605.0"))         # the band 595..605 nm
        # START, END, FWHM, STEP (nm) and the time at each step (s).
        start, end, fwhm, step, time_delay = 540.0, 560.0, 10.0, 2.0, 0.5
        print(rari.command(f"SCAN,{start},{end},{fwhm},{step},{time_delay}"))
        print("state:", rari.ask("STATE"))
        report = rari.wait_for_scan_end(scan_deadline(start, end, step, time_delay))
        print("scan ended:", report)
        if report == "SCAN FAIL":
            print("  ", rari.ask("ECODE"), ":", rari.ask("ETEXT"), file=sys.stderr)
            return 1
        # A refused request, to show the error details.
        try:
            rari.command("SETC,1000.0,10.0")
        except RemoteError as error:
            print("refused as expected:", error)
        return 0
    except RemoteError as error:
        print(error, file=sys.stderr)
        return 1
    except (OSError, TimeoutError) as error:  # a lost connection, a time-out
        print(error, file=sys.stderr)
        return 2
    finally:
        # Leaving stops a scan that still runs and unlocks the program's buttons.
        rari.close()


if __name__ == "__main__":
    sys.exit(main())
