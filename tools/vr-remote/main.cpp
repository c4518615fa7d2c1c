// vr-remote: sends request lines to the program's remote control server and prints the
// responses, for shell scripts and a quick look by hand.
//
//   vr-remote [--host H] [--port P] [--wait] [--timeout S] LINE...
//
// Each LINE is sent with a CR and its response printed on its own line. A response that ends in
// FAIL (or an unknown command) is followed by ECODE and ETEXT, printed to stderr, and ends the
// run with exit status 1. With --wait, a SCAN that was accepted is followed until its end report,
// which is printed; without it the scan is stopped when vr-remote disconnects. While it waits,
// and only when stderr is a terminal, one line on stderr shows the scan's progress.
// Exit status: 0 all went through (and --help, --version), 1 a request failed, 2 no connection
// or no answer, or arguments that cannot be used (an unknown option, an option without its
// value, a LINE holding a CR or LF, a time-out that is not a positive number of seconds up to
// one day).
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QTextStream>
#include <QThread>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitNoAnswer = 2;
constexpr int kMaxTimeoutS = 24 * 60 * 60;

// The protocol's 8-bit text for the terminal: the byte pairs A1 C3 and A1 C2 are the signs
// "≥" and "≤", every other byte is Latin-1.
QString FromWire(QByteArray bytes) {
    bytes.replace("\xA1\xC3", "\x01").replace("\xA1\xC2", "\x02");
    QString text = QString::fromLatin1(bytes);
    text.replace(QChar(1), QChar(0x2265)).replace(QChar(2), QChar(0x2264));
    return text;
}

// The progress line drawn from a PROGRESS answer ("done,total,elapsed,remaining"):
// "[#####...................] 12/51  23% 0:42 left". Empty for an answer of another form.
QString ProgressLine(const QByteArray& answer) {
    const QList<QByteArray> fields = answer.split(',');
    if (fields.size() != 4) return QString();
    bool ok[4] = {};
    const int done = fields[0].toInt(&ok[0]);
    const int total = fields[1].toInt(&ok[1]);
    fields[2].toDouble(&ok[2]);
    const double left = fields[3].toDouble(&ok[3]);
    if (!ok[0] || !ok[1] || !ok[2] || !ok[3] || total <= 0 || done < 0 || !std::isfinite(left))
        return QString();
    constexpr int kWidth = 24;
    const int percent = int(qMin<qint64>(100, qint64(done) * 100 / total));
    const int filled = percent * kWidth / 100;
    const qint64 seconds = qint64(std::ceil(qMax(left, 0.0)));
    const QString time =
        seconds >= 3600
            ? QStringLiteral("%1:%2:%3")
                  .arg(seconds / 3600)
                  .arg(seconds / 60 % 60, 2, 10, QChar(u'0'))
                  .arg(seconds % 60, 2, 10, QChar(u'0'))
            : QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QChar(u'0'));
    return QStringLiteral("[%1%2] %3/%4 %5% %6 left")
        .arg(QString(filled, u'#'), QString(kWidth - filled, u'.'))
        .arg(done)
        .arg(total)
        .arg(percent, 3)
        .arg(time);
}

// A request as messages name it: "VER", or an empty line (sent while a scan is followed).
QString Named(const QByteArray& request) {
    return request.isEmpty() ? QStringLiteral("an empty line")
                             : QStringLiteral("\"%1\"").arg(FromWire(request));
}

class Session {
public:
    Session(int timeoutMs) : TimeoutMs(timeoutMs) {}

    bool Connect(const QString& host, quint16 port) {
        Socket.connectToHost(host, port);
        if (!Socket.waitForConnected(TimeoutMs)) {
            Error = QStringLiteral("cannot connect to %1:%2: %3")
                        .arg(host)
                        .arg(port)
                        .arg(Socket.errorString());
            return false;
        }
        return true;
    }

