#pragma once
// The program's settings, read from "VuzaRavarede.ini" beside the executable at start and
// written back when the object is released at shutdown.

#include "core/Unit_setupbase.h"

#include <QString>

class TSetup_VuzaRavarede : public TSetup_Base {
public:
    // Reads folder + fileName, or takes the defaults when the file is missing or foreign.
    TSetup_VuzaRavarede(const QString& folder, const QString& fileName);
    // Writes the file back.
    ~TSetup_VuzaRavarede() override;

    bool Load() override;
    bool Save() override;
    void SetDefaults() override;

    static constexpr const char* kFileType = "QVL Rari v2";

    QString Folder;
    QString FileName;
    QString PortName;
    QString BaudRate;
    qint32 TimeOut = 1000;
    QString Info;
    bool ZeroToPos = true;
    bool DebugMode = false;
    qint32 PortNum = 5050;
    // [Scan] Record: every scan writes its record into Scans/ beside the program; 0 turns it off.
    bool ScanRecord = true;
};
