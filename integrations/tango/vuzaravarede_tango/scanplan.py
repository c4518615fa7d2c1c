"""The points of a scan the device started, worked out as the program works them out, so that
the device can publish the band of every point even when its reading of the program passed
over some of them (PROGRESS counting two or more points more than the last round saw)."""

import decimal
from typing import Dict, Iterator, List, Optional

import vuzaravarede
from vuzaravarede.protocol import tenths

Band = vuzaravarede.Band


def on_tenths(step_nm: float) -> bool:
    """True for a STEP that is a whole number of tenths of a nm. The program adds STEP to each
    point and rounds the sum to 0.1 nm; for such a STEP the sum is never near a half, so every
    build of the program visits the same points. For another STEP (0.15) the rounding of the
    sum depends on the program's floating-point type: the device does not guess those points."""
    return abs(step_nm * 10 - round(step_nm * 10)) < 1e-6


def scan_cwls(start_nm: float, end_nm: float, step_nm: float, limit: int) -> Iterator[float]:
    """The CWLs a scan from START towards END by a STEP on tenths of a nm visits, at most
    `limit` of them: START rounded to 0.1 nm, then each point STEP further, as long as it has
    not passed END (END as given, not rounded). A STEP of 0 ends the scan after its first
    point, as it does in the program."""
    down = start_nm > end_nm
    cwl, step = tenths(start_nm), tenths(step_nm) * (-1 if down else 1)
    count = 0
    while count < limit and ((cwl / 10 >= end_nm) if down else (cwl / 10 <= end_nm)):
        yield cwl / 10
        count += 1
        if step == 0:
            return
        cwl += step


def _band(cwl_nm: float, fwhm_nm: float) -> Band:
    """The band BAND answers for the grid point (cwl, fwhm): the edges at CWL -/+ FWHM/2,
    rounded to 0.01 nm and shown to 0.1 nm; for the program's whole-nm FWHM they are exact."""
    half = decimal.Decimal(fwhm_nm) / 2
    here = decimal.Decimal(cwl_nm)
    sw, lw = (float(f"{float(edge.quantize(decimal.Decimal('0.01'))):.1f}")
              for edge in (here - half, here + half))
    return Band(cwl_nm, fwhm_nm, sw, lw)


class ScanPlan:
    """A scan this device started: its points, and how many of them have been published.

    `seen` is set by the first round of reading the program that began after the scan was
    accepted and read its PROGRESS (an earlier round may still hold the previous scan's), `over`
    by the first such round that found the session no longer scanning: the plan then serves
    that round's publishing and is done."""

    def __init__(self, start_nm: float, end_nm: float, fwhm_nm: float, step_nm: float) -> None:
        self.request = (start_nm, end_nm, step_nm)
        self.fwhm_nm = tenths(fwhm_nm) / 10
        self.points: Optional[List[float]] = None
        self.where: Dict[float, int] = {}
        self.published = 0
        self.seen = False
        self.over = False

    def catch_up(self, progress: "vuzaravarede.Progress",
                 band: Optional[Band]) -> Optional[List[Band]]:
        """The bands of the points passed since the last call that are not the current band,
        in order; the points up to the current band (or, without one, up to PROGRESS's count)
        count as published from then on. None when PROGRESS or BAND are not those of this scan
        (another count of points, a band off its grid): the plan no longer applies."""
        if self.points is None:
            # One point more than PROGRESS counts tells a scan of another length.
            self.points = list(scan_cwls(*self.request, limit=progress.total + 1))
            self.where = {cwl: index for index, cwl in enumerate(self.points)}
        done = progress.done
        if progress.total != len(self.points) or done + 1 < self.published:
            return None
        current = None
        if band is not None:
            current = self.where.get(band.cwl_nm) if band.fwhm_nm == self.fwhm_nm else None
            # BAND is read after PROGRESS: the last point counted, or the next one reached
            # before the program counted it.
            if current is None or not done - 1 <= current <= done:
                return [] if done == 0 else None  # before the first move: the band before
        last = done if current is None else current
        skipped = [_band(self.points[index], self.fwhm_nm)
                   for index in range(self.published, last)]
        self.published = max(self.published, last if current is None else current + 1)
        return skipped
