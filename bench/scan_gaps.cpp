// Step timing of the scan engine against the instrument simulator: how long after TimeDelay
// each step of a scan starts, with the scan record (and the progress on the message bar) off and
// on: the record is written and flushed between one move's answer and the next step. A step starts
// when its GO command leaves the program; the simulator stamps each command as it arrives on a
// monotonic clock. Also the CPU the program spends idling with a ready session (the engine polls
// ten times a second for its whole life).
//
//   bench_scan_gaps [--points N] [--delays 0.1,1.0] [--go-ms MS] [--idle-s S]
#include "app/Unit_FormMain.h"
#include "bench/bench_result.h"
#include "control/Unit_FormControlScan.h"
#include "core/Unit_EventPump.h"
#include "core/Unit_setupvuzaravarede.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>

namespace {

QString SamplePath() {
    return QStringLiteral(VR_SOURCE_DIR "/samples/20180315_F123_ABCD12345678.csv");
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        EventPump::SleepAndPump(20);
    }
    return true;
}

double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Scan step timing against instrument-sim: for each TimeDelay, a scan of N points at "
        "FWHM 10 from 500.0 nm in 0.5 nm steps; prints min/median/max of (gap between the starts "
        "of consecutive steps - TimeDelay). Target: 0 <= that <= 100 ms poll + the move's time. "
        "Then the program's CPU use while idle with a ready session (target < 0.5 % of a core)."));
    parser.addHelpOption();
    const QCommandLineOption pointsOption("points", "points per scan (default 25)", "N", "25");
    const QCommandLineOption delaysOption("delays", "TimeDelay values, s (default 0.1,1.0)", "LIST",
                                          "0.1,1.0");
    const QCommandLineOption goMsOption("go-ms", "simulated move time, ms (default: travel)", "MS");
    const QCommandLineOption idleOption("idle-s", "idle measurement, s (default 10)", "S", "10");
    parser.addOptions({pointsOption, delaysOption, goMsOption, idleOption});
    parser.process(app);
    const int points = std::max(2, parser.value(pointsOption).toInt());

    QTemporaryDir dir;
    const QString folder = dir.path() + u'/';
    QDir().mkpath(folder + "Cal");
    QFile::copy(SamplePath(), folder + "Cal/F123_ABCD12345678.csv");
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        QFile ini(folder + "VuzaRavarede.ini");
        if (!ini.open(QIODevice::WriteOnly)) return 1;
        ini.write("[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM1\n[Remote]\nPortNum=" +
                  QByteArray::number(probe.serverPort()) + "\n");
    }

    QProcess sim;
    QByteArray simOut;
    QObject::connect(&sim, &QProcess::readyReadStandardOutput,
                     [&]() { simOut += sim.readAllStandardOutput(); });
    QStringList simArgs{"--link", folder + "ports/COM1", "--home-ms", "200", "--report-received"};
    if (parser.isSet(goMsOption)) simArgs << "--go-ms" << parser.value(goMsOption);
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(VR_BIN_DIR "/instrument-sim"), simArgs);
    if (!WaitUntil([&]() { return simOut.contains("ready "); }, 10000)) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }

    int result = 0;
    {
        TForm_Main form(folder);
        form.SetPortProbe(
            [&folder](const QString& name) { return QFile::exists(folder + "ports/" + name); });
        form.SetOpenPauseRounds(1);
        QString lastMessage;
        QObject::connect(&form, &TForm_Main::StatusMessageShown,
                         [&](const QString& text, unsigned) { lastMessage = text; });
        if (!WaitUntil([&]() { return lastMessage == "Device ready."; }, 30000)) {
            std::fprintf(stderr, "no session with the simulator\n");
            return 1;
        }
        TForm_ControlScan* scan = form.FormControlScan;
        static const QRegularExpression received(
            QStringLiteral("^received \"GO [^\"]*\" at ([0-9.]+)$"));

        std::printf(
            "scan of %d points, FWHM 10, STEP 0.5 nm; gap between step starts - TimeDelay\n",
            points);
        for (const QString& delayText : parser.value(delaysOption).split(u','))
            for (const bool recordOn : {false, true}) {
                form.Setup->ScanRecord = recordOn;
                const double delay = delayText.toDouble();
                const qsizetype from = simOut.size();
                const QByteArray end = QByteArray::number(500.0 + 0.5 * (points - 1), 'f', 1);
                scan->SetScanFields("500.0", end, "10", "0.5", delayText.toLatin1());
                scan->Action_RemoteControl_Scan();
                if (form.RemoteResponse != "SCAN OK") {
                    std::fprintf(stderr, "scan refused: %s\n", form.RemoteErrorText.constData());
                    return 1;
                }
                const int limitMs = int(points * (delay * 1000 + 2000)) + 5000;
                if (!WaitUntil([&]() { return !scan->Running(); }, limitMs)) {
                    std::fprintf(stderr, "scan did not end\n");
                    return 1;
                }
                QList<double> starts;
                for (const QByteArray& line : simOut.mid(from).split('\n')) {
                    const QRegularExpressionMatch m = received.match(QString::fromLatin1(line));
                    if (m.hasMatch()) starts.append(m.captured(1).toDouble());
                }
                QList<double> late;
                for (qsizetype i = 1; i < starts.size(); ++i)
                    late.append(starts[i] - starts[i - 1] - delay * 1000.0);
                if (starts.size() != points || late.isEmpty()) {
                    std::fprintf(stderr, "expected %d moves, saw %lld\n", points,
                                 qlonglong(starts.size()));
                    result = 1;
                    continue;
                }
                const BenchResult::Summary figures = BenchResult::Summarise(late);
                std::printf(
                    "TimeDelay %5.1f s, record %s: %d gaps, min %.1f  median %.1f  max %.1f ms\n",
                    delay, recordOn ? "on " : "off", figures.Runs, figures.Min, figures.Median,
                    figures.Max);
                const QByteArray figure = "scan step start after TimeDelay " +
                                          delayText.toLatin1() + " s, record " +
                                          (recordOn ? "on" : "off");
                BenchResult::Record(figure.constData(), figures, "ms", 0.0,
                                    "target: 0 to a 100 ms poll + the move's own time");
            }

        const int idleMs = int(parser.value(idleOption).toDouble() * 1000);
        const double cpuBefore = ProcessCpuMs();
        QElapsedTimer wall;
        wall.start();
        // The program's own event loop, as it idles between user actions.
        QEventLoop idle;
        QTimer::singleShot(idleMs, &idle, &QEventLoop::quit);
        idle.exec();
        const double share = (ProcessCpuMs() - cpuBefore) / double(wall.elapsed()) * 100.0;
        std::printf("idle with a ready session: %.2f %% of a core over %.1f s (target < 0.5 %%)\n",
                    share, wall.elapsed() / 1000.0);
        BenchResult::Record("idle CPU in-process, ready session", {share, share, share, 1},
                            "% core", 0.0, "target < 0.5 % of a core");
        form.Timer_AutoOpen->stop();
        form.ReleaseAll();
    }
    sim.terminate();
    sim.waitForFinished(5000);
    return result;
}
