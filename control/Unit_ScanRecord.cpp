#include "control/Unit_ScanRecord.h"

#include "core/Unit_Numbers.h"

#include <QDir>
#include <QFileInfo>

namespace {

// Two scans started in one second get -2, -3, ...; beyond this the folder is not usable.
constexpr int kMaxSameSecond = 1000;

QString Fixed1(double value) {
    return Numbers::FormatFixedEnUS(value, 1);
}

QString Seconds(double value) {
    return Numbers::FormatFixedEnUS(value, 3);
}

} // namespace

QString TScanRecord::FileName(const QDateTime& start, int n) {
    QString name = QStringLiteral("Scan ") + start.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (n >= 2) name += u'-' + QString::number(n);
    return name + QStringLiteral(".csv");
}

QString TScanRecord::IsoTime(const QDateTime& time) {
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + (offset < 0 ? u'-' : u'+') +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString TScanRecord::CsvField(const QString& text) {
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\n') &&
        !text.contains(u'\r'))
        return text;
    QString quoted = text;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

bool TScanRecord::Begin(const QString& folder, const QDateTime& start,
                        const ScanRecordHeader& header, FailureReport report) {
    if (File.isOpen()) File.close();
    FilePath.clear();
    Report = std::move(report);

    const QFileInfo folderInfo(folder);
    if (folderInfo.exists() && !folderInfo.isDir()) {
        Fail(QStringLiteral("%1 is not a folder").arg(QDir::toNativeSeparators(folder)));
        return false;
    }
    if (!QDir().mkpath(folder)) {
        Fail(QStringLiteral("cannot create the folder %1").arg(QDir::toNativeSeparators(folder)));
        return false;
    }
    const QString base = folder.endsWith(u'/') ? folder : folder + u'/';
    // NewOnly: an existing file (or a link planted in its place) is never written through.
    for (int n = 1; n <= kMaxSameSecond && !File.isOpen(); ++n) {
        File.setFileName(base + FileName(start, n));
        if (File.open(QIODevice::WriteOnly | QIODevice::NewOnly)) break;
        if (!File.exists() && !QFileInfo(File.fileName()).isSymLink()) {
            Fail(QStringLiteral("cannot create %1: %2")
                     .arg(QDir::toNativeSeparators(File.fileName()), File.errorString()));
            return false;
        }
    }
    if (!File.isOpen()) {
        Fail(QStringLiteral("no free file name in %1").arg(QDir::toNativeSeparators(folder)));
        return false;
    }
    FilePath = File.fileName();

    const auto line = [](const QString& key, const QStringList& values) {
        QString text = QStringLiteral("# ") + key;
        for (const QString& value : values)
            text += u',' + CsvField(value);
        return text + u'\n';
    };
    QString head;
    head += line(QStringLiteral("program"), {header.Program});
    head += line(QStringLiteral("instrument"), {header.Model, header.Serial, header.Range});
    head += line(QStringLiteral("calibration"), {QDir::toNativeSeparators(header.CalFile)});
    head +=
        line(QStringLiteral("request"), {QStringLiteral("START=") + Fixed1(header.Start),
                                         QStringLiteral("END=") + Fixed1(header.End),
                                         QStringLiteral("FWHM=") + Fixed1(header.Fwhm),
                                         QStringLiteral("STEP=") + Fixed1(header.Step),
                                         QStringLiteral("TimeDelay=") + Fixed1(header.TimeDelay)});
    head += line(QStringLiteral("source"),
                 {header.Remote ? QStringLiteral("remote") : QStringLiteral("window")});
    head += line(QStringLiteral("started"), {IsoTime(start)});
    head += QStringLiteral("point,cwl_nm,fwhm_nm,sw_nm,lw_nm,p1,p2,p3,started,finished,"
                           "t_started_s,t_finished_s,result\n");
    return Write(head.toUtf8());
}

void TScanRecord::WriteRow(const ScanRecordRow& row) {
    if (!File.isOpen()) return;
    const auto position = [&row](qint32 p) {
        return row.HavePositions ? QString::number(p) : QString();
    };
    const QString text = QString::number(row.Point) + u',' + Fixed1(row.Cwl) + u',' +
                         Fixed1(row.Fwhm) + u',' + Numbers::FormatFixedEnUS(row.Sw, 2) + u',' +
                         Numbers::FormatFixedEnUS(row.Lw, 2) + u',' + position(row.P1) + u',' +
                         position(row.P2) + u',' + position(row.P3) + u',' + IsoTime(row.Started) +
                         u',' + IsoTime(row.Finished) + u',' + Seconds(row.TStarted) + u',' +
                         Seconds(row.TFinished) + u',' +
                         (row.Ok ? QStringLiteral("OK") : QStringLiteral("FAIL")) + u'\n';
    Write(text.toUtf8());
}

void TScanRecord::End(ScanRecordEnd how, const QString& code) {
    if (!File.isOpen()) return;
    QByteArray text = "# end,";
    switch (how) {
    case ScanRecordEnd::Success:
        text += "SUCCESS";
        break;
    case ScanRecordEnd::Abort:
        text += "ABORT";
        // A reason only where the scan was not stopped by a person or a client.
        if (!code.isEmpty()) text += "," + code.toUtf8();
        break;
    case ScanRecordEnd::Fail:
        text += "FAIL," + code.toUtf8();
        break;
    }
    if (Write(text + '\n')) File.close();
}

bool TScanRecord::Write(const QByteArray& bytes) {
    // Flushed at once: a point is on disk (in the system's hands) before the next move starts.
    if (File.write(bytes) == bytes.size() && File.flush()) return true;
    Fail(QStringLiteral("cannot write %1: %2")
             .arg(QDir::toNativeSeparators(File.fileName()), File.errorString()));
    return false;
}

void TScanRecord::Fail(const QString& reason) {
    // Once per scan: the file is given up, so nothing is written or reported again.
    if (File.isOpen()) File.close();
    if (Report) Report(QStringLiteral("Scan record not written: ") + reason);
    Report = nullptr;
}
