#include "device/Unit_SerialPort.h"

#include "core/Unit_Numbers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPort>

namespace {

void ApplyLineSettings(QSerialPort& port, qint32 baudRate) {
    port.setBaudRate(baudRate);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
}

// Opens `port` exclusively with the line settings and both modem lines de-asserted.
bool OpenConfigured(QSerialPort& port, const QString& device, qint32 baudRate) {
    if (device.isEmpty() || !IsPortCandidate(device)) return false;
    port.setPortName(device);
    ApplyLineSettings(port, baudRate);
    port.setReadBufferSize(SerialQueueSize);
    if (!port.open(QIODevice::ReadWrite)) return false;
    // A pseudo-terminal has no modem lines: the calls fail with an unsupported-operation error,
    // which is no reason to refuse the port.
    port.setDataTerminalReady(false);
    port.setRequestToSend(false);
    if (port.error() != QSerialPort::NoError) {
        if (port.error() != QSerialPort::UnsupportedOperationError) {
            port.close();
            return false;
        }
        port.clearError();
    }
    return true;
}

} // namespace

TSerialPort::TSerialPort(const QString& portsFolder, QObject* parent)
    : TSerialPortBase(parent), m_portsFolder(portsFolder) {}

TSerialPort::~TSerialPort() {
    close();
}

bool TSerialPort::open(const QString& comName, qint32 baudRate) {
    close();
    m_port = std::make_unique<QSerialPort>();
    if (!OpenConfigured(*m_port, MapComName(comName, m_portsFolder), baudRate)) {
        m_port.reset();
        return false;
    }
    m_lost = false;
    m_rxPending = false;
    // Connected only now, so that the errors of the set-up above are not reported as line errors.
    connect(m_port.get(), &QSerialPort::readyRead, this, &TSerialPort::OnReadyRead);
    connect(m_port.get(), &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError error) { OnQtError(int(error)); });
    return true;
}

void TSerialPort::close() {
    if (!m_port) return;
    m_port->disconnect(this);
    if (m_port->isOpen()) m_port->close();
    m_port.reset();
    m_rxPending = false;
    ++m_session;
}

bool TSerialPort::purge() {
    if (!isConnected()) return false;
    return m_port->clear(QSerialPort::AllDirections);
}

qint64 TSerialPort::bytesAvailable() const {
    return isConnected() ? m_port->bytesAvailable() : 0;
}

QByteArray TSerialPort::readAvailable(qint64 maxBytes) {
    if (!isConnected() || maxBytes <= 0) return {};
    return m_port->read(qMin(maxBytes, m_port->bytesAvailable()));
}

bool TSerialPort::write(const QByteArray& data, int timeoutMs) {
    if (!isConnected()) return false;
    if (data.isEmpty()) return true;
    if (m_port->write(data) != data.size()) return false;
    // QSerialPort::write only queues; the bytes are on the line once this returns true. The
    // connection may be lost inside the wait.
    return m_port->waitForBytesWritten(timeoutMs) && isConnected() && m_port->bytesToWrite() == 0;
}

bool TSerialPort::isConnected() const {
    return m_port && m_port->isOpen() && !m_lost;
}

void TSerialPort::OnReadyRead() {
    // readyRead can also be emitted from inside waitForBytesWritten; the notification is posted
    // so that the receiver only ever sees it while the thread handles its events. Arrivals
    // before delivery are merged into one notification.
    if (m_rxPending) return;
    m_rxPending = true;
    QMetaObject::invokeMethod(this, &TSerialPort::DeliverRxChar, Qt::QueuedConnection);
}

void TSerialPort::DeliverRxChar() {
    m_rxPending = false;
    const qint64 count = bytesAvailable();
    if (count > 0) emit RxChar(int(qMin<qint64>(count, SerialQueueSize)));
}

void TSerialPort::OnQtError(int error) {
    // A vanished far end shows as ReadError (pseudo-terminal) or ResourceError (adapter
    // unplugged). After a ReadError Qt polls the dead descriptor again at once, forever, so the
    // line is given up on the first one.
    if (error == QSerialPort::ReadError || error == QSerialPort::ResourceError) LoseLine();
}

void TSerialPort::LoseLine() {
    if (m_lost) return;
    m_lost = true;
    // Closing is left to the event loop: this may run inside QSerialPort's own read or write.
    // A report for a port that was closed (and perhaps opened again) meanwhile is dropped.
    QMetaObject::invokeMethod(
        this,
        [this, session = m_session] {
            if (session != m_session) return;
            if (m_port) {
                m_port->disconnect(this);
                if (m_port->isOpen()) m_port->close();
            }
            m_rxPending = false;
            emit LineError(LineErrorBits::IO);
        },
        Qt::QueuedConnection);
    // Stop the notifier now rather than at the posted close.
    if (m_port) m_port->disconnect(this);
}

int ComNumber(const QString& comName) {
    if (comName.size() <= 3 || !comName.startsWith(QLatin1String("COM"))) return 0;
    qint32 n = 0;
    if (!Numbers::TryReadInt(QStringView(comName).mid(3), n)) return 0;
    return (n >= 1 && n <= 64) ? n : 0;
}

QString MapComName(const QString& comName, const QString& portsFolder) {
#ifdef Q_OS_WIN
    Q_UNUSED(portsFolder);
    return ComNumber(comName) > 0 ? comName : QString();
#else
    const int n = ComNumber(comName);
    if (n == 0) return {};
    const QString name = QStringLiteral("COM%1").arg(n);
    if (!portsFolder.isEmpty()) {
        const QFileInfo link(QDir(portsFolder).filePath(name));
        // One lstat answers both: the search asks for all 64 names every second.
        if (link.isSymLink() || link.exists()) return link.filePath();
    }
    if (n <= 16) return QStringLiteral("/dev/ttyUSB%1").arg(n - 1);
    if (n <= 32) return QStringLiteral("/dev/ttyACM%1").arg(n - 17);
    return QStringLiteral("/dev/ttyS%1").arg(n - 33);
#endif
}

bool IsPortCandidate(const QString& device, const QString& sysTtyFolder) {
#ifdef Q_OS_WIN
    Q_UNUSED(device);
    Q_UNUSED(sysTtyFolder);
    return true;
#else
    const QFileInfo info(device);
    if (!info.exists()) return false;
    const QString name = QFileInfo(info.canonicalFilePath()).fileName();
    static const QRegularExpression legacySerial(QStringLiteral("^ttyS\\d+$"));
    if (!legacySerial.match(name).hasMatch()) return true;
    // 0 is PORT_UNKNOWN: a node the system made with nothing behind it. Without the attribute
    // the open decides.
    QFile type(sysTtyFolder + name + QStringLiteral("/type"));
    if (!type.open(QIODevice::ReadOnly)) return true;
    return type.read(64).trimmed() != "0";
#endif
}

bool ProbePort(const QString& comName, const QString& portsFolder) {
    const QString device = MapComName(comName, portsFolder);
    if (device.isEmpty() || !IsPortCandidate(device)) return false;
    QSerialPort port;
    port.setPortName(device);
    if (!port.open(QIODevice::ReadWrite)) return false;
    port.close();
    return true;
}
