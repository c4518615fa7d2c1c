// The settings file: defaults, ranges, a foreign file, the order of keys, no write when the
// folder is read-only.
#include "core/Unit_setupvuzaravarede.h"
#include "support/StderrCapture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kDefaultFile = "[Info]\n"
                                 "Type=QVL Rari v2\n"
                                 "\n"
                                 "[ComPort]\n"
                                 "PortName=COM1\n"
                                 "BaudRate=38400\n"
                                 "TimeOut=1000\n"
                                 "\n"
                                 "[Device]\n"
                                 "Info=Kravo FM Ver1.0\n"
                                 "ZeroToPos=1\n"
                                 "DebugMode=0\n"
                                 "\n"
                                 "[Remote]\n"
                                 "PortNum=5050\n"
                                 "\n"
                                 "[Scan]\n"
                                 "Record=1\n";

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void WriteAll(const QString& path, const QByteArray& data) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void missingFileIsCreatedEmptyThenFilled() {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const QString path = folder + "VuzaRavarede.ini";
        {
            TSetup_VuzaRavarede setup(folder, "VuzaRavarede.ini");
            QVERIFY(setup.IsOpen);
            QCOMPARE(ReadAll(path), QByteArray());
            QCOMPARE(setup.PortName, QStringLiteral("COM1"));
        }
        QCOMPARE(ReadAll(path), QByteArray(kDefaultFile));
    }

    void values_data() {
        QTest::addColumn<QByteArray>("comPort");
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<QByteArray>("remote");
        QTest::addColumn<QString>("portName");
        QTest::addColumn<QString>("baudRate");
        QTest::addColumn<int>("timeOut");
        QTest::addColumn<bool>("debugMode");
        QTest::addColumn<int>("portNum");
        QTest::newRow("all good") << QByteArray("PortName=COM12\nBaudRate=9600\nTimeOut=500")
                                  << QByteArray("DebugMode=1") << QByteArray("PortNum=6000")
                                  << "COM12"
                                  << "9600" << 500 << true << 6000;
        QTest::newRow("lower-case com")
            << QByteArray("PortName=com5") << QByteArray() << QByteArray() << "COM1"
            << "38400" << 1000 << false << 5050;
        QTest::newRow("bare COM") << QByteArray("PortName=COM") << QByteArray() << QByteArray()
                                  << "COM1"
                                  << "38400" << 1000 << false << 5050;
        QTest::newRow("baud too low")
            << QByteArray("BaudRate=99") << QByteArray() << QByteArray() << "COM1"
            << "38400" << 1000 << false << 5050;
        QTest::newRow("baud too high")
            << QByteArray("BaudRate=2000000") << QByteArray() << QByteArray() << "COM1"
            << "38400" << 1000 << false << 5050;
        QTest::newRow("baud unusual kept")
            << QByteArray("BaudRate=250000") << QByteArray() << QByteArray() << "COM1"
            << "250000" << 1000 << false << 5050;
        QTest::newRow("timeout too low")
            << QByteArray("TimeOut=99") << QByteArray() << QByteArray() << "COM1"
            << "38400" << 1000 << false << 5050;
        QTest::newRow("timeout hex")
            << QByteArray("TimeOut=0x2710") << QByteArray() << QByteArray() << "COM1"
            << "38400" << 10000 << false << 5050;
        QTest::newRow("timeout word")
            << QByteArray("TimeOut=fast") << QByteArray() << QByteArray() << "COM1"
            << "38400" << 1000 << false << 5050;
        QTest::newRow("port zero")
            << QByteArray() << QByteArray() << QByteArray("PortNum=0") << "COM1"
            << "38400" << 1000 << false << 5050;
        QTest::newRow("port too high")
            << QByteArray() << QByteArray() << QByteArray("PortNum=70000") << "COM1"
            << "38400" << 1000 << false << 5050;
        QTest::newRow("debug yes")
            << QByteArray() << QByteArray("DebugMode=yes") << QByteArray() << "COM1"
            << "38400" << 1000 << false << 5050;
        QTest::newRow("debug two")
            << QByteArray() << QByteArray("DebugMode=2") << QByteArray() << "COM1"
            << "38400" << 1000 << true << 5050;
        QTest::newRow("binary garbage")
            << QByteArray("TimeOut=\x01\xff\x80") << QByteArray("\x00\xfe=\x01")
            << QByteArray("PortNum= 7000 ") << "COM1"
            << "38400" << 1000 << false << 7000;
    }
    void values() {
        QFETCH(QByteArray, comPort);
        QFETCH(QByteArray, device);
        QFETCH(QByteArray, remote);
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        WriteAll(folder + "VuzaRavarede.ini", "[Info]\r\nType=QVL Rari v2\r\n[ComPort]\r\n" +
                                                  comPort + "\r\n[Device]\r\n" + device +
                                                  "\r\n[Remote]\r\n" + remote + "\r\n");
        TSetup_VuzaRavarede setup(folder, "VuzaRavarede.ini");
        QTEST(setup.PortName, "portName");
        QTEST(setup.BaudRate, "baudRate");
        QTEST(int(setup.TimeOut), "timeOut");
        QTEST(setup.DebugMode, "debugMode");
        QTEST(int(setup.PortNum), "portNum");
        QCOMPARE(setup.Info, QStringLiteral("Kravo FM Ver1.0"));
        QCOMPARE(setup.ZeroToPos, true);
    }

    // The scan record switch: on unless the file says 0, written back as it was read.
    void scanRecordSwitch_data() {
        QTest::addColumn<QByteArray>("scan");
        QTest::addColumn<bool>("record");
        QTest::newRow("missing section") << QByteArray() << true;
        QTest::newRow("off") << QByteArray("[Scan]\nRecord=0\n") << false;
        QTest::newRow("on") << QByteArray("[Scan]\nRecord=1\n") << true;
        QTest::newRow("not a number") << QByteArray("[Scan]\nRecord=off\n") << true;
    }
    void scanRecordSwitch() {
        QFETCH(QByteArray, scan);
        QFETCH(bool, record);
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const QString path = folder + "VuzaRavarede.ini";
        WriteAll(path, "[Info]\nType=QVL Rari v2\n" + scan);
        {
            TSetup_VuzaRavarede setup(folder, "VuzaRavarede.ini");
            QCOMPARE(setup.ScanRecord, record);
        }
        QVERIFY(ReadAll(path).contains(record ? "[Scan]\nRecord=1\n" : "[Scan]\nRecord=0\n"));
    }

    void foreignTypeTakesDefaultsAndRewrites() {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const QString path = folder + "VuzaRavarede.ini";
        WriteAll(path, "[Info]\nType=QVL Rari v2.1\n[ComPort]\nPortName=COM7\nTimeOut=500\n");
        {
            TSetup_VuzaRavarede setup(folder, "VuzaRavarede.ini");
            QCOMPARE(setup.PortName, QStringLiteral("COM1"));
            QCOMPARE(setup.TimeOut, 1000);
        }
        const QByteArray written = ReadAll(path);
        QVERIFY(written.contains("Type=QVL Rari v2\n"));
        QVERIFY(written.contains("PortName=COM1\n"));
        QVERIFY(written.contains("TimeOut=1000\n"));
    }

    // A file that is there but not taken is named on stderr once, with why; a new (empty) file
    // and a file of this program are taken in silence.
    void fileNotTakenIsNamed_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("why"); // empty: nothing said
        QTest::newRow("written by hand, without a type")
            << QByteArray("[Remote]\nPortNum=15612\n") << QByteArray("it has no [Info] Type");
        QTest::newRow("another type")
            << QByteArray("[Info]\nType=QVL Rari v2.1\n[Remote]\nPortNum=15612\n")
            << QByteArray("its [Info] Type is \"QVL Rari v2.1\"");
        QTest::newRow("empty type")
            << QByteArray("[Info]\nType=\n") << QByteArray("it has no [Info] Type");
        QTest::newRow("empty file") << QByteArray("\n \n") << QByteArray();
        QTest::newRow("this program's")
            << QByteArray("[Info]\nType=QVL Rari v2\n[Remote]\nPortNum=15612\n") << QByteArray();
        QTest::newRow("a fifo") << QByteArray("<fifo>") << QByteArray("cannot be read");
    }
    void fileNotTakenIsNamed() {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, why);
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const QString path = folder + "VuzaRavarede.ini";
        if (content == "<fifo>")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else
            WriteAll(path, content);
        StderrCapture capture;
        QString problem;
        qint32 portNum = 0;
        {
            TSetup_VuzaRavarede setup(folder, "VuzaRavarede.ini");
            problem = setup.LoadProblem;
            portNum = setup.PortNum;
        }
        const QByteArray said = capture.Text();
        QCOMPARE(portNum, why.isEmpty() && !content.trimmed().isEmpty() ? 15612 : 5050);
        if (why.isEmpty()) {
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            QVERIFY2(said.isEmpty(), said.constData());
            return;
        }
        QCOMPARE(said, "VuzaRavarede: " + problem.toLocal8Bit() + "\n");
        QVERIFY2(said.contains(QFile::encodeName(path)), said.constData());
        QVERIFY2(said.contains(why), said.constData());
        QVERIFY2(said.contains("every value takes its default"), said.constData());
    }

    void byteOrderMarksAreSkipped_data() {
        QTest::addColumn<QByteArray>("marks");
        QTest::newRow("one") << QByteArray("\xEF\xBB\xBF");
        QTest::newRow("two") << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF");
        QTest::newRow("three") << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF\xEF\xBB\xBF");
    }
    void byteOrderMarksAreSkipped() {
        QFETCH(QByteArray, marks);
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        WriteAll(folder + "VuzaRavarede.ini",
                 marks + "[Info]\r\nType=QVL Rari v2\r\n[Remote]\r\nPortNum=6000\r\n");
        {
            TSetup_VuzaRavarede setup(folder, "VuzaRavarede.ini");
            QCOMPARE(setup.PortNum, 6000);
        }
        const QByteArray written = ReadAll(folder + "VuzaRavarede.ini");
        QVERIFY2(written.startsWith("[Info]\n"), written.constData());
        QCOMPARE(written.count("[Info]"), 1);
        QVERIFY(written.contains("PortNum=6000\n"));
    }

    // Something other than a readable regular file of sane size in the settings file's place
    // is a file that cannot be opened: defaults, and it is left as it was.
    void fileThatCannotBeReadIsLeftAlone_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("fifo") << "fifo";
        QTest::newRow("folder") << "folder";
        QTest::newRow("link to a device") << "device";
        QTest::newRow("too large") << "large";
    }
    void fileThatCannotBeReadIsLeftAlone() {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const QString path = folder + "VuzaRavarede.ini";
        const QByteArray good = "[Info]\nType=QVL Rari v2\n[Remote]\nPortNum=6000\n";
        if (kind == "fifo") QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        if (kind == "folder") QVERIFY(QDir().mkpath(path));
        if (kind == "device") QVERIFY(QFile::link("/dev/zero", path));
        if (kind == "large") WriteAll(path, good + QByteArray(8 * 1024 * 1024, ';'));
        const QFileInfo before(path);
        {
            TSetup_VuzaRavarede setup(folder, "VuzaRavarede.ini");
            QVERIFY(!setup.IsOpen);
            QCOMPARE(setup.PortNum, 5050);
            setup.PortName = "COM9";
        }
        const QFileInfo after(path);
        QCOMPARE(after.isSymLink(), before.isSymLink());
        QCOMPARE(after.isDir(), before.isDir());
        QCOMPARE(after.isFile(), before.isFile());
        QCOMPARE(after.size(), before.size());
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 QStringList{"VuzaRavarede.ini"});
    }

    void changedPortNameReachesFile() {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        {
            TSetup_VuzaRavarede setup(folder, "VuzaRavarede.ini");
            setup.PortName = "COM3";
        }
        TSetup_VuzaRavarede again(folder, "VuzaRavarede.ini");
        QCOMPARE(again.PortName, QStringLiteral("COM3"));
    }

    void folderThatCannotHoldTheFileMeansDefaultsAndNoWrite() {
        // Works whatever the rights: the "folder" is a plain file.
        QTemporaryDir dir;
        WriteAll(dir.path() + "/plain", "not a folder");
        const QString folder = dir.path() + "/plain/";
        {
            TSetup_VuzaRavarede setup(folder, "VuzaRavarede.ini");
            QVERIFY(!setup.IsOpen);
            QCOMPARE(setup.TimeOut, 1000);
            setup.PortName = "COM9";
        }
        QCOMPARE(ReadAll(dir.path() + "/plain"), QByteArray("not a folder"));
    }

    void readOnlyFolderUsesDefaultsAndWritesNothing() {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner);
        if (QFile(folder + "probe").open(QIODevice::WriteOnly))
            QSKIP("running with rights that ignore folder permissions");
        {
            TSetup_VuzaRavarede setup(folder, "VuzaRavarede.ini");
            QVERIFY(!setup.IsOpen);
            QCOMPARE(setup.PortNum, 5050);
        }
        QVERIFY(!QFile::exists(folder + "VuzaRavarede.ini"));
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
