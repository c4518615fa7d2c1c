// The read-only queries SESSION, LIMITS and CHECK: their answers on the sample table and on a
// table whose FWHM columns are not 1..20, and the refusals CHECK gives before any rule.
#include "caldata/CalFileFixture.h"
#include "caldata/Unit_CalDataFile.h"
#include "remote/Unit_RemoteQueries.h"

#include <QFile>
#include <QTest>

using Fields = QList<QByteArray>;

namespace {

CalibrationTable SampleTable() {
    CalibrationTable table;
    QFile file(QStringLiteral(VR_SOURCE_DIR "/samples/20180315_F123_ABCD12345678.csv"));
    if (!file.open(QIODevice::ReadOnly)) qFatal("sample file missing");
    const CalDataLoadResult r = LoadCalDataLines(ReadCalDataLines(file.readAll()),
                                                 CalFixture::kModel, CalFixture::kSerial, table);
    if (!r.Ok()) qFatal("sample file refused: %d", r.Code);
    return table;
}

// CWL 490.0..520.0 every 0.1 nm, FWHM 2 4 6 8 10 20.
CalibrationTable FineTable() {
    CalibrationTable table;
    const CalDataLoadResult r =
        LoadCalDataLines(CalFixture::GridLines(4900, 5200, 1, {2, 4, 6, 8, 10, 20}),
                         CalFixture::kModel, CalFixture::kSerial, table);
    if (!r.Ok()) qFatal("fixture refused: %d", r.Code);
    return table;
}

RemoteQueryFacts ReadySession() {
    RemoteQueryFacts facts;
    facts.SessionOpen = true;
    facts.TableLoaded = true;
    return facts;
}

} // namespace

class TestRemoteQueries : public QObject {
    Q_OBJECT
    CalibrationTable Sample = SampleTable();
    CalibrationTable Fine = FineTable();

private slots:
    void session_data() {
        QTest::addColumn<int>("phase");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("searching")
            << int(SessionState::Searching) << QByteArray() << QByteArray("SEARCHING");
        QTest::newRow("opening") << int(SessionState::Opening) << QByteArray()
                                 << QByteArray("OPENING");
        QTest::newRow("ready") << int(SessionState::Ready) << QByteArray() << QByteArray("READY");
        QTest::newRow("busy") << int(SessionState::Busy) << QByteArray() << QByteArray("BUSY");
        QTest::newRow("scanning") << int(SessionState::Scanning) << QByteArray()
                                  << QByteArray("SCANNING");
        QTest::newRow("unusable") << int(SessionState::Unusable) << QByteArray("ERRDV10")
                                  << QByteArray("UNUSABLE,ERRDV10");
    }
    void session() {
        QFETCH(int, phase);
        QFETCH(QByteArray, code);
        QFETCH(QByteArray, reply);
        QCOMPARE(SessionReply({SessionState::Kind(phase), code}), reply);
    }

    void limits_data() {
        QTest::addColumn<bool>("sample");
        QTest::addColumn<QByteArray>("fwhm"); // empty: LIMITS alone
        QTest::addColumn<QByteArray>("reply");
        const auto row = [](const char* name, bool sample, const QByteArray& fwhm,
                            const QByteArray& reply) {
            QTest::newRow(name) << sample << fwhm << reply;
        };
        row("sample table", true, {}, "400.0,800.0,0.5,1.0,20.0");
        row("sample, FWHM 20", true, "20", "410.0,790.0");
        row("sample, FWHM 1", true, "1", "400.5,799.5");
        row("sample, FWHM 20.0 with blanks", true, " 20.0 ", "410.0,790.0");
        // Read as the set rules read a FWHM: rounded to 0.1 first.
        row("sample, FWHM 19.96 is 20", true, "19.96", "410.0,790.0");
        row("sample, FWHM between columns", true, "10.5", "NONE");
        row("sample, FWHM beyond the table", true, "21", "NONE");
        row("sample, FWHM not a number", true, "abc", "NONE");
        row("sample, FWHM nan", true, "nan", "NONE");
        row("sample, FWHM huge", true, "1e308", "NONE");
        row("fine table", false, {}, "490.0,520.0,0.1,2.0,20.0");
        row("fine, FWHM 10", false, "10", "495.0,515.0");
        row("fine, FWHM 1 is no column", false, "1", "NONE");
        row("fine, FWHM 7 is no column", false, "7", "NONE");
    }
    void limits() {
        QFETCH(bool, sample);
        QFETCH(QByteArray, fwhm);
        QFETCH(QByteArray, reply);
        const CalibrationTable& table = sample ? Sample : Fine;
        const QByteArray answer = fwhm.isNull() ? LimitsReply(table, ReadySession())
                                                : LimitsAtFwhmReply(table, ReadySession(), fwhm);
        QCOMPARE(answer, reply);
    }

