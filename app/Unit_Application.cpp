#include "app/Unit_Application.h"

#include "core/Unit_Colors.h"

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
    // Every event of the GUI thread passes here: the last boundary before the event loop. What
    // a handler lets through (an allocation failing, a function given by a test throwing) is
    // shown, and the loop goes on.
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
    // A box nobody can see would wait for a click for ever.
    if (Headless) {
        std::fprintf(stderr, "VuzaRavarede: error: %s\n", text.toUtf8().constData());
        return;
    }
    QMessageBox::critical(nullptr, QCoreApplication::applicationName(), text);
}

QString MessageKind(unsigned color) {
    switch (color) {
    case Colors::clMsgSilver:
        return QStringLiteral("progress");
    case Colors::clMsgLime:
        return QStringLiteral("success");
    case Colors::clMsgRed:
        return QStringLiteral("error");
    case Colors::clMsgYellow:
        return QStringLiteral("scanning");
    default:
        return QStringLiteral("notice");
    }
}

QString MessageLogLine(const QDateTime& at, const QString& text, unsigned color) {
    return at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")) + MessageKind(color) +
           QStringLiteral(": ") + text;
}

void StampToolkitMessages() {
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
        const QByteArray line = QDateTime::currentDateTime()
                                    .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz "))
                                    .toUtf8() +
                                "toolkit: " + text.toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
    });
}

void TMessageLog::Show(const QString& text, unsigned color) {
    if (Any && text == LastText && color == LastColor) return;
    Any = true;
    LastText = text;
    LastColor = color;
    const QByteArray line =
        MessageLogLine(QDateTime::currentDateTime(), text, color).toUtf8() + '\n';
    // One write per line, so that lines of other writers never cut into it.
    std::fwrite(line.constData(), 1, size_t(line.size()), Stream);
    std::fflush(Stream);
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
