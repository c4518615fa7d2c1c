// The "Mapping Data" window opened from the main window's message bar: when it opens, how many,
// its layout, its snapshot of the table, its painting, and the program's end while it is open.
#include "app/Unit_FormCalData.h"
#include "app/Unit_FormMain.h"
#include "caldata/Unit_CalDataFile.h"
#include "caldata/Unit_CalDataModel.h"
#include "ui/Unit_SkinImage.h"

#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>

namespace {

// A main window in a temporary program folder, without an instrument and without the search.
class MainRig {
public:
    explicit MainRig(bool debugMode) {
        QFile ini(Dir.path() + QStringLiteral("/VuzaRavarede.ini"));
        if (ini.open(QIODevice::WriteOnly))
            ini.write(QByteArray("[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM1\n[Device]\n"
                                 "DebugMode=") +
                      (debugMode ? "1" : "0") + "\n");
        ini.close();
        Form = new TForm_Main(Dir.path());
        Form->Timer_AutoOpen->stop();
        const QString ports = Dir.path() + QStringLiteral("/ports/");
        Form->SetPortProbe([ports](const QString& name) { return QFile::exists(ports + name); });
        Form->show();
    }
    ~MainRig() {
        Form->Timer_AutoOpen->stop();
        Form->ReleaseAll();
        delete Form;
    }

    // The sample calibration file in the table, as a session leaves it after the import.
    bool LoadSample() {
        QFile file(QStringLiteral(VR_SOURCE_DIR "/samples/20180315_F123_ABCD12345678.csv"));
        if (!file.open(QIODevice::ReadOnly)) return false;
        Form->DeviceModel = QStringLiteral("F123");
        Form->DeviceSerial = QStringLiteral("ABCD12345678");
        if (!LoadCalDataLines(ReadCalDataLines(file.readAll()), Form->DeviceModel,
                              Form->DeviceSerial, Form->Table)
                 .Ok())
            return false;
        Form->DeviceOpened = Form->DeviceInfoLoaded = Form->CalDataLoaded = true;
        return true;
    }

    void DoubleClickMessageBar() {
        QTest::mouseDClick(Form->Image_Message_Base, Qt::LeftButton, {}, QPoint(200, 35));
    }

    // Calibration data windows that are open (a closed one may await its deletion).
    int OpenWindows() const {
        int open = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<TForm_CalData*>(w) && w->isVisible()) ++open;
        return open;
    }

    QTemporaryDir Dir;
    TForm_Main* Form = nullptr;
};

QStringList BoxTexts(const TForm_CalData* w) {
    QStringList texts;
    for (const QLineEdit* box :
         {w->Edit_CalData1_Model, w->Edit_CalData2_Serial, w->Edit_CalData3_RowCount,
          w->Edit_CalData4_ColCount, w->Edit_CalData5_MinCW, w->Edit_CalData6_MaxCW,
          w->Edit_CalData7_Interval})
        texts << box->text();
    return texts;
}

QString CellText(const TForm_CalData* w, int row, int col) {
    return w->StringGrid_CalData->model()->index(row, col).data().toString();
}

const QStringList kSampleBoxes{"F123", "ABCD12345678", "801", "20", "400.0", "800.0", "0.5"};
const QStringList kEmptyBoxes{"", "", "", "", "", "", ""};

} // namespace

class TestFormCalData : public QObject {
    Q_OBJECT
private slots:
    void nothingWithoutDebugMode() {
        MainRig rig(false);
        QVERIFY(rig.LoadSample());
        rig.DoubleClickMessageBar();
        rig.DoubleClickMessageBar();
        QCoreApplication::processEvents();
        QVERIFY(rig.Form->FormCalData.isNull());
        QCOMPARE(rig.OpenWindows(), 0);
    }

    void oneWindowWhateverTheClicks_data() {
        QTest::addColumn<int>("clicks");
        QTest::newRow("one") << 1;
        QTest::newRow("three") << 3;
    }
    void oneWindowWhateverTheClicks() {
        QFETCH(int, clicks);
        MainRig rig(true);
        for (int i = 0; i < clicks; ++i)
            rig.DoubleClickMessageBar();
        QCOMPARE(rig.OpenWindows(), 1);
        TForm_CalData* w = rig.Form->FormCalData;
        QVERIFY(w);
        QVERIFY(w->isWindow() && w->isVisible() && !w->isModal());
        QCOMPARE(w->parentWidget(), rig.Form);
        QCOMPARE(w->windowTitle(), QStringLiteral("Mapping Data"));
        // No table: empty boxes and the cleared 2 x 2 grid.
        QCOMPARE(BoxTexts(w), kEmptyBoxes);
        QCOMPARE(w->StringGrid_CalData->model()->rowCount(), 1);
        QCOMPARE(w->StringGrid_CalData->model()->columnCount(), 1);
        QCOMPARE(CellText(w, 0, 0), QString());
    }

