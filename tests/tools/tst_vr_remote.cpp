// vr-remote against a stand-in server: arguments it cannot use end the run with status 2 and a
// message before anything is sent; usable ones reach the server as one request line each; each
// way a run can end gives its own exit status and says why.
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

    // Runs vr-remote against a server on a free port. The server answers the request lines
    // in turn with `answers` (each with a CR), then every further one with "QVL Rari v2.1".
    // An answer "<close>" closes the connection instead, "<silent>" answers nothing, and an
    // answer "<refused>" alone means no server listens on the port.
    static Run RunAgainstServer(const QStringList& args, const QByteArrayList& answers = {}) {
        QTcpServer server;
        Run run;
        if (!server.listen(QHostAddress::LocalHost, 0)) return run;
        const quint16 port = server.serverPort();
        if (answers == QByteArrayList{"<refused>"}) server.close();
        QList<QTcpSocket*> clients;
        qsizetype next = 0;
        connect(&server, &QTcpServer::newConnection, &server, [&]() {
            while (QTcpSocket* client = server.nextPendingConnection()) {
                ++run.Connections;
                clients.append(client);
                connect(client, &QTcpSocket::readyRead, client, [&run, &answers, &next, client]() {
                    const QByteArray bytes = client->readAll();
                    run.Received += bytes;
                    for (char c : bytes) {
                        if (c != '\r') continue;
                        const QByteArray answer =
                            next < answers.size() ? answers[next++] : "QVL Rari v2.1";
                        if (answer == "<close>") {
                            client->close();
                            return;
                        }
                        if (answer != "<silent>") client->write(answer + '\r');
                    }
                });
            }
        });
        QProcess process;
        process.start(QStringLiteral(VR_BIN_DIR "/vr-remote"),
                      QStringList{"--port", QString::number(port)} + args);
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
        // Status 1 would be taken for a request the program refused.
        QTest::newRow("unknown option") << QStringList{"--bogus", "VER"} << "Unknown option";
        QTest::newRow("unknown short option") << QStringList{"-x", "VER"} << "Unknown option";
        QTest::newRow("option without its value")
            << QStringList{"VER", "--port"} << "Missing value";
        QTest::newRow("port out of range") << QStringList{"--port", "65536", "VER"} << "port";
        QTest::newRow("no LINE") << QStringList{} << "at least one line";
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

    // How a run ends against each kind of server answer: its exit status, what it printed and
    // what stderr says.
    void exitStatus_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArrayList>("answers");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QString>("message"); // in stderr; empty: stderr stays empty

        QTest::newRow("all answered")
            << QStringList{"SETC,550.0,10.0", "BAND"}
            << QByteArrayList{"SETC OK", "550.0,10.0,545.0,555.0"} << 0
            << QByteArray("SETC OK\n550.0,10.0,545.0,555.0\n") << QString();
        // ECODE and ETEXT are asked at once; the byte pair A1 C2 is shown as the sign.
        QTest::newRow("request failed")
            << QStringList{"SETC,900.0,10.0", "VER"}
            << QByteArrayList{"SETC FAIL", "ERRSE04",
                              "Out of range. Please set [CWL] \xA1\xC2 800.0"}
            << 1 << QByteArray("SETC FAIL\n")
            << QStringLiteral("ERRSE04 : Out of range. Please set [CWL] \u2264 800.0");
        QTest::newRow("unknown command")
            << QStringList{"CHECK"} << QByteArrayList{"UNKNOWN COMMAND", "NONE", ""} << 1
            << QByteArray("UNKNOWN COMMAND\n") << QStringLiteral("NONE : ");
        // Queries answer with commas and NONE; none of that is a failure.
        QTest::newRow("query answers")
            << QStringList{"SESSION", "LIMITS,20", "CHECK,SETC,900.0,10.0"}
            << QByteArrayList{"UNUSABLE,ERRDV10", "NONE", "ERRSE04,Out of range."} << 0
            << QByteArray("UNUSABLE,ERRDV10\nNONE\nERRSE04,Out of range.\n") << QString();
        QTest::newRow("scan followed to its end")
            << QStringList{"--wait", "SCAN,540.0,560.0,10.0,1.0,0.5"}
            << QByteArrayList{"SCAN OK", "", "", "SCAN SUCCESS"} << 0
            << QByteArray("SCAN OK\nSCAN SUCCESS\n") << QString();
        QTest::newRow("scan ended in failure")
            << QStringList{"--wait", "SCAN,540.0,560.0,10.0,1.0,0.5"}
            << QByteArrayList{"SCAN OK", "", "SCAN FAIL", "ERRDV04", "Communication error."} << 1
            << QByteArray("SCAN OK\nSCAN FAIL\n")
            << QStringLiteral("ERRDV04 : Communication error.");
        QTest::newRow("no server") << QStringList{"VER"} << QByteArrayList{"<refused>"} << 2
                                   << QByteArray() << QStringLiteral("cannot connect");
        // The program closes a second client's connection before it answers anything.
        QTest::newRow("closed before any answer")
            << QStringList{"VER"} << QByteArrayList{"<close>"} << 2 << QByteArray()
            << QStringLiteral("another client may hold control");
        QTest::newRow("program ended between requests")
            << QStringList{"VER", "STATE"} << QByteArrayList{"QVL Rari v2.1", "<close>"} << 2
            << QByteArray("QVL Rari v2.1\n")
            << QStringLiteral("the program ended: it closed the connection before answering "
                              "\"STATE\"");
        QTest::newRow("program ended during --wait")
            << QStringList{"--wait", "SCAN,540.0,560.0,10.0,1.0,0.5"}
            << QByteArrayList{"SCAN OK", "", "<close>"} << 2 << QByteArray("SCAN OK\n")
            << QStringLiteral("the program ended: it closed the connection before answering an "
                              "empty line");
        QTest::newRow("no answer in time")
            << QStringList{"--timeout", "0.3", "VER"} << QByteArrayList{"<silent>"} << 2
            << QByteArray() << QStringLiteral("no response to \"VER\" within 300 ms");
        QTest::newRow("--version") << QStringList{"--version"} << QByteArrayList{} << 0
                                   << QByteArray("vr-remote " VR_PROGRAM_VERSION "\n") << QString();
    }
    void exitStatus() {
        QFETCH(QStringList, args);
        QFETCH(QByteArrayList, answers);
        QFETCH(int, status);
        QFETCH(QByteArray, out);
        QFETCH(QString, message);
        const Run run = RunAgainstServer(args, answers);
        QCOMPARE(run.Status, status);
        QCOMPARE(run.Out, out);
        if (message.isEmpty())
            QCOMPARE(run.Err, QByteArray());
        else
            QVERIFY2(QString::fromUtf8(run.Err).contains(message), run.Err.constData());
    }

    // --help ends with status 0 and names every request and query a script may send.
    void helpNamesEveryRequest() {
        const Run run = RunAgainstServer({"--help"});
        QCOMPARE(run.Status, 0);
        QCOMPARE(run.Connections, 0);
        const QString help = QString::fromUtf8(run.Out);
        for (const char* request : {"VER",
                                    "STATE",
                                    "ECODE",
                                    "ETEXT",
                                    "ECLEAR",
                                    "RESET",
                                    "STOP",
                                    "SETC,CWL,FWHM",
                                    "SETR,SW,LW",
                                    "SCAN,START,END,FWHM,STEP,DELAY",
                                    "PROGRESS",
                                    "BAND",
                                    "SESSION",
                                    "LIMITS",
                                    "LIMITS,FWHM",
                                    "CHECK,SETC,CWL,FWHM",
                                    "CHECK,SETR,SW,LW",
                                    "CHECK,SCAN,START,END,FWHM,STEP,DELAY",
                                    "--version",
                                    "--wait",
                                    "--timeout"})
            QVERIFY2(help.contains(QLatin1String(request)), request);
    }
};

QTEST_GUILESS_MAIN(TestVrRemote)
#include "tst_vr_remote.moc"
