// The cost of one scan record row: format it, write it and hand it to the system (the record is
// flushed row by row so that a killed program keeps every finished point). Rows go to a record
// in a temporary folder on the same file system as the program's own folder would be.
//
//   bench_scan_record [--rows N]
#include "bench/bench_result.h"
#include "control/Unit_ScanRecord.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Time to write one scan record row (target: median <= 0.2 ms)."));
    parser.addHelpOption();
    const QCommandLineOption rowsOption("rows", "rows written (default 5000)", "N", "5000");
    parser.addOption(rowsOption);
    parser.process(app);
    const int rows = std::max(1, parser.value(rowsOption).toInt());

    QTemporaryDir dir;
    TScanRecord record;
    ScanRecordHeader header;
    header.Program = QStringLiteral("VuzaRavarede bench");
    if (!record.Begin(
            dir.path() + QStringLiteral("/Scans"), QDateTime::currentDateTime(), header,
            [](const QString& reason) { std::fprintf(stderr, "%s\n", qPrintable(reason)); }))
        return 1;
    QList<double> times;
    times.reserve(rows);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < rows; ++i) {
        ScanRecordRow row;
        row.Point = i + 1;
        row.Cwl = 400.0 + 0.5 * (i % 800);
        row.Fwhm = 10.0;
        row.Sw = row.Cwl - 5.0;
        row.Lw = row.Cwl + 5.0;
        row.HavePositions = true;
        row.P1 = 1000 + i % 3000;
        row.P2 = 2000;
        row.P3 = 3000;
        // The wall-clock readings are the step's own, taken around its move.
        row.Started = QDateTime::currentDateTime();
        row.Finished = row.Started.addMSecs(250);
        row.TStarted = i * 0.35;
        row.TFinished = i * 0.35 + 0.25;
        row.Ok = true;
        const qint64 start = clock.nsecsElapsed();
        record.WriteRow(row);
        times.append(double(clock.nsecsElapsed() - start) / 1e6);
        if (!record.IsOpen()) return 1;
    }
    record.End(ScanRecordEnd::Success);
    const BenchResult::Summary figures = BenchResult::Summarise(times);
    std::printf(
        "scan record row x%d: min %.4f  median %.4f  max %.4f ms (target median <= 0.2 ms)\n",
        figures.Runs, figures.Min, figures.Median, figures.Max);
    BenchResult::Record("scan record row written and flushed", figures, "ms", 0.0,
                        "target: median <= 0.2 ms");
    return 0;
}
