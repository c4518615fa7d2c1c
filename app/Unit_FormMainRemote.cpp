// The main window's remote server: connections, framing, request processing and the result
// store.
#include "app/Unit_FormMain.h"

#include "control/Unit_FormControlScan.h"
#include "control/Unit_FormControlSet.h"
#include "control/Unit_PanelOperation.h"
#include "core/Unit_EventPump.h"
#include "core/Unit_setupvuzaravarede.h"
#include "device/Unit_devicevuzaravarede.h"
#include "ui/Unit_FormControlHelp.h"

#include <QHostAddress>
#include <QScopeGuard>
#include <QScopedValueRollback>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

// Qt's own receive buffer per connection; the bytes are moved into the line buffer as they come.
constexpr qint64 kSocketReadBuffer = 64 * 1024;
// Requests a client sent ahead are read from the connection only while fewer than this many wait
// to be answered, in pieces of this size.
constexpr qsizetype kMaxWaitingLines = 256;
constexpr qint64 kReadChunk = 4096;
// How often a port in use at start is tried again.
constexpr int kListenRetryMs = 5000;
// How often a request that waits for the instrument looks again.
constexpr int kRetryMs = 20;

// Requests carried out on the instrument (or refused because a scan runs).
bool IsInstrumentRequest(const QByteArray& line) {
    switch (ParseRemoteCommand(SplitCommaText(line))) {
    case RemoteCommand::Reset:
    case RemoteCommand::Stop:
    case RemoteCommand::SetC:
    case RemoteCommand::SetR:
    case RemoteCommand::Scan:
        return true;
    default:
        return false;
    }
}

bool IsStopRequest(const QByteArray& line) {
    return ParseRemoteCommand(SplitCommaText(line)) == RemoteCommand::Stop;
}
// Responses a client has not read yet. A client that stops reading is dropped with its
// connection instead of letting its unsent responses grow without end.
constexpr qint64 kMaxUnsent = 256 * 1024;

// A peer that vanishes without closing (cable pulled, laptop suspended) is noticed within about
// 30 s: probes after 10 s of silence, every 5 s, three unanswered ones end the connection; a
// response that stays unacknowledged for 30 s does too. A live client that is merely quiet
// answers the probes and keeps control however long it waits.
constexpr int kKeepAliveIdleS = 10;
constexpr int kKeepAliveIntervalS = 5;
constexpr int kKeepAliveProbes = 3;
constexpr unsigned kUnacknowledgedMs = 30000;

void EnableKeepAlive(QTcpSocket* socket) {
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
    const int fd = int(socket->socketDescriptor());
    if (fd < 0) return;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleS, sizeof kKeepAliveIdleS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalS, sizeof kKeepAliveIntervalS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUnacknowledgedMs, sizeof kUnacknowledgedMs);
#endif
}

// The peer has closed its side and sent everything it will send (the end of the stream is next),
// or reset the connection, though the connection's end has not been handled yet.
bool PeerHasClosed(QTcpSocket* socket) {
    if (socket->state() != QAbstractSocket::ConnectedState) return true;
#ifdef Q_OS_UNIX
    const int fd = int(socket->socketDescriptor());
    if (fd < 0) return true;
#ifdef Q_OS_LINUX
    // Also a peer that sent a request and closed before it was read: leaving counts, so its
    // request is not run. A script that exits with an answer unread resets the connection
    // instead of closing it: that is leaving too.
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
        (info.tcpi_state == TCP_CLOSE_WAIT || info.tcpi_state == TCP_CLOSE))
        return true;
#endif
    if (socket->bytesAvailable() > 0) return false;
    char byte = 0;
    const ssize_t got = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
#else
    return false;
#endif
}

} // namespace

