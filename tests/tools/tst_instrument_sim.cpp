// The instrument simulator seen from the program's end of the line: the answers it gives, its
// faults, its control input, how it hangs up and leaves, and that it matches the sample file.
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kSimulator = QStringLiteral(VR_BIN_DIR "/instrument-sim");
constexpr int kHangBound = 10000; // only a guard against hangs, never a timing expectation
const QByteArray kIdAnswer = "Kravo FM Ver1.0\r";

// One simulator process published as a link, and a serial port opened on that link.
class Simulator {
public:
    Simulator() = default;
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;
    ~Simulator() { stop(); }

    // Starts the simulator and waits for its ready line; the port is not opened yet.
    bool start(const QString& link, const QStringList& args) {
        process.start(kSimulator, QStringList{"--link", link} + args);
        if (!process.waitForStarted(kHangBound)) return false;
        const QList<QByteArray> ready = waitForLine("ready ").split(' ');
        if (ready.size() != 3 || ready[1] != link.toUtf8()) return false;
        devicePath = QString::fromUtf8(ready[2]);
        port.setPortName(link);
        return true;
    }

    bool startAndOpen(const QString& link, const QStringList& args) {
        return start(link, args) && port.open(QIODevice::ReadWrite);
    }

    // The next stdout line that starts with `prefix`, skipping others; empty when none comes.
    QByteArray waitForLine(const QByteArray& prefix) {
        QDeadlineTimer deadline(kHangBound);
        for (;;) {
            pending += process.readAllStandardOutput();
            qsizetype nl;
            while ((nl = pending.indexOf('\n')) >= 0) {
                const QByteArray line = pending.left(nl);
                pending.remove(0, nl + 1);
                if (line.startsWith(prefix)) return line;
            }
            if (deadline.hasExpired()) return {};
            if (process.state() == QProcess::NotRunning && process.bytesAvailable() == 0) return {};
            process.waitForReadyRead(100);
        }
    }

    void control(const QByteArray& line) {
        process.write(line + '\n');
        process.waitForBytesWritten(kHangBound);
    }

    void send(const QByteArray& bytes) {
        port.write(bytes);
        port.waitForBytesWritten(kHangBound);
    }

    // At least `count` bytes (fewer only on a hang), then whatever follows right behind them.
    QByteArray read(qsizetype count) {
        QByteArray got;
        QDeadlineTimer deadline(kHangBound);
        while (got.size() < count && !deadline.hasExpired()) {
            if (port.bytesAvailable() == 0 && !port.waitForReadyRead(100)) continue;
            got += port.readAll();
        }
        if (port.waitForReadyRead(50)) got += port.readAll();
        return got;
    }

    // Whether a command's answer reached the line: the simulator reports each exchange after
    // writing its bytes, so once the report is in, any answer is already waiting to be read.
    bool lineIsQuiet() { return port.bytesAvailable() == 0 && !port.waitForReadyRead(50); }

    bool finishedCleanly() {
        return process.waitForFinished(kHangBound) &&
               process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    void stop() {
        port.close();
        if (process.state() == QProcess::NotRunning) return;
        process.terminate();
        if (!process.waitForFinished(kHangBound)) {
            process.kill();
            process.waitForFinished(kHangBound);
        }
    }

    QProcess process;
    QSerialPort port;
    QString devicePath;

private:
    QByteArray pending;
};

bool LinkExists(const QString& path) {
    return QFileInfo(path).isSymLink();
}

} // namespace

class TestInstrumentSim : public QObject {
    Q_OBJECT
private slots:
    // Each row: options, bytes written in one go, the exact bytes that must come back.
    void answers_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("expected");
        const QStringList none;

