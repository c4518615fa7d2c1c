#pragma once
// The record of a scan: one comma-separated file per scan in the Scans folder beside the
// program, named after the scan's start ("Scan yyyymmdd-hhnnss.csv", "-2", "-3", ... for a second
// scan in the same second). '#' lines describe the instrument and the request, then a header row
// and one row per point, each written and flushed as its move ends, so that a program killed
// mid-scan leaves every finished point on disk; "# end,..." closes it.
//
// A record that cannot be written never stops the scan: the reason is reported once and the
// record stays silent for the rest of the scan.

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <functional>

struct ScanRecordHeader {
    QString Program; // name and version
    QString Model;
    QString Serial;
    QString Range;
    QString CalFile;
    double Start = 0.0;
    double End = 0.0;
    double Fwhm = 0.0;
    double Step = 0.0;
    double TimeDelay = 0.0;
    bool Remote = false; // the request came from a remote client, not the window
};

struct ScanRecordRow {
    qint32 Point = 0; // 1 for the first point of the scan
    double Cwl = 0.0;
    double Fwhm = 0.0;
    double Sw = 0.0;
    double Lw = 0.0;
    bool HavePositions = false; // the table has a grid point for the band
    qint32 P1 = 0;
    qint32 P2 = 0;
    qint32 P3 = 0;
    QDateTime Started; // local wall-clock time of the move's start and end
    QDateTime Finished;
    double TStarted = 0.0; // seconds since the scan's start, monotonic clock
    double TFinished = 0.0;
    bool Ok = false;
};

// How a record ends.
enum class ScanRecordEnd { Success, Abort, Fail };

class TScanRecord {
public:
    // Receives the one line that says why the record cannot be written.
    using FailureReport = std::function<void(const QString& reason)>;

    TScanRecord() = default;
    TScanRecord(const TScanRecord&) = delete;
    TScanRecord& operator=(const TScanRecord&) = delete;

    // "Scan yyyymmdd-hhnnss.csv" for the first record of that second, "Scan ...-N.csv" for the
    // N-th (N >= 2).
    static QString FileName(const QDateTime& start, int n);
    // ISO 8601 local time with milliseconds and the UTC offset: 2026-12-10T17:19:52.123+01:00.
    static QString IsoTime(const QDateTime& time);
    // One CSV field: quoted when it holds a comma, a quote or a line break.
    static QString CsvField(const QString& text);

    // Creates `folder` when needed and the scan's file in it, and writes the '#' lines and the
    // header row. False, with the reason reported, when the record cannot be written.
    bool Begin(const QString& folder, const QDateTime& start, const ScanRecordHeader& header,
               FailureReport report);
    // Appends one point and flushes it to the system.
    void WriteRow(const ScanRecordRow& row);
    // Writes the end line ("# end,SUCCESS", "# end,ABORT", "# end,ABORT,<reason>",
    // "# end,FAIL,<code>") and closes.
    void End(ScanRecordEnd how, const QString& code = QString());

    bool IsOpen() const { return File.isOpen(); }
    // The file of the current or last record, empty when none was created.
    QString Path() const { return FilePath; }

private:
    bool Write(const QByteArray& bytes);
    void Fail(const QString& reason);

    QFile File;
    QString FilePath;
    FailureReport Report;
};