void TForm_Main::SetRemoteResult(const QByteArray& response, const QByteArray& code,
                                 const QByteArray& text) {
    // The store belongs to the client in control: a request whose client has gone, still
    // running while the next client is served, leaves that client's results alone.
    if (IsRemoteRequestAbandoned()) return;
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
            // An IPv4 address written as IPv6 (::ffff:a.b.c.d); "::" itself is not one.
            bool mapped = false;
            if (address.protocol() == QAbstractSocket::IPv6Protocol) {
                const Q_IPV6ADDR bytes = address.toIPv6Address();
                mapped = bytes[10] == 0xff && bytes[11] == 0xff;
                for (int i = 0; i < 10; ++i)
                    mapped = mapped && bytes[i] == 0;
            }
            const quint32 v4 = address.toIPv4Address();
            if (address.isNull()) {
                RemoteState.Reason = QStringLiteral("not an IP address of this machine");
            } else if (mapped) {
                RemoteState.Reason =
                    QStringLiteral("an IPv4 address written as IPv6: give %1 instead")
                        .arg(QHostAddress(v4).toString());
            } else if (address.protocol() == QAbstractSocket::IPv6Protocol &&
                       address.isLinkLocal() && address.scopeId().isEmpty()) {
                RemoteState.Reason =
                    QStringLiteral("a link-local address needs its interface, as in %1%eth0")
                        .arg(RemoteState.Address);
            } else if (address == QHostAddress(QHostAddress::AnyIPv6)) {
                // "::" means every address, IPv4 ones too, as most servers take it.
                ServerSocket->listen(QHostAddress::Any, port);
            } else {
                ServerSocket->listen(address, port);
            }
        } else if (!ServerSocket->listen(QHostAddress::Any, port) &&
                   ServerSocket->serverError() != QAbstractSocket::AddressInUseError) {
            // Any is IPv4 and IPv6 at once; a machine without IPv6 still gets IPv4.
            ServerSocket->listen(QHostAddress::AnyIPv4, port);
        }
        if (!IsRemoteListening() && RemoteState.Reason.isEmpty()) {
            RemoteState.PortInUse =
                ServerSocket->serverError() == QAbstractSocket::AddressInUseError;
            RemoteState.Reason = ServerSocket->errorString();
        }
        RemoteState.Listening = IsRemoteListening();
        // The program runs on without remote control; the log says why, once.
        if (!RemoteState.Listening && Device && RemoteListenTries == 0)
            Device->WriteLog(
                QStringLiteral("Remote Server Listen Fail <%1:%2> : %3")
                    .arg(RemoteState.AddressGiven ? RemoteState.Address : QStringLiteral("*"),
                         QString::number(port),
                         RemoteState.PortInUse ? QStringLiteral("port in use")
                                               : RemoteState.Reason));
        // A port another program holds may be freed: it is tried again every 5 s.
        if (!RemoteState.Listening && RemoteState.PortInUse && !RemoteState.AddressGiven &&
            !CloseRequested) {
            ++RemoteListenTries;
            if (!RemoteListenRetry) {
                RemoteListenRetry = new QTimer(this);
                RemoteListenRetry->setSingleShot(true);
                RemoteListenRetry->setInterval(kListenRetryMs);
                connect(RemoteListenRetry, &QTimer::timeout, this, [this]() {
                    if (!CloseRequested) Action_RemoteServerStartExecute();
                });
            }
            RemoteListenRetry->start();
        }
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
    const RemoteHandlerMark handler(*this);
    if (RemoteListenRetry) RemoteListenRetry->stop();
    try {
        RemoteConnected = false;
        RemoteClientCount = 0;
        RemoteClient = nullptr;
        // A request being processed ends at its next test of the controlling connection.
        const QList<QTcpSocket*> sockets = RemoteSockets;
        RemoteSockets.clear();
        for (QTcpSocket* socket : sockets) {
            RetireRemoteSocket(socket);
            socket->abort();
        }
        if (FormControlSet) FormControlSet->Action_RemoteControl_Disable();
        if (FormControlScan) FormControlScan->Action_RemoteControl_Disable();
        if (ServerSocket) ServerSocket->close();
    } catch (...) {
    }
}

void TForm_Main::LeaveRemoteHandler() {
    if (--RemoteHandlerDepth > 0) return;
    RemoteHandlerDepth = 0;
    const QList<QTcpSocket*> retired = RemoteRetired;
    RemoteRetired.clear();
    for (QTcpSocket* socket : retired)
        socket->deleteLater();
}

void TForm_Main::RetireRemoteSocket(QTcpSocket* socket) {
    // No handler of ours runs for it any more; whichever of its close and error comes later
    // finds nothing connected.
    socket->disconnect(this);
    if (!RemoteRetired.contains(socket)) RemoteRetired.append(socket);
    if (socket == RemoteClient) RemoteClient = nullptr;
}

bool TForm_Main::IsRemoteDeparting() const {
    // A departed client's request still running does not keep the next client waiting: its
    // requests are served beside it, and those that need the instrument hear "Device busy.".
    return !RemoteClient && RemoteReleasing;
}

