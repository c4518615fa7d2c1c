#include "core/Unit_setupbase.h"

#include "core/Unit_IniFile.h"

#include <QFile>

TSetup_Base::TSetup_Base() = default;

TSetup_Base::~TSetup_Base() {
    CloseFile();
}

bool TSetup_Base::OpenFile(const QString& path) {
    if (IsOpen) CloseFile();
    if (path.isEmpty()) return false;
    QFile probe(path);
    // An existing file must be readable; a missing one is created empty at once.
    const QIODevice::OpenMode mode =
        QFile::exists(path) ? QIODevice::ReadOnly : (QIODevice::WriteOnly | QIODevice::NewOnly);
    if (!probe.open(mode)) return false;
    probe.close();
    IniFile = std::make_unique<TIniFile>(path);
    IsOpen = true;
    return true;
}

void TSetup_Base::CloseFile() {
    IniFile.reset();
    IsOpen = false;
}
