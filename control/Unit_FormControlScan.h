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

// Where the panel's scan is. One phase at a time, and only EnterPhase changes it:
//
//   phase      what holds                                      left for
//   Idle       no scan; Go starts one                          Starting: a start took the lock
//   Starting   a start holds the device lock and checks its    Running: ArmScan
//              request; nothing is armed                       Idle: refused (ReturnToIdle)
//   Running    the worker moves from point to point            Stopping: a stop
//                                                              Ending: past END, a failed move,
//                                                                the session lost
//   Stopping   no further move starts; the end waits for the   Reporting: the supervision timer
//              supervision timer and is an abort
//   Ending     the engine has ended the scan; the end waits    Stopping: a stop (it wins)
//              for the supervision timer                       Reporting: the supervision timer
//   Reporting  the timer reports the end (the message bar      Idle: FinishScan (ReturnToIdle)
//              pumps events meanwhile)
//
// From Running to Reporting the scan holds the device lock: that is Running().
enum class ScanPhase { Idle, Starting, Running, Stopping, Ending, Reporting };

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
    // reports the end. The stop's answer is Action_RemoteControl_Stop's. A scan whose end is
    // being reported has stopped already: its report stands.
    void RequestStop();

    // ---- where the scan is
    ScanPhase Phase() const { return PhaseNow; }
    // A scan is in progress or its end has not been reported yet: it holds the device lock.
    bool Running() const { return PhaseNow != ScanPhase::Idle && PhaseNow != ScanPhase::Starting; }
    // The user or the remote client asked to stop, and the end is not reported yet.
    bool StopRequested() const {
        return PhaseNow == ScanPhase::Stopping ||
               (PhaseNow == ScanPhase::Reporting && ReportedEnd == ScanRecordEnd::Abort);
    }
    // The engine has ended the scan, with success or failure (a later stop keeps it).
    bool Finished() const { return Outcome != EngineOutcome::None; }
    // The scan ran past END without a failure.
    bool Succeeded() const { return Outcome == EngineOutcome::Success; }
    // The scan has stopped or ended and waits for its end to be reported.
    bool IsEnding() const {
        return PhaseNow == ScanPhase::Stopping || PhaseNow == ScanPhase::Ending ||
               PhaseNow == ScanPhase::Reporting;
    }
    // A step runs: its move may still wait for the instrument's answer below the caller.
    bool IsInStep() const { return InStep; }

    // The panel's close sequence: the timer stops and the worker ends. Run by the main window's
    // shutdown before the panel is released.
    void FormClose();

    void Image_Button3Click();
    void Image_Button4Click();

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
    enum class EngineOutcome { None, Success, Failure };
    void RunReset(Caller caller);
    // The remote scan; `fill` writes the request into the boxes once the device lock is held.
    void RunRemoteScan(const std::function<void()>& fill);
    bool Validate(Caller caller);
    // The one place the phase changes.
    void EnterPhase(ScanPhase next);
    // The engine ends the scan: a scan moving goes to Ending; a stopped one keeps its stop.
    void EngineEnds(EngineOutcome outcome);
    // The end a report of the scan says now: a stop first, then the engine's outcome.
    ScanRecordEnd EndToReport() const;
    // The way back to Idle, from a start that did not arm and from a reported end: the boxes
    // and the Go button are released, the device lock given back (unless a closed session
    // took it along), the worker disarmed.
    void ReturnToIdle();
    // The controls a remote client locks.
    QList<QWidget*> LockedByRemote() const;
    // The five boxes take no input while a scan runs: the screen keeps showing its request.
    void SetBoxesReadOnly(bool readOnly);
    void BeginRecord();
    // The record's end line: the end the supervision timer reports.
    void EndRecord();
    // Writes the end line EndRecord decided on, if any.
    void CompleteRecordEnd();
    void WriteRecordRow(bool ok, qint64 startNs, qint64 endNs, const QDateTime& started,
                        const QDateTime& finished);
    // Seconds from the scan's arming to `ns` on the engine's clock.
    double SecondsSinceArmed(qint64 ns) const;
    void ShowProgress();

    IMainFacade* Main;
    ScanPhase PhaseNow = ScanPhase::Idle;
    EngineOutcome Outcome = EngineOutcome::None;
    // What the report under way says; read while Reporting.
    ScanRecordEnd ReportedEnd = ScanRecordEnd::Success;
    // The panel is closing; the supervision timer no longer re-arms.
    bool Closing = false;
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
