#include "device/Unit_devicevuzaravarede.h"

#include "core/Unit_EventPump.h"
#include "core/Unit_Numbers.h"
#include "device/Unit_ResponseFields.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScopedValueRollback>

#include <algorithm>

namespace {

constexpr quint8 CR = 0x0D;
constexpr int SliceMs = 100;
constexpr int HomeWaitMs = 15000;
constexpr int MaxMotorPosition = 6000;

// One byte per character, the low 8 bits of its code.
QByteArray ToBytes(const QString& text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (QChar c : text)
        bytes.append(char(c.unicode() & 0xFF));
    return bytes;
}

// The standard rates the line can be opened at; any other number opens at 9600.
qint32 StandardRate(qint32 rate) {
    static constexpr qint32 rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                       19200, 38400, 56000, 57600, 115200, 128000, 256000};
    return std::find(std::begin(rates), std::end(rates), rate) != std::end(rates) ? rate : 9600;
}

// How an answer to a command is recognised: at least `minLength` characters and `test` true.
struct AnswerRule {
    const char* command;
    int minLength;
    bool (*test)(const QString& answer, const QString& command);
};

bool StartsWithCommand(const QString& answer, const QString& command) {
    return answer.startsWith(command);
}

const AnswerRule AnswerRules[] = {
    {"?", 15,
     [](const QString& a, const QString&) { return a.startsWith(QLatin1String("Kravo FM Ver")); }},
    {"HOME", 1, [](const QString& a, const QString&) { return a == QLatin1String("G"); }},
    {"POS", 7, StartsWithCommand},
    {"GO", 6, StartsWithCommand},
    {"INFO", 8, StartsWithCommand},
    {"BKEN", 6, StartsWithCommand},
};

const AnswerRule* FindRule(const QString& command) {
    for (const AnswerRule& rule : AnswerRules)
        if (command == QLatin1String(rule.command)) return &rule;
    return nullptr;
}

} // namespace

TDevice_VuzaRavarede::TDevice_VuzaRavarede(QObject* parent) : QObject(parent) {}

TDevice_VuzaRavarede::~TDevice_VuzaRavarede() {
    if (Opened) Close();
}

void TDevice_VuzaRavarede::SetPortsFolder(const QString& folder) {
    PortsFolder = folder;
}

void TDevice_VuzaRavarede::SetPortFactory(PortFactory factory) {
    PortFactoryFn = std::move(factory);
}

bool TDevice_VuzaRavarede::IsReady() const {
    return Opened && Port && Port->isConnected();
}

// ---------------------------------------------------------------------------------------------
// Link and receive buffer

bool TDevice_VuzaRavarede::Open(const QString& portName, const QString& baudText) {
    if (Opened) return false;

    qint32 portNumber = 0;
    if (portName.size() <= 3 || !portName.startsWith(QLatin1String("COM"))) return false;
    if (!Numbers::TryReadInt(QStringView(portName).mid(3), portNumber)) portNumber = 0;
    if (portNumber <= 0) return false;

    qint32 rate = 0;
    if (!Numbers::TryReadInt(baudText, rate)) rate = 0;
    if (rate < 100) return false;

    bool opened = false;
    OpenFailureText.clear();
    // The port comes from a factory that tests replace with their own: a factory or port that
    // throws leaves the line closed, and the open fails as any other.
    try {
        Port = PortFactoryFn ? PortFactoryFn() : std::make_unique<TSerialPort>(PortsFolder);
        if (Port) {
            connect(Port.get(), &TSerialPortBase::RxChar, this, &TDevice_VuzaRavarede::OnRxChar);
            connect(Port.get(), &TSerialPortBase::LineError, this, &TDevice_VuzaRavarede::OnError);
            opened = Port->open(portName, StandardRate(rate));
        }
    } catch (...) {
        opened = false;
    }
    if (!opened) {
        if (Port) OpenFailureText = Port->openFailure();
        Close();
        WriteLog(QStringLiteral("Open Fail"));
        return false;
    }

    Opened = true;
    ResponseComplete = false;
    ResponseOk = false;
    DeviceId.clear();
    for (QString& info : Info)
        info.clear();
    Position = {0, 0, 0};
    WriteLog(QStringLiteral("Open <%1,%2> Success").arg(portName, baudText));
    return true;
}

