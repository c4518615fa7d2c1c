// The Scan panel and its engine against a simulated instrument: scans driven by clicks and keys
// and by the remote actions, stops, failing moves, a vanishing instrument and a close in the
// middle of a step.
#include "app/Unit_FormMain.h"
#include "control/Unit_FormControlScan.h"
#include "control/Unit_ThreadAutoScan.h"
#include "core/Unit_Colors.h"
#include "support/AppFixture.h"
#include "ui/Unit_FormControlView.h"
#include "ui/Unit_ScanProgress.h"
#include "ui/Unit_SkinEdit.h"
#include "ui/Unit_SkinImage.h"

#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <functional>

namespace {

TSkinImage* Shown(TSkinImage* on, TSkinImage* off) {
    return on->isVisible() ? on : off;
}

// A scan record read back: its '#' lines, the rows under the header row split into fields, and
// the end line.
struct Record {
    QStringList Comments;
    QList<QStringList> Rows;
    QString End;
    int Files = 0;
};

Record ReadRecord(const QString& programFolder) {
    Record record;
    const QDir folder(programFolder + QStringLiteral("Scans"));
    const QStringList files = folder.entryList({QStringLiteral("Scan *.csv")}, QDir::Files);
    record.Files = int(files.size());
    if (files.size() != 1) return record;
    QFile file(folder.filePath(files.first()));
    if (!file.open(QIODevice::ReadOnly)) return record;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    bool header = false;
    for (const QString& line : lines) {
        if (line.startsWith(QLatin1String("# end,")))
            record.End = line.mid(6);
        else if (line.startsWith(u'#'))
            record.Comments << line;
        else if (!header)
            header = line.startsWith(QLatin1String("point,cwl_nm,"));
        else
            record.Rows << line.split(u',');
    }
    return record;
}

void Type(TSkinEdit* box, const QString& text) {
    QTest::mouseClick(box, Qt::LeftButton);
    QTest::keyClicks(box, text);
}

// Runs `action` once, from inside whatever handler is running, as soon as `when` holds.
class WhenThen : public QObject {
public:
    WhenThen(std::function<bool()> when, std::function<void()> then)
        : When(std::move(when)), Then(std::move(then)) {
        Poll.setInterval(10);
        connect(&Poll, &QTimer::timeout, this, [this]() {
            if (Done || !When()) return;
            Done = true;
            Poll.stop();
            Then();
        });
        Poll.start();
    }
    bool Done = false;

private:
    QTimer Poll;
    std::function<bool()> When;
    std::function<void()> Then;
};

} // namespace

class TestFormControlScan : public QObject {
    Q_OBJECT

    std::unique_ptr<AppFixture> App;
    TForm_Main* Form = nullptr;
    TForm_ControlScan* Scan = nullptr;
    int OpenExchanges = 0;
    // Messages shown and simulator lines printed before the case began (those of the cases
    // before, on a shared program).
    int ShownBefore = 0;
    qsizetype LinesBefore = 0;
    // Whether the program may serve the next case that shares one, and its simulator options.
    bool AppShared = false;
    QStringList AppSimArgs;

    // A fresh program with a ready session and the Scan tab shown.
    bool StartReady(const QStringList& simArgs = {}) {
        App.reset();
        AppShared = false;
        AppSimArgs = simArgs;
        ShownBefore = 0;
        LinesBefore = 0;
        App = std::make_unique<AppFixture>();
        if (!App->StartSim(QStringList{"--home-ms", "200"} + simArgs)) return false;
        App->PlaceKeptCopy();
        Form = App->CreateForm();
        Scan = Form->FormControlScan;
        Form->show();
        if (!QTest::qWaitForWindowExposed(Form)) return false;
        if (!App->WaitForMessage("Device ready.") || !App->Sim().WaitForExchanges(7, 5000))
            return false;
        OpenExchanges = int(App->Commands().size());
        Form->Image_Tab2Click();
        return Scan->isVisible();
    }

