#include "core/Unit_SafeFile.h"

#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace SafeFile {

bool IsRegularFile(const QString& path) {
    if (path.isEmpty()) return false;
    const QFileInfo info(path); // follows links
    return info.exists() && info.isFile();
}

bool OpenRegularFile(const QString& path, QFile& file) {
    if (path.isEmpty()) return false;
#ifdef Q_OS_UNIX
    // Opened without blocking (a FIFO without a writer would block a plain open for good), then
    // checked on the handle itself.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#else
    if (!IsRegularFile(path)) return false;
    file.setFileName(path);
    return file.open(QIODevice::ReadOnly);
#endif
}

bool ReadRegularFile(const QString& path, qint64 maxBytes, QByteArray& data) {
    data.clear();
    QFile file;
    if (!OpenRegularFile(path, file)) return false;
    if (file.size() > maxBytes) return false;
    // One byte more than allowed tells a file that grew since its size was taken.
    data = file.read(maxBytes + 1);
    if (file.error() != QFileDevice::NoError || data.size() > maxBytes) {
        data.clear();
        return false;
    }
    return true;
}

bool CopyRegularFile(const QString& from, const QString& to, qint64 maxBytes) {
    if (QFileInfo(to).isDir()) return false;
    QFile source;
    if (!OpenRegularFile(from, source)) return false;
    if (source.size() > maxBytes) return false;
    QSaveFile target(to);
    if (!target.open(QIODevice::WriteOnly)) return false;
    qint64 copied = 0;
    QByteArray chunk;
    for (;;) {
        chunk = source.read(256 * 1024);
        if (source.error() != QFileDevice::NoError) {
            target.cancelWriting();
            return false;
        }
        if (chunk.isEmpty()) break;
        copied += chunk.size();
        if (copied > maxBytes || target.write(chunk) != chunk.size()) {
            target.cancelWriting();
            return false;
        }
    }
    return target.commit();
}

} // namespace SafeFile
