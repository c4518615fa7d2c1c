// The main window as the remote server's host: the result store and what each request does.
// Connections and the request loop are TRemoteServer's.
#include "app/Unit_FormMain.h"

#include "control/Unit_FormControlScan.h"
#include "control/Unit_FormControlSet.h"
#include "core/Unit_setupvuzaravarede.h"
#include "device/Unit_devicevuzaravarede.h"
#include "remote/Unit_RemoteServer.h"
#include "ui/Unit_FormControlHelp.h"

#include <QScopedValueRollback>

void TForm_Main::SetRemoteResult(const QByteArray& response, const QByteArray& code,
                                 const QByteArray& text) {
    // The store belongs to the client in control: a request whose client has gone, still
    // running while the next client is served, leaves that client's results alone.
    if (IsRemoteRequestAbandoned()) return;
    RemoteResponse = response;
    RemoteErrorCode = code;
    RemoteErrorText = text;
}

bool TForm_Main::IsRemoteControlled() const {
    return RemoteServer && RemoteServer->IsListening() && RemoteServer->IsConnected();
}

bool TForm_Main::RemoteConnected() const {
    return RemoteServer && RemoteServer->IsConnected();
}

bool TForm_Main::RemoteBusy() const {
    return RemoteServer && RemoteServer->IsBusy();
}

qint32 TForm_Main::RemoteClientCount() const {
    return RemoteServer ? RemoteServer->ClientCount() : 0;
}

const RemoteLineBuffer& TForm_Main::RemoteRxBuffer() const {
    static const RemoteLineBuffer none;
    return RemoteServer ? RemoteServer->RxBuffer() : none;
}

quint16 TForm_Main::RemoteServerPort() const {
    return RemoteServer ? RemoteServer->Port() : 0;
}

RemoteServerState TForm_Main::RemoteServerStatus() const {
    return RemoteServer ? RemoteServer->Status() : RemoteServerState();
}

void TForm_Main::Action_RemoteServerStartExecute() {
    if (!RemoteServer) RemoteServer = new TRemoteServer(static_cast<IRemoteHost&>(*this), this);
    RemoteServer->Start(quint16(Setup ? Setup->PortNum : 5050), RemoteListenAddress);
}

void TForm_Main::Action_RemoteServerStopExecute() {
    if (RemoteServer) RemoteServer->Stop();
}

void TForm_Main::UpdateRemoteHelpLine() {
    if (FormControlHelp) FormControlHelp->SetRemoteLine(RemoteHelpLine(RemoteServerStatus()));
}

bool TForm_Main::IsRemoteRequestAbandoned() const {
    return RemoteServer && RemoteServer->IsRequestAbandoned();
}

void TForm_Main::StoreScanEndReport(const QByteArray& response, const QByteArray& code,
                                    const QByteArray& text) {
    // Stored without a request, also when the timer reports inside a departed client's one.
    RemoteResponse = response;
    RemoteErrorCode = code;
    RemoteErrorText = text;
    RemoteEndReport = response;
}

// ---- IRemoteHost

bool TForm_Main::IsRemoteShuttingDown() const {
    return CloseRequested;
}

QByteArray TForm_Main::AnswerRemoteRequest(const QByteArray& line) {
    RemoteRequest = line;
    RemoteReadBack.reset();
    Action_RemoteServerProcessExecute();
    RemoteRequest.clear();
    if (RemoteReadBack) {
        // A read-only answer leaves the store alone: an end report waiting in it still goes to
        // the next empty line.
        const QByteArray answer = *RemoteReadBack;
        RemoteReadBack.reset();
        return answer;
    }
    // Emptied before the server pumps: a scan's end report stored during that pump is kept for
    // the next empty line.
    const QByteArray answer = RemoteResponse;
    RemoteResponse.clear();
    return answer;
}

bool TForm_Main::MustWaitForInstrument(bool stop) const {
    if (!FormControlScan) return false;
    // A step's move still waits for its answer below: nothing waited for here could end.
    if (FormControlScan->IsInStep() && IsDeviceExchanging()) return true;
    // A stopped scan whose end is not reported yet: the next request for the instrument waits
    // for the report instead of being refused. A STOP goes ahead and waits for it itself.
    return !stop && FormControlScan->IsEnding();
}

void TForm_Main::RequestScanStop() {
    if (FormControlScan) FormControlScan->RequestStop();
}

bool TForm_Main::StopScanOfDepartedClient() {
    if (!FormControlScan || !FormControlScan->Running()) return true;
    // No further move starts from now on; the stop's wait for the end runs once no move waits
    // below it.
    FormControlScan->RequestStop();
    if (FormControlScan->IsInStep() && IsDeviceExchanging()) return false;
    FormControlScan->Action_RemoteControl_Stop();
    return true;
}

