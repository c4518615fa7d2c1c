// The built program started as a user starts it from a terminal: the command line, and where
// its remote control can or cannot listen.
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

quint16 FreePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
}

// The program copied into a folder of its own; every port name points nowhere, so no serial
// device of the machine is opened.
class Program {
public:
    Program(quint16 remotePort, const QByteArray& deviceLines = QByteArray()) {
        Folder = Dir.path() + u'/';
        QFile::copy(QStringLiteral(VR_BIN_DIR "/VuzaRavarede"), Folder + "VuzaRavarede");
        QFile settings(Folder + "VuzaRavarede.ini");
        if (settings.open(QIODevice::WriteOnly))
            settings.write("[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM3\n[Device]\n" +
                           deviceLines + "\n[Remote]\nPortNum=" + QByteArray::number(remotePort) +
                           "\n");
        QDir().mkpath(Folder + "ports");
        for (int n = 1; n <= 64; ++n)
            QFile::link(Folder + "nowhere", Folder + QStringLiteral("ports/COM%1").arg(n));
    }
    ~Program() {
        if (Process.state() != QProcess::NotRunning) {
            Process.kill();
            Process.waitForFinished(5000);
        }
    }
    // Runs to its end (at most 20 s); the exit status, or -1 when it did not end normally.
    int Run(const QStringList& args, const QProcessEnvironment& env) {
        Process.setProcessEnvironment(env);
        Process.start(Folder + "VuzaRavarede", args);
        if (!Process.waitForFinished(20000)) return -1;
        Out = QString::fromLocal8Bit(Process.readAllStandardOutput());
        Err = QString::fromLocal8Bit(Process.readAllStandardError());
        return Process.exitStatus() == QProcess::NormalExit ? Process.exitCode() : -1;
    }
    QTemporaryDir Dir;
    QString Folder;
    QProcess Process;
    QString Out, Err;
};

// No display of any kind, as on a terminal logged in over ssh.
QProcessEnvironment Headless() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

QProcessEnvironment Offscreen() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

} // namespace

