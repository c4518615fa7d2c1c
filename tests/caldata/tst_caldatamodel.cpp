// What the calibration data window shows, without a window: the snapshot of a table loaded
// from file text and the grid model's texts.
#include "caldata/CalFileFixture.h"
#include "caldata/Unit_CalDataFile.h"
#include "caldata/Unit_CalDataModel.h"

#include <QTest>
#include <memory>

namespace {

std::unique_ptr<CalibrationTable> LoadTable(const QStringList& lines) {
    auto table = std::make_unique<CalibrationTable>();
    const CalDataLoadResult result =
        LoadCalDataLines(lines, CalFixture::kModel, CalFixture::kSerial, *table);
    if (!result.Ok()) return nullptr;
    return table;
}

CalDataSnapshot Snapshot(bool loaded, const CalibrationTable& table) {
    return TakeCalDataSnapshot(loaded, CalFixture::kModel, CalFixture::kSerial, table, table);
}

QList<int> FwhmRange(int first, int last) {
    QList<int> values;
    for (int f = first; f <= last; ++f)
        values << f;
    return values;
}

} // namespace

class TestCalDataModel : public QObject {
    Q_OBJECT
private slots:
    void content_data() {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("cols");
        QTest::addColumn<QString>("firstFwhm");
        QTest::addColumn<QString>("lastCwl");
        QTest::addColumn<QPoint>("probe"); // (column, row) of the grid below the fixed cells
        QTest::addColumn<QString>("probeText");
        // The boxes: Model, Serial, Row, Col, Min CW, Max CW, and the spacing under "Min FWHM :".
        QTest::addColumn<QStringList>("boxes");

        const QStringList example = CalFixture::ExampleLines();
        QTest::newRow("grid point")
            << example << true << 3 << 2 << "10.0"
            << "401.0" << QPoint(0, 0) << "1200:3400:500"
            << QStringList{"F123", "ABCD12345678", "3", "2", "400.0", "401.0", "0.5"};
        QTest::newRow("point marked x")
            << example << true << 3 << 2 << "10.0"
            << "401.0" << QPoint(1, 1) << "-1:-1:-1"
            << QStringList{"F123", "ABCD12345678", "3", "2", "400.0", "401.0", "0.5"};
        QStringList negative = example;
        negative[8] = QStringLiteral("3,401.0,1220:-7:510,1270:3360:530");
        QTest::newRow("negative position shown as read")
            << negative << true << 3 << 2 << "10.0"
            << "401.0" << QPoint(0, 2) << "1220:-7:510"
            << QStringList{"F123", "ABCD12345678", "3", "2", "400.0", "401.0", "0.5"};
        QTest::newRow("801 rows x 5 columns")
            << CalFixture::GridLines(4000, 8000, 5, FwhmRange(1, 5)) << true << 801 << 5 << "1.0"
            << "800.0" << QPoint(4, 400) << "401:5:0"
            << QStringList{"F123", "ABCD12345678", "801", "5", "400.0", "800.0", "0.5"};
        QTest::newRow("full 1000 x 20")
            << CalFixture::GridLines(4000, 8995, 5, FwhmRange(1, 20)) << true << 1000 << 20 << "1.0"
            << "899.5" << QPoint(0, 500) << "501:1:500"
            << QStringList{"F123", "ABCD12345678", "1000", "20", "400.0", "899.5", "0.5"};
        QTest::newRow("one row: spacing 0.0")
            << CalFixture::GridLines(5000, 5000, 5, {1, 2}) << true << 1 << 2 << "1.0"
            << "500.0" << QPoint(1, 0) << "-1:-1:-1"
            << QStringList{"F123", "ABCD12345678", "1", "2", "500.0", "500.0", "0.0"};
        // No table: the cleared 2 x 2 grid, one empty cell under empty fixed cells.
        QTest::newRow("not loaded")
            << example << false << 1 << 1 << ""
            << "" << QPoint(0, 0) << "" << QStringList{"", "", "", "", "", "", ""};
    }
    void content() {
        QFETCH(QStringList, lines);
        QFETCH(bool, loaded);
        QFETCH(int, rows);
        QFETCH(int, cols);
        QFETCH(QPoint, probe);
        QFETCH(QStringList, boxes);
        const auto table = LoadTable(lines);
        QVERIFY(table);
        CalDataGridModel model;
        model.SetSnapshot(Snapshot(loaded, *table));
        const CalDataSnapshot& s = model.Snapshot();
        QCOMPARE(
            (QStringList{s.Model, s.Serial, s.RowCount, s.ColCount, s.MinCw, s.MaxCw, s.Interval}),
            boxes);
        // The grid below the fixed row (FWHM) and column (CWL), which are the header data.
        QCOMPARE(model.rowCount(), rows);
        QCOMPARE(model.columnCount(), cols);
        QTEST(model.headerData(0, Qt::Horizontal).toString(), "firstFwhm");
        QTEST(model.headerData(rows - 1, Qt::Vertical).toString(), "lastCwl");
        QTEST(model.index(probe.y(), probe.x()).data().toString(), "probeText");
        QCOMPARE(model.index(probe.y(), probe.x()).data(Qt::TextAlignmentRole).toInt(),
                 int(Qt::AlignCenter));
        // Shown only.
        QVERIFY(!(model.flags(model.index(0, 0)) & (Qt::ItemIsSelectable | Qt::ItemIsEditable)));
    }

    void snapshotDoesNotFollowTheTable() {
        const auto table = LoadTable(CalFixture::ExampleLines());
        QVERIFY(table);
        CalDataGridModel model;
        model.SetSnapshot(Snapshot(true, *table));
        table->Cell(0, 0).Pos1 = 9999;
        table->RowValues[2] = 999.0;
        table->Empty();
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(model.index(0, 0).data().toString(), QStringLiteral("1200:3400:500"));
        QCOMPARE(model.headerData(2, Qt::Vertical).toString(), QStringLiteral("401.0"));
        QCOMPARE(model.Snapshot().MaxCw, QStringLiteral("401.0"));
    }

    void countsBeyondTheCapacityReadNoFurther() {
        const auto table = LoadTable(CalFixture::ExampleLines());
        QVERIFY(table);
        table->RowCount = CalibrationTable::kMaxRows + 5;
        table->ColCount = -1;
        const CalDataSnapshot s = Snapshot(true, *table);
        QCOMPARE(s.RowValues.size(), qsizetype(CalibrationTable::kMaxRows));
        QCOMPARE(s.ColValues.size(), qsizetype(0));
        QCOMPARE(s.RowCount, QStringLiteral("1005"));
        CalDataGridModel model;
        model.SetSnapshot(s);
        QCOMPARE(model.rowCount(), CalibrationTable::kMaxRows);
        QCOMPARE(model.columnCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCalDataModel)
#include "tst_caldatamodel.moc"
