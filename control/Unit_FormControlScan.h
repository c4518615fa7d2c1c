#pragma once
// The Scan tab: START, END, FWHM, STEP and TimeDelay; Go starts a scan and, while one runs,
// stops it; Reset homes the filter. The panel owns the scan engine: the worker that polls ten
// times a second, the step it hands over, and the supervision timer that reports the end.
// The remote protocol drives the same operations through the remote actions.

#include "control/Unit_ScanRecord.h"
#include "control/Unit_ScanValidation.h"

#include <QByteArray>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QTimer;
class IMainFacade;
class TSkinEdit;
class TSkinImage;
class TThread_AutoScan;

// How far the current or last scan got: points moved, points in the scan, seconds since it was
// armed and the estimate of seconds left (0 once it has ended). All 0 before the first scan.
struct ScanProgressFigures {
    qint32 Done = 0;
    qint32 Total = 0;
    double ElapsedS = 0.0;
    double RemainingS = 0.0;
};

class TForm_ControlScan : public QWidget {
    Q_OBJECT
public:
    TForm_ControlScan(IMainFacade* main, QWidget* dock);
    ~TForm_ControlScan() override;

    void Action_UpdateUI();
    void Action_Button3_Down();
    void Action_Button3_Up();
    void Action_Button4_Down();
    void Action_Button4_Up();
    void Action_RemoteControl_Enable();
    void Action_RemoteControl_Disable();
    void Action_RemoteControl_Reset();
    void Action_RemoteControl_Scan();
    // The remote scan of a request line: its values are written into the five boxes only once
    // the scan goes ahead, so that a refused request leaves the boxes as they were.
    void Action_RemoteControl_Scan(const QByteArray& start, const QByteArray& end,
                                   const QByteArray& fwhm, const QByteArray& step,
                                   const QByteArray& timeDelay);
    void Action_RemoteControl_Stop();

    // Writes a remote request into the five fields as received (START, END, FWHM, STEP,
    // TimeDelay), not limited to the typing length.
    void SetScanFields(const QByteArray& start, const QByteArray& end, const QByteArray& fwhm,
                       const QByteArray& step, const QByteArray& timeDelay);

    // True: the fields passed every rule, ScanRequest and ScanLimits are updated. False: the
    // failure line is on the message bar (and, for the remote entry, in the result store).
    bool ValidateScanRequest();
    bool ValidateRemoteScanRequest();

    // ---- the engine
    // Hands the accepted request to the worker and starts stepping.
    void ArmScan();
    // Releases the Go button and the device and returns to idle.
    void FinishScan();
    // One poll of the engine, run on the GUI thread by the worker.
    void ScanStep();
    // Once a second: reports the end of a scan.
    void Timer_CheckScanTimer();
    // Read from the engine's state; no exchange with the instrument.
    ScanProgressFigures Progress() const;
    // A stop that takes effect at once: no further move starts, and the supervision timer
    // reports the end. The stop's answer is Action_RemoteControl_Stop's.
    void RequestStop();
    // The scan has stopped or ended and waits for its end to be reported.
    bool IsEnding() const { return Running && (StopRequested || Finished); }
    // A step runs: its move may still wait for the instrument's answer below the caller.
    bool IsInStep() const { return InStep; }

    // The panel's close sequence: the timer stops and the worker ends. Run by the main window's
    // shutdown before the panel is released.
    void FormClose();

    void Image_Button3Click();
    void Image_Button4Click();

    // ---- engine flags
    bool Closing = false;       // the panel is closing; the timer no longer re-arms
    bool Running = false;       // a scan is in progress or its end has not been reported yet
    bool StopRequested = false; // the user or the remote client asked to stop
    bool Succeeded = false;     // the scan ran past END without a failure
    bool Finished = false;      // the engine has ended the scan
    bool Reporting = false;     // the end is being reported: the scan has stopped

    ScanRequestValues ScanRequest;
    ScanLimitValues ScanLimits;

    std::unique_ptr<TThread_AutoScan> Thread_AutoScan;
    QTimer* Timer_CheckScan = nullptr;

    TSkinImage* Image_Base = nullptr;
    QLabel* Label_Product = nullptr;
    QLabel* Label_Remote = nullptr;
    TSkinImage* Image_Edit[5] = {};
    TSkinEdit* Edit[5] = {}; // START, END, FWHM, STEP, TimeDelay
    TSkinImage* Image_Button3_On = nullptr;
    TSkinImage* Image_Button3_Off = nullptr;
    TSkinImage* Image_Button4_On = nullptr;
    TSkinImage* Image_Button4_Off = nullptr;
    // The Go button while a scan runs: a click stops it, also while a remote client holds
    // control, so that the person at the instrument can always stop a moving filter.
    TSkinImage* Image_Button4_Stop = nullptr;

    // The record of the current or last scan.
    TScanRecord Record;

protected:
    void showEvent(QShowEvent* event) override;

private:
    enum class Caller { Local, Remote };
    void RunReset(Caller caller);
    // The remote scan; `fill` writes the request into the boxes once the device lock is held.
    void RunRemoteScan(const std::function<void()>& fill);
    bool Validate(Caller caller);
    // Back to idle after a start that did not arm.
    void AbandonStart();
    // The controls a remote client locks.
    QList<QWidget*> LockedByRemote() const;
    // The five boxes take no input while a scan runs: the screen keeps showing its request.
    void SetBoxesReadOnly(bool readOnly);
    void BeginRecord();
    // The record's end line, from the flags as the supervision timer reports them.
    void EndRecord();
    // Writes the end line EndRecord decided on, if any.
    void CompleteRecordEnd();
    void WriteRecordRow(bool ok, qint64 startNs, qint64 endNs, const QDateTime& started,
                        const QDateTime& finished);
    // Seconds from the scan's arming to `ns` on the engine's clock.
    double SecondsSinceArmed(qint64 ns) const;
    void ShowProgress();

    IMainFacade* Main;
    // A step is running: the worker waits for it, so it must not be waited for from inside.
    bool InStep = false;
    // The session was closed under the scan, and with it the scan's hold on the device.
    bool LockLost = false;
    // Counts armed scans, so that a step notices when its scan ended and another began while
    // its move was being completed.
    quint64 ScanNumber = 0;

    // ---- progress of the current or last scan, on the engine's clock (ns)
    qint32 ScanTotal = 0;
    qint64 ArmedNs = 0;
    qint64 FirstMoveNs = 0;
    qint64 LastMoveNs = 0;
    double EndedElapsedS = 0.0;
    std::optional<ScanRecordEnd> PendingRecordEnd;
};
