// The built program as a process, unchanged, in a temporary program folder: its settings file,
// the device session against the simulator, its idle load and its shutdown by signal.
#include "support/SimProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

namespace {

const char* const kDefaultSettings = "[Info]\nType=QVL Rari v2\n\n[ComPort]\nPortName=COM1\n"
                                     "BaudRate=38400\nTimeOut=1000\n\n[Device]\n"
                                     "Info=Kravo FM Ver1.0\nZeroToPos=1\nDebugMode=0\n\n"
                                     "[Remote]\nPortNum=5050\n\n[Scan]\nRecord=1\n";

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// CPU time (user + system) of a process so far, in clock ticks.
qint64 CpuTicks(qint64 pid) {
    const QByteArray stat = ReadAll(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    // After the command name: state is field 0, utime field 11, stime field 12.
    return fields.size() > 12 ? fields[11].toLongLong() + fields[12].toLongLong() : -1;
}

QStringList Commands(SimProcess& sim) {
    QStringList commands;
    for (const QString& line : sim.Exchanges())
        commands.append(line.section(u'"', 1, 1));
    return commands;
}

// The program copied into a folder of its own, so that the folder is the program's folder.
class Program {
public:
    explicit Program(const QString& folder) : Folder(folder) {
        QFile::copy(QStringLiteral(VR_BIN_DIR "/VuzaRavarede"), Folder + "VuzaRavarede");
        Process.setWorkingDirectory(Folder);
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
    bool Start() {
        // Every port name the program may try that is not taken by a simulator points nowhere,
        // so the program never opens the machine's own serial devices.
        QDir().mkpath(Folder + "ports");
        for (int n = 1; n <= 64; ++n) {
            const QString link = Folder + QStringLiteral("ports/COM%1").arg(n);
            if (!QFileInfo(link).isSymLink()) QFile::link(Folder + "nowhere", link);
        }
        Process.start(Folder + "VuzaRavarede", QStringList());
        return Process.waitForStarted(10000);
    }
    // SIGTERM runs the normal shutdown; true when the program ended by itself with status 0.
    bool Terminate() {
        Process.terminate();
        return Process.waitForFinished(20000) && Process.exitStatus() == QProcess::NormalExit &&
               Process.exitCode() == 0;
    }
    QString Folder;
    QProcess Process;
};

// True once the process has taken SIGTERM over (its handler is installed).
bool CatchesSigterm(qint64 pid) {
    const QByteArray status = ReadAll(QStringLiteral("/proc/%1/status").arg(pid));
    for (const QByteArray& line : status.split('\n'))
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1;
    return false;
}

void WriteSettings(const QString& folder, const QByteArray& text) {
    QFile f(folder + "VuzaRavarede.ini");
    if (f.open(QIODevice::WriteOnly)) f.write(text);
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void firstStartCreatesThenFillsSettings() {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        Program program(folder);
        QVERIFY(program.Start());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(folder + "VuzaRavarede.ini"), 10000);
        QCOMPARE(ReadAll(folder + "VuzaRavarede.ini"), QByteArray());
        QVERIFY(program.Terminate());
        QCOMPARE(ReadAll(folder + "VuzaRavarede.ini"), QByteArray(kDefaultSettings));
        QVERIFY(!QFile::exists(folder + "Log"));
    }

    void settingsComeBackAsRead_data() {
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("out of range and not numbers")
            << QByteArray("[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=com5\nBaudRate=99\n"
                          "TimeOut=0x2710\n[Device]\nDebugMode=yes\n[Remote]\nPortNum=0\n")
            << QStringList{"PortName=COM1", "BaudRate=38400", "TimeOut=10000", "DebugMode=0",
                           "PortNum=5050"};
        QTest::newRow("too high, bool as number")
            << QByteArray("[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM\nBaudRate=2000000\n"
                          "[Device]\nDebugMode=2\n[Remote]\nPortNum=70000\n")
            << QStringList{"PortName=COM1", "BaudRate=38400", "DebugMode=1", "PortNum=5050"};
        QTest::newRow("unusual rate kept")
            << QByteArray("[Info]\nType=QVL Rari v2\n[ComPort]\nBaudRate=250000\nTimeOut=99\n")
            << QStringList{"BaudRate=250000", "TimeOut=1000"};
        QTest::newRow("foreign type")
            << QByteArray("[Info]\nType=QVL Rari v2.1\n[ComPort]\nPortName=COM7\nTimeOut=500\n")
            << QStringList{"Type=QVL Rari v2", "PortName=COM1", "TimeOut=1000", "PortNum=5050"};
    }
    void settingsComeBackAsRead() {
        QFETCH(QByteArray, written);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        WriteSettings(folder, written);
        Program program(folder);
        QVERIFY(program.Start());
        QTest::qWait(1000);
        QVERIFY(program.Terminate());
        const QStringList lines = QString::fromLatin1(ReadAll(folder + "VuzaRavarede.ini"))
                                      .split(u'\n', Qt::SkipEmptyParts);
        for (const QString& line : expected)
            QVERIFY2(lines.contains(line), qPrintable(line));
    }

    // A signal that arrives while the program is still starting ends it normally too.
    void signalDuringStartUpEndsNormally() {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        Program program(folder);
        QVERIFY(program.Start());
        QTRY_VERIFY_WITH_TIMEOUT(CatchesSigterm(program.Process.processId()), 10000);
        QVERIFY(program.Terminate());
        QCOMPARE(ReadAll(folder + "VuzaRavarede.ini"), QByteArray(kDefaultSettings));
    }

    // Whatever lies where the settings file or the kept calibration copy should be, the program
    // starts, searches and ends normally on a signal, and the settings file is intact.
    void filesThatAreNotFilesDoNotHoldTheProgram_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("settings file is a fifo") << "settings fifo";
        QTest::newRow("settings file is huge") << "settings huge";
        QTest::newRow("kept copy is a fifo") << "fifo";
        QTest::newRow("kept copy links to a device") << "device";
        QTest::newRow("kept copy is a folder") << "folder";
    }
    void filesThatAreNotFilesDoNotHoldTheProgram() {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const QString settings = folder + "VuzaRavarede.ini";
        const QString kept = folder + "Cal/F123_ABCD12345678.csv";
        const bool settingsCase = kind.startsWith("settings");
        const QByteArray huge = "[Info]\nType=QVL Rari v2\n" + QByteArray(4 << 20, ';');
        if (kind == "settings fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(settings).constData(), 0600), 0);
        if (kind == "settings huge") WriteSettings(folder, huge);
        if (!settingsCase) {
            WriteSettings(folder, "[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM3\n");
            QVERIFY(QDir().mkpath(folder + "Cal"));
        }
        if (kind == "fifo") QCOMPARE(::mkfifo(QFile::encodeName(kept).constData(), 0600), 0);
        if (kind == "device") QVERIFY(QFile::link("/dev/zero", kept));
        if (kind == "folder") QVERIFY(QDir().mkpath(kept));
        // Unreadable settings mean the default port, COM1.
        SimProcess sim;
        QVERIFY2(
            sim.Start(folder + (settingsCase ? "ports/COM1" : "ports/COM3"), {"--home-ms", "100"}),
            qPrintable(sim.Failure()));
        Program program(folder);
        QVERIFY(program.Start());
        // Settings: the search runs. Kept copy: the import is over (BKEN follows it), or, for a
        // folder, the program waits in the file dialog.
        const int exchanges = settingsCase ? 1 : kind == "folder" ? 5 : 6;
        QVERIFY(sim.WaitForExchanges(exchanges, 20000));
        QVERIFY(program.Terminate());
        const QFileInfo after(settings);
        if (kind == "settings fifo") {
            QVERIFY(after.exists() && !after.isFile());
        } else if (kind == "settings huge") {
            QCOMPARE(ReadAll(settings), huge);
        } else {
            QVERIFY(ReadAll(settings).contains("PortName=COM3\n"));
            QCOMPARE(QFileInfo(kept).isDir(), kind == "folder");
            if (kind != "folder")
                QVERIFY(!QFileInfo(kept).isSymLink() && !QFileInfo(kept).exists());
        }
    }

    void findsTheInstrumentAndIdles() {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        WriteSettings(folder, "[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM3\n"
                              "[Device]\nDebugMode=1\n");
        QDir().mkpath(folder + "Cal");
        QVERIFY(QFile::copy(VR_SOURCE_DIR "/samples/20180315_F123_ABCD12345678.csv",
                            folder + "Cal/F123_ABCD12345678.csv"));
        SimProcess sim;
        QVERIFY2(sim.Start(folder + "ports/COM3", {"--home-ms", "500"}), qPrintable(sim.Failure()));
        Program program(folder);
        QVERIFY(program.Start());

        QVERIFY(sim.WaitForExchanges(1, 15000));
        QElapsedTimer pause;
        pause.start();
        QVERIFY(sim.WaitForExchanges(2, 15000));
        // The instrument is left alone for 5 seconds after it has identified itself.
        QVERIFY2(pause.elapsed() >= 4500, qPrintable(QString::number(pause.elapsed())));
        QVERIFY(sim.WaitForExchanges(7, 15000));
        QCOMPARE(Commands(sim),
                 (QStringList{"?", "INFO 0", "INFO 1", "INFO 2", "POS 3", "BKEN 0", "HOME 3"}));

        // A ready session is idle: no traffic and (near) no CPU.
        const qint64 before = CpuTicks(program.Process.processId());
        QTest::qWait(2000);
        const qint64 used = CpuTicks(program.Process.processId()) - before;
        QVERIFY2(before >= 0 && used <= 20, qPrintable(QString::number(used)));
        QCOMPARE(sim.Exchanges().size(), 7);

        QVERIFY(program.Terminate());
        QVERIFY(ReadAll(folder + "VuzaRavarede.ini").contains("PortName=COM3\n"));
        const QStringList logs = QDir(folder + "Log").entryList({"Log *.ini"});
        QCOMPARE(logs.size(), 1);
        const QByteArray log = ReadAll(folder + "Log/" + logs.first());
        QVERIFY(log.contains("] Open <COM3,38400> Success\r\n"));
        QVERIFY(log.contains("] Command <HOME> Success : All\r\n"));
        QVERIFY(log.endsWith("] Close\r\n"));
    }

    void wrongIdentificationIsClosedAndTriedAgain() {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        WriteSettings(folder, "[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM3\n");
        SimProcess sim;
        QVERIFY2(sim.Start(folder + "ports/COM3", {"--id", "Kravo FM Ver2.0"}),
                 qPrintable(sim.Failure()));
        Program program(folder);
        QVERIFY(program.Start());
        QVERIFY(sim.WaitForExchanges(2, 30000));
        QCOMPARE(Commands(sim).mid(0, 2), (QStringList{"?", "?"}));
        QVERIFY(program.Terminate());
    }

    void endsCleanlyWhenTheInstrumentVanishesOrTheUserQuits_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<int>("waitFor");
        QTest::newRow("signal during the pause after identification") << QStringList() << 1;
        QTest::newRow("line lost while reading the information")
            << QStringList{"--hangup-after", "1"} << 2;
        QTest::newRow("instrument silent after identification")
            << QStringList{"--silent-after", "1"} << 2;
    }
    void endsCleanlyWhenTheInstrumentVanishesOrTheUserQuits() {
        QFETCH(QStringList, simArgs);
        QFETCH(int, waitFor);
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        WriteSettings(folder, "[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM3\n");
        SimProcess sim;
        QVERIFY2(sim.Start(folder + "ports/COM3", simArgs), qPrintable(sim.Failure()));
        Program program(folder);
        QVERIFY(program.Start());
        QVERIFY(sim.WaitForExchanges(waitFor, 20000));
        if (waitFor > 1) {
            // Whatever the session does with a dead line, it does not spin.
            const qint64 before = CpuTicks(program.Process.processId());
            QTest::qWait(2000);
            const qint64 used = CpuTicks(program.Process.processId()) - before;
            QVERIFY2(before >= 0 && used <= 30, qPrintable(QString::number(used)));
        }
        QVERIFY(program.Terminate());
        QVERIFY(ReadAll(folder + "VuzaRavarede.ini").contains("Type=QVL Rari v2\n"));
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
