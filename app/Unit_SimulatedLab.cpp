#include "app/Unit_SimulatedLab.h"

#include "caldata/Unit_CalDataFile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <cstdio>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace {

// The simulator plays this instrument by default, and the sample table is its calibration.
constexpr const char* kSampleResource = ":/simulation/20180315_F123_ABCD12345678.csv";
const QString kModel = QStringLiteral("F123");
const QString kSerial = QStringLiteral("ABCD12345678");
constexpr int kReadyTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 3000;

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

TSimulatedLab::TSimulatedLab()
    : Dir(QDir::tempPath() + QStringLiteral("/VuzaRavarede-simulated-XXXXXX")) {
    // Its exchanges are of no interest to the program's user; its complaints are.
    Simulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    Simulator.setStandardInputFile(QProcess::nullDevice());
#ifdef Q_OS_LINUX
    // Killed outright, the program takes its simulator along.
    Simulator.setChildProcessModifier([]() { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
}

TSimulatedLab::~TSimulatedLab() {
    Stopping = true;
    if (Simulator.state() == QProcess::NotRunning) return;
    Simulator.terminate();
    if (!Simulator.waitForFinished(kStopTimeoutMs)) {
        Simulator.kill();
        Simulator.waitForFinished(kStopTimeoutMs);
    }
}

QString TSimulatedLab::Folder() const {
    return Dir.path() + u'/';
}

bool TSimulatedLab::PrepareFolder(quint16 remotePort) {
    if (!Dir.isValid()) {
        Why = QStringLiteral("cannot make a temporary folder in %1: %2")
                  .arg(QDir::tempPath(), Dir.errorString());
        return false;
    }
    const QString folder = Folder();
    const QByteArray settings =
        "[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=" + QByteArray(PortName) +
        "\n[Remote]\nPortNum=" + QByteArray::number(remotePort) + "\n";
    QFile sample(QString::fromLatin1(kSampleResource));
    const bool written =
        QDir(folder).mkpath(QStringLiteral("Cal")) &&
        QDir(folder).mkpath(QStringLiteral("ports")) &&
        WriteFile(folder + QStringLiteral("VuzaRavarede.ini"), settings) &&
        sample.open(QIODevice::ReadOnly) &&
        WriteFile(folder + QStringLiteral("Cal/") + KeptCalFileName(kModel, kSerial),
                  sample.readAll());
    if (!written) {
        Why = QStringLiteral("cannot prepare the simulated program folder %1").arg(folder);
        return false;
    }
    for (int n = 1; n <= 64; ++n) {
        const QString name = QStringLiteral("COM%1").arg(n);
        if (name != QLatin1String(PortName))
            QFile::link(folder + QStringLiteral("nowhere"),
                        folder + QStringLiteral("ports/") + name);
    }
    return true;
}

bool TSimulatedLab::Start(const QString& simulatorProgram, quint16 remotePort) {
    if (!PrepareFolder(remotePort)) return false;
    const QString link = Folder() + QStringLiteral("ports/") + QLatin1String(PortName);
    Simulator.start(simulatorProgram, {QStringLiteral("--link"), link});
    if (!Simulator.waitForStarted(kReadyTimeoutMs)) {
        Why = QStringLiteral("cannot start the simulator %1: %2")
                  .arg(simulatorProgram, Simulator.errorString());
        return false;
    }
    // "ready <link> <device>" comes once the port is published.
    QByteArray out;
    QDeadlineTimer deadline(kReadyTimeoutMs);
    while (!out.startsWith("ready ") && !out.contains("\nready ")) {
        if (deadline.hasExpired() || !Simulator.waitForReadyRead(int(deadline.remainingTime()))) {
            Why = QStringLiteral("the simulator %1 did not publish its port").arg(simulatorProgram);
            return false;
        }
        out += Simulator.readAllStandardOutput();
    }
    QObject::connect(&Simulator, &QProcess::readyReadStandardOutput,
                     [this]() { Simulator.readAllStandardOutput(); });
    // Without it the program searches for ever; the user learns why.
    QObject::connect(
        &Simulator, &QProcess::finished, [this](int code, QProcess::ExitStatus status) {
            if (Stopping) return;
            const QByteArray how = status == QProcess::NormalExit
                                       ? "with status " + QByteArray::number(code)
                                       : QByteArray("by a signal");
            std::fprintf(stderr,
                         "VuzaRavarede: the simulator ended %s; the program searches for an "
                         "instrument that is not there any more\n",
                         how.constData());
        });
    return true;
}
