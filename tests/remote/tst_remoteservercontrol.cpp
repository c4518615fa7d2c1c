// The remote server on its own, with a host that answers every line: who holds control, the
// newcomer that waits for a departure, requests that wait for the instrument, and a client that
// hangs up while its request runs (its connection must outlive the handler that serves it).
#include "core/Unit_EventPump.h"
#include "remote/Unit_RemoteServer.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>
#include <functional>
#include <memory>

namespace {

class FakeHost : public IRemoteHost {
public:
    bool IsRemoteShuttingDown() const override { return false; }
    QByteArray AnswerRemoteRequest(const QByteArray& line) override {
        Answered.append(line);
        if (DuringRequest) DuringRequest(line);
        return "OK:" + line;
    }
    bool MustWaitForInstrument(bool stop) const override {
        ++WaitQuestions;
        if (stop) ++StopsAsked;
        return InstrumentBusy;
    }
    void RequestScanStop() override { ++StopsRequested; }
    bool StopScanOfDepartedClient() override {
        ++DepartureStops;
        return !HoldDeparture;
    }
    void RemoteControlChanged(bool controlled) override { Controlled.append(controlled); }
    void RemoteStatusChanged() override {}
    void WriteRemoteLog(const QString&) override {}

    QList<QByteArray> Answered;
    std::function<void(const QByteArray&)> DuringRequest;
    bool InstrumentBusy = false;
    bool HoldDeparture = false;
    mutable int WaitQuestions = 0;
    mutable int StopsAsked = 0;
    int StopsRequested = 0;
    int DepartureStops = 0;
    QList<bool> Controlled;
};

using Control = TRemoteServer::Control;

} // namespace

class TestRemoteServerControl : public QObject {
    Q_OBJECT
    std::unique_ptr<FakeHost> Host;
    std::unique_ptr<TRemoteServer> Server;

    std::unique_ptr<QTcpSocket> Connect() {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, Server->Port());
        if (!socket->waitForConnected(5000)) qFatal("no connection to the server");
        return socket;
    }
    // Every CR-ended line the socket receives until `count` have come (or 10 s).
    static QList<QByteArray> ReadLines(QTcpSocket& socket, int count) {
        QByteArray bytes;
        QElapsedTimer clock;
        clock.start();
        while (bytes.count('\r') < count && clock.elapsed() < 10000) {
            QTest::qWait(5);
            bytes += socket.readAll();
        }
        QList<QByteArray> lines = bytes.split('\r');
        lines.removeLast();
        return lines;
    }