bool TForm_Main::MustWaitForInstrument(bool stop) const {
    if (!FormControlScan) return false;
    // A step's move still waits for its answer below: nothing waited for here could end.
    if (FormControlScan->IsInStep() && IsDeviceExchanging()) return true;
    // A stopped scan whose end is not reported yet: the next request for the instrument waits
    // for the report instead of being refused. A STOP goes ahead and waits for it itself.
    return !stop && FormControlScan->IsEnding();
}

void TForm_Main::RetryRemoteLater() {
    if (!RemoteRetry) {
        RemoteRetry = new QTimer(this);
        RemoteRetry->setSingleShot(true);
        RemoteRetry->setInterval(kRetryMs);
        connect(RemoteRetry, &QTimer::timeout, this, [this]() {
            if (CloseRequested) return;
            ContinueRemoteDeparture();
            if (RemoteClient && RemoteRxBuffer.CompleteLines() > 0)
                ServerSocketClientRead(RemoteClient);
        });
    }
    if (!RemoteRetry->isActive()) RemoteRetry->start();
}

void TForm_Main::ContinueRemoteDeparture() {
    if (!RemoteReleasing || RemoteStoppingScan) return;
    const RemoteHandlerMark handler(*this);
    if (FormControlScan && FormControlScan->Running()) {
        // A script that ends or dies does not leave the filter scanning. No further move starts
        // from now on; the stop's wait for the end runs once no move waits below it.
        FormControlScan->RequestStop();
        if (FormControlScan->IsInStep() && IsDeviceExchanging()) {
            RetryRemoteLater();
            return;
        }
        const QScopedValueRollback stopping(RemoteStoppingScan, true);
        try {
            FormControlScan->Action_RemoteControl_Stop();
        } catch (...) {
        }
    }
    RemoteReleasing = false;
    // RemoteBusy is left to the request loop: it is only set while that loop runs, and clearing
    // it under a running request would let a new client's request run nested inside it.
    RemoteConnected = false;
    if (FormControlSet) FormControlSet->Action_RemoteControl_Disable();
    if (FormControlScan) FormControlScan->Action_RemoteControl_Disable();
    UpdateRemoteHelpLine();
    AcceptWaitingConnectionsLater();
}

void TForm_Main::AcceptWaitingConnectionsLater() {
    if (RemoteAcceptQueued || !ServerSocket || !ServerSocket->hasPendingConnections()) return;
    // Queued: the handler that ends the departure is still on the stack.
    RemoteAcceptQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this]() {
            RemoteAcceptQueued = false;
            ServerSocketClientConnect();
        },
        Qt::QueuedConnection);
}

void TForm_Main::ServerSocketClientConnect() {
    const RemoteHandlerMark handler(*this);
    while (ServerSocket && ServerSocket->hasPendingConnections() && !CloseRequested) {
        // A client that reconnects at once may arrive before its previous connection's end has
        // been handled: that end is handled first, so the newcomer is not taken for a second
        // client.
        if (RemoteClient && PeerHasClosed(RemoteClient)) {
            QTcpSocket* gone = RemoteClient;
            ServerSocketClientDisconnect(gone);
            gone->abort();
        }
        // While the last controller's departure is handled, a newcomer waits unaccepted; it is
        // taken when the departure ends.
        if (IsRemoteDeparting()) return;
        QTcpSocket* socket = ServerSocket->nextPendingConnection();
        if (!socket) return;
        // A connection that waited to be taken may have come and gone meanwhile (its end was
        // seen while nobody listened to it): it leaves without its request being run.
        if (socket->state() != QAbstractSocket::ConnectedState) {
            socket->deleteLater();
            continue;
        }
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
        EnableKeepAlive(socket);
        connect(socket, &QTcpSocket::readyRead, this,
                [this, socket]() { ServerSocketClientRead(socket); });
        RemoteRxBuffer.Clear();
        RemoteClient = socket;
        RemoteConnected = true;
        // The new client's first empty line must not receive a result stored for the previous
        // one (a stop run when it left, an end report it never read).
        RemoteResponse.clear();
        RemoteEndReport.clear();
        if (FormControlSet) FormControlSet->Action_RemoteControl_Enable();
        if (FormControlScan) FormControlScan->Action_RemoteControl_Enable();
        UpdateRemoteHelpLine();
        // Bytes that came with the connection are not announced again.
        if (socket->bytesAvailable() > 0)
            QMetaObject::invokeMethod(
                this,
                [this, guarded = QPointer<QTcpSocket>(socket)]() {
                    if (guarded && guarded == RemoteClient) ServerSocketClientRead(guarded);
                },
                Qt::QueuedConnection);
    }
}

