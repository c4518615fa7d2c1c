#include "caldata/Unit_CalibrationTable.h"

#include "core/Unit_Numbers.h"

#include <algorithm>

void CalibrationTable::Empty() {
    RowCount = 0;
    ColCount = 0;
}

int CalibrationTable::Rows() const {
    return std::clamp<int>(RowCount, 0, kMaxRows);
}
int CalibrationTable::Cols() const {
    return std::clamp<int>(ColCount, 0, kMaxCols);
}

double CalibrationTable::MinCwl() const {
    return Rows() > 0 ? RowValues[0] : 0.0;
}
double CalibrationTable::MaxCwl() const {
    return Rows() > 0 ? RowValues[Rows() - 1] : 0.0;
}
double CalibrationTable::MinFwhm() const {
    return Cols() > 0 ? ColValues[0] : 0.0;
}
double CalibrationTable::MaxFwhm() const {
    return Cols() > 0 ? ColValues[Cols() - 1] : 0.0;
}

double CalibrationTable::CwlStep() const {
    if (Rows() < 2) return 0.0;
    return Numbers::RoundToExtended(static_cast<long double>(RowValues[1]) - RowValues[0], 1);
}

double CalibrationTable::MinCwlAtFwhm(double fwhm) const {
    const int rows = Rows();
    const int cols = Cols();
    for (int c = 0; c < cols; ++c) {
        if (ColValues[c] != fwhm) continue;
        for (int r = 0; r < rows; ++r)
            if (Cell(r, c).Valid) return Cell(r, c).Cwl;
    }
    return 0.0;
}

double CalibrationTable::MaxCwlAtFwhm(double fwhm) const {
    const int rows = Rows();
    const int cols = Cols();
    for (int c = 0; c < cols; ++c) {
        if (ColValues[c] != fwhm) continue;
        for (int r = rows - 1; r >= 0; --r)
            if (Cell(r, c).Valid) return Cell(r, c).Cwl;
    }
    return 0.0;
}

double CalibrationTable::MinFwhmAtCwl(double cwl) const {
    const int rows = Rows();
    const int cols = Cols();
    for (int r = 0; r < rows; ++r) {
        if (RowValues[r] != cwl) continue;
        for (int c = 0; c < cols; ++c)
            if (Cell(r, c).Valid) return Cell(r, c).Fwhm;
    }
    return 0.0;
}

double CalibrationTable::MaxFwhmAtCwl(double cwl) const {
    const int rows = Rows();
    const int cols = Cols();
    for (int r = 0; r < rows; ++r) {
        if (RowValues[r] != cwl) continue;
        for (int c = cols - 1; c >= 0; --c)
            if (Cell(r, c).Valid) return Cell(r, c).Fwhm;
    }
    return 0.0;
}

bool CalibrationTable::IsCwlInTable(double cwl) const {
    const int rows = Rows();
    for (int r = 0; r < rows; ++r)
        if (RowValues[r] == cwl) return true;
    return false;
}

bool CalibrationTable::FindCell(double cwl, double fwhm, int& row, int& col) const {
    row = -1;
    col = -1;
    const int rows = Rows();
    const int cols = Cols();
    for (int r = 0; r < rows && row < 0; ++r)
        if (RowValues[r] == cwl) row = r;
    for (int c = 0; c < cols && col < 0; ++c)
        if (ColValues[c] == fwhm) col = c;
    if (row < 0 || col < 0) {
        row = -1;
        col = -1;
        return false;
    }
    return true;
}
