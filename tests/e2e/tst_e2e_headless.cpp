// The built program, unchanged, started with --headless where there is no display at all (no
// DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM), as a lab service runs it: it finds the simulated
// instrument, serves the remote control, and tells on stderr what its message bar shows.
#include "support/SimProcess.h"
#include "support/VrRemoteRun.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

quint16 FreePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
}

QProcessEnvironment NoDisplay() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

// The program copied into a folder of its own, with its stderr collected line by line.
class Program {
public:
    explicit Program(const QString& folder) : Folder(folder) {
        QFile::copy(QStringLiteral(VR_BIN_DIR "/VuzaRavarede"), Folder + "VuzaRavarede");
        Process.setProcessEnvironment(NoDisplay());
    }
    ~Program() {
        if (Process.state() != QProcess::NotRunning) {
            Process.kill();
            Process.waitForFinished(5000);
        }
    }
    void WriteSettings(const QByteArray& portName, quint16 remotePort) {
        QFile settings(Folder + "VuzaRavarede.ini");
        if (settings.open(QIODevice::WriteOnly))
            settings.write("[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=" + portName +
                           "\n[Remote]\nPortNum=" + QByteArray::number(remotePort) + "\n");
    }
    bool Start(const QStringList& args) {
        Process.start(Folder + "VuzaRavarede", args);
        return Process.waitForStarted(10000);
    }
    QStringList Lines() {
        Partial += Process.readAllStandardError();
        qsizetype nl;
        while ((nl = Partial.indexOf('\n')) >= 0) {
            Err.append(QString::fromUtf8(Partial.left(nl)));
            Partial.remove(0, nl + 1);
        }
        return Err;
    }
    // Waits (at most 60 s) for a stderr line ending with `tail`.
    bool WaitForLine(const QString& tail) {
        QDeadlineTimer deadline(60000);
        for (;;) {
            for (const QString& line : Lines())
                if (line.endsWith(tail)) return true;
            if (deadline.hasExpired() || Process.state() == QProcess::NotRunning) return false;
            Process.waitForReadyRead(100);
        }
    }
    // SIGTERM and its normal shutdown; the exit status, -1 when it did not end normally.
    int Terminate() {
        Process.terminate();
        if (!Process.waitForFinished(30000)) return -1;
        Lines();
        return Process.exitStatus() == QProcess::NormalExit ? Process.exitCode() : -1;
    }
    QString Folder;
    QProcess Process;
    QStringList Err;

private:
    QByteArray Partial;
};

// "2026-12-11 03:54:12.345 success: Device ready."
const QRegularExpression
    kMessageLine(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "
                                "(progress|success|error|scanning|toolkit): (.+)$"));

} // namespace

