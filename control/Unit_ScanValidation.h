#pragma once
// The rules a scan request must pass before the engine steps: START, END, FWHM, STEP and
// TimeDelay, checked against each other and against the calibration table's lookups.

#include "caldata/Unit_CalibrationTable.h"
#include "control/Unit_RequestRules.h"

#include <QString>

// The five values of an accepted request, each rounded to 0.1.
struct ScanRequestValues {
    double Start = 0.0;     // first CWL, nm
    double End = 0.0;       // last CWL, nm
    double Fwhm = 0.0;      // bandwidth of every step, nm
    double Step = 0.0;      // CWL increment, nm
    double TimeDelay = 0.0; // time at each step, s
};

// The table limits read for one validation.
struct ScanLimitValues {
    double MinCwl = 0.0;
    double MaxCwl = 0.0;
    double MinFwhm = 0.0;
    double MaxFwhm = 0.0;
    double CwlStep = 0.0;
    // For the requested FWHM; read only once the FWHM has passed as a whole number.
    double MinCwlAtFwhm = 0.0;
    double MaxCwlAtFwhm = 0.0;
};

// Code "ERRSC01".."ERRSC22" on failure.
struct ScanValidationResult : RuleOutcome {
    ScanRequestValues ScanRequest; // filled only on success
    ScanLimitValues ScanLimits;    // the limits read so far, on success and failure alike
};

// The five field texts in panel order. A text that is not a number counts as 0; every value is
// rounded to 0.1. The first rule that fails decides the result.
ScanValidationResult ValidateScanRequest(const QString& start, const QString& end,
                                         const QString& fwhm, const QString& step,
                                         const QString& timeDelay,
                                         const CalibrationLookups& lookups);
