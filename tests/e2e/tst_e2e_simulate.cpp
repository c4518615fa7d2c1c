// The built program started with --simulate, as a lab user tries a script before the instrument
// arrives: it brings its own simulator and a folder of its own, leaves its program folder as it
// was, and takes the simulator and that folder along when it ends.
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

namespace {

quint16 FreePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
}

QString VrRemote(quint16 port, const QStringList& args) {
    QProcess process;
    process.start(QStringLiteral(VR_BIN_DIR "/vr-remote"),
                  QStringList{"--port", QString::number(port)} + args);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return QString();
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

// Every entry under `folder` with what it holds: a file's size and digest, a link's target.
QStringList Snapshot(const QString& folder) {
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QString entry = info.filePath().mid(folder.size());
        if (info.isSymLink()) {
            entry += " -> " + info.symLinkTarget();
        } else if (info.isFile()) {
            QFile file(info.filePath());
            if (file.open(QIODevice::ReadOnly))
                entry +=
                    QStringLiteral(" %1 %2")
                        .arg(info.size())
                        .arg(QString::fromLatin1(
                            QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256)
                                .toHex()));
        }
        entries.append(entry);
    }
    entries.sort();
    return entries;
}

// The ids of the children of process `pid`.
QList<qint64> Children(qint64 pid) {
    QList<qint64> children;
    for (const QString& task : QDir(QStringLiteral("/proc/%1/task").arg(pid))
                                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(QStringLiteral("/proc/%1/task/%2/children").arg(pid).arg(task));
        if (!file.open(QIODevice::ReadOnly)) continue;
        for (const QByteArray& id : file.readAll().simplified().split(' '))
            if (!id.isEmpty()) children.append(id.toLongLong());
    }
    return children;
}

// The process has ended: gone, or a zombie waiting for whoever adopted it to collect it.
bool Ended(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return true;
    const QByteArray fields = stat.readAll();
    return fields.mid(fields.lastIndexOf(')') + 2, 1) == "Z";
}

// A program folder as a user has it after some sessions: the program and the simulator, a
// settings file, a kept copy, a log and a scan record, and a port link. Temporary folders go
// to a folder of the test's own, where none of the program's may be left at the end (the
// toolkit may keep its runtime folder there).
class Program {
public:
    Program() : Folder(Dir.path() + u'/') {
        QFile::copy(QStringLiteral(VR_BIN_DIR "/VuzaRavarede"), Folder + "VuzaRavarede");
        QFile::copy(QStringLiteral(VR_BIN_DIR "/instrument-sim"), Folder + "instrument-sim");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", Temp.path());
        Process.setProcessEnvironment(env);
    }
    ~Program() {
        if (Process.state() != QProcess::NotRunning) {
            Process.kill();
            Process.waitForFinished(5000);
        }
    }
    void FillAsUsed(quint16 usualPort) {
        QFile settings(Folder + "VuzaRavarede.ini");
        if (settings.open(QIODevice::WriteOnly))
            settings.write(
                "[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM7\n[Remote]\nPortNum=" +
                QByteArray::number(usualPort) + "\n[Device]\nDebugMode=1\n");
        for (const char* sub : {"Cal", "Log", "Scans", "ports"})
            QDir().mkpath(Folder + sub);
        QFile::copy(QStringLiteral(VR_SOURCE_DIR "/samples/20180315_F123_ABCD12345678.csv"),
                    Folder + "Cal/F123_ABCD12345678.csv");
        for (const char* name : {"Log/Log 20261201-101010.ini", "Scans/Scan 20261201-101500.csv"}) {
            QFile file(Folder + name);
            if (file.open(QIODevice::WriteOnly)) file.write("kept as it is\n");
        }
        QFile::link(Folder + "nowhere", Folder + "ports/COM1");
    }
    bool Start(const QStringList& args) {
        Process.start(Folder + "VuzaRavarede", args);
        return Process.waitForStarted(10000);
    }
    // Waits (at most 60 s) for a stderr line holding `text`; the line, or empty.
    QString WaitForLine(const QString& text) {
        QDeadlineTimer deadline(60000);
        for (;;) {
            Err += QString::fromUtf8(Process.readAllStandardError());
            for (const QString& line : Err.split(u'\n'))
                if (line.contains(text)) return line;
            if (deadline.hasExpired() || Process.state() == QProcess::NotRunning) return QString();
            Process.waitForReadyRead(100);
        }
    }
    // Runs to its end (at most 30 s); the exit status, -1 when it did not end normally.
    int Finish() {
        if (!Process.waitForFinished(30000)) return -1;
        Err += QString::fromUtf8(Process.readAllStandardError());
        return Process.exitStatus() == QProcess::NormalExit ? Process.exitCode() : -1;
    }
    QTemporaryDir Dir;
    QTemporaryDir Temp;
    QString Folder;
    QProcess Process;
    QString Err;
};

} // namespace

