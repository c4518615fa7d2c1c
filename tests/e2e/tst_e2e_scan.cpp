// Scans in the built program, unchanged, on a virtual X display: the test types into the Scan
// tab and presses Go as a user does (xdotool), follows the moves at the simulator, and ends the
// program by SIGTERM at different moments of a step.
#include "caldata/Unit_CalDataFile.h"
#include "support/SimProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

namespace {

// Window coordinates of the controls the test uses.
constexpr QPoint kScanTabPicture{172, 72}; // top left of the Scan tab's pictures
constexpr QPoint kScanTab{240, 90};
constexpr QPoint kFields[5] = {{116, 300}, {236, 300}, {356, 300}, {476, 300}, {596, 300}};
constexpr QPoint kGoButton{806, 267};
constexpr QPoint kGoButtonPicture{756, 200}; // top left of the Go button's pictures

QString SamplePath() {
    return QStringLiteral(VR_SOURCE_DIR "/samples/20180315_F123_ABCD12345678.csv");
}

// "GO 3 p1 p2 p3" for a grid point of the sample file.
QString Go(double cwl, double fwhm) {
    QFile file(SamplePath());
    if (!file.open(QIODevice::ReadOnly)) return QString();
    const QStringList lines = ReadCalDataLines(file.readAll());
    if (lines.size() < 7) return QString();
    const QStringList header = SplitCalDataFields(lines[5]);
    for (qsizetype r = 6; r < lines.size(); ++r) {
        const QStringList fields = SplitCalDataFields(lines[r]);
        if (fields.size() < 2 || fields[1].toDouble() != cwl) continue;
        for (qsizetype c = 2; c < header.size() && c < fields.size(); ++c)
            if (header[c].toDouble() == fwhm)
                return "GO 3 " + QString(fields[c]).replace(u':', u' ');
    }
    return QString();
}

// Xvfb on a display number it picks itself, keeping its screen in a file the test can read.
class VirtualDisplay {
public:
    ~VirtualDisplay() {
        if (Process.state() != QProcess::NotRunning) {
            Process.terminate();
            if (!Process.waitForFinished(5000)) {
                Process.kill();
                Process.waitForFinished(5000);
            }
        }
    }
    bool Start() {
        if (!ScreenDir.isValid()) return false;
        Process.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1024x768x24",
                                               "-nolisten", "tcp", "-fbdir", ScreenDir.path()});
        if (!Process.waitForStarted(10000)) return false;
        QByteArray out;
        while (!out.contains('\n') && Process.waitForReadyRead(10000))
            out += Process.readAllStandardOutput();
        bool ok = false;
        const int number = out.trimmed().toInt(&ok);
        if (!ok) return false;
        Name = QStringLiteral(":%1").arg(number);
        return true;
    }
    // The colour of a screen pixel, from the XWD image Xvfb keeps of its screen.
    QRgb Pixel(QPoint at) const {
        QFile file(ScreenDir.filePath("Xvfb_screen0"));
        if (!file.open(QIODevice::ReadOnly)) return 0;
        const uchar* image = file.map(0, file.size());
        if (!image) return 0;
        const auto field = [image](int index) {
            return qFromBigEndian<quint32>(image + 4 * index);
        };
        const quint32 headerSize = field(0);
        const quint32 bitsPerPixel = field(11);
        const quint32 bytesPerLine = field(12);
        const quint32 colours = field(19);
        const qint64 offset = qint64(headerSize) + qint64(colours) * 12 +
                              qint64(at.y()) * bytesPerLine + qint64(at.x()) * 4;
        if (bitsPerPixel != 32 || offset + 4 > file.size()) return 0;
        return qFromLittleEndian<quint32>(image + offset) & 0xFFFFFF;
    }
    QString Name;
    QProcess Process;

private:
    QTemporaryDir ScreenDir;
};

int Distance(QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
           std::abs(qBlue(a) - qBlue(b));
}

