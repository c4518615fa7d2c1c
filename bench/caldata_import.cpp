// How long the session takes to import the kept calibration copy (the main window's import
// action: open the file, check it stage by stage and fill the table), for the sample file
// (801 CWL rows x 20 FWHM columns) and for the largest table the file format allows (1000 x 20,
// every cell a four-digit position on each axis).
//   bench_caldata_import [--sample PATH] [--runs N]
#include "app/Unit_FormMain.h"
#include "bench/bench_result.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

const QString kModel = QStringLiteral("F123");
const QString kSerial = QStringLiteral("ABCD12345678");

QString Argument(const QStringList& args, const QString& name, const QString& fallback) {
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args[at + 1] : fallback;
}

QByteArray FullTableFile() {
    const int rows = CalibrationTable::kMaxRows;
    const int cols = CalibrationTable::kMaxCols;
    QByteArray text = "Model," + kModel.toLatin1() + "\r\nSerial,-," + kSerial.toLatin1() +
                      "\r\nA table of the largest size\r\nCOLUMN," + QByteArray::number(cols) +
                      "\r\nROW," + QByteArray::number(rows) + "\r\n,";
    for (int c = 1; c <= cols; ++c)
        text += ',' + QByteArray::number(c);
    text += "\r\n";
    for (int r = 0; r < rows; ++r) {
        // CWL 400.0 nm on, every 0.5 nm, as "400.0" ... "899.5".
        text += QByteArray::number(r + 1) + ',' + QByteArray::number(400 + r / 2) +
                (r % 2 ? ".5" : ".0");
        for (int c = 0; c < cols; ++c)
            text += ',' + QByteArray::number(1000 + (r * 7 + c) % 5000) + ':' +
                    QByteArray::number(5999 - c * 40) + ':' + QByteArray::number(1000 + r * 4);
        text += "\r\n";
    }
    return text;
}

// Imports `file` as the kept copy `runs` times; false when an import fails or fills another size.
bool Measure(TForm_Main& form, const QString& keptPath, const QByteArray& file, int rows, int runs,
             const char* figure) {
    QList<double> ms;
    for (int run = 0; run < runs; ++run) {
        // A copy that fails its checks is removed by the import: write it again every run.
        QFile kept(keptPath);
        if (!kept.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            kept.write(file) != file.size())
            return false;
        kept.close();
        form.Table.Empty();
        QElapsedTimer timer;
        timer.start();
        form.Action_DeviceReadCalDataFromFileExecute();
        ms << double(timer.nsecsElapsed()) / 1e6;
        if (!form.CalDataLoaded || form.Table.RowCount != rows ||
            form.Table.ColCount != CalibrationTable::kMaxCols) {
            std::printf("caldata_import: %s did not load as %d x %d\n", figure, rows,
                        CalibrationTable::kMaxCols);
            return false;
        }
    }
    BenchResult::Record(figure, BenchResult::Summarise(ms), "ms");
    return true;
}

} // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString samplePath =
        Argument(args, QStringLiteral("--sample"), QStringLiteral(VR_SAMPLE_CALDATA));
    const int runs = Argument(args, QStringLiteral("--runs"), QStringLiteral("30")).toInt();

    QFile sampleFile(samplePath);
    if (!sampleFile.open(QIODevice::ReadOnly)) {
        std::printf("caldata_import: cannot read %s\n", qPrintable(samplePath));
        return 1;
    }
    const QByteArray sample = sampleFile.readAll();

    QTemporaryDir dir;
    QFile ini(dir.path() + QStringLiteral("/VuzaRavarede.ini"));
    if (!dir.isValid() || !QDir(dir.path()).mkpath(QStringLiteral("Cal")) ||
        !ini.open(QIODevice::WriteOnly))
        return 1;
    ini.write("[Info]\nType=QVL Rari v2\n");
    ini.close();

    TForm_Main form(dir.path());
    form.Timer_AutoOpen->stop();
    form.SetPortProbe([](const QString&) { return false; });
    // The state the session is in when it reads the copy: the device information is loaded.
    form.DeviceModel = kModel;
    form.DeviceSerial = kSerial;
    form.DeviceOpened = form.DeviceInfoLoaded = true;
    const QString kept =
        dir.path() + QStringLiteral("/Cal/") + kModel + u'_' + kSerial + QStringLiteral(".csv");

    std::printf("caldata_import: the session's import of the kept copy\n");
    const bool ok =
        Measure(form, kept, sample, 801, runs, "calibration import 801 x 20 (sample)") &&
        Measure(form, kept, FullTableFile(), CalibrationTable::kMaxRows, runs,
                "calibration import 1000 x 20 (largest)");
    form.DeviceOpened = form.DeviceInfoLoaded = form.CalDataLoaded = false;
    form.ReleaseAll();
    return ok ? 0 : 1;
}
