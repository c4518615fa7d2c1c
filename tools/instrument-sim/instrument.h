// The simulated instrument: reads command lines from the master side of the pseudo-terminal,
// runs its three axes and writes the answers, with the faults chosen by the options.
#pragma once

#include "options.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <optional>

namespace sim {

// One line on stdout, flushed at once: tests read it while the simulator runs.
void PrintLine(const QByteArray& line);

class Instrument : public QObject {
    Q_OBJECT
public:
    Instrument(const Options& options, int masterFd, QObject* parent = nullptr);

    void SetSilent(bool on) { options_.silent = on; }
    void SetId(const QByteArray& id) { options_.id = id; }
    // Stops all reading, writing and timers; used before the line is closed.
    void Stop();

signals:
    // A command arrived after the answered-command budget of --hangup-after ran out.
    void hangupRequested();

private:
    // What one command does: its answer and when it is due, and the axes afterwards.
    struct Reply {
        QByteArray answer;
        int waitMs = 0;
        std::optional<std::array<int, 3>> positions;
    };

    void OnReadable();
    void OnWritable();
    void HandlePending();
    Reply Execute(const QByteArray& line);
    void FinishCommand();
    void SendChatter();
    void Write(const QByteArray& bytes);
    void Flush();

    Options options_;
    int fd_;
    QSocketNotifier readNotifier_;
    QSocketNotifier writeNotifier_;
    QTimer replyTimer_;
    QTimer chatterTimer_;
    QByteArray rx_;  // received bytes not yet handled
    QByteArray out_; // bytes the line did not take yet
    std::array<int, 3> pos_;
    bool busy_ = false; // a command is running (moving, homing or delayed)
    QByteArray currentLine_;
    Reply current_;
    int received_ = 0;
    int answered_ = 0;
    int goCount_ = 0; // GO commands received
};

} // namespace sim
