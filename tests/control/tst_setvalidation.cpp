// The set request rules: conversion and rounding of the two boxes, the twenty rules in order,
// their codes and texts, and the accepted request.
#include "caldata/CalFileFixture.h"
#include "caldata/Unit_CalDataFile.h"
#include "control/Unit_SetValidation.h"
#include "core/Unit_Text8.h"
#include "remote/Unit_RemoteQueries.h"

#include <QTest>
#include <map>
#include <memory>

namespace {

// The CHECK answer for the same request in a ready session: the code and 8-bit text the request
// would store.
QByteArray CheckInReadySession(int mode, const QString& text1, const QString& text2,
                               const CalibrationLookups& table) {
    RemoteQueryFacts facts;
    facts.SessionOpen = true;
    facts.TableLoaded = true;
    return CheckReply({mode == 0 ? "SETC" : "SETR", Text8::FromWide(text1), Text8::FromWide(text2)},
                      table, facts);
}

// "fine":   CWL 490.0..520.0 every 0.1 nm, FWHM 2 4 6 8 10 20 (FWHM 10: CWL 495.0..515.0)
// "coarse": the example file, CWL 400.0 400.5 401.0, FWHM 10 20
// "none":   no table; every lookup answers 0
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

class TestSetValidation : public QObject {
    Q_OBJECT
    std::map<QString, std::unique_ptr<CalibrationTable>> tables;

    const CalibrationTable& Table(const QString& name) { return *tables.at(name); }

private slots:
    void initTestCase() {
        tables["fine"] = LoadTable(CalFixture::GridLines(4900, 5200, 1, {2, 4, 6, 8, 10, 20}));
        tables["coarse"] = LoadTable(CalFixture::ExampleLines());
        tables["none"] = LoadTable({});
        QCOMPARE(Table("fine").MinCwlAtFwhm(10.0), 495.0);
        QCOMPARE(Table("fine").MaxCwlAtFwhm(10.0), 515.0);
    }

