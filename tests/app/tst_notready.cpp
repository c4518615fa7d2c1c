// A session that found its instrument but not its calibration table: Go says which read failed
// and moves nothing, Reset reads again (asking for the file), and the session then works as
// one that started well. Also Go with no instrument at all, and the dialog's first folder.
#include "app/Unit_FormMain.h"
#include "control/Unit_FormControlScan.h"
#include "control/Unit_FormControlSet.h"
#include "core/Unit_Colors.h"
#include "support/AppFixture.h"
#include "ui/Unit_FormControlHelp.h"
#include "ui/Unit_SkinEdit.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <stdexcept>

namespace {

const QString kNoFile = QStringLiteral("ERRDV10 : No calibration data file.");
const QString kBadSerial =
    QStringLiteral("ERRDV12 : Calibration data file might be problem. (Serial)");
const QStringList kReads = {"INFO 0", "INFO 1", "INFO 2", "POS 3", "BKEN 0"};

// Every message-bar line with its colour.
struct Lines {
    QList<QPair<QString, unsigned>> Shown;
    void Watch(TForm_Main* form) {
        QObject::connect(form, &TForm_Main::StatusMessageShown,
                         [this](const QString& text, unsigned color) {
                             Shown.append({text, color});
                         });
    }
    unsigned ColorOf(const QString& text) const {
        for (const auto& [shown, color] : Shown)
            if (shown == text) return color;
        return 0xFFFFFFFF;
    }
};

// A remote client on this thread: the program's server runs while the client waits.
class Client {
public:
    bool Connect(quint16 port) {
        Socket.connectToHost(QHostAddress::LocalHost, port);
        QDeadlineTimer deadline(5000);
        while (Socket.state() != QAbstractSocket::ConnectedState && !deadline.hasExpired())
            QTest::qWait(10);
        return Socket.state() == QAbstractSocket::ConnectedState;
    }
    QByteArray Ask(const QByteArray& request) {
        Socket.write(request + '\r');
        QDeadlineTimer deadline(30000);
        while (!Rx.contains('\r') && !deadline.hasExpired()) {
            QTest::qWait(10);
            Rx += Socket.readAll();
        }
        const qsizetype cr = Rx.indexOf('\r');
        if (cr < 0) return "<none>";
        const QByteArray line = Rx.left(cr);
        Rx.remove(0, cr + 1);
        return line;
    }
    QTcpSocket Socket;
    QByteArray Rx;
};

// The commands the simulator received after the first `from`.
QStringList CommandsSince(AppFixture& app, qsizetype from) {
    return app.Commands().mid(from);
}

} // namespace

class TestNotReady : public QObject {
    Q_OBJECT
private slots:
    // The first hour of a user who cancelled the dialog: Go names the missing file and sends no
    // GO; Reset asks again, reads the picked file and homes; then Go moves.
    void resetAsksAgainAndTheSessionWorks() {
        AppFixture app;
        QVERIFY2(app.StartSim({"--home-ms", "100"}), qPrintable(app.Failure()));
        QTemporaryDir delivery;
        const QString delivered = delivery.filePath("20180315_F123_ABCD12345678.csv");
        QVERIFY(QFile::copy(app.SamplePath(), delivered));
        TForm_Main* form = app.CreateForm();
        QString answer; // the dialog is cancelled until the user has found the file
        int asked = 0;
        form->SetCalDataDialog([&](const QString&, const QString&) {
            ++asked;
            return answer;
        });
        QVERIFY(app.WaitForShown(kNoFile));
        QTRY_VERIFY_WITH_TIMEOUT(app.Commands().contains("BKEN 0") && !form->DeviceBusy, 10000);
        QCOMPARE(asked, 1);

        TForm_ControlSet* set = form->FormControlSet;
        set->FillSetFields(0, "500.0", "10");
        qsizetype before = app.Commands().size();
        set->Image_Button4Click();
        QCOMPARE(app.Message(), kNoFile);
        QCOMPARE(app.MessageColor(), Colors::clMsgRed);
        QVERIFY(!form->DeviceBusy);

        // Go only checked the line; Reset checks it too, then reads everything again.
        answer = delivered;
        set->Image_Button3Click();
        QCOMPARE(asked, 2);
        QVERIFY2(app.WaitForMessage("Device ready."), qPrintable(app.Message()));
        QVERIFY(app.Sim().WaitForExchanges(int(before) + 8, 5000));
        QCOMPARE(CommandsSince(app, before),
                 QStringList({"POS 3", "POS 3"}) + kReads + QStringList{"HOME 3"});
        QVERIFY(form->CalDataLoaded && !form->DeviceBusy);
        QVERIFY(QFile::exists(app.KeptCopyPath()));

        set->FillSetFields(0, "500.0", "10");
        before = app.Commands().size();
        set->Image_Button4Click();
        QVERIFY(app.WaitForMessage("Successfully changed wavelength and FWHM."));
        QVERIFY(app.Sim().WaitForExchanges(int(before) + 2, 5000));
        QCOMPARE(CommandsSince(app, before),
                 (QStringList{"POS 3", "GO 3 " + app.SamplePositions(500.0, 10.0)}));
    }

