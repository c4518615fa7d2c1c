#pragma once
// The main window: the hub that owns the settings, the driver, the calibration table, the
// session flags, the docked panels and the timers for the whole run.
//
// Its behaviour is spread over units by subsystem, one class in several units:
//   Unit_FormMain.cpp          start-up, shutdown, tab switching
//   Unit_FormMainSession.cpp   device search and session, facade, device information
//   Unit_FormMainCalData.cpp   table lookups, MoveTo, calibration file import
//   Unit_FormMainRemote.cpp    the remote server's host: request processing, result store
//   Unit_FormMainSkin.cpp      skin, title bar, slider, tabs, message bar
//   Unit_FormMainScan.cpp      scan records, the scan's progress, the band last moved to
// The panels see it only as IMainFacade.

#include "caldata/Unit_CalibrationTable.h"
#include "device/Unit_SerialPort.h"
#include "remote/Unit_RemoteProtocol.h"
#include "remote/Unit_RemoteQueries.h"
#include "remote/Unit_RemoteServer.h"
#include "remote/Unit_RemoteStatus.h"
#include "ui/Unit_MainFacade.h"

#include <QByteArray>
#include <QHash>
#include <QLocale>
#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QTimer;
class TDevice_VuzaRavarede;
class TSetup_VuzaRavarede;
class TSkinImage;
class TScanProgress;
class TForm_ControlSet;
class TForm_ControlScan;
class TForm_ControlHelp;
class TForm_ControlView;
class TForm_CalData;

// Where the instrument session stands. Opening: found, in the pause, the reads and the homing of
// the session's start. Busy: an operation holds the instrument. Unusable: open, but the
// information or the calibration table could not be read; Code names that read's failure
// ("ERRDV06", "ERRDV10", ...).
enum class SessionPhaseKind { Searching, Opening, Ready, Busy, Unusable };
struct TSessionPhase {
    SessionPhaseKind Phase = SessionPhaseKind::Searching;
    QByteArray Code;
};

class TForm_Main : public QWidget, public IMainFacade, private IRemoteHost {
    Q_OBJECT
public:
    // Creates the window and runs the start-up (FormCreate). `exeFolder` is the program's folder:
    // the settings file, Log/, Cal/ and ports/ lie in it. `remoteListen` keeps the remote server
    // to one local address (an IP address text); none: all addresses.
    explicit TForm_Main(const QString& exeFolder,
                        const std::optional<QString>& remoteListen = std::nullopt,
                        QWidget* parent = nullptr);
    ~TForm_Main() override;

    // Shutdown steps that run while the event loop is still alive (FormClose). Safe to call more
    // than once; the window then closes and the application leaves its event loop.
    void RequestClose();
    // Releases the panels, the driver (closing its port), the settings (writing the file) and the
    // port list, in that order. Called once the event loop has ended, so that no nested handler
    // is still running on them.
    void ReleaseAll();

    // ---- start-up and shutdown
    void FormCreate();
    void FormClose();
    void Action_ChangeModeExecute();
    void Action_UpdateUIExecute();

    // ---- device search and session
    void Timer_AutoOpenTimer();
    void Action_RefreshPortListExecute();
    void Action_DeviceOpenExecute();
    void Action_DeviceCloseExecute() override;
    bool IsDeviceOpened() const override { return DeviceOpened; }
    // A device exchange is waiting for its answer (a handler is running nested inside it).
    bool IsDeviceExchanging() const override;
    bool IsDeviceBusy() const override { return DeviceBusy; }
    bool IsCloseRequested() const override { return CloseRequested; }
    bool TryLockDevice() override;
    bool UnlockDevice() override;
    bool RefreshPositions() override;
    bool HomeDevice() override;
    bool SendBken(bool on) override;
    QString SessionReadFailure() const override;
    bool RereadSession(bool mayAskForFile) override;
    // The session's phase, from what the window holds: no exchange with the instrument.
    TSessionPhase SessionPhase() const;

    // ---- device information
    void Action_DeviceUpdateInfoExecute();
    QString GetProductLabel() const override;

    // ---- calibration table (every lookup answers 0.0 / false unless a session is open and a
    // table is loaded)
    double MinCwl() const override;
    double MaxCwl() const override;
    double MinFwhm() const override;
    double MaxFwhm() const override;
    double CwlStep() const override;
    double MinCwlAtFwhm(double fwhm) const override;
    double MaxCwlAtFwhm(double fwhm) const override;
    double MinFwhmAtCwl(double cwl) const override;
    double MaxFwhmAtCwl(double cwl) const override;
    bool IsCwlInTable(double cwl) const override;
    bool MoveTo(double cwl, double fwhm) override;
    void Action_DeviceReadCalDataFromFileExecute();

