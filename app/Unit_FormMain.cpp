#include "app/Unit_FormMain.h"

#include "app/Unit_FormCalData.h"
#include "control/Unit_FormControlScan.h"
#include "control/Unit_FormControlSet.h"
#include "core/Unit_EventPump.h"
#include "core/Unit_setupvuzaravarede.h"
#include "device/Unit_devicevuzaravarede.h"
#include "ui/Unit_FormControlHelp.h"
#include "ui/Unit_FormControlView.h"
#include "ui/Unit_SkinImage.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QTimer>

namespace {
constexpr int kPanelMainHeight = 242;
constexpr int kPanelMainHelpHeight = 426;
} // namespace

TForm_Main::TForm_Main(const QString& exeFolder, const std::optional<QString>& remoteListen,
                       QWidget* parent)
    : QWidget(parent), RemoteListenAddress(remoteListen) {
    ExeFolder = QDir::fromNativeSeparators(exeFolder);
    if (!ExeFolder.endsWith(u'/')) ExeFolder += u'/';
    BuildSkin();
    Timer_AutoOpen = new QTimer(this);
    Timer_AutoOpen->setInterval(1000);
    connect(Timer_AutoOpen, &QTimer::timeout, this, &TForm_Main::Timer_AutoOpenTimer);
    FormCreate();
}

TForm_Main::~TForm_Main() {
    ReleaseAll();
}

void TForm_Main::FormCreate() {
    // ExeFolder is set by the constructor; numbers are read and written with en-US rules.
    FormatSettingsEnUS = QLocale(QLocale::English, QLocale::UnitedStates);
    PortList.clear();
    Setup = std::make_unique<TSetup_VuzaRavarede>(ExeFolder, QStringLiteral("VuzaRavarede.ini"));
    Device = std::make_unique<TDevice_VuzaRavarede>();
    Device->SetPortsFolder(ExeFolder + QStringLiteral("ports/"));
    if (Setup->DebugMode) Device->StartLog(ExeFolder + QStringLiteral("Log/"));

    // The port of the last successful session is tried first.
    PortList.append(Setup->PortName);
    PortIndex = 0;

    FormControlSet = new TForm_ControlSet(this, Panel_Main);
    FormControlScan = new TForm_ControlScan(this, Panel_Main);
    FormControlHelp = new TForm_ControlHelp(Panel_Main);
    FormControlView = new TForm_ControlView(Panel_View);

    Action_ChangeModeExecute();
    Action_RemoteServerStartExecute();
    Action_ChangeModeExecute();
    Action_UpdateUIExecute();

    Timer_AutoOpen->start();
}

void TForm_Main::Action_ChangeModeExecute() {
    if (!FormControlSet || !FormControlScan || !FormControlHelp || !FormControlView) return;
    // Showing a panel runs its update, which pumps events: a tab selected meanwhile is applied
    // by going round again, so the panels always end up as the last selection wants them.
    int tab = -1;
    while (tab != ActiveTab) {
        tab = ActiveTab;
        const bool help = tab == 2;
        // The panels of other tabs are hidden before the selected one is shown.
        if (tab != 0) FormControlSet->hide();
        if (tab != 1) FormControlScan->hide();
        if (!help) FormControlHelp->hide();
        Panel_Main->resize(Panel_Main->width(), help ? kPanelMainHelpHeight : kPanelMainHeight);
        Panel_View->setVisible(!help);
        FormControlView->setVisible(!help);
        if (tab == 0) FormControlSet->show();
        if (tab == 1) FormControlScan->show();
        if (help) {
            FormControlHelp->show();
            // The help page covers the place of the hidden view strip.
            Panel_Main->raise();
        }
    }
}

void TForm_Main::Action_UpdateUIExecute() {
    Image_Tab1_On->setVisible(ActiveTab == 0);
    Image_Tab1_Off->setVisible(ActiveTab != 0);
    Image_Tab2_On->setVisible(ActiveTab == 1);
    Image_Tab2_Off->setVisible(ActiveTab != 1);
    Image_Tab3_On->setVisible(ActiveTab == 2);
    Image_Tab3_Off->setVisible(ActiveTab != 2);
    if (FormControlSet) FormControlSet->Action_UpdateUI();
    if (FormControlScan) FormControlScan->Action_UpdateUI();
}

void TForm_Main::FormClose() {
    CloseRequested = true;
    // The service window goes with the main window.
    if (FormCalData) FormCalData->close();
    Action_RemoteServerStopExecute();
    Action_DeviceCloseExecute();
    Timer_AutoOpen->stop();
    for (int i = 0; i < 20; ++i)
        EventPump::SleepAndPump(100);
    if (FormControlScan) FormControlScan->FormClose();
}

void TForm_Main::RequestClose() {
    if (CloseRequested) return;
    FormClose();
    hide();
    QCoreApplication::quit();
}

void TForm_Main::closeEvent(QCloseEvent* event) {
    // The window system's close (Alt+F4, the task bar) follows the rules of the close button.
    event->ignore();
    Image_Title_Button2Click();
}

void TForm_Main::ReleaseAll() {
    if (Released) return;
    Released = true;
    // Connections still open (a window released without its close) must not report their end
    // to a window that is going.
    if (!CloseRequested) Action_RemoteServerStopExecute();
    delete RemoteServer;
    RemoteServer = nullptr;
    if (FormControlScan && !CloseRequested) FormControlScan->FormClose();
    delete FormControlView;
    FormControlView = nullptr;
    delete FormControlHelp;
    FormControlHelp = nullptr;
    delete FormControlScan;
    FormControlScan = nullptr;
    delete FormControlSet;
    FormControlSet = nullptr;
    Device.reset();
    Setup.reset();
    PortList.clear();
}
