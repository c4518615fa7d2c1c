// The main window's remote server: connections, framing, request processing and the result
// store.
#include "app/Unit_FormMain.h"

#include "control/Unit_FormControlScan.h"
#include "control/Unit_FormControlSet.h"
#include "core/Unit_EventPump.h"
#include "core/Unit_setupvuzaravarede.h"
#include "device/Unit_devicevuzaravarede.h"
#include "ui/Unit_FormControlHelp.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

// Qt's own receive buffer per connection; the bytes are moved into the line buffer as they come.
constexpr qint64 kSocketReadBuffer = 64 * 1024;
// Responses a client has not read yet. A client that stops reading is dropped with its
// connection instead of letting its unsent responses grow without end.
constexpr qint64 kMaxUnsent = 256 * 1024;

} // namespace

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

quint16 TForm_Main::RemoteServerPort() const {
    return IsRemoteListening() ? ServerSocket->serverPort() : 0;
}

void TForm_Main::Action_RemoteServerStartExecute() {
    try {
        if (IsRemoteListening()) return;
        RemoteConnected = false;
        RemoteBusy = false;
        RemoteClientCount = 0;
        if (FormControlSet) FormControlSet->Action_RemoteControl_Disable();
        if (FormControlScan) FormControlScan->Action_RemoteControl_Disable();
        if (!ServerSocket) {
            ServerSocket = new QTcpServer(this);
            connect(ServerSocket, &QTcpServer::newConnection, this,
                    &TForm_Main::ServerSocketClientConnect);
        }
        const quint16 port = quint16(Setup ? Setup->PortNum : 5050);
        RemoteState = RemoteServerState();
        RemoteState.Port = port;
        RemoteState.AddressGiven = RemoteListenAddress.has_value();
        RemoteState.Address = RemoteListenAddress.value_or(QString());
        if (RemoteState.AddressGiven) {
            // Only an address of this machine: an empty text or a host name would quietly mean
            // all addresses or none.
            const QHostAddress address(RemoteState.Address);
            if (!address.isNull()) ServerSocket->listen(address, port);
        } else if (!ServerSocket->listen(QHostAddress::Any, port) &&
                   ServerSocket->serverError() != QAbstractSocket::AddressInUseError) {
            // Any is IPv4 and IPv6 at once; a machine without IPv6 still gets IPv4.
            ServerSocket->listen(QHostAddress::AnyIPv4, port);
        }
        if (!IsRemoteListening()) {
            if (RemoteState.AddressGiven && QHostAddress(RemoteState.Address).isNull()) {
                RemoteState.Reason = QStringLiteral("not an IP address of this machine");
            } else {
                RemoteState.PortInUse =
                    ServerSocket->serverError() == QAbstractSocket::AddressInUseError;
                RemoteState.Reason = ServerSocket->errorString();
            }
        }
        RemoteState.Listening = IsRemoteListening();
        // The program runs on without remote control; the log says why.
        if (!RemoteState.Listening && Device)
            Device->WriteLog(
                QStringLiteral("Remote Server Listen Fail <%1:%2> : %3")
                    .arg(RemoteState.AddressGiven ? RemoteState.Address : QStringLiteral("*"),
                         QString::number(port),
                         RemoteState.PortInUse ? QStringLiteral("port in use")
                                               : RemoteState.Reason));
    } catch (...) {
    }
    UpdateRemoteHelpLine();
}

RemoteServerState TForm_Main::RemoteServerStatus() const {
    RemoteServerState state = RemoteState;
    state.Listening = IsRemoteListening();
    if (state.Listening && RemoteConnected && RemoteClient) {
        // A client reached over IPv4 on a dual-stack socket is shown in IPv4 notation.
        QHostAddress peer = RemoteClient->peerAddress();
        bool mapped = false;
        const quint32 v4 = peer.toIPv4Address(&mapped);
        if (mapped) peer = QHostAddress(v4);
        state.Client = peer.toString();
    }
    return state;
}

void TForm_Main::UpdateRemoteHelpLine() {
    if (FormControlHelp) FormControlHelp->SetRemoteLine(RemoteHelpLine(RemoteServerStatus()));
}

void TForm_Main::Action_RemoteServerStopExecute() {
    try {
        RemoteConnected = false;
        RemoteClientCount = 0;
        RemoteClient = nullptr;
        // A request being processed ends at its next test of the controlling connection.
        const QList<QTcpSocket*> sockets = RemoteSockets;
        RemoteSockets.clear();
        for (QTcpSocket* socket : sockets) {
            socket->disconnect(this);
            socket->abort();
            socket->deleteLater();
        }
        if (FormControlSet) FormControlSet->Action_RemoteControl_Disable();
        if (FormControlScan) FormControlScan->Action_RemoteControl_Disable();
        if (ServerSocket) ServerSocket->close();
    } catch (...) {
    }
}

