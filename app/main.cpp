// Program entry: the main window owns everything for the run; it is released only after the
// event loop has ended, so that no nested handler is still running on it.
#include "app/Unit_Application.h"
#include "app/Unit_FormMain.h"
#include "ui/Unit_CaretBlink.h"

#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>
#include <exception>
#include <optional>

namespace {

struct StartOptions {
    // Set: the program ends at once with this status (after --help, --version or a mistake).
    std::optional<int> ExitNow;
    std::optional<QString> RemoteListen;
};

// The command line is read before the application object exists: --help, --version and a
// mistake are answered on a terminal without a display.
StartOptions ReadCommandLine(int argc, char** argv) {
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));

    QCommandLineParser parser;
    // "-platform xcb" and the other toolkit options are single-dash words, as the toolkit takes
    // them.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    // The usage text below describes the options.
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption versionOption(
        QStringList{QStringLiteral("v"), QStringLiteral("version")});
    const QCommandLineOption listenOption(QStringLiteral("remote-listen"), QString(),
                                          QStringLiteral("ADDRESS"));
    parser.addOption(helpOption);
    parser.addOption(versionOption);
    parser.addOption(listenOption);
    // The toolkit's own options pass through to it unlisted.
    for (const char* name : {"platform", "platformpluginpath", "platformtheme", "plugin",
                             "qwindowgeometry", "geometry", "qwindowicon", "icon", "qwindowtitle",
                             "title", "display", "style", "stylesheet", "session", "name"}) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : {"reverse", "widgetcount", "nograb", "dograb"}) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    const QString usage = QStringLiteral(
        "Usage: VuzaRavarede [options]\n"
        "Control program for the QVL Rari tunable band-pass filter. It finds the instrument on a\n"
        "serial port by itself; its settings, Cal/, Log/ and ports/ lie beside the program.\n"
        "\n"
        "Options:\n"
        "  -h, --help                Shows this help and ends.\n"
        "  -v, --version             Shows the version and ends.\n"
        "  --remote-listen ADDRESS   Remote control listens on this IP address of the machine\n"
        "                            only (for example 127.0.0.1) instead of on all addresses.\n"
        "                            The program ends with status 2 when it cannot listen "
        "there.\n");
    StartOptions options;
    if (!parser.parse(args) || !parser.positionalArguments().isEmpty()) {
        const QString error = parser.errorText().isEmpty()
                                  ? QStringLiteral("Unexpected argument '%1'.")
                                        .arg(parser.positionalArguments().value(0))
                                  : parser.errorText();
        std::fprintf(stderr, "VuzaRavarede: %s\n\n%s", qPrintable(error), qPrintable(usage));
        options.ExitNow = 2;
        return options;
    }
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(usage), stdout);
        options.ExitNow = 0;
        return options;
    }
    if (parser.isSet(versionOption)) {
        std::fputs("VuzaRavarede 2.1 (QVL Rari v2.1)\n", stdout);
        options.ExitNow = 0;
        return options;
    }
    if (parser.isSet(listenOption)) options.RemoteListen = parser.value(listenOption);
    return options;
}

} // namespace

int main(int argc, char** argv) {
    // First of all: creating the application takes a while, and a signal then must not kill the
    // program before it can shut down normally.
    CatchShutdownSignals();
    const StartOptions options = ReadCommandLine(argc, argv);
    if (options.ExitNow) return *options.ExitNow;

    TApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("QVL Rari v2.1"));
    QApplication::setQuitOnLastWindowClosed(false);
    const TCaretBlink caretBlink;

    TForm_Main* form = nullptr;
    bool running = false;
    bool signalled = false;
    // A signal is not refused while the device is busy: it runs the normal shutdown. One that
    // arrives during start-up is served as soon as the event loop runs.
    ConnectShutdownSignals(&app, [&]() {
        signalled = true;
        if (form && running) form->RequestClose();
    });
    int result = 0;
    try {
        form = new TForm_Main(QCoreApplication::applicationDirPath(), options.RemoteListen);
        const QString problem = RemoteListenProblem(form->RemoteServerStatus());
        if (!problem.isEmpty() && options.RemoteListen) {
            // An address asked for and not usable: the user meant to restrict the remote
            // control, so the program does not run with it somewhere else or nowhere.
            std::fprintf(stderr, "%s\n", qPrintable(problem));
            result = 2;
        } else {
            if (!problem.isEmpty())
                std::fprintf(stderr, "%s; running without remote control\n", qPrintable(problem));
            form->show();
            running = true;
            if (signalled) QTimer::singleShot(0, form, &TForm_Main::RequestClose);
            result = app.exec();
        }
    } catch (const std::exception& error) {
        TApplication::ShowError(QString::fromLocal8Bit(error.what()));
        result = 1;
    } catch (...) {
        TApplication::ShowError(QStringLiteral("Unknown error."));
        result = 1;
    }
    if (form) {
        form->ReleaseAll();
        delete form;
    }
    return result;
}