void TForm_Main::ServerSocketClientDisconnect(QTcpSocket* socket) {
    const RemoteHandlerMark handler(*this);
    // A connection is counted out once, whichever of its close and its error comes first.
    if (!RemoteSockets.removeOne(socket)) return;
    const bool wasController = socket == RemoteClient;
    RetireRemoteSocket(socket);
    if (RemoteClientCount > 0) --RemoteClientCount;
    // A connection refused while the last client's scan is being stopped does not start a
    // second release.
    if (!wasController || RemoteClientCount > 0 || RemoteReleasing) return;
    RemoteReleasing = true;
    ContinueRemoteDeparture();
}

void TForm_Main::ServerSocketClientError(QTcpSocket* socket) {
    const RemoteHandlerMark handler(*this);
    // Nothing is shown: the connection is closed and counted out.
    socket->abort();
    ServerSocketClientDisconnect(socket);
}

void TForm_Main::ReadRemoteBytes() {
    // While many requests wait to be answered, the rest stays with the connection: its read
    // buffer fills, and TCP holds the client back.
    while (RemoteClient && RemoteRxBuffer.CompleteLines() < kMaxWaitingLines &&
           RemoteClient->bytesAvailable() > 0)
        RemoteRxBuffer.Append(RemoteClient->read(kReadChunk));
}

void TForm_Main::SendRemoteResponse(QTcpSocket* socket) {
    SendRemoteLine(socket, RemoteResponse);
}

void TForm_Main::SendRemoteLine(QTcpSocket* socket, const QByteArray& line) {
    if (!socket || socket != RemoteClient || socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (socket->bytesToWrite() > kMaxUnsent) {
        socket->abort();
        ServerSocketClientDisconnect(socket);
        return;
    }
    socket->write(line + '\r');
    socket->flush();
}

void TForm_Main::ServerSocketClientRead(QTcpSocket* socket) {
    const RemoteHandlerMark handler(*this);
    if (socket != RemoteClient) {
        socket->readAll();
        return;
    }
    ReadRemoteBytes();
    // One request of a client at a time; a departed client's request still running does not
    // hold the next client's back.
    if (RemoteBusy && RemoteLoopOf == socket) return;
    const QScopedValueRollback busy(RemoteBusy, true);
    const QScopedValueRollback owner(RemoteLoopOf, QPointer<QTcpSocket>(socket));
    // The connection stays a valid object while this handler runs (see RemoteHandlerMark); once
    // it has ended, it is no longer the controlling one and the loop stops.
    const QPointer<QTcpSocket> from = socket;
    try {
        // Every complete line is answered, in order, one at a time. The socket does not signal
        // new data again while this handler runs, so the loop collects it after each pump.
        QByteArray line;
        while (!CloseRequested && from && from == RemoteClient && RemoteRxBuffer.PeekLine(line)) {
            if (IsInstrumentRequest(line) && MustWaitForInstrument(IsStopRequest(line))) {
                // A stop takes effect at once; its answer, and any other request for the
                // instrument, waits until the stopped scan's last move has ended.
                if (IsStopRequest(line) && FormControlScan) FormControlScan->RequestStop();
                RetryRemoteLater();
                break;
            }
            RemoteRxBuffer.TakeLine(line);
            RemoteRequest = line;
            RemoteReadBack.reset();
            {
                const QScopedValueRollback requestFrom(RemoteRequestFrom, from);
                const QScopedValueRollback active(RemoteRequestActive, true);
                Action_RemoteServerProcessExecute();
            }
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
    // A client that connected while this request outlived its own client gets control now.
    if (!RemoteClient) AcceptWaitingConnectionsLater();
}

bool TForm_Main::IsRemoteRequestAbandoned() const {
    // Operations run directly (not for a request line) have no client to lose.
    if (!RemoteRequestActive) return false;
    return !RemoteRequestFrom || RemoteRequestFrom != RemoteClient ||
           RemoteRequestFrom->state() != QAbstractSocket::ConnectedState;
}

void TForm_Main::StoreScanEndReport(const QByteArray& response, const QByteArray& code,
                                    const QByteArray& text) {
    // Stored without a request, also when the timer reports inside a departed client's one.
    RemoteResponse = response;
    RemoteErrorCode = code;
    RemoteErrorText = text;
    RemoteEndReport = response;
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
        if (!IsRemoteListening() || !RemoteConnected) return;
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
        SetRemoteResult("UNKNOWN ERROR", "NONE", "Unknown Error.");
    }
}
