#pragma once
// The remote server: the TCP listener, the connections, the line buffer, the request loop,
// keep-alive, the newcomer waiting for a departure and the retiring of ended connections. What a
// request does is the host's business (IRemoteHost): the server hands it each request line and
// sends back the line the host answers.
//
// Control:
//   Free       no client holds control; the next connection takes it.
//   Held       one client holds control; further connections are closed at once.
//   Departing  the controlling client has gone and its departure is being handled (its scan
//              being stopped); a newcomer waits unaccepted until it is done.
//
// Connections live on the GUI thread, and their handlers pump events while a request runs, so a
// handler can run inside another one for the same connection. The rule that keeps this safe: no
// connection is deleted while any of its handlers is on the stack. Every handler holds a
// HandlerMark; a connection that ends is retired (forgotten and disconnected from us at once) and
// deleted only when the last mark is gone.

#include "remote/Unit_RemoteProtocol.h"
#include "remote/Unit_RemoteStatus.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <optional>

class QTcpServer;
class QTcpSocket;
class QTimer;

// What the server needs from the program it serves.
class IRemoteHost {
public:
    virtual ~IRemoteHost() = default;
    // Shutdown has begun: no connection is taken and no further request runs.
    virtual bool IsRemoteShuttingDown() const = 0;
    // Carries out one request line and returns the line to send back (without its CR).
    virtual QByteArray AnswerRemoteRequest(const QByteArray& line) = 0;
    // A request for the instrument must wait and be looked at again: a scan step's move waits
    // below, or (but for a STOP) a stopped scan's end is not reported yet.
    virtual bool MustWaitForInstrument(bool stop) const = 0;
    // A STOP takes effect at once, also while its answer waits.
    virtual void RequestScanStop() = 0;
    // The departed client's scan, if one runs, is stopped. False while that has to wait for a
    // move below; the server then asks again shortly.
    virtual bool StopScanOfDepartedClient() = 0;
    // A client took control (true) or control was given back (false): the panels lock or
    // unlock. A client that takes control starts with an empty result store.
    virtual void RemoteControlChanged(bool controlled) = 0;
    // Where the remote control is reached, or who holds it, has changed.
    virtual void RemoteStatusChanged() = 0;
    // One line in the communication log.
    virtual void WriteRemoteLog(const QString& line) = 0;
};

class TRemoteServer : public QObject {
    Q_OBJECT
public:
    enum class Control { Free, Held, Departing };

    explicit TRemoteServer(IRemoteHost& host, QObject* parent = nullptr);
    ~TRemoteServer() override;

    // Listens on `port`, on `address` when one is given (an IP address of this machine; "::"
    // is every address) or on every address. A port held by another program is tried again
    // every 5 s until Stop. Failures are kept in Status(), never raised.
    void Start(quint16 port, const std::optional<QString>& address);
    // Stops listening and closes every connection; a request being processed ends at its next
    // look at its connection.
    void Stop();

    bool IsListening() const;
    quint16 Port() const;
    RemoteServerState Status() const;

    Control State() const { return ControlState; }
    // A client holds control, or its departure is still being handled.
    bool IsConnected() const { return ControlState != Control::Free; }
    // A request loop runs.
    bool IsBusy() const { return LoopOf.has_value(); }
    // Open connections, rejected ones included until they are closed.
    qint32 ClientCount() const { return qint32(Sockets.size()); }
    const RemoteLineBuffer& RxBuffer() const { return Buffer; }
    // The request being carried out belongs to a client that has gone (or to another
    // connection than the controlling one). False outside a request.
    bool IsRequestAbandoned() const;

    // The socket handlers, run by the listener's and the connections' signals.
    void ServerSocketClientConnect();
    void ServerSocketClientDisconnect(QTcpSocket* socket);
    void ServerSocketClientRead(QTcpSocket* socket);
    void ServerSocketClientError(QTcpSocket* socket);

private:
    class HandlerMark {
    public:
        explicit HandlerMark(TRemoteServer& server) : Server(server) { ++Server.HandlerDepth; }
        ~HandlerMark() { Server.LeaveHandler(); }
        HandlerMark(const HandlerMark&) = delete;
        HandlerMark& operator=(const HandlerMark&) = delete;

    private:
        TRemoteServer& Server;
    };
    void LeaveHandler();
    void Retire(QTcpSocket* socket);
    void Listen(quint16 port);
    // Moves the bytes waiting on the controlling connection into the line buffer.
    void ReadBytes();
    void SendLine(QTcpSocket* socket, const QByteArray& line);
    // Looks again shortly at a request that waits and at a departure that waits.
    void RetryLater();
    // The last client's departure: its scan is stopped, then control is free and a waiting
    // client is taken.
    void ContinueDeparture();
    // Takes waiting connections once the departure has been handled (queued: the handler that
    // ends it is still on the stack).
    void AcceptWaitingLater();

    IRemoteHost& Host;
    QTcpServer* Listener = nullptr;
    std::optional<QString> ListenAddress;
    RemoteServerState ListenState;
    QTimer* ListenRetry = nullptr;
    int ListenTries = 0;

    Control ControlState = Control::Free;
    // The controlling connection while Held, and every open one.
    QPointer<QTcpSocket> Client;
    QList<QTcpSocket*> Sockets;
    RemoteLineBuffer Buffer;
    // The connection whose request loop runs, while one does.
    std::optional<QPointer<QTcpSocket>> LoopOf;
    // The connection whose request is being carried out, while one is.
    std::optional<QPointer<QTcpSocket>> RequestFrom;
    // The departure's stop is waiting for the scan's end.
    bool StoppingScan = false;
    QTimer* Retry = nullptr;
    bool AcceptQueued = false;

    int HandlerDepth = 0;
    QList<QTcpSocket*> Retired;
};
