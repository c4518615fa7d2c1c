#pragma once
// Driver of the tunable filter on its serial line: the link with its receive buffer, one
// command/answer exchange at a time with answer recognition, the instrument's commands and the
// communication log. Every operation returns a boolean and never throws.

#include "device/Unit_SerialPort.h"

#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <memory>

class TDevice_VuzaRavarede : public QObject {
    Q_OBJECT
public:
    static constexpr int RxBufferSize = 1024;
    using PortFactory = std::function<std::unique_ptr<TSerialPortBase>()>;

    explicit TDevice_VuzaRavarede(QObject* parent = nullptr);
    ~TDevice_VuzaRavarede() override;

    // Link and receive buffer.
    bool Open(const QString& portName, const QString& baudText);
    void Close();
    bool ClearBuffer();
    bool ShiftBuffer();
    void OnRxChar(int count);
    void OnError(quint32 errors);

    // One exchange. The two-argument forms take exactly an int or a bool; anything else (a
    // char, an unsigned, a pointer) is refused at compile time instead of picking a form.
    bool SendCommand(const QString& name);
    bool SendCommand(const QString& name, int index);
    bool SendCommand(const QString& name, int p1, int p2, int p3);
    bool SendCommand(const QString& name, bool on);
    template <typename T> bool SendCommand(const QString& name, T) = delete;
    bool WaitResponse(int timeOutMs);
    void SetTimeOut(int ms);
    bool ParseResponse();

    // Instrument commands.
    bool CommandDevice();
    bool CommandHome();
    bool CommandPos();
    bool CommandGo(int p1, int p2, int p3);
    bool CommandInfo(int n);
    bool CommandBken(bool on);
    QString GetInfo(int n) const;

    // Communication log.
    bool StartLog(const QString& folder);
    bool WriteLog(const QString& text, const quint8* bytes = nullptr, int count = 0);

    // The folder where "COMn" links are looked for first (the ports folder beside the program).
    void SetPortsFolder(const QString& folder);
    // Test seam: where port objects come from. Without it a real serial port is made.
    void SetPortFactory(PortFactory factory);

    // Opened, with a port that is still connected.
    bool IsReady() const;
    // Why the last Open could not open its port, in the user's words; empty when it opened or
    // the reason is not known.
    QString OpenFailure() const { return OpenFailureText; }

    // An exchange is waiting for its answer. Handlers that run inside that wait must not start
    // another exchange: it would clear the buffer and take the answer of the one in flight.
    bool IsWaiting() const { return WaitDepth > 0; }

signals:
    // The port has lost its far end (an adapter unplugged, the other side hung up). Emitted
    // once per loss, from the port's own notification: a receiver that closes the link must do
    // it later, not inside this signal.
    void LineLost();

public:
    // State, in this order; read by the main window and by tests.
    std::unique_ptr<TSerialPortBase> Port;
    QString LogFolder;
    QString LogStamp;
    bool LogEnabled = false;
    QString LastCommand;
    QString LastCommandLine;
    qint32 TimeOut = 1000;
    qint32 RxCount = 0;
    std::array<quint8, RxBufferSize> RxBuffer{};
    QString ResponseText;
    bool Opened = false;
    bool ResponseComplete = false;
    bool ResponseOk = false;
    QString DeviceId;
    std::array<QString, 5> Info;
    std::array<qint32, 3> Position{0, 0, 0};

private:
    int WaitDepth = 0;
    bool SendLine(const QString& name, const QString& line);
    bool ReadPositions(std::array<qint32, 3>& positions) const;

    QString PortsFolder;
    PortFactory PortFactoryFn;
    QString OpenFailureText;
};