// A point of a picture pair where the pressed and released looks differ most, with both colours.
struct Tell {
    QPoint At;
    QRgb On = 0;
    QRgb Off = 0;
};
Tell TellApart(const QString& name) {
    const QImage on(QStringLiteral(VR_SOURCE_DIR "/skin/%1_on.png").arg(name));
    const QImage off(QStringLiteral(VR_SOURCE_DIR "/skin/%1_off.png").arg(name));
    Tell best;
    int most = -1;
    for (int y = 0; y < on.height() && y < off.height(); ++y)
        for (int x = 0; x < on.width() && x < off.width(); ++x) {
            const int d = Distance(on.pixel(x, y), off.pixel(x, y));
            if (d > most) {
                most = d;
                best = {QPoint(x, y), on.pixel(x, y) & 0xFFFFFF, off.pixel(x, y) & 0xFFFFFF};
            }
        }
    return best;
}

class Program {
public:
    explicit Program(const QString& folder) : Folder(folder) {}
    ~Program() {
        if (Process.state() != QProcess::NotRunning) {
            Process.kill();
            Process.waitForFinished(5000);
        }
    }
    bool Start(const QString& display) {
        QFile::copy(QStringLiteral(VR_BIN_DIR "/VuzaRavarede"), Folder + "VuzaRavarede");
        QDir().mkpath(Folder + "Cal");
        QFile::copy(SamplePath(), Folder + "Cal/F123_ABCD12345678.csv");
        QFile ini(Folder + "VuzaRavarede.ini");
        if (!ini.open(QIODevice::WriteOnly)) return false;
        // The remote server listens on a port of this test's own.
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) return false;
        RemotePort = probe.serverPort();
        ini.write("[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM1\n[Remote]\nPortNum=" +
                  QByteArray::number(RemotePort) + "\n");
        probe.close();
        ini.close();
        // Every other port name points nowhere: the machine's own devices are never opened.
        for (int n = 2; n <= 64; ++n)
            QFile::link(Folder + "nowhere", Folder + QStringLiteral("ports/COM%1").arg(n));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("DISPLAY", display);
        Display = display;
        Process.setProcessEnvironment(env);
        Process.setWorkingDirectory(Folder);
        Process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        Process.start(Folder + "VuzaRavarede", QStringList());
        return Process.waitForStarted(10000);
    }
    // xdotool on the program's display; false when it fails.
    bool Tool(const QStringList& args, QByteArray* out = nullptr) {
        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", Display);
        tool.setProcessEnvironment(env);
        tool.start(QStringLiteral("xdotool"), args);
        if (!tool.waitForFinished(20000) || tool.exitCode() != 0) return false;
        if (out) *out = tool.readAllStandardOutput();
        return true;
    }
    bool FindWindow() {
        QByteArray out;
        if (!Tool({"search", "--sync", "--onlyvisible", "--pid",
                   QString::number(Process.processId())},
                  &out))
            return false;
        Window = QString::fromLatin1(out.split('\n').value(0)).trimmed();
        if (Window.isEmpty() || !Tool({"getwindowgeometry", "--shell", Window}, &out)) return false;
        for (const QByteArray& line : out.split('\n')) {
            if (line.startsWith("X=")) Origin.setX(line.mid(2).toInt());
            if (line.startsWith("Y=")) Origin.setY(line.mid(2).toInt());
        }
        return true;
    }
    bool Click(QPoint at) {
        return Tool({"mousemove", "--window", Window, QString::number(at.x()),
                     QString::number(at.y()), "click", "1"});
    }
    bool Type(const QString& text) { return Tool({"type", "--delay", "30", text}); }
    // SIGTERM runs the normal shutdown; true when the program ended by itself with status 0.
    bool Terminate() {
        Process.terminate();
        return Process.waitForFinished(30000) && Process.exitStatus() == QProcess::NormalExit &&
               Process.exitCode() == 0;
    }
    QString Folder;
    QString Display;
    QString Window;
    QPoint Origin; // of the window on the screen
    quint16 RemotePort = 0;
    QProcess Process;
};

// The lines of the one scan record in the program's Scans folder; empty when there is not
// exactly one.
QList<QByteArray> RecordLines(const QString& programFolder) {
    const QDir folder(programFolder + QStringLiteral("Scans"));
    const QStringList files = folder.entryList({QStringLiteral("Scan *.csv")}, QDir::Files);
    if (files.size() != 1) return {};
    QFile file(folder.filePath(files.first()));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll().split('\n');
}

