// The instrument driver over an in-memory port: opening and closing, the receive buffer, one
// exchange with answer recognition, the instrument's commands and the communication log.
#include "DriverRig.h"
#include "RunCommand.h"

#include "core/Unit_EventPump.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using Bytes = QList<QByteArray>;

namespace {

int CountOf(const QStringList& lines, const QString& text) {
    return int(lines.count(text));
}

bool AnyStartsWith(const QStringList& lines, const QString& prefix) {
    for (const QString& line : lines)
        if (line.startsWith(prefix)) return true;
    return false;
}

} // namespace

class TestDeviceDriver : public QObject {
    Q_OBJECT
private slots:
    // ---- Open and Close --------------------------------------------------------------------

    void open_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("baud");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("rate");
        QTest::newRow("COM3") << "COM3"
                              << "38400" << true << 38400;
        QTest::newRow("COM64") << "COM64"
                               << "38400" << true << 38400;
        QTest::newRow("standard rate 115200") << "COM1"
                                              << "115200" << true << 115200;
        QTest::newRow("standard rate 110") << "COM1"
                                           << "110" << true << 110;
        QTest::newRow("other rate opens at 9600") << "COM1"
                                                  << "12345" << true << 9600;
        QTest::newRow("lowest accepted rate") << "COM1"
                                              << "100" << true << 9600;
        QTest::newRow("lower case") << "com3"
                                    << "38400" << false << 0;
        QTest::newRow("no number") << "COM"
                                   << "38400" << false << 0;
        QTest::newRow("number 0") << "COM0"
                                  << "38400" << false << 0;
        QTest::newRow("not a number") << "COMx"
                                      << "38400" << false << 0;
        QTest::newRow("negative") << "COM-1"
                                  << "38400" << false << 0;
        QTest::newRow("other kind of port") << "LPT1"
                                            << "38400" << false << 0;
        QTest::newRow("rate below 100") << "COM3"
                                        << "99" << false << 0;
        QTest::newRow("rate not a number") << "COM3"
                                           << "fast" << false << 0;
        QTest::newRow("rate empty") << "COM3"
                                    << "" << false << 0;
    }
    void open() {
        QFETCH(QString, name);
        QFETCH(QString, baud);
        QFETCH(bool, ok);
        QFETCH(int, rate);
        DriverRig rig;
        QCOMPARE(rig.dev.Open(name, baud), ok);
        QCOMPARE(rig.dev.Opened, ok);
        if (!ok) {
            QCOMPARE(rig.portsMade, 0);
            QVERIFY(!rig.dev.Port);
            QCOMPARE(rig.Log(), QStringList());
            return;
        }
        QVERIFY(rig.port);
        QCOMPARE(rig.port->openedName, name);
        QCOMPARE(rig.port->openedRate, rate);
        QCOMPARE(rig.Log(), QStringList{QStringLiteral("Open <%1,%2> Success").arg(name, baud)});
    }

    void open_twice_keeps_first_port() {
        DriverRig rig;
        QVERIFY(rig.Open());
        TSerialPortBase* first = rig.dev.Port.get();
        QVERIFY(!rig.dev.Open(QStringLiteral("COM4"), QStringLiteral("38400")));
        QCOMPARE(rig.dev.Port.get(), first);
        QVERIFY(rig.dev.IsReady());
        QCOMPARE(rig.portsMade, 1);
        QCOMPARE(rig.Log().size(), 1);
    }

    void open_port_refuses() {
        DriverRig rig;
        rig.setup = [](FakeSerialPort& p) { p.openResult = false; };
        QVERIFY(!rig.Open());
        QVERIFY(!rig.dev.Opened);
        QVERIFY(!rig.dev.Port);
        QVERIFY(!rig.port); // the half-made port is released
        QCOMPARE(rig.Log(), (QStringList{"Close", "Open Fail"}));
        // The driver can be opened again afterwards.
        rig.setup = nullptr;
        QVERIFY(rig.Open());
    }

    void open_resets_session_not_buffer() {
        DriverRig rig;
        rig.dev.DeviceId = QStringLiteral("old");
        rig.dev.Info = {"a", "b", "c", "d", "e"};
        rig.dev.Position = {1, 2, 3};
        rig.dev.ResponseOk = rig.dev.ResponseComplete = true;
        rig.dev.RxBuffer[0] = 'x';
        rig.dev.RxBuffer[1] = 'y';
        rig.dev.RxCount = 2;
        QVERIFY(rig.Open());
        QVERIFY(rig.dev.DeviceId.isEmpty());
        for (const QString& info : rig.dev.Info)
            QVERIFY(info.isEmpty());
        QCOMPARE(rig.dev.Position, (std::array<qint32, 3>{0, 0, 0}));
        QVERIFY(!rig.dev.ResponseOk);
        QVERIFY(!rig.dev.ResponseComplete);
        QCOMPARE(rig.dev.RxCount, 2);
        QCOMPARE(rig.dev.RxBuffer[1], quint8('y'));
    }

    void close_always_logs() {
        DriverRig rig;
        rig.dev.Close();
        QCOMPARE(rig.Log(), QStringList{"Close"});
        QVERIFY(rig.Open());
        rig.dev.Close();
        QVERIFY(!rig.dev.Opened);
        QVERIFY(!rig.dev.Port);
        QVERIFY(!rig.port);
        rig.dev.Close();
        QCOMPARE(rig.LogSince(2), (QStringList{"Close", "Close"}));
    }

    void destruction_closes() {
        QTemporaryDir dir;
        QString logPath;
        QPointer<FakeSerialPort> port;
        {
            TDevice_VuzaRavarede dev;
            dev.SetPortFactory([&] {
                auto made = std::make_unique<FakeSerialPort>();
                port = made.get();
                return std::unique_ptr<TSerialPortBase>(std::move(made));
            });
            QVERIFY(dev.StartLog(dir.path()));
            logPath = dev.LogFolder + "Log " + dev.LogStamp + ".ini";
            QVERIFY(dev.Open("COM3", "38400"));
            QVERIFY(port);
        }
        QVERIFY(!port);
        QCOMPARE(ReadLogTexts(logPath).last(), QStringLiteral("Close"));
    }

    // ---- Receive buffer ----------------------------------------------------------------------

    void not_ready_data() {
        QTest::addColumn<bool>("open");
        QTest::newRow("closed") << false;
        QTest::newRow("line vanished") << true;
    }
    void not_ready() {
        QFETCH(bool, open);
        DriverRig rig;
        if (open) {
            QVERIFY(rig.Open());
            rig.port->Vanish();
            EventPump::PumpOnce();
        }
        rig.dev.RxBuffer[0] = 'a';
        rig.dev.RxBuffer[1] = 'b';
        rig.dev.RxCount = 2;
        const qsizetype logged = rig.Log().size();
        QVERIFY(!rig.dev.IsReady());
        QVERIFY(!rig.dev.ClearBuffer());
        QVERIFY(!rig.dev.ShiftBuffer());
        QVERIFY(!rig.dev.SendCommand("?"));
        QVERIFY(!rig.dev.SendCommand("INFO", 1));
        QVERIFY(!rig.dev.SendCommand("GO", 1, 2, 3));
        QVERIFY(!rig.dev.SendCommand("BKEN", false));
        QCOMPARE(rig.dev.RxCount, 2);
        QCOMPARE(rig.LogSince(logged), QStringList());
        if (open) QVERIFY(rig.port->written.isEmpty());
    }

    void clearBuffer_data() {
        QTest::addColumn<bool>("purges");
        QTest::newRow("purged") << true;
        QTest::newRow("purge fails") << false;
    }
    void clearBuffer() {
        QFETCH(bool, purges);
        DriverRig rig;
        QVERIFY(rig.Open());
        rig.port->Arrive("abc");
        EventPump::PumpOnce();
        QCOMPARE(rig.dev.RxCount, 3);
        rig.port->purgeResult = purges;
        const qsizetype logged = rig.Log().size();
        QCOMPARE(rig.dev.ClearBuffer(), purges);
        QCOMPARE(rig.port->purges, 1);
        if (purges) {
            QCOMPARE(rig.dev.RxCount, 0);
            for (quint8 byte : rig.dev.RxBuffer)
                QCOMPARE(byte, quint8(0));
            QCOMPARE(rig.LogSince(logged), QStringList{"Clear Buffer Success"});
        } else {
            QCOMPARE(rig.dev.RxCount, 3);
            QCOMPARE(rig.LogSince(logged), QStringList{"Clear Buffer Fail"});
        }
    }

    void shiftBuffer_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("one byte") << QByteArray("A") << QByteArray();
        QTest::newRow("two bytes") << QByteArray("AB") << QByteArray("B");
        QTest::newRow("five bytes") << QByteArray("ABCDE") << QByteArray("BCDE");
        QTest::newRow("full buffer") << QByteArray(1023, 'x') + 'y' << QByteArray(1022, 'x') + 'y';
    }
    void shiftBuffer() {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        DriverRig rig;
        QVERIFY(rig.Open());
        rig.dev.RxBuffer.fill(0x55);
        std::copy(before.begin(), before.end(), rig.dev.RxBuffer.begin());
        rig.dev.RxCount = int(before.size());
        const qsizetype logged = rig.Log().size();
        QVERIFY(rig.dev.ShiftBuffer());
        QCOMPARE(rig.dev.RxCount, int(after.size()));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(rig.dev.RxBuffer.data()), after.size()),
                 after);
        if (before.size() < 2)
            for (quint8 byte : rig.dev.RxBuffer)
                QCOMPARE(byte, quint8(0));
        QCOMPARE(rig.LogSince(logged), QStringList{"Shift Buffer Success"});
    }

    void receive_overflow_drops_excess() {
        DriverRig rig;
        QVERIFY(rig.Open());
        QByteArray first(1024, '\0');
        for (int i = 0; i < first.size(); ++i)
            first[i] = char(i * 7);
        first[1023] = 'z'; // not a CR: no answer to judge
        rig.port->Arrive(first);
        rig.port->Arrive("!");
        EventPump::PumpOnce();
        QCOMPARE(rig.dev.RxCount, 1024);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(rig.dev.RxBuffer.data()), 1024), first);
        const QStringList log = rig.Log();
        QCOMPARE(log.at(log.size() - 2), QStringLiteral("OnRxChar (1) #{21}#"));
        QVERIFY(log.last().startsWith(QStringLiteral("RxBuffer (1024) #{00}{07}{0E}")));
        QVERIFY(log.last().endsWith(QStringLiteral("{7A}#")));
    }

    // ---- One exchange: answer recognition ----------------------------------------------------

    void parse_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<Bytes>("arrivals");
        QTest::addColumn<int>("timeOut");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("shifts");
        // Waits that must end on a complete answer get a long time-out, so ending early shows.
        const int LONG = 5000, SHORT = 300;
        QTest::newRow("id accepted")
            << "?" << Bytes{"Kravo FM Ver1.0\r"} << LONG << true << true << "Kravo FM Ver1.0" << 0;
        QTest::newRow("id too short fails at once")
            << "?" << Bytes{"Kravo FM Ver1\r"} << LONG << false << true << "Kravo FM Ver1" << 0;
        QTest::newRow("id after two stray bytes") << "?" << Bytes{"xyKravo FM Ver1.0\r"} << LONG
                                                  << true << true << "Kravo FM Ver1.0" << 2;
        QTest::newRow("stray bytes in their own arrival")
            << "?" << Bytes{"xy", "Kravo FM Ver1.0\r"} << LONG << true << true << "Kravo FM Ver1.0"
            << 2;
        QTest::newRow("wrong id shifted until too short")
            << "?" << Bytes{"Kravo FX Ver1.0xx\r"} << LONG << false << true << "vo FX Ver1.0xx"
            << 3;
        QTest::newRow("HOME G") << "HOME" << Bytes{"G\r"} << LONG << true << true << "G" << 0;
        QTest::newRow("HOME OK shifted away, then time-out")
            << "HOME" << Bytes{"OK\r"} << SHORT << false << false << "K" << 2;
        QTest::newRow("lone CR first")
            << "POS" << Bytes{"\r", "POS 3 1 2 3\r"} << LONG << true << true << "POS 3 1 2 3" << 1;
        QTest::newRow("lone CR in the same arrival")
            << "POS" << Bytes{"\rPOS 3 1 2 3\r"} << LONG << true << true << "POS 3 1 2 3" << 1;
        QTest::newRow("earlier line before the answer")
            << "POS" << Bytes{"zz\rPOS 3 1 2 3\r"} << LONG << true << true << "POS 3 1 2 3" << 3;
        QTest::newRow("CR LF never recognised")
            << "POS" << Bytes{"POS 3 1 2 3\r\n"} << SHORT << false << false << "before" << 0;
        QTest::newRow("POS too short")
            << "POS" << Bytes{"POS 3\r"} << LONG << false << true << "POS 3" << 0;
        QTest::newRow("case matters")
            << "POS" << Bytes{"pos 3 1 2 3\r"} << LONG << false << true << " 1 2 3" << 5;
        QTest::newRow("GO accepted") << "GO" << Bytes{"GO 3 6000 0 6000\r"} << LONG << true << true
                                     << "GO 3 6000 0 6000" << 0;
        QTest::newRow("GO too short")
            << "GO" << Bytes{"GO 3\r"} << LONG << false << true << "GO 3" << 0;
        QTest::newRow("INFO accepted")
            << "INFO" << Bytes{"INFO 0 F123\r"} << LONG << true << true << "INFO 0 F123" << 0;
        QTest::newRow("INFO too short")
            << "INFO" << Bytes{"INFO 0 \r"} << LONG << false << true << "INFO 0 " << 0;
        QTest::newRow("BKEN accepted")
            << "BKEN" << Bytes{"BKEN 0\r"} << LONG << true << true << "BKEN 0" << 0;
        QTest::newRow("unknown command: complete, failed, text kept")
            << "XYZ" << Bytes{"anything\r"} << LONG << false << true << "before" << 0;
        QTest::newRow("nothing arrives")
            << "POS" << Bytes{} << SHORT << false << false << "before" << 0;
        // A later arrival makes the buffer incomplete again; the wait then runs to its time-out
        // and still reports the answer judged before.
        QTest::newRow("stray byte after the answer")
            << "POS" << Bytes{"POS 3 1 2 3\r", "x"} << SHORT << true << false << "POS 3 1 2 3" << 0;
    }
    void parse() {
        QFETCH(QString, command);
        QFETCH(Bytes, arrivals);
        QFETCH(int, timeOut);
        QFETCH(bool, ok);
        QFETCH(bool, complete);
        QFETCH(QString, text);
        QFETCH(int, shifts);
        DriverRig rig;
        QVERIFY(rig.Open());
        QVERIFY(rig.dev.ClearBuffer());
        rig.dev.ResponseText = QStringLiteral("before");
        QVERIFY(rig.dev.SendCommand(command));
        for (const QByteArray& bytes : arrivals)
            rig.port->Arrive(bytes);
        const qsizetype logged = rig.Log().size();
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.dev.WaitResponse(timeOut), ok);
        const qint64 elapsed = clock.elapsed();
        QCOMPARE(rig.dev.ResponseOk, ok);
        QCOMPARE(rig.dev.ResponseComplete, complete);
        QCOMPARE(rig.dev.ResponseText, text);
        const QStringList log = rig.LogSince(logged);
        QCOMPARE(CountOf(log, "Shift Buffer Success"), shifts);
        QCOMPARE(log.first(), QStringLiteral("Wait Response Start"));
        QCOMPARE(log.last(), QStringLiteral("Wait Response End"));
        if (complete)
            QVERIFY2(elapsed < timeOut, "a complete answer ends the wait before its time-out");
        else
            QVERIFY2(elapsed >= timeOut, "without a complete answer the wait runs its time-out");
    }

    // Resynchronising needs a ready driver; without one the parser gives up instead of looping
    // on a buffer that can no longer shrink.
    void parse_gives_up_when_line_lost() {
        DriverRig rig;
        QVERIFY(rig.Open());
        QVERIFY(rig.dev.SendCommand("POS", 3));
        rig.port->Vanish();
        const QByteArray stale("xxPOS 3 1 2 3\r");
        std::copy(stale.begin(), stale.end(), rig.dev.RxBuffer.begin());
        rig.dev.RxCount = int(stale.size());
        QVERIFY(!rig.dev.ParseResponse());
        QCOMPARE(rig.dev.RxCount, int(stale.size()));
    }

    // The wait leaves at its next test when the line goes away underneath it.
    void wait_ends_when_line_goes_data() {
        QTest::addColumn<bool>("nestedClose");
        QTest::newRow("line vanishes") << false;
        QTest::newRow("closed by a nested handler") << true;
    }
    void wait_ends_when_line_goes() {
        QFETCH(bool, nestedClose);
        DriverRig rig;
        QVERIFY(rig.Open());
        rig.dev.SetTimeOut(5000);
        QTimer::singleShot(250, &rig.dev, [&] {
            if (nestedClose)
                rig.dev.Close();
            else
                rig.port->Vanish();
        });
        const qsizetype logged = rig.Log().size();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!rig.dev.CommandPos());
        QVERIFY2(clock.elapsed() < 5000, "the wait must not run into its time-out");
        const QStringList log = rig.LogSince(logged);
        QCOMPARE(log.last(), QStringLiteral("Command <POS> Fail"));
        QCOMPARE(rig.dev.Opened, !nestedClose);
        if (nestedClose) {
            QCOMPARE(CountOf(log, "Close"), 1);
            return;
        }
        QCOMPARE(CountOf(log, "OnError"), 1);
        QCOMPARE(CountOf(log, "+ IO Error"), 1);
        QVERIFY(rig.dev.Port);
        QVERIFY(!rig.dev.Port->isConnected());
        // Later commands fail without touching the line.
        const qsizetype before = rig.Log().size();
        QVERIFY(!rig.dev.CommandPos());
        QCOMPARE(rig.LogSince(before), QStringList{"Command <POS> Fail"});
        QCOMPARE(rig.port->written.size(), 1);
    }

    void onError_data() {
        QTest::addColumn<quint32>("errors");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<bool>("lost");
        QTest::newRow("none") << quint32(0) << QStringList{"OnError"} << false;
        QTest::newRow("I/O") << LineErrorBits::IO << QStringList{"OnError", "+ IO Error"} << true;
        QTest::newRow("frame and break")
            << (LineErrorBits::Frame | LineErrorBits::Break)
            << QStringList{"OnError", "+ Frame Error", "+ Break Error"} << false;
        QTest::newRow("all, in table order")
            << quint32(0xFF) << QStringList{"OnError",         "+ Frame Error",  "+ RxParity Error",
                                            "+ Overrun Error", "+ Break Error",  "+ IO Error",
                                            "+ Mode Error",    "+ RxOver Error", "+ TxFull Error"}
            << true;
        QTest::newRow("unknown bits ignored") << quint32(0x100 | LineErrorBits::TxFull)
                                              << QStringList{"OnError", "+ TxFull Error"} << false;
    }
    // Only an I/O error means the far end is gone; the other kinds are logged and the line kept.
    void onError() {
        QFETCH(quint32, errors);
        QFETCH(QStringList, lines);
        QFETCH(bool, lost);
        DriverRig rig;
        QVERIFY(rig.Open());
        QSignalSpy lineLost(&rig.dev, &TDevice_VuzaRavarede::LineLost);
        const bool ready = rig.dev.IsReady();
        rig.dev.OnError(errors);
        QCOMPARE(rig.LogSince(1), lines);
        QCOMPARE(rig.dev.IsReady(), ready);
        QCOMPARE(lineLost.size(), lost ? 1 : 0);
    }

    void setTimeOut_data() {
        QTest::addColumn<int>("ms");
        QTest::addColumn<int>("stored");
        QTest::newRow("0") << 0 << 100;
        QTest::newRow("negative") << -5 << 100;
        QTest::newRow("1") << 1 << 1;
        QTest::newRow("50") << 50 << 50;
        QTest::newRow("60000") << 60000 << 60000;
        QTest::newRow("70000") << 70000 << 60000;
    }
    void setTimeOut() {
        QFETCH(int, ms);
        QFETCH(int, stored);
        DriverRig rig;
        QCOMPARE(rig.dev.TimeOut, 1000);
        rig.dev.SetTimeOut(ms);
        QCOMPARE(rig.dev.TimeOut, stored);
        QCOMPARE(rig.Log(), QStringList{QStringLiteral("Set TimeOut <%1>").arg(stored)});
    }

    // ---- One exchange: sending ---------------------------------------------------------------

    void sendCommand_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QList<int>>("args"); // none, index, three positions
        QTest::addColumn<int>("on");          // -1: not the switch form, 0/1 the switch
        QTest::addColumn<QByteArray>("sent"); // empty: refused, nothing sent
        QTest::newRow("name only") << "?" << QList<int>{} << -1 << QByteArray("?\r");
        QTest::newRow("index 0") << "INFO" << QList<int>{0} << -1 << QByteArray("INFO 0\r");
        QTest::newRow("index 4") << "INFO" << QList<int>{4} << -1 << QByteArray("INFO 4\r");
        QTest::newRow("index 5") << "INFO" << QList<int>{5} << -1 << QByteArray();
        QTest::newRow("index -1") << "INFO" << QList<int>{-1} << -1 << QByteArray();
        QTest::newRow("positions")
            << "GO" << QList<int>{6000, 0, 6000} << -1 << QByteArray("GO 3 6000 0 6000\r");
        QTest::newRow("negative position") << "GO" << QList<int>{10, -1, 20} << -1 << QByteArray();
        QTest::newRow("switch on") << "BKEN" << QList<int>{} << 1 << QByteArray("BKEN 1\r");
        QTest::newRow("switch off") << "BKEN" << QList<int>{} << 0 << QByteArray("BKEN 0\r");
        QTest::newRow("empty name") << "" << QList<int>{} << -1 << QByteArray();
        QTest::newRow("empty name, index") << "" << QList<int>{1} << -1 << QByteArray();
        QTest::newRow("empty name, positions") << "" << QList<int>{1, 2, 3} << -1 << QByteArray();
        QTest::newRow("empty name, switch") << "" << QList<int>{} << 1 << QByteArray();
        QTest::newRow("characters go as their low 8 bits")
            << QString::fromUtf8("\xC3\xA9\xE2\x82\xAC") << QList<int>{} << -1
            << QByteArray("\xE9\xAC\r");
    }
    void sendCommand() {
        QFETCH(QString, name);
        QFETCH(QList<int>, args);
        QFETCH(int, on);
        QFETCH(QByteArray, sent);
        DriverRig rig;
        QVERIFY(rig.Open());
        rig.dev.LastCommand = QStringLiteral("previous");
        const qsizetype logged = rig.Log().size();
        bool result = false;
        if (on >= 0)
            result = rig.dev.SendCommand(name, on == 1);
        else if (args.size() == 1)
            result = rig.dev.SendCommand(name, args[0]);
        else if (args.size() == 3)
            result = rig.dev.SendCommand(name, args[0], args[1], args[2]);
        else
            result = rig.dev.SendCommand(name);
        QCOMPARE(result, !sent.isEmpty());
        if (sent.isEmpty()) {
            QVERIFY(rig.port->written.isEmpty());
            QCOMPARE(rig.LogSince(logged), QStringList());
            QCOMPARE(rig.dev.LastCommand, QStringLiteral("previous"));
            return;
        }
        QCOMPARE(rig.port->written, Bytes{sent});
        QCOMPARE(rig.port->writeTimeouts, QList<int>{1000 + 100 * int(sent.size())});
        QCOMPARE(rig.dev.LastCommand, name);
        // The log holds the line as it went out, in 8 bits.
        const QString line8 = QString::fromLatin1(sent.chopped(1));
        QCOMPARE(rig.dev.LastCommandLine, args.isEmpty() && on < 0 ? name : line8);
        QCOMPARE(rig.LogSince(logged), QStringList{QStringLiteral("Send Command <%1>").arg(line8)});
    }

    void sendCommand_write_fails() {
        DriverRig rig;
        QVERIFY(rig.Open());
        rig.port->writeResult = false;
        QVERIFY(!rig.dev.SendCommand("POS", 3));
        QCOMPARE(rig.dev.LastCommandLine, QStringLiteral("POS 3"));
        QCOMPARE(rig.Log().last(), QStringLiteral("Send Command Fail"));
    }

    // ---- Instrument commands -----------------------------------------------------------------

    void commands_data() {
        QTest::addColumn<QString>("op");
        QTest::addColumn<QList<int>>("args");
        QTest::addColumn<QByteArray>("answer"); // empty: the instrument stays silent
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("sent"); // empty: nothing may be sent
        QTest::addColumn<QString>("result");  // the command's last log line; empty: none at all
        QTest::addColumn<QList<int>>("positions");
        QTest::addColumn<QString>("value"); // DeviceId or the Info text asked for

        const QList<int> kept{1, 2, 3}; // positions before the command
        const QList<int> none;
        QTest::newRow("DEVICE") << "DEVICE" << none << QByteArray("Kravo FM Ver1.0\r") << 0 << true
                                << QByteArray("?\r") << "Command <DEVICE> Success : Kravo FM Ver1.0"
                                << kept << "Kravo FM Ver1.0";
        QTest::newRow("DEVICE short id")
            << "DEVICE" << none << QByteArray("Kravo FM Ver1\r") << 0 << false << QByteArray("?\r")
            << "Command <DEVICE> Fail" << kept << "";
        QTest::newRow("DEVICE silent")
            << "DEVICE" << none << QByteArray() << 0 << false << QByteArray("?\r")
            << "Command <DEVICE> Fail" << kept << "";
        QTest::newRow("HOME waits beyond TimeOut")
            << "HOME" << none << QByteArray("G\r") << 700 << true << QByteArray("HOME 3\r")
            << "Command <HOME> Success : All" << QList<int>{0, 0, 0} << "";
        QTest::newRow("POS") << "POS" << none << QByteArray("POS 3 10 20 30\r") << 0 << true
                             << QByteArray("POS 3\r") << "Command <POS> Success : 10/20/30"
                             << QList<int>{10, 20, 30} << "";
        QTest::newRow("POS with commas")
            << "POS" << none << QByteArray("POS,3,10,20,30\r") << 0 << true << QByteArray("POS 3\r")
            << "Command <POS> Success : 10/20/30" << QList<int>{10, 20, 30} << "";
        QTest::newRow("POS two axes") << "POS" << none << QByteArray("POS 2 10 20 30\r") << 0
                                      << false << QByteArray("POS 3\r") << "" << kept << "";
        QTest::newRow("POS two positions") << "POS" << none << QByteArray("POS 3 10 20\r") << 0
                                           << false << QByteArray("POS 3\r") << "" << kept << "";
        QTest::newRow("POS negative position")
            << "POS" << none << QByteArray("POS 3 10 -1 30\r") << 0 << false
            << QByteArray("POS 3\r") << "" << kept << "";
        QTest::newRow("POS not a number") << "POS" << none << QByteArray("POS 3 10 2x 30\r") << 0
                                          << false << QByteArray("POS 3\r") << "" << kept << "";
        QTest::newRow("POS late") << "POS" << none << QByteArray("POS 3 10 20 30\r") << 700 << false
                                  << QByteArray("POS 3\r") << "Command <POS> Fail" << kept << "";
        QTest::newRow("GO limits")
            << "GO" << QList<int>{6000, 0, 6000} << QByteArray("GO 3 6000 0 6000\r") << 0 << true
            << QByteArray("GO 3 6000 0 6000\r") << "Command <GO> Success : 6000/0/6000"
            << QList<int>{6000, 0, 6000} << "";
        QTest::newRow("GO stores the answered positions")
            << "GO" << QList<int>{10, 20, 30} << QByteArray("GO 3 11 21 31\r") << 0 << true
            << QByteArray("GO 3 10 20 30\r") << "Command <GO> Success : 11/21/31"
            << QList<int>{11, 21, 31} << "";
        QTest::newRow("GO 6001") << "GO" << QList<int>{6001, 0, 0} << QByteArray("GO 3 1 1 1\r")
                                 << 0 << false << QByteArray() << "" << kept << "";
        QTest::newRow("GO -1") << "GO" << QList<int>{0, -1, 0} << QByteArray("GO 3 1 1 1\r") << 0
                               << false << QByteArray() << "" << kept << "";
        QTest::newRow("GO malformed")
            << "GO" << QList<int>{1, 2, 3} << QByteArray("GO 3 1 x 3\r") << 0 << false
            << QByteArray("GO 3 1 2 3\r") << "" << kept << "";
        QTest::newRow("GO silent")
            << "GO" << QList<int>{1, 2, 3} << QByteArray() << 0 << false
            << QByteArray("GO 3 1 2 3\r") << "Command <GO> Fail" << kept << "";
        QTest::newRow("INFO 2") << "INFO" << QList<int>{2} << QByteArray("INFO 2 400.0-800.0\r")
                                << 0 << true << QByteArray("INFO 2\r")
                                << "Command <INFO> Success : Read INFO3=400.0-800.0" << kept
                                << "400.0-800.0";
        QTest::newRow("INFO two words read as empty")
            << "INFO" << QList<int>{1} << QByteArray("INFO 1 two words\r") << 0 << true
            << QByteArray("INFO 1\r") << "Command <INFO> Success : Read INFO2=" << kept << "";
        QTest::newRow("INFO for another index read as empty")
            << "INFO" << QList<int>{1} << QByteArray("INFO 2 ABCD1234\r") << 0 << true
            << QByteArray("INFO 1\r") << "Command <INFO> Success : Read INFO2=" << kept << "";
        QTest::newRow("INFO 5") << "INFO" << QList<int>{5} << QByteArray("INFO 5 x\r") << 0 << false
                                << QByteArray() << "" << kept << "old";
        QTest::newRow("INFO -1") << "INFO" << QList<int>{-1} << QByteArray("INFO 0 x\r") << 0
                                 << false << QByteArray() << "" << kept << "old";
        QTest::newRow("INFO silent")
            << "INFO" << QList<int>{0} << QByteArray() << 0 << false << QByteArray("INFO 0\r")
            << "Command <INFO> Fail" << kept << "old";
        QTest::newRow("BKEN off answered on")
            << "BKEN" << QList<int>{0} << QByteArray("BKEN 1\r") << 0 << true
            << QByteArray("BKEN 0\r") << "Command <BKEN> Success : ON" << kept << "";
        QTest::newRow("BKEN on answered off")
            << "BKEN" << QList<int>{1} << QByteArray("BKEN 0\r") << 0 << true
            << QByteArray("BKEN 1\r") << "Command <BKEN> Success : OFF" << kept << "";
        QTest::newRow("BKEN other state")
            << "BKEN" << QList<int>{0} << QByteArray("BKEN x\r") << 0 << false
            << QByteArray("BKEN 0\r") << "Command <BKEN> Fail" << kept << "";
    }
    void commands() {
        QFETCH(QString, op);
        QFETCH(QList<int>, args);
        QFETCH(QByteArray, answer);
        QFETCH(int, delayMs);
        QFETCH(bool, ok);
        QFETCH(QByteArray, sent);
        QFETCH(QString, result);
        QFETCH(QList<int>, positions);
        QFETCH(QString, value);
        DriverRig rig;
        QVERIFY(rig.Open());
        rig.dev.SetTimeOut(300);
        rig.AnswerWith(answer, delayMs);
        rig.dev.Position = {1, 2, 3};
        rig.dev.Info = {"old", "old", "old", "old", "old"};
        const qsizetype logged = rig.Log().size();

        const bool done = RunCommand(rig.dev, op, args);
        QCOMPARE(done, ok);

        const QStringList log = rig.LogSince(logged);
        if (sent.isEmpty()) {
            QVERIFY(rig.port->written.isEmpty());
            QCOMPARE(log, QStringList());
        } else {
            QCOMPARE(rig.port->written, Bytes{sent});
            QCOMPARE(log.first(), QStringLiteral("Clear Buffer Success"));
            if (result.isEmpty()) {
                QVERIFY2(!AnyStartsWith(log, "Command <"), qPrintable(log.join(" | ")));
                QCOMPARE(log.last(), QStringLiteral("Wait Response End"));
            } else {
                QCOMPARE(log.last(), result);
            }
        }
        QCOMPARE(QList<int>(rig.dev.Position.begin(), rig.dev.Position.end()), positions);
        if (op == "DEVICE") QCOMPARE(rig.dev.DeviceId, value);
        if (op == "INFO" && args[0] >= 0 && args[0] <= 4) {
            QCOMPARE(rig.dev.Info[args[0]], value);
            QCOMPARE(rig.dev.GetInfo(args[0]), value);
        }
    }

    void commands_need_open_driver() {
        DriverRig rig;
        QVERIFY(!rig.dev.CommandDevice());
        QVERIFY(!rig.dev.CommandHome());
        QVERIFY(!rig.dev.CommandPos());
        QVERIFY(!rig.dev.CommandGo(1, 2, 3));
        QVERIFY(!rig.dev.CommandInfo(0));
        QVERIFY(!rig.dev.CommandBken(false));
        QCOMPARE(rig.Log(), QStringList());
        QCOMPARE(rig.portsMade, 0);
    }

    void getInfo_outside_range_is_empty() {
        DriverRig rig;
        rig.dev.Info = {"a", "b", "c", "d", "e"};
        QCOMPARE(rig.dev.GetInfo(0), QStringLiteral("a"));
        QCOMPARE(rig.dev.GetInfo(4), QStringLiteral("e"));
        QCOMPARE(rig.dev.GetInfo(5), QString());
        QCOMPARE(rig.dev.GetInfo(-1), QString());
    }

    // ---- Communication log -------------------------------------------------------------------

    void log_of_position_exchange() {
        DriverRig rig;
        QVERIFY(rig.Open());
        rig.AnswerWith("POS 3 10 20 30\r");
        const qsizetype logged = rig.Log().size();
        QVERIFY(rig.dev.CommandPos());
        const QString bytes =
            QStringLiteral("#{50}{4F}{53}{20}{33}{20}{31}{30}{20}{32}{30}{20}{33}{30}{0D}#");
        QCOMPARE(rig.LogSince(logged), (QStringList{
                                           "Clear Buffer Success",
                                           "Send Command <POS 3>",
                                           "Wait Response Start",
                                           "OnRxChar (15) " + bytes,
                                           "RxBuffer (15) " + bytes,
                                           "Wait Response End",
                                           "Command <POS> Success : 10/20/30",
                                       }));
    }

    void log_line_format() {
        DriverRig rig;
        const quint8 bytes[] = {0x0D, 0xFF};
        const QDateTime before = QDateTime::currentDateTime();
        QVERIFY(rig.dev.WriteLog("Plain"));
        QVERIFY(rig.dev.WriteLog("With bytes", bytes, 2));
        QVERIFY(rig.dev.WriteLog(QString::fromLatin1("8-bit \xE9")));
        const QDateTime after = QDateTime::currentDateTime();
        QFile file(rig.LogPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 4);
        QVERIFY(lines[3].isEmpty());
        const QRegularExpression shape(
            QStringLiteral("^\\[(\\d{6}-\\d{6})\\] (Plain|With bytes #\\{0D\\}\\{FF\\}#)\\r$"));
        for (int i = 0; i < 2; ++i) {
            const QRegularExpressionMatch m = shape.match(QString::fromLatin1(lines[i]));
            QVERIFY2(m.hasMatch(), lines[i].constData());
            const QDateTime stamp =
                QDateTime::fromString("20" + m.captured(1), QStringLiteral("yyyyMMdd-HHmmss"));
            QVERIFY(stamp >= before.addSecs(-1) && stamp <= after);
        }
        QVERIFY(lines[2].endsWith("] 8-bit \xE9\r"));
    }

    // A line break inside an entry's text is a line end of the file, CR LF like every other.
    void log_line_breaks_inside_text_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("CR") << "Kravo FM\rVer1.0" << QByteArray("Kravo FM\r\nVer1.0\r\n");
        QTest::newRow("LF") << "a\nb" << QByteArray("a\r\nb\r\n");
        QTest::newRow("CR LF") << "a\r\nb" << QByteArray("a\r\nb\r\n");
        QTest::newRow("LF CR is two") << "a\n\rb" << QByteArray("a\r\n\r\nb\r\n");
        QTest::newRow("CR at the end") << "a\r" << QByteArray("a\r\n\r\n");
    }
    void log_line_breaks_inside_text() {
        QFETCH(QString, text);
        QFETCH(QByteArray, written);
        DriverRig rig;
        QVERIFY(rig.dev.WriteLog(text));
        QFile file(rig.LogPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY2(content.endsWith("] " + written), content.constData());
        // No CR or LF outside a CR LF pair.
        QCOMPARE(content.count('\r'), content.count("\r\n"));
        QCOMPARE(content.count('\n'), content.count("\r\n"));
    }

    void log_off_writes_nothing() {
        QTemporaryDir dir;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        {
            DriverRig rig(false);
            QVERIFY(!rig.dev.LogEnabled);
            QVERIFY(!rig.dev.WriteLog("text"));
            QVERIFY(rig.Open());
            rig.AnswerWith("POS 3 10 20 30\r");
            QVERIFY(rig.dev.CommandPos());
        }
        QVERIFY(QDir::setCurrent(previous));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
    }

    void startLog_creates_folders() {
        QTemporaryDir dir;
        TDevice_VuzaRavarede dev;
        const QString folder = dir.filePath("a/b/Log"); // no trailing separator
        QVERIFY(dev.StartLog(folder));
        QVERIFY(dev.LogEnabled);
        QVERIFY(QFileInfo(folder).isDir());
        QVERIFY(QRegularExpression("^\\d{8}-\\d{6}$").match(dev.LogStamp).hasMatch());
        QVERIFY(dev.WriteLog("x"));
        QVERIFY(QFileInfo::exists(folder + "/Log " + dev.LogStamp + ".ini"));
    }

    void startLog_fails_when_folder_cannot_be_made() {
        QTemporaryDir dir;
        QFile blocker(dir.filePath("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        TDevice_VuzaRavarede dev;
        QVERIFY(!dev.StartLog(dir.filePath("blocker/Log/")));
        QVERIFY(!dev.LogEnabled);
        QVERIFY(!dev.WriteLog("x"));
    }

    void log_write_error_is_swallowed() {
        DriverRig rig;
        // A folder where the file should be: every write fails, whoever runs the test.
        QVERIFY(QDir().mkpath(rig.LogPath()));
        QVERIFY(!rig.dev.WriteLog("lost"));
        QVERIFY(rig.Open());
        rig.AnswerWith("POS 3 10 20 30\r");
        QVERIFY(rig.dev.CommandPos());
        QCOMPARE(rig.dev.Position, (std::array<qint32, 3>{10, 20, 30}));
        // The next write tries again.
        QVERIFY(QDir().rmdir(rig.LogPath()));
        QVERIFY(rig.dev.WriteLog("back"));
        QCOMPARE(rig.Log(), QStringList{"back"});
    }

    void log_runs_in_same_second_share_a_file() {
        QTemporaryDir dir;
        const QString folder = dir.filePath("Log/");
        TDevice_VuzaRavarede first;
        TDevice_VuzaRavarede second;
        for (int attempt = 0; attempt < 5; ++attempt) {
            QVERIFY(first.StartLog(folder));
            QVERIFY(second.StartLog(folder));
            if (first.LogStamp == second.LogStamp) break;
        }
        QCOMPARE(first.LogStamp, second.LogStamp);
        QVERIFY(first.WriteLog("first run"));
        QVERIFY(second.WriteLog("second run"));
        QVERIFY(first.WriteLog("first run again"));
        QCOMPARE(ReadLogTexts(folder + "Log " + first.LogStamp + ".ini"),
                 (QStringList{"first run", "second run", "first run again"}));
    }

    void log_appends_to_existing_file_data() {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QByteArray>("kept"); // what precedes the new line afterwards
        QTest::newRow("empty file") << QByteArray("") << QByteArray("");
        QTest::newRow("ends with CR LF") << QByteArray("old\r\n") << QByteArray("old\r\n");
        QTest::newRow("no line end") << QByteArray("old") << QByteArray("old\r\n");
        QTest::newRow("ends with LF") << QByteArray("old\n") << QByteArray("old\n");
        QTest::newRow("ends with CR") << QByteArray("old\r") << QByteArray("old\r\n");
    }
    void log_appends_to_existing_file() {
        QFETCH(QByteArray, existing);
        QFETCH(QByteArray, kept);
        DriverRig rig;
        QFile file(rig.LogPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(existing);
        file.close();
        QVERIFY(rig.dev.WriteLog("new"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY2(content.startsWith(kept + '['), content.constData());
        QVERIFY(content.endsWith("] new\r\n"));
        QCOMPARE(content.count("\r\n"), kept.count("\r\n") + 1);
    }
};

QTEST_GUILESS_MAIN(TestDeviceDriver)
#include "tst_device_driver.moc"
