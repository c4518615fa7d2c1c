#pragma once
// The steps the Set and Scan panels share around a device operation: the checks before it and
// the homing that both Reset buttons run. Local clicks report on the message bar only; remote
// requests also store their outcome for the client.

#include <QByteArray>
#include <QString>
#include <functional>

class IMainFacade;

namespace PanelOperation {

extern const QString kRemoteActive;
extern const QString kDeviceNotReady;
extern const QString kResetNotReady;
extern const QByteArray kDeviceBusy;
extern const QString kRemoteGone;

// True when `remote` and the client of the request has gone; the message bar then says so. The
// caller ends without starting anything new.
bool Abandoned(IMainFacade& main, bool remote);

// An unexpected error inside a remote operation is the client's "UNKNOWN ERROR".
void StoreUnknownError(IMainFacade& main, bool remote);

// Remote control, session, line and lock, in that order (a remote request whose client has gone
// ends silently at any of them). True: the device lock is taken and the
// operation may go on. False: what had to be shown (and, for a remote request, stored under
// `failWord`) is done.
bool Begin(IMainFacade& main, bool remote, const QString& notReady, const QByteArray& failWord);

// A failed read's message-bar line split for the result store: "ERRDV10 : text" gives the code
// "ERRDV10" and the 8-bit text "text".
struct StoredFailure {
    QByteArray Code;
    QByteArray Text;
};
StoredFailure SplitFailureLine(const QString& line);

// Go in a session whose information or calibration table could not be read: refused with the
// message of that read (a remote request stores its code and text under `failWord`), and the
// lock Begin took goes back. True when refused; false for a ready session.
bool RefuseUnlessReady(IMainFacade& main, bool remote, const QByteArray& failWord);

// The Reset button: homes the instrument between the pressed and released looks and gives the
// device lock back, whatever happens. In a session that is not ready it reads the device
// information and the calibration file again instead (a remote request never opens the file
// dialog), and homes the instrument when both are read.
void RunReset(IMainFacade& main, bool remote, const std::function<void(bool pressed)>& showPressed);

} // namespace PanelOperation
