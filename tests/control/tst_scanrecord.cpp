// The scan record file: its name, its lines as each row is written (on disk before the next),
// its end line, and a folder it cannot be written to, reported once without stopping anything.
#include "control/Unit_ScanRecord.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <unistd.h>

namespace {

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

ScanRecordHeader Header() {
    ScanRecordHeader h;
    h.Program = QStringLiteral("VuzaRavarede 2.1");
    h.Model = QStringLiteral("F123");
    h.Serial = QStringLiteral("ABCD12345678");
    h.Range = QStringLiteral("400.0-800.0");
    h.CalFile = QStringLiteral("/opt/lab, room 2/Cal/F123_ABCD12345678.csv");
    h.Start = 500.0;
    h.End = 510.0;
    h.Fwhm = 10.0;
    h.Step = 2.0;
    h.TimeDelay = 0.1;
    h.Remote = true;
    return h;
}

ScanRecordRow Row(int point, double cwl, bool ok, const QDateTime& at) {
    ScanRecordRow r;
    r.Point = point;
    r.Cwl = cwl;
    r.Fwhm = 10.0;
    r.Sw = cwl - 5.0;
    r.Lw = cwl + 5.0;
    r.HavePositions = ok;
    r.P1 = 100 + point;
    r.P2 = 200 + point;
    r.P3 = 3000 + point;
    r.Started = at;
    r.Finished = at.addMSecs(250);
    r.TStarted = point * 0.5;
    r.TFinished = point * 0.5 + 0.25;
    r.Ok = ok;
    return r;
}

} // namespace

class TestScanRecord : public QObject {
    Q_OBJECT
private slots:
    void fileNamesAndTimes() {
        const QDateTime start(QDate(2026, 3, 5), QTime(7, 8, 9, 42), QTimeZone(3600 * 5 + 1800));
        QCOMPARE(TScanRecord::FileName(start, 1), QStringLiteral("Scan 20260305-070809.csv"));
        QCOMPARE(TScanRecord::FileName(start, 3), QStringLiteral("Scan 20260305-070809-3.csv"));
        QCOMPARE(TScanRecord::IsoTime(start), QStringLiteral("2026-03-05T07:08:09.042+05:30"));
        const QDateTime west(QDate(2026, 12, 31), QTime(23, 59, 59, 999), QTimeZone(-3600 * 8));
        QCOMPARE(TScanRecord::IsoTime(west), QStringLiteral("2026-12-31T23:59:59.999-08:00"));
    }

    // A whole record, read back line by line while it is written: every row is in the file
    // before the next is written, and the end line closes it.
    void rowsReachTheFileAsTheyAreWritten() {
        QTemporaryDir dir;
        const QString folder = dir.path() + QStringLiteral("/Scans");
        const QDateTime start = QDateTime::currentDateTime();
        QStringList reports;
        TScanRecord record;
        QVERIFY(
            record.Begin(folder, start, Header(), [&](const QString& r) { reports.append(r); }));
        QCOMPARE(QFileInfo(record.Path()).fileName(), TScanRecord::FileName(start, 1));

        const QByteArray head = ReadAll(record.Path());
        const QList<QByteArray> headLines = head.split('\n');
        QCOMPARE(headLines.value(0), QByteArray("# program,VuzaRavarede 2.1"));
        QCOMPARE(headLines.value(1), QByteArray("# instrument,F123,ABCD12345678,400.0-800.0"));
        // A comma in the path is quoted, so the line still splits into two fields.
        QCOMPARE(headLines.value(2),
                 QByteArray("# calibration,\"/opt/lab, room 2/Cal/F123_ABCD12345678.csv\""));
        QCOMPARE(headLines.value(3), QByteArray("# request,START=500.0,END=510.0,FWHM=10.0,"
                                                "STEP=2.0,TimeDelay=0.1"));
        QCOMPARE(headLines.value(4), QByteArray("# source,remote"));
        QCOMPARE(headLines.value(5), "# started," + TScanRecord::IsoTime(start).toUtf8());
        QCOMPARE(headLines.value(6),
                 QByteArray("point,cwl_nm,fwhm_nm,sw_nm,lw_nm,p1,p2,p3,started,finished,"
                            "t_started_s,t_finished_s,result"));

        record.WriteRow(Row(1, 500.0, true, start));
        QVERIFY(ReadAll(record.Path())
                    .endsWith("1,500.0,10.0,495.00,505.00,101,201,3001," +
                              TScanRecord::IsoTime(start).toUtf8() + ',' +
                              TScanRecord::IsoTime(start.addMSecs(250)).toUtf8() +
                              ",0.500,0.750,OK\n"));
        record.WriteRow(Row(2, 502.0, true, start.addSecs(1)));
        // A failed move has no grid point to name.
        record.WriteRow(Row(3, 504.0, false, start.addSecs(2)));
        QVERIFY(ReadAll(record.Path()).contains("\n3,504.0,10.0,499.00,509.00,,,,"));
        QVERIFY(ReadAll(record.Path()).endsWith(",1.500,1.750,FAIL\n"));
        record.End(ScanRecordEnd::Fail, QStringLiteral("ERRDV05"));
        QVERIFY(!record.IsOpen());

        const QList<QByteArray> lines = ReadAll(record.Path()).split('\n');
        QCOMPARE(lines.size(), 12); // 6 '#' lines, header, 3 rows, end line, final empty piece
        QCOMPARE(lines[10], QByteArray("# end,FAIL,ERRDV05"));
        QVERIFY(reports.isEmpty());
    }

