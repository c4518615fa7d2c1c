// The Set and Scan panels against a stand-in for the main window: what they do with the device
// lock, the line and the result store when the session cannot serve them. Links the panels'
// library only, so it also shows that they need nothing from the main window itself.
#include "control/Unit_FormControlScan.h"
#include "control/Unit_FormControlSet.h"
#include "ui/Unit_MainFacade.h"
#include "ui/Unit_SkinEdit.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <stdexcept>

namespace {

struct RemoteResult {
    QByteArray Response, Code, Text;
};

// A session whose answers the test sets; it records what the panel asked of it. The table
// serves CWL 500..900 nm in whole nm with FWHM 2..10 nm.
class FakeMain : public IMainFacade {
public:
    bool Opened = true;
    bool Busy = false;
    bool Exchanging = false;
    bool Remote = false;
    bool RefreshOk = true;
    bool MoveOk = true;
    // The remote client has gone: from the start, or while the position query ran.
    bool Gone = false;
    bool GoneDuringQuery = false;
    // Every device command throws.
    bool Throws = false;

    int Refreshes = 0;
    int Locks = 0;
    int Unlocks = 0;
    int Closes = 0;
    int Bkens = 0;
    int Homes = 0;
    QList<QPair<double, double>> Moves;
    QList<RemoteResult> Results;
    QStringList Messages;
    int ViewSettings = 0;
    // Run inside a BKEN, a move ("GO") and each stored result (its response word), where a
    // handler could run in their pumps.
    std::function<void(const QByteArray& what)> During;
    QString RecordFolder;

    double MinCwl() const override { return 500.0; }
    double MaxCwl() const override { return 900.0; }
    double MinFwhm() const override { return 2.0; }
    double MaxFwhm() const override { return 10.0; }
    double CwlStep() const override { return 1.0; }
    double MinCwlAtFwhm(double) const override { return 500.0; }
    double MaxCwlAtFwhm(double) const override { return 900.0; }
    double MinFwhmAtCwl(double) const override { return 2.0; }
    double MaxFwhmAtCwl(double) const override { return 10.0; }
    bool IsCwlInTable(double cwl) const override {
        return cwl >= 500.0 && cwl <= 900.0 && cwl == static_cast<int>(cwl);
    }

