// The main window's calibration table: gated lookups, the move to a grid point, and the import
// of the instrument's calibration data file into the table.
#include "app/Unit_FormMain.h"

#include "caldata/Unit_CalDataFile.h"
#include "core/Unit_Colors.h"
#include "core/Unit_Messages.h"
#include "core/Unit_SafeFile.h"
#include "device/Unit_devicevuzaravarede.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>

double TForm_Main::MinCwl() const {
    return DeviceOpened && CalDataLoaded ? Table.MinCwl() : 0.0;
}
double TForm_Main::MaxCwl() const {
    return DeviceOpened && CalDataLoaded ? Table.MaxCwl() : 0.0;
}
double TForm_Main::MinFwhm() const {
    return DeviceOpened && CalDataLoaded ? Table.MinFwhm() : 0.0;
}
double TForm_Main::MaxFwhm() const {
    return DeviceOpened && CalDataLoaded ? Table.MaxFwhm() : 0.0;
}
double TForm_Main::CwlStep() const {
    return DeviceOpened && CalDataLoaded ? Table.CwlStep() : 0.0;
}
double TForm_Main::MinCwlAtFwhm(double fwhm) const {
    return DeviceOpened && CalDataLoaded ? Table.MinCwlAtFwhm(fwhm) : 0.0;
}
double TForm_Main::MaxCwlAtFwhm(double fwhm) const {
    return DeviceOpened && CalDataLoaded ? Table.MaxCwlAtFwhm(fwhm) : 0.0;
}
double TForm_Main::MinFwhmAtCwl(double cwl) const {
    return DeviceOpened && CalDataLoaded ? Table.MinFwhmAtCwl(cwl) : 0.0;
}
double TForm_Main::MaxFwhmAtCwl(double cwl) const {
    return DeviceOpened && CalDataLoaded ? Table.MaxFwhmAtCwl(cwl) : 0.0;
}
bool TForm_Main::IsCwlInTable(double cwl) const {
    return DeviceOpened && CalDataLoaded && Table.IsCwlInTable(cwl);
}

bool TForm_Main::MoveTo(double cwl, double fwhm) {
    // While the move runs, the band is the one last reached; a failed move leaves the filter at
    // no band the program can name.
    const auto failed = [this]() {
        ForgetBand();
        return false;
    };
    if (!DeviceOpened || !CalDataLoaded) return failed();
    int row = -1;
    int col = -1;
    if (!Table.FindCell(cwl, fwhm, row, col)) return failed();
    // A missing grid point holds -1 positions, which GO refuses without sending anything.
    const CalibrationCell& cell = Table.Cell(row, col);
    if (!Device->CommandGo(cell.Pos1, cell.Pos2, cell.Pos3)) return failed();
    // The grid point's own values: what the filter was set to, whatever was typed.
    BandKnown = DeviceOpened;
    BandCwl = Table.RowValues[row];
    BandFwhm = Table.ColValues[col];
    Action_UpdateUIExecute();
    return true;
}

QString TForm_Main::CalDataDialogFolder(const QString& currentFolder, const QString& exeFolder) {
    const QStringList csv = QDir(currentFolder).entryList({QStringLiteral("*.csv")}, QDir::Files);
    return csv.isEmpty() ? exeFolder : QStringLiteral(".");
}

QString TForm_Main::ShowCalDataDialog(const QString& title, const QString& presetName) {
    QFileDialog dialog(this, title, CalDataDialogFolder(QDir::currentPath(), ExeFolder));
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    dialog.setNameFilter(QStringLiteral("QVL-Auto CalData File (*.csv)"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.selectFile(presetName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().constFirst();
}

void TForm_Main::Action_DeviceReadCalDataFromFileExecute() {
    CalDataLoaded = false;
    if (!DeviceInfoLoaded || DeviceModel.size() != 4 || DeviceSerial.size() != 12) {
        ShowReadFailure(Messages::Text(Messages::ERRDV06));
        return;
    }

    const QString calFolder = ExeFolder + QStringLiteral("Cal/");
    const QString keptName = KeptCalFileName(DeviceModel, DeviceSerial);
    const QString keptPath = calFolder + keptName;
    // A platform failure before the checks begin counts as a fault of the first stage.
    auto failBeforeChecks = [&]() {
        Table.Empty();
        QFile::remove(keptPath);
        ShowReadFailure(CalDataErrorMessage(20, QString()));
    };

    if (!QDir().mkpath(calFolder)) {
        failBeforeChecks();
        return;
    }
    // A folder in the copy's place is not a copy: the file is asked for, and the copy fails
    // while the folder is there (it is never deleted). Anything else in the place (a FIFO, a
    // device, a broken link) is a copy that cannot be read: it fails the checks and is removed.
    const QFileInfo keptInfo(keptPath);
    if (keptInfo.isDir() || !(keptInfo.exists() || keptInfo.isSymLink())) {
        const QString title = QStringLiteral("Please Select QVL Rari Calibration Data File, And "
                                             "Click OK. (") +
                              DeviceModel + u'/' + DeviceSerial + u')';
        // Without the dialog (a remote request waits for nobody at the screen) the file counts
        // as not given.
        QString chosen;
        if (CalDataDialogAllowed) {
            try {
                chosen = OpenDialog_CalData ? OpenDialog_CalData(title, keptName)
                                            : ShowCalDataDialog(title, keptName);
            } catch (...) {
                // The dialog may be given from outside (tests answer it) and may throw: a
                // failure before the checks, like a folder that cannot be made.
                failBeforeChecks();
                return;
            }
        }
        if (chosen.isEmpty()) {
            ShowReadFailure(Messages::Text(Messages::ERRDV10));
            return;
        }
        if (!IsDeliveredCalFileNameValid(QFileInfo(chosen).fileName(), DeviceModel, DeviceSerial)) {
            ShowReadFailure(Messages::Text(Messages::ERRDV08));
            return;
        }
        // Only a regular file is copied, and none larger than the checks would ever look through.
        if (!SafeFile::CopyRegularFile(chosen, keptPath, CalDataFileLines::MaxScanBytes)) {
            ShowReadFailure(Messages::Text(Messages::ERRDV09));
            return;
        }
    }

    QFile kept;
    if (!SafeFile::OpenRegularFile(keptPath, kept)) {
        failBeforeChecks();
        return;
    }
    // Only the lines the checks examine are read, each with a bound.
    CalDataFileLines lines(kept);
    const CalDataLoadResult result = LoadCalData(lines, DeviceModel, DeviceSerial, Table);
    kept.close();
    if (result.Code != 0) {
        Table.Empty();
        // A copy that fails its checks is dropped, so the next session asks for the file again.
        QFile::remove(keptPath);
        ShowReadFailure(CalDataErrorMessage(result.Code, result.Tag));
        return;
    }
    CalDataLoaded = true;
}

void TForm_Main::ShowReadFailure(const QString& line) {
    ReadFailureLine = line;
    ShowStatusMessage(line, Colors::clMsgRed);
}
