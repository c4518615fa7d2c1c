// Program entry: the main window owns everything for the run; it is released only after the
// event loop has ended, so that no nested handler is still running on it.
#include "app/Unit_Application.h"
#include "app/Unit_FormMain.h"
#include "app/Unit_SimulatedLab.h"
#include "ui/Unit_CaretBlink.h"

#include <QCommandLineParser>
#include <QDir>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>

namespace {

struct StartOptions {
    // Set: the program ends at once with this status (after --help, --version or a mistake).
    std::optional<int> ExitNow;
    std::optional<QString> RemoteListen;
    // No window: the offscreen platform, the message bar's lines on stderr.
    bool Headless = false;
    // Against the simulator, in a temporary program folder.
    bool Simulate = false;
    quint16 SimulatedRemotePort = 5050;
    // The toolkit was told which platform to use on the command line.
    bool PlatformGiven = false;
};

// The remote control of a simulated program listens on this machine only, unless told otherwise.
const QString kSimulatedListen = QStringLiteral("127.0.0.1");

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
    const QCommandLineOption headlessOption(QStringLiteral("headless"));
    const QCommandLineOption simulateOption(QStringLiteral("simulate"));
    const QCommandLineOption remotePortOption(QStringLiteral("remote-port"), QString(),
                                              QStringLiteral("N"));
    parser.addOption(helpOption);
    parser.addOption(versionOption);
    parser.addOption(listenOption);
    parser.addOption(headlessOption);
    parser.addOption(simulateOption);
    parser.addOption(remotePortOption);
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
        "there.\n"
        "  --headless                Runs without a window and needs no display: every line of\n"
        "                            the message bar goes to stderr with the time and its kind\n"
        "                            (progress, success, error, scanning). For a lab server.\n"
        "  --simulate                Runs against the instrument simulator (instrument-sim\n"
        "                            beside the program) with the sample calibration table, in a\n"
        "                            temporary program folder: the settings, Cal/, Log/, Scans/\n"
        "                            and ports/ beside the program are left as they are. Remote\n"
        "                            control on 127.0.0.1 (or --remote-listen). With --headless\n"
        "                            or with the window.\n"
        "  --remote-port N           With --simulate: the remote control's TCP port (default\n"
        "                            5050). The program ends with status 2 when it cannot\n"
        "                            listen there.\n");
    StartOptions options;
    QString error;
    if (!parser.parse(args)) {
        error = parser.errorText();
    } else if (!parser.positionalArguments().isEmpty()) {
        error =
            QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().value(0));
    } else if (parser.isSet(remotePortOption)) {
        bool number = false;
        const uint port = parser.value(remotePortOption).toUInt(&number);
        if (!parser.isSet(simulateOption))
            error = QStringLiteral("--remote-port is for --simulate; otherwise the settings "
                                   "file's PortNum in section [Remote] sets the port.");
        else if (!number || port < 1 || port > 65535)
            error = QStringLiteral("--remote-port takes a TCP port from 1 to 65535, not '%1'.")
                        .arg(parser.value(remotePortOption));
        else
            options.SimulatedRemotePort = quint16(port);
    }
    if (!error.isEmpty()) {
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
    options.Headless = parser.isSet(headlessOption);
    options.PlatformGiven = parser.isSet(QStringLiteral("platform"));
    options.Simulate = parser.isSet(simulateOption);
    if (options.Simulate && !options.RemoteListen) options.RemoteListen = kSimulatedListen;
    return options;
}

} // namespace

