#pragma once
// The instrument's calibration data file: its name rule, its lines and fields, and the checks
// that fill the calibration table from it.

#include "caldata/Unit_CalibrationTable.h"

#include <QByteArray>
#include <QChar>
#include <QString>
#include <QStringList>

// Decodes the file's bytes (a UTF-8 or UTF-16 LE/BE byte-order mark is honoured, other bytes are
// Latin-1) and splits them into lines at CR LF, a lone LF or a lone CR. A line end at the very
// end of the file does not start one more line; an empty file has no lines.
QStringList ReadCalDataLines(const QByteArray& bytes);

// Splits one line into fields. Characters 1 to 32 are skipped before and after a field and end a
// field that does not start with a double quote (so "a b" gives two fields). A quoted field runs
// to the next lone double quote, a doubled quote standing for one. Two separators in a row give
// an empty field, a separator as the line's last character one more empty field; an empty line
// has no fields.
QStringList SplitCalDataFields(const QString& line, QChar separator = QLatin1Char(','));

// A file picked by the user: exactly 30 characters (folder not counted), characters 1-8 a whole
// number of at least 20180101, characters 10-13 the model and 15-26 the serial (case-sensitive).
bool IsDeliveredCalFileNameValid(const QString& fileName, const QString& model,
                                 const QString& serial);

// Name of the copy kept in the Cal folder: model + "_" + serial + ".csv".
QString KeptCalFileName(const QString& model, const QString& serial);

// Code 0 on success; otherwise the ERRDV number (11..20) and the tag of the first failed check.
struct CalDataLoadResult {
    int Code = 0;
    QString Tag;
    bool Ok() const { return Code == 0; }
};

// Checks the lines in stages and fills the table as it goes:
//   20        fewer than 7 lines
//   11 (Model)  line 1: Model,<model>
//   12 (Serial) line 2: Serial,<any>,<serial>
//   13 (tCol)   line 4: COLUMN,<0..20>
//   14 (tRow)   line 5: ROW,<0..1000>, and at least ROW + 6 lines
//   15 (tWid)   line 6: at least COLUMN + 2 fields, fields 3.. are the FWHM values
//   16 (tWid)   a data line is missing although ROW was checked (a guard, not expected)
//   17 (r)      data row r has fewer than COLUMN + 2 fields
//   18 (r)      data row r's number is not an integer or is less than r
//   19 (r/c)    cell c of data row r is neither "x" nor three ':'-separated parts
// On failure the table is emptied (RowCount and ColCount 0).
CalDataLoadResult LoadCalDataLines(const QStringList& lines, const QString& model,
                                   const QString& serial, CalibrationTable& table);

// The message bar line for an ERRDV code, from the texts of core/Unit_Messages.h; 11 to 19 get
// the tag after a space: "ERRDV12 : Calibration data file might be problem. (Serial)".
// Empty for code 0.
QString CalDataErrorMessage(int code, const QString& tag);
