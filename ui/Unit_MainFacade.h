#pragma once
// What the panels may ask of the main window. TForm_Main implements it; the panels hold only this,
// so they never reach the driver, the settings or the window's fields, and can be driven by a
// small stand-in without a device.
//
// The instrument line carries one exchange at a time: a handler that runs inside an event pump
// checks IsDeviceBusy() and IsDeviceExchanging() before starting one, and holds the device lock
// (TryLockDevice/UnlockDevice) for the whole of a multi-step action.

#include "caldata/Unit_CalibrationTable.h"

#include <QByteArray>
#include <QString>

class IMainFacade : public CalibrationLookups {
public:
    ~IMainFacade() override = default;

    // ---- device session
    virtual bool IsDeviceOpened() const = 0;
    // A device exchange is waiting for its answer (the caller runs nested inside it).
    virtual bool IsDeviceExchanging() const = 0;
    // The device lock is held by some action.
    virtual bool IsDeviceBusy() const = 0;
    virtual bool TryLockDevice() = 0;
    virtual bool UnlockDevice() = 0;
    virtual bool RefreshPositions() = 0;
    virtual bool HomeDevice() = 0;
    virtual bool SendBken(bool on) = 0;
    virtual bool MoveTo(double cwl, double fwhm) = 0;
    virtual void Action_DeviceCloseExecute() = 0;
    // The program is shutting down: no new device work may start.
    virtual bool IsCloseRequested() const = 0;
    // The session is open but its device information or calibration table could not be read:
    // the message line of the read that failed (for example "ERRDV10 : No calibration data
    // file."). Empty when no session is open or the session is ready.
    virtual QString SessionReadFailure() const = 0;
    // Reads the device information and the calibration file again as the session's start does,
    // switches BKEN off and, with both read, homes the instrument and reports it ready. The
    // file dialog opens only when `mayAskForFile`. The caller holds the device lock. True when
    // the session is ready afterwards.
    virtual bool RereadSession(bool mayAskForFile) = 0;

    // ---- device information
    virtual QString GetProductLabel() const = 0;

    // ---- message bar
    virtual void ShowStatusMessage(const QString& text, unsigned color) = 0;

    // ---- remote control
    virtual bool IsRemoteControlled() const = 0;
    virtual void SetRemoteResult(const QByteArray& response, const QByteArray& code,
                                 const QByteArray& text) = 0;
    // Stores a scan's end report. Besides being the stored result, it stays pending for the
    // controlling client until an empty request line reads it, whatever else is asked meanwhile.
    virtual void StoreScanEndReport(const QByteArray& response, const QByteArray& code,
                                    const QByteArray& text) {
        SetRemoteResult(response, code, text);
    }
    // The client whose request is being carried out has gone (closed, reset, replaced): the
    // request must not start anything new. Checked after every pump of a remote operation.
    virtual bool IsRemoteRequestAbandoned() const { return false; }

    // ---- scan record and progress
    // The folder scan records are written to; empty while recording is off.
    virtual QString ScanRecordFolder() const { return QString(); }
    // What a scan record says about the program, the instrument and its calibration file.
    struct RecordDescription {
        QString Program;
        QString Model;
        QString Serial;
        QString Range;
        QString CalFile;
    };
    virtual RecordDescription DescribeForScanRecord() const { return {}; }
    // A scan record cannot be written: said once per scan, where the program reports faults.
    virtual void ReportScanRecordFailure(const QString& reason) { (void)reason; }
    // The motor positions of the table's valid grid point for the band; false when it has none.
    virtual bool GridPositions(double cwl, double fwhm, qint32 positions[3]) const {
        (void)cwl;
        (void)fwhm;
        (void)positions;
        return false;
    }
    // The progress of a running scan on the message bar; hidden with done and total both -1.
    virtual void ShowScanProgress(qint32 done, qint32 total, double secondsLeft) {
        (void)done;
        (void)total;
        (void)secondsLeft;
    }

    // ---- view strip
    virtual void SetViewRange(double lo, double hi) = 0;
    virtual void ShowViewSetting(double lo, double hi, double cwl, double fwhm, double sw,
                                 double lw) = 0;
};
