#include "control/Unit_SetValidation.h"

#include "core/Unit_Numbers.h"

namespace {

using RequestRules::Bound;

// Rule texts for one kind of request; the bounds are appended where the text ends in a sign.
struct RuleTexts {
    const char* Codes[10];
    QString NegativeFirst;
    QString NegativeSecond;
    QString CwlName;  // "[CWL]" or "([LW]+[SW])/2"
    QString FwhmName; // "[FWHM]" or "([LW]-[SW])"
    QString MaxFwhmLead;
};

const RuleTexts& Texts(int kind) {
    static const RuleTexts cwlFwhm{
        {"ERRSE01", "ERRSE02", "ERRSE03", "ERRSE04", "ERRSE05", "ERRSE06", "ERRSE07", "ERRSE08",
         "ERRSE09", "ERRSE10"},
        QStringLiteral("[CWL] value is invalid."),
        QStringLiteral("[FWHM] value is invalid."),
        QStringLiteral("[CWL]"),
        QStringLiteral("[FWHM]"),
        QStringLiteral("Out of range. "),
    };
    static const RuleTexts swLw{
        {"ERRSE11", "ERRSE12", "ERRSE13", "ERRSE14", "ERRSE15", "ERRSE16", "ERRSE17", "ERRSE18",
         "ERRSE19", "ERRSE20"},
        QStringLiteral("[SW] value is invalid."),
        QStringLiteral("[LW] value is invalid."),
        QStringLiteral("([LW]+[SW])/2"),
        QStringLiteral("([LW]-[SW])"),
        QStringLiteral("Out of range! "),
    };
    return kind == 1 ? swLw : cwlFwhm;
}

} // namespace

SetValidationResult ValidateSetRequest(int editMode, const QString& text1, const QString& text2,
                                       const CalibrationLookups& lookups) {
    const int kind = editMode == 1 ? 1 : 0;
    const RuleTexts& t = Texts(kind);

    const double value1 = RequestRules::ReadValue(text1);
    const double value2 = RequestRules::ReadValue(text2);
    double cwl, fwhm, sw, lw;
    if (kind == 0) {
        cwl = value1;
        fwhm = value2;
        sw = Numbers::RoundToExtended(static_cast<long double>(cwl) - fwhm * 0.5L, 2);
        lw = Numbers::RoundToExtended(fwhm * 0.5L + cwl, 2);
    } else {
        sw = value1;
        lw = value2;
        cwl = Numbers::RoundToExtended((static_cast<long double>(lw) + sw) * 0.5L, 2);
        fwhm = Numbers::RoundToExtended(static_cast<long double>(lw) - sw, 2);
    }

    SetValidationResult result;
    SetLimitValues& limits = result.SetLimits;
    limits.MinCwl = lookups.MinCwl();
    limits.MaxCwl = lookups.MaxCwl();
    limits.MinFwhm = lookups.MinFwhm();
    limits.MaxFwhm = lookups.MaxFwhm();
    limits.MinCwlAtFwhm = lookups.MinCwlAtFwhm(fwhm);
    limits.MaxCwlAtFwhm = lookups.MaxCwlAtFwhm(fwhm);

    // The rules in order of evaluation; the first that fails ends the validation.
    auto fail = [&result, &t](int rule, const QString& text) {
        result.Code = QString::fromLatin1(t.Codes[rule - 1]);
        result.Text = text;
        return result;
    };
    const QString kGe = RequestRules::AtLeast();
    const QString kLe = RequestRules::AtMost();
    const QString set = QStringLiteral("Out of range. Please set ");
    const QString cwlIs = t.CwlName + QLatin1Char(' ');
    const QString fwhmIs = t.FwhmName + QLatin1Char(' ');
    if (value1 < 0.0) return fail(1, t.NegativeFirst);
    if (value2 < 0.0) return fail(2, t.NegativeSecond);
    if (cwl < limits.MinCwl) return fail(3, set + cwlIs + kGe + Bound(limits.MinCwl));
    if (cwl > limits.MaxCwl) return fail(4, set + cwlIs + kLe + Bound(limits.MaxCwl));
    if (fwhm < limits.MinFwhm) return fail(5, set + fwhmIs + kGe + Bound(limits.MinFwhm));
    if (fwhm > limits.MaxFwhm)
        return fail(6, t.MaxFwhmLead + QStringLiteral("Please set ") + fwhmIs + kLe +
                           Bound(limits.MaxFwhm));
    if (!lookups.IsCwlInTable(cwl))
        return fail(7, QStringLiteral("The decimal place of ") + t.CwlName +
                           QStringLiteral(" must be an even integer."));
    if (Numbers::RoundTo(fwhm, 0) != fwhm)
        return fail(8, t.FwhmName + QStringLiteral(" must be a positive integer value."));
    const QString ifFwhm = QStringLiteral("Out of range. If ") + t.FwhmName +
                           QStringLiteral(" = ") + Bound(fwhm) + QStringLiteral(" Please set ") +
                           cwlIs;
    if (cwl < limits.MinCwlAtFwhm) return fail(9, ifFwhm + kGe + Bound(limits.MinCwlAtFwhm));
    if (cwl > limits.MaxCwlAtFwhm) return fail(10, ifFwhm + kLe + Bound(limits.MaxCwlAtFwhm));

    result.Ok = true;
    result.SetRequest[0] = Numbers::RoundTo(cwl, 2);
    result.SetRequest[1] = Numbers::RoundTo(fwhm, 2);
    result.SetRequest[2] = Numbers::RoundTo(sw, 2);
    result.SetRequest[3] = Numbers::RoundTo(lw, 2);
    return result;
}
