// Device search and session, the facade for the panels, and the device information.
#include "app/Unit_FormMain.h"

#include "core/Unit_Colors.h"
#include "core/Unit_EventPump.h"
#include "core/Unit_Messages.h"
#include "core/Unit_Numbers.h"
#include "core/Unit_setupvuzaravarede.h"
#include "device/Unit_SerialPort.h"
#include "device/Unit_devicevuzaravarede.h"
#include "ui/Unit_FormControlHelp.h"
#include "ui/Unit_FormControlView.h"

#include <QTimer>

#include <cstdio>

namespace {

// The port list is kept sorted as text, case-insensitively, without duplicates, so that ports
// are tried in the order COM1, COM10, COM11, ..., COM2, ...
void AddSortedPort(QStringList& list, const QString& name) {
    qsizetype at = 0;
    for (; at < list.size(); ++at) {
        const int order = list[at].compare(name, Qt::CaseInsensitive);
        if (order == 0) return;
        if (order > 0) break;
    }
    list.insert(at, name);
}

} // namespace

void TForm_Main::Timer_AutoOpenTimer() {
    Timer_AutoOpen->stop();
    if (CloseRequested) {
        Action_DeviceCloseExecute();
        return;
    }
    // A line lost while an operation held the instrument was left to that operation; once the
    // instrument has been free for a whole tick with the line still gone, the session goes. The
    // tick gives the operation's own failure a moment on the message bar.
    if (DeviceOpened && IsLineGoneWhileIdle()) {
        if (++LineGoneTicks >= 2) HandleLineGoneWhileIdle();
    } else {
        LineGoneTicks = 0;
    }
    if (!DeviceOpened) {
        // A timer handler, so nothing may leave it into the event loop. The attempt catches what
        // the functions it is given throw; an allocation failing can still end it here. The
        // search never stops: the timer is armed again below whatever happened.
        try {
            Action_DeviceOpenExecute();
        } catch (...) {
        }
    }
    if (CloseRequested) {
        Action_DeviceCloseExecute();
        return;
    }
    Timer_AutoOpen->start();
}

void TForm_Main::Action_RefreshPortListExecute() {
    PortList.clear();
    const QString portsFolder = ExeFolder + QStringLiteral("ports/");
    bool problem = false;
    for (int n = 1; n <= 64; ++n) {
        const QString name = QStringLiteral("COM") + QString::number(n);
        const PortProbeResult probe =
            ProbePortFn ? ProbePortFn(name) : ProbePortDetailed(name, portsFolder);
        if (probe.Present) {
            AddSortedPort(PortList, name);
        } else if (!probe.Reason.isEmpty()) {
            problem = true;
            NotePortProblem(name,
                            QStringLiteral("%1 (%2): %3").arg(name, probe.Device, probe.Reason),
                            ShortReason(probe.Reason));
        }
    }
    // Nothing there and nothing wrong with what is there: no reason to show any more.
    if (!problem && PortList.isEmpty() && !LatestPortProblem.isEmpty()) {
        LatestPortProblem.clear();
        UpdateInstrumentHelpLine();
    }
}

void TForm_Main::NotePortProblem(const QString& port, const QString& line, const QString& brief) {
    LatestPortProblem = port + QStringLiteral(": ") + brief;
    if (ReportedPortProblems.value(port) != line) {
        ReportedPortProblems.insert(port, line);
        const QByteArray text = (QStringLiteral("VuzaRavarede: ") + line).toLocal8Bit();
        std::fprintf(stderr, "%s\n", text.constData());
        std::fflush(stderr);
        // The log is 8-bit text.
        if (Device)
            Device->WriteLog(QString(line).replace(QStringLiteral(" — "), QStringLiteral(" - ")));
    }
    UpdateInstrumentHelpLine();
}

