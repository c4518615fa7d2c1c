// The main window's remote server: connections, framing, request processing and the result
// store.
#include "app/Unit_FormMain.h"

#include "control/Unit_FormControlScan.h"
#include "control/Unit_FormControlSet.h"
#include "core/Unit_EventPump.h"
#include "core/Unit_setupvuzaravarede.h"

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
        // Any is IPv4 and IPv6 at once; a machine without IPv6 still gets IPv4. A port in use
        // leaves the program without remote control, silently.
        QHostAddress address(QHostAddress::Any);
        if (!RemoteListenAddress.isEmpty()) address = QHostAddress(RemoteListenAddress);
        if (!ServerSocket->listen(address, port) && RemoteListenAddress.isEmpty() &&
            ServerSocket->serverError() != QAbstractSocket::AddressInUseError)
            ServerSocket->listen(QHostAddress::AnyIPv4, port);
    } catch (...) {
    }
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
    if (!socket || socket->state() != QAbstractSocket::ConnectedState) return;
    if (socket->bytesToWrite() > kMaxUnsent) {
        socket->abort();
        ServerSocketClientDisconnect(socket);
        return;
    }
    socket->write(RemoteResponse + '\r');
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
            Action_RemoteServerProcessExecute();
            SendRemoteResponse(from);
            // Emptied before the pump: a scan's end report stored during it is kept for the
            // next empty line.
            RemoteRequest.clear();
            RemoteResponse.clear();
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
        }
    } catch (...) {
        SetRemoteResult("UNKNOWN ERROR", "NONE", "Unknown Error.");
    }
}