        QTest::newRow("identification")
            << none << QByteArray("?\r") << QByteArray("Kravo FM Ver1.0\r");
        QTest::newRow("information fields")
            << none << QByteArray("INFO 0\rINFO 1\rINFO 2\rINFO 3\rINFO 4\r")
            << QByteArray("INFO 0 F123\rINFO 1 ABCD12345678\rINFO 2 400.0-800.0\rINFO 3 V1.00\r"
                          "INFO 4 QVL\r");
        // The POS sent during the move waits for it and sees where the axes arrived.
        QTest::newRow("move, then position") << none << QByteArray("GO 3 6000 0 3000\rPOS 3\r")
                                             << QByteArray("GO 3 6000 0 3000\rPOS 3 6000 0 3000\r");
        QTest::newRow("home returns to zero")
            << QStringList{"--home-ms", "50", "--start-pos", "10,20,30"}
            << QByteArray("POS 3\rHOME 3\rPOS 3\r")
            << QByteArray("POS 3 10 20 30\rG\rPOS 3 0 0 0\r");
        QTest::newRow("switch, stray LF ignored")
            << none << QByteArray("BKEN 1\r\nBKEN 0\r") << QByteArray("BKEN 1\rBKEN 0\r");
        QTest::newRow("refused commands")
            << none
            << QByteArray("GO 3 6001 0 0\rGO 3 1 2\rGO 3 a 0 0\rGO 3 -1 0 0\rGO 2 1 2\rHOME 1\r"
                          "INFO 5\rBKEN 2\rpos 3\rFOO\r")
            << QByteArray("ERR\r").repeated(10);

