#include "control/Unit_ScanValidation.h"

#include "core/Unit_Numbers.h"

#include <cmath>

namespace {

// The remainder of value x 10, rounded to a whole number, by a whole divisor; for a value of
// 0 or more. The whole part is reduced by the divisor before it is scaled, so the result is
// exact for every finite value: STEP x 10 itself may need more digits than a double holds,
// or lie beyond its range (1e308).
double TenthsRemainder(double value, double divisor) {
    const double whole = std::floor(value);
    const double fractionTenths =
        Numbers::RoundToExtended(static_cast<long double>(value - whole) * 10.0L, 0);
    return std::fmod(10.0 * std::fmod(whole, divisor) + fractionTenths, divisor);
}

} // namespace

ScanValidationResult ValidateScanRequest(const QString& startText, const QString& endText,
                                         const QString& fwhmText, const QString& stepText,
                                         const QString& timeDelayText,
                                         const CalibrationLookups& lookups) {
    using RequestRules::Bound;
    const double start = RequestRules::ReadValue(startText);
    const double end = RequestRules::ReadValue(endText);
    const double fwhm = RequestRules::ReadValue(fwhmText);
    const double step = RequestRules::ReadValue(stepText);
    const double timeDelay = RequestRules::ReadValue(timeDelayText);

    ScanValidationResult result;
    ScanLimitValues& limits = result.ScanLimits;
    limits.MinCwl = lookups.MinCwl();
    limits.MaxCwl = lookups.MaxCwl();
    limits.MinFwhm = lookups.MinFwhm();
    limits.MaxFwhm = lookups.MaxFwhm();
    limits.CwlStep = lookups.CwlStep();

    auto fail = [&result](int rule, const QString& text) {
        result.Code = QStringLiteral("ERRSC%1").arg(rule, 2, 10, QLatin1Char('0'));
        result.Text = text;
        return result;
    };
    const QString ge = RequestRules::AtLeast();
    const QString le = RequestRules::AtMost();
    const QString set = QStringLiteral("Out of range. Please set ");
    const QString decimalPlace = QStringLiteral(" must be an even integer.");

    // The rules in order of evaluation; the first that fails ends the validation.
    if (start < 0.0) return fail(1, QStringLiteral("[START] value is invalid."));
    if (end < 0.0) return fail(2, QStringLiteral("[END] value is invalid."));
    if (fwhm < 0.0) return fail(3, QStringLiteral("[FWHM] value is invalid."));
    if (step < 0.0) return fail(4, QStringLiteral("[STEP] value is invalid."));
    if (timeDelay < 0.0) return fail(5, QStringLiteral("[TimeDelay] value is invalid."));
    if (start < limits.MinCwl) return fail(6, set + "[START] " + ge + Bound(limits.MinCwl));
    if (start > limits.MaxCwl) return fail(7, set + "[START] " + le + Bound(limits.MaxCwl));
    if (end < limits.MinCwl) return fail(8, set + "[END] " + ge + Bound(limits.MinCwl));
    if (end > limits.MaxCwl) return fail(9, set + "[END] " + le + Bound(limits.MaxCwl));
    if (fwhm < limits.MinFwhm) return fail(10, set + "[FWHM] " + ge + Bound(limits.MinFwhm));
    if (fwhm > limits.MaxFwhm) return fail(11, set + "[FWHM] " + le + Bound(limits.MaxFwhm));
    const QString stepTooSmall = set + "[STEP] " + ge + Bound(limits.CwlStep);
    if (step < limits.CwlStep) return fail(12, stepTooSmall);
    // STEP must be a whole number of table spacings, compared in tenths of a nm, exactly at any
    // size of STEP. A table without a usable spacing (none loaded, a single row, rows closer
    // than 0.05 nm) cannot be stepped through at all: the request is refused as a STEP below
    // that spacing.
    const double spacingTenths =
        Numbers::RoundToExtended(static_cast<long double>(limits.CwlStep) * 10.0L, 0);
    if (spacingTenths <= 0.0) return fail(12, stepTooSmall);
    if (TenthsRemainder(step, spacingTenths) != 0.0)
        return fail(13, QStringLiteral("The decimal place of [STEP]") + decimalPlace);
    if (timeDelay < 0.1) return fail(14, set + "[TimeDelay] " + ge + "0.1");
    if (timeDelay > 600.0) return fail(15, set + "[TimeDelay] " + le + "600.0");
    if (!lookups.IsCwlInTable(start))
        return fail(16, QStringLiteral("The decimal place of [START]") + decimalPlace);
    if (!lookups.IsCwlInTable(end))
        return fail(17, QStringLiteral("The decimal place of [END]") + decimalPlace);
    if (Numbers::RoundTo(fwhm, 0) != fwhm)
        return fail(18, QStringLiteral("[FWHM] must be a positive integer value."));

    limits.MinCwlAtFwhm = lookups.MinCwlAtFwhm(fwhm);
    limits.MaxCwlAtFwhm = lookups.MaxCwlAtFwhm(fwhm);
    if (start < end) {
        if (start < limits.MinCwlAtFwhm)
            return fail(19, set + "[START] " + ge + Bound(limits.MinCwlAtFwhm));
        if (end > limits.MaxCwlAtFwhm)
            return fail(20, set + "[END] " + le + Bound(limits.MaxCwlAtFwhm));
    } else if (start > end) {
        if (start > limits.MaxCwlAtFwhm)
            return fail(21, set + "[START] " + le + Bound(limits.MaxCwlAtFwhm));
        if (end < limits.MinCwlAtFwhm)
            return fail(22, set + "[END] " + ge + Bound(limits.MinCwlAtFwhm));
    }

    result.Ok = true;
    result.ScanRequest = {start, end, fwhm, step, timeDelay};
    return result;
}
