// The skin as the program finds it in its resources: every picture at the exact size its control
// has and its sharp copy at exactly twice that size, the fonts, and the areas that controls laid
// over the pictures rely on, in both copies.

#include <QFontDatabase>
#include <QImage>
#include <QtTest>

namespace {

QImage skinPicture(const QString& name, int ratio = 1) {
    QString file = name;
    if (ratio != 1) file.insert(file.lastIndexOf('.'), QString("@%1x").arg(ratio));
    return QImage(":/skin/" + file);
}

QRect scaled(const QRect& r, int ratio) {
    return QRect(r.topLeft() * ratio, r.size() * ratio);
}

// A row for the plain picture (ratio 1) or its sharp copy (ratio 2).
QTestData& newRow(const QString& name, int ratio) {
    return QTest::newRow(qPrintable(ratio == 1 ? name : name + " @2x"));
}

// Every pixel of area in image has exactly colour.
bool isFilled(const QImage& image, const QRect& area, QRgb colour, QString* where) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) != (colour & 0xFFFFFF)) {
                *where = QString("(%1, %2) is #%3")
                             .arg(x)
                             .arg(y)
                             .arg(image.pixel(x, y) & 0xFFFFFF, 6, 16, QChar('0'));
                return false;
            }
    return true;
}

// The outermost rows and columns of `over` equal `base` at `place`: a picture laid there blends in.
bool bordersMatch(const QImage& over, const QImage& base, QPoint place, QString* where) {
    for (int y = 0; y < over.height(); ++y)
        for (int x = 0; x < over.width(); ++x) {
            const bool edge = x == 0 || y == 0 || x == over.width() - 1 || y == over.height() - 1;
            if (edge && over.pixel(x, y) != base.pixel(place + QPoint(x, y))) {
                *where = QString("(%1, %2)").arg(x).arg(y);
                return false;
            }
        }
    return true;
}

} // namespace

class TestSkin : public QObject {
    Q_OBJECT
private slots:
    void pictureHasItsSize_data();
    void pictureHasItsSize();
    void fontsLoad_data();
    void fontsLoad();
    void editBoxesSitInWells_data();
    void editBoxesSitInWells();
    void labelsSitOnBlack_data();
    void labelsSitOnBlack();
    void markersHaveTheirLineColumns_data();
    void markersHaveTheirLineColumns();
    void titleBarPiecesBlendIn_data();
    void titleBarPiecesBlendIn();
};

void TestSkin::pictureHasItsSize_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    auto add = [](const QString& name, int w, int h) {
        QTest::newRow(qPrintable(name)) << name << QSize(w, h);
    };
    add("title_base.png", 910, 60);
    add("title_button1.png", 40, 40);
    add("title_button2.png", 40, 40);
    add("slide_base.png", 120, 27);
    add("slide_button.png", 29, 29);
    for (int tab = 1; tab <= 3; ++tab)
        for (const char* state : {"on", "off"})
            add(QString("tab%1_%2.png").arg(tab).arg(state), 140, 40);
    add("message_base.png", 910, 70);
    add("help_base.png", 910, 426);
    for (int size : {128, 64, 48, 32, 16})
        add(QString("icon_%1.png").arg(size), size, size);

    add("set_base.png", 910, 242);
    for (const char* state : {"on", "off"}) {
        add(QString("set_button1_%1.png").arg(state), 178, 60);
        add(QString("set_button2_%1.png").arg(state), 178, 60);
        add(QString("set_button3_%1.png").arg(state), 75, 135);
        add(QString("set_button4_%1.png").arg(state), 147, 135);
    }
    for (const char* box : {"set_edit1", "set_edit2"})
        for (const char* mode : {"mode1", "mode2"})
            add(QString("%1_%2.png").arg(box, mode), 176, 135);

    add("scan_base.png", 910, 242);
    for (int i = 1; i <= 5; ++i)
        add(QString("scan_edit%1.png").arg(i), 119, 135);
    for (const char* state : {"on", "off"}) {
        add(QString("scan_button3_%1.png").arg(state), 75, 135);
        add(QString("scan_button4_%1.png").arg(state), 101, 135);
    }

    add("view_base.png", 910, 170);
    add("view_edit3_base.png", 182, 46);
    add("view_edit4_base.png", 103, 46);
    add("view_edit5_base.png", 103, 46);
    add("view_pos_range.png", 20, 33);
    add("view_pos_cwl.png", 8, 33);
    add("view_pos_sw.png", 8, 33);
    add("view_pos_lw.png", 8, 33);
}

void TestSkin::pictureHasItsSize() {
    QFETCH(QString, name);
    QFETCH(QSize, size);
    for (int ratio : {1, 2}) {
        const QImage image = skinPicture(name, ratio);
        QVERIFY2(!image.isNull(), qPrintable(QString("%1 at %2x is missing").arg(name).arg(ratio)));
        QCOMPARE(image.size(), size * ratio);
        QVERIFY2(!image.hasAlphaChannel(), "skin pictures are 24-bit RGB");
    }
}

void TestSkin::fontsLoad_data() {
    QTest::addColumn<QString>("file");
    QTest::newRow("regular") << "OpenSans-Regular.ttf";
    QTest::newRow("semibold") << "OpenSans-Semibold.ttf";
    QTest::newRow("bold") << "OpenSans-Bold.ttf";
}

