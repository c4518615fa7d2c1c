// Port names and their devices, and probing a port that cannot be opened.
#include "device/Unit_SerialPort.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

class TestSerialPort : public QObject {
    Q_OBJECT
private slots:
    void comNumber_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("number");
        QTest::newRow("COM1") << "COM1" << 1;
        QTest::newRow("COM64") << "COM64" << 64;
        QTest::newRow("COM65") << "COM65" << 0;
        QTest::newRow("COM0") << "COM0" << 0;
        QTest::newRow("lower case") << "com3" << 0;
        QTest::newRow("no number") << "COM" << 0;
        QTest::newRow("not a number") << "COMx" << 0;
        QTest::newRow("other kind") << "LPT1" << 0;
    }
    void comNumber() {
        QFETCH(QString, name);
        QFETCH(int, number);
        QCOMPARE(ComNumber(name), number);
    }

#ifndef Q_OS_WIN
    void mapComName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("device");
        QTest::newRow("COM1") << "COM1"
                              << "/dev/ttyUSB0";
        QTest::newRow("COM16") << "COM16"
                               << "/dev/ttyUSB15";
        QTest::newRow("COM17") << "COM17"
                               << "/dev/ttyACM0";
        QTest::newRow("COM32") << "COM32"
                               << "/dev/ttyACM15";
        QTest::newRow("COM33") << "COM33"
                               << "/dev/ttyS0";
        QTest::newRow("COM64") << "COM64"
                               << "/dev/ttyS31";
        QTest::newRow("COM65") << "COM65"
                               << "";
        QTest::newRow("invalid") << "COMx"
                                 << "";
    }
    void mapComName() {
        QFETCH(QString, name);
        QFETCH(QString, device);
        QTemporaryDir dir; // an empty ports folder changes nothing
        QCOMPARE(MapComName(name, dir.path()), device);
        QCOMPARE(MapComName(name, QString()), device);
    }

    void mapComName_prefers_ports_folder() {
        QTemporaryDir dir;
        const QString ports = dir.filePath("ports");
        QVERIFY(QDir().mkpath(ports));
        QVERIFY(QFile::link("/dev/null", ports + "/COM3"));
        // A link whose target is gone still wins: never fall back to some other device.
        QVERIFY(QFile::link(dir.filePath("gone"), ports + "/COM4"));
        QCOMPARE(MapComName("COM3", ports), ports + "/COM3");
        QCOMPARE(MapComName("COM3", ports + "/"), ports + "/COM3");
        QCOMPARE(MapComName("COM4", ports), ports + "/COM4");
        QCOMPARE(MapComName("COM5", ports), QStringLiteral("/dev/ttyUSB4"));
    }
#endif

    void probe_refuses_what_cannot_open() {
        QTemporaryDir dir;
        const QString ports = dir.filePath("ports");
        QVERIFY(QDir().mkpath(ports));
        QVERIFY(QFile::link(dir.filePath("gone"), ports + "/COM7"));
        QVERIFY(!ProbePort("COM7", ports));
        QVERIFY(!ProbePort("COM65", ports));
        QVERIFY(!ProbePort("LPT1", ports));
    }

