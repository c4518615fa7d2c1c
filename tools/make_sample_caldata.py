#!/usr/bin/env python3
"""Writes the sample calibration data file of the demo instrument (model F123, serial
ABCD12345678): CWL 400.0 to 800.0 nm every 0.5 nm, FWHM 1 to 20 nm.

The motor positions are invented but shaped like a real filter's: axis 1 follows the centre
wavelength, axis 2 the bandwidth, axis 3 both. A grid point whose band would reach outside
400-800 nm is marked "x". The output is deterministic, so the committed file can be
regenerated and compared byte for byte.

Usage: make_sample_caldata.py [OUTPUT]   (default: samples/20180315_F123_ABCD12345678.csv
beside this script's parent folder)
"""

import math
import os
import sys

MODEL = "F123"
SERIAL = "ABCD12345678"
FILE_NAME = "20180315_" + MODEL + "_" + SERIAL + ".csv"

# Work in tenths of a nanometre so that the 0.5 nm grid and the band edges are exact.
CWL_FIRST_10 = 4000
CWL_LAST_10 = 8000
CWL_STEP_10 = 5
FWHM_VALUES = list(range(1, 21))
EOL = "\r\n"


def positions(cwl10, fwhm):
    """The three motor positions (0..6000) of one grid point."""
    t = (cwl10 - CWL_FIRST_10) / (CWL_LAST_10 - CWL_FIRST_10)  # 0..1 along the CWL range
    w = (fwhm - FWHM_VALUES[0]) / (FWHM_VALUES[-1] - FWHM_VALUES[0])  # 0..1 along the FWHM
    # Each axis keeps to its own part of the travel, as on the real mechanism.
    # Axis 1 (about 250..2950): the tuning axis, slightly bowed like an angle-to-wavelength curve.
    p1 = 250 + 2650 * t - 140 * t * (1 - t) + 30 * w
    # Axis 2 (about 3100..4360): the bandwidth axis, steeper for narrow bands, drifting with CWL.
    p2 = 3100 + 1150 * math.pow(w, 0.8) + 80 * t + 30 * math.sin(math.pi * t)
    # Axis 3 (about 4730..5880): the compensating axis, falling with both CWL and FWHM.
    p3 = 5880 - 780 * t - 520 * w + 150 * t * w - 40 * math.sin(math.pi * w)
    return tuple(int(math.floor(v + 0.5)) for v in (p1, p2, p3))


def cell(cwl10, fwhm):
    half10 = 5 * fwhm  # FWHM / 2 in tenths of a nanometre
    if cwl10 - half10 < CWL_FIRST_10 or cwl10 + half10 > CWL_LAST_10:
        return "x"
    p = positions(cwl10, fwhm)
    if len(set(p)) != 3 or not all(0 <= v <= 6000 for v in p):
        raise ValueError("bad positions %r at CWL %d/10, FWHM %d" % (p, cwl10, fwhm))
    return "%d:%d:%d" % p


def lines():
    cwls = list(range(CWL_FIRST_10, CWL_LAST_10 + 1, CWL_STEP_10))
    yield "Model," + MODEL
    yield "Serial,-," + SERIAL
    yield "Calibrated 2018-03-15 09:42 on QVL factory line 2 against HgAr lamp R-0417 at 23.1 C"
    yield "COLUMN,%d" % len(FWHM_VALUES)
    yield "ROW,%d" % len(cwls)
    yield ",," + ",".join(str(f) for f in FWHM_VALUES)
    for r, cwl10 in enumerate(cwls, start=1):
        cells = ",".join(cell(cwl10, f) for f in FWHM_VALUES)
        yield "%d,%d.%d,%s" % (r, cwl10 // 10, cwl10 % 10, cells)


def main(argv):
    if len(argv) > 2:
        sys.stderr.write(__doc__)
        return 2
    if len(argv) == 2:
        out = argv[1]
    else:
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        out = os.path.join(root, "samples", FILE_NAME)
    folder = os.path.dirname(out)
    if folder:
        os.makedirs(folder, exist_ok=True)
    with open(out, "w", encoding="ascii", newline="") as f:
        for line in lines():
            f.write(line + EOL)
    print(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
