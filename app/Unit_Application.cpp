#include "app/Unit_Application.h"

#include <QMessageBox>
#include <QSocketNotifier>
#include <exception>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowError(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowError(QStringLiteral("Unknown error."));
    }
    return false;
}

void TApplication::ShowError(const QString& text) {
    QMessageBox::critical(nullptr, QCoreApplication::applicationName(), text);
}

#ifdef Q_OS_UNIX
namespace {
int SignalPipe[2] = {-1, -1};

void OnSignal(int) {
    // Only async-signal-safe work here: wake the GUI thread through the pipe.
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(SignalPipe[1], &byte, 1);
}
} // namespace

void CatchShutdownSignals() {
    if (SignalPipe[0] >= 0) return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, SignalPipe) != 0) return;
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void ConnectShutdownSignals(QObject* context, std::function<void()> onSignal) {
    CatchShutdownSignals();
    if (SignalPipe[0] < 0) return;
    auto* notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [onSignal]() {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(SignalPipe[0], &byte, 1);
        onSignal();
    });
}
#else
void CatchShutdownSignals() {}
void ConnectShutdownSignals(QObject*, std::function<void()>) {}
#endif
