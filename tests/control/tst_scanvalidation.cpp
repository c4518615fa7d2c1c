// The scan request rules: conversion of the five fields, the twenty-two rules in order with
// their codes and texts, the accepted request and the limits handed to the engine.
#include "caldata/CalFileFixture.h"
#include "caldata/Unit_CalDataFile.h"
#include "control/Unit_ScanValidation.h"
#include "core/Unit_Text8.h"
#include "remote/Unit_RemoteQueries.h"

#include <QTest>
#include <map>
#include <memory>

namespace {

std::unique_ptr<CalibrationTable> LoadTable(const QStringList& lines) {
    auto table = std::make_unique<CalibrationTable>();
    if (!lines.isEmpty()) {
        const CalDataLoadResult r =
            LoadCalDataLines(lines, CalFixture::kModel, CalFixture::kSerial, *table);
        if (!r.Ok()) qFatal("fixture file refused: %d %s", r.Code, qPrintable(r.Tag));
    }
    return table;
}

const QString GE = QStringLiteral("\u2265");
const QString LE = QStringLiteral("\u2264");

} // namespace

class TestScanValidation : public QObject {
    Q_OBJECT
    std::map<QString, std::unique_ptr<CalibrationTable>> tables;

    const CalibrationTable& Table(const QString& name) { return *tables.at(name); }

    ScanValidationResult Run(const QString& fixture, const QStringList& f) {
        return ValidateScanRequest(f[0], f[1], f[2], f[3], f[4], Table(fixture));
    }

    // The CHECK answer for the same request in a ready session: the code and 8-bit text the
    // request would store.
    QByteArray CheckInReadySession(const QString& fixture, const QStringList& f) {
        RemoteQueryFacts facts;
        facts.SessionOpen = true;
        facts.TableLoaded = true;
        QList<QByteArray> request{"SCAN"};
        for (const QString& field : f)
            request.append(Text8::FromWide(field));
        return CheckReply(request, Table(fixture), facts);
    }

private slots:
    void initTestCase() {
        // "fine":   CWL 490.0..520.0 every 0.1 nm, FWHM 2 4 6 8 10 20 (FWHM 10: 495.0..515.0)
        // "even":   CWL 490.0..520.0 every 0.2 nm, same FWHMs
        // "coarse": CWL 400.0 400.5 401.0, FWHM 10 20 (spacing 0.5)
        // "single": one CWL row, so no spacing
        // "none":   no table; every lookup answers 0
        tables["fine"] = LoadTable(CalFixture::GridLines(4900, 5200, 1, {2, 4, 6, 8, 10, 20}));
        tables["even"] = LoadTable(CalFixture::GridLines(4900, 5200, 2, {2, 4, 6, 8, 10, 20}));
        tables["coarse"] = LoadTable(CalFixture::ExampleLines());
        tables["single"] = LoadTable(CalFixture::GridLines(5000, 5000, 1, {1, 2}));
        tables["none"] = LoadTable({});
        QCOMPARE(Table("even").CwlStep(), 0.2);
        QCOMPARE(Table("coarse").CwlStep(), 0.5);
        QCOMPARE(Table("single").CwlStep(), 0.0);
    }

