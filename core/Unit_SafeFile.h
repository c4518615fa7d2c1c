#pragma once
// Opening the program's files safely: only a regular file (or a link to one) is opened, and
// never in a way that can block. A FIFO, a device or a folder in a file's place counts as a file
// that cannot be read.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace SafeFile {

// True when `path` names a regular file, directly or through links.
bool IsRegularFile(const QString& path);

// Opens `path` for reading into `file` only when it is a regular file; false otherwise (missing,
// FIFO, device, folder, no access). The check is made on the opened handle, so a file swapped
// for something else after a look at its name is still refused.
bool OpenRegularFile(const QString& path, QFile& file);

// Reads a regular file of at most `maxBytes` whole into `data`. False for anything else, also
// for a file that is larger.
bool ReadRegularFile(const QString& path, qint64 maxBytes, QByteArray& data);

// Copies a regular file of at most `maxBytes` over `to`, through a temporary file beside `to`
// renamed into place, in pieces. False when `from` is not such a file or `to` is a folder.
bool CopyRegularFile(const QString& from, const QString& to, qint64 maxBytes);

} // namespace SafeFile