// The point rows of a record (after the header row), as "cwl,result".
QStringList RecordRows(const QList<QByteArray>& lines) {
    QStringList rows;
    bool header = false;
    for (const QByteArray& line : lines) {
        if (line.isEmpty() || line.startsWith('#')) continue;
        if (!header) {
            header = true;
            continue;
        }
        const QList<QByteArray> fields = line.split(',');
        rows << QString::fromLatin1(fields.value(1) + ',' + fields.value(12));
    }
    return rows;
}

int CountLines(SimProcess& sim, const QString& prefix) {
    int n = 0;
    for (const QString& line : sim.Lines())
        n += line.startsWith(prefix) ? 1 : 0;
    return n;
}

} // namespace

class TestE2EScan : public QObject {
    Q_OBJECT

    QTemporaryDir Dir;
    VirtualDisplay Display;
    std::unique_ptr<SimProcess> Sim;
    std::unique_ptr<Program> App;

    // The program found the simulator and is ready; the Scan tab is filled in and Go pressed.
    void StartScan(const QStringList& simArgs, const QStringList& fields) {
        const QString folder = Dir.path() + QStringLiteral("/run%1/").arg(++Runs);
        Sim = std::make_unique<SimProcess>();
        QVERIFY2(Sim->Start(folder + "ports/COM1", QStringList{"--home-ms", "200"} + simArgs),
                 qPrintable(Sim->Failure()));
        App = std::make_unique<Program>(folder);
        QVERIFY(App->Start(Display.Name));
        // The open sequence ends with the home; the program is ready once it is answered.
        QVERIFY(Sim->WaitForLine("exchange \"HOME 3\"", 30000));
        QVERIFY(App->FindWindow());
        // A tab click is refused until the session is ready: click until the tab shows selected.
        const Tell tab = TellApart(QStringLiteral("tab2"));
        QVERIFY(tab.On != tab.Off);
        const QPoint probe = App->Origin + kScanTabPicture + tab.At;
        const auto selected = [&]() {
            const QRgb seen = Display.Pixel(probe);
            return Distance(seen, tab.On) < Distance(seen, tab.Off);
        };
        QVERIFY(!selected());
        QDeadlineTimer deadline(30000);
        while (!selected() && !deadline.hasExpired()) {
            QVERIFY(App->Click(kScanTab));
            QTest::qWait(100);
        }
        QVERIFY(selected());
        for (int i = 0; i < 5; ++i) {
            QVERIFY(App->Click(kFields[i]));
            QVERIFY(App->Type(fields[i]));
        }
        QVERIFY(App->Click(kGoButton));
    }
    int Runs = 0;

private slots:
    void initTestCase() {
        if (QStandardPaths::findExecutable("Xvfb").isEmpty() ||
            QStandardPaths::findExecutable("xdotool").isEmpty())
            QSKIP("needs Xvfb and xdotool (scripts/test installs them)");
        QVERIFY(Dir.isValid());
        QVERIFY(Display.Start());
    }
    void cleanup() {
        App.reset();
        Sim.reset();
    }

    void smallScanMovesThroughItsPoints() {
        StartScan({}, {"500", "504", "10", "2", "0.2"});
        const QStringList expected{"POS 3", "BKEN 0", Go(500, 10), Go(502, 10), Go(504, 10)};
        QVERIFY(Sim->WaitForExchanges(7 + int(expected.size()), 20000));
        QStringList commands;
        for (const QString& line : Sim->Exchanges())
            commands.append(line.section(u'"', 1, 1));
        QCOMPARE(commands.mid(7), expected);
        // Once the end is reported (the Go button released) no step can follow: there is no
        // 13th exchange.
        const Tell go = TellApart(QStringLiteral("scan_button4"));
        const QPoint probe = App->Origin + kGoButtonPicture + go.At;
        QTRY_VERIFY_WITH_TIMEOUT(
            Distance(Display.Pixel(probe), go.Off) < Distance(Display.Pixel(probe), go.On), 20000);
        QCOMPARE(Sim->Exchanges().size(), 7 + expected.size());
        QVERIFY(App->Terminate());
    }

