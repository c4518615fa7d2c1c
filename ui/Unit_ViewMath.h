#pragma once
// The wavelength ruler of the view strip: where a wavelength lies on it and where the value
// boxes, markers and band bar go for a band.

// Left edges in pixels from the strip's left edge, and the band bar's width.
struct ViewLayout {
    int Edit3BaseLeft; // CWL box
    int Edit3Left;     // CWL value
    int Edit6Left;     // FWHM value
    int Edit4BaseLeft; // SW box
    int Edit4Left;     // SW value
    int Edit5BaseLeft; // LW box
    int Edit5Left;     // LW value
    int PosCwlLeft;    // markers
    int PosSwLeft;
    int PosLwLeft;
    int PosRangeLeft; // band bar
    int PosRangeWidth;
};

namespace ViewMath {

// The ruler maps lo to x 140, the middle of the range to 454 and hi to 768.
constexpr double kRulerLowX = 140.0;
constexpr double kRulerMidX = 454.0;
constexpr double kRulerHighX = 768.0;

// y0 + (x - x0) * (y1 - y0) / (x1 - x0).
double Interpolate(double x0, double y0, double x1, double y1, double x);

// Linear on each half of the ruler; the middle is (lo + hi) / 2 rounded to 0.1 nm, so the two
// halves may have different scales. Values outside lo..hi extrapolate.
double WavelengthToX(double x, double lo, double hi);

// Positions for a band shown on the range lo..hi. Box positions are truncated toward zero.
ViewLayout ComputeViewLayout(double lo, double hi, double cwl, double fwhm, double sw, double lw);

// Positions when no band is shown.
ViewLayout RestLayout();

} // namespace ViewMath