private slots:
    void init() {
        Host = std::make_unique<FakeHost>();
        Server = std::make_unique<TRemoteServer>(*Host);
        Server->Start(0, QStringLiteral("127.0.0.1"));
        QVERIFY(Server->IsListening());
        QCOMPARE(Server->State(), Control::Free);
    }
    void cleanup() {
        Server->Stop();
        Server.reset();
        Host.reset();
    }

    void oneClientHoldsControlUntilItLeaves() {
        auto first = Connect();
        QTRY_COMPARE(Server->State(), Control::Held);
        // A second client is closed without a reply and counted out again.
        auto second = Connect();
        QTRY_COMPARE(second->state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(Server->ClientCount(), 1);
        QCOMPARE(second->readAll(), QByteArray());

        first->write("VER\rSETC,500,10\r");
        QCOMPARE(ReadLines(*first, 2), (QList<QByteArray>{"OK:VER", "OK:SETC,500,10"}));

        first->disconnectFromHost();
        QTRY_COMPARE(Server->State(), Control::Free);
        QCOMPARE(Server->ClientCount(), 0);
        QCOMPARE(Host->DepartureStops, 1);
        QCOMPARE(Host->Controlled, (QList<bool>{false, true, false}));

        // Control is free again: the next client takes it.
        auto third = Connect();
        QTRY_COMPARE(Server->State(), Control::Held);
        third->write("STATE\r");
        QCOMPARE(ReadLines(*third, 1), QList<QByteArray>{"OK:STATE"});
    }

    void newcomerWaitsForTheDeparture() {
        Host->HoldDeparture = true;
        auto first = Connect();
        QTRY_COMPARE(Server->State(), Control::Held);
        first->disconnectFromHost();
        QTRY_COMPARE(Server->State(), Control::Departing);
        // The stop of the departed client's scan is asked again until it goes through; the
        // newcomer meanwhile is neither taken nor refused.
        auto next = Connect();
        next->write("VER\r");
        QTRY_VERIFY(Host->DepartureStops >= 3);
        QCOMPARE(Server->State(), Control::Departing);
        QCOMPARE(next->state(), QAbstractSocket::ConnectedState);
        QVERIFY(Host->Answered.isEmpty());

        Host->HoldDeparture = false;
        QCOMPARE(ReadLines(*next, 1), QList<QByteArray>{"OK:VER"});
        QCOMPARE(Server->State(), Control::Held);
    }

    void requestsForTheInstrumentWaitInOrder() {
        auto client = Connect();
        QTRY_COMPARE(Server->State(), Control::Held);
        Host->InstrumentBusy = true;
        client->write("SETC,500,10\rVER\rSTOP\r");
        // Looked at again while it waits; the query behind it keeps its place in the line.
        QTRY_VERIFY(Host->WaitQuestions >= 3);
        QVERIFY(Host->Answered.isEmpty());
        QCOMPARE(client->bytesAvailable(), 0);
        QCOMPARE(Host->StopsRequested, 0);

        Host->InstrumentBusy = false;
        QCOMPARE(ReadLines(*client, 3), (QList<QByteArray>{"OK:SETC,500,10", "OK:VER", "OK:STOP"}));

        // A STOP that has to wait takes effect at once all the same.
        Host->InstrumentBusy = true;
        client->write("STOP\r");
        QTRY_VERIFY(Host->StopsRequested >= 1);
        Host->InstrumentBusy = false;
        QCOMPARE(ReadLines(*client, 1), QList<QByteArray>{"OK:STOP"});
    }

    void hangUpWhileTheRequestRuns_data() {
        QTest::addColumn<bool>("reset");
        QTest::newRow("close") << false;
        QTest::newRow("reset") << true;
    }
    void hangUpWhileTheRequestRuns() {
        QFETCH(bool, reset);
        auto client = Connect();
        QTRY_COMPARE(Server->State(), Control::Held);
        bool abandoned = false;
        Host->DuringRequest = [&](const QByteArray& line) {
            if (line != "SLOW") return;
            // The request pumps events, as a move does, while its client goes away.
            if (reset)
                client->abort();
            else
                client->disconnectFromHost();
            QElapsedTimer clock;
            clock.start();
            while (Server->State() == Control::Held && clock.elapsed() < 10000)
                EventPump::SleepAndPump(5);
            abandoned = Server->IsRequestAbandoned();
        };
        client->write("SLOW\rVER\r");
        QTRY_COMPARE(Server->State(), Control::Free);
        QVERIFY(abandoned);
        QVERIFY(!Server->IsRequestAbandoned());

        Host->DuringRequest = nullptr;
        auto next = Connect();
        next->write("STATE\r");
        QCOMPARE(ReadLines(*next, 1), QList<QByteArray>{"OK:STATE"});
        // The line the departed client sent after it was never run.
        QCOMPARE(Host->Answered, (QList<QByteArray>{"SLOW", "STATE"}));
    }

    void stopClosesEveryConnection() {
        auto client = Connect();
        QTRY_COMPARE(Server->State(), Control::Held);
        Server->Stop();
        QCOMPARE(Server->State(), Control::Free);
        QVERIFY(!Server->IsListening());
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    }
};

QTEST_GUILESS_MAIN(TestRemoteServerControl)
#include "tst_remoteservercontrol.moc"
