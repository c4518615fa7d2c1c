// instrument-sim: the tunable filter on a pseudo-terminal, for the demo and the tests.
// See --help for the options, the output lines and the control commands on stdin.
#include "instrument.h"
#include "options.h"
#include "pseudo_terminal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int sig) {
    const int saved = errno;
    const char byte = char(sig);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

bool InstallSignalHandlers() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (sigaction(sig, &sa, nullptr) != 0) return false;
    // Output to a closed pipe must not kill us before the link is removed, and a background
    // job reading a terminal must get an error instead of being stopped.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTTIN, SIG_IGN);
    return true;
}

// Control commands on stdin, one a line.
class StdinControl : public QObject {
public:
    StdinControl(sim::Instrument& instrument, QObject* parent)
        : QObject(parent), instrument_(instrument), notifier_(STDIN_FILENO, QSocketNotifier::Read) {
        connect(&notifier_, &QSocketNotifier::activated, this, &StdinControl::OnReadable);
    }

    std::function<void()> onHangup;

private:
    void OnReadable() {
        char chunk[1024];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) {
            // Started in the background with no input: keep serving the line.
            notifier_.setEnabled(false);
            sim::PrintLine("# end of control input; still running");
            return;
        }
        buffer_.append(chunk, n);
        qsizetype nl;
        while ((nl = buffer_.indexOf('\n')) >= 0) {
            const QByteArray line = buffer_.left(nl).trimmed();
            buffer_.remove(0, nl + 1);
            Handle(line);
        }
    }

    void Handle(const QByteArray& line) {
        if (line.isEmpty()) return;
        if (line == "silent on" || line == "silent off") {
            instrument_.SetSilent(line == "silent on");
            sim::PrintLine("# " + line);
        } else if (line.startsWith("id ")) {
            const auto id = sim::Unescape(line.mid(3));
            if (!id) {
                sim::PrintLine("# malformed escape in: " + line);
                return;
            }
            instrument_.SetId(*id);
            sim::PrintLine("# id \"" + sim::Escape(*id) + '"');
        } else if (line == "hangup") {
            sim::PrintLine("# hangup");
            onHangup();
        } else if (line == "quit") {
            sim::PrintLine("# quit");
            QCoreApplication::exit(0);
        } else {
            sim::PrintLine("# unknown control command: " + sim::Escape(line));
        }
    }

    sim::Instrument& instrument_;
    QSocketNotifier notifier_;
    QByteArray buffer_;
};

} // namespace

int main(int argc, char** argv) {
    sim::Options options;
    std::string error;
    switch (sim::ParseOptions(argc, argv, options, error)) {
    case sim::ParseResult::Help:
        std::fputs(sim::HelpText(), stdout);
        return 0;
    case sim::ParseResult::Error:
        std::fprintf(stderr, "instrument-sim: %s (see --help)\n", error.c_str());
        return 2;
    case sim::ParseResult::Run:
        break;
    }

    QCoreApplication app(argc, argv);
    if (!InstallSignalHandlers()) {
        std::perror("instrument-sim: signal set-up");
        return 1;
    }

    sim::PseudoTerminal pty;
    if (!pty.Open(error) ||
        (!options.linkPath.isEmpty() && !pty.Publish(options.linkPath, error))) {
        std::fprintf(stderr, "instrument-sim: %s\n", error.c_str());
        return 1;
    }

    sim::Instrument instrument(options, pty.MasterFd());
    // The line goes dead as a pulled cable would: the program sees it vanish, then we leave.
    const auto hangup = [&] {
        instrument.Stop();
        pty.Close();
        pty.Unpublish();
        QCoreApplication::exit(0);
    };
    QObject::connect(&instrument, &sim::Instrument::hangupRequested, &app, hangup);

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char sig = 0;
        if (::read(signalPipe[0], &sig, 1) == 1)
            sim::PrintLine("# signal " + QByteArray::number(int(sig)) + "; exiting");
        QCoreApplication::exit(0);
    });

    std::unique_ptr<StdinControl> control;
    if (fcntl(STDIN_FILENO, F_GETFD) != -1) {
        control = std::make_unique<StdinControl>(instrument, &app);
        control->onHangup = hangup;
    }

    sim::PrintLine("ready " + (options.linkPath.isEmpty() ? QByteArray("-") : options.linkPath) +
                   ' ' + pty.SlavePath());
    const int status = app.exec();
    instrument.Stop();
    pty.Unpublish();
    pty.Close();
    return status;
}