    void rejects_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("text1");
        QTest::addColumn<QString>("text2");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("text");
        auto row = [](const char* name, const char* fixture, int mode, const char* t1,
                      const char* t2, const char* code, const QString& text) {
            QTest::newRow(name) << QString(fixture) << mode << QString(t1) << QString(t2)
                                << QString(code) << text;
        };
        // CWL + FWHM
        row("both boxes empty", "fine", 0, "", "", "ERRSE03",
            "Out of range. Please set [CWL] " + GE + " 490.0");
        row("letters count as 0, out of range", "fine", 0, "abc", "10", "ERRSE03",
            "Out of range. Please set [CWL] " + GE + " 490.0");
        row("negative CWL", "fine", 0, "-5", "10", "ERRSE01", "[CWL] value is invalid.");
        row("-0.04 rounds to 0", "fine", 0, "-0.04", "10", "ERRSE03",
            "Out of range. Please set [CWL] " + GE + " 490.0");
        row("-0.05 rounds to -0.1", "fine", 0, "-0.05", "10", "ERRSE01", "[CWL] value is invalid.");
        row("negative FWHM", "fine", 0, "505", "-1", "ERRSE02", "[FWHM] value is invalid.");
        row("negative CWL before negative FWHM", "fine", 0, "-1", "-1", "ERRSE01",
            "[CWL] value is invalid.");
        row("below MinCwl", "fine", 0, "489.9", "10", "ERRSE03",
            "Out of range. Please set [CWL] " + GE + " 490.0");
        row("above MaxCwl", "fine", 0, "520.1", "10", "ERRSE04",
            "Out of range. Please set [CWL] " + LE + " 520.0");
        row("below MinFwhm", "fine", 0, "505", "1", "ERRSE05",
            "Out of range. Please set [FWHM] " + GE + " 2.0");
        row("above MaxFwhm", "fine", 0, "505", "21", "ERRSE06",
            "Out of range. Please set [FWHM] " + LE + " 20.0");
        row("CWL between table values", "coarse", 0, "400.2", "10", "ERRSE07",
            "The decimal place of [CWL] must be an even integer.");
        row("half FWHM", "fine", 0, "505", "10.5", "ERRSE08",
            "[FWHM] must be a positive integer value.");
        // MinCwl itself passes rule 3 and is stopped by the narrower range of FWHM 2.
        row("MinCwl, range of FWHM", "fine", 0, "490", "2", "ERRSE09",
            "Out of range. If [FWHM] = 2.0 Please set [CWL] " + GE + " 491.0");
        row("below range of FWHM", "fine", 0, "494.9", "10", "ERRSE09",
            "Out of range. If [FWHM] = 10.0 Please set [CWL] " + GE + " 495.0");
        row("above range of FWHM", "fine", 0, "515.1", "10", "ERRSE10",
            "Out of range. If [FWHM] = 10.0 Please set [CWL] " + LE + " 515.0");
        row("whole FWHM not in table", "fine", 0, "505", "7", "ERRSE10",
            "Out of range. If [FWHM] = 7.0 Please set [CWL] " + LE + " 0.0");
        row("no table, zeros", "none", 0, "0", "0", "ERRSE07",
            "The decimal place of [CWL] must be an even integer.");
        row("no table, empty boxes", "none", 0, "", "", "ERRSE07",
            "The decimal place of [CWL] must be an even integer.");
        row("no table, CWL above 0", "none", 0, "500", "10", "ERRSE04",
            "Out of range. Please set [CWL] " + LE + " 0.0");
        // SW + LW
        row("SW negative", "fine", 1, "-5", "510", "ERRSE11", "[SW] value is invalid.");
        row("LW negative", "fine", 1, "500", "-5", "ERRSE12", "[LW] value is invalid.");
        row("SW LW empty", "fine", 1, "", "", "ERRSE13",
            "Out of range. Please set ([LW]+[SW])/2 " + GE + " 490.0");
        row("centre below MinCwl", "fine", 1, "480", "490", "ERRSE13",
            "Out of range. Please set ([LW]+[SW])/2 " + GE + " 490.0");
        row("centre above MaxCwl", "fine", 1, "520", "530", "ERRSE14",
            "Out of range. Please set ([LW]+[SW])/2 " + LE + " 520.0");
        row("width below MinFwhm", "fine", 1, "500", "501", "ERRSE15",
            "Out of range. Please set ([LW]-[SW]) " + GE + " 2.0");
        row("LW below SW", "fine", 1, "510", "500", "ERRSE15",
            "Out of range. Please set ([LW]-[SW]) " + GE + " 2.0");
        row("width above MaxFwhm", "fine", 1, "500", "521", "ERRSE16",
            "Out of range! Please set ([LW]-[SW]) " + LE + " 20.0");
        // 505.05 is not a table CWL: rule 7 comes before the fractional width of rule 8.
        row("centre with two decimals", "fine", 1, "500.1", "510.0", "ERRSE17",
            "The decimal place of ([LW]+[SW])/2 must be an even integer.");
        row("fractional width", "fine", 1, "500.0", "510.4", "ERRSE18",
            "([LW]-[SW]) must be a positive integer value.");
        row("centre below range of width", "fine", 1, "489", "499", "ERRSE19",
            "Out of range. If ([LW]-[SW]) = 10.0 Please set ([LW]+[SW])/2 " + GE + " 495.0");
        row("centre above range of width", "fine", 1, "511", "521", "ERRSE20",
            "Out of range. If ([LW]-[SW]) = 10.0 Please set ([LW]+[SW])/2 " + LE + " 515.0");
        row("width not in table", "fine", 1, "501.5", "508.5", "ERRSE20",
            "Out of range. If ([LW]-[SW]) = 7.0 Please set ([LW]+[SW])/2 " + LE + " 0.0");
        row("no table, SW LW", "none", 1, "500", "510", "ERRSE14",
            "Out of range. Please set ([LW]+[SW])/2 " + LE + " 0.0");
    }
    void rejects() {
        QFETCH(QString, fixture);
        QFETCH(int, mode);
        QFETCH(QString, text1);
        QFETCH(QString, text2);
        QFETCH(QString, code);
        QFETCH(QString, text);
        const SetValidationResult r = ValidateSetRequest(mode, text1, text2, Table(fixture));
        QVERIFY(!r.Ok);
        QCOMPARE(r.Code, code);
        QCOMPARE(r.Text, text);
        QCOMPARE(r.MessageLine(), code + " : " + text);
        QCOMPARE(CheckInReadySession(mode, text1, text2, Table(fixture)),
                 code.toLatin1() + ',' + Text8::FromWide(text));
    }

