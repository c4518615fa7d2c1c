#!/usr/bin/env python3
"""Drives the QVL Rari program from another program: sets a band, runs a scan, waits for its
end and reads the error when something fails. Python standard library only.

    examples/remote_scan.py [--host 127.0.0.1] [--port 5050]

The program answers each request line (ended by a carriage return) with one response line
(ended by a carriage return). Send one request, read its response, then send the next.
"""

import argparse
import socket
import sys
import time


class RemoteError(Exception):
    """A request answered with FAIL; carries the code and text read right after it."""


class Rari:
    def __init__(self, host, port, timeout=30.0):
        # The first client to connect holds control; while it does, the program closes any
        # other connection at once and locks its own buttons.
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.rx = b""

    def close(self):
        self.sock.close()

    def ask(self, request):
        """Sends one request line and returns its response line (8-bit text)."""
        self.sock.sendall(request.encode("latin-1") + b"\r")
        while b"\r" not in self.rx:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("the program closed the connection "
                                      "(another client may hold control)")
            self.rx += chunk
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

    def wait_for_scan_end(self, poll_seconds=0.2):
        """The end of a scan is reported on the next empty line. (STATE tells whether a scan
        runs, but it also replaces the stored end report.)"""
        while True:
            report = self.ask("")
            if report:
                return report
            time.sleep(poll_seconds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5050)
    args = parser.parse_args()

    try:
        rari = Rari(args.host, args.port)
    except OSError as error:
        print(f"cannot connect to {args.host}:{args.port}: {error}", file=sys.stderr)
        return 2
    try:
        print("connected to", rari.ask("VER"))
        print(rari.command("SETC,550.0,10.0"))          # centre 550 nm, width 10 nm
        print(rari.command("SETR,595.0,605.0"))         # the band 595..605 nm
        # START, END, FWHM, STEP (nm) and the time at each step (s).
        print(rari.command("SCAN,540.0,560.0,10.0,2.0,0.5"))
        print("state:", rari.ask("STATE"))
        report = rari.wait_for_scan_end()
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
    except (OSError, ConnectionError) as error:
        print(error, file=sys.stderr)
        return 2
    finally:
        # Leaving stops a scan that still runs and unlocks the program's buttons.
        rari.close()


if __name__ == "__main__":
    sys.exit(main())