class TestEndToEndHeadless : public QObject {
    Q_OBJECT
private slots:
    void lifeOfALabService() {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const quint16 port = FreePort();
        Program program(folder);
        program.WriteSettings("COM3", port);
        QDir().mkpath(folder + "Cal");
        QFile::copy(QStringLiteral(VR_SOURCE_DIR "/samples/20180315_F123_ABCD12345678.csv"),
                    folder + "Cal/F123_ABCD12345678.csv");
        QDir().mkpath(folder + "ports");
        for (int n = 1; n <= 64; ++n)
            if (n != 3)
                QFile::link(folder + "nowhere", folder + QStringLiteral("ports/COM%1").arg(n));
        SimProcess sim;
        QVERIFY2(sim.Start(folder + "ports/COM3", {"--home-ms", "500"}), qPrintable(sim.Failure()));
        QVERIFY(program.Start({"--headless"}));

        QVERIFY2(program.WaitForLine("success: Device ready."),
                 qPrintable(program.Lines().join('\n')));
        // The session may hold the instrument a moment after its message.
        QString session;
        QDeadlineTimer deadline(30000);
        while ((session = RunVrRemote(port, {"SESSION"}).Out) == "BUSY\n" && !deadline.hasExpired())
            QTest::qWait(50);
        QCOMPARE(session, QStringLiteral("READY\n"));
        const VrRemoteRun set = RunVrRemote(port, {"SETC,500.0,10.0"});
        QCOMPARE(set.Out, QStringLiteral("SETC OK\n"));
        const VrRemoteRun refused = RunVrRemote(port, {"SETC,300,10"});
        QCOMPARE(refused.Out, QStringLiteral("SETC FAIL\n"));
        const VrRemoteRun scan = RunVrRemote(port, {"--wait", "SCAN,500,506,10,2,0.1"});
        QCOMPARE(scan.Out, QStringLiteral("SCAN OK\nSCAN SUCCESS\n"));
        QVERIFY(program.WaitForLine("success: Scan successful."));
        QCOMPARE(program.Terminate(), 0);

        // Every line is stamped with its kind (the toolkit's own warnings too), each message
        // shown once even when the bar is told the same line again (the search's every second).
        QStringList messages;
        for (const QString& line : std::as_const(program.Err)) {
            const QRegularExpressionMatch m = kMessageLine.match(line);
            QVERIFY2(m.hasMatch(), qPrintable("not a message line: " + line));
            if (m.captured(1) != "toolkit") messages.append(m.captured(1) + ": " + m.captured(2));
        }
        for (qsizetype i = 1; i < messages.size(); ++i)
            QVERIFY2(messages[i] != messages[i - 1], qPrintable(messages.join('\n')));
        const QStringList expected = {
            "progress: Searching device...",
            "progress: Device found. Please wait...",
            "progress: Reading device infomation...",
            "progress: Reading calibration data...",
            "success: Device ready.",
            "progress: Changing wavelength and FWHM. Please wait...",
            "success: Successfully changed wavelength and FWHM.",
            "error: ERRSE03 : Out of range. Please set [CWL] \u2265 400.0",
            "scanning: Scanning...",
            "success: Scan successful.",
        };
        // In this order; the remote control's own notices may come between them.
        qsizetype at = 0;
        for (const QString& line : expected) {
            at = messages.indexOf(line, at);
            QVERIFY2(at >= 0,
                     qPrintable(line + " missing or out of order in:\n" + messages.join('\n')));
        }
        // The normal shutdown ran: the settings file names the port of the session.
        QFile settings(folder + "VuzaRavarede.ini");
        QVERIFY(settings.open(QIODevice::ReadOnly));
        QVERIFY(settings.readAll().contains("PortName=COM3"));
    }

    // Without a window no one could answer the calibration file dialog: the program says where
    // the file belongs and goes on without its table, answering as a cancelled dialog does.
    void noCalibrationCopy() {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const quint16 port = FreePort();
        Program program(folder);
        program.WriteSettings("COM3", port);
        QDir().mkpath(folder + "ports");
        for (int n = 1; n <= 64; ++n)
            if (n != 3)
                QFile::link(folder + "nowhere", folder + QStringLiteral("ports/COM%1").arg(n));
        SimProcess sim;
        QVERIFY2(sim.Start(folder + "ports/COM3", {"--home-ms", "500"}), qPrintable(sim.Failure()));
        QVERIFY(program.Start({"--headless"}));
        QVERIFY2(program.WaitForLine("error: ERRDV10 : No calibration data file."),
                 qPrintable(program.Lines().join('\n')));
        // The session's start ends right after the message.
        QString session;
        QDeadlineTimer deadline(30000);
        while ((session = RunVrRemote(port, {"SESSION"}).Out) == "OPENING\n" &&
               !deadline.hasExpired())
            QTest::qWait(50);
        QCOMPARE(session, QStringLiteral("UNUSABLE,ERRDV10\n"));
        QCOMPARE(program.Terminate(), 0);
        const QStringList told = program.Err.filter(QRegularExpression("^VuzaRavarede: "));
        QVERIFY2(told.size() == 1, qPrintable(program.Err.join('\n')));
        QVERIFY2(told[0].contains(folder + "Cal/F123_ABCD12345678.csv"), qPrintable(told[0]));
    }

