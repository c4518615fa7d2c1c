// The settings file on arbitrary bytes: read at start, written back at the end. Whatever the file
// held, the values taken are in their ranges, and what was written reads back as the same values
// and is written again unchanged.

#include "core/Unit_setupvuzaravarede.h"
#include "fuzz/FuzzCheck.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

const QString FileName = QStringLiteral("VuzaRavarede.ini");

struct Values {
    QString PortName, BaudRate, Info;
    qint32 TimeOut, PortNum;
    bool ZeroToPos, DebugMode;
    bool operator==(const Values&) const = default;
};

Values Take(const TSetup_VuzaRavarede& s) {
    return {s.PortName, s.BaudRate, s.Info, s.TimeOut, s.PortNum, s.ZeroToPos, s.DebugMode};
}

void CheckRanges(const Values& v) {
    FUZZ_CHECK(v.PortName.size() > 3 && v.PortName.startsWith(QLatin1String("COM")));
    FUZZ_CHECK(v.TimeOut >= 100 && v.TimeOut <= 60000);
    FUZZ_CHECK(v.PortNum >= 1 && v.PortNum <= 65535);
    FUZZ_CHECK(!v.BaudRate.isEmpty());
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    // Every settings write is synced to the disk; in memory that costs nothing.
    static QTemporaryDir dir((QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm")
                                                                        : QDir::tempPath()) +
                             QStringLiteral("/vr-fuzz-settings-XXXXXX"));
    FUZZ_CHECK(dir.isValid());
    const QString folder = dir.path() + u'/';
    const QString path = folder + FileName;
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
    }

    Values first;
    {
        TSetup_VuzaRavarede setup(folder, FileName);
        FUZZ_CHECK(setup.IsOpen);
        first = Take(setup);
        CheckRanges(first);
    } // written back here
    const QByteArray written = ReadAll(path);

    {
        TSetup_VuzaRavarede setup(folder, FileName);
        FUZZ_CHECK(Take(setup) == first);
    }
    FUZZ_CHECK(ReadAll(path) == written);
    return 0;
}
