// The main window's remote state and result store.
#include "core/Unit_FormMain.h"

#include "control/Unit_FormControlScan.h"
#include "control/Unit_FormControlSet.h"

#include <QTcpServer>

void TForm_Main::SetRemoteResult(const QByteArray& response, const QByteArray& code,
                                 const QByteArray& text) {
    RemoteResponse = response;
    RemoteErrorCode = code;
    RemoteErrorText = text;
}

bool TForm_Main::IsRemoteListening() const {
    return ServerSocket && ServerSocket->isListening();
}

bool TForm_Main::IsRemoteControlled() const {
    return IsRemoteListening() && RemoteConnected;
}

void TForm_Main::Action_RemoteServerStartExecute() {
    if (IsRemoteListening()) return;
    RemoteConnected = false;
    RemoteBusy = false;
    if (FormControlSet) FormControlSet->Action_RemoteControl_Disable();
    if (FormControlScan) FormControlScan->Action_RemoteControl_Disable();
}

void TForm_Main::Action_RemoteServerStopExecute() {
    RemoteConnected = false;
    RemoteBusy = false;
    if (FormControlSet) FormControlSet->Action_RemoteControl_Disable();
    if (FormControlScan) FormControlScan->Action_RemoteControl_Disable();
}