    void endLines_data() {
        QTest::addColumn<int>("how");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("success") << int(ScanRecordEnd::Success) << QString()
                                 << QByteArray("# end,SUCCESS\n");
        QTest::newRow("abort") << int(ScanRecordEnd::Abort) << QString()
                               << QByteArray("# end,ABORT\n");
        QTest::newRow("cut short by the program's end")
            << int(ScanRecordEnd::Abort) << QStringLiteral("ended")
            << QByteArray("# end,ABORT,ended\n");
    }
    void endLines() {
        QFETCH(int, how);
        QFETCH(QString, reason);
        QFETCH(QByteArray, line);
        QTemporaryDir dir;
        TScanRecord record;
        QVERIFY(record.Begin(dir.path(), QDateTime::currentDateTime(), Header(), {}));
        record.End(ScanRecordEnd(how), reason);
        QVERIFY(ReadAll(record.Path()).endsWith(line));
        // A second end writes nothing more.
        const QByteArray once = ReadAll(record.Path());
        record.End(ScanRecordEnd::Abort);
        QCOMPARE(ReadAll(record.Path()), once);
    }

    // Scans started in one second keep each other's records.
    void sameSecondGetsANumber() {
        QTemporaryDir dir;
        const QDateTime start = QDateTime::currentDateTime();
        TScanRecord first, second, third;
        QVERIFY(first.Begin(dir.path(), start, Header(), {}));
        QVERIFY(second.Begin(dir.path(), start, Header(), {}));
        // A link planted under the next name is neither followed nor overwritten.
        const QString target = dir.path() + QStringLiteral("/target");
        QVERIFY(QFile::link(target, dir.path() + u'/' + TScanRecord::FileName(start, 3)));
        QVERIFY(third.Begin(dir.path(), start, Header(), {}));
        QCOMPARE(QFileInfo(second.Path()).fileName(), TScanRecord::FileName(start, 2));
        QCOMPARE(QFileInfo(third.Path()).fileName(), TScanRecord::FileName(start, 4));
        QVERIFY(!QFile::exists(target));
        QVERIFY(ReadAll(first.Path()).startsWith("# program,"));
    }

    // The folder cannot hold the record: one report, and the rows and the end that follow
    // neither write nor report again.
    void unwritableFolderReportsOnce_data() {
        QTest::addColumn<QString>("fault");
        QTest::newRow("a file named Scans") << "file";
        QTest::newRow("read-only folder") << "readonly";
    }
    void unwritableFolderReportsOnce() {
        QFETCH(QString, fault);
        if (fault == QLatin1String("readonly") && ::geteuid() == 0)
            QSKIP("root writes into read-only folders");
        QTemporaryDir dir;
        const QString folder = dir.path() + QStringLiteral("/Scans");
        if (fault == QLatin1String("file")) {
            QFile f(folder);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else {
            QVERIFY(QDir().mkpath(folder));
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
        }
        QStringList reports;
        TScanRecord record;
        QVERIFY(!record.Begin(folder, QDateTime::currentDateTime(), Header(),
                              [&](const QString& r) { reports.append(r); }));
        record.WriteRow(Row(1, 500.0, true, QDateTime::currentDateTime()));
        record.End(ScanRecordEnd::Success);
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].contains(QDir::toNativeSeparators(folder)), qPrintable(reports[0]));
        QVERIFY(!record.IsOpen());
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
};

QTEST_GUILESS_MAIN(TestScanRecord)
#include "tst_scanrecord.moc"
