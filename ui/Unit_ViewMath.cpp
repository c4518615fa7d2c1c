#include "ui/Unit_ViewMath.h"

#include "core/Unit_Numbers.h"

#include <cmath>

namespace ViewMath {

namespace {

// Where each box's pointer sits inside it, and where its label and marker sit.
constexpr int kCwlPointer = 90;
constexpr int kSwPointer = 93;
constexpr int kLwPointer = 7;
constexpr int kMarkerWidth = 8;

// Truncates toward zero. A value that is not finite or far off any screen (an empty range, an
// absurd wavelength) is held to a bound that still fits the layout sums in an int.
int TruncatePixel(double x) {
    constexpr double kBound = 1000000.0;
    if (std::isnan(x)) return 0;
    if (x > kBound) return int(kBound);
    if (x < -kBound) return -int(kBound);
    return static_cast<int>(std::trunc(x));
}

} // namespace

double Interpolate(double x0, double y0, double x1, double y1, double x) {
    const double dx = x1 - x0;
    const double dy = y1 - y0;
    return y0 + (x - x0) * dy / dx;
}

double WavelengthToX(double x, double lo, double hi) {
    const double mid = Numbers::RoundToExtended((static_cast<long double>(lo) + hi) * 0.5L, 1);
    if (x < mid) return Interpolate(lo, kRulerLowX, mid, kRulerMidX, x);
    if (x > mid) return Interpolate(mid, kRulerMidX, hi, kRulerHighX, x);
    return kRulerMidX;
}

ViewLayout ComputeViewLayout(double lo, double hi, double cwl, double /*fwhm*/, double sw,
                             double lw) {
    ViewLayout v{};
    v.Edit3BaseLeft = TruncatePixel(WavelengthToX(cwl, lo, hi) - kCwlPointer);
    v.Edit3Left = v.Edit3BaseLeft + 48;
    v.Edit6Left = v.Edit3BaseLeft + 104;
    v.Edit4BaseLeft = TruncatePixel(WavelengthToX(sw, lo, hi) - kSwPointer);
    v.Edit4Left = v.Edit4BaseLeft + 9;
    v.Edit5BaseLeft = TruncatePixel(WavelengthToX(lw, lo, hi) - kLwPointer);
    v.Edit5Left = v.Edit5BaseLeft + 38;
    v.PosCwlLeft = v.Edit3BaseLeft + 87;
    v.PosSwLeft = v.Edit4BaseLeft + 91;
    v.PosLwLeft = v.Edit5BaseLeft + 3;
    v.PosRangeLeft = v.PosSwLeft;
    v.PosRangeWidth = v.PosLwLeft + kMarkerWidth - v.PosSwLeft;
    return v;
}

ViewLayout RestLayout() {
    ViewLayout v{};
    v.Edit3BaseLeft = 364;
    v.Edit3Left = 412;
    v.Edit6Left = 468;
    v.Edit4BaseLeft = 351;
    v.Edit4Left = 360;
    v.Edit5BaseLeft = 457;
    v.Edit5Left = 495;
    v.PosCwlLeft = 451;
    v.PosSwLeft = 442;
    v.PosLwLeft = 460;
    v.PosRangeLeft = 442;
    v.PosRangeWidth = 26;
    return v;
}

} // namespace ViewMath
