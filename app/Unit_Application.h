#pragma once
// The application object: an error that escapes a handler is shown in the standard error box
// and the event loop goes on.

#include <QApplication>
#include <functional>

class TApplication : public QApplication {
    Q_OBJECT
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;

    // Shows the standard error box for an error that escaped.
    static void ShowError(const QString& text);
};

// SIGINT and SIGTERM end the program through the window's normal shutdown.
// CatchShutdownSignals takes them over at once, before anything else of the program exists; a
// signal caught then waits. ConnectShutdownSignals runs `onSignal` on the GUI thread for every
// signal caught, also for one caught before it was called, once the events are handled.
void CatchShutdownSignals();
void ConnectShutdownSignals(QObject* context, std::function<void()> onSignal);