    void rejects_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("text");
        auto row = [](const char* name, const char* fixture, const QStringList& fields,
                      const char* code, const QString& text) {
            QTest::newRow(name) << QString(fixture) << fields << QString(code) << text;
        };
        const QString set = QStringLiteral("Out of range. Please set ");
        row("all empty", "fine", {"", "", "", "", ""}, "ERRSC06", set + "[START] " + GE + " 490.0");
        row("letters count as 0", "fine", {"abc", "510", "10", "1", "1"}, "ERRSC06",
            set + "[START] " + GE + " 490.0");
        row("nan is not a number", "fine", {"nan", "510", "10", "1", "1"}, "ERRSC06",
            set + "[START] " + GE + " 490.0");
        row("a remote value of 400 digits", "fine", {QString(400, u'9'), "510", "10", "1", "1"},
            "ERRSC06", set + "[START] " + GE + " 490.0");
        row("negative START", "fine", {"-1", "510", "10", "1", "1"}, "ERRSC01",
            "[START] value is invalid.");
        row("negative END", "fine", {"500", "-1", "10", "1", "1"}, "ERRSC02",
            "[END] value is invalid.");
        row("negative FWHM wins over later faults", "fine", {"500", "510", "-1", "-1", "-1"},
            "ERRSC03", "[FWHM] value is invalid.");
        row("negative STEP", "fine", {"500", "510", "10", "-1", "-1"}, "ERRSC04",
            "[STEP] value is invalid.");
        row("negative TimeDelay", "fine", {"500", "510", "10", "1", "-0.05"}, "ERRSC05",
            "[TimeDelay] value is invalid.");
        row("START above MaxCwl", "fine", {"520.1", "510", "10", "1", "1"}, "ERRSC07",
            set + "[START] " + LE + " 520.0");
        row("END below MinCwl", "fine", {"500", "489.9", "10", "1", "1"}, "ERRSC08",
            set + "[END] " + GE + " 490.0");
        row("END above MaxCwl", "fine", {"500", "1e3", "10", "1", "1"}, "ERRSC09",
            set + "[END] " + LE + " 520.0");
        row("FWHM below MinFwhm", "fine", {"500", "510", "1", "1", "1"}, "ERRSC10",
            set + "[FWHM] " + GE + " 2.0");
        row("FWHM above MaxFwhm", "fine", {"500", "510", "21", "1", "1"}, "ERRSC11",
            set + "[FWHM] " + LE + " 20.0");
        row("STEP 0.04 rounds to 0", "fine", {"500", "510", "10", "0.04", "1"}, "ERRSC12",
            set + "[STEP] " + GE + " 0.1");
        row("STEP below the spacing", "coarse", {"400", "401", "10", "0.4", "1"}, "ERRSC12",
            set + "[STEP] " + GE + " 0.5");
        row("STEP not a multiple of the spacing", "even", {"500", "510", "10", "0.3", "1"},
            "ERRSC13", "The decimal place of [STEP] must be an even integer.");
        row("STEP beyond 32 bits, not a multiple", "coarse",
            {"400", "401", "10", "1000000000.1", "1"}, "ERRSC13",
            "The decimal place of [STEP] must be an even integer.");
        row("no table: no spacing to step by", "none", {"0", "0", "0", "0", "1"}, "ERRSC12",
            set + "[STEP] " + GE + " 0.0");
        row("one row: no spacing to step by", "single", {"500", "500", "1", "1", "1"}, "ERRSC12",
            set + "[STEP] " + GE + " 0.0");
        row("TimeDelay 0.04 rounds to 0", "fine", {"500", "510", "10", "1", "0.04"}, "ERRSC14",
            set + "[TimeDelay] " + GE + " 0.1");
        row("TimeDelay 600.1", "fine", {"500", "510", "10", "1", "600.1"}, "ERRSC15",
            set + "[TimeDelay] " + LE + " 600.0");
        row("START between table values", "even", {"500.1", "510", "10", "0.2", "1"}, "ERRSC16",
            "The decimal place of [START] must be an even integer.");
        row("END between table values", "even", {"500", "509.9", "10", "0.2", "1"}, "ERRSC17",
            "The decimal place of [END] must be an even integer.");
        row("half FWHM", "fine", {"500", "510", "10.5", "1", "1"}, "ERRSC18",
            "[FWHM] must be a positive integer value.");
        row("ascending, START below the range of FWHM", "fine", {"494.9", "510", "10", "1", "1"},
            "ERRSC19", set + "[START] " + GE + " 495.0");
        row("ascending, END above the range of FWHM", "fine", {"500", "515.1", "10", "1", "1"},
            "ERRSC20", set + "[END] " + LE + " 515.0");
        row("ascending, FWHM without a column", "fine", {"500", "510", "7", "1", "1"}, "ERRSC20",
            set + "[END] " + LE + " 0.0");
        row("descending, START above the range of FWHM", "fine", {"515.1", "500", "10", "1", "1"},
            "ERRSC21", set + "[START] " + LE + " 515.0");
        row("descending, END below the range of FWHM", "fine", {"510", "494.9", "10", "1", "1"},
            "ERRSC22", set + "[END] " + GE + " 495.0");
        row("no table, START above 0", "none", {"500", "510", "10", "1", "1"}, "ERRSC07",
            set + "[START] " + LE + " 0.0");
    }
    void rejects() {
        QFETCH(QString, fixture);
        QFETCH(QStringList, fields);
        QFETCH(QString, code);
        QFETCH(QString, text);
        const ScanValidationResult r = Run(fixture, fields);
        QVERIFY(!r.Ok);
        QCOMPARE(r.Code, code);
        QCOMPARE(r.Text, text);
        QCOMPARE(r.MessageLine(), code + " : " + text);
        QCOMPARE(CheckInReadySession(fixture, fields),
                 code.toLatin1() + ',' + Text8::FromWide(text));
    }

    void accepts_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QList<double>>("request");
        auto row = [](const char* name, const char* fixture, const QStringList& fields,
                      const QList<double>& request) {
            QTest::newRow(name) << QString(fixture) << fields << request;
        };
        row("ascending", "fine", {"500", "510", "10", "2", "1"}, {500, 510, 10, 2, 1});
        row("descending", "fine", {"510", "500", "10", "4", "1"}, {510, 500, 10, 4, 1});
        row("TimeDelay 0.1", "fine", {"500", "510", "10", "1", "0.1"}, {500, 510, 10, 1, 0.1});
        row("TimeDelay 600", "fine", {"500", "510", "10", "1", "600"}, {500, 510, 10, 1, 600});
        row("TimeDelay 0.09 rounds to 0.1", "fine", {"500", "510", "10", "1", "0.09"},
            {500, 510, 10, 1, 0.1});
        row("STEP equal to the spacing", "even", {"500", "510", "10", "0.2", "1"},
            {500, 510, 10, 0.2, 1});
        row("STEP twice the spacing", "even", {"500", "510", "10", "0.4", "1"},
            {500, 510, 10, 0.4, 1});
        row("STEP far beyond the range", "fine", {"500", "510", "10", "1e6", "1"},
            {500, 510, 10, 1e6, 1});
        // STEP x 10 is checked whole, never cut to 32 bits: 10000000000 tenths are a multiple
        // of a 0.5 nm spacing (cut to 32 bits they would leave a remainder of 3).
        row("STEP x 10 beyond 32 bits", "coarse", {"400", "401", "10", "1000000000", "1"},
            {400, 401, 10, 1e9, 1});
        // STEP x 10 needs more digits than a double holds, or lies beyond its range.
        row("STEP x 10 beyond a double's digits", "coarse",
            {"400", "401", "10", "9007199254740994", "1"}, {400, 401, 10, 9007199254740994.0, 1});
        row("STEP 1e308", "coarse", {"400", "401", "10", "1e308", "1"}, {400, 401, 10, 1e308, 1});
        // A single point skips the range of its FWHM: 490 has no cell at FWHM 20.
        row("START equal to END", "fine", {"490", "490", "20", "1", "1"}, {490, 490, 20, 1, 1});
        row("bounds of the range of FWHM", "fine", {"495.0", "515.0", "10", "0.1", "1"},
            {495, 515, 10, 0.1, 1});
        row("values rounded to 0.1", "fine", {" 500.04", "509.96 ", "10.04", "0.96", "1.25"},
            {500, 510, 10, 1, 1.2});
    }
    void accepts() {
        QFETCH(QString, fixture);
        QFETCH(QStringList, fields);
        QFETCH(QList<double>, request);
        const ScanValidationResult r = Run(fixture, fields);
        QVERIFY2(r.Ok, qPrintable(r.MessageLine()));
        QVERIFY(r.Code.isEmpty());
        QCOMPARE(CheckInReadySession(fixture, fields), QByteArray("OK"));
        const ScanRequestValues& q = r.ScanRequest;
        QCOMPARE((QList<double>{q.Start, q.End, q.Fwhm, q.Step, q.TimeDelay}), request);
    }

    void limitsHandedToTheEngine() {
        const ScanValidationResult r = Run("fine", {"500", "510", "10", "1", "1"});
        QVERIFY(r.Ok);
        const ScanLimitValues& l = r.ScanLimits;
        QCOMPARE((QList<double>{l.MinCwl, l.MaxCwl, l.MinFwhm, l.MaxFwhm, l.CwlStep}),
                 (QList<double>{490, 520, 2, 20, 0.1}));
        QCOMPARE(l.MinCwlAtFwhm, 495.0);
        QCOMPARE(l.MaxCwlAtFwhm, 515.0);
        // The per-FWHM range is read only for a whole FWHM.
        const ScanValidationResult half = Run("fine", {"500", "510", "10.5", "1", "1"});
        QCOMPARE(half.ScanLimits.MaxCwlAtFwhm, 0.0);
    }

    void remoteText_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QByteArray>("remote");
        QTest::newRow("greater or equal, spacing 0.5")
            << "coarse" << QStringList{"400", "401", "10", "0.1", "1"}
            << QByteArray("Out of range. Please set [STEP] \xA1\xC3 0.5");
        QTest::newRow("less or equal") << "fine" << QStringList{"500", "510", "10", "1", "601"}
                                       << QByteArray("Out of range. Please set [TimeDelay] "
                                                     "\xA1\xC2 600.0");
        QTest::newRow("no sign") << "fine" << QStringList{"-5", "510", "10", "1", "1"}
                                 << QByteArray("[START] value is invalid.");
    }
    void remoteText() {
        QFETCH(QString, fixture);
        QFETCH(QStringList, fields);
        QFETCH(QByteArray, remote);
        const ScanValidationResult r = Run(fixture, fields);
        QVERIFY(!r.Ok);
        QCOMPARE(r.RemoteText(), remote);
    }
};

QTEST_APPLESS_MAIN(TestScanValidation)
#include "tst_scanvalidation.moc"
