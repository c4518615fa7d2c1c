// The main window's side of a scan record, the scan's progress on the message bar, and the
// read-back of progress and band for the remote control. Everything here answers from state the
// program holds; nothing talks to the instrument.
#include "app/Unit_FormMain.h"

#include "caldata/Unit_CalDataFile.h"
#include "control/Unit_FormControlScan.h"
#include "core/Unit_Numbers.h"
#include "core/Unit_setupvuzaravarede.h"
#include "device/Unit_devicevuzaravarede.h"
#include "ui/Unit_ScanProgress.h"

#include <cstdio>

namespace {

QByteArray Fixed1(double value) {
    return Numbers::FormatFixedEnUS(value, 1).toLatin1();
}

} // namespace

QString TForm_Main::ScanRecordFolder() const {
    if (!Setup || !Setup->ScanRecord) return QString();
    return ExeFolder + QStringLiteral("Scans");
}

IMainFacade::RecordDescription TForm_Main::DescribeForScanRecord() const {
    RecordDescription about;
    about.Program = QStringLiteral("VuzaRavarede " VR_PROGRAM_VERSION);
    about.Model = DeviceModel;
    about.Serial = DeviceSerial;
    about.Range = DeviceRange;
    if (CalDataLoaded)
        about.CalFile =
            ExeFolder + QStringLiteral("Cal/") + KeptCalFileName(DeviceModel, DeviceSerial);
    return about;
}

void TForm_Main::ReportScanRecordFailure(const QString& reason) {
    if (Device) Device->WriteLog(reason);
    std::fprintf(stderr, "VuzaRavarede: %s\n", reason.toLocal8Bit().constData());
    std::fflush(stderr);
}

bool TForm_Main::GridPositions(double cwl, double fwhm, qint32 positions[3]) const {
    if (!DeviceOpened || !CalDataLoaded) return false;
    int row = -1;
    int col = -1;
    if (!Table.FindCell(cwl, fwhm, row, col)) return false;
    const CalibrationCell& cell = Table.Cell(row, col);
    if (!cell.Valid) return false;
    positions[0] = cell.Pos1;
    positions[1] = cell.Pos2;
    positions[2] = cell.Pos3;
    return true;
}

void TForm_Main::ShowScanProgress(qint32 done, qint32 total, double secondsLeft) {
    if (!ScanProgress) return;
    if (done < 0 && total < 0) {
        ScanProgress->hide();
        return;
    }
    ScanProgress->SetProgress(done, total, secondsLeft);
    if (ScanProgress->isHidden()) {
        ScanProgress->raise();
        ScanProgress->show();
    }
}

QByteArray TForm_Main::ProgressReply() const {
    const ScanProgressFigures figures =
        FormControlScan ? FormControlScan->Progress() : ScanProgressFigures();
    return QByteArray::number(figures.Done) + ',' + QByteArray::number(figures.Total) + ',' +
           Fixed1(figures.ElapsedS) + ',' + Fixed1(figures.RemainingS);
}

QByteArray TForm_Main::BandReply() const {
    if (!BandKnown || !DeviceOpened) return "NONE";
    // The band's edges as the scan engine and the view strip work them out.
    const double sw =
        Numbers::RoundToExtended(static_cast<long double>(BandCwl) - BandFwhm * 0.5L, 2);
    const double lw = Numbers::RoundToExtended(BandFwhm * 0.5L + BandCwl, 2);
    return Fixed1(BandCwl) + ',' + Fixed1(BandFwhm) + ',' + Fixed1(sw) + ',' + Fixed1(lw);
}

void TForm_Main::ForgetBand() {
    BandKnown = false;
    BandCwl = 0.0;
    BandFwhm = 0.0;
}