    // A ready program for a case that leaves it idle with its session open: the program of the
    // case before when that one shared it with the same simulator options, else a fresh one.
    // The case then finds what a fresh program shows: empty boxes, no scan record, and the
    // commands, messages and simulator lines counted from its own start.
    bool StartShared(const QStringList& simArgs = {}) {
        const bool reuse = App && AppShared && AppSimArgs == simArgs && Form->DeviceOpened &&
                           !Form->DeviceBusy && !Scan->Running() && !Form->IsDeviceExchanging();
        if (!reuse) {
            if (!StartReady(simArgs)) return false;
            AppShared = true;
            return true;
        }
        // The simulator handles a control line after everything before it: once its echo is
        // read, so are the exchanges of the cases before.
        const qsizetype lines = App->Sim().Lines().size();
        if (!App->Sim().SendControl("silent off") ||
            !QTest::qWaitFor(
                [&]() { return App->Sim().Lines().mid(lines).contains("# silent off"); }, 5000))
            return false;
        OpenExchanges = int(App->Commands().size());
        ShownBefore = int(App->Shown().size());
        LinesBefore = App->Sim().Lines().size();
        Scan->SetScanFields("", "", "", "", "");
        QDir scans(App->Folder() + QStringLiteral("Scans"));
        for (const QString& file : scans.entryList({QStringLiteral("Scan *.csv")}, QDir::Files))
            if (!scans.remove(file)) return false;
        Form->Image_Tab2Click();
        return Scan->isVisible();
    }

    QStringList ShownInCase() const { return App->Shown().mid(ShownBefore); }
    bool WaitForShownInCase(const QString& text, int timeoutMs) {
        return QTest::qWaitFor([&]() { return ShownInCase().contains(text); }, timeoutMs);
    }
    bool WaitForSimLineInCase(const QString& prefix, int timeoutMs) {
        return QTest::qWaitFor(
            [&]() {
                const QStringList lines = App->Sim().Lines().mid(LinesBefore);
                return std::any_of(lines.begin(), lines.end(),
                                   [&](const QString& line) { return line.startsWith(prefix); });
            },
            timeoutMs);
    }

    void TypeFields(const QStringList& values) {
        for (int i = 0; i < 5; ++i)
            Type(Scan->Edit[i], values[i]);
    }
    void ClickGo() {
        TSkinImage* go = Scan->Image_Button4_Stop->isVisible()
                             ? Scan->Image_Button4_Stop
                             : Shown(Scan->Image_Button4_On, Scan->Image_Button4_Off);
        QTest::mouseClick(go, Qt::LeftButton);
    }
    void ClickReset() {
        QTest::mouseClick(Shown(Scan->Image_Button3_On, Scan->Image_Button3_Off), Qt::LeftButton);
    }
    QStringList CommandsSinceOpen() { return App->Commands().mid(OpenExchanges); }
    QString Go(double cwl, double fwhm) { return "GO 3 " + App->SamplePositions(cwl, fwhm); }
    QList<QByteArray> Stored() const {
        return {Form->RemoteResponse, Form->RemoteErrorCode, Form->RemoteErrorText};
    }

    void VerifyIdle() {
        QVERIFY(!Scan->Running());
        QVERIFY(!Scan->StopRequested());
        QVERIFY(!Scan->Finished());
        QVERIFY(!Scan->Succeeded());
        QVERIFY(Scan->Image_Button4_Off->isVisible());
        QVERIFY(!Scan->Image_Button4_On->isVisible());
        QVERIFY(!Scan->Image_Button4_Stop->isVisible());
        QVERIFY(!Form->ScanProgress->isVisible());
        for (TSkinEdit* box : Scan->Edit)
            QVERIFY(!box->isReadOnly());
        QVERIFY(!Form->DeviceBusy);
    }

