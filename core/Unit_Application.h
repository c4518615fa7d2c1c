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

// SIGINT and SIGTERM end the program through the window's normal shutdown. `onSignal` runs on
// the GUI thread.
void InstallShutdownSignals(QObject* context, std::function<void()> onSignal);
