#include "remote/Unit_RemoteStatus.h"

namespace {

QString Where(const RemoteServerState& state) {
    if (!state.AddressGiven) return QStringLiteral("all addresses");
    return state.Address.isEmpty() ? QStringLiteral("\"\"") : state.Address;
}

QString Why(const RemoteServerState& state) {
    if (state.PortInUse) return QStringLiteral("the port is in use by another program");
    return state.Reason.isEmpty() ? QStringLiteral("unknown error") : state.Reason;
}

} // namespace

QString RemoteHelpLine(const RemoteServerState& state) {
    const QString port = QString::number(state.Port);
    if (!state.Listening) {
        if (state.PortInUse)
            return QStringLiteral("Remote control: off — port %1 is in use").arg(port);
        return QStringLiteral("Remote control: off — port %1 on %2: %3")
            .arg(port, Where(state), Why(state));
    }
    QString line = QStringLiteral("Remote control: port %1 on %2").arg(port, Where(state));
    if (!state.Client.isEmpty()) line += QStringLiteral(" — controlled by ") + state.Client;
    return line;
}

QString RemoteListenProblem(const RemoteServerState& state) {
    if (state.Listening) return QString();
    const QString where =
        state.AddressGiven ? u'"' + state.Address + u'"' : QStringLiteral("all addresses");
    return QStringLiteral("VuzaRavarede: remote control cannot listen on %1 port %2: %3")
        .arg(where, QString::number(state.Port), Why(state));
}
