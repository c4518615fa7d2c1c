// The remote server of the main window over real TCP connections, with the simulated
// instrument behind it: requests and responses on the wire, the panels the requests reach, the
// one controlling client, and a client that sends faster or worse than it should.
#include "app/Unit_FormMain.h"
#include "control/Unit_FormControlScan.h"
#include "control/Unit_FormControlSet.h"
#include "support/AppFixture.h"
#include "ui/Unit_FormControlHelp.h"
#include "ui/Unit_SkinEdit.h"
#include "ui/Unit_SkinImage.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The moment a STOP waits for its scan's end, as a hang-up moment.
constexpr QLatin1String kStopRequested("stop requested");

// Handles events until `done` holds. Wakes on every event (a byte on a socket), not on a
// polling period, so that request after request runs at the speed of the program.
bool WaitFor(const std::function<bool()>& done, int timeoutMs = 30000) {
    QDeadlineTimer deadline(timeoutMs);
    QTimer wake; // only to look at the deadline when nothing else happens
    wake.start(50);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

int OpenFileCount() {
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::Files).size());
}

// A remote client on this thread: the program's server runs while the client waits.
class Client {
public:
    bool Connect(quint16 port) {
        Socket.connectToHost(QHostAddress::LocalHost, port);
        return WaitFor([this]() { return Socket.state() == QAbstractSocket::ConnectedState; },
                       5000);
    }
    void Send(const QByteArray& bytes) { Socket.write(bytes); }
    // The next response line without its CR; "<none>" when none came in time.
    QByteArray Next(int timeoutMs = 30000) {
        if (!WaitFor(
                [this]() {
                    Rx += Socket.readAll();
                    return Rx.contains('\r');
                },
                timeoutMs))
            return "<none>";
        const qsizetype cr = Rx.indexOf('\r');
        const QByteArray line = Rx.left(cr);
        Rx.remove(0, cr + 1);
        return line;
    }
    QByteArray Ask(const QByteArray& request, int timeoutMs = 30000) {
        Send(request + '\r');
        return Next(timeoutMs);
    }
    QTcpSocket Socket;
    QByteArray Rx;
};

