// The device session over a real pseudo-terminal: search, identification, information, the
// calibration import with its dialog, and the outcome on the message bar.
#include "app/Unit_FormMain.h"
#include "control/Unit_FormControlSet.h"
#include "core/Unit_Colors.h"
#include "core/Unit_setupvuzaravarede.h"
#include "device/Unit_devicevuzaravarede.h"
#include "support/AppFixture.h"
#include "support/StderrCapture.h"
#include "ui/Unit_FormControlHelp.h"
#include "ui/Unit_FormControlView.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMap>
#include <QTest>
#include <QTimer>

#include <QSerialPort>
#include <QTemporaryFile>

#include <cstdio>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const QStringList kOpenSequence = {"?", "INFO 0", "INFO 1", "INFO 2", "POS 3", "BKEN 0", "HOME 3"};

} // namespace

class TestSession : public QObject {
    Q_OBJECT
private slots:
    void reachesReadyWithKeptCopy() {
        AppFixture app;
        QVERIFY2(app.StartSim({"--home-ms", "300"}), qPrintable(app.Failure()));
        app.WriteSettings(QStringLiteral("DebugMode=1"));
        QVERIFY(app.PlaceKeptCopy());
        TForm_Main* form = app.CreateForm();
        QVERIFY2(app.WaitForMessage("Device ready."), qPrintable(app.Message()));
        QCOMPARE(app.MessageColor(), Colors::clMsgLime);
        QVERIFY(app.Sim().WaitForExchanges(int(kOpenSequence.size()), 5000));
        QCOMPARE(app.Commands(), kOpenSequence);
        QVERIFY(form->DeviceOpened && form->DeviceInfoLoaded && form->CalDataLoaded);
        QVERIFY(!form->DeviceBusy);
        QCOMPARE(form->Setup->PortName, QStringLiteral("COM3"));
        QCOMPARE(form->GetProductLabel(), QStringLiteral("QVL-RARI-123 ( 400.0 nm - 800.0 nm )"));
        QCOMPARE(form->FormControlView->Label_RangeMin->text(), QStringLiteral("390.0"));
        QCOMPARE(form->FormControlView->Label_RangeMax->text(), QStringLiteral("810.0"));
        QCOMPARE(form->MinCwlAtFwhm(10.0), 405.0);
        // Diagnostic mode writes the traffic to one log file.
        const QStringList logs = QDir(app.Folder() + "Log").entryList({"Log *.ini"});
        QCOMPARE(logs.size(), 1);
        // While the session is open the ticks send nothing.
        QTest::qWait(1500);
        QCOMPARE(app.Commands().size(), kOpenSequence.size());
    }

    void clickDuringTheOpenSequenceIsRefused() {
        AppFixture app;
        QVERIFY2(app.StartSim({"--home-ms", "100"}), qPrintable(app.Failure()));
        QVERIFY(app.PlaceKeptCopy());
        TForm_Main* form = app.CreateForm();
        form->SetOpenPauseRounds(15);
        // Clicks handled inside the pause after identification, while the session holds the
        // device: each makes its position query (no other exchange is waiting), then meets the
        // held lock; neither moves nor homes it.
        bool clicked = false;
        connect(form, &TForm_Main::StatusMessageShown, this, [&](const QString& text, unsigned) {
            if (text != "Device found. Please wait...") return;
            QTimer::singleShot(300, form, [&]() {
                clicked = true;
                form->FormControlSet->Image_Button4Click();
                form->FormControlSet->Image_Button3Click();
            });
        });
        QVERIFY(app.WaitForMessage("Device ready."));
        QVERIFY(clicked);
        QStringList expected = kOpenSequence;
        expected.insert(1, "POS 3");
        expected.insert(1, "POS 3");
        QVERIFY(app.Sim().WaitForExchanges(int(expected.size()), 5000));
        QTest::qWait(200);
        QCOMPARE(app.Commands(), expected);
    }

    void wrongIdentificationKeepsSearching() {
        AppFixture app;
        QVERIFY2(app.StartSim({"--id", "Kravo FM Ver2.0"}), qPrintable(app.Failure()));
        QVERIFY(app.PlaceKeptCopy());
        TForm_Main* form = app.CreateForm();
        // Closed after the refused answer, then found again on the next pass.
        QTRY_VERIFY_WITH_TIMEOUT(app.Commands().size() >= 2, 15000);
        QCOMPARE(app.Commands().mid(0, 2), (QStringList{"?", "?"}));
        QVERIFY(!form->DeviceOpened);
        QCOMPARE(app.Message(), QStringLiteral("Searching device..."));
    }