    // Without a session or a table there is nothing to tell.
    void limitsWithoutTable() {
        RemoteQueryFacts closed;
        QCOMPARE(LimitsReply(Sample, closed), QByteArray("NONE"));
        QCOMPARE(LimitsAtFwhmReply(Sample, closed, "20"), QByteArray("NONE"));
        RemoteQueryFacts noTable = ReadySession();
        noTable.TableLoaded = false;
        QCOMPARE(LimitsReply(Sample, noTable), QByteArray("NONE"));
        QCOMPARE(LimitsAtFwhmReply(Sample, noTable, "20"), QByteArray("NONE"));
    }

    // The refusals a request meets before its rules, in the order it meets them.
    void checkRefusals_data() {
        QTest::addColumn<bool>("open");
        QTest::addColumn<bool>("scanning");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<Fields>("request");
        QTest::addColumn<QByteArray>("reply");
        const Fields setc{"SETC", "550.0", "10.0"};
        const Fields scan{"SCAN", "500", "600", "10", "1", "0.5"};
        const QString noFile = QStringLiteral("ERRDV10 : No calibration data file.");
        QTest::newRow("scanning") << true << true << QString() << setc
                                  << QByteArray("NONE,Now Scanning.");
        QTest::newRow("scanning, scan")
            << true << true << QString() << scan << QByteArray("NONE,Now Scanning.");
        QTest::newRow("no session")
            << false << false << QString() << setc
            << QByteArray("NONE,Device not ready. Please connect QVL Rari.");
        QTest::newRow("no session, scan")
            << false << false << QString() << scan
            << QByteArray("NONE,Device not ready. Please connect QVL Rari.");
        QTest::newRow("unusable") << true << false << noFile << setc
                                  << QByteArray("ERRDV10,No calibration data file.");
        QTest::newRow("unusable, out of range too")
            << true << false << noFile << Fields{"SETR", "1", "2"}
            << QByteArray("ERRDV10,No calibration data file.");
        QTest::newRow("ready") << true << false << QString() << setc << QByteArray("OK");
        QTest::newRow("ready, scan") << true << false << QString() << scan << QByteArray("OK");
    }
    void checkRefusals() {
        QFETCH(bool, open);
        QFETCH(bool, scanning);
        QFETCH(QString, failure);
        QFETCH(Fields, request);
        QFETCH(QByteArray, reply);
        RemoteQueryFacts facts;
        facts.SessionOpen = open;
        facts.TableLoaded = open && failure.isEmpty();
        facts.Scanning = scanning;
        facts.ReadFailure = failure;
        QCOMPARE(CheckReply(request, Sample, facts), reply);
    }

    // The rules on the sample table as a client meets them: the range of FWHM 20 and the grid.
    void checkOnTheSampleTable_data() {
        QTest::addColumn<Fields>("request");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("795 at FWHM 20")
            << Fields{"SETC", "795", "20"}
            << QByteArray("ERRSE10,Out of range. If [FWHM] = 20.0 Please set [CWL] \xA1\xC2 790.0");
        QTest::newRow("800.1") << Fields{"SETC", "800.1", "10"}
                               << QByteArray(
                                      "ERRSE04,Out of range. Please set [CWL] \xA1\xC2 800.0");
        QTest::newRow("off the grid")
            << Fields{"SETC", "550.3", "10"}
            << QByteArray("ERRSE07,The decimal place of [CWL] must be an even integer.");
        QTest::newRow("not a number, NaN, huge")
            << Fields{"SETC", "nan", "1e999"}
            << QByteArray("ERRSE03,Out of range. Please set [CWL] \xA1\xC3 400.0");
        QTest::newRow("edges") << Fields{"SETR", "545", "555"} << QByteArray("OK");
    }
    void checkOnTheSampleTable() {
        QFETCH(Fields, request);
        QFETCH(QByteArray, reply);
        QCOMPARE(CheckReply(request, Sample, ReadySession()), reply);
    }
};

QTEST_APPLESS_MAIN(TestRemoteQueries)
#include "tst_remotequeries.moc"