    void boxLayout_data() {
        QTest::addColumn<int>("box");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("caption");
        QTest::newRow("model") << 0 << QRect(72, 8, 56, 27) << "Model :";
        QTest::newRow("serial") << 1 << QRect(200, 8, 128, 27) << "Serial :";
        QTest::newRow("rows") << 2 << QRect(392, 8, 56, 27) << "Row :";
        QTest::newRow("columns") << 3 << QRect(504, 8, 56, 27) << "Col :";
        QTest::newRow("min cw") << 4 << QRect(84, 44, 64, 27) << "Min CW :";
        QTest::newRow("max cw") << 5 << QRect(236, 44, 64, 27) << "Max CW :";
        QTest::newRow("spacing") << 6 << QRect(408, 44, 64, 27) << "Min FWHM :";
    }
    void boxLayout() {
        QFETCH(int, box);
        QFETCH(QRect, geometry);
        MainRig rig(true);
        QVERIFY(rig.LoadSample());
        rig.DoubleClickMessageBar();
        TForm_CalData* w = rig.Form->FormCalData;
        QVERIFY(w);
        const QList<QLineEdit*> boxes{w->Edit_CalData1_Model,    w->Edit_CalData2_Serial,
                                      w->Edit_CalData3_RowCount, w->Edit_CalData4_ColCount,
                                      w->Edit_CalData5_MinCW,    w->Edit_CalData6_MaxCW,
                                      w->Edit_CalData7_Interval};
        QLineEdit* edit = boxes[box];
        QCOMPARE(edit->parentWidget(), w->Panel_Info);
        QCOMPARE(edit->geometry(), geometry);
        QVERIFY(edit->isReadOnly());
        QCOMPARE(edit->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
        QLabel* label = nullptr;
        for (QLabel* l : w->Panel_Info->findChildren<QLabel*>())
            if (l->buddy() == edit) label = l;
        QVERIFY(label);
        QTEST(label->text(), "caption");
        // At the box's left with an 8 px gap, whole, and clear of every other box.
        QCOMPARE(label->geometry().right() + 1, geometry.left() - 8);
        QVERIFY(label->width() >= label->sizeHint().width());
        QVERIFY(label->x() >= 0);
        for (const QLineEdit* other : boxes)
            QVERIFY2(!label->geometry().intersects(other->geometry()), qPrintable(other->text()));
    }

    void panelAndGridStretch() {
        MainRig rig(true);
        rig.DoubleClickMessageBar();
        TForm_CalData* w = rig.Form->FormCalData;
        QVERIFY(w);
        QCOMPARE(w->size(), QSize(784, 362));
        QCOMPARE(w->minimumSize(), QSize(784, 362));
        QCOMPARE(w->Panel_Info->geometry(), QRect(8, 8, 768, 84));
        QCOMPARE(w->StringGrid_CalData->geometry(), QRect(8, 104, 768, 250));
        w->resize(1000, 600);
        QCOMPARE(w->Panel_Info->geometry(), QRect(8, 8, 984, 84));
        QCOMPARE(w->StringGrid_CalData->geometry(), QRect(8, 104, 984, 488));
        // The boxes stay where they are.
        QCOMPARE(w->Edit_CalData2_Serial->geometry(), QRect(200, 8, 128, 27));
    }

    void snapshotUntilClosed() {
        MainRig rig(true);
        QVERIFY(rig.LoadSample());
        rig.DoubleClickMessageBar();
        TForm_CalData* first = rig.Form->FormCalData;
        QVERIFY(first);
        QCOMPARE(BoxTexts(first), kSampleBoxes);
        QTableView* grid = first->StringGrid_CalData;
        QCOMPARE(grid->model()->rowCount(), 801);
        QCOMPARE(grid->model()->columnCount(), 20);
        QCOMPARE(grid->verticalHeader()->width(), 64);
        QCOMPARE(grid->horizontalHeader()->sectionSize(0), 112);
        QCOMPARE(grid->horizontalHeader()->sectionSize(19), 112);
        QCOMPARE(CellText(first, 1, 0), QStringLiteral("253:3100:5879"));
        QCOMPARE(CellText(first, 0, 0), QStringLiteral("-1:-1:-1"));

        // The table changes while the window is open: neither the window nor a second
        // double-click follows.
        rig.Form->Table.Cell(1, 0).Pos1 = 7;
        rig.Form->Table.RowCount = 2;
        rig.Form->DeviceModel = QStringLiteral("F999");
        rig.DoubleClickMessageBar();
        QCOMPARE(rig.Form->FormCalData.data(), first);
        QCOMPARE(BoxTexts(first), kSampleBoxes);
        QCOMPARE(grid->model()->rowCount(), 801);
        QCOMPARE(CellText(first, 1, 0), QStringLiteral("253:3100:5879"));

        // Closed, it is forgotten; the next opening shows the table as it is now.
        const QPointer<TForm_CalData> closed = first;
        first->close();
        QVERIFY(rig.Form->FormCalData.isNull());
        QTRY_VERIFY(closed.isNull());
        rig.DoubleClickMessageBar();
        TForm_CalData* second = rig.Form->FormCalData;
        QVERIFY(second);
        QCOMPARE(second->Edit_CalData1_Model->text(), QStringLiteral("F999"));
        QCOMPARE(second->StringGrid_CalData->model()->rowCount(), 2);
        QCOMPARE(CellText(second, 1, 0), QStringLiteral("7:3100:5879"));

        // A device close does not touch the open window; after it a new window is empty.
        rig.Form->Action_DeviceCloseExecute();
        QCOMPARE(second->Edit_CalData1_Model->text(), QStringLiteral("F999"));
        QCOMPARE(second->StringGrid_CalData->model()->rowCount(), 2);
        second->close();
        rig.DoubleClickMessageBar();
        TForm_CalData* third = rig.Form->FormCalData;
        QVERIFY(third && third != second);
        QCOMPARE(BoxTexts(third), kEmptyBoxes);
        QCOMPARE(third->StringGrid_CalData->model()->rowCount(), 1);
        QCOMPARE(third->StringGrid_CalData->model()->columnCount(), 1);
        QCOMPARE(rig.OpenWindows(), 1);
    }

    void cellsPaintedLikeTheFixedOnes() {
        MainRig rig(true);
        QVERIFY(rig.LoadSample());
        rig.DoubleClickMessageBar();
        TForm_CalData* w = rig.Form->FormCalData;
        QVERIFY(w);
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QTableView* grid = w->StringGrid_CalData;
        const QRect cell = grid->visualRect(grid->model()->index(2, 3));
        const QImage before = grid->viewport()->grab(cell).toImage();
        // A fixed cell and an ordinary one have the same background (a header section's).
        const QImage fixed = grid->verticalHeader()->grab().toImage();
        const QPoint inside(3, 3);
        QCOMPARE(before.pixelColor(inside), fixed.pixelColor(QPoint(3, cell.top() + 3)));
        // A click shows neither a selection nor a focus frame.
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(grid->viewport()->grab(cell).toImage(), before);
    }

    void textCentredAndWhole_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("missing point") << "-1:-1:-1";
        QTest::newRow("sample point") << "253:3100:5879";
        QTest::newRow("four digits on every axis") << "6000:6000:6000";
    }
    void textCentredAndWhole() {
        QFETCH(QString, text);
        MainRig rig(true);
        rig.DoubleClickMessageBar();
        TForm_CalData* w = rig.Form->FormCalData;
        QVERIFY(w);
        // One ordinary cell, 112 x 24, on a background wider than the cell.
        QImage image(140, 24, QImage::Format_RGB32);
        image.fill(Qt::white);
        {
            QPainter painter(&image);
            TForm_CalData::StringGrid_CalDataDrawCell(&painter, QRect(14, 0, 112, 24), text,
                                                      w->StringGrid_CalData);
        }
        // The ink of the text: pixels much darker than the cell's background.
        const int background = qGray(image.pixel(16, 12));
        int left = image.width();
        int right = -1;
        for (int x = 0; x < image.width(); ++x)
            for (int y = 4; y < 20; ++y)
                if (qGray(image.pixel(x, y)) < background - 96) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                }
        QVERIFY2(right >= 0, "no text painted");
        // Whole: clear of the cell's edges, not cut by them; centred (the glyphs' side bearings
        // leave a few pixels of difference).
        QVERIFY2(left >= 14 + 1 && right <= 14 + 110,
                 qPrintable(QStringLiteral("%1..%2").arg(left).arg(right)));
        QVERIFY2(qAbs((left - 14) - (14 + 111 - right)) <= 4,
                 qPrintable(QStringLiteral("%1..%2").arg(left).arg(right)));
    }

    void programEndsWhileTheWindowIsOpen() {
        MainRig rig(true);
        QVERIFY(rig.LoadSample());
        rig.DoubleClickMessageBar();
        const QPointer<TForm_CalData> w = rig.Form->FormCalData;
        QVERIFY(w);
        rig.Form->Image_Title_Button2Click();
        QVERIFY(rig.Form->CloseRequested);
        QVERIFY(!rig.Form->isVisible());
        QVERIFY(rig.Form->FormCalData.isNull());
        QTRY_VERIFY(w.isNull());
        // A double-click during the shutdown opens nothing.
        rig.Form->Image_Message_BaseDblClick();
        QVERIFY(rig.Form->FormCalData.isNull());
    }
};

QTEST_MAIN(TestFormCalData)
#include "tst_formcaldata.moc"
