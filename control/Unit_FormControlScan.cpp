#include "control/Unit_FormControlScan.h"

#include "control/Unit_PanelOperation.h"
#include "control/Unit_ThreadAutoScan.h"
#include "core/Unit_Colors.h"
#include "core/Unit_EventPump.h"
#include "core/Unit_Messages.h"
#include "core/Unit_Text8.h"
#include "ui/Unit_FormControlView.h"
#include "ui/Unit_MainFacade.h"
#include "ui/Unit_PanelParts.h"
#include "ui/Unit_SkinEdit.h"
#include "ui/Unit_SkinImage.h"

#include <QDateTime>
#include <QLabel>
#include <QScopedValueRollback>
#include <QTimer>

namespace {

using PanelOperation::kDeviceBusy;
const QString& kScanNotReady = PanelOperation::kDeviceNotReady;

} // namespace

TForm_ControlScan::TForm_ControlScan(IMainFacade* main, QWidget* dock) : QWidget(dock), Main(main) {
    setGeometry(0, 0, 910, 242);
    PanelParts::PaintBackground(this);
    Image_Base = new TSkinImage(QStringLiteral("scan_base"), this, 0, 0);
    Label_Product = PanelParts::MakeLabel(this, 440, 24, 416, 28, QString(), Colors::clLabelGrey);
    Label_Remote =
        PanelParts::MakeLabel(this, 252, 24, 176, 28, QStringLiteral("Remote"), Colors::clMsgRed);
    Label_Remote->hide();
    static constexpr int kLefts[5] = {56, 176, 296, 416, 536};
    for (int i = 0; i < 5; ++i) {
        Image_Edit[i] =
            new TSkinImage(QStringLiteral("scan_edit%1").arg(i + 1), this, kLefts[i], 88);
        Edit[i] =
            new TSkinEdit(this, QRect(kLefts[i] + 12, 164, 96, 48), 32, Colors::clScanEdit, 5);
        TSkinEdit* box = Edit[i];
        // Every click into a box empties it, so the user always types a fresh value; not while a
        // scan runs, when the boxes show its request.
        connect(box, &TSkinEdit::Click, box, [box]() {
            if (!box->isReadOnly()) box->clear();
        });
        // Enter in a box works like the Go button, while the boxes take input.
        connect(box, &QLineEdit::returnPressed, this, [this, box]() {
            if (!box->isReadOnly()) Image_Button4Click();
        });
    }
    Image_Button3_On = new TSkinImage(QStringLiteral("scan_button3_on"), this, 674, 88);
    Image_Button3_Off = new TSkinImage(QStringLiteral("scan_button3_off"), this, 674, 88);
    Image_Button4_On = new TSkinImage(QStringLiteral("scan_button4_on"), this, 756, 88);
    Image_Button4_Off = new TSkinImage(QStringLiteral("scan_button4_off"), this, 756, 88);
    Image_Button4_Stop = new TSkinImage(QStringLiteral("scan_button4_stop"), this, 756, 88);
    Image_Button4_Stop->hide();
    for (TSkinImage* picture : {Image_Button3_On, Image_Button3_Off})
        connect(picture, &TSkinImage::Click, this, &TForm_ControlScan::Image_Button3Click);
    for (TSkinImage* picture : {Image_Button4_On, Image_Button4_Off, Image_Button4_Stop})
        connect(picture, &TSkinImage::Click, this, &TForm_ControlScan::Image_Button4Click);
    for (TSkinImage* picture : {Image_Button3_Off, Image_Button4_Off, Image_Button4_Stop})
        picture->setCursor(Qt::PointingHandCursor);

    Timer_CheckScan = new QTimer(this);
    Timer_CheckScan->setInterval(1000);
    connect(Timer_CheckScan, &QTimer::timeout, this, &TForm_ControlScan::Timer_CheckScanTimer);

    for (TSkinEdit* box : Edit)
        box->clear();
    Action_Button3_Up();
    Action_Button4_Up();
    Action_RemoteControl_Disable();
    Action_UpdateUI();
    Thread_AutoScan = std::make_unique<TThread_AutoScan>(this, [this]() { ScanStep(); });
    Timer_CheckScan->start();
}