    bool IsDeviceOpened() const override { return Opened; }
    bool IsDeviceExchanging() const override { return Exchanging; }
    bool IsDeviceBusy() const override { return Busy; }
    bool TryLockDevice() override {
        if (Busy) return false;
        Busy = true;
        ++Locks;
        return true;
    }
    bool UnlockDevice() override {
        const bool was = Busy;
        Busy = false;
        ++Unlocks;
        return was;
    }
    bool RefreshPositions() override {
        ++Refreshes;
        return RefreshOk;
    }
    bool HomeDevice() override {
        if (Throws) throw std::runtime_error("home");
        ++Homes;
        return true;
    }
    bool SendBken(bool) override {
        if (Throws) throw std::runtime_error("bken");
        ++Bkens;
        if (During) During("BKEN");
        return true;
    }
    bool MoveTo(double cwl, double fwhm) override {
        if (Throws) throw std::runtime_error("move");
        Moves.append({cwl, fwhm});
        if (During) During("GO");
        return MoveOk;
    }
    bool IsRemoteRequestAbandoned() const override {
        return Gone || (GoneDuringQuery && Refreshes > 0);
    }
    void Action_DeviceCloseExecute() override {
        ++Closes;
        Opened = false;
    }
    bool IsCloseRequested() const override { return false; }
    // A session whose reads failed shows this line; a re-read succeeds when RereadOk.
    QString ReadFailure;
    bool RereadOk = false;
    QList<bool> Rereads; // mayAskForFile of each re-read
    QString SessionReadFailure() const override { return Opened ? ReadFailure : QString(); }
    bool RereadSession(bool mayAskForFile) override {
        if (Throws) throw std::runtime_error("reread");
        Rereads.append(mayAskForFile);
        if (RereadOk) ReadFailure.clear();
        return RereadOk;
    }
    QString GetProductLabel() const override { return QStringLiteral("QVL Rari"); }
    void ShowStatusMessage(const QString& text, unsigned) override { Messages.append(text); }
    bool IsRemoteControlled() const override { return Remote; }
    void SetRemoteResult(const QByteArray& response, const QByteArray& code,
                         const QByteArray& text) override {
        Results.append({response, code, text});
        if (During) During(response);
    }
    QString ScanRecordFolder() const override { return RecordFolder; }
    void SetViewRange(double, double) override {}
    void ShowViewSetting(double, double, double, double, double, double) override {
        ++ViewSettings;
    }
};

enum class Entry { LocalClick, Remote };

QString PhaseName(ScanPhase phase) {
    switch (phase) {
    case ScanPhase::Idle:
        return QStringLiteral("Idle");
    case ScanPhase::Starting:
        return QStringLiteral("Starting");
    case ScanPhase::Running:
        return QStringLiteral("Running");
    case ScanPhase::Stopping:
        return QStringLiteral("Stopping");
    case ScanPhase::Ending:
        return QStringLiteral("Ending");
    case ScanPhase::Reporting:
        return QStringLiteral("Reporting");
    }
    return QStringLiteral("?");
}

// The end line of the one scan record in `folder`, without "# end,"; empty when there is none.
QString RecordEnd(const QString& folder) {
    const QStringList files = QDir(folder).entryList({QStringLiteral("*.csv")}, QDir::Files);
    if (files.size() != 1) return QString();
    QFile file(QDir(folder).filePath(files.first()));
    if (!file.open(QIODevice::ReadOnly)) return QString();
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n'))
        if (line.startsWith(QLatin1String("# end,"))) return line.mid(6).trimmed();
    return QString();
}

// The three remote operations of the panels, each with its own boxes' values.
enum class Operation { Set, SetReset, Scan, ScanReset };

// Runs `op` as a remote request on panels made for `main`; returns the first box's text after it.
QString RunRemote(FakeMain& main, Operation op) {
    QWidget dock;
    TForm_ControlSet set(&main, &dock);
    TForm_ControlScan scan(&main, &dock);
    set.FillSetFields(0, "700", "5");
    scan.SetScanFields("600", "700", "5", "1", "1");
    main.Messages.clear();
    switch (op) {
    case Operation::Set:
        set.Action_RemoteControl_Go(0, "800", "4");
        return set.Edit1->text();
    case Operation::SetReset:
        set.Action_RemoteControl_Reset();
        return set.Edit1->text();
    case Operation::Scan:
        scan.Action_RemoteControl_Scan("650", "660", "4", "2", "0.5");
        return scan.Edit[0]->text();
    case Operation::ScanReset:
        scan.Action_RemoteControl_Reset();
        return scan.Edit[0]->text();
    }
    return {};
}

} // namespace

Q_DECLARE_METATYPE(Entry)
Q_DECLARE_METATYPE(Operation)

class TestPanelFacade : public QObject {
    Q_OBJECT

    // The session states in which an operation must stop before its position query or lock.
    void refusalRows(const QByteArray& failWord) {
        QTest::addColumn<Entry>("entry");
        QTest::addColumn<bool>("opened");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("exchanging");
        QTest::addColumn<bool>("remoteInControl");
        QTest::addColumn<bool>("refreshOk");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("refreshes");

        const QByteArray fail = failWord + " FAIL";
        const QString notReady = QStringLiteral("Device not ready. Please connect QVL Rari.");
        const QString lost = QStringLiteral("ERRDV02 : Communication error. Connection lost.");
        QTest::newRow("no session")
            << Entry::Remote << false << false << false << false << true << fail
            << QByteArray("NONE") << notReady.toLatin1() << notReady << 0;
        // The lock is met after the position query, which still checks the line.
        QTest::newRow("lock held by another operation")
            << Entry::Remote << true << true << false << false << true << fail << QByteArray("NONE")
            << QByteArray("Device busy.") << QString() << 1;
        QTest::newRow("an exchange waits for its answer")
            << Entry::Remote << true << false << true << false << true << fail << QByteArray("NONE")
            << QByteArray("Device busy.") << QString() << 0;
        QTest::newRow("line lost")
            << Entry::Remote << true << false << false << false << false << fail
            << QByteArray("ERRDV02") << QByteArray("Communication error. Connection lost.") << lost
            << 1;
        QTest::newRow("click while a remote client is in control")
            << Entry::LocalClick << true << false << false << true << true << QByteArray()
            << QByteArray() << QByteArray() << QStringLiteral("Remote control mode is activated.")
            << 0;
    }