        QTest::newRow("noise") << QStringList{"--noise", "a\\x01"} << QByteArray("POS 3\r")
                               << QByteArray("a\x01POS 3 0 0 0\r");
        QTest::newRow("lone CR") << QStringList{"--lone-cr"} << QByteArray("?\r")
                                 << QByteArray("\rKravo FM Ver1.0\r");
        QTest::newRow("CR LF") << QStringList{"--crlf"} << QByteArray("?\rPOS 3\r")
                               << QByteArray("Kravo FM Ver1.0\r\nPOS 3 0 0 0\r\n");
        QTest::newRow("short identification") << QStringList{"--id", "Kravo FM Ver1"}
                                              << QByteArray("?\r") << QByteArray("Kravo FM Ver1\r");
        QTest::newRow("home answer") << QStringList{"--home-answer", "OK", "--home-ms", "0"}
                                     << QByteArray("HOME 3\r") << QByteArray("OK\r");
        QTest::newRow("position answer") << QStringList{"--pos-answer", "POS 3 10 -1 30"}
                                         << QByteArray("POS 3\r") << QByteArray("POS 3 10 -1 30\r");
        // The axes still travel behind a verbatim GO answer.
        QTest::newRow("move answer")
            << QStringList{"--go-answer", "POS,3,10,20,30"} << QByteArray("GO 3 1 2 3\rPOS 3\r")
            << QByteArray("POS,3,10,20,30\rPOS 3 1 2 3\r");
        // Only the second GO fails, and its axes stay where the first one put them.
        QTest::newRow("chosen move fails")
            << QStringList{"--go-fail", "2", "--go-ms", "5"}
            << QByteArray("GO 3 1 2 3\rGO 3 4 5 6\rPOS 3\rGO 3 7 8 9\r")
            << QByteArray("GO 3 1 2 3\rERR\rPOS 3 1 2 3\rGO 3 7 8 9\r");
        QTest::newRow("information value")
            << QStringList{"--info", "1=two words", "--info", "0=F999"}
            << QByteArray("INFO 1\rINFO 0\r") << QByteArray("INFO 1 two words\rINFO 0 F999\r");
        QTest::newRow("information answer")
            << QStringList{"--info-answer", "2=INFO 3 x"} << QByteArray("INFO 2\rINFO 3\r")
            << QByteArray("INFO 3 x\rINFO 3 V1.00\r");
        QTest::newRow("inverted switch")
            << QStringList{"--bken-invert"} << QByteArray("BKEN 0\rBKEN 1\r")
            << QByteArray("BKEN 1\rBKEN 0\r");
        QTest::newRow("late answers keep their order")
            << QStringList{"--delay", "30"} << QByteArray("?\rPOS 3\r")
            << QByteArray("Kravo FM Ver1.0\rPOS 3 0 0 0\r");
    }

    void answers() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, expected);
        QTemporaryDir dir;
        Simulator sim;
        QVERIFY(sim.startAndOpen(dir.filePath("ports/COM1"), args));
        sim.send(sent);
        QCOMPARE(sim.read(expected.size()), expected);
    }

    void reportsEachExchange() {
        QTemporaryDir dir;
        Simulator sim;
        QVERIFY(sim.startAndOpen(dir.filePath("COM1"), {"--noise", "\\x01\""}));
        sim.send("B\tX\r?\r");
        QCOMPARE(sim.waitForLine("exchange "), QByteArray(R"(exchange "B\tX" -> "\x01\x22ERR\r")"));
        QCOMPARE(sim.waitForLine("exchange "),
                 QByteArray(R"(exchange "?" -> "\x01\x22Kravo FM Ver1.0\r")"));
    }

    void silentAfterBudget() {
        QTemporaryDir dir;
        Simulator sim;
        QVERIFY(sim.startAndOpen(dir.filePath("COM1"), {"--silent-after", "1"}));
        sim.send("?\r");
        QCOMPARE(sim.read(kIdAnswer.size()), kIdAnswer);
        sim.send("POS 3\r");
        QCOMPARE(sim.waitForLine("exchange "),
                 QByteArray(R"(exchange "?" -> "Kravo FM Ver1.0\r")"));
        QCOMPARE(sim.waitForLine("exchange "), QByteArray(R"(exchange "POS 3" -> (silent))"));
        QVERIFY(sim.lineIsQuiet());
    }

    // Behaviour changed through stdin mid-run; the end of stdin does not end the simulator,
    // and SIGTERM takes the link away.
    void controlInputAndShutdown() {
        QTemporaryDir dir;
        const QString link = dir.filePath("COM1");
        Simulator sim;
        QVERIFY(sim.startAndOpen(link, {}));

        sim.control("silent on");
        QVERIFY(!sim.waitForLine("# silent on").isEmpty());
        sim.send("?\r");
        QCOMPARE(sim.waitForLine("exchange "), QByteArray(R"(exchange "?" -> (silent))"));
        QVERIFY(sim.lineIsQuiet());

        sim.control("silent off");
        sim.control("id Kravo FM Ver2.5 b");
        QVERIFY(!sim.waitForLine("# id ").isEmpty());
        sim.send("?\r");
        const QByteArray changedId = "Kravo FM Ver2.5 b\r";
        QCOMPARE(sim.read(changedId.size()), changedId);

        sim.process.closeWriteChannel();
        QVERIFY(!sim.waitForLine("# end of control input").isEmpty());
        sim.send("POS 3\r");
        const QByteArray position = "POS 3 0 0 0\r";
        QCOMPARE(sim.read(position.size()), position);

        QVERIFY(LinkExists(link));
        sim.process.terminate();
        QVERIFY(sim.finishedCleanly());
        QVERIFY(!LinkExists(link));
    }

    // The program's end must see the line vanish, and the simulator must leave tidily.
    void hangup_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("trigger"); // control line; empty: send a command
        QTest::newRow("after one answered command")
            << QStringList{"--hangup-after", "1"} << QByteArray();
        QTest::newRow("on request") << QStringList{} << QByteArray("hangup");
    }

    void hangup() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, trigger);
        QTemporaryDir dir;
        const QString link = dir.filePath("ports/COM1");
        Simulator sim;
        QVERIFY(sim.startAndOpen(link, args));
        sim.send("?\r");
        QCOMPARE(sim.read(kIdAnswer.size()), kIdAnswer);

        if (trigger.isEmpty()) {
            sim.send("POS 3\r");
            QCOMPARE(sim.waitForLine("exchange \"POS"),
                     QByteArray(R"(exchange "POS 3" -> (hangup))"));
        } else {
            sim.control(trigger);
        }
        QVERIFY(sim.finishedCleanly());
        QVERIFY(!LinkExists(link));

        QDeadlineTimer deadline(kHangBound);
        while (!deadline.hasExpired()) {
            if (sim.port.error() == QSerialPort::TimeoutError) sim.port.clearError();
            if (sim.port.error() != QSerialPort::NoError) break;
            sim.port.waitForReadyRead(100);
        }
        QVERIFY2(sim.port.error() == QSerialPort::ReadError ||
                     sim.port.error() == QSerialPort::ResourceError,
                 qPrintable(sim.port.errorString()));
    }

    void chatterBetweenExchanges() {
        QTemporaryDir dir;
        Simulator sim;
        QVERIFY(
            sim.startAndOpen(dir.filePath("COM1"), {"--chatter", "ab\\r", "--chatter-ms", "20"}));
        QVERIFY(sim.read(6).startsWith("ab\rab\r"));
    }

    // A write larger than what the simulator keeps pending for a line that is not read still
    // goes out whole.
    void largeWritesAreSentWhole_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("expected");
        const QString text(100 * 1024, u'n');
        QTest::newRow("noise") << QStringList{"--noise", text}
                               << text.toLatin1() + "Kravo FM Ver1.0\r";
        QTest::newRow("chatter") << QStringList{"--chatter", text, "--chatter-ms", "50"}
                                 << text.toLatin1();
    }
    void largeWritesAreSentWhole() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, expected);
        QTemporaryDir dir;
        Simulator sim;
        QVERIFY(sim.startAndOpen(dir.filePath("COM1"), args));
        if (args.first() == "--noise") sim.send("?\r");
        QByteArray got;
        QDeadlineTimer deadline(kHangBound);
        while (got.size() < expected.size() && !deadline.hasExpired()) {
            // The simulator reports the whole write on its output too: keep that flowing.
            sim.process.readAllStandardOutput();
            sim.process.waitForReadyRead(0);
            if (sim.port.waitForReadyRead(20)) got += sim.port.readAll();
        }
        QCOMPARE(got.left(expected.size()), expected);
    }

    void linkPlacement() {
        QTemporaryDir dir;
        // A dangling link left by an earlier run is replaced.
        const QString stale = dir.filePath("ports/COM1");
        QVERIFY(QDir().mkpath(dir.filePath("ports")));
        QVERIFY(QFile::link(dir.filePath("gone"), stale));
        {
            Simulator sim;
            QVERIFY(sim.start(stale, {}));
            QCOMPARE(QFileInfo(stale).symLinkTarget(), sim.devicePath);
        }
        QVERIFY(!LinkExists(stale));

        // Anything else at that name is someone's file: left alone, and the simulator fails.
        const QString file = dir.filePath("ports/COM2");
        {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("keep");
        }
        QProcess refused;
        refused.start(kSimulator, {"--link", file});
        QVERIFY(refused.waitForFinished(kHangBound));
        QCOMPARE(refused.exitCode(), 1);
        QVERIFY(QFileInfo(file).isFile());
    }

    // The simulator's defaults describe the instrument of the sample calibration file.
    void defaultsMatchSampleFile() {
        QFile sample(QStringLiteral(VR_SOURCE_DIR "/samples/20180315_F123_ABCD12345678.csv"));
        QVERIFY(sample.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = sample.readAll().split('\n');
        QVERIFY(lines.size() > 8);
        const QByteArray model = lines[0].trimmed().split(',').value(1);
        const QByteArray serial = lines[1].trimmed().split(',').value(2);
        const QByteArray firstCwl = lines[6].split(',').value(1);
        const QByteArray lastCwl = lines[lines.size() - 2].split(',').value(1);

        QTemporaryDir dir;
        Simulator sim;
        QVERIFY(sim.startAndOpen(dir.filePath("COM1"), {}));
        sim.send("INFO 0\rINFO 1\rINFO 2\r");
        const QByteArray expected = "INFO 0 " + model + "\rINFO 1 " + serial + "\rINFO 2 " +
                                    firstCwl + '-' + lastCwl + '\r';
        QCOMPARE(sim.read(expected.size()), expected);
        QCOMPARE(expected, QByteArray("INFO 0 F123\rINFO 1 ABCD12345678\rINFO 2 400.0-800.0\r"));
    }
};

QTEST_GUILESS_MAIN(TestInstrumentSim)
#include "tst_instrument_sim.moc"
