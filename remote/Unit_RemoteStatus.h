#pragma once
// Where the remote control can be reached, in words: the Help tab's line and the one line the
// program writes on stderr when it cannot listen.

#include <QString>

struct RemoteServerState {
    quint16 Port = 0;
    // The one address the server was told to use; empty: all addresses.
    QString Address;
    bool AddressGiven = false;
    bool Listening = false;
    // Another program holds the port.
    bool PortInUse = false;
    // Why the server does not listen, when it is not the port in use.
    QString Reason;
    // The controlling client's address; empty while no client holds control.
    QString Client;
};

// "Remote control: port 5050 on all addresses", "... on 127.0.0.1", with " — controlled by
// ADDRESS" while a client holds control, or "Remote control: off — port 5050 is in use".
QString RemoteHelpLine(const RemoteServerState& state);

// The stderr line when the server does not listen (empty when it does), naming the address, the
// port and the reason.
QString RemoteListenProblem(const RemoteServerState& state);