    // A copy that fails its checks again: the same message, the copy deleted again, and the next
    // Reset asks for the file. Reset on the Scan tab does the same as on the Set tab.
    void aCopyThatFailsAgain() {
        AppFixture app;
        QVERIFY2(app.StartSim({"--home-ms", "100"}), qPrintable(app.Failure()));
        // A kept copy whose serial line names another instrument.
        QDir().mkpath(app.Folder() + "Cal");
        QFile sample(app.SamplePath());
        QVERIFY(sample.open(QIODevice::ReadOnly));
        const QByteArray wrong = sample.readAll().replace("ABCD12345678", "ABCD99999999");
        auto placeWrongCopy = [&]() {
            QFile kept(app.KeptCopyPath());
            return kept.open(QIODevice::WriteOnly) && kept.write(wrong) == wrong.size();
        };
        QVERIFY(placeWrongCopy());
        TForm_Main* form = app.CreateForm();
        int asked = 0;
        form->SetCalDataDialog([&](const QString&, const QString&) {
            ++asked;
            return QString();
        });
        QVERIFY(app.WaitForShown(kBadSerial));
        QTRY_VERIFY_WITH_TIMEOUT(app.Commands().contains("BKEN 0") && !form->DeviceBusy, 10000);
        QVERIFY(!QFile::exists(app.KeptCopyPath()));

        TForm_ControlScan* scan = form->FormControlScan;
        QVERIFY(placeWrongCopy());
        scan->Image_Button3Click();
        QCOMPARE(app.Message(), kBadSerial);
        QCOMPARE(app.MessageColor(), Colors::clMsgRed);
        QCOMPARE(asked, 0);
        QVERIFY(!QFile::exists(app.KeptCopyPath()));
        QVERIFY(!form->DeviceBusy);

        scan->Image_Button3Click();
        QCOMPARE(asked, 1);
        QCOMPARE(app.Message(), kNoFile);
        QVERIFY(!app.Commands().contains("HOME 3"));
        QVERIFY(!form->DeviceBusy);
    }

    // The same over the remote control: every request that would move names the failed read;
    // RESET reads again without opening a dialog nobody at the screen may answer. The Help tab
    // names the client in control.
    void remoteRequestsWhileNotReady() {
        AppFixture app;
        QVERIFY2(app.StartSim({"--home-ms", "100"}), qPrintable(app.Failure()));
        TForm_Main* form = app.CreateForm();
        int asked = 0;
        form->SetCalDataDialog([&](const QString&, const QString&) {
            ++asked;
            return QString();
        });
        QVERIFY(app.WaitForShown(kNoFile));
        QTRY_VERIFY_WITH_TIMEOUT(app.Commands().contains("BKEN 0") && !form->DeviceBusy, 10000);
        QLabel* line = form->FormControlHelp->Label_RemoteLine;
        const QString where =
            QStringLiteral("Remote control: port %1 on all addresses").arg(app.RemotePort());
        QCOMPARE(line->text(), where);
        Client remote;
        QVERIFY(remote.Connect(app.RemotePort()));
        QTRY_COMPARE(line->text(), where + QStringLiteral(" — controlled by 127.0.0.1"));

        const qsizetype before = app.Commands().size();
        for (const QByteArray& request :
             {QByteArray("SETC,500.0,10.0"), QByteArray("SETR,495.0,505.0"),
              QByteArray("SCAN,500.0,510.0,10.0,1.0,0.5")}) {
            const QByteArray word = request.left(4);
            QCOMPARE(remote.Ask(request), word + " FAIL");
            QCOMPARE(remote.Ask("ECODE"), QByteArray("ERRDV10"));
            QCOMPARE(remote.Ask("ETEXT"), QByteArray("No calibration data file."));
        }
        QVERIFY(!CommandsSince(app, before).join(' ').contains("GO"));
        QVERIFY(!form->FormControlScan->Running());

        QCOMPARE(remote.Ask("RESET"), QByteArray("RESET FAIL"));
        QCOMPARE(remote.Ask("ECODE"), QByteArray("ERRDV10"));
        QCOMPARE(asked, 1);

        // Someone put the copy in place: RESET reads it and the session is ready.
        QVERIFY(app.PlaceKeptCopy());
        QCOMPARE(remote.Ask("RESET"), QByteArray("RESET OK"));
        QVERIFY(app.Shown().contains("Device ready."));
        QCOMPARE(remote.Ask("SETC,500.0,10.0"), QByteArray("SETC OK"));
        QCOMPARE(asked, 1);
        remote.Socket.disconnectFromHost();
        QTRY_COMPARE(line->text(), where);
    }