void TDevice_VuzaRavarede::Close() {
    if (Port) {
        Port->disconnect(this);
        Port->close();
        Port.reset();
    }
    Opened = false;
    ResponseComplete = false;
    ResponseOk = false;
    WriteLog(QStringLiteral("Close"));
}

bool TDevice_VuzaRavarede::ClearBuffer() {
    if (!IsReady()) return false;
    if (!Port->purge()) {
        WriteLog(QStringLiteral("Clear Buffer Fail"));
        return false;
    }
    RxCount = 0;
    RxBuffer.fill(0);
    WriteLog(QStringLiteral("Clear Buffer Success"));
    return true;
}

bool TDevice_VuzaRavarede::ShiftBuffer() {
    if (!IsReady()) return false;
    if (RxCount < 2) {
        RxCount = 0;
        RxBuffer.fill(0);
    } else {
        std::copy(RxBuffer.begin() + 1, RxBuffer.begin() + RxCount, RxBuffer.begin());
        --RxCount;
    }
    WriteLog(QStringLiteral("Shift Buffer Success"));
    return true;
}

void TDevice_VuzaRavarede::OnRxChar(int count) {
    Q_UNUSED(count);
    // Run by the port's signal from the event loop, which an exception must not cross. The port
    // may be one a test supplied; beyond it only an allocation can fail. The block is dropped.
    try {
        if (!Port) return;
        const QByteArray block = Port->readAvailable(RxBufferSize);
        for (char byte : block) {
            if (RxCount >= RxBufferSize) break; // a full buffer drops the rest without notice
            RxBuffer[RxCount++] = quint8(byte);
        }
        // The figure logged is what was read, so that it matches the bytes shown with it.
        WriteLog(QStringLiteral("OnRxChar (%1)").arg(block.size()),
                 reinterpret_cast<const quint8*>(block.constData()), int(block.size()));
        WriteLog(QStringLiteral("RxBuffer (%1)").arg(RxCount), RxBuffer.data(), RxCount);
        ResponseComplete = ParseResponse();
    } catch (...) {
    }
}

void TDevice_VuzaRavarede::OnError(quint32 errors) {
    static const char* const lines[] = {"+ Frame Error",  "+ RxParity Error", "+ Overrun Error",
                                        "+ Break Error",  "+ IO Error",       "+ Mode Error",
                                        "+ RxOver Error", "+ TxFull Error"};
    WriteLog(QStringLiteral("OnError"));
    for (int bit = 0; bit < 8; ++bit)
        if (errors & (1u << bit)) WriteLog(QString::fromLatin1(lines[bit]));
    if (errors & LineErrorBits::IO) emit LineLost();
}

// ---------------------------------------------------------------------------------------------
// One exchange

bool TDevice_VuzaRavarede::SendLine(const QString& name, const QString& line) {
    LastCommand = name;
    LastCommandLine = line;
    QByteArray bytes = ToBytes(line);
    bytes.append(char(CR));
    if (!Port->write(bytes, SerialWriteTimeoutMs(bytes.size()))) {
        WriteLog(QStringLiteral("Send Command Fail"));
        return false;
    }
    WriteLog(QStringLiteral("Send Command <%1>").arg(line));
    return true;
}

bool TDevice_VuzaRavarede::SendCommand(const QString& name) {
    if (!IsReady() || name.isEmpty()) return false;
    return SendLine(name, name);
}

bool TDevice_VuzaRavarede::SendCommand(const QString& name, int index) {
    if (!IsReady() || name.isEmpty() || index < 0 || index > 4) return false;
    return SendLine(name, QStringLiteral("%1 %2").arg(name).arg(index));
}

bool TDevice_VuzaRavarede::SendCommand(const QString& name, int p1, int p2, int p3) {
    if (!IsReady() || name.isEmpty() || p1 < 0 || p2 < 0 || p3 < 0) return false;
    return SendLine(name, QStringLiteral("%1 3 %2 %3 %4").arg(name).arg(p1).arg(p2).arg(p3));
}

bool TDevice_VuzaRavarede::SendCommand(const QString& name, bool on) {
    if (!IsReady() || name.isEmpty()) return false;
    return SendLine(name, name + (on ? QStringLiteral(" 1") : QStringLiteral(" 0")));
}

