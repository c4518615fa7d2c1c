// The real port object over a pseudo-terminal that the test drives itself from the master side.
#include "core/Unit_EventPump.h"
#include "device/Unit_SerialPort.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <ctime>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The far end of a line: the master side of a raw pseudo-terminal, published as <ports>/COM5.
class FarEnd {
public:
    explicit FarEnd(const QString& ports) {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) return;
        const QString slave = QString::fromLocal8Bit(ptsname(m_master));
        // Keep one slave descriptor open so that the master never sees a hang-up of its own.
        m_slave = ::open(ptsname(m_master), O_RDWR | O_NOCTTY);
        termios tio{};
        if (m_slave < 0 || tcgetattr(m_slave, &tio) != 0) return;
        cfmakeraw(&tio);
        if (tcsetattr(m_slave, TCSANOW, &tio) != 0) return;
        m_ok = QDir().mkpath(ports) && QFile::link(slave, ports + "/COM5");
    }
    ~FarEnd() { HangUp(); }

    bool ok() const { return m_ok; }
    bool Send(const QByteArray& bytes) {
        return ::write(m_master, bytes.constData(), bytes.size()) == bytes.size();
    }
    QByteArray Receive() {
        QByteArray bytes;
        char chunk[256];
        const int flags = fcntl(m_master, F_GETFL);
        fcntl(m_master, F_SETFL, flags | O_NONBLOCK);
        ssize_t n;
        while ((n = ::read(m_master, chunk, sizeof chunk)) > 0)
            bytes.append(chunk, n);
        fcntl(m_master, F_SETFL, flags);
        return bytes;
    }
    void HangUp() {
        if (m_slave >= 0) ::close(m_slave);
        if (m_master >= 0) ::close(m_master);
        m_slave = m_master = -1;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    bool m_ok = false;
};

qint64 ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

} // namespace

class TestSerialPortPty : public QObject {
    Q_OBJECT
private slots:
    void exchange_and_notification_timing() {
        QTemporaryDir dir;
        FarEnd far(dir.filePath("ports"));
        QVERIFY(far.ok());
        TSerialPort port(dir.filePath("ports"));
        QSignalSpy rx(&port, &TSerialPortBase::RxChar);
        QVERIFY(port.open("COM5", 38400));
        QVERIFY(port.isConnected());

        // Bytes already waiting while a write completes: Qt reads them inside the write, but
        // the receiver must only hear of them when events are handled.
        QVERIFY(far.Send("abc"));
        QThread::msleep(50); // without handling events: the bytes wait in the line
        QVERIFY(port.write("POS 3\r", SerialWriteTimeoutMs(6)));
        QCOMPARE(rx.count(), 0);
        QCOMPARE(far.Receive(), QByteArray("POS 3\r"));
        QTRY_COMPARE(rx.count(), 1);
        QCOMPARE(rx.first().first().toInt(), 3);
        QCOMPARE(port.readAvailable(2), QByteArray("ab"));
        QCOMPARE(port.readAvailable(1024), QByteArray("c"));

        // Purge drops what arrived and was not read.
        QVERIFY(far.Send("stale"));
        QTRY_COMPARE(rx.count(), 2);
        QVERIFY(port.purge());
        QCOMPARE(port.bytesAvailable(), 0);
        QCOMPARE(port.readAvailable(1024), QByteArray());
    }

    void hang_up_reported_once() {
        QTemporaryDir dir;
        FarEnd far(dir.filePath("ports"));
        QVERIFY(far.ok());
        TSerialPort port(dir.filePath("ports"));
        QSignalSpy errors(&port, &TSerialPortBase::LineError);
        QVERIFY(port.open("COM5", 38400));
        far.HangUp();
        QTRY_COMPARE(errors.count(), 1);
        QCOMPARE(errors.first().first().value<quint32>(), LineErrorBits::IO);
        QVERIFY(!port.isConnected());
        QVERIFY(!port.write("?\r", 1000));
        QVERIFY(!port.purge());

        const qint64 cpuBefore = ProcessCpuMs();
        EventPump::SleepAndPump(500);
        const qint64 cpuUsed = ProcessCpuMs() - cpuBefore;
        QVERIFY2(cpuUsed < 150, qPrintable(QStringLiteral("%1 ms of CPU while idle").arg(cpuUsed)));
        QCOMPARE(errors.count(), 1);
    }

    void exclusive() {
        QTemporaryDir dir;
        FarEnd far(dir.filePath("ports"));
        QVERIFY(far.ok());
        TSerialPort first(dir.filePath("ports"));
        TSerialPort second(dir.filePath("ports"));
        QVERIFY(first.open("COM5", 38400));
        QVERIFY(!second.open("COM5", 38400));
        QVERIFY(!second.isConnected());
        first.close();
        QVERIFY(!first.isConnected());
        QVERIFY(second.open("COM5", 38400));
    }
};

QTEST_GUILESS_MAIN(TestSerialPortPty)
#include "tst_serialport_pty.moc"