    // Checks what a refused operation left behind.
    void verifyRefused(const FakeMain& main, bool busyBefore) {
        QFETCH(QByteArray, response);
        QFETCH(QByteArray, code);
        QFETCH(QByteArray, text);
        QFETCH(QString, message);
        QFETCH(int, refreshes);
        QFETCH(bool, refreshOk);

        QCOMPARE(main.Refreshes, refreshes);
        // Nothing moved, and a lock held by someone else is neither taken nor given back.
        QVERIFY(main.Moves.isEmpty());
        QCOMPARE(main.Bkens, 0);
        QCOMPARE(main.Locks, 0);
        QCOMPARE(main.Unlocks, 0);
        QCOMPARE(main.Busy, busyBefore);
        // A lost line closes the session; nothing else does.
        QCOMPARE(main.Closes, refreshOk ? 0 : 1);
        if (response.isEmpty()) {
            QVERIFY(main.Results.isEmpty());
        } else {
            QCOMPARE(main.Results.size(), 1);
            QCOMPARE(main.Results[0].Response, response);
            QCOMPARE(main.Results[0].Code, code);
            QCOMPARE(main.Results[0].Text, text);
        }
        if (message.isEmpty())
            QVERIFY(main.Messages.isEmpty());
        else
            QCOMPARE(main.Messages, QStringList{message});
    }

    static void setUp(FakeMain& main) {
        QFETCH(bool, opened);
        QFETCH(bool, busy);
        QFETCH(bool, exchanging);
        QFETCH(bool, remoteInControl);
        QFETCH(bool, refreshOk);
        main.Opened = opened;
        main.Busy = busy;
        main.Exchanging = exchanging;
        main.Remote = remoteInControl;
        main.RefreshOk = refreshOk;
    }

    // The four remote operations, as rows of the tests that run each of them.
    static void operationRows() {
        QTest::addColumn<Operation>("op");
        QTest::newRow("set") << Operation::Set;
        QTest::newRow("reset on the Set tab") << Operation::SetReset;
        QTest::newRow("scan") << Operation::Scan;
        QTest::newRow("reset on the Scan tab") << Operation::ScanReset;
    }

private slots:
    void setRefused_data() { refusalRows("SETC"); }
    void setRefused() {
        QFETCH(Entry, entry);
        FakeMain main;
        QWidget dock;
        TForm_ControlSet set(&main, &dock);
        setUp(main);
        const bool busyBefore = main.Busy;
        set.FillSetFields(0, "700", "5");
        main.Messages.clear();

        if (entry == Entry::Remote)
            set.Action_RemoteControl_Go();
        else
            set.Image_Button4Click();
        verifyRefused(main, busyBefore);
    }

    void scanRefused_data() { refusalRows("SCAN"); }
    void scanRefused() {
        QFETCH(Entry, entry);
        FakeMain main;
        QWidget dock;
        TForm_ControlScan scan(&main, &dock);
        setUp(main);
        const bool busyBefore = main.Busy;
        scan.SetScanFields("600", "700", "5", "1", "1");
        main.Messages.clear();

        if (entry == Entry::Remote)
            scan.Action_RemoteControl_Scan();
        else
            scan.Image_Button4Click();
        verifyRefused(main, busyBefore);
    }

    // A request whose client has gone starts nothing new: no move, no home, no BKEN, no scan,
    // and the lock is not left held.
    void abandonedRequestStartsNothing_data() { operationRows(); }
    void abandonedRequestStartsNothing() {
        QFETCH(Operation, op);
        for (const bool duringQuery : {false, true}) {
            FakeMain main;
            (duringQuery ? main.GoneDuringQuery : main.Gone) = true;
            RunRemote(main, op);
            QCOMPARE(main.Refreshes, duringQuery ? 1 : 0);
            QVERIFY(main.Moves.isEmpty());
            QCOMPARE(main.Homes, 0);
            QCOMPARE(main.Bkens, 0);
            QVERIFY(!main.Busy);
            QCOMPARE(main.Locks, main.Unlocks);
            for (const RemoteResult& result : main.Results)
                QVERIFY2(!result.Response.endsWith(" OK"), result.Response.constData());
        }
    }

    // A refused request leaves the boxes as they were: a local operation waiting in a pump
    // reads them next.
    void refusedRequestLeavesTheBoxes_data() {
        QTest::addColumn<Operation>("op");
        QTest::newRow("set") << Operation::Set;
        QTest::newRow("scan") << Operation::Scan;
    }
    void refusedRequestLeavesTheBoxes() {
        QFETCH(Operation, op);
        for (const bool exchanging : {false, true}) {
            FakeMain main;
            (exchanging ? main.Exchanging : main.Busy) = true;
            const QString first = RunRemote(main, op);
            QCOMPARE(first, op == Operation::Set ? QStringLiteral("700") : QStringLiteral("600"));
            QCOMPARE(main.Results.size(), 1);
            QCOMPARE(main.Results[0].Text, QByteArray("Device busy."));
        }
        // Accepted, the request's values are in the boxes.
        FakeMain main;
        QCOMPARE(RunRemote(main, op),
                 op == Operation::Set ? QStringLiteral("800") : QStringLiteral("650"));
    }

