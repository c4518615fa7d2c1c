// Skin pictures on screen at the scale this test was built for (VR_TEST_SCALE, set as the
// application's scale factor): the widget keeps the picture's size in window units, and what it
// paints is exactly the copy drawn for that scale, pixel for pixel, not a stretched plain picture.
#include "ui/Unit_ScanProgress.h"
#include "ui/Unit_SkinImage.h"

#include <QApplication>
#include <QImage>
#include <QtTest>
#include <cmath>

class TestSkinImage : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QCOMPARE(qApp->devicePixelRatio(), qreal(VR_TEST_SCALE)); }

    void paintsTheCopyForTheScreen_data() {
        QTest::addColumn<QString>("resource");
        QTest::addColumn<QSize>("size");
        QTest::newRow("set panel") << "set_base" << QSize(910, 242);
        QTest::newRow("title bar") << "title_base" << QSize(910, 60);
        QTest::newRow("go button") << "set_button4_on" << QSize(147, 135);
        QTest::newRow("scan stop button") << "scan_button4_stop" << QSize(101, 135);
        QTest::newRow("cwl marker") << "view_pos_cwl" << QSize(8, 33);
    }

    void paintsTheCopyForTheScreen() {
        QFETCH(QString, resource);
        QFETCH(QSize, size);
        QWidget window;
        window.resize(1000, 300);
        auto* picture = new TSkinImage(resource, &window, 10, 20);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QCOMPARE(picture->size(), size);
        QCOMPARE(picture->Picture().deviceIndependentSize(), QSizeF(size));

        const QString file = VR_TEST_SCALE == 1 ? QString(":/skin/%1.png").arg(resource)
                                                : QString(":/skin/%1@2x.png").arg(resource);
        const QImage expected = QImage(file).convertToFormat(QImage::Format_RGB32);
        QVERIFY2(!expected.isNull(), qPrintable(file));
        const QImage shown = picture->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shown.size(), size * VR_TEST_SCALE);
        QVERIFY(shown == expected);
    }

    void stretchedPictureFillsItsWidget() {
        // The band bar is the one picture given another size than its own.
        QWidget window;
        auto* bar = new TSkinImage("view_pos_range", &window, 0, 0);
        bar->resize(300, 33);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QImage shown = bar->grab().toImage();
        QCOMPARE(shown.size(), QSize(300, 33) * VR_TEST_SCALE);
        QCOMPARE(shown.pixel(shown.width() - 1, shown.height() - 1) & 0xFFFFFF, 0x3F3F3Fu);
    }

    // The scan's progress over the message bar: the bar fills its share of the track, at the
    // screen's own pixels, and the caption says the same.
    void scanProgressFillsItsShare() {
        QWidget bar;
        bar.resize(910, 70);
        bar.setStyleSheet(QStringLiteral("background: black"));
        auto* progress = new TScanProgress(&bar);
        progress->SetProgress(12, 48, 41.2);
        progress->show();
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        QCOMPARE(progress->Caption(), QStringLiteral("12 / 48 \u00B7 0:42 left"));
        const QImage shown = progress->grab().toImage();
        QCOMPARE(shown.size(), QSize(910, 70) * VR_TEST_SCALE);
        // Track from x 54 to 778, a quarter filled: up to x 235.
        const int y = 52 * VR_TEST_SCALE;
        const auto isFill = [&](int x) {
            const QColor c = shown.pixelColor(x * VR_TEST_SCALE, y);
            return c.red() > 200 && c.green() > 200 && c.blue() < 120;
        };
        QVERIFY(isFill(60));
        QVERIFY(isFill(230));
        QVERIFY(!isFill(240));
        QVERIFY(!isFill(770));
        QVERIFY(!isFill(40)); // nothing drawn left of the track
    }

    // The caption, at its longest, stays in the strip between the message field (which ends 55
    // units down) and the window's edge, right of the message's centre and ending with the
    // track, with figures as tall as the Help page's 14-unit text has them (an 11-unit caption
    // had figures 8 units tall).
    void scanProgressCaptionBelowTheField() {
        QWidget bar;
        bar.resize(910, 70);
        bar.setStyleSheet(QStringLiteral("background: black"));
        auto* progress = new TScanProgress(&bar);
        progress->SetProgress(123, 801, 3723.0);
        progress->show();
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        QCOMPARE(progress->Caption(), QStringLiteral("123 / 801 \u00B7 1:02:03 left"));
        const QImage shown = progress->grab().toImage();
        QRect ink;
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x) {
                const bool track = y >= 50 * VR_TEST_SCALE && y < 54 * VR_TEST_SCALE;
                if (!track && qGray(shown.pixel(x, y)) > 60) ink |= QRect(x, y, 1, 1);
            }
        const QRectF units(QPointF(ink.topLeft()) / VR_TEST_SCALE,
                           QSizeF(ink.size()) / VR_TEST_SCALE);
        QVERIFY2(units.top() >= 55 && units.bottom() <= 70,
                 qPrintable(
                     QStringLiteral("caption from %1 to %2").arg(units.top()).arg(units.bottom())));
        QVERIFY2(units.height() >= 10, qPrintable(QString::number(units.height())));
        QVERIFY2(
            units.left() > 455 && units.right() <= 779,
            qPrintable(
                QStringLiteral("caption from x %1 to %2").arg(units.left()).arg(units.right())));
    }

    void scanProgressCaption_data() {
        QTest::addColumn<int>("done");
        QTest::addColumn<int>("total");
        QTest::addColumn<double>("left");
        QTest::addColumn<QString>("caption");
        QTest::newRow("seconds rounded up") << 0 << 6 << 0.2 << "0 / 6 \u00B7 0:01 left";
        QTest::newRow("done") << 6 << 6 << 0.0 << "6 / 6 \u00B7 0:00 left";
        QTest::newRow("minutes") << 12 << 51 << 42.0 << "12 / 51 \u00B7 0:42 left";
        QTest::newRow("an hour and more")
            << 1 << 1000 << 599400.0 << "1 / 1000 \u00B7 166:30:00 left";
        QTest::newRow("not a number") << 1 << 2 << std::nan("") << "1 / 2 \u00B7 0:00 left";
    }
    void scanProgressCaption() {
        QFETCH(int, done);
        QFETCH(int, total);
        QFETCH(double, left);
        QTEST(ScanProgressCaption(done, total, left), "caption");
    }
};

int main(int argc, char* argv[]) {
    qputenv("QT_SCALE_FACTOR", QByteArray::number(VR_TEST_SCALE));
    QApplication app(argc, argv);
    TestSkinImage test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_skinimage.moc"
