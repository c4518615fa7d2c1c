// The skin as the program finds it in its resources: every picture at the exact size its control
// has, the fonts, and the areas that controls laid over the pictures rely on.

#include <QFontDatabase>
#include <QImage>
#include <QtTest>

namespace {

QImage skinPicture(const QString& name) {
    return QImage(":/skin/" + name);
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
    const QImage image = skinPicture(name);
    QVERIFY2(!image.isNull(), qPrintable(":/skin/" + name + " is missing"));
    QCOMPARE(image.size(), size);
    QVERIFY2(!image.hasAlphaChannel(), "skin pictures are 24-bit RGB");
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
    QTest::addColumn<QRect>("box");
    QTest::addColumn<QRgb>("colour");
    for (const char* name : {"set_edit1_mode1.png", "set_edit2_mode1.png", "set_edit1_mode2.png",
                             "set_edit2_mode2.png"})
        QTest::newRow(name) << QString(name) << QRect(16, 72, 144, 48) << qRgb(0x23, 0x23, 0x23);
    for (int i = 1; i <= 5; ++i) {
        const QString name = QString("scan_edit%1.png").arg(i);
        QTest::newRow(qPrintable(name)) << name << QRect(12, 76, 96, 48) << qRgb(0x22, 0x22, 0x22);
    }
}

void TestSkin::editBoxesSitInWells() {
    QFETCH(QString, name);
    QFETCH(QRect, box);
    QFETCH(QRgb, colour);
    QString where;
    QVERIFY2(isFilled(skinPicture(name), box, colour, &where), qPrintable(where));
}

void TestSkin::labelsSitOnBlack_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("label");
    QTest::newRow("set product") << "set_base.png" << QRect(440, 24, 416, 28);
    QTest::newRow("scan product") << "scan_base.png" << QRect(440, 24, 416, 28);
    // The range labels lie in the ruler's trough, which starts at x 61.
    QTest::newRow("range min") << "view_base.png" << QRect(61, 70, 71, 32);
    QTest::newRow("range max") << "view_base.png" << QRect(780, 70, 69, 32);
    QTest::newRow("sw value") << "view_edit4_base.png" << QRect(9, 21, 56, 22);
    QTest::newRow("lw value") << "view_edit5_base.png" << QRect(38, 21, 56, 22);
    QTest::newRow("cwl value") << "view_edit3_base.png" << QRect(48, 3, 56, 22);
    QTest::newRow("fwhm value") << "view_edit3_base.png" << QRect(104, 3, 72, 22);
}

void TestSkin::labelsSitOnBlack() {
    QFETCH(QString, name);
    QFETCH(QRect, label);
    QString where;
    QVERIFY2(isFilled(skinPicture(name), label, qRgb(0, 0, 0), &where), qPrintable(where));
}

void TestSkin::markersHaveTheirLineColumns_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("first"); // columns counted from 1
    QTest::addColumn<int>("last");
    QTest::newRow("cwl") << "view_pos_cwl.png" << 3 << 4;
    QTest::newRow("sw") << "view_pos_sw.png" << 2 << 4;
    QTest::newRow("lw") << "view_pos_lw.png" << 3 << 5;
}

void TestSkin::markersHaveTheirLineColumns() {
    QFETCH(QString, name);
    QFETCH(int, first);
    QFETCH(int, last);
    const QImage marker = skinPicture(name);
    const QRgb bar = qRgb(0x3F, 0x3F, 0x3F);
    const QRgb line = marker.pixel(first - 1, 16);
    QVERIFY(line != bar);
    QString where;
    for (int column = 1; column <= 8; ++column) {
        const bool inLine = column >= first && column <= last;
        QVERIFY2(isFilled(marker, QRect(column - 1, 0, 1, 33), inLine ? line : bar, &where),
                 qPrintable(where));
    }
    QVERIFY2(isFilled(skinPicture("view_pos_range.png"), QRect(0, 0, 20, 33), bar, &where),
             qPrintable(where));
}

void TestSkin::titleBarPiecesBlendIn_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QPoint>("place");
    QTest::newRow("minimise") << "title_button1.png" << QPoint(776, 2);
    QTest::newRow("close") << "title_button2.png" << QPoint(836, 2);
    QTest::newRow("slider track") << "slide_base.png" << QPoint(560, 10);
}

void TestSkin::titleBarPiecesBlendIn() {
    QFETCH(QString, name);
    QFETCH(QPoint, place);
    QString where;
    QVERIFY2(bordersMatch(skinPicture(name), skinPicture("title_base.png"), place, &where),
             qPrintable(where));
}

QTEST_MAIN(TestSkin)
#include "tst_skin.moc"
