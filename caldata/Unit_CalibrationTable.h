#pragma once
// The calibration grid: CWL rows by FWHM columns, each grid point holding the three motor
// positions that put the filter at that band. Requests are served by exact lookup only.

#include <QtGlobal>

// One grid point.
struct CalibrationCell {
    double Fwhm; // FWHM of the cell's column, nm
    double Cwl;  // CWL of the cell's row, nm
    bool Valid;  // true exactly when all three positions are >= 0
    qint32 Pos1; // motor positions in the instrument's steps, in GO order
    qint32 Pos2;
    qint32 Pos3;
};

// The table lookups as the validations see them. The table answers them ungated; the main
// window answers them only while a session is open and a table is loaded.
class CalibrationLookups {
public:
    virtual ~CalibrationLookups() = default;
    virtual double MinCwl() const = 0;
    virtual double MaxCwl() const = 0;
    virtual double MinFwhm() const = 0;
    virtual double MaxFwhm() const = 0;
    virtual double CwlStep() const = 0;
    virtual double MinCwlAtFwhm(double fwhm) const = 0;
    virtual double MaxCwlAtFwhm(double fwhm) const = 0;
    virtual double MinFwhmAtCwl(double cwl) const = 0;
    virtual double MaxFwhmAtCwl(double cwl) const = 0;
    virtual bool IsCwlInTable(double cwl) const = 0;
};

// Fixed capacity, so that loading a file allocates nothing. Entries beyond RowCount/ColCount
// keep whatever an earlier load left there and are never read. Doubles are compared exactly;
// a lookup that finds nothing answers 0.0 (false).
class CalibrationTable : public CalibrationLookups {
public:
    static constexpr int kMaxRows = 1000;
    static constexpr int kMaxCols = 20;

    qint32 RowCount = 0;
    qint32 ColCount = 0;
    double RowValues[kMaxRows] = {};
    double ColValues[kMaxCols] = {};
    // Row-major, kMaxCols cells per row whatever ColCount is.
    CalibrationCell Cells[kMaxRows * kMaxCols] = {};

    CalibrationCell& Cell(int row, int col) { return Cells[row * kMaxCols + col]; }
    const CalibrationCell& Cell(int row, int col) const { return Cells[row * kMaxCols + col]; }

    // Forgets the grid; the values stay in memory unread.
    void Empty();

    double MinCwl() const override;
    double MaxCwl() const override;
    double MinFwhm() const override;
    double MaxFwhm() const override;
    // Spacing of the first two rows, rounded to 0.1 nm.
    double CwlStep() const override;
    // Smallest/largest CWL with a valid cell in the first column of this FWHM that has one.
    double MinCwlAtFwhm(double fwhm) const override;
    double MaxCwlAtFwhm(double fwhm) const override;
    // Smallest/largest FWHM with a valid cell in the first row of this CWL that has one.
    double MinFwhmAtCwl(double cwl) const override;
    double MaxFwhmAtCwl(double cwl) const override;
    bool IsCwlInTable(double cwl) const override;

    // The first row whose CWL equals cwl and the first column whose FWHM equals fwhm; the
    // cell's Valid flag is not consulted (the move command refuses the -1 positions itself).
    // False, with row and col -1, when either is missing.
    bool FindCell(double cwl, double fwhm, int& row, int& col) const;

private:
    // Counts limited to the capacity, so that a count set from outside never reads past it.
    int Rows() const;
    int Cols() const;
};