void TForm_Main::UpdateInstrumentHelpLine() {
    if (!FormControlHelp) return;
    QString line;
    if (!DeviceOpened) {
        line = QStringLiteral("Instrument: searching");
        if (!LatestPortProblem.isEmpty()) line += QStringLiteral(" — ") + LatestPortProblem;
    } else {
        line = QStringLiteral("Instrument: ") + Setup->PortName;
    }
    FormControlHelp->SetInstrumentLine(line);
}

void TForm_Main::Action_DeviceOpenExecute() {
    if (CloseRequested || DeviceOpened) return;
    UpdateInstrumentHelpLine();
    try {
        if (PortIndex >= PortList.size()) {
            Action_RefreshPortListExecute();
            PortIndex = 0;
        }
        if (PortList.isEmpty()) {
            ShowStatusMessage(Messages::Text(Messages::ERRDV01), Colors::clMsgRed);
        } else {
            // Taken before the message pumps: a handler run inside it may rebuild the list.
            const QString port = PortList[PortIndex];
            const QString where = port + QStringLiteral(" (") +
                                  PortDeviceText(port, ExeFolder + QStringLiteral("ports/")) + u')';
            ShowStatusMessage(QStringLiteral("Searching device..."), Colors::clMsgSilver);
            Device->SetTimeOut(500);
            if (Device->Open(port, QStringLiteral("38400"))) {
                if (CloseRequested) return;
                if (Device->CommandDevice()) {
                    EventPump::PumpOnce();
                    if (CloseRequested) return;
                    const QString& expected = Setup->Info;
                    if (Device->DeviceId.left(expected.size()) == expected) {
                        if (CloseRequested) return;
                        // The session may also be closed by a handler run inside one of the
                        // pumps below; the sequence then stops like it does at shutdown.
                        const auto stopped = [this]() { return CloseRequested || !DeviceOpened; };
                        ReadFailureLine.clear();
                        // The loss of the line is reported from inside the port; it is handled
                        // later, from the event queue, never on the port's own stack.
                        connect(Device.get(), &TDevice_VuzaRavarede::LineLost, this,
                                &TForm_Main::HandleLineGoneWhileIdle,
                                Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
                        SessionOpening = true;
                        LineGoneTicks = 0;
                        ReportedPortProblems.remove(port);
                        LatestPortProblem.clear();
                        DeviceOpened = true;
                        DeviceInfoLoaded = false;
                        CalDataLoaded = false;
                        DeviceBusy = true;
                        ShowStatusMessage(QStringLiteral("Device found. Please wait..."),
                                          Colors::clMsgSilver);
                        for (int i = 0; i < OpenPauseRounds; ++i) {
                            if (stopped()) return;
                            EventPump::SleepAndPump(100);
                        }
                        Setup->PortName = port;
                        UpdateInstrumentHelpLine();
                        Device->SetTimeOut(Setup->TimeOut);
                        if (!RunSessionReads(true)) return;
                        Action_UpdateUIExecute();
                        SessionOpening = false;
                        DeviceBusy = false;
                        // A line lost during the start made its reads fail; the session goes now.
                        HandleLineGoneWhileIdle();
                        Timer_AutoOpen->start();
                        return;
                    }
                    NotePortProblem(port,
                                    QStringLiteral("%1 answered \"%2\"; the settings expect "
                                                   "\"%3\" ([Device] Info)")
                                        .arg(where, Device->DeviceId, expected),
                                    QStringLiteral("answered \"%1\"").arg(Device->DeviceId));
                } else if (!CloseRequested) {
                    NotePortProblem(port,
                                    where + QStringLiteral(": no answer to the identification"),
                                    QStringLiteral("no answer"));
                }
                // No answer, or another instrument: free the port for the next attempt.
                Device->Close();
            } else if (!Device->OpenFailure().isEmpty()) {
                NotePortProblem(port, where + QStringLiteral(": ") + Device->OpenFailure(),
                                ShortReason(Device->OpenFailure()));
            }
            ++PortIndex;
            ShowStatusMessage(QStringLiteral("Searching device..."), Colors::clMsgSilver);
        }
    } catch (...) {
        // The port probe is given from outside (tests set it) and may throw: the attempt ends
        // here and the panels are brought up to date as after any failed attempt.
    }
    Action_UpdateUIExecute();
}

bool TForm_Main::RunSessionReads(bool mayAskForFile) {
    const auto stopped = [this]() { return CloseRequested || !DeviceOpened; };
    if (stopped()) return false;
    ReadFailureLine.clear();
    ShowStatusMessage(QStringLiteral("Reading device infomation..."), Colors::clMsgSilver);
    Action_DeviceUpdateInfoExecute();
    if (stopped()) return false;
    ShowStatusMessage(QStringLiteral("Reading calibration data..."), Colors::clMsgSilver);
    CalDataDialogAllowed = mayAskForFile;
    Action_DeviceReadCalDataFromFileExecute();
    CalDataDialogAllowed = true;
    if (stopped()) return false;
    SendBken(false);
    if (stopped()) return false;
    if (DeviceInfoLoaded && CalDataLoaded) {
        HomeDevice();
        if (stopped()) return false;
        FormControlView->SetViewRange(MinCwl() - 10.0, MaxCwl() + 10.0);
        ShowStatusMessage(QStringLiteral("Device ready."), Colors::clMsgLime);
        if (stopped()) return false;
    }
    return true;
}

QString TForm_Main::SessionReadFailure() const {
    if (!DeviceOpened || (DeviceInfoLoaded && CalDataLoaded)) return QString();
    return ReadFailureLine.isEmpty() ? Messages::Text(Messages::ERRDV06) : ReadFailureLine;
}

bool TForm_Main::RereadSession(bool mayAskForFile) {
    if (!RunSessionReads(mayAskForFile)) return false;
    Action_UpdateUIExecute();
    return DeviceOpened && DeviceInfoLoaded && CalDataLoaded;
}

void TForm_Main::Action_DeviceCloseExecute() {
    ForgetBand();
    SessionOpening = false;
    DeviceOpened = false;
    DeviceInfoLoaded = false;
    CalDataLoaded = false;
    DeviceBusy = false;
    try {
        if (Device) Device->Close();
        Action_RefreshPortListExecute();
        PortIndex = 0;
        if (FormControlView) FormControlView->ClearView();
        UpdateInstrumentHelpLine();
        Action_UpdateUIExecute();
    } catch (...) {
        // The port probe is given from outside (tests set it) and may throw. The flags are
        // already cleared: the session counts as closed all the same.
    }
}

bool TForm_Main::IsLineGoneWhileIdle() const {
    return !CloseRequested && DeviceOpened && !DeviceBusy && Device && !Device->IsWaiting() &&
           !Device->IsReady();
}

void TForm_Main::HandleLineGoneWhileIdle() {
    // Whatever holds the instrument (an exchange waiting for its answer, a move, a scan, the
    // session's start) meets the dead line itself and reports it its own way.
    if (!IsLineGoneWhileIdle()) return;
    ShowStatusMessage(Messages::Text(Messages::ERRDV02), Colors::clMsgRed);
    // The message pumped events: an operation started meanwhile finds the line gone itself.
    if (!IsLineGoneWhileIdle()) return;
    Action_DeviceCloseExecute();
}

TSessionPhase TForm_Main::SessionPhase() const {
    if (!DeviceOpened) return {SessionPhaseKind::Searching, {}};
    if (SessionOpening) return {SessionPhaseKind::Opening, {}};
    if (DeviceBusy) return {SessionPhaseKind::Busy, {}};
    const QString failure = SessionReadFailure();
    if (!failure.isEmpty()) {
        const qsizetype colon = failure.indexOf(QStringLiteral(" : "));
        return {SessionPhaseKind::Unusable, failure.left(colon).toLatin1()};
    }
    return {SessionPhaseKind::Ready, {}};
}

bool TForm_Main::IsDeviceExchanging() const {
    return Device && Device->IsWaiting();
}

bool TForm_Main::TryLockDevice() {
    if (!DeviceOpened || DeviceBusy) return false;
    DeviceBusy = true;
    return true;
}

bool TForm_Main::UnlockDevice() {
    if (!DeviceOpened || !DeviceBusy) return false;
    DeviceBusy = false;
    return true;
}

bool TForm_Main::RefreshPositions() {
    if (!Device->CommandPos()) return false;
    Action_UpdateUIExecute();
    return true;
}

bool TForm_Main::HomeDevice() {
    ForgetBand();
    if (!DeviceOpened) return false;
    if (!Device->CommandHome()) return false;
    Action_UpdateUIExecute();
    return true;
}

bool TForm_Main::SendBken(bool on) {
    if (!DeviceOpened) return false;
    if (!Device->CommandBken(on)) return false;
    Action_UpdateUIExecute();
    return true;
}

void TForm_Main::Action_DeviceUpdateInfoExecute() {
    DeviceModel.clear();
    DeviceSerial.clear();
    DeviceRange.clear();
    DeviceMinWavelength = -1.0;
    DeviceMaxWavelength = -1.0;
    if (CloseRequested) return;

    bool good = false;
    if (Device->CommandInfo(0)) {
        DeviceModel = Device->GetInfo(0);
        EventPump::PumpOnce();
        good = true;
    }
    if (CloseRequested) return;
    if (good) {
        if (Device->CommandInfo(1)) {
            DeviceSerial = Device->GetInfo(1);
            EventPump::PumpOnce();
        } else {
            good = false;
        }
    }
    if (CloseRequested) return;
    if (good) {
        if (!Device->CommandInfo(2)) {
            good = false;
        } else {
            DeviceRange = Device->GetInfo(2);
            if (DeviceRange.size() != 11) {
                good = false;
            } else {
                // Characters 1-5 and 7-11; the separator between them is not examined.
                DeviceMinWavelength =
                    Numbers::RoundTo(Numbers::ReadDouble(DeviceRange.mid(0, 5), -1.0), 1);
                DeviceMaxWavelength =
                    Numbers::RoundTo(Numbers::ReadDouble(DeviceRange.mid(6, 5), -1.0), 1);
                if (DeviceMinWavelength < 0.0 || DeviceMaxWavelength < 0.0) good = false;
            }
        }
    }
    if (CloseRequested) return;
    if (Device->CommandPos()) {
        EventPump::PumpOnce();
    } else {
        good = false;
    }
    DeviceInfoLoaded = good;
    if (!good) ShowReadFailure(Messages::Text(Messages::ERRDV06));
}

QString TForm_Main::GetProductLabel() const {
    if (!DeviceOpened) return QStringLiteral("No Device");
    qint32 number = -1;
    const bool modelOk = DeviceModel.size() == 4 && DeviceModel[0] == u'F' &&
                         Numbers::TryReadInt(DeviceModel.mid(1, 3), number) && number >= 0;
    const bool rangeOk = DeviceMinWavelength >= 100.0 && DeviceMinWavelength <= 950.0 &&
                         DeviceMaxWavelength >= 100.0 && DeviceMaxWavelength <= 950.0 &&
                         DeviceMinWavelength < DeviceMaxWavelength;
    if (modelOk && rangeOk)
        return QStringLiteral("QVL-RARI-") + DeviceModel.mid(1, 3) + QStringLiteral(" ( ") +
               Numbers::FormatFixedEnUS(DeviceMinWavelength, 1) + QStringLiteral(" nm - ") +
               Numbers::FormatFixedEnUS(DeviceMaxWavelength, 1) + QStringLiteral(" nm )");
    return QStringLiteral("QVL-RARI (Unknown Model)");
}
