// The driver over a real pseudo-terminal, against the instrument simulator: every exchange goes
// through the serial port layer, Qt's serial port and the kernel's terminal line.
#include "LogLines.h"
#include "RunCommand.h"
#include "support/SimProcess.h"

#include "core/Unit_EventPump.h"
#include "device/Unit_devicevuzaravarede.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <ctime>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Generous allowance over a time-out, only to catch a wait that hangs.
constexpr int HangMarginMs = 2000;
constexpr int HomeWaitMs = 15000;

qint64 ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int CountOf(const QStringList& lines, const QString& text) {
    return int(lines.count(text));
}

// A temporary program folder with the simulator published as ports/COM3 and a driver logging
// into Log/.
struct LineRig {
    QTemporaryDir dir;
    SimProcess sim;
    TDevice_VuzaRavarede dev;

    QString Ports() const { return dir.filePath(QStringLiteral("ports/")); }

    bool Start(const QStringList& simArgs) {
        return QDir().mkpath(Ports()) && sim.Start(Ports() + QStringLiteral("COM3"), simArgs);
    }
    bool Open() {
        dev.SetPortsFolder(Ports());
        if (!dev.LogEnabled && !dev.StartLog(dir.filePath(QStringLiteral("Log/")))) return false;
        return dev.Open(QStringLiteral("COM3"), QStringLiteral("38400"));
    }
    QStringList Log() const {
        return ReadLogTexts(dev.LogFolder + QStringLiteral("Log ") + dev.LogStamp +
                            QStringLiteral(".ini"));
    }
};

} // namespace

class TestDeviceLine : public QObject {
    Q_OBJECT
private slots:
    void exchange_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<QString>("op");
        QTest::addColumn<QList<int>>("args");
        QTest::addColumn<int>("timeOut");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("timesOut");  // the wait ran into its time-out
        QTest::addColumn<QString>("result"); // the command's last log line; empty: none
        QTest::addColumn<int>("shifts");
        QTest::addColumn<QString>("exchange"); // the simulator's line; empty: not checked