class TestEndToEndSimulate : public QObject {
    Q_OBJECT
private slots:
    // With the window (here on the offscreen platform): ready, a move and a scan, then SIGTERM.
    void simulatedRun() {
        Program program;
        const quint16 usualPort = FreePort();
        program.FillAsUsed(usualPort);
        const QStringList before = Snapshot(program.Folder);
        const quint16 port = FreePort();
        QProcessEnvironment env = program.Process.processEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.Process.setProcessEnvironment(env);
        QVERIFY(program.Start({"--simulate", "--remote-port", QString::number(port)}));

        const QString line = program.WaitForLine("simulated instrument");
        QVERIFY2(line.contains(QStringLiteral("remote control on 127.0.0.1 port %1").arg(port)),
                 qPrintable(program.Err));
        const QString folder =
            line.section(QStringLiteral("program folder "), 1).section(u' ', 0, 0);
        QVERIFY2(folder.startsWith(program.Temp.path() + u'/') && QFileInfo(folder).isDir(),
                 qPrintable(line));
        const QList<qint64> children = Children(program.Process.processId());
        QCOMPARE(children.size(), 1);

        QString session;
        QDeadlineTimer deadline(60000);
        while ((session = VrRemote(port, {"SESSION"})) != "READY\n" && !deadline.hasExpired())
            QTest::qWait(100);
        QCOMPARE(session, QStringLiteral("READY\n"));
        QCOMPARE(VrRemote(port, {"SETC,500.0,10.0"}), QStringLiteral("SETC OK\n"));
        QCOMPARE(VrRemote(port, {"--wait", "SCAN,500,504,10,2,0.1"}),
                 QStringLiteral("SCAN OK\nSCAN SUCCESS\n"));
        // What a run writes lands in its own folder.
        QCOMPARE(QDir(folder + "Scans").entryList(QDir::Files).size(), 1);
        // The usual port is left to the real program.
        QCOMPARE(VrRemote(usualPort, {"VER"}), QString());

        program.Process.terminate();
        QCOMPARE(program.Finish(), 0);
        QVERIFY2(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(children[0])),
                 "the simulator outlived the program");
        QCOMPARE(QDir(program.Temp.path()).entryList({"VuzaRavarede*"}, QDir::AllEntries),
                 QStringList());
        QCOMPARE(Snapshot(program.Folder), before);
    }

    // Killed outright, the program cannot end its simulator: the simulator ends by itself.
    void killedProgramTakesItsSimulator() {
        Program program;
        QProcessEnvironment env = program.Process.processEnvironment();
        env.remove("QT_QPA_PLATFORM");
        program.Process.setProcessEnvironment(env);
        QVERIFY(program.Start(
            {"--simulate", "--headless", "--remote-port", QString::number(FreePort())}));
        QVERIFY2(!program.WaitForLine("simulated instrument").isEmpty(), qPrintable(program.Err));
        const QList<qint64> children = Children(program.Process.processId());
        QCOMPARE(children.size(), 1);
        // A simulator that failed to end is not left running.
        const auto cleanup = qScopeGuard([&] {
            if (!Ended(children[0])) ::kill(pid_t(children[0]), SIGKILL);
        });
        program.Process.kill();
        QCOMPARE(program.Finish(), -1);
        QTRY_VERIFY_WITH_TIMEOUT(Ended(children[0]), 20000);
    }

    // A simulated run that cannot be had ends at once with one line saying why, and leaves
    // nothing behind.
    void refused_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("withSimulator");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        QTest::newRow("port without --simulate") << QStringList{"--remote-port", "5050"} << true
                                                 << 2 << "--remote-port is for --simulate";
        QTest::newRow("port 0") << QStringList{"--simulate", "--remote-port", "0"} << true << 2
                                << "from 1 to 65535, not '0'";
        QTest::newRow("port not a number")
            << QStringList{"--simulate", "--remote-port", "http"} << true << 2 << "not 'http'";
        QTest::newRow("port in use") << QStringList{"--simulate", "--headless", "--remote-port"}
                                     << true << 2 << "the port is in use";
        QTest::newRow("no simulator beside the program")
            << QStringList{"--simulate", "--headless"} << false << 1 << "instrument-sim";
    }
    void refused() {
        QFETCH(QStringList, args);
        QFETCH(bool, withSimulator);
        QFETCH(int, status);
        QFETCH(QString, reason);
        Program program;
        if (!withSimulator) QFile::remove(program.Folder + "instrument-sim");
        QTcpServer holder;
        if (args.last() == "--remote-port") {
            QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
            args.append(QString::number(holder.serverPort()));
        }
        QProcessEnvironment env = program.Process.processEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        program.Process.setProcessEnvironment(env);
        const QStringList before = Snapshot(program.Folder);
        QVERIFY(program.Start(args));
        QCOMPARE(program.Finish(), status);
        const QStringList lines =
            program.Err.split(u'\n').filter(QRegularExpression("^VuzaRavarede: "));
        QVERIFY2(lines.size() == 1, qPrintable(program.Err));
        QVERIFY2(lines[0].contains(reason), qPrintable(lines[0]));
        QCOMPARE(QDir(program.Temp.path()).entryList({"VuzaRavarede*"}, QDir::AllEntries),
                 QStringList());
        QCOMPARE(Snapshot(program.Folder), before);
    }
};

QTEST_GUILESS_MAIN(TestEndToEndSimulate)
#include "tst_e2e_simulate.moc"
