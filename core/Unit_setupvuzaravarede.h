#pragma once
// The program's settings, read from "VuzaRavarede.ini" beside the executable at start and
// written back when the object is released at shutdown.

#include "core/Unit_setupbase.h"

#include <QString>

class TSetup_VuzaRavarede : public TSetup_Base {
public:
    // Reads folder + fileName, or takes the defaults when the file is missing or foreign. A file
    // that is there but not taken is named on stderr, with the reason.
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

    // Why the values of a file that is there were not taken (a foreign file: without this
    // program's [Info] Type; or one that cannot be read), as said on stderr at start; empty when
    // they were taken or there was no file.
    QString LoadProblem;

private:
    QString FindLoadProblem() const;
};
