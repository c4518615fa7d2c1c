#pragma once
// Runs the instrument simulator (`instrument-sim`) as a child process for a test.
//
// Usage, in a test that owns a temporary folder:
//
//     SimProcess sim;
//     QVERIFY2(sim.Start(dir.filePath("ports/COM3"), {"--crlf"}), qPrintable(sim.Failure()));
//     ... open the port through the link, talk to it ...
//     QVERIFY(sim.WaitForExchanges(1, 2000));
//     QCOMPARE(sim.Exchanges().first(), R"(exchange "POS 3" -> "POS 3 0 0 0\r")");
//     sim.Stop();                       // also done by the destructor
//
// The simulator prints one line per event on stdout: `ready <link> <device>` once the line is
// published, `exchange "<command>" -> ...` per command, and `# ...` diagnostics. Its stderr is
// passed through to the test's output. All waits here pump the calling thread's events, so a
// driver on the same thread keeps receiving while a test waits for the simulator.
//
// Build: add `${CMAKE_SOURCE_DIR}/tests/support/SimProcess.cpp` to the test's SOURCES and
// include "support/SimProcess.h"; link vr_core (the event pump). The program is found in
// VR_BIN_DIR (set by vr_add_test).

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

class SimProcess {
public:
    // `program` defaults to VR_BIN_DIR "/instrument-sim".
    explicit SimProcess(QString program = DefaultProgram());
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    static QString DefaultProgram();

    // Starts `instrument-sim --link <linkPath> <extraArgs...>` and waits up to `readyTimeoutMs`
    // for its `ready` line. False (with Failure() telling why) when it does not come; the
    // process is then stopped.
    bool Start(const QString& linkPath, const QStringList& extraArgs = {},
               int readyTimeoutMs = 10000);

    // Ends the simulator: SIGTERM, then SIGKILL if it has not ended within `timeoutMs`.
    // True when it ended by itself (exit status 0); harmless when it is not running.
    bool Stop(int timeoutMs = 3000);

    bool IsRunning() const;
    qint64 ProcessId() const;
    // The link and the pseudo-terminal device from the `ready` line.
    QString LinkPath() const { return m_linkPath; }
    QString DevicePath() const { return m_devicePath; }

    // Writes one control line (`silent on`, `silent off`, `hangup`, `quit`, `id TEXT`).
    bool SendControl(const QString& line);

    // Every stdout line so far, and the `exchange ...` lines among them, oldest first.
    QStringList Lines();
    QStringList Exchanges();

    // Pump events until at least `count` exchange lines / a line beginning with `prefix` has
    // arrived (counting from the start), or `timeoutMs` has passed.
    bool WaitForExchanges(int count, int timeoutMs);
    bool WaitForLine(const QString& prefix, int timeoutMs);

    // Waits for the process to end by itself (after `hangup` or `quit`).
    bool WaitForExit(int timeoutMs);

    // Why Start failed, with the output seen so far.
    QString Failure() const { return m_failure; }

private:
    void ReadLines();
    bool WaitUntil(const std::function<bool()>& done, int timeoutMs);

    QString m_program;
    QProcess m_process;
    QByteArray m_partial;
    QStringList m_lines;
    QString m_linkPath;
    QString m_devicePath;
    QString m_failure;
};