void TestSkin::fontsLoad() {
    QFETCH(QString, file);
    const int id = QFontDatabase::addApplicationFont(":/skin/fonts/" + file);
    QVERIFY(id >= 0);
    QVERIFY(QFontDatabase::applicationFontFamilies(id).contains("Open Sans"));
}

void TestSkin::editBoxesSitInWells_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("ratio");
    QTest::addColumn<QRect>("box");
    QTest::addColumn<QRgb>("colour");
    for (int ratio : {1, 2}) {
        for (const char* name : {"set_edit1_mode1.png", "set_edit2_mode1.png",
                                 "set_edit1_mode2.png", "set_edit2_mode2.png"})
            newRow(name, ratio) << QString(name) << ratio << QRect(16, 72, 144, 48)
                                << qRgb(0x23, 0x23, 0x23);
        for (int i = 1; i <= 5; ++i) {
            const QString name = QString("scan_edit%1.png").arg(i);
            newRow(name, ratio) << name << ratio << QRect(12, 76, 96, 48) << qRgb(0x22, 0x22, 0x22);
        }
    }
}

void TestSkin::editBoxesSitInWells() {
    QFETCH(QString, name);
    QFETCH(int, ratio);
    QFETCH(QRect, box);
    QFETCH(QRgb, colour);
    QString where;
    QVERIFY2(isFilled(skinPicture(name, ratio), scaled(box, ratio), colour, &where),
             qPrintable(where));
}

void TestSkin::labelsSitOnBlack_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("ratio");
    QTest::addColumn<QRect>("label");
    for (int ratio : {1, 2}) {
        auto add = [ratio](const char* row, const char* name, const QRect& label) {
            newRow(row, ratio) << QString(name) << ratio << label;
        };
        add("set product", "set_base.png", QRect(440, 24, 416, 28));
        add("scan product", "scan_base.png", QRect(440, 24, 416, 28));
        // The range labels lie in the ruler's trough, which starts at x 61.
        add("range min", "view_base.png", QRect(61, 70, 71, 32));
        add("range max", "view_base.png", QRect(780, 70, 69, 32));
        add("sw value", "view_edit4_base.png", QRect(9, 21, 56, 22));
        add("lw value", "view_edit5_base.png", QRect(38, 21, 56, 22));
        add("cwl value", "view_edit3_base.png", QRect(48, 3, 56, 22));
        add("fwhm value", "view_edit3_base.png", QRect(104, 3, 72, 22));
    }
}

void TestSkin::labelsSitOnBlack() {
    QFETCH(QString, name);
    QFETCH(int, ratio);
    QFETCH(QRect, label);
    QString where;
    QVERIFY2(isFilled(skinPicture(name, ratio), scaled(label, ratio), qRgb(0, 0, 0), &where),
             qPrintable(where));
}

void TestSkin::markersHaveTheirLineColumns_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("ratio");
    QTest::addColumn<int>("first"); // columns counted from 1, in 1x units
    QTest::addColumn<int>("last");
    for (int ratio : {1, 2}) {
        newRow("cwl", ratio) << "view_pos_cwl.png" << ratio << 3 << 4;
        newRow("sw", ratio) << "view_pos_sw.png" << ratio << 2 << 4;
        newRow("lw", ratio) << "view_pos_lw.png" << ratio << 3 << 5;
    }
}

void TestSkin::markersHaveTheirLineColumns() {
    QFETCH(QString, name);
    QFETCH(int, ratio);
    QFETCH(int, first);
    QFETCH(int, last);
    const QImage marker = skinPicture(name, ratio);
    const QRgb bar = qRgb(0x3F, 0x3F, 0x3F);
    const QRgb line = marker.pixel((first - 1) * ratio, 16);
    QVERIFY(line != bar);
    QString where;
    for (int column = 0; column < 8 * ratio; ++column) {
        const int unit = column / ratio + 1;
        const bool inLine = unit >= first && unit <= last;
        QVERIFY2(isFilled(marker, QRect(column, 0, 1, 33 * ratio), inLine ? line : bar, &where),
                 qPrintable(where));
    }
    QVERIFY2(isFilled(skinPicture("view_pos_range.png", ratio), QRect(0, 0, 20, 33 * ratio), bar,
                      &where),
             qPrintable(where));
}

void TestSkin::titleBarPiecesBlendIn_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("ratio");
    QTest::addColumn<QPoint>("place");
    for (int ratio : {1, 2}) {
        newRow("minimise", ratio) << "title_button1.png" << ratio << QPoint(776, 2);
        newRow("close", ratio) << "title_button2.png" << ratio << QPoint(836, 2);
        newRow("slider track", ratio) << "slide_base.png" << ratio << QPoint(560, 10);
    }
}

void TestSkin::titleBarPiecesBlendIn() {
    QFETCH(QString, name);
    QFETCH(int, ratio);
    QFETCH(QPoint, place);
    QString where;
    QVERIFY2(bordersMatch(skinPicture(name, ratio), skinPicture("title_base.png", ratio),
                          place * ratio, &where),
             qPrintable(where));
}

QTEST_MAIN(TestSkin)
#include "tst_skin.moc"
