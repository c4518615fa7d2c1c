// Program entry: the main window owns everything for the run; it is released only after the
// event loop has ended, so that no nested handler is still running on it.
#include "core/Unit_Application.h"
#include "core/Unit_FormMain.h"

#include <QTimer>
#include <exception>

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("QVL Rari v2.1"));
    QApplication::setQuitOnLastWindowClosed(false);

    TForm_Main* form = nullptr;
    bool running = false;
    bool signalled = false;
    // A signal is not refused while the device is busy: it runs the normal shutdown. One that
    // arrives during start-up is served as soon as the event loop runs.
    InstallShutdownSignals(&app, [&]() {
        signalled = true;
        if (form && running) form->RequestClose();
    });
    int result = 0;
    try {
        form = new TForm_Main(QCoreApplication::applicationDirPath());
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