    // An error thrown inside a remote operation is the client's "UNKNOWN ERROR", and the lock
    // and the button are given back; also for a reset that reads the session again.
    void unexpectedErrorIsReported_data() {
        QTest::addColumn<Operation>("op");
        QTest::addColumn<bool>("readsFailed");
        QTest::newRow("set") << Operation::Set << false;
        QTest::newRow("reset on the Set tab") << Operation::SetReset << false;
        QTest::newRow("scan") << Operation::Scan << false;
        QTest::newRow("reset on the Scan tab") << Operation::ScanReset << false;
        QTest::newRow("reread on the Set tab") << Operation::SetReset << true;
        QTest::newRow("reread on the Scan tab") << Operation::ScanReset << true;
    }
    void unexpectedErrorIsReported() {
        QFETCH(Operation, op);
        QFETCH(bool, readsFailed);
        FakeMain main;
        main.Throws = true;
        if (readsFailed) main.ReadFailure = QStringLiteral("ERRDV10 : No calibration data file.");
        RunRemote(main, op);
        QVERIFY(!main.Busy);
        QVERIFY(!main.Results.isEmpty());
        QCOMPARE(main.Results.last().Response, QByteArray("UNKNOWN ERROR"));
        QCOMPARE(main.Results.last().Code, QByteArray("NONE"));
        QCOMPARE(main.Results.last().Text, QByteArray("Unknown Error."));
    }

    // An accepted set holds the lock for the move and gives it back whatever the move's outcome.
    void setHoldsLockForTheMove_data() {
        QTest::addColumn<bool>("moveOk");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<int>("viewSettings");
        QTest::newRow("moved") << true << QByteArray("SETC OK") << QByteArray() << 1;
        QTest::newRow("move failed")
            << false << QByteArray("SETC FAIL") << QByteArray("ERRDV04") << 0;
    }
    void setHoldsLockForTheMove() {
        QFETCH(bool, moveOk);
        QFETCH(QByteArray, response);
        QFETCH(QByteArray, code);
        QFETCH(int, viewSettings);
        FakeMain main;
        main.MoveOk = moveOk;
        QWidget dock;
        TForm_ControlSet set(&main, &dock);
        set.FillSetFields(0, "700", "5");

        set.Action_RemoteControl_Go();
        QCOMPARE(main.Refreshes, 1);
        QCOMPARE(main.Locks, 1);
        QCOMPARE(main.Unlocks, 1);
        QVERIFY(!main.Busy);
        QCOMPARE(main.Moves, (QList<QPair<double, double>>{{700.0, 5.0}}));
        QCOMPARE(main.Results.size(), 1);
        QCOMPARE(main.Results[0].Response, response);
        QCOMPARE(main.Results[0].Code, code);
        QCOMPARE(main.ViewSettings, viewSettings);
    }

    // A session whose calibration file was not read: every Go names the read that failed, after
    // the usual check of the line, and gives the lock back without touching the instrument.
    void goRefusedWhileNotReady_data() {
        QTest::addColumn<bool>("scan");
        QTest::addColumn<Entry>("entry");
        QTest::addColumn<QByteArray>("response");
        QTest::newRow("set, click") << false << Entry::LocalClick << QByteArray();
        QTest::newRow("set, remote") << false << Entry::Remote << QByteArray("SETC FAIL");
        QTest::newRow("scan, click") << true << Entry::LocalClick << QByteArray();
        QTest::newRow("scan, remote") << true << Entry::Remote << QByteArray("SCAN FAIL");
    }
    void goRefusedWhileNotReady() {
        QFETCH(bool, scan);
        QFETCH(Entry, entry);
        QFETCH(QByteArray, response);
        FakeMain main;
        main.ReadFailure = QStringLiteral("ERRDV10 : No calibration data file.");
        QWidget dock;
        TForm_ControlSet set(&main, &dock);
        TForm_ControlScan scanPanel(&main, &dock);
        set.FillSetFields(0, "700", "5");
        scanPanel.SetScanFields("600", "700", "5", "1", "1");
        main.Messages.clear();

        if (scan)
            entry == Entry::Remote ? scanPanel.Action_RemoteControl_Scan()
                                   : scanPanel.Image_Button4Click();
        else
            entry == Entry::Remote ? set.Action_RemoteControl_Go() : set.Image_Button4Click();

        QCOMPARE(main.Messages, QStringList{main.ReadFailure});
        QCOMPARE(main.Refreshes, 1);
        QCOMPARE(main.Locks, 1);
        QCOMPARE(main.Unlocks, 1);
        QVERIFY(!main.Busy);
        QVERIFY(main.Moves.isEmpty());
        QCOMPARE(main.Bkens, 0);
        QVERIFY(!scanPanel.Running());
        if (response.isEmpty()) {
            QVERIFY(main.Results.isEmpty());
        } else {
            QCOMPARE(main.Results.size(), 1);
            QCOMPARE(main.Results[0].Response, response);
            QCOMPARE(main.Results[0].Code, QByteArray("ERRDV10"));
            QCOMPARE(main.Results[0].Text, QByteArray("No calibration data file."));
        }
    }