    // The record against the moves the instrument received: one row per GO, in order, with the
    // grid point's band and positions, times that only go forward, and the end line.
    void VerifyRecord(const QList<double>& points, double fwhm, int okRows, const QString& end) {
        const Record record = ReadRecord(App->Folder());
        QCOMPARE(record.Files, 1);
        QVERIFY(record.Comments.contains("# instrument,F123,ABCD12345678,400.0-800.0"));
        QVERIFY(record.Comments.contains("# source,window"));
        QCOMPARE(record.Rows.size(), points.size());
        double lastTime = -1.0;
        for (int i = 0; i < record.Rows.size(); ++i) {
            const QStringList& row = record.Rows[i];
            QCOMPARE(row.size(), 13);
            QCOMPARE(row[0], QString::number(i + 1));
            QCOMPARE(row[1].toDouble(), points[i]);
            QCOMPARE(row[2].toDouble(), fwhm);
            QCOMPARE(row[3].toDouble(), points[i] - fwhm / 2);
            QCOMPARE(row[4].toDouble(), points[i] + fwhm / 2);
            QCOMPARE(QStringList(row.mid(5, 3)).join(u' '), App->SamplePositions(points[i], fwhm));
            QVERIFY(QDateTime::fromString(row[8], Qt::ISODateWithMs).isValid());
            QVERIFY(QDateTime::fromString(row[8], Qt::ISODateWithMs) <=
                    QDateTime::fromString(row[9], Qt::ISODateWithMs));
            const double started = row[10].toDouble();
            const double finished = row[11].toDouble();
            QVERIFY2(lastTime <= started && started <= finished, qPrintable(row.join(u',')));
            lastTime = finished;
            QCOMPARE(row[12], i < okRows ? QStringLiteral("OK") : QStringLiteral("FAIL"));
        }
        QCOMPARE(record.End, end);
    }

private slots:
    void cleanup() {
        // A failed case may have left its program anywhere: the next one starts afresh.
        if (AppShared && !QTest::currentTestFailed()) return;
        App.reset();
        Form = nullptr;
        Scan = nullptr;
        AppShared = false;
    }
    void cleanupTestCase() {
        App.reset();
        Form = nullptr;
        Scan = nullptr;
    }

    // The filter visits exactly the grid points of the range, then success is reported.
    void scanVisitsThePoints_data() {
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QList<double>>("points");
        QTest::newRow("ascending, END reached") << QStringList{"500.0", "510.0", "10", "2.0", "0.1"}
                                                << QList<double>{500, 502, 504, 506, 508, 510};
        QTest::newRow("descending, END passed")
            << QStringList{"510.0", "500.0", "10", "4.0", "0.1"} << QList<double>{510, 506, 502};
        QTest::newRow("START equal to END")
            << QStringList{"600", "600", "5", "1", "0.5"} << QList<double>{600};
    }
    void scanVisitsThePoints() {
        QFETCH(QStringList, fields);
        QFETCH(QList<double>, points);
        QVERIFY(StartShared());
        TypeFields(fields);
        ClickGo();
        QCOMPARE(App->Message(), QStringLiteral("Scanning..."));
        QCOMPARE(App->MessageColor(), Colors::clMsgYellow);
        // Go shows Stop, and the progress counts towards the points of the scan.
        QVERIFY(Scan->Image_Button4_Stop->isVisible());
        QVERIFY(!Scan->Image_Button4_On->isVisible());
        QVERIFY(Form->ScanProgress->isVisible());
        QVERIFY(
            Form->ScanProgress->Caption().contains(QStringLiteral(" / %1 ").arg(points.size())));
        QVERIFY(Form->DeviceBusy);
        QVERIFY(App->WaitForMessage("Scan successful.", 30000));
        QCOMPARE(App->MessageColor(), Colors::clMsgLime);
        QCOMPARE(Stored(), (QList<QByteArray>{"SCAN SUCCESS", "NONE", "Scan successful."}));

        const double fwhm = fields[2].toDouble();
        QStringList expected{"POS 3", "BKEN 0"};
        for (double cwl : points)
            expected << Go(cwl, fwhm);
        QVERIFY(App->Sim().WaitForExchanges(OpenExchanges + int(expected.size()), 5000));
        QCOMPARE(CommandsSinceOpen(), expected);
        QCOMPARE(Form->FormControlView->Label_Edit3->text(),
                 QString::number(points.last(), 'f', 2));
        QCOMPARE(Scan->Thread_AutoScan->StepCount, qint32(points.size()));
        VerifyIdle();
        VerifyRecord(points, fwhm, int(points.size()), "SUCCESS");
        const ScanProgressFigures progress = Scan->Progress();
        QCOMPARE(progress.Done, qint32(points.size()));
        QCOMPARE(progress.Total, qint32(points.size()));
        QCOMPARE(progress.RemainingS, 0.0);
    }