#ifndef Q_OS_WIN
    // Only a device that can be there is opened; what the search probes once a second must not
    // reach the disk for nothing.
    void portCandidates_data() {
        QTest::addColumn<QString>("device"); // relative to a temporary folder
        QTest::addColumn<QString>("type");   // the sysfs `type` of a ttyS node, if any
        QTest::addColumn<bool>("candidate");
        QTest::newRow("missing") << "dev/ttyUSB0" << QString() << false;
        QTest::newRow("broken link") << "ports/COM4" << QString() << false;
        QTest::newRow("present") << "dev/ttyUSB1" << QString() << true;
        QTest::newRow("link to a present device") << "ports/COM3" << QString() << true;
        QTest::newRow("ttyS without a UART") << "dev/ttyS5"
                                             << "0" << false;
        QTest::newRow("ttyS with a UART") << "dev/ttyS6"
                                          << "4" << true;
        QTest::newRow("ttyS, no attribute") << "dev/ttyS7" << QString() << true;
        QTest::newRow("link to a ttyS without a UART") << "ports/COM38"
                                                       << "0" << false;
    }
    void portCandidates() {
        QFETCH(QString, device);
        QFETCH(QString, type);
        QTemporaryDir dir;
        const QString root = dir.path() + u'/';
        QVERIFY(QDir().mkpath(root + "dev") && QDir().mkpath(root + "ports"));
        for (const char* node : {"dev/ttyUSB1", "dev/ttyS5", "dev/ttyS6", "dev/ttyS7"}) {
            QFile f(root + node);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QVERIFY(QFile::link(root + "dev/ttyUSB1", root + "ports/COM3"));
        QVERIFY(QFile::link(root + "dev/gone", root + "ports/COM4"));
        QVERIFY(QFile::link(root + "dev/ttyS5", root + "ports/COM38"));
        const QString sys = root + "sys/";
        if (!type.isNull()) {
            const QString node = QFileInfo(QFileInfo(root + device).canonicalFilePath()).fileName();
            QVERIFY(QDir().mkpath(sys + node));
            QFile f(sys + node + "/type");
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(type.toLatin1() + "\n");
        }
        QTEST(IsPortCandidate(root + device, sys), "candidate");
    }

    // A full pass over names whose devices are not there writes nothing at all (no lock files).
    void probingAbsentPortsWritesNothing() {
        QTemporaryDir dir;
        const QString ports = dir.filePath("ports");
        QVERIFY(QDir().mkpath(ports));
        for (int n = 1; n <= 64; ++n)
            QVERIFY(QFile::link(dir.filePath("gone"), ports + QStringLiteral("/COM%1").arg(n)));
        const auto writeCalls = []() -> qint64 {
            QFile io(QStringLiteral("/proc/self/io"));
            if (!io.open(QIODevice::ReadOnly)) return -1;
            for (const QByteArray& line : io.readAll().split('\n'))
                if (line.startsWith("syscw:")) return line.mid(6).trimmed().toLongLong();
            return -1;
        };
        const qint64 before = writeCalls();
        if (before < 0) QSKIP("no /proc/self/io here");
        int present = 0;
        for (int n = 1; n <= 64; ++n)
            present += ProbePort(QStringLiteral("COM%1").arg(n), ports) ? 1 : 0;
        const qint64 written = writeCalls() - before;
        QCOMPARE(present, 0);
        QCOMPARE(written, 0);
    }
#endif

    // Why a device would not open, as the user is told: Qt reports a refused open, a device held
    // exclusively and a held lock file all as a permission error, and the device's permissions
    // tell them apart.
    void openFailureReasons_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("mayReadWrite");
        QTest::addColumn<bool>("ownerRw");
        QTest::addColumn<bool>("groupRw");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("brief");
        const int permission = QSerialPort::PermissionError;
        QTest::newRow("refused, group may use it")
            << permission << false << true << true
            << "permission denied — the user must be in group dialout"
            << "permission denied";
        QTest::newRow("refused, only the owner may use it")
            << permission << false << true << false << "permission denied — only root may open it"
            << "permission denied";
        QTest::newRow("refused, nobody may use it")
            << permission << false << false << false << "permission denied"
            << "permission denied";
        QTest::newRow("allowed but refused: held by another program")
            << permission << true << true << true << "busy (another program has it open)"
            << "busy";
        QTest::newRow("open here already") << int(QSerialPort::OpenError) << true << true << true
                                           << "busy (this program has it open)"
                                           << "busy";
        QTest::newRow("gone meanwhile")
            << int(QSerialPort::DeviceNotFoundError) << true << true << true << "not found"
            << "not found";
        QTest::newRow("not a serial line")
            << int(QSerialPort::UnsupportedOperationError) << true << true << true
            << "cannot be opened (Inappropriate ioctl for device)"
            << "cannot be opened";
    }
    void openFailureReasons() {
        QFETCH(int, error);
        QFETCH(bool, mayReadWrite);
        QFETCH(bool, ownerRw);
        QFETCH(bool, groupRw);
        OpenFailureFacts facts;
        facts.Error = error;
        facts.ErrorText = QStringLiteral("Inappropriate ioctl for device");
        facts.MayReadWrite = mayReadWrite;
        facts.Owner = QStringLiteral("root");
        facts.Group = QStringLiteral("dialout");
        facts.OwnerMayReadWrite = ownerRw;
        facts.GroupMayReadWrite = groupRw;
        const QString reason = OpenFailureReason(facts);
        QTEST(reason, "reason");
        QTEST(ShortReason(reason), "brief");
    }

#ifndef Q_OS_WIN
    // The probe names the device and says why it cannot be used, but says nothing about a
    // name that has no device at all, nor about a link that keeps a name off the system's
    // devices by pointing nowhere.
    void probeTellsWhy() {
        QTemporaryDir dir;
        const QString ports = dir.filePath("ports") + u'/';
        QVERIFY(QDir().mkpath(ports));
        const QString goneDevice =
            "/dev/serial/by-id/usb-vr-test-" + QFileInfo(dir.path()).fileName();
        QVERIFY(!QFileInfo::exists(goneDevice));
        QVERIFY(QFile::link(goneDevice, ports + "COM7"));
        QVERIFY(QFile::link("/dev/null", ports + "COM8"));
        QVERIFY(QFile::link(dir.filePath("nowhere"), ports + "COM9"));

        const PortProbeResult dangling = ProbePortDetailed("COM7", ports);
        QVERIFY(!dangling.Present);
        QCOMPARE(dangling.Device, ports + "COM7 -> " + goneDevice);
        QCOMPARE(dangling.Reason, QStringLiteral("the link points to nothing"));

        const PortProbeResult notSerial = ProbePortDetailed("COM8", ports);
        QVERIFY(!notSerial.Present);
        QCOMPARE(notSerial.Device, ports + "COM8 -> /dev/null");
        QVERIFY2(notSerial.Reason.startsWith("cannot be opened ("), qPrintable(notSerial.Reason));

        for (const char* name : {"COM9", "COM65", "LPT1"}) {
            const PortProbeResult none = ProbePortDetailed(name, ports);
            QVERIFY(!none.Present);
            QVERIFY2(none.Reason.isEmpty(), name);
        }
        // The port object keeps the same reason for the driver.
        TSerialPort port(ports);
        QVERIFY(!port.open("COM7", 38400));
        QCOMPARE(port.openFailure(), dangling.Reason);
        QVERIFY(!port.open("COM9", 38400));
        QCOMPARE(port.openFailure(), QString());
    }
#endif

    void real_port_refuses_missing_device() {
        QTemporaryDir dir;
        const QString ports = dir.filePath("ports");
        QVERIFY(QDir().mkpath(ports));
        QVERIFY(QFile::link(dir.filePath("gone"), ports + "/COM7"));
        TSerialPort port(ports);
        QVERIFY(!port.open("COM7", 38400));
        QVERIFY(!port.isConnected());
        QVERIFY(!port.purge());
        QVERIFY(!port.write("?\r", 1000));
        QCOMPARE(port.readAvailable(10), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestSerialPort)
#include "tst_serialport.moc"