    // Reset in that session reads again instead of homing; only a click may open the dialog.
    void resetRereadsWhileNotReady_data() {
        QTest::addColumn<bool>("scan");
        QTest::addColumn<Entry>("entry");
        QTest::addColumn<bool>("rereadOk");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QByteArray>("code");
        for (bool scan : {false, true}) {
            const char* tab = scan ? "scan" : "set";
            QTest::addRow("%s, click, read", tab)
                << scan << Entry::LocalClick << true << QByteArray() << QByteArray();
            QTest::addRow("%s, click, fails again", tab)
                << scan << Entry::LocalClick << false << QByteArray() << QByteArray();
            QTest::addRow("%s, remote, read", tab)
                << scan << Entry::Remote << true << QByteArray("RESET OK") << QByteArray();
            QTest::addRow("%s, remote, fails again", tab)
                << scan << Entry::Remote << false << QByteArray("RESET FAIL")
                << QByteArray("ERRDV12");
        }
    }
    void resetRereadsWhileNotReady() {
        QFETCH(bool, scan);
        QFETCH(Entry, entry);
        QFETCH(bool, rereadOk);
        QFETCH(QByteArray, response);
        QFETCH(QByteArray, code);
        FakeMain main;
        main.ReadFailure =
            QStringLiteral("ERRDV12 : Calibration data file might be problem. (Serial)");
        main.RereadOk = rereadOk;
        QWidget dock;
        TForm_ControlSet set(&main, &dock);
        TForm_ControlScan scanPanel(&main, &dock);

        const bool remote = entry == Entry::Remote;
        if (scan)
            remote ? scanPanel.Action_RemoteControl_Reset() : scanPanel.Image_Button3Click();
        else
            remote ? set.Action_RemoteControl_Reset() : set.Image_Button3Click();

        QCOMPARE(main.Rereads, QList<bool>{!remote});
        QCOMPARE(main.Homes, 0); // a successful re-read homes on its own
        QCOMPARE(main.Refreshes, 1);
        QCOMPARE(main.Locks, 1);
        QVERIFY(!main.Busy);
        if (response.isEmpty()) {
            QVERIFY(main.Results.isEmpty());
        } else {
            QCOMPARE(main.Results.size(), 1);
            QCOMPARE(main.Results[0].Response, response);
            QCOMPARE(main.Results[0].Code, code);
            if (!code.isEmpty())
                QCOMPARE(main.Results[0].Text,
                         QByteArray("Calibration data file might be problem. (Serial)"));
        }
    }