        const QList<int> none;
        QTest::newRow("identification") << QStringList{} << "DEVICE" << none << 1000 << true
                                        << false << "Command <DEVICE> Success : Kravo FM Ver1.0"
                                        << 0 << R"(exchange "?" -> "Kravo FM Ver1.0\r")";
        QTest::newRow("home") << QStringList{"--home-ms", "300"} << "HOME" << none << 1000 << true
                              << false << "Command <HOME> Success : All" << 0
                              << R"(exchange "HOME 3" -> "G\r")";
        QTest::newRow("positions") << QStringList{"--start-pos", "10,20,30"} << "POS" << none
                                   << 1000 << true << false << "Command <POS> Success : 10/20/30"
                                   << 0 << R"(exchange "POS 3" -> "POS 3 10 20 30\r")";
        QTest::newRow("move") << QStringList{} << "GO" << QList<int>{1200, 340, 2150} << 1000
                              << true << false << "Command <GO> Success : 1200/340/2150" << 0
                              << R"(exchange "GO 3 1200 340 2150" -> "GO 3 1200 340 2150\r")";
        QTest::newRow("information") << QStringList{} << "INFO" << QList<int>{2} << 1000 << true
                                     << false << "Command <INFO> Success : Read INFO3=400.0-800.0"
                                     << 0 << R"(exchange "INFO 2" -> "INFO 2 400.0-800.0\r")";
        QTest::newRow("bken") << QStringList{} << "BKEN" << QList<int>{0} << 1000 << true << false
                              << "Command <BKEN> Success : OFF" << 0
                              << R"(exchange "BKEN 0" -> "BKEN 0\r")";
        QTest::newRow("stray bytes")
            << QStringList{"--noise", "xy"} << "DEVICE" << none << 1000 << true << false
            << "Command <DEVICE> Success : Kravo FM Ver1.0" << 2 << "";
        QTest::newRow("lone CR") << QStringList{"--lone-cr"} << "POS" << none << 1000 << true
                                 << false << "Command <POS> Success : 0/0/0" << 1 << "";
        QTest::newRow("CR LF") << QStringList{"--crlf"} << "POS" << none << 500 << false << true
                               << "Command <POS> Fail" << 0
                               << R"(exchange "POS 3" -> "POS 3 0 0 0\r\n")";
        QTest::newRow("short id") << QStringList{"--id", "Kravo FM Ver1"} << "DEVICE" << none
                                  << 3000 << false << false << "Command <DEVICE> Fail" << 0 << "";
        QTest::newRow("silence") << QStringList{"--silent"} << "POS" << none << 500 << false << true
                                 << "Command <POS> Fail" << 0 << R"(exchange "POS 3" -> (silent))";
        QTest::newRow("slow answer within time-out")
            << QStringList{"--delay", "300"} << "POS" << none << 1000 << true << false
            << "Command <POS> Success : 0/0/0" << 0 << "";
        QTest::newRow("OK to HOME")
            << QStringList{"--home-ms", "0", "--home-answer", "OK"} << "HOME" << none << 1000
            << false << true << "Command <HOME> Fail" << 2 << R"(exchange "HOME 3" -> "OK\r")";
        QTest::newRow("malformed POS") << QStringList{"--pos-answer", "POS 3 10 -1 30"} << "POS"
                                       << none << 1000 << false << false << "" << 0 << "";
        QTest::newRow("malformed GO")
            << QStringList{"--go-answer", "GO 2 1 2 3"} << "GO" << QList<int>{1, 2, 3} << 1000
            << false << false << "" << 0 << "";
        QTest::newRow("malformed INFO")
            << QStringList{"--info-answer", "1=INFO 1 two words"} << "INFO" << QList<int>{1} << 1000
            << true << false << "Command <INFO> Success : Read INFO2=" << 0 << "";
        QTest::newRow("BKEN inverted")
            << QStringList{"--bken-invert"} << "BKEN" << QList<int>{0} << 1000 << true << false
            << "Command <BKEN> Success : ON" << 0 << R"(exchange "BKEN 0" -> "BKEN 1\r")";
    }
    void exchange() {
        QFETCH(QStringList, simArgs);
        QFETCH(QString, op);
        QFETCH(QList<int>, args);
        QFETCH(int, timeOut);
        QFETCH(bool, ok);
        QFETCH(bool, timesOut);
        QFETCH(QString, result);
        QFETCH(int, shifts);
        QFETCH(QString, exchange);
        LineRig rig;
        QVERIFY2(rig.Start(simArgs), qPrintable(rig.sim.Failure()));
        QVERIFY(rig.Open());
        rig.dev.SetTimeOut(timeOut);
        const int waitMs = op == "HOME" ? HomeWaitMs : timeOut;
        const qsizetype logged = rig.Log().size();

        QElapsedTimer clock;
        clock.start();
        const bool done = RunCommand(rig.dev, op, args);
        const qint64 elapsed = clock.elapsed();
        QCOMPARE(done, ok);

        const QStringList log = rig.Log().mid(logged);
        if (result.isEmpty()) {
            for (const QString& line : log)
                QVERIFY2(!line.startsWith("Command <"), qPrintable(line));
        } else {
            QCOMPARE(log.last(), result);
        }
        QCOMPARE(CountOf(log, "Shift Buffer Success"), shifts);
        if (timesOut) {
            QVERIFY(elapsed >= waitMs);
            QVERIFY2(elapsed < waitMs + HangMarginMs, "the wait overran its time-out");
        } else {
            QVERIFY2(elapsed < waitMs, "the wait ran into its time-out");
        }
        if (!exchange.isEmpty()) {
            QVERIFY(rig.sim.WaitForExchanges(1, 2000));
            QCOMPARE(rig.sim.Exchanges().first(), exchange);
        }
        QVERIFY(rig.sim.Stop());
    }

    // Unsolicited bytes between two exchanges are cleared away before the next command.
    void chatter_between_exchanges() {
        LineRig rig;
        QVERIFY2(rig.Start({"--chatter", "zz\\r", "--chatter-ms", "1000"}),
                 qPrintable(rig.sim.Failure()));
        QVERIFY(rig.Open());
        QVERIFY(rig.dev.CommandPos());
        const qsizetype answered = rig.Log().size();
        QVERIFY(rig.sim.WaitForLine("# chatter", 5000));
        // All of it reached the driver, in one notification or in several.
        const auto received = [&rig, answered]() {
            QString hex;
            for (const QString& entry : rig.Log().mid(answered))
                if (entry.startsWith("OnRxChar")) hex += entry.section(u'#', 1, 1);
            return hex;
        };
        QTRY_VERIFY_WITH_TIMEOUT(received().startsWith("{7A}{7A}{0D}"), 5000);
        const qsizetype logged = rig.Log().size();
        QVERIFY(rig.dev.CommandPos());
        QCOMPARE(rig.dev.ResponseText, QStringLiteral("POS 3 0 0 0"));
        const QStringList log = rig.Log();
        QCOMPARE(log.mid(logged).first(), QStringLiteral("Clear Buffer Success"));
        QCOMPARE(CountOf(log.mid(logged), "Shift Buffer Success"), 0);
    }

    // The far end goes away while a command waits: the wait ends at its next test, the line
    // error is reported once, and the dead line costs no processor time.
    void hangup_during_wait_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<bool>("byControl");
        QTest::newRow("hang-up while silent") << QStringList{"--silent"} << true;
        QTest::newRow("hang-up on the second command")
            << QStringList{"--hangup-after", "1"} << false;
    }
    void hangup_during_wait() {
        QFETCH(QStringList, simArgs);
        QFETCH(bool, byControl);
        LineRig rig;
        QVERIFY2(rig.Start(simArgs), qPrintable(rig.sim.Failure()));
        QVERIFY(rig.Open());
        if (!byControl) QVERIFY(rig.dev.CommandDevice());
        const int timeOut = 5000;
        rig.dev.SetTimeOut(timeOut);
        if (byControl)
            QTimer::singleShot(300, &rig.dev, [&] { QVERIFY(rig.sim.SendControl("hangup")); });
        const qsizetype logged = rig.Log().size();

        QElapsedTimer clock;
        clock.start();
        QVERIFY(!rig.dev.CommandPos());
        QVERIFY2(clock.elapsed() < timeOut, "the wait did not notice the lost line");
        QVERIFY(rig.sim.WaitForExit(3000));

        QVERIFY(rig.dev.Opened);
        QVERIFY(rig.dev.Port);
        QVERIFY(!rig.dev.Port->isConnected());
        QVERIFY(!rig.dev.IsReady());

        const qint64 cpuBefore = ProcessCpuMs();
        EventPump::SleepAndPump(1000);
        const qint64 cpuUsed = ProcessCpuMs() - cpuBefore;
        QVERIFY2(cpuUsed < 300, qPrintable(QStringLiteral("%1 ms of CPU while idle").arg(cpuUsed)));

        const QStringList log = rig.Log().mid(logged);
        QCOMPARE(CountOf(log, "OnError"), 1);
        QCOMPARE(CountOf(log, "+ IO Error"), 1);
        QCOMPARE(log.indexOf("+ IO Error"), log.indexOf("OnError") + 1);
        QVERIFY(log.contains("Command <POS> Fail"));

        // Commands now fail at once without touching the line; closing still works.
        QVERIFY(!rig.dev.CommandDevice());
        rig.dev.Close();
        QCOMPARE(rig.Log().last(), QStringLiteral("Close"));
    }

    void port_held_by_another_program() {
        LineRig rig;
        QVERIFY2(rig.Start({}), qPrintable(rig.sim.Failure()));
        QVERIFY(ProbePort("COM3", rig.Ports()));

        QSerialPort holder;
        holder.setPortName(rig.Ports() + "COM3");
        QVERIFY(holder.open(QIODevice::ReadWrite));
        QVERIFY(!ProbePort("COM3", rig.Ports()));
        const QString busy = QStringLiteral("busy (another program has it open)");
        QCOMPARE(ProbePortDetailed("COM3", rig.Ports()).Reason, busy);
        QVERIFY(!rig.Open());
        QCOMPARE(rig.dev.OpenFailure(), busy);
        QVERIFY(!rig.dev.Opened);
        QVERIFY(!rig.dev.Port);
        QCOMPARE(rig.Log(), (QStringList{"Close", "Open Fail"}));

        holder.close();
        QVERIFY(rig.Open());
        QVERIFY(rig.dev.CommandDevice());
    }

    // A user without the right to the device is told so, and what would give it to them. Made
    // with the device's permissions, seen by the probe run as another user (root may open
    // anything), or, without the right to change users, with no permission at all.
    void permission_denied_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("reason");
        if (::geteuid() == 0) {
            QTest::newRow("group may use it")
                << 0660 << "permission denied — the user must be in group dialout";
            QTest::newRow("only its owner may use it")
                << 0600 << "permission denied — only root may open it";
        } else {
            QTest::newRow("nobody may use it") << 0 << "permission denied";
        }
    }
    void permission_denied() {
        QFETCH(int, mode);
        QFETCH(QString, reason);
        const bool root = ::geteuid() == 0;
        if (root && QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("setpriv is needed to probe as another user");
        if (root && ::getgrnam("dialout") == nullptr) QSKIP("no group dialout here");
        LineRig rig;
        QVERIFY2(rig.Start({}), qPrintable(rig.sim.Failure()));
        // The other user must reach the link.
        QVERIFY(QFile::setPermissions(rig.dir.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                          QFile::ExeOwner | QFile::ReadOther |
                                                          QFile::ExeOther));
        const QByteArray device = QFile::encodeName(rig.sim.DevicePath());
        if (root) QCOMPARE(::chown(device.constData(), 0, ::getgrnam("dialout")->gr_gid), 0);
        QCOMPARE(::chmod(device.constData(), mode_t(mode)), 0);
        QString said;
        if (root) {
            QProcess probe;
            probe.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                    VR_PROBE_PORT, "COM3", rig.Ports()});
            QVERIFY(probe.waitForFinished(10000));
            QCOMPARE(probe.exitCode(), 0);
            said = QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
        } else {
            said = ProbePortDetailed("COM3", rig.Ports()).Reason;
        }
        QCOMPARE(said, reason);
        // The user the tests run as still may.
        if (root) QCOMPARE(ProbePortDetailed("COM3", rig.Ports()).Reason, QString());
    }

    void missing_port() {
        LineRig rig;
        QVERIFY(QDir().mkpath(rig.Ports()));
        QVERIFY(QFile::link(rig.dir.filePath("gone"), rig.Ports() + "COM3"));
        QVERIFY(!rig.Open());
        // A link that points nowhere keeps the name off the system's devices: no reason.
        QCOMPARE(rig.dev.OpenFailure(), QString());
        QCOMPARE(rig.Log(), (QStringList{"Close", "Open Fail"}));
    }
};

QTEST_GUILESS_MAIN(TestDeviceLine)
#include "tst_device_line.moc"
