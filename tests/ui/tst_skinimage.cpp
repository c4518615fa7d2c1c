// Skin pictures on screen at the scale this test was built for (VR_TEST_SCALE, set as the
// application's scale factor): the widget keeps the picture's size in window units, and what it
// paints is exactly the copy drawn for that scale, pixel for pixel, not a stretched plain picture.
#include "ui/Unit_SkinImage.h"

#include <QApplication>
#include <QImage>
#include <QtTest>

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
};

int main(int argc, char* argv[]) {
    qputenv("QT_SCALE_FACTOR", QByteArray::number(VR_TEST_SCALE));
    QApplication app(argc, argv);
    TestSkinImage test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_skinimage.moc"