void TForm_Main::ServerSocketClientConnect() {
    while (QTcpSocket* socket = ServerSocket->nextPendingConnection()) {
        ++RemoteClientCount;
        RemoteSockets.append(socket);
        connect(socket, &QTcpSocket::disconnected, this,
                [this, socket]() { ServerSocketClientDisconnect(socket); });
        connect(socket, &QTcpSocket::errorOccurred, this,
                [this, socket]() { ServerSocketClientError(socket); });
        if (RemoteConnected) {
            // One client holds control: the newcomer is closed without a reply.
            socket->abort();
            ServerSocketClientDisconnect(socket);
            continue;
        }
        socket->setReadBufferSize(kSocketReadBuffer);
        connect(socket, &QTcpSocket::readyRead, this,
                [this, socket]() { ServerSocketClientRead(socket); });
        RemoteRxBuffer.Clear();
        RemoteClient = socket;
        RemoteConnected = true;
        // The new client's first empty line must not receive a result stored for the previous
        // one (a stop run when it left).
        RemoteResponse.clear();
        if (FormControlSet) FormControlSet->Action_RemoteControl_Enable();
        if (FormControlScan) FormControlScan->Action_RemoteControl_Enable();
        UpdateRemoteHelpLine();
    }
}

void TForm_Main::ServerSocketClientDisconnect(QTcpSocket* socket) {
    // A connection is counted out once, whichever of its close and its error comes first.
    if (!RemoteSockets.removeOne(socket)) return;
    socket->deleteLater();
    if (socket == RemoteClient) RemoteClient = nullptr;
    if (RemoteClientCount > 0) --RemoteClientCount;
    // A connection refused while the last client's scan is being stopped does not start a
    // second release.
    if (RemoteClientCount > 0 || RemoteReleasing) return;
    RemoteReleasing = true;
    try {
        // A script that ends or dies does not leave the filter scanning.
        if (FormControlScan && FormControlScan->Running)
            FormControlScan->Action_RemoteControl_Stop();
    } catch (...) {
    }
    RemoteReleasing = false;
    // RemoteBusy is left to the request loop: it is only set while that loop runs, and clearing
    // it under a running request would let a new client's request run nested inside it.
    RemoteConnected = false;
    if (FormControlSet) FormControlSet->Action_RemoteControl_Disable();
    if (FormControlScan) FormControlScan->Action_RemoteControl_Disable();
    UpdateRemoteHelpLine();
}

void TForm_Main::ServerSocketClientError(QTcpSocket* socket) {
    // Nothing is shown: the connection is closed and counted out.
    socket->abort();
    ServerSocketClientDisconnect(socket);
}

void TForm_Main::ReadRemoteBytes() {
    if (!RemoteClient) return;
    const qint64 waiting = RemoteClient->bytesAvailable();
    if (waiting > 0) RemoteRxBuffer.Append(RemoteClient->read(waiting));
}

void TForm_Main::SendRemoteResponse(QTcpSocket* socket) {
    SendRemoteLine(socket, RemoteResponse);
}

void TForm_Main::SendRemoteLine(QTcpSocket* socket, const QByteArray& line) {
    if (!socket || socket->state() != QAbstractSocket::ConnectedState) return;
    if (socket->bytesToWrite() > kMaxUnsent) {
        socket->abort();
        ServerSocketClientDisconnect(socket);
        return;
    }
    socket->write(line + '\r');
    socket->flush();
}

void TForm_Main::ServerSocketClientRead(QTcpSocket* socket) {
    if (socket != RemoteClient) {
        socket->readAll();
        return;
    }
    ReadRemoteBytes();
    if (RemoteBusy) return;
    RemoteBusy = true;
    try {
        // Every complete line is answered, in order, one at a time. The socket does not signal
        // new data again while this handler runs, so the loop collects it after each pump.
        QByteArray line;
        while (!CloseRequested && RemoteClient && RemoteRxBuffer.TakeLine(line)) {
            const QPointer<QTcpSocket> from = RemoteClient;
            RemoteRequest = line;
            RemoteReadBack.reset();
            Action_RemoteServerProcessExecute();
            if (RemoteReadBack) {
                // A read-only answer leaves the store alone: an end report waiting in it still
                // goes to the next empty line.
                const QByteArray answer = *RemoteReadBack;
                RemoteReadBack.reset();
                SendRemoteLine(from, answer);
                RemoteRequest.clear();
            } else {
                SendRemoteResponse(from);
                // Emptied before the pump: a scan's end report stored during it is kept for the
                // next empty line.
                RemoteRequest.clear();
                RemoteResponse.clear();
            }
            EventPump::PumpOnce();
            ReadRemoteBytes();
        }
    } catch (...) {
    }
    RemoteBusy = false;
}

void TForm_Main::SelectTabForRemote(int tab) {
    ActiveTab = tab;
    Action_ChangeModeExecute();
    Action_UpdateUIExecute();
}

void TForm_Main::Action_RemoteServerProcessExecute() {
    try {
        if (!IsRemoteListening() || !RemoteConnected || RemoteRequest.isEmpty()) return;
        const bool scanning = FormControlScan && FormControlScan->Running;
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
            FormControlSet->FillSetFields(plan.SetMode, plan.Fields[1], plan.Fields[2]);
            FormControlSet->Action_RemoteControl_Go();
            break;
        case RemotePlan::SetReset:
            FormControlSet->Action_RemoteControl_Reset();
            break;
        case RemotePlan::ScanReset:
            FormControlScan->Action_RemoteControl_Reset();
            break;
        case RemotePlan::ScanStart:
            FormControlScan->SetScanFields(plan.Fields[1], plan.Fields[2], plan.Fields[3],
                                           plan.Fields[4], plan.Fields[5]);
            SetRemoteResult("SCAN OK", QByteArray(), QByteArray());
            FormControlScan->Action_RemoteControl_Scan();
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
        }
    } catch (...) {
        SetRemoteResult("UNKNOWN ERROR", "NONE", "Unknown Error.");
    }
}
