// Port names and their devices, and probing a port that cannot be opened.
#include "device/Unit_SerialPort.h"

#include <QFile>
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
