// The simulator's end of the serial line: a pseudo-terminal whose slave side the program opens
// as its port, published under a stable name as a symbolic link.
#pragma once

#include <QByteArray>

#include <string>

namespace sim {

class PseudoTerminal {
public:
    PseudoTerminal() = default;
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;
    ~PseudoTerminal();

    // Creates the pair, puts the slave side in raw mode and keeps a descriptor of it open, so
    // that the master never sees a hang-up while the program opens and closes the port.
    bool Open(std::string& error);
    // Points `link` at the slave device, replacing an older link and creating missing folders.
    // Refuses to replace anything that is not a symbolic link.
    bool Publish(const QByteArray& link, std::string& error);
    // Removes the link, unless it was meanwhile pointed elsewhere (another simulator's).
    void Unpublish();
    // Closes both sides: the program's end of the line goes dead.
    void Close();

    int MasterFd() const { return master_; }
    const QByteArray& SlavePath() const { return slavePath_; }

private:
    int master_ = -1;
    int slave_ = -1;
    QByteArray slavePath_;
    QByteArray link_;
};

} // namespace sim
