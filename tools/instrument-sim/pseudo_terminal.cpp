#include "pseudo_terminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

PseudoTerminal::~PseudoTerminal() {
    Unpublish();
    Close();
}

bool PseudoTerminal::Open(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
        error = Errno("posix_openpt");
        return false;
    }
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = Errno("grantpt/unlockpt");
        Close();
        return false;
    }
    const char* name = ptsname(master_);
    if (!name) {
        error = Errno("ptsname");
        Close();
        return false;
    }
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        error = Errno("open slave");
        Close();
        return false;
    }
    // Raw before anyone can open it: no echo of the commands, no CR/LF translation.
    termios tio{};
    if (tcgetattr(slave_, &tio) != 0) {
        error = Errno("tcgetattr");
        Close();
        return false;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    if (tcsetattr(slave_, TCSANOW, &tio) != 0) {
        error = Errno("tcsetattr");
        Close();
        return false;
    }
    // The event loop reads and writes the master; it must never block there.
    const int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = Errno("fcntl");
        Close();
        return false;
    }
    return true;
}

bool PseudoTerminal::Publish(const QByteArray& link, std::string& error) {
    namespace fs = std::filesystem;
    const fs::path path(link.toStdString());
    std::error_code ec;
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path(), ec);
        if (ec) {
            error = "cannot create " + path.parent_path().string() + ": " + ec.message();
            return false;
        }
    }
    struct stat st {};
    if (lstat(link.constData(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = link.toStdString() + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    // Build the link beside its final name and rename it over: the name never dangles.
    const QByteArray temp = link + ".sim-" + QByteArray::number(getpid());
    ::unlink(temp.constData());
    if (::symlink(slavePath_.constData(), temp.constData()) != 0) {
        error = Errno("symlink");
        return false;
    }
    if (::rename(temp.constData(), link.constData()) != 0) {
        error = Errno("rename");
        ::unlink(temp.constData());
        return false;
    }
    link_ = link;
    return true;
}

void PseudoTerminal::Unpublish() {
    if (link_.isEmpty()) return;
    char target[4096];
    const ssize_t n = ::readlink(link_.constData(), target, sizeof target - 1);
    if (n >= 0 && QByteArray(target, n) == slavePath_) ::unlink(link_.constData());
    link_.clear();
}

void PseudoTerminal::Close() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
}

} // namespace sim