void TForm_Main::RemoteControlChanged(bool controlled) {
    if (controlled) {
        // The new client's first empty line must not receive a result stored for the previous
        // one (a stop run when it left, an end report it never read).
        RemoteResponse.clear();
        RemoteEndReport.clear();
        if (FormControlSet) FormControlSet->Action_RemoteControl_Enable();
        if (FormControlScan) FormControlScan->Action_RemoteControl_Enable();
    } else {
        if (FormControlSet) FormControlSet->Action_RemoteControl_Disable();
        if (FormControlScan) FormControlScan->Action_RemoteControl_Disable();
    }
    UpdateRemoteHelpLine();
}

void TForm_Main::RemoteStatusChanged() {
    UpdateRemoteHelpLine();
}

void TForm_Main::WriteRemoteLog(const QString& line) {
    if (Device) Device->WriteLog(line);
}

SessionState TForm_Main::RemoteSessionState() const {
    SessionState state;
    const TSessionPhase session = SessionPhase();
    switch (session.Phase) {
    case SessionPhaseKind::Searching:
        state.Phase = SessionState::Searching;
        return state;
    case SessionPhaseKind::Opening:
        state.Phase = SessionState::Opening;
        return state;
    case SessionPhaseKind::Unusable:
        state.Phase = SessionState::Unusable;
        state.Code = session.Code;
        return state;
    case SessionPhaseKind::Busy:
    case SessionPhaseKind::Ready:
        break;
    }
    if (FormControlScan && FormControlScan->Running()) state.Phase = SessionState::Scanning;
    // A stopped scan's last move still under way holds the instrument too.
    else if (session.Phase == SessionPhaseKind::Busy || IsDeviceExchanging())
        state.Phase = SessionState::Busy;
    else
        state.Phase = SessionState::Ready;
    return state;
}

RemoteQueryFacts TForm_Main::RemoteFacts() const {
    RemoteQueryFacts facts;
    facts.SessionOpen = DeviceOpened;
    facts.TableLoaded = DeviceOpened && CalDataLoaded;
    facts.Scanning = FormControlScan && FormControlScan->Running();
    facts.ReadFailure = SessionReadFailure();
    return facts;
}

void TForm_Main::SelectTabForRemote(int tab) {
    ActiveTab = tab;
    Action_ChangeModeExecute();
    Action_UpdateUIExecute();
}

void TForm_Main::Action_RemoteServerProcessExecute() {
    try {
        if (!IsRemoteControlled()) return;
        if (RemoteRequest.isEmpty()) {
            // A scan's end report waits for an empty line, whatever was asked since.
            if (!RemoteEndReport.isEmpty()) RemoteResponse = RemoteEndReport;
            RemoteEndReport.clear();
            return;
        }
        const bool scanning = FormControlScan && FormControlScan->Running();
        const RemotePlan plan = PlanRemoteRequest(RemoteRequest, scanning, ActiveTab);
        if (plan.SelectTab >= 0) SelectTabForRemote(plan.SelectTab);
        switch (plan.What) {
        case RemotePlan::None:
            break;
        case RemotePlan::Store:
            SetRemoteResult(plan.Response, plan.Code, plan.Text);
            break;
        case RemotePlan::ReadCode:
            RemoteResponse = RemoteErrorCode;
            break;
        case RemotePlan::ReadText:
            RemoteResponse = RemoteErrorText;
            break;
        case RemotePlan::SetGo:
            // The boxes are filled by the panel once the request goes ahead.
            FormControlSet->Action_RemoteControl_Go(plan.SetMode, plan.Fields[1], plan.Fields[2]);
            break;
        case RemotePlan::SetReset:
            FormControlSet->Action_RemoteControl_Reset();
            break;
        case RemotePlan::ScanReset:
            FormControlScan->Action_RemoteControl_Reset();
            break;
        case RemotePlan::ScanStart:
            SetRemoteResult("SCAN OK", QByteArray(), QByteArray());
            FormControlScan->Action_RemoteControl_Scan(
                plan.Fields[1], plan.Fields[2], plan.Fields[3], plan.Fields[4], plan.Fields[5]);
            // A report still unread belongs to the scan before this one.
            if (FormControlScan->Running()) RemoteEndReport.clear();
            break;
        case RemotePlan::ScanStop:
            FormControlScan->Action_RemoteControl_Stop();
            break;
        case RemotePlan::ReadProgress:
            RemoteReadBack = ProgressReply();
            break;
        case RemotePlan::ReadBand:
            RemoteReadBack = BandReply();
            break;
        case RemotePlan::ReadSession:
            RemoteReadBack = SessionReply(RemoteSessionState());
            break;
        case RemotePlan::ReadLimits:
            RemoteReadBack = plan.Fields.size() == 2
                                 ? LimitsAtFwhmReply(*this, RemoteFacts(), plan.Fields[1])
                                 : LimitsReply(*this, RemoteFacts());
            break;
        case RemotePlan::ReadCheck:
            RemoteReadBack = CheckReply(plan.Fields.mid(1), *this, RemoteFacts());
            break;
        }
    } catch (...) {
        // Nothing below throws by design; what can (an allocation failing in a panel's
        // operation) is answered as an unknown error instead of ending the program.
        SetRemoteResult("UNKNOWN ERROR", "NONE", "Unknown Error.");
    }
}