    // Sends one request line and waits for its response line.
    bool Ask(const QByteArray& request, QByteArray& response) {
        Socket.write(request + '\r');
        QDeadlineTimer deadline(TimeoutMs);
        while (!Rx.contains('\r')) {
            if (Socket.state() != QAbstractSocket::ConnectedState && !Socket.bytesAvailable()) {
                // The program closes a second client's connection before any answer; once it
                // has answered, it closes this one only when it ends.
                Error = Answered ? QStringLiteral("the program ended: it closed the connection "
                                                  "before answering %1")
                                       .arg(Named(request))
                                 : QStringLiteral("the program closed the connection without "
                                                  "an answer (another client may hold control, "
                                                  "or the program ended)");
                return false;
            }
            if (deadline.hasExpired()) {
                Error = QStringLiteral("no response to %1 within %2 ms")
                            .arg(Named(request))
                            .arg(TimeoutMs);
                return false;
            }
            Socket.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 100)));
            Rx += Socket.readAll();
        }
        const qsizetype cr = Rx.indexOf('\r');
        response = Rx.left(cr);
        Rx.remove(0, cr + 1);
        Answered = true;
        return true;
    }

    QString Error;

private:
    int TimeoutMs;
    QTcpSocket Socket;
    QByteArray Rx;
    bool Answered = false;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vr-remote"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VR_PROGRAM_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends request lines to the remote control of the QVL Rari program and prints each "
        "response. A response ending in FAIL (or an unknown command) is followed by its ECODE "
        "and ETEXT on stderr and ends the run with exit status 1; no connection, no answer or "
        "unusable arguments (an unknown option, a LINE holding a CR or LF) give exit status 2. "
        "The program stops a running scan when its client disconnects: use --wait with SCAN.\n\n"
        "Requests: VER, STATE, ECODE, ETEXT, ECLEAR, RESET, STOP, SETC,CWL,FWHM, SETR,SW,LW, "
        "SCAN,START,END,FWHM,STEP,DELAY. An empty LINE sends an empty line.\n"
        "Queries, answered at once without moving the filter or storing a result:\n"
        "  PROGRESS      done,total,elapsed,remaining of the running or last scan\n"
        "  BAND          cwl,fwhm,sw,lw the filter was last moved to, or NONE\n"
        "  SESSION       SEARCHING, OPENING, READY, BUSY, SCANNING or UNUSABLE,CODE\n"
        "  LIMITS        cwl_min,cwl_max,cwl_step,fwhm_min,fwhm_max of the table, or NONE\n"
        "  LIMITS,FWHM   cwl_min,cwl_max a band of that FWHM may take, or NONE\n"
        "  CHECK,SETC,CWL,FWHM  CHECK,SETR,SW,LW  CHECK,SCAN,START,END,FWHM,STEP,DELAY\n"
        "                OK, the CODE,TEXT the request would store, or NONE,TEXT"));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption hostOption(QStringLiteral("host"),
                                        QStringLiteral("Host of the program (default 127.0.0.1)."),
                                        QStringLiteral("H"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Its remote control port (default 5050)."),
                                        QStringLiteral("P"), QStringLiteral("5050"));
    const QCommandLineOption waitOption(
        QStringLiteral("wait"),
        QStringLiteral("After an accepted SCAN, wait for the end of the scan and print its "
                       "report (SCAN SUCCESS, SCAN ABORT or SCAN FAIL)."));
    const QCommandLineOption timeoutOption(
        QStringLiteral("timeout"),
        QStringLiteral("Seconds to wait for each response, above 0 and up to 86400 (default 30)."),
        QStringLiteral("S"), QStringLiteral("30"));
    parser.addOptions({hostOption, portOption, waitOption, timeoutOption});
    parser.addPositionalArgument(QStringLiteral("LINE"), QStringLiteral("Request lines, in order."),
                                 QStringLiteral("LINE..."));

    QTextStream err(stderr);
    // process() would end an unknown option with status 1, the status of a failed request.
    if (!parser.parse(QCoreApplication::arguments())) {
        QString error = parser.errorText();
        if (error.endsWith(u'.')) error.chop(1);
        err << "vr-remote: " << error << " (see --help)\n";
        return kExitNoAnswer;
    }
    // A QCoreApplication takes no Qt options, so --help-all shows the same help.
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) parser.showHelp(0);
    if (parser.isSet(versionOption)) parser.showVersion();

    QTextStream out(stdout);
    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    bool timeoutOk = false;
    const double timeout = parser.value(timeoutOption).toDouble(&timeoutOk);
    const QStringList lines = parser.positionalArguments();
    if (!portOk || port < 1 || port > 65535 || lines.isEmpty()) {
        err << "vr-remote: give a port from 1 to 65535 and at least one line (see --help)\n";
        return kExitNoAnswer;
    }
    // Beyond a day the milliseconds would no longer fit the waits (and "nan" or "inf" never).
    if (!timeoutOk || !(timeout > 0.0 && timeout <= kMaxTimeoutS)) {
        err << "vr-remote: --timeout must be a number of seconds above 0 and at most "
            << kMaxTimeoutS << " (one day), not \"" << parser.value(timeoutOption) << "\"\n";
        return kExitNoAnswer;
    }
    // A CR or LF inside a LINE would make two requests of it, and every later response would
    // be taken for the wrong request.
    for (const QString& line : lines) {
        if (line.contains(u'\r') || line.contains(u'\n')) {
            QString shown = line;
            shown.replace(u'\r', QStringLiteral("\\r")).replace(u'\n', QStringLiteral("\\n"));
            err << "vr-remote: a LINE must not hold a CR or LF (each LINE is one request): \""
                << shown << "\"\n";
            return kExitNoAnswer;
        }
    }

    Session session(qMax(1, int(std::ceil(timeout * 1000.0))));
    if (!session.Connect(parser.value(hostOption), quint16(port))) {
        err << "vr-remote: " << session.Error << "\n";
        return kExitNoAnswer;
    }
    const auto ask = [&](const QByteArray& request, QByteArray& response) {
        if (session.Ask(request, response)) return true;
        err << "vr-remote: " << session.Error << "\n";
        return false;
    };

    for (const QString& line : lines) {
        const QByteArray request = line.toLatin1();
        QByteArray response;
        if (!ask(request, response)) return kExitNoAnswer;
        out << FromWire(response) << "\n";
        out.flush();

        if (parser.isSet(waitOption) && response == "SCAN OK") {
            // The end report is kept for the next empty line; a STATE request would replace it,
            // so the scan is followed with empty lines. PROGRESS stores nothing and leaves the
            // report waiting; it is asked only for a terminal, and given up when the program
            // does not know it.
            bool showProgress = ::isatty(STDERR_FILENO) == 1;
            bool drawn = false;
            // The progress line goes before the report or a message takes its place.
            const auto clearProgress = [&]() {
                if (!drawn) return;
                err << "\r\x1b[K";
                err.flush();
                drawn = false;
            };
            const auto askWhileWaiting = [&](const QByteArray& request, QByteArray& answer) {
                if (session.Ask(request, answer)) return true;
                clearProgress();
                err << "vr-remote: " << session.Error << "\n";
                return false;
            };
            int round = 0;
            do {
                if (showProgress && round++ % 3 == 0) {
                    QByteArray answer;
                    if (!askWhileWaiting("PROGRESS", answer)) return kExitNoAnswer;
                    const QString line = ProgressLine(answer);
                    showProgress = !line.isEmpty();
                    if (showProgress) {
                        err << "\r" << line << "\x1b[K";
                        err.flush();
                        drawn = true;
                    }
                }
                QThread::msleep(200);
                if (!askWhileWaiting(QByteArray(), response)) return kExitNoAnswer;
            } while (response.isEmpty());
            clearProgress();
            out << FromWire(response) << "\n";
            out.flush();
        }
        if (response.endsWith(" FAIL") || response.startsWith("UNKNOWN ")) {
            // The details are read at once: the next request that stores a result replaces them.
            QByteArray code, text;
            if (!ask("ECODE", code) || !ask("ETEXT", text)) return kExitNoAnswer;
            err << FromWire(code) << " : " << FromWire(text) << "\n";
            return kExitFailed;
        }
    }
    return 0;
}
