// The main window without an instrument: start-up, the tab layout, the slider, the message bar,
// the product label, the device lock and the shutdown that writes the settings file.
#include "app/Unit_Application.h"
#include "app/Unit_FormMain.h"
#include "control/Unit_FormControlScan.h"
#include "control/Unit_FormControlSet.h"
#include "core/Unit_Colors.h"
#include "ui/Unit_FormControlHelp.h"
#include "ui/Unit_SkinImage.h"

#include <QFile>
#include <QFontMetrics>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

namespace {

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    int Count = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++Count;
        return false;
    }
};

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestFormMain : public QObject {
    Q_OBJECT

    QTemporaryDir Dir;
    TForm_Main* Form = nullptr;

    QString Folder() const { return Dir.path() + u'/'; }

private slots:
    void initTestCase() {
        QVERIFY(Dir.isValid());
        Form = new TForm_Main(Folder());
        // No search in this test: it would try the machine's own serial ports.
        Form->Timer_AutoOpen->stop();
        const QString ports = Folder() + "ports/";
        Form->SetPortProbe([ports](const QString& name) { return QFile::exists(ports + name); });
        Form->show();
        QVERIFY(QTest::qWaitForWindowExposed(Form));
    }

    void startUpState() {
        // The settings file is created empty at once and filled at shutdown.
        QVERIFY(QFile::exists(Folder() + "VuzaRavarede.ini"));
        QCOMPARE(ReadAll(Folder() + "VuzaRavarede.ini"), QByteArray());
        QCOMPARE(Form->PortList, QStringList{"COM1"});
        QCOMPARE(Form->ActiveTab, 0);
        QCOMPARE(Form->size(), QSize(910, 624));
        QCOMPARE(Form->windowTitle(), QStringLiteral("QVL Rari v2.0"));
        QCOMPARE(Form->Label_Message->text(), QStringLiteral("Please wait..."));
        QCOMPARE(Form->Label_Message->palette().color(QPalette::WindowText),
                 Colors::ToQColor(Colors::clLabelGrey));
        QVERIFY(!QFile::exists(Folder() + "Log"));
    }

    void tabLayout_data() {
        QTest::addColumn<int>("tab");
        QTest::addColumn<int>("mainHeight");
        QTest::addColumn<bool>("viewShown");
        QTest::newRow("help") << 2 << 426 << false;
        QTest::newRow("scan") << 1 << 242 << true;
        QTest::newRow("set") << 0 << 242 << true;
    }
    void tabLayout() {
        QFETCH(int, tab);
        QFETCH(int, mainHeight);
        QFETCH(bool, viewShown);
        TSkinImage* offPictures[3] = {Form->Image_Tab1_Off, Form->Image_Tab2_Off,
                                      Form->Image_Tab3_Off};
        TSkinImage* onPictures[3] = {Form->Image_Tab1_On, Form->Image_Tab2_On, Form->Image_Tab3_On};
        // The picture on top of the pair takes the click, whichever it is.
        TSkinImage* target = onPictures[tab]->isVisible() ? onPictures[tab] : offPictures[tab];
        QTest::mouseClick(target, Qt::LeftButton);
        QCOMPARE(Form->ActiveTab, tab);
        QCOMPARE(Form->Panel_Main->geometry(), QRect(0, 112, 910, mainHeight));
        QCOMPARE(Form->Panel_View->isVisible(), viewShown);
        QCOMPARE(Form->Panel_View->geometry(), QRect(0, 368, 910, 170));
        QCOMPARE(Form->Panel_Message->geometry(), QRect(0, 554, 910, 70));
        QWidget* panels[3] = {Form->FormControlSet, Form->FormControlScan, Form->FormControlHelp};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(panels[i]->isVisible(), i == tab);
            // Exactly one picture of each on/off pair.
            QCOMPARE(onPictures[i]->isVisible(), i == tab);
            QCOMPARE(offPictures[i]->isVisible(), i != tab);
        }
    }

    void tabSelectedWhileAnotherIsShownWins() {
        // Showing the Scan panel pumps events; a Help click waiting in the queue runs inside.
        QMetaObject::invokeMethod(
            Form, [this]() { Form->Image_Tab3Click(); }, Qt::QueuedConnection);
        Form->Image_Tab2Click();
        QCOMPARE(Form->ActiveTab, 2);
        QVERIFY(Form->FormControlHelp->isVisible());
        QVERIFY(!Form->FormControlScan->isVisible());
        QVERIFY(!Form->FormControlSet->isVisible());
        QVERIFY(!Form->Panel_View->isVisible());
        QCOMPARE(Form->Panel_Main->height(), 426);
        Form->Image_Tab1Click();
        QVERIFY(Form->FormControlSet->isVisible());
        QCOMPARE(Form->Panel_Main->height(), 242);
    }

    void clicksIgnoredWhileBusy() {
        Form->DeviceBusy = true;
        QTest::mouseClick(Form->Image_Tab3_Off, Qt::LeftButton);
        QCOMPARE(Form->ActiveTab, 0);
        QTest::mouseClick(Form->Image_Title_Button2, Qt::LeftButton);
        QVERIFY(!Form->CloseRequested);
        QVERIFY(Form->isVisible());
        Form->DeviceBusy = false;
        QTest::mouseClick(Form->Image_Tab2_Off, Qt::LeftButton);
        QCOMPARE(Form->ActiveTab, 1);
        QTest::mouseClick(Form->Image_Tab1_Off, Qt::LeftButton);
        QCOMPARE(Form->ActiveTab, 0);
    }

    void sliderClampAndOpacity_data() {
        QTest::addColumn<int>("dragBy");
        QTest::addColumn<int>("left");
        QTest::addColumn<int>("opacity");
        QTest::newRow("past the left end") << -200 << 574 << 127;
        QTest::newRow("left end") << -64 << 574 << 127;
        QTest::newRow("middle") << -32 << 606 << 191;
        QTest::newRow("one step in") << -1 << 637 << 253;
        QTest::newRow("past the right end") << 50 << 638 << 255;
    }
    void sliderClampAndOpacity() {
        QFETCH(int, dragBy);
        QFETCH(int, left);
        QFETCH(int, opacity);
        Form->Image_Slide_Button->move(638, 9);
        Form->Image_Slide_ButtonMouseDown(10);
        Form->Image_Slide_ButtonMouseMove(10 + dragBy);
        Form->Image_Slide_ButtonMouseUp();
        QCOMPARE(Form->Image_Slide_Button->x(), left);
        QCOMPARE(qRound(Form->windowOpacity() * 255.0), opacity);
        // Moves after the release do nothing.
        Form->Image_Slide_ButtonMouseMove(-500);
        QCOMPARE(Form->Image_Slide_Button->x(), left);
    }

    void sliderDragWithMouse() {
        Form->Image_Slide_Button->move(638, 9);
        TSkinImage* knob = Form->Image_Slide_Button;
        QTest::mousePress(knob, Qt::LeftButton, {}, QPoint(14, 14));
        QTest::mouseMove(knob, QPoint(14 - 20, 14));
        QTest::mouseRelease(knob, Qt::LeftButton, {}, QPoint(14 - 20, 14));
        QCOMPARE(knob->x(), 618);
        QCOMPARE(qRound(Form->windowOpacity() * 255.0), 215);
        Form->Image_Slide_ButtonMouseDown(0);
        Form->Image_Slide_ButtonMouseMove(100);
        Form->Image_Slide_ButtonMouseUp();
    }

    void statusMessagePaintedBeforeReturn() {
        PaintCounter counter;
        Form->Label_Message->installEventFilter(&counter);
        Form->ShowStatusMessage(QStringLiteral("ERRDV03 : Reset failure."), Colors::clMsgRed);
        const int afterFirst = counter.Count;
        QCOMPARE(Form->Label_Message->text(), QStringLiteral("ERRDV03 : Reset failure."));
        QCOMPARE(Form->Label_Message->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        Form->ShowStatusMessage(QStringLiteral("Reset complete."), Colors::clMsgLime);
        Form->Label_Message->removeEventFilter(&counter);
        QVERIFY(afterFirst >= 1);
        QVERIFY(counter.Count > afterFirst);
        QCOMPARE(Form->Label_Message->palette().color(QPalette::WindowText), QColor(0, 255, 0));
    }

    void everyLineFitsTheMessageBar_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("full");
        QTest::newRow("short") << "Device ready." << true;
        QTest::newRow("ERRDV19 with its tag")
            << "ERRDV19 : Calibration data file might be problem. (1000/20)" << true;
        QTest::newRow("ERRSE17") << "ERRSE17 : The decimal place of ([LW]+[SW])/2 must be an even "
                                    "integer."
                                 << true;
        QTest::newRow("ERRSE19") << u"ERRSE19 : Out of range. If ([LW]-[SW]) = 10.0 Please set "
                                    u"([LW]+[SW])/2 \u2265 495.0"_qs
                                 << false;
        QTest::newRow("ERRSE20, widest numbers")
            << u"ERRSE20 : Out of range. If ([LW]-[SW]) = 100.0 Please set ([LW]+[SW])/2 "
               u"\u2264 1000.0"_qs
            << false;
    }
    void everyLineFitsTheMessageBar() {
        QFETCH(QString, text);
        QFETCH(bool, full);
        Form->ShowStatusMessage(text, Colors::clMsgRed);
        const QFont font = Form->Label_Message->font();
        const int width = QFontMetrics(font).horizontalAdvance(text);
        QVERIFY2(width <= Form->Label_Message->width(), qPrintable(QString::number(width)));
        // The bar's own size wherever it fits, as close to it as fits otherwise.
        if (full) {
            QCOMPARE(font.pixelSize(), 21);
        } else {
            QVERIFY(font.pixelSize() < 21);
            QFont larger = font;
            larger.setPixelSize(font.pixelSize() + 1);
            QVERIFY(QFontMetrics(larger).horizontalAdvance(text) > Form->Label_Message->width());
        }
    }

    // A signal caught before anything of the program exists waits until it can be served.
    void signalCaughtEarlyIsServedLater() {
        CatchShutdownSignals();
        QCOMPARE(::raise(SIGTERM), 0);
        QObject context;
        int served = 0;
        ConnectShutdownSignals(&context, [&served]() { ++served; });
        QTRY_COMPARE(served, 1);
        QCOMPARE(::raise(SIGINT), 0);
        QTRY_COMPARE(served, 2);
    }

    void productLabel_data() {
        QTest::addColumn<bool>("opened");
        QTest::addColumn<QString>("model");
        QTest::addColumn<double>("min");
        QTest::addColumn<double>("max");
        QTest::addColumn<QString>("label");
        QTest::newRow("good") << true << "F123" << 400.0 << 700.0
                              << "QVL-RARI-123 ( 400.0 nm - 700.0 nm )";
        QTest::newRow("no device") << false << "F123" << 400.0 << 700.0 << "No Device";
        QTest::newRow("lower below 100")
            << true << "F123" << 99.5 << 700.0 << "QVL-RARI (Unknown Model)";
        QTest::newRow("upper above 950")
            << true << "F123" << 400.0 << 950.1 << "QVL-RARI (Unknown Model)";
        QTest::newRow("equal ends")
            << true << "F123" << 500.0 << 500.0 << "QVL-RARI (Unknown Model)";
        QTest::newRow("model G") << true << "G123" << 400.0 << 700.0 << "QVL-RARI (Unknown Model)";
        QTest::newRow("model too short")
            << true << "F12" << 400.0 << 700.0 << "QVL-RARI (Unknown Model)";
        QTest::newRow("model letters")
            << true << "Fabc" << 400.0 << 700.0 << "QVL-RARI (Unknown Model)";
        QTest::newRow("unknown range")
            << true << "F123" << -1.0 << -1.0 << "QVL-RARI (Unknown Model)";
        QTest::newRow("bounds inclusive")
            << true << "F001" << 100.0 << 950.0 << "QVL-RARI-001 ( 100.0 nm - 950.0 nm )";
    }
    void productLabel() {
        QFETCH(bool, opened);
        QFETCH(QString, model);
        QFETCH(double, min);
        QFETCH(double, max);
        Form->DeviceOpened = opened;
        Form->DeviceModel = model;
        Form->DeviceMinWavelength = min;
        Form->DeviceMaxWavelength = max;
        QTEST(Form->GetProductLabel(), "label");
        Form->DeviceOpened = false;
    }

    void deviceLock() {
        QVERIFY(!Form->TryLockDevice());
        QVERIFY(!Form->DeviceBusy);
        QVERIFY(!Form->UnlockDevice());
        Form->DeviceOpened = true;
        QVERIFY(!Form->UnlockDevice());
        QVERIFY(Form->TryLockDevice());
        QVERIFY(Form->DeviceBusy);
        QVERIFY(!Form->TryLockDevice());
        QVERIFY(Form->UnlockDevice());
        QVERIFY(!Form->DeviceBusy);
        Form->DeviceOpened = false;
    }

    void lookupsGatedBySession() {
        // A table in memory answers nothing unless a session is open and the table loaded.
        Form->Table.RowCount = 2;
        Form->Table.ColCount = 1;
        Form->Table.RowValues[0] = 400.0;
        Form->Table.RowValues[1] = 400.5;
        Form->Table.ColValues[0] = 10.0;
        QCOMPARE(Form->MinCwl(), 0.0);
        QVERIFY(!Form->IsCwlInTable(400.0));
        QVERIFY(!Form->MoveTo(400.0, 10.0));
        Form->DeviceOpened = true;
        Form->CalDataLoaded = true;
        QCOMPARE(Form->MinCwl(), 400.0);
        QCOMPARE(Form->CwlStep(), 0.5);
        QVERIFY(Form->IsCwlInTable(400.5));
        Form->CalDataLoaded = false;
        QCOMPARE(Form->MaxCwl(), 0.0);
        Form->DeviceOpened = false;
        Form->Table.Empty();
    }

    // Last: the shutdown ends the application's event loop.
    void shutdownWritesSettings() {
        Form->Image_Title_Button2Click();
        QVERIFY(Form->CloseRequested);
        QVERIFY(!Form->isVisible());
        Form->ReleaseAll();
        QCOMPARE(ReadAll(Folder() + "VuzaRavarede.ini"),
                 QByteArray("[Info]\nType=QVL Rari v2\n\n[ComPort]\nPortName=COM1\n"
                            "BaudRate=38400\nTimeOut=1000\n\n[Device]\nInfo=Kravo FM Ver1.0\n"
                            "ZeroToPos=1\nDebugMode=0\n\n[Remote]\nPortNum=5050\n\n"
                            "[Scan]\nRecord=1\n"));
        delete Form;
        Form = nullptr;
    }
};

QTEST_MAIN(TestFormMain)
#include "tst_formmain.moc"
