// The remote server: listening, connections, framing and the request loop.
#include "remote/Unit_RemoteServer.h"

#include "core/Unit_EventPump.h"

#include <QHostAddress>
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
bool IsInstrumentRequest(RemoteCommand command) {
    switch (command) {
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

TRemoteServer::TRemoteServer(IRemoteHost& host, QObject* parent) : QObject(parent), Host(host) {}

TRemoteServer::~TRemoteServer() {
    // The connections go with the listener; none of them reports its end to a server that is
    // going.
    for (QTcpSocket* socket : std::as_const(Sockets))
        socket->disconnect(this);
    if (Listener) Listener->disconnect(this);
}

bool TRemoteServer::IsListening() const {
    return Listener && Listener->isListening();
}

quint16 TRemoteServer::Port() const {
    return IsListening() ? Listener->serverPort() : 0;
}

void TRemoteServer::Start(quint16 port, const std::optional<QString>& address) {
    if (IsListening()) return;
    ListenAddress = address;
    ControlState = Control::Free;
    Host.RemoteControlChanged(false);
    if (!Listener) {
        Listener = new QTcpServer(this);
        connect(Listener, &QTcpServer::newConnection, this,
                &TRemoteServer::ServerSocketClientConnect);
    }
    Listen(port);
    Host.RemoteStatusChanged();
}

void TRemoteServer::Listen(quint16 port) {
    ListenState = RemoteServerState();
    ListenState.Port = port;
    ListenState.AddressGiven = ListenAddress.has_value();
    ListenState.Address = ListenAddress.value_or(QString());
    if (ListenState.AddressGiven) {
        // Only an address of this machine: an empty text or a host name would quietly mean all
        // addresses or none.
        const QHostAddress address(ListenState.Address);
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
            ListenState.Reason = QStringLiteral("not an IP address of this machine");
        } else if (mapped) {
            ListenState.Reason = QStringLiteral("an IPv4 address written as IPv6: give %1 instead")
                                     .arg(QHostAddress(v4).toString());
        } else if (address.protocol() == QAbstractSocket::IPv6Protocol && address.isLinkLocal() &&
                   address.scopeId().isEmpty()) {
            ListenState.Reason =
                QStringLiteral("a link-local address needs its interface, as in %1%eth0")
                    .arg(ListenState.Address);
        } else if (address == QHostAddress(QHostAddress::AnyIPv6)) {
            // "::" means every address, IPv4 ones too, as most servers take it.
            Listener->listen(QHostAddress::Any, port);
        } else {
            Listener->listen(address, port);
        }
    } else if (!Listener->listen(QHostAddress::Any, port) &&
               Listener->serverError() != QAbstractSocket::AddressInUseError) {
        // Any is IPv4 and IPv6 at once; a machine without IPv6 still gets IPv4.
        Listener->listen(QHostAddress::AnyIPv4, port);
    }
    if (!IsListening() && ListenState.Reason.isEmpty()) {
        ListenState.PortInUse = Listener->serverError() == QAbstractSocket::AddressInUseError;
        ListenState.Reason = Listener->errorString();
    }
    ListenState.Listening = IsListening();
    if (ListenState.Listening) return;
    // The program runs on without remote control; the log says why, once.
    if (ListenTries == 0)
        Host.WriteRemoteLog(
            QStringLiteral("Remote Server Listen Fail <%1:%2> : %3")
                .arg(ListenState.AddressGiven ? ListenState.Address : QStringLiteral("*"),
                     QString::number(port),
                     ListenState.PortInUse ? QStringLiteral("port in use") : ListenState.Reason));
    // A port another program holds may be freed: it is tried again every 5 s.
    if (!ListenState.PortInUse || ListenState.AddressGiven || Host.IsRemoteShuttingDown()) return;
    ++ListenTries;
    if (!ListenRetry) {
        ListenRetry = new QTimer(this);
        ListenRetry->setSingleShot(true);
        ListenRetry->setInterval(kListenRetryMs);
        connect(ListenRetry, &QTimer::timeout, this, [this]() {
            if (Host.IsRemoteShuttingDown() || IsListening()) return;
            Listen(ListenState.Port);
            Host.RemoteStatusChanged();
        });
    }
    ListenRetry->start();
}

RemoteServerState TRemoteServer::Status() const {
    RemoteServerState state = ListenState;
    state.Listening = IsListening();
    if (state.Listening && ControlState == Control::Held && Client) {
        // A client reached over IPv4 on a dual-stack socket is shown in IPv4 notation.
        QHostAddress peer = Client->peerAddress();
        bool mapped = false;
        const quint32 v4 = peer.toIPv4Address(&mapped);
        if (mapped) peer = QHostAddress(v4);
        state.Client = peer.toString();
    }
    return state;
}

void TRemoteServer::Stop() {
    const HandlerMark handler(*this);
    if (ListenRetry) ListenRetry->stop();
    ControlState = Control::Free;
    Client = nullptr;
    // A request being processed ends at its next look at the controlling connection.
    const QList<QTcpSocket*> sockets = Sockets;
    Sockets.clear();
    for (QTcpSocket* socket : sockets) {
        Retire(socket);
        socket->abort();
    }
    Host.RemoteControlChanged(false);
    if (Listener) Listener->close();
}

void TRemoteServer::LeaveHandler() {
    if (--HandlerDepth > 0) return;
    HandlerDepth = 0;
    const QList<QTcpSocket*> retired = Retired;
    Retired.clear();
    for (QTcpSocket* socket : retired)
        socket->deleteLater();
}

void TRemoteServer::Retire(QTcpSocket* socket) {
    // No handler of ours runs for it any more; whichever of its close and error comes later
    // finds nothing connected.
    socket->disconnect(this);
    if (!Retired.contains(socket)) Retired.append(socket);
    if (socket == Client) Client = nullptr;
}

void TRemoteServer::RetryLater() {
    if (!Retry) {
        Retry = new QTimer(this);
        Retry->setSingleShot(true);
        Retry->setInterval(kRetryMs);
        connect(Retry, &QTimer::timeout, this, [this]() {
            if (Host.IsRemoteShuttingDown()) return;
            ContinueDeparture();
            if (Client && Buffer.CompleteLines() > 0) ServerSocketClientRead(Client);
        });
    }
    if (!Retry->isActive()) Retry->start();
}

void TRemoteServer::ContinueDeparture() {
    if (ControlState != Control::Departing || StoppingScan) return;
    const HandlerMark handler(*this);
    {
        // A script that ends or dies does not leave the filter scanning.
        const QScopedValueRollback stopping(StoppingScan, true);
        if (!Host.StopScanOfDepartedClient()) {
            RetryLater();
            return;
        }
    }
    // A request loop of the departed client may still run: it ends at its next look at its
    // connection, and a new client's requests are not run nested inside it (IsBusy is the
    // loop's own).
    ControlState = Control::Free;
    Host.RemoteControlChanged(false);
    AcceptWaitingLater();
}

void TRemoteServer::AcceptWaitingLater() {
    if (AcceptQueued || !Listener || !Listener->hasPendingConnections()) return;
    AcceptQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this]() {
            AcceptQueued = false;
            ServerSocketClientConnect();
        },
        Qt::QueuedConnection);
}