TForm_ControlScan::~TForm_ControlScan() {
    // The worker must have ended before the fields its steps use go.
    Closing = true;
    if (Thread_AutoScan) Thread_AutoScan->StopAndWait();
    CompleteRecordEnd();
    if (Record.IsOpen()) Record.End(ScanRecordEnd::Fail, Messages::Code(Messages::ERRDV05));
}

void TForm_ControlScan::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Action_UpdateUI();
}

void TForm_ControlScan::Action_UpdateUI() {
    Label_Product->setText(Main->GetProductLabel());
    PanelParts::SetLabelColor(Label_Product,
                              Main->IsDeviceOpened() ? Colors::clLabelGrey : Colors::clMsgRed);
    EventPump::PumpOnce();
}

void TForm_ControlScan::Action_Button3_Down() {
    PanelParts::ShowPressed(Image_Button3_On, Image_Button3_Off, true);
}
void TForm_ControlScan::Action_Button3_Up() {
    PanelParts::ShowPressed(Image_Button3_On, Image_Button3_Off, false);
}
void TForm_ControlScan::Action_Button4_Down() {
    Image_Button4_Stop->hide();
    PanelParts::ShowPressed(Image_Button4_On, Image_Button4_Off, true);
}
void TForm_ControlScan::Action_Button4_Up() {
    Image_Button4_Stop->hide();
    PanelParts::ShowPressed(Image_Button4_On, Image_Button4_Off, false);
}

void TForm_ControlScan::SetBoxesReadOnly(bool readOnly) {
    for (TSkinEdit* box : Edit)
        box->setReadOnly(readOnly);
}

QList<QWidget*> TForm_ControlScan::LockedByRemote() const {
    QList<QWidget*> controls{Image_Button3_On, Image_Button3_Off, Image_Button4_On,
                             Image_Button4_Off};
    for (TSkinEdit* box : Edit)
        controls.append(box);
    return controls;
}

void TForm_ControlScan::Action_RemoteControl_Enable() {
    PanelParts::SetRemoteLock(Label_Remote, LockedByRemote(), true);
}

void TForm_ControlScan::Action_RemoteControl_Disable() {
    PanelParts::SetRemoteLock(Label_Remote, LockedByRemote(), false);
}

void TForm_ControlScan::SetScanFields(const QByteArray& start, const QByteArray& end,
                                      const QByteArray& fwhm, const QByteArray& step,
                                      const QByteArray& timeDelay) {
    const QByteArray* texts[5] = {&start, &end, &fwhm, &step, &timeDelay};
    for (int i = 0; i < 5; ++i)
        Edit[i]->setText(Text8::ToWide(*texts[i]));
    EventPump::PumpOnce();
}

// ---- validation

bool TForm_ControlScan::Validate(Caller caller) {
    const ScanValidationResult result = ::ValidateScanRequest(
        Edit[0]->text(), Edit[1]->text(), Edit[2]->text(), Edit[3]->text(), Edit[4]->text(), *Main);
    if (!result.Ok) {
        if (caller == Caller::Remote)
            Main->SetRemoteResult("SCAN FAIL", result.Code.toLatin1(), result.RemoteText());
        Main->ShowStatusMessage(result.MessageLine(), Colors::clMsgRed);
        return false;
    }
    ScanRequest = result.ScanRequest;
    ScanLimits = result.ScanLimits;
    return true;
}

bool TForm_ControlScan::ValidateScanRequest() {
    return Validate(Caller::Local);
}
bool TForm_ControlScan::ValidateRemoteScanRequest() {
    return Validate(Caller::Remote);
}

// ---- the engine