    // The calibration file dialog; tests answer it without a window. Receives the title and the
    // preset file name, returns the chosen path or an empty text for a cancel.
    using CalDataDialog = std::function<QString(const QString& title, const QString& presetName)>;
    void SetCalDataDialog(CalDataDialog dialog) { OpenDialog_CalData = std::move(dialog); }
    // The folder the file dialog opens in: the current folder ("."), where the delivered files
    // are looked for first, when it holds a *.csv file; otherwise the program's folder.
    static QString CalDataDialogFolder(const QString& currentFolder, const QString& exeFolder);

    // ---- remote server (TRemoteServer) and the result store it answers from
    void SetRemoteResult(const QByteArray& response, const QByteArray& code,
                         const QByteArray& text) override;
    bool IsRemoteControlled() const override;
    void StoreScanEndReport(const QByteArray& response, const QByteArray& code,
                            const QByteArray& text) override;
    bool IsRemoteRequestAbandoned() const override;
    void Action_RemoteServerStartExecute();
    void Action_RemoteServerStopExecute();
    void Action_RemoteServerProcessExecute();
    // The server's state, read from it: a client holds control (or its departure is being
    // handled), a request loop runs, the open connections, the bytes of the line not yet ended.
    bool RemoteConnected() const;
    bool RemoteBusy() const;
    qint32 RemoteClientCount() const;
    const RemoteLineBuffer& RemoteRxBuffer() const;
    // The port the remote server listens on, 0 when it does not listen.
    quint16 RemoteServerPort() const;
    // Where the remote control is reached, whether it listens and why not, and who holds it.
    RemoteServerState RemoteServerStatus() const;

    // ---- message bar
    void ShowStatusMessage(const QString& text, unsigned color) override;

    // ---- scan record, progress and read-back
    QString ScanRecordFolder() const override;
    RecordDescription DescribeForScanRecord() const override;
    void ReportScanRecordFailure(const QString& reason) override;
    bool GridPositions(double cwl, double fwhm, qint32 positions[3]) const override;
    void ShowScanProgress(qint32 done, qint32 total, double secondsLeft) override;
    // The answer to a PROGRESS request: "done,total,elapsed,remaining".
    QByteArray ProgressReply() const;
    // The answer to a BAND request: "cwl,fwhm,sw,lw" of the grid point last moved to, or "NONE".
    QByteArray BandReply() const;
    // What SESSION answers: the session's phase and the scan's, without an exchange.
    SessionState RemoteSessionState() const;
    // What LIMITS and CHECK need besides the table.
    RemoteQueryFacts RemoteFacts() const;
    // The filter's position is no longer a known band (homing, a failed move, no session).
    void ForgetBand();

    // ---- view strip
    void SetViewRange(double lo, double hi) override;
    void ShowViewSetting(double lo, double hi, double cwl, double fwhm, double sw,
                         double lw) override;

    // ---- skin handlers
    void Image_Title_BaseMouseDown(Qt::MouseButton button);
    void Image_Title_Button1Click();
    void Image_Title_Button2Click();
    void Image_Slide_ButtonMouseDown(int x);
    void Image_Slide_ButtonMouseMove(int x);
    void Image_Slide_ButtonMouseUp();
    void Image_Tab1Click();
    void Image_Tab2Click();
    void Image_Tab3Click();
    void Image_Message_BaseDblClick();

    // Test seam: the 5-second pause after identification, in 100 ms rounds (50 by default).
    void SetOpenPauseRounds(int rounds) { OpenPauseRounds = rounds; }
    // Test seam: how the port list learns whether "COMn" is present (by default an exclusive
    // open and close of the port the name maps to), and why it cannot be used.
    using PortProbe = std::function<PortProbeResult(const QString& comName)>;
    void SetPortProbe(PortProbe probe) { ProbePortFn = std::move(probe); }

    // ---- fields, in the order of the program's data model
    QString ExeFolder;
    QLocale FormatSettingsEnUS;
    QStringList PortList;
    qint32 PortIndex = 0;
    qint32 ActiveTab = 0;
    bool DeviceOpened = false;
    bool DeviceInfoLoaded = false;
    bool CalDataLoaded = false;
    bool DeviceBusy = false;
    bool CloseRequested = false;

    QString DeviceModel;
    QString DeviceSerial;
    QString DeviceRange;
    double DeviceMinWavelength = -1.0;
    double DeviceMaxWavelength = -1.0;

    QByteArray RemoteResponse;
    QByteArray RemoteErrorCode;
    QByteArray RemoteErrorText;
    // The request line being processed (empty between requests).
    QByteArray RemoteRequest;
    // The answer of a read-only request (PROGRESS, BAND, SESSION, LIMITS, CHECK), sent instead
    // of the stored response.
    std::optional<QByteArray> RemoteReadBack;
    // A scan's end report that the controlling client has not read with an empty line yet.
    QByteArray RemoteEndReport;