void TRemoteServer::ServerSocketClientConnect() {
    const HandlerMark handler(*this);
    while (Listener && Listener->hasPendingConnections() && !Host.IsRemoteShuttingDown()) {
        // A client that reconnects at once may arrive before its previous connection's end has
        // been handled: that end is handled first, so the newcomer is not taken for a second
        // client.
        if (Client && PeerHasClosed(Client)) {
            QTcpSocket* gone = Client;
            ServerSocketClientDisconnect(gone);
            gone->abort();
        }
        // While the last controller's departure is handled, a newcomer waits unaccepted; it is
        // taken when the departure ends.
        if (ControlState == Control::Departing) return;
        QTcpSocket* socket = Listener->nextPendingConnection();
        if (!socket) return;
        // A connection that waited to be taken may have come and gone meanwhile (its end was
        // seen while nobody listened to it): it leaves without its request being run.
        if (socket->state() != QAbstractSocket::ConnectedState) {
            socket->deleteLater();
            continue;
        }
        Sockets.append(socket);
        connect(socket, &QTcpSocket::disconnected, this,
                [this, socket]() { ServerSocketClientDisconnect(socket); });
        connect(socket, &QTcpSocket::errorOccurred, this,
                [this, socket]() { ServerSocketClientError(socket); });
        if (ControlState == Control::Held) {
            // One client holds control: the newcomer is closed without a reply.
            socket->abort();
            ServerSocketClientDisconnect(socket);
            continue;
        }
        socket->setReadBufferSize(kSocketReadBuffer);
        EnableKeepAlive(socket);
        connect(socket, &QTcpSocket::readyRead, this,
                [this, socket]() { ServerSocketClientRead(socket); });
        Buffer.Clear();
        Client = socket;
        ControlState = Control::Held;
        Host.RemoteControlChanged(true);
        // Bytes that came with the connection are not announced again.
        if (socket->bytesAvailable() > 0)
            QMetaObject::invokeMethod(
                this,
                [this, guarded = QPointer<QTcpSocket>(socket)]() {
                    if (guarded && guarded == Client) ServerSocketClientRead(guarded);
                },
                Qt::QueuedConnection);
    }
}

