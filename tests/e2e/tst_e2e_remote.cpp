// The built program as a process, unchanged, driven over TCP by the vr-remote client against
// the simulated instrument.
#include "support/SimProcess.h"
#include "support/VrRemoteRun.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <pty.h>
#include <unistd.h>

#include <chrono>

namespace {

quint16 FreePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
}

QStringList Commands(SimProcess& sim) {
    QStringList commands;
    for (const QString& line : sim.Exchanges())
        commands.append(line.section(u'"', 1, 1));
    return commands;
}

// The three positions the sample file holds for CWL 500.0 at FWHM 10 ("p1 p2 p3"): the line
// ",,1,2,..." names the FWHM columns, each later line is number, CWL, grid points.
QString SamplePositions500At10() {
    QFile file(QStringLiteral(VR_SOURCE_DIR "/samples/20180315_F123_ABCD12345678.csv"));
    if (!file.open(QIODevice::ReadOnly)) return QString();
    const QList<QByteArray> lines = file.readAll().split('\n');
    qsizetype column = -1;
    for (const QByteArray& raw : lines) {
        const QList<QByteArray> fields = raw.trimmed().split(',');
        if (column < 0 && fields.size() > 2 && fields[0].isEmpty() && fields[1].isEmpty()) {
            for (qsizetype i = 2; i < fields.size(); ++i)
                if (fields[i].trimmed().toDouble() == 10.0) column = i;
        } else if (column > 0 && fields.size() > column && fields[1].toDouble() == 500.0) {
            return QString::fromLatin1(fields[column].trimmed()).replace(u':', u' ');
        }
    }
    return QString();
}

// The clock the simulator stamps received commands with, in milliseconds.
double MonotonicMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// When the simulator received the last command beginning with `prefix` (0 when none came).
double LastReceived(SimProcess& sim, const QString& prefix) {
    double at = 0;
    const QRegularExpression received(QStringLiteral("^received \"(.*)\" at ([0-9.]+)$"));
    for (const QString& line : sim.Lines()) {
        const QRegularExpressionMatch m = received.match(line);
        if (m.hasMatch() && m.captured(1).startsWith(prefix)) at = m.captured(2).toDouble();
    }
    return at;
}

// The program copied into a folder of its own, which is then its program folder; every port
// name but the simulator's points nowhere, so the machine's serial devices are left alone.
class Program {
public:
    Program(const QString& folder, quint16 port) : Folder(folder) {
        QFile::copy(QStringLiteral(VR_BIN_DIR "/VuzaRavarede"), Folder + "VuzaRavarede");
        QFile settings(Folder + "VuzaRavarede.ini");
        if (settings.open(QIODevice::WriteOnly))
            settings.write(QStringLiteral("[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM3\n"
                                          "[Remote]\nPortNum=%1\n")
                               .arg(port)
                               .toLatin1());
        QDir().mkpath(Folder + "Cal");
        QFile::copy(QStringLiteral(VR_SOURCE_DIR "/samples/20180315_F123_ABCD12345678.csv"),
                    Folder + "Cal/F123_ABCD12345678.csv");
        QDir().mkpath(Folder + "ports");
        for (int n = 1; n <= 64; ++n)
            if (n != 3)
                QFile::link(Folder + "nowhere", Folder + QStringLiteral("ports/COM%1").arg(n));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        Process.setProcessEnvironment(env);
        Process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    ~Program() {
        if (Process.state() != QProcess::NotRunning) {
            Process.kill();
            Process.waitForFinished(5000);
        }
    }
    bool Start(const QStringList& args = {}) {
        Process.start(Folder + "VuzaRavarede", args);
        return Process.waitForStarted(10000);
    }
    bool Terminate() {
        Process.terminate();
        return Process.waitForFinished(20000) && Process.exitCode() == 0;
    }
    QString Folder;
    QProcess Process;
};

// The local address of the socket listening on `port`, as /proc/net shows it ("" when none).
QString ListeningAddress(quint16 port) {
    const QString portHex = QStringLiteral("%1").arg(port, 4, 16, QLatin1Char('0')).toUpper();
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly)) continue;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 3 && fields[3] == "0A" &&
                fields[1].endsWith(":" + portHex.toLatin1()))
                return QString::fromLatin1(fields[1].left(fields[1].indexOf(':')));
        }
    }
    return QString();
}

} // namespace

