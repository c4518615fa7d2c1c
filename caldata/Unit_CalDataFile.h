#pragma once
// The instrument's calibration data file: its name rule, its lines and fields, and the checks
// that fill the calibration table from it.

#include "caldata/Unit_CalibrationTable.h"

#include <QByteArray>
#include <QChar>
#include <QString>
#include <QStringList>

#include <vector>

class QIODevice;

// Decodes the file's bytes (a UTF-8 or UTF-16 LE/BE byte-order mark is honoured, other bytes are
// Latin-1) and splits them into lines at CR LF, a lone LF or a lone CR. A line end at the very
// end of the file does not start one more line; an empty file has no lines.
QStringList ReadCalDataLines(const QByteArray& bytes);

// The lines of a calibration data file, as the checks ask for them.
class CalDataLineSource {
public:
    virtual ~CalDataLineSource() = default;
    // True when there are at least `count` lines.
    virtual bool HasLines(qsizetype count) = 0;
    // Line `index` (from 0) into `text`; false when it is missing or cannot be read whole.
    virtual bool Line(qsizetype index, QString& text) = 0;
};

// Lines already in memory.
class CalDataListLines : public CalDataLineSource {
public:
    explicit CalDataListLines(const QStringList& lines) : Lines(lines) {}
    bool HasLines(qsizetype count) override { return Lines.size() >= count; }
    bool Line(qsizetype index, QString& text) override;

private:
    const QStringList& Lines;
};

// The lines of an open, seekable file (a regular file), decoded and split like
// ReadCalDataLines, read only as far as they are asked for. Only where each line starts is
// kept, so memory stays small whatever the file holds: a line longer than MaxLineUnits cannot
// be read (it fails the check that examines it), and the file counts as ending after
// MaxScanBytes. Hand-written because QTextStream::readLine has no bound on a line.
class CalDataFileLines : public CalDataLineSource {
public:
    static constexpr qsizetype MaxLineUnits = 64 * 1024;
    static constexpr qint64 MaxScanBytes = 128 * 1024 * 1024;

    explicit CalDataFileLines(QIODevice& file);
    bool HasLines(qsizetype count) override;
    bool Line(qsizetype index, QString& text) override;

private:
    enum class Encoding { Latin1, Utf8, Utf16LE, Utf16BE };
    char16_t UnitAt(const char* p) const;
    QString Decode(const QByteArray& bytes, bool atDataStart) const;

    QIODevice& File;
    Encoding Enc = Encoding::Latin1;
    int UnitBytes = 1;
    qint64 DataStart = 0;
    std::vector<qint64> Starts; // byte offset of each line found so far
    qint64 ScanPos = 0;         // next byte to look at
    bool ScanEnded = false;
    bool AtLineStart = true; // the next unit begins a line
    bool AfterCr = false;    // the last unit was a CR: an LF right after it ends the same line
};

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

// Checks the lines in stages (a line that cannot be read fails the check that examines it) and
// fills the table as it goes:
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
CalDataLoadResult LoadCalData(CalDataLineSource& lines, const QString& model, const QString& serial,
                              CalibrationTable& table);
CalDataLoadResult LoadCalDataLines(const QStringList& lines, const QString& model,
                                   const QString& serial, CalibrationTable& table);

// The message bar line for an ERRDV code, from the texts of core/Unit_Messages.h; 11 to 19 get
// the tag after a space: "ERRDV12 : Calibration data file might be problem. (Serial)".
// Empty for code 0.
QString CalDataErrorMessage(int code, const QString& tag);