void TForm_ControlScan::ArmScan() {
    TThread_AutoScan& w = *Thread_AutoScan;
    w.RangeMin = ScanLimits.MinCwlAtFwhm;
    w.RangeMax = ScanLimits.MaxCwlAtFwhm;
    w.Start = ScanRequest.Start;
    w.End = ScanRequest.End;
    w.Fwhm = ScanRequest.Fwhm;
    w.Step = ScanRequest.Step;
    w.TimeDelay = ScanRequest.TimeDelay;
    w.StepCount = 0;
    ++ScanNumber;
    LockLost = false;
    Outcome = EngineOutcome::None;
    EnterPhase(ScanPhase::Running);
    w.SetArmed(true);

    ScanTotal = CountScanPoints(w.Start, w.End, w.Step);
    ArmedNs = w.Now();
    FirstMoveNs = LastMoveNs = ArmedNs;
    EndedElapsedS = 0.0;
    SetBoxesReadOnly(true);
    // Go turns into Stop for as long as the scan runs.
    Image_Button4_On->hide();
    Image_Button4_Off->hide();
    Image_Button4_Stop->show();
    Image_Button4_Stop->setEnabled(true);
    BeginRecord();
    ShowProgress();
}

void TForm_ControlScan::BeginRecord() {
    CompleteRecordEnd();
    const QString folder = Main->ScanRecordFolder();
    if (folder.isEmpty()) return;
    const IMainFacade::RecordDescription about = Main->DescribeForScanRecord();
    ScanRecordHeader header;
    header.Program = about.Program;
    header.Model = about.Model;
    header.Serial = about.Serial;
    header.Range = about.Range;
    header.CalFile = about.CalFile;
    header.Start = ScanRequest.Start;
    header.End = ScanRequest.End;
    header.Fwhm = ScanRequest.Fwhm;
    header.Step = ScanRequest.Step;
    header.TimeDelay = ScanRequest.TimeDelay;
    // The window's Go refuses while a client holds control: a scan armed then is the client's.
    header.Remote = Main->IsRemoteControlled();
    IMainFacade* main = Main;
    Record.Begin(folder, QDateTime::currentDateTime(), header,
                 [main](const QString& reason) { main->ReportScanRecordFailure(reason); });
}

void TForm_ControlScan::EndRecord() {
    if (!Record.IsOpen()) return;
    PendingRecordEnd = EndToReport();
    // Reported while a move was under way (the report ran inside its exchange): that move's row
    // comes first, and the step writes the end line after it.
    if (!InStep) CompleteRecordEnd();
}

void TForm_ControlScan::CompleteRecordEnd() {
    if (!PendingRecordEnd) return;
    const ScanRecordEnd how = *PendingRecordEnd;
    PendingRecordEnd.reset();
    Record.End(how, how == ScanRecordEnd::Fail ? Messages::Code(Messages::ERRDV05) : QString());
}

void TForm_ControlScan::WriteRecordRow(bool ok, qint64 startNs, qint64 endNs,
                                       const QDateTime& started, const QDateTime& finished) {
    if (!Record.IsOpen()) return;
    const TThread_AutoScan& w = *Thread_AutoScan;
    ScanRecordRow row;
    row.Point = w.StepCount + 1;
    row.Cwl = w.CurrentCwl;
    row.Fwhm = w.StepFwhm;
    row.Sw = w.StepSw;
    row.Lw = w.StepLw;
    qint32 positions[3] = {0, 0, 0};
    row.HavePositions = Main->GridPositions(w.CurrentCwl, w.StepFwhm, positions);
    row.P1 = positions[0];
    row.P2 = positions[1];
    row.P3 = positions[2];
    row.Started = started;
    row.Finished = finished;
    row.TStarted = SecondsSinceArmed(startNs);
    row.TFinished = SecondsSinceArmed(endNs);
    row.Ok = ok;
    Record.WriteRow(row);
}

double TForm_ControlScan::SecondsSinceArmed(qint64 ns) const {
    return double(ns - ArmedNs) / 1e9;
}

ScanProgressFigures TForm_ControlScan::Progress() const {
    ScanProgressFigures figures;
    if (ScanNumber == 0 || !Thread_AutoScan) return figures;
    const TThread_AutoScan& w = *Thread_AutoScan;
    figures.Done = w.StepCount;
    figures.Total = ScanTotal;
    if (!Running()) {
        figures.ElapsedS = EndedElapsedS;
        return figures;
    }
    figures.ElapsedS = SecondsSinceArmed(w.Now());
    // Ended or stopping: the report follows within a second.
    if (PhaseNow == ScanPhase::Running)
        figures.RemainingS = EstimateScanSecondsLeft(w.StepCount, ScanTotal, figures.ElapsedS,
                                                     SecondsSinceArmed(FirstMoveNs),
                                                     SecondsSinceArmed(LastMoveNs), w.TimeDelay);
    return figures;
}