    // Reset after the instrument stopped answering: its line check finds out, as for any
    // operation, and nothing is read again.
    void resetAfterTheInstrumentWent() {
        AppFixture app;
        QVERIFY2(app.StartSim({"--silent-after", "1"}), qPrintable(app.Failure()));
        QVERIFY(app.PlaceKeptCopy());
        TForm_Main* form = app.CreateForm();
        int asked = 0;
        form->SetCalDataDialog([&](const QString&, const QString&) {
            ++asked;
            return QString();
        });
        QVERIFY(app.WaitForShown("ERRDV06 : Device might be problem."));
        QTRY_VERIFY_WITH_TIMEOUT(!form->DeviceBusy, 10000);
        QVERIFY(form->DeviceOpened);
        form->FormControlScan->Image_Button3Click();
        QVERIFY(app.WaitForShown("ERRDV02 : Communication error. Connection lost."));
        QVERIFY(!form->DeviceOpened && !form->DeviceBusy);
        QCOMPARE(asked, 0);
        QVERIFY(!app.Shown().contains("Reading device infomation...") ||
                app.Shown().lastIndexOf("Reading device infomation...") <
                    app.Shown().indexOf("ERRDV06 : Device might be problem."));
    }

    // A file dialog that throws fails the import before its checks: the session's start goes
    // on, not ready, and Go names that failure.
    void throwingDialogFailsTheImport() {
        AppFixture app;
        QVERIFY2(app.StartSim({"--home-ms", "100"}), qPrintable(app.Failure()));
        TForm_Main* form = app.CreateForm();
        form->SetCalDataDialog(
            [](const QString&, const QString&) -> QString { throw std::runtime_error("dialog"); });
        const QString beforeChecks =
            QStringLiteral("ERRDV20 : Calibration data file might be problem.");
        QVERIFY(app.WaitForShown(beforeChecks));
        QTRY_VERIFY_WITH_TIMEOUT(app.Commands().contains("BKEN 0") && !form->DeviceBusy, 10000);
        QVERIFY(form->DeviceOpened && form->DeviceInfoLoaded && !form->CalDataLoaded);
        form->FormControlSet->FillSetFields(0, "500.0", "10");
        form->FormControlSet->Image_Button4Click();
        QCOMPARE(app.Message(), beforeChecks);
        QVERIFY(!app.Commands().join(' ').contains("GO"));
    }

    // The program closing while Reset reads again ends the reads as it ends the session's
    // start: nothing more is sent, the session is closed and nothing holds the device.
    void closeDuringTheReread() {
        AppFixture app;
        QVERIFY2(app.StartSim({"--home-ms", "100"}), qPrintable(app.Failure()));
        TForm_Main* form = app.CreateForm();
        bool closeNow = false;
        form->SetCalDataDialog([&](const QString&, const QString&) {
            if (closeNow) form->FormClose();
            return QString();
        });
        QVERIFY(app.WaitForShown(kNoFile));
        QTRY_VERIFY_WITH_TIMEOUT(app.Commands().contains("BKEN 0") && !form->DeviceBusy, 10000);
        closeNow = true;
        const qsizetype before = app.Commands().size();
        form->FormControlSet->Image_Button3Click();
        QVERIFY(form->CloseRequested);
        QVERIFY(!form->DeviceOpened && !form->DeviceBusy);
        QVERIFY(app.Sim().WaitForExchanges(int(before) + 5, 5000));
        QCOMPARE(CommandsSince(app, before),
                 (QStringList{"POS 3", "INFO 0", "INFO 1", "INFO 2", "POS 3"}));
        QVERIFY(!app.Shown().contains("Device ready."));
    }

    // Go with no instrument says so in red on the Scan tab too (the Set tab's own test checks
    // it there).
    void scanGoWithoutInstrument() {
        AppFixture app;
        TForm_Main* form = app.CreateForm();
        form->Timer_AutoOpen->stop();
        Lines lines;
        lines.Watch(form);
        form->FormControlScan->Image_Button4Click();
        QCOMPARE(lines.Shown.size(), 1);
        QCOMPARE(lines.ColorOf(QStringLiteral("Device not ready. Please connect QVL Rari.")),
                 Colors::clMsgRed);
    }

    void dialogFolder() {
        QTemporaryDir withCsv, without;
        QFile file(withCsv.filePath("20180315_F123_ABCD12345678.csv"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(QDir().mkpath(without.filePath("sub.csv"))); // a folder is not a file
        const QString exe = QStringLiteral("/opt/lab/");
        QCOMPARE(TForm_Main::CalDataDialogFolder(withCsv.path(), exe), QStringLiteral("."));
        QCOMPARE(TForm_Main::CalDataDialogFolder(without.path(), exe), exe);
    }
};

QTEST_MAIN(TestNotReady)
#include "tst_notready.moc"
