#include "control/Unit_PanelOperation.h"

#include "core/Unit_Colors.h"
#include "core/Unit_Messages.h"
#include "core/Unit_Text8.h"
#include "ui/Unit_MainFacade.h"

namespace PanelOperation {

const QString kRemoteActive = QStringLiteral("Remote control mode is activated.");
const QString kDeviceNotReady = QStringLiteral("Device not ready. Please connect QVL Rari.");
const QString kResetNotReady = QStringLiteral("Reset failure. Device not ready.");
const QByteArray kDeviceBusy = QByteArrayLiteral("Device busy.");
const QString kRemoteGone =
    QStringLiteral("Remote request cancelled: the client has disconnected.");

bool Abandoned(IMainFacade& main, bool remote) {
    if (!remote || !main.IsRemoteRequestAbandoned()) return false;
    main.ShowStatusMessage(kRemoteGone, Colors::clMsgSilver);
    return true;
}

void StoreUnknownError(IMainFacade& main, bool remote) {
    if (remote) main.SetRemoteResult("UNKNOWN ERROR", "NONE", "Unknown Error.");
}

bool Begin(IMainFacade& main, bool remote, const QString& notReady, const QByteArray& failWord) {
    // The remote client is the one in control; only local clicks are refused.
    if (!remote && main.IsRemoteControlled()) {
        main.ShowStatusMessage(kRemoteActive, Colors::clMsgSilver);
        return false;
    }
    if (remote && main.IsRemoteRequestAbandoned()) return false;
    if (!main.IsDeviceOpened()) {
        if (remote) main.SetRemoteResult(failWord, "NONE", Text8::FromWide(notReady));
        // A Go that cannot move anything is an error the user must see; Reset's notice stays.
        main.ShowStatusMessage(notReady,
                               notReady == kResetNotReady ? Colors::clMsgSilver : Colors::clMsgRed);
        return false;
    }
    // A remote operation that stops before doing anything says so: the client must not take
    // the previous request's result for this one's.
    const auto busy = [&]() {
        if (remote) main.SetRemoteResult(failWord, "NONE", kDeviceBusy);
        return false;
    };
    // While an exchange waits for its answer, a click handled inside it is refused before its
    // position query: the query would take that exchange's answer, and its failure would close
    // the session under the operation waiting for it. A lock held between exchanges (a scan
    // between its steps) is met after the query, which still checks the line.
    if (main.IsDeviceExchanging()) return busy();
    if (!main.RefreshPositions()) {
        if (remote)
            main.SetRemoteResult(failWord, Messages::Code(Messages::ERRDV02).toLatin1(),
                                 Text8::FromWide(Messages::Bare(Messages::ERRDV02)));
        main.ShowStatusMessage(Messages::Text(Messages::ERRDV02), Colors::clMsgRed);
        main.Action_DeviceCloseExecute();
        return false;
    }
    // The query pumped events: the client may have gone meanwhile.
    if (Abandoned(main, remote)) return false;
    return main.TryLockDevice() || busy();
}

StoredFailure SplitFailureLine(const QString& line) {
    const qsizetype colon = line.indexOf(QStringLiteral(" : "));
    return {line.left(colon).toLatin1(),
            Text8::FromWide(colon < 0 ? QString() : line.mid(colon + 3))};
}

namespace {

void StoreReadFailure(IMainFacade& main, const QByteArray& failWord, const QString& line) {
    const StoredFailure failure = SplitFailureLine(line);
    main.SetRemoteResult(failWord, failure.Code, failure.Text);
}

} // namespace

bool RefuseUnlessReady(IMainFacade& main, bool remote, const QByteArray& failWord) {
    const QString failure = main.SessionReadFailure();
    if (failure.isEmpty()) return false;
    if (remote) StoreReadFailure(main, failWord, failure);
    main.ShowStatusMessage(failure, Colors::clMsgRed);
    main.UnlockDevice();
    return true;
}

namespace {

// Reset in a session whose start-up reads failed: the reads of the session's start, again. The
// user has fixed what failed (put the right file in reach, checked the instrument) and retries
// without a restart.
void Reread(IMainFacade& main, bool remote) {
    if (main.RereadSession(!remote)) {
        if (remote) main.SetRemoteResult("RESET OK", QByteArray(), QByteArray());
    } else if (remote && !main.SessionReadFailure().isEmpty()) {
        StoreReadFailure(main, "RESET FAIL", main.SessionReadFailure());
    }
}

void Home(IMainFacade& main, bool remote) {
    main.ShowStatusMessage(QStringLiteral("Restarting device. Please wait..."),
                           Colors::clMsgSilver);
    if (Abandoned(main, remote)) return; // nothing new starts for a client that has gone
    if (main.HomeDevice()) {
        main.SetViewRange(main.MinCwl() - 10.0, main.MaxCwl() + 10.0);
        if (remote) main.SetRemoteResult("RESET OK", QByteArray(), QByteArray());
        main.ShowStatusMessage(QStringLiteral("Reset complete."), Colors::clMsgLime);
    } else {
        if (remote)
            main.SetRemoteResult("RESET FAIL", Messages::Code(Messages::ERRDV03).toLatin1(),
                                 Text8::FromWide(Messages::Bare(Messages::ERRDV03)));
        main.ShowStatusMessage(Messages::Text(Messages::ERRDV03), Colors::clMsgRed);
    }
}

} // namespace

void RunReset(IMainFacade& main, bool remote,
              const std::function<void(bool pressed)>& showPressed) {
    if (!Begin(main, remote, kResetNotReady, "RESET FAIL")) return;

    try {
        showPressed(true);
        if (!main.SessionReadFailure().isEmpty())
            Reread(main, remote);
        else
            Home(main, remote);
    } catch (...) {
        // The main window is reached through the facade the panel was given; a stand-in (or an
        // allocation failing) may throw. The client learns of it, and the button and the device
        // lock are given back below.
        StoreUnknownError(main, remote);
    }
    showPressed(false);
    main.UnlockDevice();
}

} // namespace PanelOperation