// A client on a plain socket, so that the test decides the moment of every send and close (Qt's
// own socket would wait for the event loop). Connecting completes in the kernel, before the
// program has accepted the connection.
class RawClient {
public:
    explicit RawClient(quint16 port) {
        Fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (Fd >= 0 && ::connect(Fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) Close();
    }
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool IsOpen() const { return Fd >= 0; }
    void Send(const QByteArray& bytes) {
        if (Fd >= 0) (void)::send(Fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
    }
    // Reads what has arrived; true once a whole response line is among it.
    bool HasAnswer() {
        char chunk[4096];
        ssize_t n = 0;
        while (Fd >= 0 && (n = ::recv(Fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            Rx.append(chunk, n);
        return Rx.contains('\r');
    }
    void CloseSending() {
        if (Fd >= 0) ::shutdown(Fd, SHUT_WR);
    }
    // `reset`: the connection is reset (RST) instead of closed.
    void Close(bool reset = false) {
        if (Fd < 0) return;
        if (reset) {
            const linger now{1, 0};
            ::setsockopt(Fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        }
        ::close(Fd);
        Fd = -1;
    }
    QByteArray Rx;

private:
    int Fd = -1;
};

// A seeded random client for hostile rounds: each round connects, sends whole and partial
// requests of every kind (and sometimes a second connection), and hangs up at a random moment.
// It runs from a timer, so its steps also happen inside the program's own pumps, in the middle
// of a request: before, during and after the answers.
class ChaosClient : public QObject {
public:
    ChaosClient(quint16 port, quint32 seed, int rounds, std::function<int()> simCommands)
        : Port(port), Random(seed), RoundsLeft(rounds), SimCommands(std::move(simCommands)) {
        connect(&Tick, &QTimer::timeout, this, [this]() { Step(); });
        Tick.start(1);
    }
    bool Done() const { return RoundsLeft == 0 && Steps.isEmpty() && !Client; }

private:
    struct Action {
        enum Kind { Connect, Second, Send, Pump, Answer, SimCommand, Close, Reset } What;
        QByteArray Bytes;
        int Ticks = 0;
    };

    int Pick(int n) { return int(Random.bounded(quint32(n))); }

    QByteArray Request() {
        static const QList<QByteArray> kRequests{"VER",
                                                 "STATE",
                                                 "ECODE",
                                                 "ETEXT",
                                                 "ECLEAR",
                                                 "",
                                                 "SETC,550.0,10.0",
                                                 "SETC 600 5",
                                                 "SETR,545.0,555.0",
                                                 "RESET",
                                                 "SCAN,500,506,10,2,0.1",
                                                 "SCAN,500,795,10,0.5,1",
                                                 "STOP",
                                                 "SETC,300,10",
                                                 "SETR,900,910",
                                                 "SCAN,100,200,10,1,1",
                                                 "SETC,500.05,10",
                                                 "ver",
                                                 "SETC,abc,x",
                                                 "SETC,500",
                                                 "\x01\x02\xff\"\"",
                                                 "SCAN,500,510,10,2",
                                                 "SESSION",
                                                 "LIMITS",
                                                 "LIMITS,20",
                                                 "CHECK,SETC,795,20",
                                                 "CHECK,SCAN,500,600,10,1,0.5",
                                                 "CHECK,SETR,nan,1e999",
                                                 "PROGRESS",
                                                 "BAND"};
        if (Pick(25) == 0) {
            // Requests sent ahead, beyond the bytes of one line.
            QByteArray burst;
            for (int i = 0, n = 70 + Pick(200); i < n; ++i)
                burst += i % 5 == 0 ? "SESSION\r" : "VER\r";
            return burst + "VER";
        }
        if (Pick(20) == 0) {
            QByteArray junk(Pick(300) + 1, 'j');
            for (char& c : junk)
                c = char(Pick(256));
            return junk;
        }
        return kRequests[Pick(int(kRequests.size()))];
    }

    void PlanRound() {
        --RoundsLeft;
        Steps.append({Action::Connect, {}, 0});
        if (Pick(6) == 0) Steps.append({Action::Second, {}, 0});
        const int requests = 1 + Pick(4);
        static const QList<QByteArray> kEnds{"\r", "\n", "\r\n", ""};
        for (int i = 0; i < requests; ++i) {
            const QByteArray line = Request() + kEnds[Pick(int(kEnds.size()))];
            const int cut = Pick(3) == 0 ? Pick(int(line.size()) + 1) : int(line.size());
            Steps.append({Action::Send, line.left(cut), 0});
            if (cut < line.size()) {
                Steps.append({Action::Pump, {}, Pick(20)});
                Steps.append({Action::Send, line.mid(cut), 0});
            }
            switch (Pick(4)) {
            case 0:
                Steps.append({Action::Answer, {}, 3000});
                break;
            case 1:
                Steps.append({Action::SimCommand, {}, 1000});
                break;
            case 2:
                Steps.append({Action::Pump, {}, Pick(300)});
                break;
            default:
                break; // the next step at once
            }
        }
        // The hang-up comes at once, or after some more events.
        if (Pick(2) == 0) Steps.append({Action::Pump, {}, Pick(200)});
        Steps.append({Pick(3) == 0 ? Action::Reset : Action::Close, {}, 0});
    }

    void Step() {
        if (Client) Client->HasAnswer();
        if (Other) Other->HasAnswer();
        if (Steps.isEmpty()) {
            if (RoundsLeft == 0) {
                Tick.stop();
                return;
            }
            PlanRound();
        }
        Action& a = Steps.front();
        switch (a.What) {
        case Action::Connect:
            Client = std::make_unique<RawClient>(Port);
            break;
        case Action::Second:
            Other = std::make_unique<RawClient>(Port);
            break;
        case Action::Send:
            Client->Send(a.Bytes);
            break;
        case Action::Pump:
            if (a.Ticks-- > 0) return;
            break;
        case Action::Answer:
            if (!Client->Rx.contains('\r') && a.Ticks-- > 0) return;
            Client->Rx.clear();
            break;
        case Action::SimCommand:
            if (Waiting < 0) Waiting = SimCommands();
            if (SimCommands() == Waiting && a.Ticks-- > 0) return;
            Waiting = -1;
            break;
        case Action::Close:
        case Action::Reset:
            Client->Close(a.What == Action::Reset);
            Client.reset();
            if (Other) Other.reset();
            break;
        }
        Steps.removeFirst();
    }

    quint16 Port;
    QRandomGenerator Random;
    int RoundsLeft;
    std::function<int()> SimCommands;
    QList<Action> Steps;
    std::unique_ptr<RawClient> Client;
    std::unique_ptr<RawClient> Other;
    int Waiting = -1;
    QTimer Tick;
};

} // namespace

class TestRemoteServer : public QObject {
    Q_OBJECT

    std::unique_ptr<AppFixture> App;
    TForm_Main* Form = nullptr;
    quint16 Port = 0;
    std::unique_ptr<Client> Remote;

    // A program with a ready session and its server on a free port. The simulator reports each
    // command as it arrives, so that a test can act in the middle of an exchange.
    bool StartProgram(const QStringList& simArgs = {}) {
        App = std::make_unique<AppFixture>();
        if (!App->StartSim(QStringList{"--home-ms", "200", "--report-received"} + simArgs))
            return false;
        App->PlaceKeptCopy();
        Port = App->RemotePort();
        App->WriteSettings();
        Form = App->CreateForm();
        if (Form->RemoteServerPort() != Port) return false;
        return App->WaitForMessage("Device ready.") && App->Sim().WaitForExchanges(7, 5000);
    }
    bool ConnectClient() {
        Remote = std::make_unique<Client>();
        return Remote->Connect(Port) && WaitFor([this]() { return Form->RemoteConnected(); }, 5000);
    }
    bool DisconnectClient() {
        Remote.reset();
        return WaitFor([this]() { return !Form->RemoteConnected(); }, 5000);
    }
    // No request is running, no scan, no client and the device is free.
    bool Settled() const {
        return !Form->RemoteConnected() && !Form->RemoteBusy() &&
               !Form->FormControlScan->Running() && !Form->DeviceBusy;
    }
    // The instrument never received a command while an answer was due.
    bool NoOverlap() { return App->Sim().Lines().filter("# overlap").isEmpty(); }
    // Lines the simulator printed since `from` that begin with `prefix`.
    int SimLinesSince(int from, const QString& prefix) {
        return int(App->Sim().Lines().mid(from).filter(QRegularExpression("^" + prefix)).size());
    }
    // After a client has hung up: the program settles, the panels are unlocked, and the next
    // client is served.
    void VerifyServesTheNextClient() {
        QVERIFY2(WaitFor([this]() { return Settled(); }, 60000),
                 qPrintable(QString("connected %1, request running %2, scan %3, device held %4")
                                .arg(Form->RemoteConnected())
                                .arg(Form->RemoteBusy())
                                .arg(Form->FormControlScan->Running())
                                .arg(Form->DeviceBusy)));
        QVERIFY(NoOverlap());
        QVERIFY(Form->DeviceOpened);
        QVERIFY(Form->FormControlSet->Edit1->isEnabled());
        QVERIFY(Form->FormControlScan->Edit[0]->isEnabled());
        QVERIFY(!Form->FormControlSet->Label_Remote->isVisibleTo(Form->FormControlSet));
        QVERIFY(ConnectClient());
        QCOMPARE(Remote->Ask("VER"), QByteArray("QVL Rari v2.1"));
    }

    // Runs every request and compares its response.
    void Converse(const QList<QByteArray>& requests, const QList<QByteArray>& responses) {
        QCOMPARE(requests.size(), responses.size());
        for (qsizetype i = 0; i < requests.size(); ++i)
            QCOMPARE(Remote->Ask(requests[i]), responses[i]);
    }

private slots:
    void initTestCase() {
        QVERIFY2(StartProgram(), qPrintable(App->Failure() + " / " + App->Message()));
    }
    void init() {
        if (!Form || !App->Sim().IsRunning()) QVERIFY(StartProgram());
        QVERIFY(ConnectClient());
    }
    void cleanup() {
        QVERIFY(DisconnectClient());
        // A test that left the session closed or the device held starts the next afresh.
        if (!Form->DeviceOpened || Form->DeviceBusy) {
            App.reset();
            Form = nullptr;
        }
    }
    void cleanupTestCase() {
        Remote.reset();
        App.reset();
    }

    void conversation_data() {
        QTest::addColumn<QList<QByteArray>>("requests");
        QTest::addColumn<QList<QByteArray>>("responses");
        using L = QList<QByteArray>;
        QTest::newRow("version, unknown command and the error store")
            << L{"VER", "ver", "ECODE", "ETEXT", "ECLEAR", "ECODE", "ETEXT"}
            << L{"QVL Rari v2.1", "UNKNOWN COMMAND", "NONE", "Unknown Command.", "OK", "", ""};
        QTest::newRow("wrong numbers of fields")
            << L{"VER,", "SETC,500.0", "SCAN,500,510,10,1", "STATE", "ECODE"}
            << L{"UNKNOWN COMMAND", "UNKNOWN COMMAND", "UNKNOWN COMMAND", "IDLE", ""};
        QTest::newRow("empty and blank lines")
            << L{"ECLEAR", "", " ", "ETEXT"} << L{"OK", "", "UNKNOWN COMMAND", "Unknown Command."};
        QTest::newRow("a NUL byte ends the line")
            << L{QByteArray("VER\0SETC", 8)} << L{"QVL Rari v2.1"};
        QTest::newRow("quoted fields")
            << L{"\"VER\"", "SETC,\"500.0\",\"10\""} << L{"QVL Rari v2.1", "SETC OK"};
        QTest::newRow("refused set, with the sign bytes")
            << L{"SETC,300,10", "ECODE", "ETEXT", "SETC,900,10", "ETEXT", "SETR,300,310", "ECODE"}
            << L{"SETC FAIL",
                 "ERRSE03",
                 "Out of range. Please set [CWL] \xA1\xC3 400.0",
                 "SETC FAIL",
                 "Out of range. Please set [CWL] \xA1\xC2 800.0",
                 "SETR FAIL",
                 "ERRSE13"};
        QTest::newRow("blanks instead of commas, reset")
            << L{"SETC 500.0 10.0", "SETR,495.0,  505.0", "ECODE", "RESET", "ETEXT"}
            << L{"SETC OK", "SETR OK", "", "RESET OK", ""};
        QTest::newRow("stop without a scan")
            << L{"STOP", "ECODE", "ETEXT"} << L{"STOP FAIL", "NONE", "No Scan."};
        // Read-only additions store nothing: ECODE and ETEXT keep the last result.
        QTest::newRow("progress before any scan, band after a move and after a reset")
            << L{"SETC,300,10", "PROGRESS", "BAND",   "ECODE",     "SETC,500.5,5", "BAND",
                 "RESET",       "BAND",     "BAND,1", "PROGRESS,", "ETEXT"}
            << L{"SETC FAIL",
                 "0,0,0.0,0.0",
                 "NONE",
                 "ERRSE03",
                 "SETC OK",
                 "500.5,5.0,498.0,503.0",
                 "RESET OK",
                 "NONE",
                 "UNKNOWN COMMAND",
                 "UNKNOWN COMMAND",
                 "Unknown Command."};
    }
    void conversation() {
        QFETCH(QList<QByteArray>, requests);
        QFETCH(QList<QByteArray>, responses);
        Converse(requests, responses);
        // Nothing more than one response per request.
        QVERIFY(!WaitFor([this]() { return Remote->Socket.bytesAvailable() > 0; }, 300));
    }

    void requestsReachTheirPanel_data() {
        QTest::addColumn<int>("tab");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QStringList>("commands"); // "GO" stands for the move to 500/10
        QTest::addColumn<int>("shownTab");
        QTest::newRow("SETC from the Help tab")
            << 2 << QByteArray("SETC,500.0,10.0") << QStringList{"POS 3", "GO"} << 0;
        QTest::newRow("SETR from the Scan tab")
            << 1 << QByteArray("SETR,495.0,505.0") << QStringList{"POS 3", "GO"} << 0;
        QTest::newRow("RESET from the Help tab")
            << 2 << QByteArray("RESET") << QStringList{"POS 3", "HOME 3"} << 0;
        QTest::newRow("RESET from the Set tab")
            << 0 << QByteArray("RESET") << QStringList{"POS 3", "HOME 3"} << 0;
        QTest::newRow("RESET from the Scan tab")
            << 1 << QByteArray("RESET") << QStringList{"POS 3", "HOME 3"} << 1;
    }
    void requestsReachTheirPanel() {
        QFETCH(int, tab);
        QFETCH(QByteArray, request);
        QFETCH(QStringList, commands);
        QFETCH(int, shownTab);
        Form->ActiveTab = tab;
        Form->Action_ChangeModeExecute();
        const int before = int(App->Commands().size());
        const QByteArray word =
            request.left(request.indexOf(',') < 0 ? request.size() : request.indexOf(','));
        QCOMPARE(Remote->Ask(request), word + " OK");
        QVERIFY(App->Sim().WaitForExchanges(before + int(commands.size()), 5000));
        commands.replaceInStrings(QRegularExpression("^GO$"),
                                  "GO 3 " + App->SamplePositions(500.0, 10.0));
        QCOMPARE(App->Commands().mid(before), commands);
        QCOMPARE(Form->ActiveTab, shownTab);
        QCOMPARE(Form->FormControlSet->isHidden(), shownTab != 0);
        QCOMPARE(Form->FormControlScan->isHidden(), shownTab != 1);
        QVERIFY(Form->FormControlHelp->isHidden());
        if (word != "RESET") {
            QCOMPARE(Form->FormControlSet->EditMode, word == "SETR" ? 1 : 0);
            QCOMPARE(Form->FormControlSet->Edit1->text(),
                     QString::fromLatin1(request.split(',')[1]));
        }
    }

    void linesInOnePacketAreAllAnswered() {
        // CR LF endings: one line end each.
        Remote->Send("VER\r\nSTATE\r\nECLEAR\r\nETEXT\r");
        QCOMPARE(Remote->Next(), QByteArray("QVL Rari v2.1"));
        QCOMPARE(Remote->Next(), QByteArray("IDLE"));
        QCOMPARE(Remote->Next(), QByteArray("OK"));
        QCOMPARE(Remote->Next(), QByteArray(""));
        // A move and the queries sent behind it are answered in order once it is done.
        Remote->Send("SETC,600,5\rECODE\rVER\r");
        QCOMPARE(Remote->Next(), QByteArray("SETC OK"));
        QCOMPARE(Remote->Next(), QByteArray(""));
        QCOMPARE(Remote->Next(), QByteArray("QVL Rari v2.1"));
    }

    void junkIsBoundedAndTheNextLineAnswered() {
        // A megabyte without a CR, binary junk with NULs, an HTTP request.
        QByteArray junk(1 << 20, 'j');
        for (int i = 0; i < junk.size(); i += 3)
            junk[i] = char(i % 13 == 0 ? 0 : 0x80 + i % 100);
        Remote->Send(junk);
        QVERIFY(WaitFor([this]() { return Remote->Socket.bytesToWrite() == 0; }));
        QVERIFY(WaitFor([this]() { return Form->RemoteRxBuffer().Length() == 1024; }));
        QCOMPARE(Remote->Ask(""), QByteArray("UNKNOWN COMMAND"));
        // CR LF ends each line once: two unknown lines and the empty one.
        Remote->Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        for (int i = 0; i < 2; ++i)
            QCOMPARE(Remote->Next(), QByteArray("UNKNOWN COMMAND"));
        QCOMPARE(Remote->Next(), QByteArray(""));
        QCOMPARE(Remote->Ask("VER"), QByteArray("QVL Rari v2.1"));
        QVERIFY(Form->RemoteRxBuffer().Length() <= 1024);
    }

    void lockStepClientLosesNothing() {
        // A client in a thread of its own sends each request the moment the previous response
        // has arrived, so requests come in while the program is still inside the last one.
        QVERIFY(DisconnectClient());
        const QList<QByteArray> requests{"VER", "STATE", "ECLEAR", "ECODE"};
        const QList<QByteArray> responses{"QVL Rari v2.1", "IDLE", "OK", ""};
        int answered = 0, wrong = 0;
        QByteArray extra, last;
        std::unique_ptr<QThread> client(QThread::create([&]() {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, Port);
            if (!socket.waitForConnected(5000)) return;
            QByteArray rx;
            for (int i = 0; i < 10000; ++i) {
                socket.write(requests[i % 4] + '\r');
                while (!rx.contains('\r')) {
                    if (!socket.waitForReadyRead(10000)) return;
                    rx += socket.readAll();
                }
                const qsizetype cr = rx.indexOf('\r');
                if (rx.left(cr) != responses[i % 4]) ++wrong;
                rx.remove(0, cr + 1);
                ++answered;
            }
            // Nothing beyond the last response has come so far; a response to no request that
            // is still on its way would come before the response to one more request.
            extra = rx;
            socket.write("VER\r");
            while (!rx.contains('\r') && socket.waitForReadyRead(10000))
                rx += socket.readAll();
            last = rx.mid(extra.size());
        }));
        client->start();
        QVERIFY(WaitFor([&]() { return client->isFinished(); }, 240000));
        QCOMPARE(answered, 10000);
        QCOMPARE(wrong, 0);
        QCOMPARE(extra, QByteArray());
        QCOMPARE(last, QByteArray("QVL Rari v2.1\r"));
        QVERIFY(ConnectClient());
    }

    void clientThatNeverReadsIsDropped() {
        QVERIFY(DisconnectClient());
        // A client that sends requests and never reads a response (a plain socket: Qt's own
        // would read them for it). Its receive window closes, the responses pile up in the
        // program, which drops the connection instead of growing without end.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        const auto closeFd = qScopeGuard([fd]() { ::close(fd); });
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(Port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        QVERIFY(WaitFor([&]() { return Form->RemoteConnected(); }, 5000));
        QByteArray burst;
        for (int i = 0; i < 200; ++i)
            burst += "VER\r";
        qint64 sent = 0;
        QTimer writer; // sends a burst whenever the program has taken the last one
        connect(&writer, &QTimer::timeout, this, [&]() {
            const ssize_t n =
                ::send(fd, burst.constData(), size_t(burst.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) sent += n;
        });
        writer.start(1);
        QVERIFY(WaitFor([&]() { return !Form->RemoteConnected(); }, 120000));
        writer.stop();
        qInfo() << "dropped after" << sent << "bytes of requests";
        QCOMPARE(Form->RemoteClientCount(), 0);
        QVERIFY(ConnectClient());
        QCOMPARE(Remote->Ask("VER"), QByteArray("QVL Rari v2.1"));
    }

    void secondClientsAreClosed() {
        QVERIFY(Form->FormControlSet->Label_Remote->isVisibleTo(Form->FormControlSet));
        const int filesBefore = OpenFileCount();
        std::vector<std::unique_ptr<QTcpSocket>> others;
        for (int i = 0; i < 64; ++i) {
            others.push_back(std::make_unique<QTcpSocket>());
            others.back()->connectToHost(QHostAddress::LocalHost, Port);
        }
        // Each one is closed by the program without a reply.
        QVERIFY(WaitFor([&]() {
            for (auto& other : others)
                if (other->state() != QAbstractSocket::UnconnectedState) return false;
            return true;
        }));
        for (auto& other : others)
            QCOMPARE(other->readAll(), QByteArray());
        QCOMPARE(Form->RemoteClientCount(), 1);
        QVERIFY(Form->IsRemoteControlled());
        QVERIFY(!Form->FormControlSet->Edit1->isEnabled());
        QCOMPARE(Remote->Ask("VER"), QByteArray("QVL Rari v2.1"));
        others.clear();
        QVERIFY2(WaitFor([&]() { return OpenFileCount() == filesBefore; }, 5000),
                 qPrintable(QString::number(OpenFileCount() - filesBefore)));
    }

    void panelsUnlockWhenTheClientLeaves() {
        TForm_ControlSet* set = Form->FormControlSet;
        QVERIFY(set->Label_Remote->isVisibleTo(set));
        QVERIFY(!set->Edit1->isEnabled());
        QVERIFY(DisconnectClient());
        QCOMPARE(Form->RemoteClientCount(), 0);
        QVERIFY(!Form->IsRemoteControlled());
        QVERIFY(!set->Label_Remote->isVisibleTo(set));
        QVERIFY(set->Edit1->isEnabled());
        // A new client takes control and starts with an empty response, whatever was stored
        // while nobody was connected; the error code stays readable.
        Form->SetRemoteResult("STOP OK", "NONE", "kept");
        QVERIFY(ConnectClient());
        QVERIFY(set->Label_Remote->isVisibleTo(set));
        QCOMPARE(Remote->Ask(""), QByteArray());
        QCOMPARE(Remote->Ask("ETEXT"), QByteArray("kept"));
    }

    void scanRefusesOtherRequestsUntilStopped() {
        // A scan of 590 steps of a second each: it runs until it is stopped.
        Form->ActiveTab = 0;
        Form->Action_ChangeModeExecute();
        QCOMPARE(Remote->Ask("SCAN,500,795,10,0.5,1"), QByteArray("SCAN OK"));
        QCOMPARE(Form->ActiveTab, 1);
        QCOMPARE(Form->FormControlScan->Edit[3]->text(), QStringLiteral("0.5"));
        QVERIFY(Form->FormControlScan->Running());
        Converse({"STATE", "SETC,500,10", "ECODE", "ETEXT", "SETR,495,505", "SCAN,500,510,10,2,1",
                  "RESET", "ETEXT"},
                 {"SCAN", "SETC FAIL", "NONE", "Now Scanning.", "SETR FAIL", "SCAN FAIL",
                  "RESET FAIL", "Now Scanning."});
        // STOP shows the Scan tab and answers once the scan has ended.
        Form->ActiveTab = 2;
        Form->Action_ChangeModeExecute();
        QCOMPARE(Remote->Ask("STOP"), QByteArray("STOP OK"));
        QCOMPARE(Form->ActiveTab, 1);
        QVERIFY(!Form->FormControlScan->Running());
        QVERIFY(App->Shown().contains("Scan aborted."));
        Converse({"STATE", "STOP", "ETEXT"}, {"IDLE", "STOP FAIL", "No Scan."});
    }

    void scanEndIsReportedOnAnEmptyLine() {
        QCOMPARE(Remote->Ask("SCAN,500,510,10,2,0.1"), QByteArray("SCAN OK"));
        QCOMPARE(Remote->Ask("STATE"), QByteArray("SCAN"));
        // Empty lines answer empty until the end has been reported.
        QByteArray report;
        QVERIFY(WaitFor(
            [&]() {
                report = Remote->Ask("");
                return !report.isEmpty();
            },
            60000));
        QCOMPARE(report, QByteArray("SCAN SUCCESS"));
        Converse({"", "ECODE", "ETEXT", "STATE", "ETEXT"},
                 {"", "NONE", "Scan successful.", "IDLE", ""});
        QVERIFY(App->Sim().WaitForExchanges(9, 5000));
        QVERIFY(App->Commands().contains("GO 3 " + App->SamplePositions(510.0, 10.0)));
    }

    // PROGRESS and BAND answer from what the program holds while the scan moves the filter, and
    // leave its end report for the next empty line.
    void progressAndBandDuringAScan() {
        QCOMPARE(Remote->Ask("SETC,600,10"), QByteArray("SETC OK"));
        QCOMPARE(Remote->Ask("SCAN,500,510,10,2,0.1"), QByteArray("SCAN OK"));
        int lastDone = 0;
        QList<int> seen;
        while (Form->FormControlScan->Running()) {
            const QList<QByteArray> progress = Remote->Ask("PROGRESS").split(',');
            QCOMPARE(progress.size(), 4);
            const int done = progress[0].toInt();
            QVERIFY(done >= lastDone && done <= 6);
            QCOMPARE(progress[1], QByteArray("6"));
            QVERIFY(progress[2].toDouble() >= 0.0);
            QVERIFY(progress[3].toDouble() >= 0.0);
            lastDone = done;
            if (!seen.contains(done)) seen << done;
            // The band last reached: the point just counted, or already the next one.
            const QByteArray band = Remote->Ask("BAND");
            if (done == 0) continue;
            const auto at = [](int point) {
                const double cwl = 500 + 2 * (point - 1);
                return QByteArray::number(cwl, 'f', 1) + ",10.0," +
                       QByteArray::number(cwl - 5, 'f', 1) + ',' +
                       QByteArray::number(cwl + 5, 'f', 1);
            };
            QVERIFY2(band == at(done) || (done < 6 && band == at(done + 1)), band.constData());
        }
        QVERIFY2(seen.size() >= 2, qPrintable(QString::number(seen.size())));
        // Ended and reported, not yet read by the client.
        QCOMPARE(Form->RemoteResponse, QByteArray("SCAN SUCCESS"));
        const QList<QByteArray> final = Remote->Ask("PROGRESS").split(',');
        QCOMPARE(final.value(0) + ',' + final.value(1), QByteArray("6,6"));
        QCOMPARE(final.value(3), QByteArray("0.0"));
        QCOMPARE(Remote->Ask("BAND"), QByteArray("510.0,10.0,505.0,515.0"));
        QCOMPARE(Remote->Ask(""), QByteArray("SCAN SUCCESS"));
        Converse({"ECODE", "ETEXT", "PROGRESS"}, {"NONE", "Scan successful.", final.join(',')});
    }

    // The person at the instrument stops a client's scan with the Stop button, the one control
    // the client's lock leaves enabled; the client learns it on its next empty line.
    void stopAtTheWindowDuringARemoteScan() {
        TForm_ControlScan* scan = Form->FormControlScan;
        QCOMPARE(Remote->Ask("SCAN,500,795,10,0.5,1"), QByteArray("SCAN OK"));
        QVERIFY(!scan->Image_Button4_Stop->isHidden());
        QVERIFY(scan->Image_Button4_Stop->isEnabled());
        QVERIFY(!scan->Image_Button4_Off->isEnabled());
        QVERIFY(!scan->Image_Button3_Off->isEnabled());
        for (TSkinEdit* box : scan->Edit)
            QVERIFY(!box->isEnabled());
        QTest::mouseClick(scan->Image_Button4_Stop, Qt::LeftButton);
        QVERIFY(scan->StopRequested());
        QVERIFY(WaitFor([scan]() { return !scan->Running(); }, 10000));
        QCOMPARE(Remote->Ask(""), QByteArray("SCAN ABORT"));
        // The lock is the client's again, whole.
        QVERIFY(scan->Image_Button4_Stop->isHidden());
        QVERIFY(!scan->Image_Button4_Off->isEnabled());
        QVERIFY(!scan->Edit[0]->isEnabled());
        Converse({"ETEXT", "STATE"}, {"Scan aborted.", "IDLE"});
    }

    void reportStoredRightAfterAResponseIsKept() {
        // The client reads its response while the program still handles events after sending
        // it; a scan's end report stored at that moment must reach the next empty line.
        bool stored = false;
        const QMetaObject::Connection reporter =
            connect(&Remote->Socket, &QTcpSocket::readyRead, this, [&]() {
                if (stored) return;
                stored = true;
                Form->SetRemoteResult("SCAN SUCCESS", "NONE", "Scan successful.");
            });
        QCOMPARE(Remote->Ask("VER"), QByteArray("QVL Rari v2.1"));
        disconnect(reporter);
        QVERIFY(stored);
        QCOMPARE(Remote->Ask(""), QByteArray("SCAN SUCCESS"));
        QCOMPARE(Remote->Ask(""), QByteArray());
    }

    void leavingClientStopsItsScan() {
        QCOMPARE(Remote->Ask("SCAN,500,795,10,0.5,1"), QByteArray("SCAN OK"));
        QVERIFY(Form->FormControlScan->Running());
        QVERIFY(DisconnectClient());
        QVERIFY(!Form->FormControlScan->Running());
        QVERIFY(App->Shown().contains("Scan aborted."));
        QVERIFY(!Form->DeviceBusy);
        QVERIFY(Form->FormControlScan->Edit[0]->isEnabled());
        // The stop's result is not the next client's: its first empty line answers empty.
        QVERIFY(ConnectClient());
        QCOMPARE(Remote->Ask(""), QByteArray());
        QCOMPARE(Remote->Ask("STATE"), QByteArray("IDLE"));
    }

    void requestsDuringTheOpenSequenceAreRefused() {
        // The session is found again; during the pause after identification it holds the
        // device. Requests sent then check the line with their position query and are refused
        // by the held lock.
        Form->SetOpenPauseRounds(20);
        const QMetaObject::Connection sender = connect(
            Form, &TForm_Main::StatusMessageShown, this, [this](const QString& text, unsigned) {
                if (text == "Device found. Please wait...")
                    Remote->Send("SETC,500,10\rETEXT\rRESET\rSTATE\r");
            });
        const int before = int(App->Commands().size());
        Form->Action_DeviceCloseExecute();
        QCOMPARE(Remote->Next(), QByteArray("SETC FAIL"));
        QCOMPARE(Remote->Next(), QByteArray("Device busy."));
        QCOMPARE(Remote->Next(), QByteArray("RESET FAIL"));
        QCOMPARE(Remote->Next(), QByteArray("IDLE"));
        disconnect(sender);
        QVERIFY(App->WaitForMessage("Device ready."));
        QVERIFY(App->Sim().WaitForExchanges(before + 7, 5000));
        QVERIFY(App->Sim().WaitForExchanges(before + 9, 5000));
        QCOMPARE(App->Commands().mid(before),
                 (QStringList{"?", "POS 3", "POS 3", "INFO 0", "INFO 1", "INFO 2", "POS 3",
                              "BKEN 0", "HOME 3"}));
        QCOMPARE(Remote->Ask("SETC,500,10"), QByteArray("SETC OK"));
    }

    void refusedOperationsSaySo_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("word");
        QTest::newRow("SETC") << QByteArray("SETC,500,10") << QByteArray("SETC FAIL");
        QTest::newRow("SETR") << QByteArray("SETR,495,505") << QByteArray("SETR FAIL");
        QTest::newRow("RESET") << QByteArray("RESET") << QByteArray("RESET FAIL");
    }
    void refusedOperationsSaySo() {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, word);
        // Another operation holds the device (the open sequence of a session, a move).
        const int before = int(App->Commands().size());
        QVERIFY(Form->TryLockDevice());
        const QByteArray response = Remote->Ask(request);
        Form->UnlockDevice();
        QCOMPARE(response, word);
        QCOMPARE(Remote->Ask("ECODE"), QByteArray("NONE"));
        QCOMPARE(Remote->Ask("ETEXT"), QByteArray("Device busy."));
        // Only the position query, which checks the line before the lock is met.
        QVERIFY(App->Sim().WaitForExchanges(before + 1, 5000));
        QCOMPARE(App->Commands().mid(before), QStringList{"POS 3"});

        // The instrument does not answer the position query before the operation.
        QVERIFY(App->Sim().SendControl("silent on"));
        QVERIFY(App->Sim().WaitForLine("# silent on", 3000));
        QCOMPARE(Remote->Ask(request), word);
        QCOMPARE(Remote->Ask("ECODE"), QByteArray("ERRDV02"));
        QCOMPARE(Remote->Ask("ETEXT"), QByteArray("Communication error. Connection lost."));
        QVERIFY(App->WaitForShown("ERRDV02 : Communication error. Connection lost."));
        QVERIFY(!Form->DeviceOpened);
        // No session: the panel's own refusal.
        QCOMPARE(Remote->Ask(request), word);
        QCOMPARE(Remote->Ask("ECODE"), QByteArray("NONE"));
        QVERIFY(App->Sim().SendControl("silent off"));
    }
    // A client that hangs up right after its request: the program survives, starts nothing for
    // it, and serves the next client.
    void hangUpAtOnce_data() {
        QTest::addColumn<int>("tab");
        QTest::addColumn<QByteArray>("setup");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("startsNothing");
        QTest::addColumn<bool>("halfClose"); // only the sending side, as `nc -N` does
        const QByteArray longScan("SCAN,500,795,10,0.5,1");
        QTest::newRow("SETC") << 0 << QByteArray() << QByteArray("SETC,550.0,10.0") << true
                              << false;
        QTest::newRow("SETR") << 0 << QByteArray() << QByteArray("SETR,545.0,555.0") << true
                              << false;
        QTest::newRow("RESET on the Set tab")
            << 0 << QByteArray() << QByteArray("RESET") << true << false;
        QTest::newRow("RESET on the Scan tab")
            << 1 << QByteArray() << QByteArray("RESET") << true << false;
        QTest::newRow("SCAN") << 0 << QByteArray() << longScan << true << false;
        QTest::newRow("SCAN, sending side closed") << 0 << QByteArray() << longScan << true << true;
        QTest::newRow("STOP") << 0 << longScan << QByteArray("STOP") << false << false;
        QTest::newRow("empty line after a scan")
            << 0 << QByteArray("SCAN,500,502,10,2,0.1") << QByteArray() << false << false;
    }
    void hangUpAtOnce() {
        QFETCH(int, tab);
        QFETCH(QByteArray, setup);
        QFETCH(QByteArray, request);
        QFETCH(bool, startsNothing);
        QFETCH(bool, halfClose);
        QVERIFY(DisconnectClient());
        Form->ActiveTab = tab;
        Form->Action_ChangeModeExecute();
        RawClient client(Port);
        QVERIFY(client.IsOpen());
        // Taken as the controller first: the hang-up below then meets the request itself.
        QVERIFY(WaitFor([this]() { return Form->RemoteConnected(); }, 5000));
        if (!setup.isEmpty()) {
            client.Send(setup + '\r');
            QVERIFY(WaitFor([&]() { return client.HasAnswer(); }));
            QCOMPARE(client.Rx, QByteArray("SCAN OK\r"));
        }
        const int before = int(App->Commands().size());
        const int linesBefore = int(App->Sim().Lines().size());
        client.Send(request + '\r');
        if (halfClose)
            client.CloseSending();
        else
            client.Close();
        VerifyServesTheNextClient();
        if (QTest::currentTestFailed()) return;
        if (startsNothing) {
            // At most the position query that was already on the line; no move, home, BKEN.
            QCOMPARE(SimLinesSince(linesBefore, "received") -
                         SimLinesSince(linesBefore, "received \"POS 3\""),
                     0);
            QVERIFY(App->Commands().mid(before).size() <= 1);
        }
    }

    // The same client hangs up at each moment of a request: while an exchange waits for its
    // answer (the position query, the move, the homing, the backlash setting of a scan), while a
    // STOP waits for its scan's end, and once the response has been sent. The commands are those
    // on the line before the hang-up was seen; a scan that runs may move on until it is stopped.
    void hangUpAtEachMoment_data() {
        QTest::addColumn<int>("tab");
        QTest::addColumn<QByteArray>("setup"); // a scan the client starts first
        QTest::addColumn<QByteArray>("request");
        // A simulator line, kStopRequested, or empty for the answer.
        QTest::addColumn<QString>("moment");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<bool>("movesMayFollow");
        const QString move = "GO 3 " + App->SamplePositions(550.0, 10.0);
        const QString position("received \"POS 3\"");
        for (const char* request : {"SETC,550.0,10.0", "SETR,545.0,555.0"}) {
            QTest::addRow("%s, before the position answer", request)
                << 0 << QByteArray() << QByteArray(request) << position << QStringList{"POS 3"}
                << false;
            QTest::addRow("%s, during the move", request)
                << 0 << QByteArray() << QByteArray(request) << QStringLiteral("received \"GO 3")
                << QStringList{"POS 3", move} << false;
            QTest::addRow("%s, after the answer is sent", request)
                << 0 << QByteArray() << QByteArray(request) << QString()
                << QStringList{"POS 3", move} << false;
        }
        for (int tab : {0, 1}) {
            const char* where = tab == 0 ? "Set" : "Scan";
            QTest::addRow("RESET on the %s tab, before the position answer", where)
                << tab << QByteArray() << QByteArray("RESET") << position << QStringList{"POS 3"}
                << false;
            QTest::addRow("RESET on the %s tab, during the homing", where)
                << tab << QByteArray() << QByteArray("RESET")
                << QStringLiteral("received \"HOME 3\"") << QStringList{"POS 3", "HOME 3"} << false;
            QTest::addRow("RESET on the %s tab, after the answer is sent", where)
                << tab << QByteArray() << QByteArray("RESET") << QString()
                << QStringList{"POS 3", "HOME 3"} << false;
        }
        const QByteArray scan("SCAN,500,795,10,0.5,1");
        QTest::newRow("SCAN, before the position answer")
            << 0 << QByteArray() << scan << position << QStringList{"POS 3"} << false;
        QTest::newRow("SCAN, while the backlash setting waits")
            << 0 << QByteArray() << scan << QStringLiteral("received \"BKEN")
            << QStringList{"POS 3", "BKEN 0"} << false;
        QTest::newRow("SCAN, after the answer is sent")
            << 0 << QByteArray() << scan << QString() << QStringList{"POS 3", "BKEN 0"} << true;
        QTest::newRow("STOP, while it waits for the scan's end")
            << 0 << scan << QByteArray("STOP") << QString(kStopRequested) << QStringList() << true;
        QTest::newRow("STOP, after the answer is sent")
            << 0 << scan << QByteArray("STOP") << QString() << QStringList() << true;
        // The scan has ended and its report waits for the empty line.
        QTest::newRow("empty line, after the end report is sent")
            << 0 << QByteArray("SCAN,500,502,10,2,0.1") << QByteArray() << QString()
            << QStringList() << false;
    }
    // A client sends a request and hangs up before the program has taken the connection; the
    // next client connects at once. Leaving counts: that request never runs and the newcomer is
    // served, not refused as a second client.
    void requestLeftBeforeItWasTaken() {
        QVERIFY(DisconnectClient());
        const int before = int(App->Commands().size());
        {
            RawClient client(Port);
            QVERIFY(client.IsOpen());
            client.Send("SETC,550.0,10.0\r");
        }
        QVERIFY(ConnectClient());
        QCOMPARE(Remote->Ask("VER"), QByteArray("QVL Rari v2.1"));
        QCOMPARE(Remote->Ask("STATE"), QByteArray("IDLE"));
        QVERIFY(App->Commands().mid(before).isEmpty());
    }

    void hangUpAtEachMoment() {
        QFETCH(int, tab);
        QFETCH(QByteArray, setup);
        QFETCH(QByteArray, request);
        QFETCH(QString, moment);
        QFETCH(QStringList, commands);
        QFETCH(bool, movesMayFollow);
        QVERIFY(DisconnectClient());
        Form->ActiveTab = tab;
        Form->Action_ChangeModeExecute();
        RawClient client(Port);
        QVERIFY(WaitFor([this]() { return Form->RemoteConnected(); }, 5000));
        if (!setup.isEmpty()) {
            client.Send(setup + '\r');
            QVERIFY(WaitFor([&]() { return client.HasAnswer(); }));
            QCOMPARE(client.Rx, QByteArray("SCAN OK\r"));
            client.Rx.clear();
            // The empty line reads the end report of a scan that has ended.
            if (request.isEmpty())
                QVERIFY(WaitFor([this]() { return !Form->FormControlScan->Running(); }, 30000));
        }
        const int before = int(App->Commands().size());
        const int linesBefore = int(App->Sim().Lines().size());
        bool closed = false;
        QTimer watch; // also fires inside the program's pumps, in the middle of the request
        connect(&watch, &QTimer::timeout, this, [&]() {
            if (closed) return;
            bool now = false;
            if (moment.isEmpty())
                now = client.HasAnswer();
            else if (moment == kStopRequested)
                now = Form->FormControlScan->StopRequested() && Form->FormControlScan->Running();
            else
                now = SimLinesSince(linesBefore, moment) > 0;
            if (!now) return;
            client.Close();
            closed = true;
        });
        watch.start(1);
        client.Send(request + '\r');
        QVERIFY(WaitFor([&]() { return closed; }));
        if (!setup.isEmpty() && request.isEmpty())
            QCOMPARE(client.Rx, QByteArray("SCAN SUCCESS\r"));
        VerifyServesTheNextClient();
        if (QTest::currentTestFailed()) return;
        QVERIFY(App->Sim().WaitForExchanges(before + int(commands.size()), 5000));
        const QStringList sent = App->Commands().mid(before);
        QCOMPARE(sent.mid(0, commands.size()), commands);
        // Only a scan that runs goes on, with its moves, until it is stopped.
        const QStringList later = sent.mid(commands.size());
        if (!movesMayFollow) QCOMPARE(later, QStringList());
        QCOMPARE(later.filter(QRegularExpression("^GO 3 ")), later);
    }

    // Seeded random clients: a seed kept from an earlier run and a new one each run. Each row
    // runs 15 rounds; VR_CHAOS_ROUNDS=n runs n for a long search, VR_CHAOS_SEED replays a run.
    void chaos_data() {
        QTest::addColumn<quint32>("seed");
        QTest::newRow("seed 1490729155") << quint32(1490729155);
        const QByteArray given = qgetenv("VR_CHAOS_SEED");
        QTest::newRow("random seed")
            << (given.isEmpty() ? QRandomGenerator::global()->generate() : given.toUInt());
    }
    void chaos() {
        QFETCH(quint32, seed);
        const QByteArray roundsGiven = qgetenv("VR_CHAOS_ROUNDS");
        const int rounds = roundsGiven.isEmpty() ? 15 : roundsGiven.toInt();
        QVERIFY2(rounds > 0, "VR_CHAOS_ROUNDS must be a positive number");
        qInfo("chaos seed %u, %d rounds (replay with VR_CHAOS_SEED=%u VR_CHAOS_ROUNDS=%d)", seed,
              rounds, seed, rounds);
        QVERIFY(DisconnectClient());
        ChaosClient chaos(Port, seed, rounds, [this]() {
            return int(App->Sim().Lines().filter(QRegularExpression("^received ")).size());
        });
        QVERIFY(WaitFor([&]() { return chaos.Done(); }, qMax(240000, rounds * 4000)));
        VerifyServesTheNextClient();
        if (QTest::currentTestFailed()) return;
        QCOMPARE(Remote->Ask("STATE"), QByteArray("IDLE"));
    }

    // A refused request leaves the boxes as they were: the local Go waiting for its position
    // answer then moves to its own values.
    void refusedRequestDoesNotChangeALocalGo() {
        QVERIFY(DisconnectClient());
        QVERIFY(StartProgram({"--delay", "400"}));
        TForm_ControlSet* set = Form->FormControlSet;
        set->FillSetFields(0, "520.0", "10.0");
        const int before = int(App->Commands().size());
        const int linesBefore = int(App->Sim().Lines().size());
        QByteArray answer;
        QTimer watch;
        bool sent = false;
        connect(&watch, &QTimer::timeout, this, [&]() {
            if (!sent && SimLinesSince(linesBefore, "received \"POS 3\"") > 0) {
                sent = true;
                Remote = std::make_unique<Client>();
                Remote->Socket.connectToHost(QHostAddress::LocalHost, Port);
                Remote->Send("SETC,600,5\r");
            }
            if (Remote) answer += Remote->Socket.readAll();
        });
        watch.start(1);
        QTimer::singleShot(0, set, [set]() { set->Image_Button4Click(); });
        QVERIFY(WaitFor([&]() { return answer.contains('\r'); }));
        // From here the client reads its own answers: the watch would take them from it.
        watch.stop();
        QCOMPARE(answer, QByteArray("SETC FAIL\r"));
        QVERIFY(App->WaitForShown("Successfully changed wavelength and FWHM."));
        QVERIFY(App->Sim().WaitForExchanges(before + 2, 5000));
        QCOMPARE(App->Commands().mid(before),
                 (QStringList{"POS 3", "GO 3 " + App->SamplePositions(520.0, 10.0)}));
        QCOMPARE(Remote->Ask("ETEXT"), QByteArray("Device busy."));
        // The next tests run against a simulator without the delay.
        Remote.reset();
        QVERIFY(StartProgram());
        QVERIFY(ConnectClient());
    }

    // A dead peer is noticed by the connection's keep-alive probes within about 30 s.
    void connectionsProbeTheirPeer() {
        QList<QTcpSocket*> accepted = Form->findChildren<QTcpSocket*>();
        accepted.removeIf(
            [](QTcpSocket* s) { return s->state() != QAbstractSocket::ConnectedState; });
        QCOMPARE(accepted.size(), 1);
        const int fd = int(accepted[0]->socketDescriptor());
        const auto option = [fd](int level, int name) {
            int value = -1;
            socklen_t size = sizeof value;
            return ::getsockopt(fd, level, name, &value, &size) == 0 ? value : -1;
        };
        QCOMPARE(option(SOL_SOCKET, SO_KEEPALIVE), 1);
        const int idle = option(IPPROTO_TCP, TCP_KEEPIDLE);
        const int interval = option(IPPROTO_TCP, TCP_KEEPINTVL);
        const int probes = option(IPPROTO_TCP, TCP_KEEPCNT);
        QVERIFY(idle > 0 && interval > 0 && probes > 0);
        QVERIFY2(idle + interval * probes <= 30,
                 qPrintable(QString::number(idle + interval * probes)));
        QVERIFY(option(IPPROTO_TCP, TCP_USER_TIMEOUT) > 0);
        QVERIFY(option(IPPROTO_TCP, TCP_USER_TIMEOUT) <= 30000);
    }

    // A scan's end report waits for an empty line, whatever is asked before it.
    void endReportWaitsForAnEmptyLine() {
        QCOMPARE(Remote->Ask("SCAN,500,500,10,1,0.1"), QByteArray("SCAN OK"));
        QVERIFY(WaitFor([this]() { return !Form->FormControlScan->Running(); }));
        Converse({"STATE", "VER", "ECODE", "", ""},
                 {"IDLE", "QVL Rari v2.1", "", "SCAN SUCCESS", ""});
        // Stopped by the client: STOP answers, the next empty line reports the abort.
        QCOMPARE(Remote->Ask("SCAN,500,795,10,0.5,1"), QByteArray("SCAN OK"));
        Converse({"STOP", "STATE", "", ""}, {"STOP OK", "IDLE", "SCAN ABORT", ""});
        // A new scan does not inherit an unread report of the one before.
        QCOMPARE(Remote->Ask("SCAN,500,500,10,1,0.1"), QByteArray("SCAN OK"));
        QVERIFY(WaitFor([this]() { return !Form->FormControlScan->Running(); }));
        QCOMPARE(Remote->Ask("SCAN,500,795,10,0.5,1"), QByteArray("SCAN OK"));
        QCOMPARE(Remote->Ask(""), QByteArray());
        QCOMPARE(Remote->Ask("STOP"), QByteArray("STOP OK"));
    }

    // A client comes and goes while the last controller's scan is being stopped: it leaves
    // before it could be taken, and the client after it is served.
    void clientThatCameAndWentDuringADeparture() {
        QCOMPARE(Remote->Ask("SCAN,500,795,10,0.5,1"), QByteArray("SCAN OK"));
        Remote.reset();
        {
            RawClient passing(Port);
            QVERIFY(passing.IsOpen());
            passing.Send("SETC,550.0,10.0\r");
        }
        VerifyServesTheNextClient();
        if (QTest::currentTestFailed()) return;
        QCOMPARE(Remote->Ask("STATE"), QByteArray("IDLE"));
    }

    // What a VISA library does per resource: connect, one query, close, at once again.
    void clientThatReconnectsAtOnceIsServed() {
        QVERIFY(DisconnectClient());
        int answered = 0;
        QByteArray failure;
        std::unique_ptr<QThread> client(QThread::create([&]() {
            for (int i = 0; i < 20; ++i) {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, Port);
                if (!socket.waitForConnected(5000)) {
                    failure = "connect " + socket.errorString().toUtf8();
                    return;
                }
                socket.write("VER\r");
                QByteArray rx;
                while (!rx.contains('\r')) {
                    if (!socket.waitForReadyRead(10000)) {
                        failure =
                            "round " + QByteArray::number(i) + ": " + socket.errorString().toUtf8();
                        return;
                    }
                    rx += socket.readAll();
                }
                if (rx != "QVL Rari v2.1\r") {
                    failure = "answer " + rx;
                    return;
                }
                ++answered;
                socket.disconnectFromHost();
            }
        }));
        client->start();
        QVERIFY(WaitFor([&]() { return client->isFinished(); }, 120000));
        QVERIFY2(failure.isEmpty(), failure.constData());
        QCOMPARE(answered, 20);
        QVERIFY(ConnectClient());
    }

    // The read-only queries answer from what the program holds: the instrument hears nothing,
    // the stored result and the message bar stay as they were.
    void queriesLeaveEverythingAsItWas() {
        QCOMPARE(Remote->Ask("SETC,795,20"),
                 QByteArray("SETC FAIL")); // a stored refusal the queries must not replace
        const QByteArray code = Remote->Ask("ECODE");
        QCOMPARE(code, QByteArray("ERRSE10"));
        const int simLines = int(App->Sim().Lines().size());
        const QString message = App->Message();
        Converse({"SESSION", "LIMITS", "LIMITS,20", "LIMITS,20.5", "CHECK,SETC,795,20",
                  "CHECK,SETC,550,10", "CHECK,SCAN,500,600,10,1,0.5", "CHECK,SETC,abc,nan", "CHECK",
                  "ECODE"},
                 {"READY", "400.0,800.0,0.5,1.0,20.0", "410.0,790.0", "NONE",
                  "ERRSE10,Out of range. If [FWHM] = 20.0 Please set [CWL] \xA1\xC2 790.0", "OK",
                  "OK", "ERRSE03,Out of range. Please set [CWL] \xA1\xC3 400.0", "UNKNOWN COMMAND",
                  "NONE"});
        // CHECK alone is an unknown command and stores so; the queries before it stored nothing.
        QCOMPARE(int(App->Sim().Lines().size()), simLines);
        QCOMPARE(App->Message(), message);
    }

    // Every request sent ahead is answered, in order, however many wait.
    void requestsSentAheadAreAllAnswered() {
        QVERIFY(DisconnectClient());
        QByteArray burst;
        QList<QByteArray> expected;
        for (int i = 0; i < 1000; ++i) {
            burst += "VER\r";
            expected.append("QVL Rari v2.1");
        }
        for (int i = 0; i < 200; ++i) {
            burst += i % 2 ? "SETC,550.0,10.0\r" : "SETC,560.0,10.0\r";
            expected.append("SETC OK");
        }
        QList<QByteArray> answers;
        std::unique_ptr<QThread> client(QThread::create([&]() {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, Port);
            if (!socket.waitForConnected(5000)) return;
            socket.write(burst);
            QByteArray rx;
            while (answers.size() < expected.size() && socket.waitForReadyRead(30000)) {
                rx += socket.readAll();
                qsizetype cr = 0;
                while ((cr = rx.indexOf('\r')) >= 0) {
                    answers.append(rx.left(cr));
                    rx.remove(0, cr + 1);
                }
            }
        }));
        client->start();
        QVERIFY(WaitFor([&]() { return client->isFinished(); }, 240000));
        QCOMPARE(answers.size(), expected.size());
        QCOMPARE(answers, expected);
        QVERIFY(ConnectClient());
    }

    // A script that exits with an answer unread resets its connection; the next one, made at
    // once, is served as the controlling client, also while a move of the last one runs.
    void reconnectAfterAResetIsServed_data() {
        QTest::addColumn<QByteArray>("inFlight");
        QTest::newRow("idle") << QByteArray("VER");
        QTest::newRow("a move in flight") << QByteArray("SETC,550.0,10.0");
    }
    void reconnectAfterAResetIsServed() {
        QFETCH(QByteArray, inFlight);
        QVERIFY(DisconnectClient());
        for (int round = 0; round < 20; ++round) {
            RawClient gone(Port);
            QVERIFY(gone.IsOpen());
            QVERIFY(WaitFor([this]() { return Form->RemoteConnected(); }, 5000));
            gone.Send(inFlight + "\r");
            // Idle: the answer has come. A move: it has begun and holds the instrument.
            QVERIFY(WaitFor([&]() { return gone.HasAnswer() || Form->DeviceBusy; }, 10000));
            gone.Close(true);
            RawClient next(Port);
            QVERIFY(next.IsOpen());
            next.Send("VER\r");
            QVERIFY2(WaitFor([&]() { return next.HasAnswer(); }, 10000),
                     qPrintable(QStringLiteral("round %1").arg(round)));
            QCOMPARE(next.Rx, QByteArray("QVL Rari v2.1\r"));
            QVERIFY(Form->RemoteConnected());
            next.Close();
            QVERIFY(WaitFor([this]() { return Settled(); }, 10000));
        }
        QVERIFY(NoOverlap());
        QVERIFY(ConnectClient());
    }

    void lineEndsOverTheWire() {
        // LF alone ends a request; CR LF is one line end; LF CR is a request and an empty line.
        Remote->Send("VER\nSTATE\r\nECLEAR\n\r");
        QCOMPARE(Remote->Next(), QByteArray("QVL Rari v2.1"));
        QCOMPARE(Remote->Next(), QByteArray("IDLE"));
        QCOMPARE(Remote->Next(), QByteArray("OK"));
        QCOMPARE(Remote->Next(), QByteArray(""));
        QVERIFY(!WaitFor([this]() { return Remote->Socket.bytesAvailable() > 0; }, 300));
    }

    // STOP OK means the filter is at rest: a move asked right after it is served, also when the
    // scan was stopped in the middle of a move. So is a new client's first move after the last
    // one left mid-scan. Moves of 500 ms, with a busy core beside the program.
    void instrumentIsFreeAfterAStop_data() {
        QTest::addColumn<bool>("leave");
        QTest::addColumn<int>("rounds");
        QTest::newRow("STOP") << false << 20;
        QTest::newRow("the client leaves") << true << 10;
    }
    void instrumentIsFreeAfterAStop() {
        QFETCH(bool, leave);
        QFETCH(int, rounds);
        QVERIFY(DisconnectClient());
        QVERIFY(StartProgram({"--go-ms", "500"}));
        QProcess hog;
        hog.start(QStringLiteral("sh"),
                  {QStringLiteral("-c"), QStringLiteral("while :; do :; done")});
        QVERIFY(hog.waitForStarted());
        const auto endHog = qScopeGuard([&hog]() {
            hog.kill();
            hog.waitForFinished();
        });
        QVERIFY(ConnectClient());
        for (int round = 0; round < rounds; ++round) {
            const int before = int(App->Sim().Lines().size());
            QCOMPARE(Remote->Ask("SCAN,500,600,10,1,0.1"), QByteArray("SCAN OK"));
            // In the middle of a move: the simulator has a GO and has not answered it yet.
            QVERIFY(WaitFor([&]() { return SimLinesSince(before, "received \"GO 3") > 0; }));
            if (leave) {
                QVERIFY(DisconnectClient());
                QVERIFY(ConnectClient());
            } else {
                QCOMPARE(Remote->Ask("STOP"), QByteArray("STOP OK"));
                QCOMPARE(Remote->Ask("SESSION"), QByteArray("READY"));
            }
            const QByteArray setc = round % 2 ? "SETC,550.0,10.0" : "SETC,560.0,10.0";
            QVERIFY2(Remote->Ask(setc) == "SETC OK",
                     qPrintable(QStringLiteral("round %1: %2 %3")
                                    .arg(round)
                                    .arg(QString::fromLatin1(Remote->Ask("ECODE")),
                                         QString::fromLatin1(Remote->Ask("ETEXT")))));
        }
        QVERIFY(NoOverlap());
    }
};

QTEST_MAIN(TestRemoteServer)
#include "tst_remoteserver.moc"
