// The calibration table's lookups: exact comparisons, search orders, and the "none" answers.
#include "caldata/Unit_CalibrationTable.h"

#include <QTest>
#include <cmath>
#include <limits>
#include <memory>

namespace {

using TablePtr = std::shared_ptr<CalibrationTable>;

// A table from its CWL rows, FWHM columns and one pattern per row ('.' a grid point, 'x' none).
TablePtr MakeTable(const QList<double>& cwls, const QList<double>& fwhms,
                   const QStringList& pattern = {}) {
    auto t = std::make_shared<CalibrationTable>();
    t->RowCount = int(cwls.size());
    t->ColCount = int(fwhms.size());
    for (int r = 0; r < cwls.size(); ++r)
        t->RowValues[r] = cwls[r];
    for (int c = 0; c < fwhms.size(); ++c)
        t->ColValues[c] = fwhms[c];
    for (int r = 0; r < cwls.size(); ++r) {
        for (int c = 0; c < fwhms.size(); ++c) {
            const bool valid = pattern.isEmpty() || pattern[r][c] == u'.';
            t->Cell(r, c) = CalibrationCell{
                fwhms[c],          cwls[r],          valid, valid ? 100 * r + c : -1,
                valid ? 2000 : -1, valid ? 3000 : -1};
        }
    }
    return t;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

} // namespace

Q_DECLARE_METATYPE(TablePtr)

class TestCalibrationTable : public QObject {
    Q_OBJECT
private slots:
    void limits_data() {
        QTest::addColumn<TablePtr>("table");
        QTest::addColumn<double>("minCwl");
        QTest::addColumn<double>("maxCwl");
        QTest::addColumn<double>("minFwhm");
        QTest::addColumn<double>("maxFwhm");
        QTest::addColumn<double>("step");
        QTest::newRow("grid") << MakeTable({400.0, 400.5, 401.0}, {10, 20}) << 400.0 << 401.0
                              << 10.0 << 20.0 << 0.5;
        QTest::newRow("spacing 0.49999 reads 0.5")
            << MakeTable({400.0, 400.49999}, {10}) << 400.0 << 400.49999 << 10.0 << 10.0 << 0.5;
        QTest::newRow("first row equal to second")
            << MakeTable({400.0, 400.0, 401.0}, {10}) << 400.0 << 401.0 << 10.0 << 10.0 << 0.0;
        QTest::newRow("one row, several columns")
            << MakeTable({500.0}, {1, 2, 3}) << 500.0 << 500.0 << 1.0 << 3.0 << 0.0;
        QTest::newRow("several rows, one column")
            << MakeTable({500.0, 501.0, 502.0}, {5}) << 500.0 << 502.0 << 5.0 << 5.0 << 1.0;
        // The order of the file is kept; first and last entries are the limits.
        QTest::newRow("descending file order")
            << MakeTable({401.0, 400.5}, {20, 10}) << 401.0 << 400.5 << 20.0 << 10.0 << -0.5;
        QTest::newRow("rows without columns")
            << MakeTable({400.0, 400.5}, {}) << 400.0 << 400.5 << 0.0 << 0.0 << 0.5;
        QTest::newRow("no rows") << MakeTable({}, {10}) << 0.0 << 0.0 << 10.0 << 10.0 << 0.0;
    }
    void limits() {
        QFETCH(TablePtr, table);
        QFETCH(double, minCwl);
        QFETCH(double, maxCwl);
        QFETCH(double, minFwhm);
        QFETCH(double, maxFwhm);
        QFETCH(double, step);
        QCOMPARE(table->MinCwl(), minCwl);
        QCOMPARE(table->MaxCwl(), maxCwl);
        QCOMPARE(table->MinFwhm(), minFwhm);
        QCOMPARE(table->MaxFwhm(), maxFwhm);
        QCOMPARE(table->CwlStep(), step);
    }

    void cwlRangeAtFwhm_data() {
        QTest::addColumn<TablePtr>("table");
        QTest::addColumn<double>("fwhm");
        QTest::addColumn<double>("min");
        QTest::addColumn<double>("max");
        // Column 0 (FWHM 10) has no grid point, so the search goes on to column 1 (also 10).
        const TablePtr twin =
            MakeTable({400.0, 400.5, 401.0, 401.5}, {10, 10, 20}, {"x..", "x..", "x..", "xx."});
        QTest::newRow("empty column skipped") << twin << 10.0 << 400.0 << 401.0;
        QTest::newRow("other column") << twin << 20.0 << 400.0 << 401.5;
        QTest::newRow("FWHM not in table") << twin << 15.0 << 0.0 << 0.0;
        QTest::newRow("NaN matches nothing") << twin << kNaN << 0.0 << 0.0;
        // The first equal column with a grid point decides, even if a later one reaches further.
        const TablePtr first =
            MakeTable({400.0, 400.5, 401.0, 401.5}, {10, 10}, {"x.", "..", "x.", "x."});
        QTest::newRow("first column with a grid point") << first << 10.0 << 400.5 << 400.5;
        QTest::newRow("no grid point at all")
            << MakeTable({400.0, 400.5}, {10, 20}, {"x.", "x."}) << 10.0 << 0.0 << 0.0;
        QTest::newRow("gaps inside the column")
            << MakeTable({400.0, 400.5, 401.0, 401.5, 402.0}, {10}, {"x", ".", "x", ".", "x"})
            << 10.0 << 400.5 << 401.5;
    }
    void cwlRangeAtFwhm() {
        QFETCH(TablePtr, table);
        QFETCH(double, fwhm);
        QFETCH(double, min);
        QFETCH(double, max);
        QCOMPARE(table->MinCwlAtFwhm(fwhm), min);
        QCOMPARE(table->MaxCwlAtFwhm(fwhm), max);
    }

