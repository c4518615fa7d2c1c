// vr-remote against a stand-in server: arguments it cannot use end the run with status 2 and a
// message before anything is sent; usable ones reach the server as one request line each.
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

class TestVrRemote : public QObject {
    Q_OBJECT

    struct Run {
        int Status = -1;
        QByteArray Out, Err;
        QByteArray Received; // every byte the server received
        int Connections = 0;
    };

    // Runs vr-remote against a server on a free port that answers each request line with
    // "QVL Rari v2.1" and a CR.
    static Run RunAgainstServer(const QStringList& args) {
        QTcpServer server;
        Run run;
        if (!server.listen(QHostAddress::LocalHost, 0)) return run;
        QList<QTcpSocket*> clients;
        connect(&server, &QTcpServer::newConnection, &server, [&]() {
            while (QTcpSocket* client = server.nextPendingConnection()) {
                ++run.Connections;
                clients.append(client);
                connect(client, &QTcpSocket::readyRead, client, [&run, client]() {
                    const QByteArray bytes = client->readAll();
                    run.Received += bytes;
                    for (char c : bytes)
                        if (c == '\r') client->write("QVL Rari v2.1\r");
                });
            }
        });
        QProcess process;
        process.start(QStringLiteral(VR_BIN_DIR "/vr-remote"),
                      QStringList{"--port", QString::number(server.serverPort())} + args);
        // The server lives on this thread: events are served while the client runs.
        if (!QTest::qWaitFor([&]() { return process.state() == QProcess::NotRunning; }, 60000)) {
            process.kill();
            process.waitForFinished();
            return run;
        }
        run.Status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.Out = process.readAllStandardOutput();
        run.Err = process.readAllStandardError();
        // A connection the client made just before it ended is still counted.
        QCoreApplication::processEvents();
        return run;
    }

private slots:
    void refusesWhatItCannotUse_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        const QString line = QStringLiteral("must not hold a CR or LF");
        const QString timeout = QStringLiteral("--timeout must be a number of seconds above 0");
        // A CR or LF would make two requests of one LINE; nothing is sent, not even the valid
        // LINE before it.
        QTest::newRow("CR inside") << QStringList{"VER\rSTATE"} << line;
        QTest::newRow("CR at the end") << QStringList{"VER\r"} << line;
        QTest::newRow("LF after a valid line") << QStringList{"VER", "STATE\n"} << line;
        QTest::newRow("timeout 0") << QStringList{"--timeout", "0", "VER"} << timeout;
        QTest::newRow("timeout negative") << QStringList{"--timeout", "-1", "VER"} << timeout;
        QTest::newRow("timeout over a day")
            << QStringList{"--timeout", "86400.5", "VER"} << timeout;
        // Once overflowed into a wait for ever.
        QTest::newRow("timeout 1e308") << QStringList{"--timeout", "1e308", "VER"} << timeout;
        QTest::newRow("timeout inf") << QStringList{"--timeout", "inf", "VER"} << timeout;
        QTest::newRow("timeout nan") << QStringList{"--timeout", "nan", "VER"} << timeout;
        QTest::newRow("timeout not a number") << QStringList{"--timeout", "ten", "VER"} << timeout;
    }
    void refusesWhatItCannotUse() {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const Run run = RunAgainstServer(args);
        QCOMPARE(run.Status, 2);
        QVERIFY2(QString::fromUtf8(run.Err).contains(message), run.Err.constData());
        QCOMPARE(run.Out, QByteArray());
        QCOMPARE(run.Connections, 0);
        QCOMPARE(run.Received, QByteArray());
    }

    void sendsEachLineAsOneRequest_data() {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("default time-out") << QStringList{"VER", "VER"};
        QTest::newRow("time-out of a day") << QStringList{"--timeout", "86400", "VER", "VER"};
        QTest::newRow("time-out of a fraction") << QStringList{"--timeout", "2.5", "VER", "VER"};
    }
    void sendsEachLineAsOneRequest() {
        QFETCH(QStringList, args);
        const Run run = RunAgainstServer(args);
        QCOMPARE(run.Status, 0);
        QCOMPARE(run.Out, QByteArray("QVL Rari v2.1\nQVL Rari v2.1\n"));
        QCOMPARE(run.Received, QByteArray("VER\rVER\r"));
        QCOMPARE(run.Connections, 1);
    }
};

QTEST_GUILESS_MAIN(TestVrRemote)
#include "tst_vr_remote.moc"