    // Why the instrument is not found, said once per port and reason on stderr and in the
    // communication log, and shown on the Help tab while the search goes on. A refused
    // permission cannot be made here when the tests run as root; that row takes the port
    // layer's own reason for a refused open (the device tests make the real one).
    void searchSaysWhy_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("line"); // %1: the device as shown
        QTest::addColumn<QString>("help");
        QTest::newRow("wrong identification")
            << "id"
            << "COM3 (%1) answered \"Kravo FM Ver2.0\"; the settings expect \"Kravo FM Ver1.0\" "
               "([Device] Info)"
            << "Instrument: searching — COM3: answered \"Kravo FM Ver2.0\"";
        QTest::newRow("link to nothing")
            << "link"
            << "COM3 (%1): the link points to nothing"
            << "Instrument: searching — COM3: the link points to nothing";
        QTest::newRow("busy") << "busy"
                              << "COM3 (%1): busy (another program has it open)"
                              << "Instrument: searching — COM3: busy";
        QTest::newRow("permission denied, as the port layer says it")
            << "permission"
            << "COM3 (%1): permission denied — the user must be in group dialout"
            << "Instrument: searching — COM3: permission denied";
    }
    void searchSaysWhy() {
        QFETCH(QString, fault);
        QFETCH(QString, line);
        QFETCH(QString, help);
        AppFixture app;
        const QString ports = app.Folder() + "ports/";
        if (fault == "link") {
            QVERIFY(QDir().mkpath(ports));
            // A device that is gone: a link to nowhere else would be a name kept off on purpose.
            const QString gone = "/dev/serial/by-id/usb-vr-test-" + QDir(app.Folder()).dirName();
            QVERIFY(!QFileInfo::exists(gone));
            QVERIFY(QFile::link(gone, ports + "COM3"));
        } else {
            QVERIFY2(app.StartSim(fault == "id" ? QStringList{"--id", "Kravo FM Ver2.0"}
                                                : QStringList{}),
                     qPrintable(app.Failure()));
        }
        QSerialPort holder;
        if (fault == "busy") {
            holder.setPortName(ports + "COM3");
            QVERIFY(holder.open(QIODevice::ReadWrite));
        }
        app.WriteSettings(QStringLiteral("DebugMode=1"));
        QVERIFY(app.PlaceKeptCopy());
        StderrCapture capture;
        TForm_Main* form = app.CreateForm();
        form->SetCalDataDialog([](const QString&, const QString&) { return QString(); });
        // The first attempt goes through the probe too, not straight to the settings' port.
        form->PortList.clear();
        // The real probe, but only for the names of ports/: never the machine's own devices.
        form->SetPortProbe([&](const QString& name) -> PortProbeResult {
            if (!QFileInfo(ports + name).isSymLink()) return false;
            if (fault != "permission") return ProbePortDetailed(name, ports);
            OpenFailureFacts facts;
            facts.Error = QSerialPort::PermissionError;
            facts.MayReadWrite = false;
            facts.Group = QStringLiteral("dialout");
            facts.GroupMayReadWrite = true;
            PortProbeResult refused;
            refused.Device = PortDeviceText(name, ports);
            refused.Reason = OpenFailureReason(facts);
            return refused;
        });
        // Three passes of the search.
        if (fault == "id") {
            QTRY_VERIFY_WITH_TIMEOUT(app.Commands().size() >= 3, 20000);
        } else {
            const QString none = "ERRDV01 : Device not found. Please connect QVL Rari.";
            QTRY_VERIFY_WITH_TIMEOUT(app.Shown().count(none) >= 3, 20000);
        }
        QVERIFY(!form->DeviceOpened);
        QCOMPARE(form->FormControlHelp->Label_InstrumentLine->text(), help);
        const QString expected = line.arg(PortDeviceText("COM3", ports));
        const QByteArray said = capture.Text();
        QCOMPARE(said.count("VuzaRavarede: "), 1);
        QVERIFY2(said.contains("VuzaRavarede: " + expected.toLocal8Bit() + "\n"), said.constData());
        const QStringList logs = QDir(app.Folder() + "Log").entryList({"Log *.ini"});
        QCOMPARE(logs.size(), 1);
        QFile log(app.Folder() + "Log/" + logs.first());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray logged = QString(expected).replace(" — ", " - ").toLatin1();
        QCOMPARE(log.readAll().count("] " + logged + "\r\n"), 1);

        // Once the fault is gone the instrument is found, and the line says where.
        if (fault == "busy") {
            holder.close();
            QVERIFY(app.WaitForShown("Device found. Please wait..."));
            QTRY_COMPARE(form->FormControlHelp->Label_InstrumentLine->text(),
                         QStringLiteral("Instrument: COM3"));
        }
    }

    void identificationMayHaveMoreCharacters() {
        AppFixture app;
        QVERIFY2(app.StartSim({"--id", "Kravo FM Ver1.0 build 77", "--home-ms", "100"}),
                 qPrintable(app.Failure()));
        QVERIFY(app.PlaceKeptCopy());
        TForm_Main* form = app.CreateForm();
        QVERIFY2(app.WaitForMessage("Device ready."), qPrintable(app.Message()));
        QCOMPARE(form->Device->DeviceId, QStringLiteral("Kravo FM Ver1.0 build 77"));
    }

    void openButNotReady_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<bool>("keptCopy");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<bool>("infoLoaded");
        const QStringList noHome = kOpenSequence.mid(0, 6);
        QTest::newRow("range of 10 characters")
            << QStringList{"--info", "2=400.0-800"} << true << "ERRDV06 : Device might be problem."
            << noHome << false;
        QTest::newRow("first information read fails, position still read")
            << QStringList{"--info-answer", "0=INF"} << true << "ERRDV06 : Device might be problem."
            << QStringList{"?", "INFO 0", "POS 3", "BKEN 0"} << false;
        QTest::newRow("serial of 11 characters refused by the import")
            << QStringList{"--info", "1=ABCD1234567"} << true
            << "ERRDV06 : Device might be problem." << noHome << true;
        QTest::newRow("kept copy of another model")
            << QStringList{"--info", "0=F124"} << false
            << "ERRDV11 : Calibration data file might be problem. (Model)" << noHome << true;
    }
    void openButNotReady() {
        QFETCH(QStringList, simArgs);
        QFETCH(bool, keptCopy);
        QFETCH(QString, message);
        AppFixture app;
        QVERIFY2(app.StartSim(simArgs), qPrintable(app.Failure()));
        if (keptCopy) {
            QVERIFY(app.PlaceKeptCopy());
        } else {
            // The copy kept for F124 holds the sample's lines, which name F123.
            QDir().mkpath(app.Folder() + "Cal");
            QVERIFY(QFile::copy(app.SamplePath(), app.Folder() + "Cal/F124_ABCD12345678.csv"));
        }
        TForm_Main* form = app.CreateForm();
        QTRY_VERIFY_WITH_TIMEOUT(app.Commands().contains("BKEN 0"), 15000);
        QTest::qWait(300);
        QCOMPARE(app.Message(), message);
        QCOMPARE(app.MessageColor(), Colors::clMsgRed);
        QTEST(app.Commands(), "commands");
        QVERIFY(form->DeviceOpened);
        QVERIFY(!form->CalDataLoaded);
        QVERIFY(!form->DeviceBusy);
        QTEST(form->DeviceInfoLoaded, "infoLoaded");
        const TSessionPhase phase = form->SessionPhase();
        QCOMPARE(phase.Phase, SessionPhaseKind::Unusable);
        QCOMPARE(phase.Code, message.left(7).toLatin1());
        if (!keptCopy) QVERIFY(!QFile::exists(app.Folder() + "Cal/F124_ABCD12345678.csv"));
    }

    // The line goes during the session's start: its reads fail, and the session is closed as
    // soon as the start has ended, without waiting for an operation to find out.
    void lineLostDuringTheStartClosesTheSession() {
        AppFixture app;
        QVERIFY2(app.StartSim({"--hangup-after", "1"}), qPrintable(app.Failure()));
        QVERIFY(app.PlaceKeptCopy());
        TForm_Main* form = app.CreateForm();
        QVERIFY(app.WaitForShown("ERRDV02 : Communication error. Connection lost."));
        QVERIFY(app.Shown().indexOf("ERRDV06 : Device might be problem.") <
                app.Shown().indexOf("ERRDV02 : Communication error. Connection lost."));
        QVERIFY(!form->DeviceOpened);
        QVERIFY(!form->DeviceBusy);
        QCOMPARE(form->SessionPhase().Phase, SessionPhaseKind::Searching);
        // The simulator took its port with it: the search finds no port at all.
        QVERIFY(app.WaitForMessage("ERRDV01 : Device not found. Please connect QVL Rari.", 5000));
        QCOMPARE(app.MessageColor(), Colors::clMsgRed);
    }

    // The far end goes away while the session is idle, or while a move waits for its answer.
    // Idle, the session is closed with the lost line's message and no exchange is tried; a
    // move reports its own failure first, and the session goes once the move has ended.
    void lineLostWhileOpen_data() {
        QTest::addColumn<bool>("duringMove");
        QTest::newRow("idle") << false;
        QTest::newRow("during a move") << true;
    }
    void lineLostWhileOpen() {
        QFETCH(bool, duringMove);
        const QString lost = QStringLiteral("ERRDV02 : Communication error. Connection lost.");
        AppFixture app;
        QVERIFY2(app.StartSim({"--home-ms", "100", "--go-ms", "3000"}), qPrintable(app.Failure()));
        app.WriteSettings(QStringLiteral("DebugMode=1"));
        QVERIFY(app.PlaceKeptCopy());
        TForm_Main* form = app.CreateForm();
        QVERIFY(app.WaitForMessage("Device ready."));
        QTRY_VERIFY_WITH_TIMEOUT(!form->DeviceBusy, 5000);
        QCOMPARE(form->SessionPhase().Phase, SessionPhaseKind::Ready);

        if (duringMove) {
            QTimer watch;
            connect(&watch, &QTimer::timeout, form, [&]() {
                if (form->IsDeviceExchanging() && form->Device->LastCommand == "GO") {
                    watch.stop();
                    QCOMPARE(form->SessionPhase().Phase, SessionPhaseKind::Busy);
                    QVERIFY(app.Sim().SendControl("hangup"));
                }
            });
            watch.start(10);
            form->FormControlSet->Action_RemoteControl_Go(0, "500.0", "10.0");
            QVERIFY(!watch.isActive());
            QCOMPARE(form->RemoteErrorCode, QByteArray("ERRDV04"));
            QVERIFY(app.Shown().contains("ERRDV04 : Failed to change wavelength and FWHM."));
            QVERIFY(!app.Shown().contains(lost));
        } else {
            QVERIFY(app.Sim().SendControl("hangup"));
        }
        QVERIFY(app.Sim().WaitForExit(5000));
        QVERIFY(app.WaitForShown(lost, 10000));
        QVERIFY(!form->DeviceOpened);
        QCOMPARE(form->SessionPhase().Phase, SessionPhaseKind::Searching);
        QVERIFY(app.WaitForMessage("ERRDV01 : Device not found. Please connect QVL Rari.", 5000));

        // Nothing was sent to find out: after the line error the log holds no command.
        const QStringList logs = QDir(app.Folder() + "Log").entryList({"Log *.ini"});
        QCOMPARE(logs.size(), 1);
        QFile file(app.Folder() + "Log/" + logs.first());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray log = file.readAll();
        const qsizetype error = log.lastIndexOf("+ IO Error");
        QVERIFY(error >= 0);
        // Only the move that was waiting ends there.
        QByteArray after = log.mid(error);
        if (duringMove) after.replace("Command <GO> Fail", "");
        QVERIFY2(!after.contains("Command <") && !after.contains("Send Command"),
                 after.constData());
    }

    // The phase told to remote clients, at each step of a session's life.
    void phaseThroughTheSession() {
        AppFixture app;
        QVERIFY2(app.StartSim({"--home-ms", "300", "--go-ms", "500"}), qPrintable(app.Failure()));
        QVERIFY(app.PlaceKeptCopy());
        TForm_Main* form = app.CreateForm();
        QCOMPARE(form->SessionPhase().Phase, SessionPhaseKind::Searching);
        QMap<QString, SessionPhaseKind> seen;
        connect(form, &TForm_Main::StatusMessageShown, this, [&](const QString& text, unsigned) {
            seen.insert(text, form->SessionPhase().Phase);
        });
        QVERIFY(app.WaitForMessage("Device ready."));
        QTRY_VERIFY_WITH_TIMEOUT(!form->DeviceBusy, 5000);
        const auto phaseAt = [&](const QString& text) {
            return seen.contains(text) ? std::optional(seen.value(text)) : std::nullopt;
        };
        QCOMPARE(phaseAt("Searching device..."), std::optional(SessionPhaseKind::Searching));
        for (const char* during : {"Device found. Please wait...", "Reading device infomation...",
                                   "Reading calibration data...", "Device ready."})
            QVERIFY2(phaseAt(during) == SessionPhaseKind::Opening, during);
        const TSessionPhase ready = form->SessionPhase();
        QCOMPARE(ready.Phase, SessionPhaseKind::Ready);
        QVERIFY(ready.Code.isEmpty());

        // A move holds the instrument until its answer.
        std::optional<SessionPhaseKind> duringMove;
        QTimer watch;
        connect(&watch, &QTimer::timeout, form, [&]() {
            if (form->IsDeviceExchanging() && form->Device->LastCommand == "GO")
                duringMove = form->SessionPhase().Phase;
        });
        watch.start(10);
        form->FormControlSet->Action_RemoteControl_Go(0, "500.0", "10.0");
        watch.stop();
        QCOMPARE(form->RemoteResponse, QByteArray("SETC OK"));
        QCOMPARE(duringMove, std::optional(SessionPhaseKind::Busy));
        QCOMPARE(form->SessionPhase().Phase, SessionPhaseKind::Ready);
    }

    void calibrationDialog_data() {
        QTest::addColumn<QString>("chosenName");
        QTest::addColumn<QString>("message");
        QTest::newRow("cancel") << QString() << "ERRDV10 : No calibration data file.";
        QTest::newRow("wrong name") << "calibration.csv"
                                    << "ERRDV08 : Invalid calibration data file.";
        QTest::newRow("date before 2018") << "20171231_F123_ABCD12345678.csv"
                                          << "ERRDV08 : Invalid calibration data file.";
        QTest::newRow("good name") << "20180315_F123_ABCD12345678.csv"
                                   << "Device ready.";
    }
    void calibrationDialog() {
        QFETCH(QString, chosenName);
        QFETCH(QString, message);
        AppFixture app;
        QVERIFY2(app.StartSim({"--home-ms", "100"}), qPrintable(app.Failure()));
        QTemporaryDir delivery;
        QString chosen;
        if (!chosenName.isEmpty()) {
            chosen = delivery.filePath(chosenName);
            QVERIFY(QFile::copy(app.SamplePath(), chosen));
        }
        TForm_Main* form = app.CreateForm();
        QString title;
        QString preset;
        form->SetCalDataDialog([&](const QString& t, const QString& p) {
            title = t;
            preset = p;
            return chosen;
        });
        QTRY_VERIFY_WITH_TIMEOUT(app.Commands().contains("BKEN 0"), 15000);
        QVERIFY(app.WaitForMessage(message, 5000));
        QCOMPARE(title, QStringLiteral("Please Select QVL Rari Calibration Data File, And Click "
                                       "OK. (F123/ABCD12345678)"));
        QCOMPARE(preset, QStringLiteral("F123_ABCD12345678.csv"));
        const bool good = message == "Device ready.";
        if (good) QVERIFY(app.Sim().WaitForExchanges(int(kOpenSequence.size()), 5000));
        QCOMPARE(form->CalDataLoaded, good);
        QCOMPARE(QFile::exists(app.KeptCopyPath()), good);
        QCOMPARE(app.Commands().contains("HOME 3"), good);
        QTRY_VERIFY_WITH_TIMEOUT(!form->DeviceBusy, 5000);
        const TSessionPhase phase = form->SessionPhase();
        QCOMPARE(phase.Phase, good ? SessionPhaseKind::Ready : SessionPhaseKind::Unusable);
        QCOMPARE(phase.Code, good ? QByteArray() : message.left(7).toLatin1());
    }

    // A shutdown that begins while the open sequence waits for its last answers (a signal is
    // served even while the device is busy) ends the sequence: no "Device ready.", no new
    // search.
    void shutdownDuringTheLastExchanges_data() {
        QTest::addColumn<QString>("command");
        QTest::newRow("BKEN") << "BKEN";
        QTest::newRow("HOME") << "HOME";
    }
    void shutdownDuringTheLastExchanges() {
        QFETCH(QString, command);
        AppFixture app;
        QVERIFY2(app.StartSim({"--home-ms", "3000"}), qPrintable(app.Failure()));
        QVERIFY(app.PlaceKeptCopy());
        TForm_Main* form = app.CreateForm();
        // The search tick is run here, so that its end is known.
        form->Timer_AutoOpen->stop();
        QTimer watch;
        bool closed = false;
        connect(&watch, &QTimer::timeout, form, [&]() {
            if (closed || !form->IsDeviceExchanging() || form->Device->LastCommand != command)
                return;
            closed = true;
            form->FormClose();
        });
        watch.start(10);
        form->Timer_AutoOpenTimer();
        watch.stop();
        QVERIFY(closed);
        QVERIFY(!app.Shown().contains("Device ready."));
        QVERIFY(!form->Timer_AutoOpen->isActive());
        QVERIFY(!form->DeviceOpened);
        QVERIFY(!form->DeviceBusy);
    }

    // Something other than a regular file where the kept copy or the picked file should be:
    // nothing blocks or fills memory, and a user's folder is never removed.
    void fileThatIsNotAFile_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("asked");
        const QString unreadable = "ERRDV20 : Calibration data file might be problem.";
        const QString copyFailed = "ERRDV09 : Fail to copy calibration data file.";
        QTest::newRow("kept copy is a fifo") << "fifo" << unreadable << false;
        QTest::newRow("kept copy links to a device") << "device" << unreadable << false;
        QTest::newRow("kept copy is a broken link") << "broken" << unreadable << false;
        QTest::newRow("kept copy is a folder") << "folder" << copyFailed << true;
        QTest::newRow("picked file is a fifo") << "picked fifo" << copyFailed << true;
    }
    void fileThatIsNotAFile() {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        QFETCH(bool, asked);
        AppFixture app;
        QVERIFY2(app.StartSim({"--home-ms", "100"}), qPrintable(app.Failure()));
        const QString kept = app.KeptCopyPath();
        QVERIFY(QDir().mkpath(app.Folder() + "Cal"));
        QTemporaryDir delivery;
        QString chosen = delivery.filePath("20180315_F123_ABCD12345678.csv");
        if (kind == "fifo") QCOMPARE(::mkfifo(QFile::encodeName(kept).constData(), 0600), 0);
        if (kind == "device") QVERIFY(QFile::link("/dev/zero", kept));
        if (kind == "broken") QVERIFY(QFile::link(app.Folder() + "nowhere", kept));
        if (kind == "folder") {
            QVERIFY(QDir().mkpath(kept));
            QVERIFY(QFile::copy(app.SamplePath(), kept + "/mine.csv"));
        }
        if (kind == "picked fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(chosen).constData(), 0600), 0);
        else
            QVERIFY(QFile::copy(app.SamplePath(), chosen));
        TForm_Main* form = app.CreateForm();
        bool dialogShown = false;
        form->SetCalDataDialog([&](const QString&, const QString&) {
            dialogShown = true;
            return chosen;
        });
        QVERIFY2(app.WaitForShown(message), qPrintable(app.Shown().join(" | ")));
        QTRY_VERIFY_WITH_TIMEOUT(app.Commands().contains("BKEN 0"), 10000);
        QCOMPARE(dialogShown, asked);
        QVERIFY(!form->CalDataLoaded);
        if (kind == "folder") {
            QVERIFY(QFileInfo(kept).isDir());
            QVERIFY(QFile::exists(kept + "/mine.csv"));
        } else {
            // Removed (a link, not what it points to), so the next session asks for the file.
            QVERIFY(!QFileInfo(kept).exists() && !QFileInfo(kept).isSymLink());
        }
        if (kind == "device") QVERIFY(QFileInfo("/dev/zero").exists());
    }
};

QTEST_MAIN(TestSession)
#include "tst_session.moc"
