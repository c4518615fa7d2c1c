#include "device/Unit_SerialPort.h"

#include "core/Unit_Numbers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPort>

#ifndef Q_OS_WIN
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// The facts behind a failed open of `device`, gathered at once, while they still hold.
OpenFailureFacts GatherFacts(const QSerialPort& port, const QString& device) {
    OpenFailureFacts facts;
    facts.Error = int(port.error());
    facts.ErrorText = port.errorString();
#ifndef Q_OS_WIN
    const QByteArray path = QFile::encodeName(device);
    facts.MayReadWrite = ::access(path.constData(), R_OK | W_OK) == 0;
    struct stat st {};
    if (::stat(path.constData(), &st) == 0) {
        if (const passwd* owner = ::getpwuid(st.st_uid))
            facts.Owner = QString::fromLocal8Bit(owner->pw_name);
        if (const group* grp = ::getgrgid(st.st_gid))
            facts.Group = QString::fromLocal8Bit(grp->gr_name);
        facts.OwnerMayReadWrite = (st.st_mode & (S_IRUSR | S_IWUSR)) == (S_IRUSR | S_IWUSR);
        facts.GroupMayReadWrite = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    }
#else
    Q_UNUSED(device);
#endif
    return facts;
}

QString DescribeDevice(const QString& device) {
    const QFileInfo info(device);
    if (!info.isSymLink()) return device;
    return device + QStringLiteral(" -> ") + info.symLinkTarget();
}

// Why `port` did not open `device`; empty when nothing is there to open.
QString DescribeOpenFailure(const QSerialPort& port, const QString& device) {
    if (device.isEmpty()) return {};
    const QFileInfo info(device);
    if (!info.exists()) {
        // A link to a device that is gone (an adapter unplugged, a pseudo-terminal closed) is
        // worth a word. A link to anything else that is not there is how a name is kept off
        // the system's devices, and says nothing.
        const bool deviceGone = info.isSymLink() && info.symLinkTarget().startsWith(u"/dev/");
        return deviceGone ? QStringLiteral("the link points to nothing") : QString();
    }
    if (!IsPortCandidate(device)) return {};
    if (port.error() == QSerialPort::NoError) return {};
    return OpenFailureReason(GatherFacts(port, device));
}

} // namespace

TSerialPort::TSerialPort(const QString& portsFolder, QObject* parent)
    : TSerialPortBase(parent), PortsFolder(portsFolder) {}

TSerialPort::~TSerialPort() {
    close();
}

bool TSerialPort::open(const QString& comName, qint32 baudRate) {
    close();
    OpenFailure.clear();
    QtPort = std::make_unique<QSerialPort>();
    const QString device = MapComName(comName, PortsFolder);
    if (!OpenConfigured(*QtPort, device, baudRate)) {
        OpenFailure = DescribeOpenFailure(*QtPort, device);
        QtPort.reset();
        return false;
    }
    Lost = false;
    RxPending = false;
    // Connected only now, so that the errors of the set-up above are not reported as line errors.
    connect(QtPort.get(), &QSerialPort::readyRead, this, &TSerialPort::OnReadyRead);
    connect(QtPort.get(), &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError error) { OnQtError(int(error)); });
    return true;
}

void TSerialPort::close() {
    if (!QtPort) return;
    QtPort->disconnect(this);
    if (QtPort->isOpen()) QtPort->close();
    QtPort.reset();
    RxPending = false;
    ++Session;
}

bool TSerialPort::purge() {
    if (!isConnected()) return false;
    return QtPort->clear(QSerialPort::AllDirections);
}

qint64 TSerialPort::bytesAvailable() const {
    return isConnected() ? QtPort->bytesAvailable() : 0;
}

QByteArray TSerialPort::readAvailable(qint64 maxBytes) {
    if (!isConnected() || maxBytes <= 0) return {};
    return QtPort->read(qMin(maxBytes, QtPort->bytesAvailable()));
}

bool TSerialPort::write(const QByteArray& data, int timeoutMs) {
    if (!isConnected()) return false;
    if (data.isEmpty()) return true;
    if (QtPort->write(data) != data.size()) return false;
    // QSerialPort::write only queues; the bytes are on the line once this returns true. The
    // connection may be lost inside the wait.
    return QtPort->waitForBytesWritten(timeoutMs) && isConnected() && QtPort->bytesToWrite() == 0;
}

bool TSerialPort::isConnected() const {
    return QtPort && QtPort->isOpen() && !Lost;
}

void TSerialPort::OnReadyRead() {
    // readyRead can also be emitted from inside waitForBytesWritten; the notification is posted
    // so that the receiver only ever sees it while the thread handles its events. Arrivals
    // before delivery are merged into one notification.
    if (RxPending) return;
    RxPending = true;
    QMetaObject::invokeMethod(this, &TSerialPort::DeliverRxChar, Qt::QueuedConnection);
}

void TSerialPort::DeliverRxChar() {
    RxPending = false;
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
    if (Lost) return;
    Lost = true;
    // Closing is left to the event loop: this may run inside QSerialPort's own read or write.
    // A report for a port that was closed (and perhaps opened again) meanwhile is dropped.
    QMetaObject::invokeMethod(
        this,
        [this, session = Session] {
            if (session != Session) return;
            if (QtPort) {
                QtPort->disconnect(this);
                if (QtPort->isOpen()) QtPort->close();
            }
            RxPending = false;
            emit LineError(LineErrorBits::IO);
        },
        Qt::QueuedConnection);
    // Stop the notifier now rather than at the posted close.
    if (QtPort) QtPort->disconnect(this);
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
    return ProbePortDetailed(comName, portsFolder).Present;
}

QString PortDeviceText(const QString& comName, const QString& portsFolder) {
    return DescribeDevice(MapComName(comName, portsFolder));
}

PortProbeResult ProbePortDetailed(const QString& comName, const QString& portsFolder) {
    PortProbeResult result;
    const QString device = MapComName(comName, portsFolder);
    if (device.isEmpty()) return result;
    result.Device = DescribeDevice(device);
    QSerialPort port;
    if (!IsPortCandidate(device)) {
        result.Reason = DescribeOpenFailure(port, device);
        return result;
    }
    port.setPortName(device);
    if (!port.open(QIODevice::ReadWrite)) {
        result.Reason = DescribeOpenFailure(port, device);
        return result;
    }
    port.close();
    result.Present = true;
    return result;
}

QString OpenFailureReason(const OpenFailureFacts& facts) {
    switch (facts.Error) {
    case QSerialPort::PermissionError:
        // Qt reports a refused open, a device opened exclusively by another program and a
        // lock file held by one alike; the permissions tell them apart.
        if (facts.MayReadWrite) return QStringLiteral("busy (another program has it open)");
        if (facts.GroupMayReadWrite && !facts.Group.isEmpty())
            return QStringLiteral("permission denied — the user must be in group ") + facts.Group;
        if (facts.OwnerMayReadWrite && !facts.Owner.isEmpty())
            return QStringLiteral("permission denied — only %1 may open it").arg(facts.Owner);
        return QStringLiteral("permission denied");
    case QSerialPort::OpenError:
        return QStringLiteral("busy (this program has it open)");
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("not found");
    default:
        return QStringLiteral("cannot be opened (%1)").arg(facts.ErrorText);
    }
}

QString ShortReason(const QString& reason) {
    qsizetype end = reason.size();
    for (const QString& mark : {QStringLiteral(" — "), QStringLiteral(" (")}) {
        const qsizetype at = reason.indexOf(mark);
        if (at >= 0 && at < end) end = at;
    }
    return reason.left(end);
}