class TestEndToEndStart : public QObject {
    Q_OBJECT
private slots:
    // Answered before any window exists, and nothing is written beside the program.
    void commandLineWithoutDisplay_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("--help") << QStringList{"--help"} << 0 << "--remote-listen ADDRESS"
                                << QString();
        QTest::newRow("-h") << QStringList{"-h"} << 0 << "Usage: VuzaRavarede" << QString();
        QTest::newRow("--version")
            << QStringList{"--version"} << 0 << "VuzaRavarede 2.1 (QVL Rari v2.1)\n"
            << QString();
        QTest::newRow("unknown option")
            << QStringList{"--fast"} << 2 << QString() << "Unknown option 'fast'";
        QTest::newRow("unknown option after a good one")
            << QStringList{"--remote-listen", "127.0.0.1", "-x"} << 2 << QString() << "'x'";
        QTest::newRow("a stray argument") << QStringList{"COM3"} << 2 << QString() << "'COM3'";
        QTest::newRow("value missing")
            << QStringList{"--remote-listen"} << 2 << QString() << "remote-listen";
    }
    void commandLineWithoutDisplay() {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        Program program(FreePort());
        QCOMPARE(program.Run(args, Headless()), status);
        if (status == 0) {
            QVERIFY2(program.Out.contains(out), qPrintable(program.Out));
            QVERIFY2(program.Err.isEmpty(), qPrintable(program.Err));
        } else {
            // The mistake, then the usage, on stderr.
            QVERIFY2(program.Out.isEmpty(), qPrintable(program.Out));
            QVERIFY2(program.Err.contains(err), qPrintable(program.Err));
            QVERIFY2(program.Err.contains("Usage: VuzaRavarede [options]"),
                     qPrintable(program.Err));
        }
        QCOMPARE(QDir(program.Folder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
                 (QStringList{"ports", "VuzaRavarede", "VuzaRavarede.ini"}));
    }

    // An address it was told to use and cannot: the program ends at start and says where, on
    // which port and why, in one line.
    void remoteListenRefused_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty value (an unset variable)") << QString() << "not an IP address";
        QTest::newRow("host name") << "lab-pc"
                                   << "not an IP address";
        QTest::newRow("address of another machine") << "192.0.2.1"
                                                    << "not available";
        QTest::newRow("IPv6 address of another machine") << "2001:db8::1"
                                                         << "";
        QTest::newRow("IPv4 written as IPv6") << "::ffff:127.0.0.1"
                                              << "give 127.0.0.1 instead";
        QTest::newRow("link-local without its interface") << "fe80::1"
                                                          << "needs its interface";
        QTest::newRow("port in use") << "127.0.0.1"
                                     << "in use";
    }
    void remoteListenRefused() {
        QFETCH(QString, address);
        QFETCH(QString, reason);
        QTcpServer holder;
        const bool inUse = reason == "in use";
        if (inUse) QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
        const quint16 port = inUse ? holder.serverPort() : FreePort();
        Program program(port);
        QCOMPARE(program.Run({"--remote-listen", address}, Offscreen()), 2);
        // The program's own lines (the toolkit may add warnings of its own).
        const QStringList lines =
            program.Err.split(u'\n').filter(QRegularExpression("^VuzaRavarede:"));
        QVERIFY2(lines.size() == 1, qPrintable(program.Err));
        const QString& line = lines[0];
        QVERIFY2(line.contains('"' + address + '"'), qPrintable(line));
        QVERIFY2(line.contains("port " + QString::number(port)), qPrintable(line));
        QVERIFY2(line.contains(reason, Qt::CaseInsensitive), qPrintable(line));
        // Something after the port: the reason is never left out.
        QVERIFY2(line.section(QString::number(port) + ": ", 1).size() > 3, qPrintable(line));
    }

    // Without the option a port in use leaves the program running without remote control, and
    // it says so once on stderr and once in the communication log.
    void usualPortInUse() {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        Program program(holder.serverPort(), "DebugMode=1");
        program.Process.setProcessEnvironment(Offscreen());
        program.Process.start(program.Folder + "VuzaRavarede");
        QVERIFY(program.Process.waitForStarted(10000));
        // The log entry is written at start, before the first search.
        QString log;
        QDeadlineTimer deadline(20000);
        while (!log.contains("Remote Server Listen Fail") && !deadline.hasExpired()) {
            QTest::qWait(50);
            const QStringList files = QDir(program.Folder + "Log").entryList({"Log *.ini"});
            if (files.size() != 1) continue;
            QFile file(program.Folder + "Log/" + files[0]);
            if (file.open(QIODevice::ReadOnly)) log = QString::fromLatin1(file.readAll());
        }
        QVERIFY2(log.contains(QStringLiteral("Remote Server Listen Fail <*:%1> : port in use")
                                  .arg(holder.serverPort())),
                 qPrintable(log));
        QCOMPARE(program.Process.state(), QProcess::Running);
        // Once the other program lets the port go, the remote control takes it within a retry.
        const quint16 port = holder.serverPort();
        holder.close();
        QByteArray answer;
        QDeadlineTimer freed(30000);
        while (!answer.endsWith('\r') && !freed.hasExpired()) {
            QTcpSocket client;
            client.connectToHost(QHostAddress::LocalHost, port);
            if (!client.waitForConnected(2000)) {
                QTest::qWait(100); // refused: not listening yet
                continue;
            }
            client.write("VER\r");
            while (!answer.endsWith('\r') && client.waitForReadyRead(5000))
                answer += client.readAll();
        }
        QCOMPARE(answer, QByteArray("QVL Rari v2.1\r"));
        program.Process.terminate();
        QVERIFY(program.Process.waitForFinished(20000));
        QCOMPARE(program.Process.exitCode(), 0);
        const QString err = QString::fromLocal8Bit(program.Process.readAllStandardError());
        const QStringList lines = err.split(u'\n').filter(QRegularExpression("^VuzaRavarede:"));
        QVERIFY2(lines.size() == 1, qPrintable(err));
        QVERIFY2(lines[0].contains(QStringLiteral("port %1: the port is in use").arg(port)),
                 qPrintable(lines[0]));
        QVERIFY2(lines[0].contains("running without remote control"), qPrintable(lines[0]));
    }
};

QTEST_GUILESS_MAIN(TestEndToEndStart)
#include "tst_e2e_start.moc"