    // Whoever read its messages went away (a pipe whose reader ended): the program goes on, and
    // ends normally.
    void readerOfItsMessagesGone() {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const quint16 port = FreePort();
        Program program(folder);
        program.WriteSettings("COM3", port);
        QDir().mkpath(folder + "ports");
        for (int n = 1; n <= 64; ++n)
            QFile::link(folder + "nowhere", folder + QStringLiteral("ports/COM%1").arg(n));
        const QByteArray fifo = QFile::encodeName(folder + "stderr");
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reader >= 0);
        auto closeReader = qScopeGuard([reader] { ::close(reader); });
        program.Process.setStandardErrorFile(QString::fromLocal8Bit(fifo));
        // As a shell starts it: this test's own process ignores SIGPIPE, which a child inherits.
        program.Process.setChildProcessModifier([] { std::signal(SIGPIPE, SIG_DFL); });
        QVERIFY(program.Start({"--headless"}));
        QByteArray seen;
        QDeadlineTimer deadline(60000);
        while (!seen.contains("error: ERRDV01") && !deadline.hasExpired()) {
            pollfd ready = {reader, POLLIN, 0};
            ::poll(&ready, 1, 100);
            char bytes[4096];
            const ssize_t got = ::read(reader, bytes, sizeof bytes);
            if (got > 0) seen.append(bytes, got);
        }
        QVERIFY2(seen.contains("error: ERRDV01"), seen.constData());
        closeReader.dismiss();
        ::close(reader);
        // A refusal puts a new line on the bar, written into the pipe no one reads.
        QCOMPARE(RunVrRemote(port, {"SETC,500,10"}).Out, QStringLiteral("SETC FAIL\n"));
        QCOMPARE(RunVrRemote(port, {"SESSION"}).Out, QStringLiteral("SEARCHING\n"));
        QCOMPARE(program.Terminate(), 0);
    }

    // Started for its window where there is no display, the program says what to do instead of
    // leaving the toolkit to abort.
    void windowWithoutDisplay() {
        QTemporaryDir dir;
        Program program(dir.path() + u'/');
        QVERIFY(program.Start({}));
        QVERIFY(program.Process.waitForFinished(30000));
        QCOMPARE(program.Process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.Process.exitCode(), 2);
        const QStringList lines = program.Lines();
        QVERIFY2(lines.size() == 1 && lines[0].startsWith("VuzaRavarede: no display") &&
                     lines[0].contains("ssh -X") && lines[0].contains("--headless"),
                 qPrintable(lines.join('\n')));
    }

    // The folder for port links exists after the first start wherever it can be made; where it
    // cannot, the program runs all the same and says nothing about it.
    void portsFolderAtStart_data() {
        QTest::addColumn<bool>("blocked");
        QTest::newRow("fresh folder") << false;
        QTest::newRow("a file in its place") << true;
    }
    void portsFolderAtStart() {
        QFETCH(bool, blocked);
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        Program program(folder);
        // A name no machine of ours has a device for, so the first search opens nothing.
        program.WriteSettings("COM32", FreePort());
        if (blocked) {
            QFile file(folder + "ports");
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QVERIFY(program.Start({"--headless"}));
        QVERIFY2(program.WaitForLine("progress: Searching device..."),
                 qPrintable(program.Lines().join('\n')));
        QCOMPARE(program.Terminate(), 0);
        QCOMPARE(QFileInfo(folder + "ports").isDir(), !blocked);
        QCOMPARE(QFileInfo(folder + "ports").isFile(), blocked);
        for (const QString& line : std::as_const(program.Err))
            QVERIFY2(kMessageLine.match(line).hasMatch(), qPrintable(line));
    }
};

QTEST_GUILESS_MAIN(TestEndToEndHeadless)
#include "tst_e2e_headless.moc"
