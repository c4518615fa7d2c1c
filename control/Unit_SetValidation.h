#pragma once
// The rules a set request must pass before the filter moves: a CWL + FWHM pair (EditMode 0) or
// an SW + LW pair (EditMode 1), checked against the calibration table's lookups.

#include "caldata/Unit_CalibrationTable.h"
#include "control/Unit_RequestRules.h"

#include <QByteArray>
#include <QString>

// The table limits read for one validation.
struct SetLimitValues {
    double MinCwl = 0.0;
    double MaxCwl = 0.0;
    double MinFwhm = 0.0;
    double MaxFwhm = 0.0;
    double MinCwlAtFwhm = 0.0; // for the request's FWHM; 0 when it is not a table FWHM
    double MaxCwlAtFwhm = 0.0;
};

// Code "ERRSE01".."ERRSE20" on failure.
struct SetValidationResult : RuleOutcome {
    // CWL, FWHM, SW, LW in nm, rounded to 0.01; filled only on success.
    double SetRequest[4] = {0.0, 0.0, 0.0, 0.0};
    // The limits the rules were checked against, filled on success and failure alike.
    SetLimitValues SetLimits;
};

// editMode 0: text1 is CWL and text2 FWHM; editMode 1: text1 is SW and text2 LW (any other
// value is taken as 0). A text that is not a number counts as 0; both are rounded to 0.1 nm,
// the derived values to 0.01 nm. The first rule that fails decides the result.
SetValidationResult ValidateSetRequest(int editMode, const QString& text1, const QString& text2,
                                       const CalibrationLookups& lookups);