    void fwhmRangeAtCwl_data() {
        QTest::addColumn<TablePtr>("table");
        QTest::addColumn<double>("cwl");
        QTest::addColumn<double>("min");
        QTest::addColumn<double>("max");
        // The same CWL on rows 0 and 1; row 0 has no grid point, so row 1 answers.
        const TablePtr twin =
            MakeTable({400.0, 400.0, 400.5}, {5, 10, 15, 20}, {"xxxx", "x..x", "...."});
        QTest::newRow("empty row skipped") << twin << 400.0 << 10.0 << 15.0;
        QTest::newRow("full row") << twin << 400.5 << 5.0 << 20.0;
        QTest::newRow("CWL not in table") << twin << 401.0 << 0.0 << 0.0;
        QTest::newRow("one bit off") << twin << std::nextafter(400.5, 500.0) << 0.0 << 0.0;
        const TablePtr first = MakeTable({400.0, 400.0}, {5, 10, 15}, {"x.x", "..."});
        QTest::newRow("first row with a grid point") << first << 400.0 << 10.0 << 10.0;
    }
    void fwhmRangeAtCwl() {
        QFETCH(TablePtr, table);
        QFETCH(double, cwl);
        QFETCH(double, min);
        QFETCH(double, max);
        QCOMPARE(table->MinFwhmAtCwl(cwl), min);
        QCOMPARE(table->MaxFwhmAtCwl(cwl), max);
    }

    void findCell_data() {
        QTest::addColumn<double>("cwl");
        QTest::addColumn<double>("fwhm");
        QTest::addColumn<bool>("found");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("col");
        QTest::addColumn<bool>("cwlInTable");
        QTest::newRow("grid point") << 400.5 << 20.0 << true << 2 << 1 << true;
        QTest::newRow("duplicate CWL: first row") << 400.0 << 10.0 << true << 0 << 0 << true;
        QTest::newRow("duplicate FWHM: first column") << 401.0 << 30.0 << true << 3 << 2 << true;
        // The move command refuses the -1 positions; the search itself ignores Valid.
        QTest::newRow("missing grid point still found") << 401.0 << 20.0 << true << 3 << 1 << true;
        QTest::newRow("CWL one bit above")
            << std::nextafter(400.5, 401.0) << 20.0 << false << -1 << -1 << false;
        QTest::newRow("FWHM not in table") << 400.5 << 15.0 << false << -1 << -1 << true;
        QTest::newRow("CWL not in table") << 402.0 << 10.0 << false << -1 << -1 << false;
        QTest::newRow("stale row beyond RowCount") << 999.0 << 10.0 << false << -1 << -1 << false;
        QTest::newRow("NaN") << kNaN << 10.0 << false << -1 << -1 << false;
    }
    void findCell() {
        QFETCH(double, cwl);
        QFETCH(double, fwhm);
        QFETCH(bool, found);
        QFETCH(int, row);
        QFETCH(int, col);
        QFETCH(bool, cwlInTable);
        const TablePtr t = MakeTable({400.0, 400.0, 400.5, 401.0}, {10, 20, 30, 30},
                                     {"....", "....", "....", ".x.."});
        t->RowValues[4] = 999.0; // left over from a bigger table
        int r = 7;
        int c = 7;
        QCOMPARE(t->FindCell(cwl, fwhm, r, c), found);
        QCOMPARE(r, row);
        QCOMPARE(c, col);
        QCOMPARE(t->IsCwlInTable(cwl), cwlInTable);
    }

    // After Empty the numbers stay in memory but nothing answers from them.
    void emptyAnswersNothing() {
        const TablePtr t = MakeTable({400.0, 400.5, 401.0}, {10, 20}, {"..", "..", ".."});
        t->Empty();
        QCOMPARE(t->RowCount, 0);
        QCOMPARE(t->ColCount, 0);
        QCOMPARE(t->RowValues[1], 400.5);
        QCOMPARE(t->MinCwl(), 0.0);
        QCOMPARE(t->MaxFwhm(), 0.0);
        QCOMPARE(t->CwlStep(), 0.0);
        QCOMPARE(t->MinCwlAtFwhm(10.0), 0.0);
        QCOMPARE(t->MaxFwhmAtCwl(400.0), 0.0);
        QVERIFY(!t->IsCwlInTable(400.0));
        int r = 0;
        int c = 0;
        QVERIFY(!t->FindCell(400.0, 10.0, r, c));
    }

    // Counts set from outside beyond the capacity never make a lookup read past the arrays.
    void countsHeldToCapacity() {
        auto t = std::make_unique<CalibrationTable>();
        t->RowValues[CalibrationTable::kMaxRows - 1] = 799.5;
        t->ColValues[CalibrationTable::kMaxCols - 1] = 20.0;
        t->RowCount = 5000;
        t->ColCount = 99;
        QCOMPARE(t->MaxCwl(), 799.5);
        QCOMPARE(t->MaxFwhm(), 20.0);
        QCOMPARE(t->MaxCwlAtFwhm(12345.0), 0.0);
        t->RowCount = -3;
        QCOMPARE(t->MaxCwl(), 0.0);
    }
};

QTEST_APPLESS_MAIN(TestCalibrationTable)
#include "tst_calibrationtable.moc"