    void accepts_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("text1");
        QTest::addColumn<QString>("text2");
        QTest::addColumn<double>("cwl");
        QTest::addColumn<double>("fwhm");
        QTest::addColumn<double>("sw");
        QTest::addColumn<double>("lw");
        auto row = [](const char* name, const char* fixture, int mode, const char* t1,
                      const char* t2, double cwl, double fwhm, double sw, double lw) {
            QTest::newRow(name) << QString(fixture) << mode << QString(t1) << QString(t2) << cwl
                                << fwhm << sw << lw;
        };
        row("500.05 is stored above the half", "fine", 0, "500.05", "10", 500.1, 10, 495.1, 505.1);
        row("500.15 is stored below the half", "fine", 0, "500.15", "10", 500.1, 10, 495.1, 505.1);
        row("500.25 exact half to even", "fine", 0, "500.25", "10", 500.2, 10, 495.2, 505.2);
        row("FWHM 10.04 rounds to 10", "fine", 0, "505", "10.04", 505, 10, 500, 510);
        row("lower bound of FWHM range", "fine", 0, "495", "10", 495, 10, 490, 500);
        row("upper bound of FWHM range", "fine", 0, "515.0", "10", 515, 10, 510, 520);
        row("widest band", "fine", 0, "510", "20", 510, 20, 500, 520);
        row("blanks, sign, exponent", "fine", 0, " +5.05e2 ", "1e1", 505, 10, 500, 510);
        row("coarse grid", "coarse", 0, "400.5", "10", 400.5, 10, 395.5, 405.5);
        row("SW and LW", "fine", 1, "500.0", "510.0", 505, 10, 500, 510);
        row("SW and LW rounded first", "fine", 1, "500.04", "509.96", 505, 10, 500, 510);
        row("narrow band", "fine", 1, "504", "506", 505, 2, 504, 506);
    }
    void accepts() {
        QFETCH(QString, fixture);
        QFETCH(int, mode);
        QFETCH(QString, text1);
        QFETCH(QString, text2);
        QFETCH(double, cwl);
        QFETCH(double, fwhm);
        QFETCH(double, sw);
        QFETCH(double, lw);
        const CalibrationTable& table = Table(fixture);
        const SetValidationResult r = ValidateSetRequest(mode, text1, text2, table);
        QVERIFY2(r.Ok, qPrintable(r.MessageLine()));
        QVERIFY(r.Code.isEmpty());
        QCOMPARE(CheckInReadySession(mode, text1, text2, table), QByteArray("OK"));
        QCOMPARE(r.SetRequest[0], cwl);
        QCOMPARE(r.SetRequest[1], fwhm);
        QCOMPARE(r.SetRequest[2], sw);
        QCOMPARE(r.SetRequest[3], lw);
        // The stored request must name a grid point exactly, or the move finds nothing.
        int row = -1;
        int col = -1;
        QVERIFY(table.FindCell(r.SetRequest[0], r.SetRequest[1], row, col));
        QVERIFY(table.Cell(row, col).Valid);
    }

    // Every grid point typed the way a user would type it is accepted, in both kinds: the
    // rounding of the boxes and of the derived centre lands exactly on the values read from
    // the file.
    void everyGridPointTypedIsAccepted() {
        const CalibrationTable& table = Table("fine");
        for (int t = 4950; t <= 5150; ++t) {
            const QString cwl = CalFixture::Tenths(t);
            const SetValidationResult a = ValidateSetRequest(0, cwl, QStringLiteral("10"), table);
            QVERIFY2(a.Ok, qPrintable(cwl + ": " + a.MessageLine()));
            const SetValidationResult b = ValidateSetRequest(1, CalFixture::Tenths(t - 50),
                                                             CalFixture::Tenths(t + 50), table);
            QVERIFY2(b.Ok, qPrintable(cwl + " as SW/LW: " + b.MessageLine()));
            QCOMPARE(b.SetRequest[0], a.SetRequest[0]);
        }
    }

    void limitsOfTheValidation() {
        const SetValidationResult ok = ValidateSetRequest(0, "505", "10", Table("fine"));
        QVERIFY(ok.Ok);
        QCOMPARE(ok.SetLimits.MinCwl, 490.0);
        QCOMPARE(ok.SetLimits.MaxCwl, 520.0);
        QCOMPARE(ok.SetLimits.MinFwhm, 2.0);
        QCOMPARE(ok.SetLimits.MaxFwhm, 20.0);
        QCOMPARE(ok.SetLimits.MinCwlAtFwhm, 495.0);
        QCOMPARE(ok.SetLimits.MaxCwlAtFwhm, 515.0);
        // Kind 1 looks up the per-FWHM range for the derived width (20: CWL 500.0..510.0).
        const SetValidationResult sw = ValidateSetRequest(1, "505", "525", Table("fine"));
        QCOMPARE(sw.Code, QStringLiteral("ERRSE20"));
        QCOMPARE(sw.SetLimits.MinCwlAtFwhm, 500.0);
        QCOMPARE(sw.SetLimits.MaxCwlAtFwhm, 510.0);
    }

    void remoteText_data() {
        QTest::addColumn<QString>("text1");
        QTest::addColumn<QString>("text2");
        QTest::addColumn<QByteArray>("remote");
        QTest::newRow("greater or equal")
            << "480"
            << "10" << QByteArray("Out of range. Please set [CWL] \xA1\xC3 490.0");
        QTest::newRow("less or equal") << "515.1"
                                       << "10"
                                       << QByteArray("Out of range. If [FWHM] = 10.0 Please set "
                                                     "[CWL] \xA1\xC2 515.0");
        QTest::newRow("no sign") << "505"
                                 << "10.5"
                                 << QByteArray("[FWHM] must be a positive integer value.");
    }
    void remoteText() {
        QFETCH(QString, text1);
        QFETCH(QString, text2);
        QFETCH(QByteArray, remote);
        const SetValidationResult r = ValidateSetRequest(0, text1, text2, Table("fine"));
        QVERIFY(!r.Ok);
        QCOMPARE(r.RemoteText(), remote);
    }
};

QTEST_APPLESS_MAIN(TestSetValidation)
#include "tst_setvalidation.moc"