void TForm_ControlScan::ShowProgress() {
    const ScanProgressFigures figures = Progress();
    Main->ShowScanProgress(figures.Done, figures.Total, figures.RemainingS);
}

void TForm_ControlScan::EnterPhase(ScanPhase next) {
    PhaseNow = next;
}

void TForm_ControlScan::EngineEnds(EngineOutcome outcome) {
    // A scan already reported (its end came while the last move ran) is left alone.
    if (PhaseNow != ScanPhase::Running && PhaseNow != ScanPhase::Stopping) return;
    Outcome = outcome;
    if (PhaseNow == ScanPhase::Running) EnterPhase(ScanPhase::Ending);
}

ScanRecordEnd TForm_ControlScan::EndToReport() const {
    if (PhaseNow == ScanPhase::Reporting) return ReportedEnd;
    if (PhaseNow == ScanPhase::Stopping) return ScanRecordEnd::Abort;
    return Outcome == EngineOutcome::Success ? ScanRecordEnd::Success : ScanRecordEnd::Fail;
}

void TForm_ControlScan::ReturnToIdle() {
    SetBoxesReadOnly(false);
    Action_Button4_Up();
    // A session closed under the scan released its lock; a lock held now belongs to another.
    if (!LockLost) Main->UnlockDevice();
    LockLost = false;
    Outcome = EngineOutcome::None;
    EnterPhase(ScanPhase::Idle);
    Thread_AutoScan->SetArmed(false);
}

void TForm_ControlScan::FinishScan() {
    EndRecord();
    if (Running() && Thread_AutoScan) EndedElapsedS = SecondsSinceArmed(Thread_AutoScan->Now());
    Main->ShowScanProgress(-1, -1, 0.0);
    ReturnToIdle();
}

void TForm_ControlScan::ScanStep() {
    // Also the way a step handed over during the close is let go without running.
    if (!Running() || Closing || Main->IsCloseRequested()) return;
    const QScopedValueRollback inStep(InStep, true);
    if (!Main->IsDeviceOpened()) {
        // The session ended under the scan (lost line, shutdown): nothing can be moved any more,
        // and the lock went with the session.
        LockLost = true;
        if (PhaseNow == ScanPhase::Running) EngineEnds(EngineOutcome::Failure);
        return;
    }
    ShowProgress();
    if (PhaseNow != ScanPhase::Running) return;
    // This poll runs nested inside a handler whose exchange waits for its answer: a move now
    // would take that answer. The step waits for the next poll.
    if (Main->IsDeviceExchanging()) return;

    TThread_AutoScan& w = *Thread_AutoScan;
    const quint64 scan = ScanNumber;
    try {
        if (!w.IsStepDue(w.Now())) return;
        // The delay runs from the start of one step to the start of the next, move included.
        w.LastStepTime = w.PollTime;
        if (!w.NextPoint()) {
            EngineEnds(EngineOutcome::Success);
            return;
        }
        w.ComputeBand();
        const qint64 startNs = w.Now();
        const QDateTime started = QDateTime::currentDateTime();
        if (w.StepCount == 0) FirstMoveNs = startNs;
        LastMoveNs = startNs;
        const bool moved = Main->MoveTo(w.CurrentCwl, w.StepFwhm);
        const qint64 endNs = w.Now();
        // The move pumps events: the timer may have reported this scan meanwhile, and a new one
        // may even have been armed. Only this scan's own state is touched.
        if (scan != ScanNumber) return;
        // Recorded before the next move can start, and before the end line of a scan reported
        // while it moved.
        WriteRecordRow(moved, startNs, endNs, started, QDateTime::currentDateTime());
        CompleteRecordEnd();
        if (!moved) {
            EngineEnds(EngineOutcome::Failure);
        } else {
            Main->ShowViewSetting(w.RangeMin - 10.0, w.RangeMax + 10.0, w.CurrentCwl, w.StepFwhm,
                                  w.StepSw, w.StepLw);
            ++w.StepCount;
            // A scan reported while this move ran has already taken its progress away.
            if (Running()) ShowProgress();
        }
    } catch (...) {
        // The worker hands this step over through the event loop, which an exception must not
        // cross. The move and the view go through the main window, whose stand-in in tests
        // may throw: the scan then ends as after a failed move.
        if (scan == ScanNumber) EngineEnds(EngineOutcome::Failure);
        CompleteRecordEnd();
    }
    EventPump::PumpOnce();
}

