#pragma once
// The application object: an error that escapes a handler is shown in the standard error box
// (on stderr when there is no window) and the event loop goes on.

#include <QApplication>
#include <QDateTime>
#include <cstdio>
#include <functional>

class TApplication : public QApplication {
    Q_OBJECT
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;

    // Shows the standard error box for an error that escaped, or writes the error on stderr
    // when the program runs without a window.
    static void ShowError(const QString& text);
    static void SetHeadless(bool headless) { Headless = headless; }

private:
    static inline bool Headless = false;
};

// What the colour of a message-bar line tells: "progress", "success", "error", "scanning" (the
// line of a running scan), or "notice" for any other colour.
QString MessageKind(unsigned color);
// The stderr line of a message-bar line when there is no window to show it:
// "2026-12-11 03:54:12.345 success: Device ready." (local time).
QString MessageLogLine(const QDateTime& at, const QString& text, unsigned color);

// Without a window, the toolkit's own warnings go to stderr in the same form as the message
// bar's lines, kind "toolkit", so that a service's log reads as one.
void StampToolkitMessages();

// Writes the message bar's lines to a stream as they appear, one line each. The search repeats
// its line every second and the bar then does not change: a line written again unchanged, in
// the same colour, right after itself is not repeated.
class TMessageLog {
public:
    explicit TMessageLog(std::FILE* stream) : Stream(stream) {}
    void Show(const QString& text, unsigned color);

private:
    std::FILE* Stream;
    bool Any = false;
    QString LastText;
    unsigned LastColor = 0;
};

// SIGINT and SIGTERM end the program through the window's normal shutdown.
// CatchShutdownSignals takes them over at once, before anything else of the program exists; a
// signal caught then waits. ConnectShutdownSignals runs `onSignal` on the GUI thread for every
// signal caught, also for one caught before it was called, once the events are handled.
void CatchShutdownSignals();
void ConnectShutdownSignals(QObject* context, std::function<void()> onSignal);