bool TDevice_VuzaRavarede::WaitResponse(int timeOutMs) {
    // IsWaiting() while this wait is on the stack; the count is restored, not cleared, so a wait
    // nested in another leaves the outer one counted.
    const QScopedValueRollback waiting(WaitDepth, WaitDepth + 1);
    ResponseComplete = false;
    ResponseOk = false;
    WriteLog(QStringLiteral("Wait Response Start"));
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        EventPump::SleepAndPump(SliceMs);
        EventPump::PumpOnce();
        // A line that vanished ends the wait like a closed port does.
        if (!IsReady() || ResponseComplete) break;
        if (elapsed.elapsed() >= timeOutMs) break;
    }
    WriteLog(QStringLiteral("Wait Response End"));
    return ResponseOk;
}

void TDevice_VuzaRavarede::SetTimeOut(int ms) {
    if (ms < 1) ms = 100;
    if (ms > 60000) ms = 60000;
    TimeOut = ms;
    WriteLog(QStringLiteral("Set TimeOut <%1>").arg(ms));
}

bool TDevice_VuzaRavarede::ParseResponse() {
    for (;;) {
        if (RxCount <= 1 || RxBuffer[RxCount - 1] != CR) return false;
        const QString answer =
            QString::fromLatin1(reinterpret_cast<const char*>(RxBuffer.data()), RxCount - 1);
        const AnswerRule* rule = FindRule(LastCommand);
        if (!rule) {
            ResponseOk = false;
            return true;
        }
        ResponseText = answer;
        if (answer.size() < rule->minLength) {
            ResponseOk = false;
            return true;
        }
        if (rule->test(answer, LastCommand)) {
            ResponseOk = true;
            return true;
        }
        // Drop the oldest byte and look again. If the buffer cannot shift (the line is gone),
        // it would never get shorter: no answer.
        if (!ShiftBuffer()) return false;
    }
}

// ---------------------------------------------------------------------------------------------
// Instrument commands

bool TDevice_VuzaRavarede::ReadPositions(std::array<qint32, 3>& positions) const {
    const QStringList fields = ResponseFields::Split(ResponseText);
    if (fields.size() != 5 || ResponseFields::ToInt(fields[1]) != 3) return false;
    for (int axis = 0; axis < 3; ++axis) {
        positions[axis] = ResponseFields::ToInt(fields[axis + 2]);
        if (positions[axis] < 0) return false;
    }
    return true;
}

bool TDevice_VuzaRavarede::CommandDevice() {
    if (!Opened) return false;
    ClearBuffer();
    if (SendCommand(QStringLiteral("?")) && WaitResponse(TimeOut)) {
        DeviceId = ResponseText;
        WriteLog(QStringLiteral("Command <DEVICE> Success : ") + DeviceId);
        return true;
    }
    WriteLog(QStringLiteral("Command <DEVICE> Fail"));
    return false;
}

bool TDevice_VuzaRavarede::CommandHome() {
    if (!Opened) return false;
    ClearBuffer();
    if (SendCommand(QStringLiteral("HOME"), 3) && WaitResponse(HomeWaitMs)) {
        Position = {0, 0, 0};
        WriteLog(QStringLiteral("Command <HOME> Success : All"));
        return true;
    }
    WriteLog(QStringLiteral("Command <HOME> Fail"));
    return false;
}

bool TDevice_VuzaRavarede::CommandPos() {
    if (!Opened) return false;
    ClearBuffer();
    if (!(SendCommand(QStringLiteral("POS"), 3) && WaitResponse(TimeOut))) {
        WriteLog(QStringLiteral("Command <POS> Fail"));
        return false;
    }
    std::array<qint32, 3> answered{};
    if (!ReadPositions(answered)) return false;
    Position = answered;
    WriteLog(QStringLiteral("Command <POS> Success : %1/%2/%3")
                 .arg(Position[0])
                 .arg(Position[1])
                 .arg(Position[2]));
    return true;
}