    // The scan's phase, traced after each act and inside the pumps of a start's BKEN and of the
    // end report. The supervision timer and the worker's polls are run by hand; at TimeDelay
    // 600 s only the first poll of a scan moves. The report and the record's end line agree.
    void scanPhases_data() {
        QTest::addColumn<QStringList>("acts");
        QTest::addColumn<QStringList>("trace");
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<QString>("recordEnd");
        QTest::newRow("refused start")
            << QStringList{"refused start"} << QStringList{"Starting", "Idle"}
            << QByteArray("SCAN FAIL") << QString();
        QTest::newRow("failed move, then reported")
            << QStringList{"start", "failing step", "report"}
            << QStringList{"Starting", "Running", "Ending", "Reporting", "Idle"}
            << QByteArray("SCAN FAIL") << QStringLiteral("FAIL,ERRDV05");
        QTest::newRow("stop between steps")
            << QStringList{"start", "step", "stop", "report"}
            << QStringList{"Starting", "Running", "Running", "Stopping", "Reporting", "Idle"}
            << QByteArray("SCAN ABORT") << QStringLiteral("ABORT");
        QTest::newRow("stop during a step's move")
            << QStringList{"start", "stop in move", "step", "report"}
            << QStringList{"Starting", "Running", "Stopping", "Stopping", "Reporting", "Idle"}
            << QByteArray("SCAN ABORT") << QStringLiteral("ABORT");
        // The failed move ends nothing more: the scan is already stopping.
        QTest::newRow("stop during a move that fails")
            << QStringList{"start", "stop in failing move", "report"}
            << QStringList{"Starting", "Running", "Stopping", "Reporting", "Idle"}
            << QByteArray("SCAN ABORT") << QStringLiteral("ABORT");
        QTest::newRow("a stop wins over an end not reported")
            << QStringList{"start", "failing step", "stop", "report"}
            << QStringList{"Starting", "Running", "Ending", "Stopping", "Reporting", "Idle"}
            << QByteArray("SCAN ABORT") << QStringLiteral("ABORT");
        // The move fails once the scan is reported: it leaves the idle panel as it is.
        QTest::newRow("stop reported inside a move that fails")
            << QStringList{"start", "report in failing move"}
            << QStringList{"Starting", "Running", "Reporting", "Idle"} << QByteArray("SCAN ABORT")
            << QStringLiteral("ABORT");
        // The end is already being reported: the stop changes neither the report nor the record.
        QTest::newRow("stop while the end is reported")
            << QStringList{"start", "failing step", "stop in report"}
            << QStringList{"Starting", "Running", "Ending", "Reporting", "Reporting", "Idle"}
            << QByteArray("SCAN FAIL") << QStringLiteral("FAIL,ERRDV05");
    }
    void scanPhases() {
        QFETCH(QStringList, acts);
        QFETCH(QStringList, trace);
        QFETCH(QByteArray, report);
        QFETCH(QString, recordEnd);
        FakeMain main;
        QTemporaryDir records;
        QVERIFY(records.isValid());
        main.RecordFolder = records.path();
        QWidget dock;
        TForm_ControlScan scan(&main, &dock);
        QStringList seen;
        QString act;
        main.During = [&](const QByteArray& what) {
            if (what == "BKEN") seen << PhaseName(scan.Phase());
            if (what == "GO" && act.contains(QLatin1String(" in "))) {
                scan.RequestStop();
                if (act.startsWith(QLatin1String("report"))) scan.Timer_CheckScanTimer();
            }
            if (what == "SCAN ABORT" || what == "SCAN FAIL" || what == "SCAN SUCCESS") {
                if (scan.Phase() == ScanPhase::Starting) return; // a refused request
                seen << PhaseName(scan.Phase());
                if (act == QLatin1String("stop in report")) {
                    scan.RequestStop();
                    seen << PhaseName(scan.Phase());
                }
            }
        };
        for (const QString& a : acts) {
            act = a;
            main.MoveOk = !act.contains(QLatin1String("failing"));
            if (act == QLatin1String("start") || act == QLatin1String("refused start")) {
                scan.Action_RemoteControl_Scan("600", "700", "5", "1",
                                               act == QLatin1String("start") ? "600" : "601");
                scan.Timer_CheckScan->stop();
            } else if (act.endsWith(QLatin1String("step")) || act.endsWith(QLatin1String("move"))) {
                scan.ScanStep();
            } else if (act == QLatin1String("stop")) {
                scan.RequestStop();
            } else if (act.endsWith(QLatin1String("report"))) {
                scan.Timer_CheckScanTimer();
            } else {
                QFAIL(qPrintable("unknown act " + act));
            }
            seen << PhaseName(scan.Phase());
        }
        QCOMPARE(seen, trace);
        QCOMPARE(main.Results.last().Response, report);
        QCOMPARE(RecordEnd(records.path()), recordEnd);
        // Back in Idle: no flag of the scan left over, the device lock given back once.
        QVERIFY(!scan.Running() && !scan.StopRequested() && !scan.Finished());
        QVERIFY(!main.Busy);
        QCOMPARE(main.Unlocks, main.Locks);
        QCOMPARE(main.Moves.size(),
                 qsizetype(acts.contains(QStringLiteral("refused start")) ? 0 : 1));
    }
};

QTEST_MAIN(TestPanelFacade)
#include "tst_panelfacade.moc"