    // A stop whose end is not reported within 3 s (the supervision timer held up) answers so;
    // the stop request stays, no further move is made, and the end comes once the timer runs.
    void remoteStopThatCannotEnd() {
        QVERIFY(StartShared());
        Scan->SetScanFields("500", "795", "10", "0.5", "1");
        Scan->Action_RemoteControl_Scan();
        QCOMPARE(Stored(), (QList<QByteArray>{"SCAN OK", "", ""}));
        QVERIFY(App->Sim().WaitForExchanges(OpenExchanges + 3, 5000));
        Scan->Timer_CheckScan->stop();
        const int moves = Scan->Thread_AutoScan->StepCount;
        Scan->Action_RemoteControl_Stop();
        QCOMPARE(Stored(), (QList<QByteArray>{"STOP FAIL", "NONE", "Can't stop scan process."}));
        QVERIFY(Scan->Running());
        QVERIFY(Scan->StopRequested());
        QVERIFY(Form->DeviceBusy);
        Scan->Timer_CheckScan->start();
        QVERIFY(App->WaitForMessage("Scan aborted.", 5000));
        QCOMPARE(Stored(), (QList<QByteArray>{"SCAN ABORT", "NONE", "Scan aborted."}));
        QCOMPARE(Scan->Thread_AutoScan->StepCount, moves);
        QCOMPARE(CommandsSinceOpen().size(), qsizetype(2 + moves));
        VerifyIdle();
    }

