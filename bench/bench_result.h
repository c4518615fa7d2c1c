#pragma once
// Figures of the compiled benchmarks: printed for the reader and, when VR_BENCH_JSON names a
// file, appended to it as one JSON object a line for the suite's table (bench/suite.py).

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace BenchResult {

struct Summary {
    double Median = 0.0;
    double Min = 0.0;
    double Max = 0.0;
    int Runs = 0;
};

inline Summary Summarise(QList<double> values) {
    Summary s;
    if (values.isEmpty()) return s;
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    s.Median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
    s.Min = values.first();
    s.Max = values.last();
    s.Runs = int(n);
    return s;
}

// One row of the suite's table. `floor` <= 0 means the figure has no floor.
inline void Record(const char* figure, const Summary& s, const char* unit, double floor = 0.0,
                   const char* note = "") {
    std::printf("  %s: median %.4g %s (min %.4g, max %.4g, %d runs)", figure, s.Median, unit, s.Min,
                s.Max, s.Runs);
    if (floor > 0.0) std::printf("; floor %.4g %s, x%.3f", floor, unit, s.Median / floor);
    if (*note) std::printf("; %s", note);
    std::printf("\n");
    std::fflush(stdout);

    const QByteArray path = qgetenv("VR_BENCH_JSON");
    if (path.isEmpty()) return;
    QJsonObject row{{"figure", figure}, {"median", s.Median}, {"min", s.Min},
                    {"max", s.Max},     {"runs", s.Runs},     {"unit", unit}};
    if (floor > 0.0) {
        row.insert("floor", floor);
        row.insert("ratio", s.Median / floor);
    }
    if (*note) row.insert("note", note);
    QFile file(QString::fromLocal8Bit(path));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(QJsonDocument(row).toJson(QJsonDocument::Compact) + '\n');
}

} // namespace BenchResult
