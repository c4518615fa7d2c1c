#include "core/Unit_setupvuzaravarede.h"

#include "core/Unit_IniFile.h"
#include "core/Unit_Numbers.h"

#include <QFileInfo>

#include <cstdio>

namespace {

const QString kDefaultPortName = QStringLiteral("COM1");
const QString kDefaultBaudRate = QStringLiteral("38400");
constexpr qint32 kDefaultTimeOut = 1000;
const QString kDefaultInfo = QStringLiteral("Kravo FM Ver1.0");
constexpr bool kDefaultZeroToPos = true;
constexpr bool kDefaultDebugMode = false;
constexpr qint32 kDefaultPortNum = 5050;
constexpr bool kDefaultScanRecord = true;

qint32 ReadInteger(const TIniFile& ini, const char* section, const char* key, qint32 def) {
    const QString text = ini.ReadString(QLatin1String(section), QLatin1String(key), QString());
    qint32 value = def;
    return Numbers::TryReadIniInt(text, value) ? value : def;
}

bool ReadBool(const TIniFile& ini, const char* section, const char* key, bool def) {
    const QString text = ini.ReadString(QLatin1String(section), QLatin1String(key), QString());
    qint32 value = 0;
    return Numbers::TryReadIniInt(text, value) ? value != 0 : def;
}

} // namespace

TSetup_VuzaRavarede::TSetup_VuzaRavarede(const QString& folder, const QString& fileName)
    : Folder(folder), FileName(fileName) {
    SetDefaults();
    OpenFile(Folder + FileName);
    if (!Load()) {
        SetDefaults();
        LoadProblem = FindLoadProblem();
        if (!LoadProblem.isEmpty()) {
            std::fprintf(stderr, "VuzaRavarede: %s\n", LoadProblem.toLocal8Bit().constData());
            std::fflush(stderr);
        }
    }
}

QString TSetup_VuzaRavarede::FindLoadProblem() const {
    const QString path = Folder + FileName;
    if (!IsOpen) {
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink()) return {};
        return QStringLiteral("the settings file %1 cannot be read (it must be a readable regular "
                              "file of at most 1 MB); every value takes its default, and the "
                              "file is left as it is")
            .arg(path);
    }
    // A file with nothing in it is a new one: the program writes it at shutdown.
    if (!HasContent) return {};
    const QString type =
        Ini()->ReadString(QStringLiteral("Info"), QStringLiteral("Type"), QString());
    const QString why = type.isEmpty() ? QStringLiteral("it has no [Info] Type")
                                       : QStringLiteral("its [Info] Type is \"%1\"").arg(type);
    return QStringLiteral("the settings file %1 is not this program's: %2 (the program's own "
                          "files have Type=%3); every value takes its default, and the file is "
                          "written with the defaults when the program ends")
        .arg(path, why, QLatin1String(kFileType));
}

TSetup_VuzaRavarede::~TSetup_VuzaRavarede() {
    Save();
    CloseFile();
}

bool TSetup_VuzaRavarede::Load() {
    if (!IsOpen) return false;
    const TIniFile& ini = *Ini();
    if (ini.ReadString(QStringLiteral("Info"), QStringLiteral("Type"), QStringLiteral("Unknown")) !=
        QLatin1String(kFileType))
        return false;

    PortName =
        ini.ReadString(QStringLiteral("ComPort"), QStringLiteral("PortName"), kDefaultPortName);
    if (PortName.size() <= 3 || !PortName.startsWith(QLatin1String("COM")))
        PortName = kDefaultPortName;

    BaudRate =
        ini.ReadString(QStringLiteral("ComPort"), QStringLiteral("BaudRate"), kDefaultBaudRate);
    qint32 baud = 0;
    if (!Numbers::TryReadIniInt(BaudRate, baud) || baud < 100 || baud > 1000000)
        BaudRate = kDefaultBaudRate;

    TimeOut = ReadInteger(ini, "ComPort", "TimeOut", kDefaultTimeOut);
    if (TimeOut < 100 || TimeOut > 60000) TimeOut = kDefaultTimeOut;

    Info = ini.ReadString(QStringLiteral("Device"), QStringLiteral("Info"), kDefaultInfo);
    ZeroToPos = ReadBool(ini, "Device", "ZeroToPos", kDefaultZeroToPos);
    DebugMode = ReadBool(ini, "Device", "DebugMode", kDefaultDebugMode);

    PortNum = ReadInteger(ini, "Remote", "PortNum", kDefaultPortNum);
    if (PortNum < 1 || PortNum > 65535) PortNum = kDefaultPortNum;

    ScanRecord = ReadBool(ini, "Scan", "Record", kDefaultScanRecord);
    return true;
}

bool TSetup_VuzaRavarede::Save() {
    if (!IsOpen) return false;
    TIniFile& ini = *Ini();
    ini.WriteString(QStringLiteral("Info"), QStringLiteral("Type"), QLatin1String(kFileType));
    ini.WriteString(QStringLiteral("ComPort"), QStringLiteral("PortName"), PortName);
    ini.WriteString(QStringLiteral("ComPort"), QStringLiteral("BaudRate"), BaudRate);
    ini.WriteString(QStringLiteral("ComPort"), QStringLiteral("TimeOut"), QString::number(TimeOut));
    ini.WriteString(QStringLiteral("Device"), QStringLiteral("Info"), Info);
    ini.WriteString(QStringLiteral("Device"), QStringLiteral("ZeroToPos"),
                    ZeroToPos ? QStringLiteral("1") : QStringLiteral("0"));
    ini.WriteString(QStringLiteral("Device"), QStringLiteral("DebugMode"),
                    DebugMode ? QStringLiteral("1") : QStringLiteral("0"));
    ini.WriteString(QStringLiteral("Remote"), QStringLiteral("PortNum"), QString::number(PortNum));
    ini.WriteString(QStringLiteral("Scan"), QStringLiteral("Record"),
                    ScanRecord ? QStringLiteral("1") : QStringLiteral("0"));
    return ini.UpdateFile();
}

void TSetup_VuzaRavarede::SetDefaults() {
    PortName = kDefaultPortName;
    BaudRate = kDefaultBaudRate;
    TimeOut = kDefaultTimeOut;
    Info = kDefaultInfo;
    ZeroToPos = kDefaultZeroToPos;
    DebugMode = kDefaultDebugMode;
    PortNum = kDefaultPortNum;
    ScanRecord = kDefaultScanRecord;
}
