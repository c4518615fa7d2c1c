#include "core/Unit_setupbase.h"

#include "core/Unit_IniFile.h"
#include "core/Unit_SafeFile.h"

#include <QFile>
#include <QFileInfo>

TSetup_Base::TSetup_Base() = default;

TSetup_Base::~TSetup_Base() {
    CloseFile();
}

bool TSetup_Base::OpenFile(const QString& path) {
    if (IsOpen) CloseFile();
    if (path.isEmpty()) return false;
    // An existing file must be a readable regular file of sane size; a missing one is created
    // empty at once. Anything else in its place (a FIFO, a device, a folder, a broken link) is
    // left alone.
    QByteArray content;
    const QFileInfo info(path);
    if (info.exists() || info.isSymLink()) {
        if (!SafeFile::ReadRegularFile(path, MaxFileBytes, content)) return false;
    } else {
        QFile created(path);
        if (!created.open(QIODevice::WriteOnly | QIODevice::NewOnly)) return false;
    }
    HasContent = !content.trimmed().isEmpty();
    IniFile = std::make_unique<TIniFile>(path, content);
    IsOpen = true;
    return true;
}

void TSetup_Base::CloseFile() {
    IniFile.reset();
    IsOpen = false;
    HasContent = false;
}