    void typingClicksAndRefusals() {
        QVERIFY(StartShared());
        // Typing stops at 5 characters; a click into a box empties it.
        Type(Scan->Edit[0], "500.25");
        QCOMPARE(Scan->Edit[0]->text(), QStringLiteral("500.2"));
        QTest::mouseClick(Scan->Edit[0], Qt::LeftButton);
        QCOMPARE(Scan->Edit[0]->text(), QString());

        // All boxes empty: the lock is taken, BKEN switched off, the rule fails and all is back.
        QTest::keyClick(Scan->Edit[0], Qt::Key_Return);
        QCOMPARE(App->Message(), QStringLiteral("ERRSC06 : Out of range. Please set [START] "
                                                "\u2265 400.0"));
        QCOMPARE(App->MessageColor(), Colors::clMsgRed);
        VerifyIdle();
        QVERIFY(App->Sim().WaitForExchanges(OpenExchanges + 2, 5000));
        QCOMPARE(CommandsSinceOpen(), (QStringList{"POS 3", "BKEN 0"}));

        // While a scan holds the device, Reset checks the line with its position query between
        // two steps, then meets the scan's lock and ends silently: no home, no message.
        TypeFields({"405", "795", "10", "0.5", "600"});
        ClickGo();
        QVERIFY(Scan->Running());
        QVERIFY(App->Sim().WaitForExchanges(OpenExchanges + 5, 5000));
        const int shownBefore = int(App->Shown().size());
        ClickReset();
        QVERIFY(App->Sim().WaitForExchanges(OpenExchanges + 6, 5000));
        QCOMPARE(App->Message(), QStringLiteral("Scanning..."));
        QCOMPARE(App->Shown().size(), shownBefore);
        QCOMPARE(Scan->Image_Button3_Off->isVisible(), true);
        // The boxes keep showing the running scan: a click, typing, a paste and Enter change
        // nothing and stop nothing.
        QGuiApplication::clipboard()->setText(QStringLiteral("123"));
        Type(Scan->Edit[0], "999");
        QTest::keyClick(Scan->Edit[0], Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(Scan->Edit[0], Qt::Key_Backspace);
        QTest::keyClick(Scan->Edit[0], Qt::Key_Return);
        QCOMPARE(Scan->Edit[0]->text(), QStringLiteral("405"));
        QVERIFY(Scan->Running());
        QVERIFY(!Scan->StopRequested());
        // The close button is refused while the scan holds the device.
        Form->Image_Title_Button2Click();
        QVERIFY(!Form->CloseRequested);
        ClickGo();
        QVERIFY(App->WaitForMessage("Scan aborted.", 5000));
        QVERIFY(App->Sim().WaitForExchanges(OpenExchanges + 7, 5000));
        QCOMPARE(CommandsSinceOpen().mid(2),
                 (QStringList{"POS 3", "BKEN 0", Go(405, 10), "POS 3", "POS 3"}));
        VerifyIdle();

        // Reset homes the filter and shows the table's range.
        ClickReset();
        QVERIFY(App->WaitForMessage("Reset complete.", 20000));
        QCOMPARE(Form->FormControlView->Label_RangeMin->text(), QStringLiteral("390.0"));
        QVERIFY(Scan->Image_Button3_Off->isVisible());
        QVERIFY(!Form->DeviceBusy);

        // A remote client locks the panel's controls.
        Scan->Action_RemoteControl_Enable();
        QVERIFY(Scan->Label_Remote->isVisible());
        for (TSkinEdit* box : Scan->Edit)
            QVERIFY(!box->isEnabled());
        QVERIFY(!Scan->Image_Button4_Off->isEnabled());
        Scan->Action_RemoteControl_Disable();
        QVERIFY(!Scan->Label_Remote->isVisible());
        QVERIFY(Scan->Edit[4]->isEnabled());
    }

    void remoteScanAndStop() {
        QVERIFY(StartShared());
        // Fields take the whole received text; a failed rule is stored with its 8-bit text.
        Scan->SetScanFields("1000.0", "510", "10", "2", "0.1");
        QCOMPARE(Scan->Edit[0]->text(), QStringLiteral("1000.0"));
        Scan->Action_RemoteControl_Scan();
        QCOMPARE(Stored(), (QList<QByteArray>{"SCAN FAIL", "ERRSC07",
                                              "Out of range. Please set [START] \xA1\xC2 800.0"}));
        QCOMPARE(App->Message(),
                 QStringLiteral("ERRSC07 : Out of range. Please set [START] \u2264 800.0"));
        VerifyIdle();

        Scan->Action_RemoteControl_Stop();
        QCOMPARE(Stored(), (QList<QByteArray>{"STOP FAIL", "NONE", "No Scan."}));

        Scan->SetScanFields("500", "795", "10", "0.5", "1");
        Scan->Action_RemoteControl_Scan();
        QCOMPARE(Stored(), (QList<QByteArray>{"SCAN OK", "", ""}));
        QVERIFY(Scan->Running());
        // A second start and a reset while the scan holds the device are refused as such.
        Scan->Action_RemoteControl_Scan();
        QCOMPARE(Stored(), (QList<QByteArray>{"SCAN FAIL", "NONE", "Device busy."}));
        Scan->Action_RemoteControl_Reset();
        QCOMPARE(Stored(), (QList<QByteArray>{"RESET FAIL", "NONE", "Device busy."}));
        QVERIFY(Scan->Running());

        Scan->Action_RemoteControl_Stop();
        QCOMPARE(Stored(), (QList<QByteArray>{"STOP OK", "", ""}));
        QVERIFY(ShownInCase().contains("Scan aborted."));
        VerifyIdle();

        Scan->Action_RemoteControl_Reset();
        QCOMPARE(Stored(), (QList<QByteArray>{"RESET OK", "", ""}));
        QCOMPARE(App->Message(), QStringLiteral("Reset complete."));
        VerifyIdle();
    }

    // A stop that arrives while the end is being reported finds the scan stopped: it answers at
    // once instead of waiting for the report below it on the stack to finish.
    void stopWhileTheEndIsReported() {
        QVERIFY(StartShared());
        Scan->SetScanFields("500", "502", "10", "2", "0.1");
        Scan->Action_RemoteControl_Scan();
        QVERIFY(Scan->Running());
        QList<QByteArray> stored;
        const QMetaObject::Connection stopper = connect(
            Form, &TForm_Main::StatusMessageShown, this, [&](const QString& text, unsigned) {
                if (text != "Scan successful." || !stored.isEmpty()) return;
                Scan->Action_RemoteControl_Stop();
                stored = Stored();
            });
        QVERIFY(WaitForShownInCase("Scan successful.", 30000));
        disconnect(stopper);
        QCOMPARE(stored, (QList<QByteArray>{"STOP OK", "", ""}));
        VerifyIdle();
        // The scan's own report is still there for the client's next empty line.
        QCOMPARE(Form->RemoteEndReport, QByteArray("SCAN SUCCESS"));
    }

    // The line goes silent while a scan holds a point: the stop click's position query fails,
    // the session is closed and the scan is reported aborted; the next session finds the
    // device free and scans again.
    void lineLostDuringAScan() {
        QVERIFY(StartShared());
        TypeFields({"500", "510", "10", "2", "10"});
        ClickGo();
        QVERIFY(App->Sim().WaitForExchanges(OpenExchanges + 3, 5000));
        QCOMPARE(CommandsSinceOpen().last(), Go(500, 10));
        QVERIFY(App->Sim().SendControl("silent on"));
        QVERIFY(WaitForSimLineInCase("# silent on", 3000));
        ClickGo();
        QVERIFY(WaitForShownInCase("ERRDV02 : Communication error. Connection lost.", 5000));
        QVERIFY(WaitForShownInCase("Scan aborted.", 5000));
        QVERIFY(!Form->DeviceOpened);
        VerifyIdle();

        QVERIFY(App->Sim().SendControl("silent off"));
        QVERIFY(App->WaitForMessage("Device ready.", 30000));
        QVERIFY(!Form->DeviceBusy);
        Form->Image_Tab2Click();
        TypeFields({"600", "600", "10", "1", "0.1"});
        ClickGo();
        QVERIFY(App->WaitForMessage("Scan successful.", 10000));
        VerifyIdle();
    }

    // The line is lost before a remote scan or reset: its position query fails, the session is
    // closed and the client reads why; nothing but the query went out.
    void remoteRefusalsAreFailures_data() {
        QTest::addColumn<QByteArray>("word");
        QTest::newRow("scan") << QByteArray("SCAN");
        QTest::newRow("reset") << QByteArray("RESET");
    }
    void remoteRefusalsAreFailures() {
        QFETCH(QByteArray, word);
        QVERIFY(StartShared());
        // The product label is grey while the session is open, red once it is closed.
        QVERIFY(!Scan->Label_Product->text().isEmpty());
        QCOMPARE(Scan->Label_Product->palette().color(QPalette::WindowText),
                 QColor(0xA4, 0xA4, 0xA4));
        QVERIFY(App->Sim().SendControl("silent on"));
        QVERIFY(WaitForSimLineInCase("# silent on", 3000));
        Scan->SetScanFields("500", "510", "10", "2", "0.1");
        Form->SetRemoteResult(word + " OK", "", "");
        if (word == "SCAN")
            Scan->Action_RemoteControl_Scan();
        else
            Scan->Action_RemoteControl_Reset();
        QCOMPARE(Stored(), (QList<QByteArray>{word + " FAIL", "ERRDV02",
                                              "Communication error. Connection lost."}));
        QVERIFY(ShownInCase().contains("ERRDV02 : Communication error. Connection lost."));
        QVERIFY(!ShownInCase().contains("Restarting device. Please wait..."));
        QVERIFY(!Form->DeviceOpened);
        QVERIFY(Scan->Image_Button3_Off->isVisible());
        VerifyIdle();
        QVERIFY(App->Sim().WaitForExchanges(OpenExchanges + 1, 5000));
        QCOMPARE(CommandsSinceOpen(), QStringList{"POS 3"});
        // Without a session every remote action refuses with its own result.
        Scan->Action_RemoteControl_Scan();
        QCOMPARE(Stored(), (QList<QByteArray>{"SCAN FAIL", "NONE",
                                              "Device not ready. Please connect QVL Rari."}));
        Scan->Action_RemoteControl_Stop();
        QCOMPARE(Stored(), (QList<QByteArray>{"STOP FAIL", "NONE",
                                              "Device not ready. Please connect QVL Rari."}));
        Scan->Action_RemoteControl_Reset();
        QCOMPARE(Stored(),
                 (QList<QByteArray>{"RESET FAIL", "NONE", "Reset failure. Device not ready."}));
        QCOMPARE(Scan->Label_Product->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    }

    // Go while scanning stops the scan at the next step: no further move is made.
    void goStopsTheScan_data() {
        QTest::addColumn<QString>("end");
        QTest::addColumn<int>("moment");
        QTest::addColumn<QStringList>("moves");
        // Between the first and the second point: the click's position query follows.
        QTest::newRow("between steps") << "520" << 0 << QStringList{"500"};
        // While the second move waits for its answer: no position query inside that exchange.
        QTest::newRow("during a move") << "520" << 1 << QStringList{"500", "501"};
        // The engine has passed END but the timer has not reported it yet: a stop wins.
        QTest::newRow("after the last point") << "501" << 2 << QStringList{"500", "501"};
    }
    void goStopsTheScan() {
        QFETCH(QString, end);
        QFETCH(int, moment);
        QFETCH(QStringList, moves);
        QVERIFY(StartShared({"--go-ms", "600"}));
        TypeFields({"500", end, "10", "1", "1.0"});
        ClickGo();
        WhenThen stop(
            [&]() {
                if (moment == 2) return Scan->Finished() && Scan->Succeeded();
                const bool moving = Form->IsDeviceExchanging();
                return Scan->Thread_AutoScan->StepCount == 1 && moving == (moment == 1);
            },
            [&]() { ClickGo(); });
        QVERIFY(App->WaitForMessage("Scan aborted.", 30000));
        QVERIFY(stop.Done);
        QCOMPARE(App->MessageColor(), Colors::clMsgSilver);
        QCOMPARE(Stored(), (QList<QByteArray>{"SCAN ABORT", "NONE", "Scan aborted."}));
        QVERIFY(!ShownInCase().contains("Scan successful."));
        VerifyIdle();
        QStringList expected{"POS 3", "BKEN 0"};
        for (const QString& cwl : moves)
            expected << Go(cwl.toDouble(), 10);
        if (moment != 1) expected << "POS 3";
        QVERIFY(App->Sim().WaitForExchanges(OpenExchanges + int(expected.size()), 5000));
        QCOMPARE(CommandsSinceOpen(), expected);
        QCOMPARE(Scan->Thread_AutoScan->StepCount, qint32(moves.size()));
        // A move under way when the stop came is still recorded.
        QList<double> points;
        for (const QString& cwl : moves)
            points << cwl.toDouble();
        VerifyRecord(points, 10, int(points.size()), "ABORT");
    }

    void failingMoveEndsTheScan() {
        QVERIFY(StartReady({"--go-fail", "3"}));
        TypeFields({"500", "510", "10", "2", "0.1"});
        ClickGo();
        QVERIFY(App->WaitForMessage("ERRDV05 : Scan failure.", 30000));
        QCOMPARE(App->MessageColor(), Colors::clMsgRed);
        QCOMPARE(Stored(), (QList<QByteArray>{"SCAN FAIL", "ERRDV05", "Scan failure."}));
        QCOMPARE(Scan->Thread_AutoScan->StepCount, 2);
        QCOMPARE(Form->FormControlView->Label_Edit3->text(), QStringLiteral("502.00"));
        QCOMPARE(CommandsSinceOpen(),
                 (QStringList{"POS 3", "BKEN 0", Go(500, 10), Go(502, 10), Go(504, 10)}));
        VerifyIdle();
        VerifyRecord({500, 502, 504}, 10, 2, "FAIL,ERRDV05");
        QVERIFY(Form->DeviceOpened);
    }

    // The next step waits for TimeDelay from the start of the last: with 2 s, no second GO
    // reaches the instrument within a second of the first (a slow machine only delays it).
    void stepsWaitForTimeDelay() {
        QVERIFY(StartReady({"--report-received"}));
        TypeFields({"500", "510", "10", "2", "2.0"});
        ClickGo();
        QVERIFY(App->Sim().WaitForExchanges(OpenExchanges + 4, 20000));
        ClickGo();
        QVERIFY(App->WaitForMessage("Scan aborted.", 10000));
        QList<double> goTimes;
        const QRegularExpression received(QStringLiteral("^received \"GO .*\" at ([0-9.]+)$"));
        for (const QString& line : App->Sim().Lines()) {
            const QRegularExpressionMatch m = received.match(line);
            if (m.hasMatch()) goTimes.append(m.captured(1).toDouble());
        }
        QVERIFY(goTimes.size() >= 2);
        QVERIFY2(goTimes[1] - goTimes[0] >= 1000.0,
                 qPrintable(QString::number(goTimes[1] - goTimes[0])));
    }

    // The instrument hangs up during the third move: the scan fails there, and the next
    // operation finds the line lost and closes the session.
    void vanishingInstrument() {
        QVERIFY(StartReady({"--hangup-after", "11"}));
        TypeFields({"500", "510", "10", "2", "0.1"});
        ClickGo();
        QVERIFY(App->WaitForMessage("ERRDV05 : Scan failure.", 30000));
        QCOMPARE(Scan->Thread_AutoScan->StepCount, 2);
        VerifyIdle();
        ClickGo();
        QVERIFY(App->WaitForShown("ERRDV02 : Communication error. Connection lost.", 5000));
        QVERIFY(!Form->DeviceOpened);
        QVERIFY(!Form->DeviceBusy);
    }

    // The window's close sequence running nested in a step, or between steps, ends the worker
    // and releases everything without a hang.
    void closeDuringAScan_data() {
        QTest::addColumn<bool>("duringMove");
        QTest::newRow("between steps") << false;
        QTest::newRow("inside a move") << true;
    }
    void closeDuringAScan() {
        QFETCH(bool, duringMove);
        QVERIFY(StartReady({"--go-ms", "400"}));
        TypeFields({"500", "520", "10", "1", "0.5"});
        ClickGo();
        WhenThen close(
            [&]() {
                return Scan->Thread_AutoScan->StepCount >= 1 &&
                       Form->IsDeviceExchanging() == duringMove;
            },
            [&]() { Form->RequestClose(); });
        QTRY_VERIFY_WITH_TIMEOUT(close.Done && Scan->Thread_AutoScan->isFinished(), 20000);
        QVERIFY(Form->CloseRequested);
        QVERIFY(!Form->DeviceOpened);
        App.reset();
    }
};

QTEST_MAIN(TestFormControlScan)
#include "tst_formcontrolscan.moc"
