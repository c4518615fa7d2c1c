// The view strip's ruler: wavelength to x, and where boxes, labels, markers and the band bar go.
#include "ui/Unit_ViewMath.h"

#include <QTest>
#include <limits>

namespace {

QList<int> Lefts(const ViewLayout& v) {
    return {v.Edit3BaseLeft, v.Edit3Left,     v.Edit6Left,    v.Edit4BaseLeft,
            v.Edit4Left,     v.Edit5BaseLeft, v.Edit5Left,    v.PosCwlLeft,
            v.PosSwLeft,     v.PosLwLeft,     v.PosRangeLeft, v.PosRangeWidth};
}

// The layout of boxes placed at the given lefts, by the offsets of the artwork.
QList<int> FromBoxes(int cwlBox, int swBox, int lwBox) {
    return {cwlBox,     cwlBox + 48, cwlBox + 104, swBox,
            swBox + 9,  lwBox,       lwBox + 38,   cwlBox + 87,
            swBox + 91, lwBox + 3,   swBox + 91,   lwBox + 3 + 8 - (swBox + 91)};
}

} // namespace

class TestViewMath : public QObject {
    Q_OBJECT
private slots:
    void interpolate() {
        QCOMPARE(ViewMath::Interpolate(0.0, 10.0, 10.0, 20.0, 5.0), 15.0);
        QCOMPARE(ViewMath::Interpolate(390.0, 140.0, 600.0, 454.0, 495.0), 297.0);
        QCOMPARE(ViewMath::Interpolate(0.0, 0.0, 2.0, 4.0, -1.0), -2.0);
    }

    void wavelengthToX_data() {
        QTest::addColumn<double>("x");
        QTest::addColumn<double>("lo");
        QTest::addColumn<double>("hi");
        QTest::addColumn<double>("expected");
        QTest::newRow("lo") << 390.0 << 390.0 << 810.0 << 140.0;
        QTest::newRow("hi") << 810.0 << 390.0 << 810.0 << 768.0;
        QTest::newRow("mid") << 600.0 << 390.0 << 810.0 << 454.0;
        QTest::newRow("lower half") << 500.0 << 390.0 << 810.0 << 140.0 + 110.0 * 314.0 / 210.0;
        QTest::newRow("upper half") << 700.0 << 390.0 << 810.0 << 454.0 + 100.0 * 314.0 / 210.0;
        QTest::newRow("left of lo") << 380.0 << 390.0 << 810.0 << 140.0 - 10.0 * 314.0 / 210.0;
        // (390.0 + 810.5) / 2 = 600.25 rounds to 600.2, so the halves differ in scale.
        QTest::newRow("rounded mid") << 600.2 << 390.0 << 810.5 << 454.0;
        QTest::newRow("rounded mid, above it")
            << 600.25 << 390.0 << 810.5 << 454.0 + 0.05 * 314.0 / (810.5 - 600.2);
        QTest::newRow("rounded mid, lower scale")
            << 495.1 << 390.0 << 810.5 << 140.0 + 105.1 * 314.0 / (600.2 - 390.0);
        QTest::newRow("rounded mid, hi") << 810.5 << 390.0 << 810.5 << 768.0;
        // (390.1 + 810) / 2 lies just above 600.05 only when the sum is kept exact.
        QTest::newRow("mid from the exact sum") << 600.1 << 390.1 << 810.0 << 454.0;
    }
    void wavelengthToX() {
        QFETCH(double, x);
        QFETCH(double, lo);
        QFETCH(double, hi);
        QFETCH(double, expected);
        QCOMPARE(ViewMath::WavelengthToX(x, lo, hi), expected);
    }

    void layout_data() {
        QTest::addColumn<double>("lo");
        QTest::addColumn<double>("hi");
        QTest::addColumn<double>("cwl");
        QTest::addColumn<double>("sw");
        QTest::addColumn<double>("lw");
        QTest::addColumn<QList<int>>("lefts");
        // A table from 400.0 to 800.0 shown from 390.0 to 810.0: x of 500 is 304.476, of 495
        // 297.0, of 505 311.952.
        QTest::newRow("worked example")
            << 390.0 << 810.0 << 500.0 << 495.0 << 505.0
            << QList<int>{214, 262, 318, 204, 213, 304, 342, 301, 295, 307, 295, 20};
        QTest::newRow("band centred on mid")
            << 390.0 << 810.0 << 600.0 << 595.0 << 605.0 << FromBoxes(364, 353, 454);
        QTest::newRow("cwl at lo")
            << 390.0 << 810.0 << 390.0 << 385.0 << 395.0 << FromBoxes(50, 39, 140);
        QTest::newRow("cwl at hi")
            << 390.0 << 810.0 << 810.0 << 805.0 << 815.0 << FromBoxes(678, 667, 768);
        // One pixel per nm from lo 0 (x 140): boxes left of the strip truncate toward zero.
        QTest::newRow("truncation -0.5 to 0")
            << 0.0 << 628.0 << -50.5 << -47.5 << -133.5 << FromBoxes(0, 0, 0);
        QTest::newRow("truncation -1.5 to -1")
            << 0.0 << 628.0 << -51.5 << -48.5 << -134.5 << FromBoxes(-1, -1, -1);
        QTest::newRow("truncation 0.5 to 0")
            << 0.0 << 628.0 << -49.5 << -46.5 << -132.5 << FromBoxes(0, 0, 0);
    }
    void layout() {
        QFETCH(double, lo);
        QFETCH(double, hi);
        QFETCH(double, cwl);
        QFETCH(double, sw);
        QFETCH(double, lw);
        QFETCH(QList<int>, lefts);
        QCOMPARE(Lefts(ViewMath::ComputeViewLayout(lo, hi, cwl, lw - sw, sw, lw)), lefts);
    }

    // The rest positions are the artwork's offsets around boxes at 364, 351 and 457, with the
    // band bar from the SW marker to the end of the LW marker.
    void restLayout() { QCOMPARE(Lefts(ViewMath::RestLayout()), FromBoxes(364, 351, 457)); }

    // An empty range or a wavelength far off the ruler must not overflow the pixel sums.
    void degenerateInputs_data() {
        QTest::addColumn<double>("lo");
        QTest::addColumn<double>("hi");
        QTest::addColumn<double>("cwl");
        QTest::newRow("empty range") << 500.0 << 500.0 << 400.0;
        QTest::newRow("far right") << 390.0 << 810.0 << 1e300;
        QTest::newRow("far left") << 390.0 << 810.0 << -1e300;
        QTest::newRow("NaN") << 390.0 << 810.0 << std::numeric_limits<double>::quiet_NaN();
    }
    void degenerateInputs() {
        QFETCH(double, lo);
        QFETCH(double, hi);
        QFETCH(double, cwl);
        const ViewLayout v = ViewMath::ComputeViewLayout(lo, hi, cwl, 10.0, cwl - 5.0, cwl + 5.0);
        for (int left : Lefts(v)) {
            QVERIFY2(left > -2000000 && left < 2000000, qPrintable(QString::number(left)));
        }
    }
};

QTEST_APPLESS_MAIN(TestViewMath)
#include "tst_viewmath.moc"
