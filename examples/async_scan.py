#!/usr/bin/env python3
"""An asyncio program that drives the filter while it does other work: sets a band, then runs
a scan to its end, showing its progress, while another task keeps going (here it only counts
seconds).

    examples/async_scan.py [--host 127.0.0.1] [--port 5050]

Uses the package in clients/python (`pip install ./clients/python`; from a checkout it is
found without installing).
"""

import argparse
import asyncio
import os
import sys

try:
    from vuzaravarede import AsyncFilter, FilterError, ScanFailed
except ImportError:  # not installed: the package beside this folder
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                    "clients", "python"))
    from vuzaravarede import AsyncFilter, FilterError, ScanFailed


async def other_work(stop):
    seconds = 0
    while not stop.is_set():
        await asyncio.sleep(1.0)
        seconds += 1
        print(f"  ... other work goes on ({seconds} s)")


def show_progress(progress):
    print(f"  scan: {progress.done}/{progress.total} points, "
          f"{progress.remaining_s:.1f} s left")


async def run(host, port):
    async with AsyncFilter(host, port, timeout_s=30.0) as f:
        print("connected to", await f.version)
        await f.wait_ready(timeout_s=60.0)
        await f.set_band(550.0, 10.0)
        print("band set:", 550.0, "nm, FWHM", 10.0, "nm")
        stop = asyncio.Event()
        worker = asyncio.create_task(other_work(stop))
        try:
            # START, END, FWHM, STEP (nm), TimeDelay (s). Cancelling this task would stop the
            # scan before the cancellation goes on.
            report = await f.scan(540.0, 560.0, 10.0, 2.0, 0.5, progress=show_progress)
        finally:
            stop.set()
            await worker
        print("scan ended:", report)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5050)
    args = parser.parse_args()
    try:
        asyncio.run(run(args.host, args.port))
    except ScanFailed as error:
        print("scan failed:", error, file=sys.stderr)
        return 1
    except (ConnectionError, TimeoutError) as error:
        print(error, file=sys.stderr)
        return 2
    except FilterError as error:
        print(error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
