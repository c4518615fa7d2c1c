#!/usr/bin/env python3
"""Steps the filter through wavelengths of your choice and measures each one with a detector
of your own: the filter is set, the light settles for DWELL seconds, then the detector is read.
Prints one CSV line per point: cwl_nm, started, finished (Unix time, s), value.

    examples/step_detector.py [--host 127.0.0.1] [--port 5050] [--fwhm 10] [--dwell 0.5] POINT...
    examples/step_detector.py --visa TCPIP::127.0.0.1::5050::SOCKET 550 540 532.5

Uses the package in clients/python (`pip install ./clients/python`; from a checkout it is
found without installing). Replace read_detector() with your instrument's reading.
"""

import argparse
import os
import random
import sys

try:
    from vuzaravarede import Filter, FilterError
except ImportError:  # not installed: the package beside this folder
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                    "clients", "python"))
    from vuzaravarede import Filter, FilterError


def read_detector(cwl_nm):
    """Stands in for your detector: a reading taken while the filter passes `cwl_nm`."""
    return round(1000.0 + random.gauss(0.0, 5.0), 2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5050)
    parser.add_argument("--visa", metavar="RESOURCE",
                        help="go through this pyvisa resource instead of --host/--port")
    parser.add_argument("--fwhm", type=float, default=10.0, help="band width, nm (default 10)")
    parser.add_argument("--dwell", type=float, default=0.5,
                        help="seconds between arriving and reading (default 0.5)")
    parser.add_argument("points", nargs="+", type=float, help="centre wavelengths, nm, in order")
    args = parser.parse_args()

    try:
        if args.visa:
            f = Filter.via_pyvisa(args.visa, timeout_s=30.0)
        else:
            f = Filter(args.host, args.port, timeout_s=30.0)
    except (ConnectionError, TimeoutError) as error:
        print(error, file=sys.stderr)
        return 2
    with f:
        print("cwl_nm,started,finished,value")
        try:
            # Every point is checked by the program before the first move; a point it would
            # refuse raises here and nothing moves.
            f.wait_ready(timeout_s=60.0)
            steps = f.step_through(args.points, fwhm_nm=args.fwhm, dwell_s=args.dwell,
                                   on_point=read_detector)
        except (FilterError, KeyboardInterrupt) as error:
            # The filter stays where it is; what was measured is kept.
            for step in getattr(error, "steps", []):
                print(f"{step.cwl_nm},{step.started:.3f},{step.finished:.3f},{step.value}")
            if isinstance(error, KeyboardInterrupt):
                return 130
            print(error, file=sys.stderr)
            return 2 if isinstance(error, (ConnectionError, TimeoutError)) else 1
        for step in steps:
            print(f"{step.cwl_nm},{step.started:.3f},{step.finished:.3f},{step.value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