void TForm_ControlScan::RequestStop() {
    if (PhaseNow == ScanPhase::Running || PhaseNow == ScanPhase::Ending)
        EnterPhase(ScanPhase::Stopping);
}

void TForm_ControlScan::Timer_CheckScanTimer() {
    Timer_CheckScan->stop();
    if (Closing) return;
    if (PhaseNow == ScanPhase::Stopping || PhaseNow == ScanPhase::Ending) {
        // A stop is looked at first: a scan that ended but was not reported yet is aborted.
        ReportedEnd = EndToReport();
        // The message bar pumps events: a stop or a departing client handled meanwhile finds
        // the scan already ended.
        EnterPhase(ScanPhase::Reporting);
        switch (ReportedEnd) {
        case ScanRecordEnd::Abort:
            Main->StoreScanEndReport("SCAN ABORT", "NONE", "Scan aborted.");
            Main->ShowStatusMessage(QStringLiteral("Scan aborted."), Colors::clMsgSilver);
            break;
        case ScanRecordEnd::Success:
            Main->StoreScanEndReport("SCAN SUCCESS", "NONE", "Scan successful.");
            Main->ShowStatusMessage(QStringLiteral("Scan successful."), Colors::clMsgLime);
            break;
        case ScanRecordEnd::Fail:
            Main->StoreScanEndReport("SCAN FAIL", Messages::Code(Messages::ERRDV05).toLatin1(),
                                     Text8::FromWide(Messages::Bare(Messages::ERRDV05)));
            Main->ShowStatusMessage(Messages::Text(Messages::ERRDV05), Colors::clMsgRed);
            break;
        }
        FinishScan();
    }
    if (!Closing) Timer_CheckScan->start();
}

void TForm_ControlScan::FormClose() {
    Closing = true;
    Timer_CheckScan->stop();
    // The program ends under a running scan: nothing failed, the scan was cut short. The record
    // says so, after its last finished point.
    CompleteRecordEnd();
    if (Record.IsOpen()) Record.End(ScanRecordEnd::Abort, QStringLiteral("ended"));
    if (!Thread_AutoScan) return;
    // Inside a step the worker waits for that step: it is only told to end here, and the
    // panel's release waits for it once the step has returned.
    if (InStep) {
        Thread_AutoScan->Terminate();
        return;
    }
    Thread_AutoScan->StopAndWait();
}

// ---- operations

void TForm_ControlScan::Image_Button4Click() {
    if (Running() && Main->IsDeviceOpened()) {
        // Go while scanning always stops, also a scan a remote client started: its Stop is the
        // one control a client's lock leaves enabled. The position query is the usual check of the
        // line, skipped when an exchange waits for its answer (it would take that answer).
        RequestStop();
        if (!Main->IsDeviceExchanging() && !Main->RefreshPositions()) {
            Main->ShowStatusMessage(Messages::Text(Messages::ERRDV02), Colors::clMsgRed);
            Main->Action_DeviceCloseExecute();
        }
        return;
    }
    if (!PanelOperation::Begin(*Main, false, kScanNotReady, "SCAN FAIL")) return;
    // A scan whose end is not reported yet owns the Go button; the lock just taken goes back.
    if (Running()) {
        Main->UnlockDevice();
        return;
    }
    if (PanelOperation::RefuseUnlessReady(*Main, false, "SCAN FAIL")) return;

    EnterPhase(ScanPhase::Starting);
    // A click handler, run from the event loop, which an exception must not cross; the
    // instrument is reached through the main window, whose stand-in in tests may throw. A
    // start that had not armed gives everything back.
    try {
        Action_Button4_Down();
        Main->SendBken(false);
        if (!ValidateScanRequest()) {
            ReturnToIdle();
            return;
        }
        ArmScan();
        Main->ShowStatusMessage(QStringLiteral("Scanning..."), Colors::clMsgYellow);
        Timer_CheckScan->start();
    } catch (...) {
        if (PhaseNow == ScanPhase::Starting) ReturnToIdle();
    }
}

