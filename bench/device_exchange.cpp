// The instrument driver's costs:
//  - one exchange (POS 3, from the command sent to the answer accepted) over a pseudo-terminal
//    against instrument-sim, compared with its floor: the 100 ms answer slice the driver keeps so
//    that an instrument always gets that pause between commands; the wire time of the same
//    bytes at 38400 baud is printed for information (a pseudo-terminal does not pace them);
//  - one communication log entry when the file already holds 100 000 entries, compared with an
//    entry when it holds 100: appending keeps an entry's cost flat.
//   bench_device_exchange [--sim PATH] [--exchanges N] [--log-runs N]
#include "bench/bench_result.h"
#include "device/Unit_devicevuzaravarede.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr double kSliceMs = 100.0;
constexpr int kBaud = 38400;
constexpr int kBitsPerByte = 10; // 8N1: start, eight data bits, stop

QString Argument(const QStringList& args, const QString& name, const QString& fallback) {
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args[at + 1] : fallback;
}

bool MeasureExchanges(const QString& simPath, int exchanges) {
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir(dir.path()).mkpath(QStringLiteral("ports"))) return false;
    const QString ports = dir.path() + QStringLiteral("/ports/");
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(simPath, {QStringLiteral("--link"), ports + QStringLiteral("COM1"),
                        QStringLiteral("--home-ms"), QStringLiteral("0")});
    bool ready = false;
    while (!ready && sim.waitForReadyRead(10000))
        while (sim.canReadLine())
            ready = ready || sim.readLine().startsWith("ready ");
    if (!ready) {
        std::printf("device_exchange: instrument-sim did not start (%s)\n", qPrintable(simPath));
        return false;
    }

    bool ok = false;
    {
        TDevice_VuzaRavarede device;
        device.SetPortsFolder(ports);
        if (device.Open(QStringLiteral("COM1"), QStringLiteral("38400")) &&
            device.CommandDevice()) {
            QList<double> ms;
            ok = true;
            for (int i = 0; i < exchanges && ok; ++i) {
                QElapsedTimer timer;
                timer.start();
                ok = device.CommandPos();
                ms << double(timer.nsecsElapsed()) / 1e6;
                sim.readAll(); // its exchange lines are not needed
            }
            if (ok) {
                // "POS 3\r" out, "POS 3 0 0 0\r" back.
                const int bytes = 6 + 12;
                const double wireMs = 1000.0 * bytes * kBitsPerByte / kBaud;
                char note[96];
                std::snprintf(note, sizeof note, "wire time at %d baud %.2f ms (%d bytes)", kBaud,
                              wireMs, bytes);
                std::printf("device_exchange: POS 3 against instrument-sim\n");
                BenchResult::Record("device exchange (POS 3)", BenchResult::Summarise(ms), "ms",
                                    kSliceMs, note);
            }
        }
        if (!ok) std::printf("device_exchange: the exchange with instrument-sim failed\n");
        device.Close();
    }
    sim.terminate();
    if (!sim.waitForFinished(10000)) sim.kill();
    return ok;
}

bool MeasureLog(int runs) {
    // A typical entry: the receive buffer of an answer with its bytes.
    const QByteArray answer = "POS 3 1200 340 2150\r";
    const auto* bytes = reinterpret_cast<const quint8*>(answer.constData());
    constexpr int kEarly = 100;
    constexpr int kLate = 100000;
    constexpr int kWindow = 100; // entries timed from each position on; their median counts
    QList<double> early, late;
    for (int run = 0; run < runs; ++run) {
        QTemporaryDir dir; // a folder of its own: runs in one second would share a file name
        TDevice_VuzaRavarede device;
        if (!dir.isValid() || !device.StartLog(dir.path() + QStringLiteral("/Log/"))) return false;
        QList<double> atEarly, atLate;
        QElapsedTimer timer;
        for (int n = 1; n < kLate + kWindow; ++n) {
            const bool timed = (n >= kEarly && n < kEarly + kWindow) || n >= kLate;
            if (timed) timer.start();
            if (!device.WriteLog(QStringLiteral("RxBuffer (%1)").arg(answer.size()), bytes,
                                 int(answer.size())))
                return false;
            if (timed) (n < kLate ? atEarly : atLate) << double(timer.nsecsElapsed()) / 1e3;
        }
        // Every entry reached the file: at least its bytes' hexadecimal form each.
        const QFileInfo file(device.LogFolder + QStringLiteral("Log ") + device.LogStamp +
                             QStringLiteral(".ini"));
        if (file.size() < qint64(kLate) * 4 * answer.size()) {
            std::printf("communication log: the file holds fewer entries than written\n");
            return false;
        }
        const double e = BenchResult::Summarise(atEarly).Median;
        const double l = BenchResult::Summarise(atLate).Median;
        early << e;
        late << l;
    }
    std::printf("communication log: entry %d vs entry %d (median of %d entries each, %d files)\n",
                kLate, kEarly, kWindow, runs);
    const BenchResult::Summary first = BenchResult::Summarise(early);
    BenchResult::Record("log entry 100", first, "us");
    BenchResult::Record("log entry 100000", BenchResult::Summarise(late), "us", first.Median,
                        "floor: the cost of entry 100");
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString sim =
        Argument(args, QStringLiteral("--sim"),
                 app.applicationDirPath() + QStringLiteral("/../bin/instrument-sim"));
    const int exchanges =
        Argument(args, QStringLiteral("--exchanges"), QStringLiteral("50")).toInt();
    const int logRuns = Argument(args, QStringLiteral("--log-runs"), QStringLiteral("3")).toInt();
    bool ok = exchanges <= 0 || MeasureExchanges(sim, exchanges);
    ok = (logRuns <= 0 || MeasureLog(logRuns)) && ok;
    return ok ? 0 : 1;
}
