#include "support/AppFixture.h"

#include "app/Unit_FormMain.h"
#include "caldata/Unit_CalDataFile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

namespace {
// When the fixture's program makes its first search; the program itself waits a second.
constexpr int kFirstSearchMs = 10;
} // namespace

AppFixture::AppFixture() {
    QTcpServer probe;
    if (probe.listen(QHostAddress::Any, 0)) m_remotePort = probe.serverPort();
}

AppFixture::~AppFixture() {
    if (m_form) {
        m_form->Timer_AutoOpen->stop();
        m_form->ReleaseAll();
        m_form.reset();
    }
    m_sim.Stop();
}

QString AppFixture::Folder() const {
    return m_dir.path() + u'/';
}

QString AppFixture::SamplePath() const {
    return QStringLiteral(VR_SOURCE_DIR "/samples/20180315_F123_ABCD12345678.csv");
}

QString AppFixture::KeptCopyPath() const {
    return Folder() + QStringLiteral("Cal/F123_ABCD12345678.csv");
}

void AppFixture::WriteSettings(const QString& deviceLines) {
    QFile file(Folder() + QStringLiteral("VuzaRavarede.ini"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
    file.write("[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM3\n[Device]\n");
    file.write(deviceLines.toLatin1() + "\n");
    file.write("[Remote]\nPortNum=" + QByteArray::number(m_remotePort) + "\n");
}

bool AppFixture::PlaceKeptCopy() {
    QDir().mkpath(Folder() + QStringLiteral("Cal"));
    QFile::remove(KeptCopyPath());
    return QFile::copy(SamplePath(), KeptCopyPath());
}

bool AppFixture::StartSim(const QStringList& args) {
    return m_sim.Start(Folder() + QStringLiteral("ports/COM3"), args);
}

QStringList AppFixture::Commands() {
    QStringList commands;
    for (const QString& line : m_sim.Exchanges()) {
        const qsizetype open = line.indexOf(u'"');
        const qsizetype close = line.indexOf(u'"', open + 1);
        if (open >= 0 && close > open) commands.append(line.mid(open + 1, close - open - 1));
    }
    return commands;
}

TForm_Main* AppFixture::CreateForm() {
    if (!QFile::exists(Folder() + QStringLiteral("VuzaRavarede.ini"))) WriteSettings();
    m_form = std::make_unique<TForm_Main>(Folder());
    const QString ports = Folder() + QStringLiteral("ports/");
    m_form->SetPortProbe([ports](const QString& name) { return QFile::exists(ports + name); });
    m_form->SetOpenPauseRounds(1);
    // The first search comes at once instead of a second after the start; the ticks after it
    // keep the program's own period, which the tests of a lost line or of a search count on.
    QTimer* tick = m_form->Timer_AutoOpen;
    const int period = tick->interval();
    tick->setInterval(kFirstSearchMs);
    QObject::connect(
        tick, &QTimer::timeout, tick, [tick, period]() { tick->setInterval(period); },
        Qt::SingleShotConnection);
    QObject::connect(m_form.get(), &TForm_Main::StatusMessageShown,
                     [this](const QString& text, unsigned) { m_shown.append(text); });
    return m_form.get();
}

QString AppFixture::Message() const {
    return m_form ? m_form->Label_Message->text() : QString();
}

unsigned AppFixture::MessageColor() const {
    if (!m_form) return 0;
    const QColor c = m_form->Label_Message->palette().color(QPalette::WindowText);
    return unsigned(c.red()) | unsigned(c.green()) << 8 | unsigned(c.blue()) << 16;
}

bool AppFixture::WaitForMessage(const QString& text, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (Message() != text) {
        if (deadline.hasExpired()) return false;
        QTest::qWait(20);
    }
    return true;
}

bool AppFixture::WaitForShown(const QString& text, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!m_shown.contains(text)) {
        if (deadline.hasExpired()) return false;
        QTest::qWait(20);
    }
    return true;
}

QString AppFixture::SamplePositions(double cwl, double fwhm) const {
    QFile file(SamplePath());
    if (!file.open(QIODevice::ReadOnly)) return QString();
    const QStringList lines = ReadCalDataLines(file.readAll());
    if (lines.size() < 7) return QString();
    const QStringList header = SplitCalDataFields(lines[5]);
    qsizetype column = -1;
    for (qsizetype i = 2; i < header.size(); ++i)
        if (header[i].toDouble() == fwhm) column = i;
    for (qsizetype r = 6; r < lines.size() && column >= 0; ++r) {
        const QStringList fields = SplitCalDataFields(lines[r]);
        if (fields.size() > column && fields[1].toDouble() == cwl)
            return QString(fields[column]).replace(u':', u' ');
    }
    return QString();
}