    bool SliderDragging = false;
    qint32 SliderGrabX = 0;

    std::unique_ptr<TSetup_VuzaRavarede> Setup;
    std::unique_ptr<TDevice_VuzaRavarede> Device;
    CalibrationTable Table;

    TForm_ControlSet* FormControlSet = nullptr;
    TForm_ControlScan* FormControlScan = nullptr;
    TForm_ControlHelp* FormControlHelp = nullptr;
    TForm_ControlView* FormControlView = nullptr;
    // The calibration data window while it is open; forgotten when it closes.
    QPointer<TForm_CalData> FormCalData;

    QTimer* Timer_AutoOpen = nullptr;
    // Listens for remote clients and runs their requests through this window; released by
    // ReleaseAll.
    TRemoteServer* RemoteServer = nullptr;

    // ---- controls
    QWidget* Panel_Title = nullptr;
    QWidget* Panel_TabControl = nullptr;
    QWidget* Panel_Main = nullptr;
    QWidget* Panel_View = nullptr;
    QWidget* Panel_Message = nullptr;
    TSkinImage* Image_Title_Base = nullptr;
    TSkinImage* Image_Title_Button1 = nullptr;
    TSkinImage* Image_Title_Button2 = nullptr;
    TSkinImage* Image_Slide_Base = nullptr;
    TSkinImage* Image_Slide_Button = nullptr;
    TSkinImage* Image_Tab1_On = nullptr;
    TSkinImage* Image_Tab1_Off = nullptr;
    TSkinImage* Image_Tab2_On = nullptr;
    TSkinImage* Image_Tab2_Off = nullptr;
    TSkinImage* Image_Tab3_On = nullptr;
    TSkinImage* Image_Tab3_Off = nullptr;
    TSkinImage* Image_Message_Base = nullptr;
    QLabel* Label_Message = nullptr;
    TScanProgress* ScanProgress = nullptr;

    // The grid point the filter was last moved to; BandKnown false when homed or unknown.
    bool BandKnown = false;
    double BandCwl = 0.0;
    double BandFwhm = 0.0;

signals:
    // Every message-bar line, as it is shown.
    void StatusMessageShown(const QString& text, unsigned color);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildSkin();
    // Selects a tab for a remote request (also while the device is busy, unlike a click).
    void SelectTabForRemote(int tab);
    // ---- as the remote server's host
    bool IsRemoteShuttingDown() const override;
    QByteArray AnswerRemoteRequest(const QByteArray& line) override;
    bool MustWaitForInstrument(bool stop) const override;
    void RequestScanStop() override;
    bool StopScanOfDepartedClient() override;
    void RemoteControlChanged(bool controlled) override;
    void RemoteStatusChanged() override;
    void WriteRemoteLog(const QString& line) override;
    void SelectTabByClick(int tab);
    QString ShowCalDataDialog(const QString& title, const QString& presetName);
    // The reads of the session's start: information, calibration file, BKEN, and with both in
    // hand the homing and "Device ready.". False when the session closed or the program began
    // to close meanwhile: the caller then stops as at shutdown.
    bool RunSessionReads(bool mayAskForFile);
    // Shows a failed read's red line and keeps it for SessionReadFailure.
    void ShowReadFailure(const QString& line);
    // The session is open and nothing holds the instrument, but its line is gone.
    bool IsLineGoneWhileIdle() const;
    // Handles such a line as an operation handles a lost one: ERRDV02, session closed.
    void HandleLineGoneWhileIdle();
    // The session's start runs (from identification to its end); ticks the search timer has
    // seen a dead line while idle.
    bool SessionOpening = false;
    int LineGoneTicks = 0;
    // Why the search does not find the instrument: each port's reason is said once (stderr and
    // the communication log) until it changes; the latest one ("COM1: permission denied") is
    // shown on the Help tab while searching.
    void NotePortProblem(const QString& port, const QString& line, const QString& brief);
    void UpdateInstrumentHelpLine();
    QHash<QString, QString> ReportedPortProblems;
    QString LatestPortProblem;

    CalDataDialog OpenDialog_CalData;
    // The line of the last failed read of this session; the import opens no dialog while
    // CalDataDialogAllowed is false (it then fails as a cancelled one does).
    QString ReadFailureLine;
    bool CalDataDialogAllowed = true;
    PortProbe ProbePortFn;
    int OpenPauseRounds = 50;
    bool Released = false;

    std::optional<QString> RemoteListenAddress;
    // Tells the Help tab where the remote control is and who holds it.
    void UpdateRemoteHelpLine();
};