int main(int argc, char** argv) {
    // First of all: creating the application takes a while, and a signal then must not kill the
    // program before it can shut down normally.
    CatchShutdownSignals();
    const StartOptions options = ReadCommandLine(argc, argv);
    if (options.ExitNow) return *options.ExitNow;
#ifdef Q_OS_LINUX
    // Without a display the toolkit would abort with its own message and a core dump; a user
    // logged in over ssh learns what to do instead.
    if (!options.Headless && !options.PlatformGiven && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fputs("VuzaRavarede: no display to show the window on (neither DISPLAY nor "
                   "WAYLAND_DISPLAY is set): start it in a desktop session, log in with ssh -X, "
                   "or run it without a window with --headless\n",
                   stderr);
        return 2;
    }
#endif
    // Chosen before the application object exists, which connects to the display otherwise.
    if (options.Headless) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        StampToolkitMessages();
#ifdef Q_OS_UNIX
        // The reader of its messages going away (a closed pipe) must not end the service.
        std::signal(SIGPIPE, SIG_IGN);
#endif
    }
    TApplication::SetHeadless(options.Headless);

    TApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("QVL Rari v2.1"));
    QApplication::setQuitOnLastWindowClosed(false);
    const TCaretBlink caretBlink;

    QString exeFolder = QCoreApplication::applicationDirPath();
    std::unique_ptr<TSimulatedLab> lab;
    if (options.Simulate) {
        lab = std::make_unique<TSimulatedLab>();
        if (!lab->Start(exeFolder + QStringLiteral("/instrument-sim"),
                        options.SimulatedRemotePort)) {
            std::fprintf(stderr, "VuzaRavarede: --simulate: %s\n", qPrintable(lab->Failure()));
            return 1;
        }
        exeFolder = lab->Folder();
    } else {
        // Where the user links serial devices; a folder that cannot be made is simply not there.
        QDir(exeFolder).mkpath(QStringLiteral("ports"));
    }

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
        form = new TForm_Main(exeFolder, options.RemoteListen);
        if (options.Headless) {
            QObject::connect(form, &TForm_Main::StatusMessageShown, form,
                             [log = std::make_shared<TMessageLog>(stderr)](
                                 const QString& text, unsigned color) { log->Show(text, color); });
            form->SetCalDataDialog([form](const QString&, const QString& keptName) {
                // No one could answer the dialog: the session goes on without its table.
                std::fprintf(stderr,
                             "VuzaRavarede: no calibration table, and without a window the "
                             "program cannot ask for it: copy the instrument's calibration file "
                             "to %s, then send RESET or restart the program\n",
                             qPrintable(form->ExeFolder + QStringLiteral("Cal/") + keptName));
                return QString();
            });
        }
        const QString problem = RemoteListenProblem(form->RemoteServerStatus());
        if (!problem.isEmpty() && options.RemoteListen) {
            // An address asked for and not usable: the user meant to restrict the remote
            // control, so the program does not run with it somewhere else or nowhere.
            std::fprintf(stderr, "%s\n", qPrintable(problem));
            result = 2;
        } else {
            if (!problem.isEmpty())
                std::fprintf(stderr,
                             form->RemoteServerStatus().PortInUse
                                 ? "%s; running without remote control until the port is free "
                                   "(tried every 5 s)\n"
                                 : "%s; running without remote control\n",
                             qPrintable(problem));
            if (lab) {
                const RemoteServerState remote = form->RemoteServerStatus();
                std::fprintf(stderr,
                             "VuzaRavarede: simulated instrument on %s; remote control on %s port "
                             "%u; program folder %s (removed at the end)\n",
                             TSimulatedLab::PortName, qPrintable(remote.Address),
                             unsigned(remote.Port), qPrintable(lab->Folder()));
            }
            form->show();
            running = true;
            if (signalled) QTimer::singleShot(0, form, &TForm_Main::RequestClose);
            result = app.exec();
        }
    } catch (const std::exception& error) {
        TApplication::ShowError(QString::fromLocal8Bit(error.what()));
        result = 1;
    } catch (...) {
        // Before the event loop and after it nothing catches for us: an allocation failing while
        // the window is made or released is shown and the program ends with a failure.
        TApplication::ShowError(QStringLiteral("Unknown error."));
        result = 1;
    }
    if (form) {
        form->ReleaseAll();
        delete form;
    }
    return result;
}