    // SIGTERM while a scan runs ends the program with status 0, wherever in a step it lands.
    void signalDuringAScan_data() {
        QTest::addColumn<QString>("timeDelay");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<int>("count");
        QTest::newRow("inside the first move") << "0.1"
                                               << "received \"GO" << 1;
        QTest::newRow("inside the third move") << "0.1"
                                               << "received \"GO" << 3;
        QTest::newRow("at the answer of a move") << "0.1"
                                                 << "exchange \"GO" << 2;
        QTest::newRow("holding a point") << "2.0"
                                         << "exchange \"GO" << 1;
    }
    void signalDuringAScan() {
        QFETCH(QString, timeDelay);
        QFETCH(QString, prefix);
        QFETCH(int, count);
        StartScan({"--go-ms", "400", "--report-received"}, {"500", "520", "10", "1", timeDelay});
        QTRY_VERIFY_WITH_TIMEOUT(CountLines(*Sim, prefix) >= count, 20000);
        QVERIFY(App->Terminate());
        // The normal shutdown ran to its end: the settings file holds the keys the test wrote
        // and those only the program writes.
        QFile ini(App->Folder + "VuzaRavarede.ini");
        QVERIFY(ini.open(QIODevice::ReadOnly));
        QStringList keys; // "Section/Key=Value"
        QString section;
        for (const QByteArray& raw : ini.readAll().split('\n')) {
            const QString line = QString::fromLatin1(raw).trimmed();
            if (line.startsWith(u'[') && line.endsWith(u']'))
                section = line.mid(1, line.size() - 2);
            else if (line.contains(u'='))
                keys.append(section + u'/' + line);
        }
        const QStringList expected{
            "Info/Type=QVL Rari v2",       "ComPort/PortName=COM1",
            "ComPort/BaudRate=38400",      "ComPort/TimeOut=1000",
            "Device/Info=Kravo FM Ver1.0", "Device/ZeroToPos=1",
            "Device/DebugMode=0",          "Remote/PortNum=" + QString::number(App->RemotePort)};
        for (const QString& key : expected)
            QVERIFY2(keys.contains(key), qPrintable(key + " in " + keys.join(u' ')));
        // The scan's record ends as a scan cut short by the program's end, after its points: the
        // first ones of the scan, in order, all moved but perhaps the one the signal cut off.
        const QList<QByteArray> lines = RecordLines(App->Folder);
        QVERIFY(lines.size() >= 3);
        QCOMPARE(lines.last(), QByteArray());
        QCOMPARE(lines[lines.size() - 2], QByteArray("# end,ABORT,ended"));
        const QStringList rows = RecordRows(lines);
        for (int i = 0; i < rows.size(); ++i) {
            QCOMPARE(rows[i].section(u',', 0, 0), QString::number(500 + i) + ".0");
            if (i + 1 < rows.size()) QCOMPARE(rows[i].section(u',', 1), QStringLiteral("OK"));
        }
    }

    // A program killed mid-scan cannot end its record, but every point it finished is in it.
    void killedDuringAScanKeepsItsPoints() {
        StartScan({"--report-received"}, {"500", "520", "10", "1", "0.1"});
        // The fourth move has been asked for: the three before it were answered and recorded.
        QTRY_VERIFY_WITH_TIMEOUT(CountLines(*Sim, "received \"GO") >= 4, 20000);
        App->Process.kill();
        QVERIFY(App->Process.waitForFinished(10000));
        const QList<QByteArray> lines = RecordLines(App->Folder);
        QCOMPARE(lines.value(lines.size() - 1), QByteArray()); // no half-written line
        const QStringList rows = RecordRows(lines);
        QVERIFY2(rows.size() >= 3, qPrintable(rows.join(u' ')));
        QCOMPARE(rows.mid(0, 3), (QStringList{"500.0,OK", "501.0,OK", "502.0,OK"}));
        for (const QByteArray& line : lines)
            QVERIFY(!line.startsWith("# end,"));
    }
};

QTEST_GUILESS_MAIN(TestE2EScan)
#include "tst_e2e_scan.moc"