class TestEndToEndRemote : public QObject {
    Q_OBJECT
private slots:
    void drivenByVrRemote() {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const quint16 port = FreePort();
        Program program(folder, port);
        SimProcess sim;
        QVERIFY2(sim.Start(folder + "ports/COM3", {"--home-ms", "500", "--report-received"}),
                 qPrintable(sim.Failure()));
        QVERIFY(program.Start());
        // The server answers from the start, the instrument after the open sequence.
        QTRY_COMPARE_WITH_TIMEOUT(RunVrRemote(port, {"VER"}).Out, QStringLiteral("QVL Rari v2.1\n"),
                                  30000);
        QVERIFY(sim.WaitForExchanges(7, 30000));
        QCOMPARE(Commands(sim).last(), QStringLiteral("HOME 3"));
        // Right after the home the session may still hold the device for a moment: a refusal
        // says so, and the request is given again.
        VrRemoteRun set;
        QDeadlineTimer deadline(10000);
        do {
            set = RunVrRemote(port, {"SETC,500.0,10.0"});
        } while (set.Err.contains("Device busy.") && !deadline.hasExpired());
        QCOMPARE(set.Status, 0);
        QCOMPARE(set.Out, QStringLiteral("SETC OK\n"));
        QVERIFY(sim.WaitForExchanges(9, 5000));
        QCOMPARE(Commands(sim).mid(7), (QStringList{"POS 3", "GO 3 " + SamplePositions500At10()}));

        const VrRemoteRun refused = RunVrRemote(port, {"VER", "SETC,300,10", "VER"});
        QCOMPARE(refused.Status, 1);
        QCOMPARE(refused.Out, QStringLiteral("QVL Rari v2.1\nSETC FAIL\n"));
        QCOMPARE(refused.Err,
                 QStringLiteral("ERRSE03 : Out of range. Please set [CWL] \u2265 400.0\n"));

        const VrRemoteRun queries = RunVrRemote(port, {"STATE", "ECLEAR", "", "ECODE", "STOP"});
        QCOMPARE(queries.Status, 1);
        QCOMPARE(queries.Out, QStringLiteral("IDLE\nOK\n\n\nSTOP FAIL\n"));
        QCOMPARE(queries.Err, QStringLiteral("NONE : No Scan.\n"));

        // A scan followed to its end report.
        const VrRemoteRun scan = RunVrRemote(port, {"--wait", "SCAN,500,510,10,2,0.1", "STATE"});
        QCOMPARE(scan.Out, QStringLiteral("SCAN OK\nSCAN SUCCESS\nIDLE\n"));
        QCOMPARE(scan.Err, QString()); // no progress drawn into a pipe
        QCOMPARE(scan.Status, 0);

        // On a terminal --wait draws the scan's progress on stderr and clears it before the
        // end report; stdout stays as it is.
        {
            int terminal = -1;
            int side = -1;
            QVERIFY(::openpty(&terminal, &side, nullptr, nullptr, nullptr) == 0);
            QProcess drawing;
            drawing.setChildProcessModifier([side]() { ::dup2(side, STDERR_FILENO); });
            drawing.start(QStringLiteral(VR_BIN_DIR "/vr-remote"),
                          {"--port", QString::number(port), "--wait", "SCAN,500,510,10,2,0.5"});
            QVERIFY(drawing.waitForFinished(60000));
            ::close(side);
            QByteArray drawn;
            char bytes[4096];
            for (ssize_t n; (n = ::read(terminal, bytes, sizeof bytes)) > 0;)
                drawn.append(bytes, n);
            ::close(terminal);
            QCOMPARE(drawing.readAllStandardOutput(), QByteArray("SCAN OK\nSCAN SUCCESS\n"));
            QCOMPARE(drawing.exitCode(), 0);
            QVERIFY2(drawn.contains("] ") && drawn.contains("/6 ") && drawn.contains(" left\x1b[K"),
                     drawn.constData());
            QVERIFY2(drawn.endsWith("\r\x1b[K"), drawn.constData());
        }

        // The client is killed in the middle of a long scan: the scan is stopped.
        QProcess waiting;
        waiting.start(QStringLiteral(VR_BIN_DIR "/vr-remote"),
                      {"--port", QString::number(port), "--wait", "SCAN,500,795,10,0.5,1"});
        QVERIFY(waiting.waitForReadyRead(10000));
        QCOMPARE(waiting.readAllStandardOutput(), QByteArray("SCAN OK\n"));
        QCOMPARE(RunVrRemote(port, {"VER"}).Status, 2); // the second client is closed
        const double killedAt = MonotonicMs();
        waiting.kill();
        waiting.waitForFinished();
        QTRY_COMPARE_WITH_TIMEOUT(RunVrRemote(port, {"STATE"}).Out, QStringLiteral("IDLE\n"),
                                  15000);
        // No step after the stop: the last GO reaches the instrument within 3 s of the kill.
        const double lastGo = LastReceived(sim, "GO ");
        QVERIFY(lastGo > 0);
        QVERIFY2(lastGo - killedAt <= 3000.0, qPrintable(QString::number(lastGo - killedAt)));

        // The Python example: a band, a scan to its end, a refused request read back.
        QProcess example;
        example.start(QStringLiteral("python3"),
                      {VR_SOURCE_DIR "/examples/remote_scan.py", "--port", QString::number(port)});
        QVERIFY(example.waitForFinished(120000));
        const QString printed = QString::fromUtf8(example.readAll());
        QVERIFY2(example.exitCode() == 0, qPrintable(printed));
        QVERIFY2(printed.contains("scan ended: SCAN SUCCESS\n"), qPrintable(printed));
        QVERIFY2(printed.contains("SETC FAIL: ERRSE04 : Out of range. Please set [CWL] <= 800.0"),
                 qPrintable(printed));

        QVERIFY(program.Terminate());
        QCOMPARE(RunVrRemote(port, {"VER"}).Status, 2);
    }

