#pragma once
// The port object under the instrument driver: a small interface over the platform's serial
// port, so that the driver runs the same over a real line, a pseudo-terminal or an in-memory fake.

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class QSerialPort;

// Line-error kinds as bits of the `LineError` notification, in the order the driver logs them.
namespace LineErrorBits {
constexpr quint32 Frame = 1u << 0;
constexpr quint32 RxParity = 1u << 1;
constexpr quint32 Overrun = 1u << 2;
constexpr quint32 Break = 1u << 3;
constexpr quint32 IO = 1u << 4;
constexpr quint32 Mode = 1u << 5;
constexpr quint32 RxOver = 1u << 6;
constexpr quint32 TxFull = 1u << 7;
} // namespace LineErrorBits

// Size of the port's own input queue, in bytes.
constexpr int SerialQueueSize = 1024;

// Time-out for writing `byteCount` bytes: 1000 ms plus 100 ms per byte.
constexpr int SerialWriteTimeoutMs(qsizetype byteCount) {
    return 1000 + 100 * static_cast<int>(byteCount);
}

// Both notifications are delivered on the thread that owns the port (the GUI thread), and only
// while that thread handles its events, never from inside a call on the port.
class TSerialPortBase : public QObject {
    Q_OBJECT
public:
    explicit TSerialPortBase(QObject* parent = nullptr) : QObject(parent) {}
    ~TSerialPortBase() override = default;

    // Opens "COMn" exclusively at `baudRate`, 8N1, no flow control, DTR and RTS off.
    virtual bool open(const QString& comName, qint32 baudRate) = 0;
    virtual void close() = 0;
    // Discards everything pending in both directions.
    virtual bool purge() = 0;
    virtual qint64 bytesAvailable() const = 0;
    // Returns at once with at most `maxBytes` of the bytes that have arrived.
    virtual QByteArray readAvailable(qint64 maxBytes) = 0;
    // Returns only when all bytes are sent (true) or `timeoutMs` has passed (false).
    virtual bool write(const QByteArray& data, int timeoutMs) = 0;
    // Open and the far end still there.
    virtual bool isConnected() const = 0;
    // Why the last open failed, in the user's words; empty when it is not known.
    virtual QString openFailure() const { return {}; }

signals:
    // `count` bytes are waiting to be read.
    void RxChar(int count);
    // A set of `LineErrorBits`.
    void LineError(quint32 errorBits);
};

// The port over QSerialPort.
class TSerialPort : public TSerialPortBase {
    Q_OBJECT
public:
    // `portsFolder` is where "COMn" links are looked for first (see MapComName).
    explicit TSerialPort(const QString& portsFolder, QObject* parent = nullptr);
    ~TSerialPort() override;

    bool open(const QString& comName, qint32 baudRate) override;
    void close() override;
    bool purge() override;
    qint64 bytesAvailable() const override;
    QByteArray readAvailable(qint64 maxBytes) override;
    bool write(const QByteArray& data, int timeoutMs) override;
    bool isConnected() const override;
    QString openFailure() const override { return OpenFailure; }

private:
    void OnReadyRead();
    void OnQtError(int error);
    void DeliverRxChar();
    void LoseLine();

    QString PortsFolder;
    QString OpenFailure;
    std::unique_ptr<QSerialPort> QtPort;
    bool RxPending = false;
    bool Lost = false;
    quint64 Session = 0; // counts closes, so that posted reports of an old session are dropped
};

// Number n of a port name "COMn" (n = 1 to 64), or 0 when the name is not such a name.
int ComNumber(const QString& comName);

// The platform device for "COMn": `<portsFolder>/COMn` when that path exists (also as a
// dangling link, so that an unplugged adapter never falls back to another device); otherwise
// COM1-16 -> /dev/ttyUSB0-15, COM17-32 -> /dev/ttyACM0-15, COM33-64 -> /dev/ttyS0-31.
// On Windows the name itself. Empty for a name outside COM1 to COM64.
QString MapComName(const QString& comName, const QString& portsFolder);

// True when `device` can be a serial port worth opening: it exists (links followed) and, when it
// is a legacy serial node ttySn, the kernel knows a UART behind it (its `type` in
// `sysTtyFolder`, normally /sys/class/tty/, is not 0; the system's port list leaves such nodes
// out too). Opening a port goes through its lock file on disk, so a device that cannot be there
// is never opened just to learn that. Always true on Windows.
bool IsPortCandidate(const QString& device,
                     const QString& sysTtyFolder = QStringLiteral("/sys/class/tty/"));

// True when the port can be opened for exclusive read and write access; closes it at once. A
// name whose device is not a candidate is absent without an open.
bool ProbePort(const QString& comName, const QString& portsFolder);

// What probing one port name found.
struct PortProbeResult {
    // Implicit, so that a probe that only knows "present or not" can stand in for the real one.
    PortProbeResult(bool present = false) : Present(present) {}
    bool Present = false;
    // The device the name maps to ("<ports>/COM3 -> /dev/pts/4" for a link), and why it cannot
    // be used. No reason when it can, and none when nothing is there: most of the 64 names
    // have no device, and that is no fault.
    QString Device;
    QString Reason;
};
// The device "COMn" maps to, as shown to the user: a link with its target.
QString PortDeviceText(const QString& comName, const QString& portsFolder);
// ProbePort, also telling why a port that is there cannot be used.
PortProbeResult ProbePortDetailed(const QString& comName, const QString& portsFolder);

// What is known about a device that would not open.
struct OpenFailureFacts {
    int Error = 0;            // the QSerialPort::SerialPortError of the open
    QString ErrorText;        // Qt's text for it
    bool MayReadWrite = true; // the user may read and write the device (by its permissions)
    QString Owner;            // the device's owner and group, and whether each may use it
    QString Group;
    bool OwnerMayReadWrite = false;
    bool GroupMayReadWrite = false;
};
// The reason, in the user's words: "permission denied — the user must be in group dialout",
// "busy (another program has it open)", ...
QString OpenFailureReason(const OpenFailureFacts& facts);
// The short form of a reason, for a status line: the part before its explanation.
QString ShortReason(const QString& reason);