void TRemoteServer::ServerSocketClientDisconnect(QTcpSocket* socket) {
    const HandlerMark handler(*this);
    // A connection is counted out once, whichever of its close and its error comes first.
    if (!Sockets.removeOne(socket)) return;
    const bool wasController = socket == Client;
    Retire(socket);
    // A connection refused while the last client's scan is being stopped does not start a
    // second departure.
    if (!wasController || !Sockets.isEmpty() || ControlState != Control::Held) return;
    ControlState = Control::Departing;
    ContinueDeparture();
}

void TRemoteServer::ServerSocketClientError(QTcpSocket* socket) {
    const HandlerMark handler(*this);
    // Nothing is shown: the connection is closed and counted out.
    socket->abort();
    ServerSocketClientDisconnect(socket);
}

void TRemoteServer::ReadBytes() {
    // While many requests wait to be answered, the rest stays with the connection: its read
    // buffer fills, and TCP holds the client back.
    while (Client && Buffer.CompleteLines() < kMaxWaitingLines && Client->bytesAvailable() > 0)
        Buffer.Append(Client->read(kReadChunk));
}

void TRemoteServer::SendLine(QTcpSocket* socket, const QByteArray& line) {
    if (!socket || socket != Client || socket->state() != QAbstractSocket::ConnectedState) return;
    if (socket->bytesToWrite() > kMaxUnsent) {
        socket->abort();
        ServerSocketClientDisconnect(socket);
        return;
    }
    socket->write(line + '\r');
    socket->flush();
}

void TRemoteServer::ServerSocketClientRead(QTcpSocket* socket) {
    const HandlerMark handler(*this);
    if (socket != Client) {
        socket->readAll();
        return;
    }
    ReadBytes();
    // One request of a client at a time; a departed client's request still running does not
    // hold the next client's back.
    if (LoopOf && *LoopOf == socket) return;
    // The connection stays a valid object while this handler runs (see HandlerMark); once it has
    // ended, it is no longer the controlling one and the loop stops.
    const QPointer<QTcpSocket> from = socket;
    const QScopedValueRollback loop(LoopOf, std::optional(from));
    // Every complete line is answered, in order, one at a time. The socket does not signal new
    // data again while this handler runs, so the loop collects it after each pump.
    QByteArray line;
    while (!Host.IsRemoteShuttingDown() && from && from == Client && Buffer.PeekLine(line)) {
        const RemoteCommand command = ParseRemoteCommand(SplitCommaText(line));
        const bool stop = command == RemoteCommand::Stop;
        if (IsInstrumentRequest(command) && Host.MustWaitForInstrument(stop)) {
            // A stop takes effect at once; its answer, and any other request for the
            // instrument, waits until the stopped scan's last move has ended.
            if (stop) Host.RequestScanStop();
            RetryLater();
            break;
        }
        Buffer.TakeLine(line);
        QByteArray answer;
        {
            const QScopedValueRollback request(RequestFrom, std::optional(from));
            answer = Host.AnswerRemoteRequest(line);
        }
        SendLine(from, answer);
        EventPump::PumpOnce();
        ReadBytes();
    }
    // A client that connected while this request outlived its own client gets control now.
    if (!Client) AcceptWaitingLater();
}

bool TRemoteServer::IsRequestAbandoned() const {
    // Operations run directly (not for a request line) have no client to lose.
    if (!RequestFrom) return false;
    const QPointer<QTcpSocket>& from = *RequestFrom;
    return !from || from != Client || from->state() != QAbstractSocket::ConnectedState;
}