void TForm_ControlScan::Action_RemoteControl_Scan() {
    RunRemoteScan({});
}

void TForm_ControlScan::Action_RemoteControl_Scan(const QByteArray& start, const QByteArray& end,
                                                  const QByteArray& fwhm, const QByteArray& step,
                                                  const QByteArray& timeDelay) {
    RunRemoteScan([&]() { SetScanFields(start, end, fwhm, step, timeDelay); });
}

void TForm_ControlScan::RunRemoteScan(const std::function<void()>& fill) {
    if (!PanelOperation::Begin(*Main, true, kScanNotReady, "SCAN FAIL")) return;
    // A scan whose end is not reported yet owns the Go button; the lock just taken goes back. A
    // scan that did not start never answers success.
    if (Running()) {
        Main->UnlockDevice();
        Main->SetRemoteResult("SCAN FAIL", "NONE", kDeviceBusy);
        return;
    }
    if (PanelOperation::RefuseUnlessReady(*Main, true, "SCAN FAIL")) return;

    EnterPhase(ScanPhase::Starting);
    // Run for the remote server's socket handler, which an exception must not cross; the
    // instrument is reached through the main window, whose stand-in in tests may throw. A
    // start that had not armed gives everything back, and the client hears of the error.
    try {
        Action_Button4_Down();
        if (fill) fill();
        if (PanelOperation::Abandoned(*Main, true)) {
            ReturnToIdle();
            return;
        }
        Main->SendBken(false);
        if (!ValidateRemoteScanRequest() || PanelOperation::Abandoned(*Main, true)) {
            ReturnToIdle();
            return;
        }
        ArmScan();
        Main->SetRemoteResult("SCAN OK", QByteArray(), QByteArray());
        Main->ShowStatusMessage(QStringLiteral("Scanning..."), Colors::clMsgYellow);
        Timer_CheckScan->start();
    } catch (...) {
        if (PhaseNow == ScanPhase::Starting) ReturnToIdle();
        PanelOperation::StoreUnknownError(*Main, true);
    }
}

void TForm_ControlScan::Action_RemoteControl_Stop() {
    if (!Main->IsDeviceOpened()) {
        Main->SetRemoteResult("STOP FAIL", "NONE", Text8::FromWide(kScanNotReady));
        Main->ShowStatusMessage(kScanNotReady, Colors::clMsgSilver);
        return;
    }
    if (!Running()) {
        Main->SetRemoteResult("STOP FAIL", "NONE", "No Scan.");
        return;
    }
    // A scan whose end is being reported has stopped; waiting here for the report to finish
    // would wait on the code below on the stack.
    if (PhaseNow == ScanPhase::Reporting) {
        Main->SetRemoteResult("STOP OK", QByteArray(), QByteArray());
        return;
    }
    RequestStop();
    // The supervision timer reports the end within a second; up to 3 s are given to it.
    for (int i = 0; i < 30 && Running(); ++i)
        EventPump::SleepAndPump(100);
    if (Running())
        Main->SetRemoteResult("STOP FAIL", "NONE", "Can't stop scan process.");
    else
        Main->SetRemoteResult("STOP OK", QByteArray(), QByteArray());
}

void TForm_ControlScan::Image_Button3Click() {
    RunReset(Caller::Local);
}
void TForm_ControlScan::Action_RemoteControl_Reset() {
    RunReset(Caller::Remote);
}

void TForm_ControlScan::RunReset(Caller caller) {
    PanelOperation::RunReset(*Main, caller == Caller::Remote, [this](bool pressed) {
        pressed ? Action_Button3_Down() : Action_Button3_Up();
    });
}
