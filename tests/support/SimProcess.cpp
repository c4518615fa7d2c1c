#include "support/SimProcess.h"

#include "core/Unit_EventPump.h"

#include <QDeadlineTimer>
#include <QFileInfo>

#ifndef VR_BIN_DIR
#error "VR_BIN_DIR must name the folder of the built programs"
#endif

SimProcess::SimProcess(QString program) : m_program(std::move(program)) {
    // The simulator's complaints belong in the test log.
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setInputChannelMode(QProcess::ManagedInputChannel);
}

SimProcess::~SimProcess() {
    Stop();
}

QString SimProcess::DefaultProgram() {
    return QStringLiteral(VR_BIN_DIR "/instrument-sim");
}

bool SimProcess::Start(const QString& linkPath, const QStringList& extraArgs, int readyTimeoutMs) {
    Stop();
    m_partial.clear();
    m_lines.clear();
    m_linkPath.clear();
    m_devicePath.clear();
    m_failure.clear();

    if (!QFileInfo(m_program).isExecutable()) {
        m_failure = QStringLiteral("%1 is not built").arg(m_program);
        return false;
    }
    m_process.start(m_program, QStringList{QStringLiteral("--link"), linkPath} + extraArgs);
    if (!m_process.waitForStarted(readyTimeoutMs)) {
        m_failure = QStringLiteral("%1 did not start: %2").arg(m_program, m_process.errorString());
        return false;
    }
    if (!WaitForLine(QStringLiteral("ready "), readyTimeoutMs)) {
        m_failure = QStringLiteral("no ready line within %1 ms; output: %2")
                        .arg(readyTimeoutMs)
                        .arg(m_lines.join(u'|'));
        Stop();
        return false;
    }
    for (const QString& line : std::as_const(m_lines)) {
        if (!line.startsWith(QLatin1String("ready "))) continue;
        // "ready <link> <device>"; the device path has no blank, the link might.
        const qsizetype lastBlank = line.lastIndexOf(u' ');
        m_linkPath = line.mid(6, lastBlank - 6);
        m_devicePath = line.mid(lastBlank + 1);
        break;
    }
    return true;
}

bool SimProcess::Stop(int timeoutMs) {
    if (m_process.state() == QProcess::NotRunning) return true;
    m_process.terminate();
    bool byItself = m_process.waitForFinished(timeoutMs);
    if (!byItself) {
        m_process.kill();
        m_process.waitForFinished(timeoutMs);
    }
    ReadLines();
    return byItself && m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

bool SimProcess::IsRunning() const {
    return m_process.state() != QProcess::NotRunning;
}

qint64 SimProcess::ProcessId() const {
    return m_process.processId();
}

bool SimProcess::SendControl(const QString& line) {
    if (m_process.state() != QProcess::Running) return false;
    const QByteArray bytes = line.toUtf8() + '\n';
    return m_process.write(bytes) == bytes.size() && m_process.waitForBytesWritten(1000);
}

QStringList SimProcess::Lines() {
    ReadLines();
    return m_lines;
}

QStringList SimProcess::Exchanges() {
    ReadLines();
    QStringList exchanges;
    for (const QString& line : std::as_const(m_lines))
        if (line.startsWith(QLatin1String("exchange "))) exchanges.append(line);
    return exchanges;
}

bool SimProcess::WaitForExchanges(int count, int timeoutMs) {
    return WaitUntil([&] { return Exchanges().size() >= count; }, timeoutMs);
}

bool SimProcess::WaitForLine(const QString& prefix, int timeoutMs) {
    return WaitUntil(
        [&] {
            ReadLines();
            for (const QString& line : std::as_const(m_lines))
                if (line.startsWith(prefix)) return true;
            return false;
        },
        timeoutMs);
}

bool SimProcess::WaitForExit(int timeoutMs) {
    const bool ended =
        WaitUntil([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
    ReadLines();
    return ended;
}

void SimProcess::ReadLines() {
    m_partial += m_process.readAllStandardOutput();
    qsizetype nl;
    while ((nl = m_partial.indexOf('\n')) >= 0) {
        m_lines.append(QString::fromUtf8(m_partial.left(nl)));
        m_partial.remove(0, nl + 1);
    }
}

bool SimProcess::WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    // Events are pumped, not blocked on: the test's own objects (a driver reading the line)
    // must keep running while the simulator is watched.
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (deadline.hasExpired()) return false;
        EventPump::SleepAndPump(int(qMin<qint64>(deadline.remainingTime(), 20)));
    }
}