    // Under a locale whose decimal separator is a comma, a request's numbers are still read
    // with '.', and the bounds in the error texts are written with the user's comma.
    void commaDecimalLocale() {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const quint16 port = FreePort();
        Program program(folder, port);
        QProcessEnvironment env = program.Process.processEnvironment();
        env.insert("LC_ALL", "de_DE.UTF-8");
        program.Process.setProcessEnvironment(env);
        SimProcess sim;
        QVERIFY2(sim.Start(folder + "ports/COM3", {"--home-ms", "200"}), qPrintable(sim.Failure()));
        QVERIFY(program.Start());
        QVERIFY(sim.WaitForExchanges(7, 30000));
        const QString set = QStringLiteral("Out of range. Please set ");
        const QList<std::pair<QString, QString>> cases{
            // Read as 800 or 399 the values would pass.
            {"SETC,800.5,10", "ERRSE04 : " + set + "[CWL] \u2264 800,0\n"},
            {"SETC,399.5,10", "ERRSE03 : " + set + "[CWL] \u2265 400,0\n"},
            // Read as 2 the STEP would pass.
            {"SCAN,500,510,10,0.2,1", "ERRSC12 : " + set + "[STEP] \u2265 0,5\n"},
        };
        for (const auto& [request, error] : cases) {
            // Right after the home the session may still hold the device for a moment.
            VrRemoteRun refused;
            QDeadlineTimer deadline(10000);
            do {
                refused = RunVrRemote(port, {request});
            } while (refused.Err.contains("Device busy.") && !deadline.hasExpired());
            QCOMPARE(refused.Status, 1);
            QCOMPARE(refused.Err, error);
        }
        QVERIFY(program.Terminate());
    }

    void listensWhereItIsTold_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("address");
        // IPv6 and IPv4 at once ("::"), or IPv4 alone on a machine without IPv6.
        QTest::newRow("all addresses") << QStringList() << QStringLiteral("^0+$");
        QTest::newRow("loopback only")
            << QStringList{"--remote-listen", "127.0.0.1"} << QStringLiteral("^0100007F$");
        // "::" is every address, IPv4 ones too: the IPv4 client below reaches it.
        QTest::newRow(":: is all addresses")
            << QStringList{"--remote-listen", "::"} << QStringLiteral("^0+$");
    }
    void listensWhereItIsTold() {
        QFETCH(QStringList, args);
        QFETCH(QString, address);
        QTemporaryDir dir;
        const quint16 port = FreePort();
        Program program(dir.path() + u'/', port);
        QVERIFY(program.Start(args));
        QTRY_COMPARE_WITH_TIMEOUT(RunVrRemote(port, {"VER"}).Status, 0, 30000);
        const QString listening = ListeningAddress(port);
        QVERIFY2(QRegularExpression(address).match(listening).hasMatch(), qPrintable(listening));
        QVERIFY(program.Terminate());
    }

    void refusesAnAddressItCannotUse() {
        QTemporaryDir dir;
        Program program(dir.path() + u'/', FreePort());
        QVERIFY(program.Start({"--remote-listen", "lab-pc"}));
        QVERIFY(program.Process.waitForFinished(10000));
        QCOMPARE(program.Process.exitCode(), 2);
    }
};

QTEST_GUILESS_MAIN(TestEndToEndRemote)
#include "tst_e2e_remote.moc"
