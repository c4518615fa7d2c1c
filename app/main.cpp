// Program entry: the main window owns everything for the run; it is released only after the
// event loop has ended, so that no nested handler is still running on it.
#include "app/Unit_Application.h"
#include "app/Unit_FormMain.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <QTimer>
#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    // First of all: creating the application takes a while, and a signal then must not kill the
    // program before it can shut down normally.
    CatchShutdownSignals();
    TApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("QVL Rari v2.1"));
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Control program for the QVL Rari tunable band-pass filter."));
    parser.addHelpOption();
    const QCommandLineOption listenOption(
        QStringLiteral("remote-listen"),
        QStringLiteral("Remote control listens on this local IP address only (for example "
                       "127.0.0.1) instead of on all addresses."),
        QStringLiteral("ADDRESS"));
    parser.addOption(listenOption);
    parser.process(app);
    const QString remoteListen = parser.value(listenOption);
    if (!remoteListen.isEmpty() && QHostAddress(remoteListen).isNull()) {
        std::fprintf(stderr, "VuzaRavarede: --remote-listen needs an IP address, not \"%s\"\n",
                     qPrintable(remoteListen));
        return 2;
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
        form = new TForm_Main(QCoreApplication::applicationDirPath(), remoteListen);
        form->show();
        running = true;
        if (signalled) QTimer::singleShot(0, form, &TForm_Main::RequestClose);
        result = app.exec();
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
