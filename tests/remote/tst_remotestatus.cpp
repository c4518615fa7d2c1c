// The words that tell a user where the remote control is reached, or why it is not.
#include "remote/Unit_RemoteStatus.h"

#include <QTest>

class TestRemoteStatus : public QObject {
    Q_OBJECT
private slots:
    void lines_data() {
        QTest::addColumn<bool>("given");
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<bool>("inUse");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("client");
        QTest::addColumn<QString>("help");
        QTest::addColumn<QString>("problem");
        const QString none;
        QTest::newRow("all addresses") << false << none << true << false << none << none
                                       << "Remote control: port 5050 on all addresses" << none;
        QTest::newRow("one address, a client in control")
            << true << "127.0.0.1" << true << false << none << "127.0.0.1"
            << "Remote control: port 5050 on 127.0.0.1 — controlled by 127.0.0.1" << none;
        QTest::newRow("port in use")
            << false << none << false << true << "The bound address is already in use" << none
            << "Remote control: off — port 5050 is in use"
            << "VuzaRavarede: remote control cannot listen on all addresses port 5050: the port "
               "is in use by another program";
        QTest::newRow("empty address")
            << true << "" << false << false << "not an IP address of this machine" << none
            << "Remote control: off — port 5050 on \"\": not an IP address of this machine"
            << "VuzaRavarede: remote control cannot listen on \"\" port 5050: not an IP address "
               "of this machine";
        QTest::newRow("no reason known")
            << false << none << false << false << none << none
            << "Remote control: off — port 5050 on all addresses: unknown error"
            << "VuzaRavarede: remote control cannot listen on all addresses port 5050: unknown "
               "error";
    }
    void lines() {
        RemoteServerState state;
        state.Port = 5050;
        QFETCH(bool, given);
        state.AddressGiven = given;
        QFETCH(QString, address);
        state.Address = address;
        QFETCH(bool, listening);
        state.Listening = listening;
        QFETCH(bool, inUse);
        state.PortInUse = inUse;
        QFETCH(QString, reason);
        state.Reason = reason;
        QFETCH(QString, client);
        state.Client = client;
        QTEST(RemoteHelpLine(state), "help");
        QTEST(RemoteListenProblem(state), "problem");
    }
};

QTEST_GUILESS_MAIN(TestRemoteStatus)
#include "tst_remotestatus.moc"