bool TDevice_VuzaRavarede::CommandGo(int p1, int p2, int p3) {
    if (!Opened) return false;
    for (int p : {p1, p2, p3})
        if (p < 0 || p > MaxMotorPosition) return false;
    ClearBuffer();
    if (!(SendCommand(QStringLiteral("GO"), p1, p2, p3) && WaitResponse(TimeOut))) {
        WriteLog(QStringLiteral("Command <GO> Fail"));
        return false;
    }
    std::array<qint32, 3> answered{};
    if (!ReadPositions(answered)) return false;
    Position = answered;
    WriteLog(QStringLiteral("Command <GO> Success : %1/%2/%3")
                 .arg(Position[0])
                 .arg(Position[1])
                 .arg(Position[2]));
    return true;
}

bool TDevice_VuzaRavarede::CommandInfo(int n) {
    if (!Opened) return false;
    if (n < 0 || n > 4) return false;
    ClearBuffer();
    if (!(SendCommand(QStringLiteral("INFO"), n) && WaitResponse(TimeOut))) {
        WriteLog(QStringLiteral("Command <INFO> Fail"));
        return false;
    }
    const QStringList fields = ResponseFields::Split(ResponseText);
    QString value;
    if (fields.size() == 3 && ResponseFields::ToInt(fields[1]) == n) value = fields[2];
    Info[n] = value;
    WriteLog(QStringLiteral("Command <INFO> Success : Read INFO%1=").arg(n + 1) + value);
    return true;
}

bool TDevice_VuzaRavarede::CommandBken(bool on) {
    if (!Opened) return false;
    ClearBuffer();
    if (SendCommand(QStringLiteral("BKEN"), on) && WaitResponse(TimeOut) &&
        ResponseText.size() >= 6) {
        // The state answered is reported as it is, also when it is not the one asked for.
        const QChar state = ResponseText[5];
        if (state == u'0') {
            WriteLog(QStringLiteral("Command <BKEN> Success : OFF"));
            return true;
        }
        if (state == u'1') {
            WriteLog(QStringLiteral("Command <BKEN> Success : ON"));
            return true;
        }
    }
    WriteLog(QStringLiteral("Command <BKEN> Fail"));
    return false;
}

QString TDevice_VuzaRavarede::GetInfo(int n) const {
    return (n >= 0 && n < int(Info.size())) ? Info[n] : QString();
}

// ---------------------------------------------------------------------------------------------
// Communication log

bool TDevice_VuzaRavarede::StartLog(const QString& folder) {
    if (folder.isEmpty() || !QDir().mkpath(folder)) return false;
    LogFolder = folder;
    // The file name is the folder followed by the file's name.
    if (!LogFolder.endsWith(u'/') && !LogFolder.endsWith(QDir::separator())) LogFolder += u'/';
    LogStamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    LogEnabled = true;
    return true;
}

bool TDevice_VuzaRavarede::WriteLog(const QString& text, const quint8* bytes, int count) {
    if (!LogEnabled) return false;
    QByteArray line;
    line.reserve(text.size() + 24 + (count > 0 ? 4 * count + 3 : 0));
    line += '[';
    line += QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd-HHmmss")).toLatin1();
    line += "] ";
    // The file ends up as reading it as lines and writing them back would leave it: a CR,
    // an LF or a CR LF inside the text (an identification of two lines) ends a line with
    // CR LF there.
    const QByteArray text8 = ToBytes(text);
    for (qsizetype i = 0; i < text8.size(); ++i) {
        const char c = text8[i];
        if (c == '\r' || c == '\n') {
            line += "\r\n";
            if (c == '\r' && i + 1 < text8.size() && text8[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (count >= 1 && bytes) {
        static const char hex[] = "0123456789ABCDEF";
        line += " #";
        for (int i = 0; i < count; ++i) {
            line += '{';
            line += hex[bytes[i] >> 4];
            line += hex[bytes[i] & 0x0F];
            line += '}';
        }
        line += '#';
    }
    line += "\r\n";

    QFile file(LogFolder + QStringLiteral("Log ") + LogStamp + QStringLiteral(".ini"));
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered)) return false;
    // An earlier last line without its line end gets one, as rewriting the file would.
    const qint64 size = file.size();
    if (size > 0) {
        char last = 0;
        if (!file.seek(size - 1) || !file.getChar(&last)) return false;
        if (last == '\r')
            line.prepend('\n');
        else if (last != '\n')
            line.prepend("\r\n");
    }
    return file.write(line) == line.size();
}
