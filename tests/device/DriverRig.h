#pragma once
// A driver wired to in-memory ports, with its communication log in a temporary folder.

#include "FakeSerialPort.h"
#include "LogLines.h"
#include "device/Unit_devicevuzaravarede.h"

#include <QPointer>
#include <QTemporaryDir>

#include <memory>

class DriverRig {
public:
    explicit DriverRig(bool startLog = true) {
        dev.SetPortFactory([this] {
            auto made = std::make_unique<FakeSerialPort>();
            ++portsMade;
            if (setup) setup(*made);
            port = made.get();
            return std::unique_ptr<TSerialPortBase>(std::move(made));
        });
        if (startLog) dev.StartLog(dir.filePath(QStringLiteral("Log/")));
    }

    bool Open() { return dev.Open(QStringLiteral("COM3"), QStringLiteral("38400")); }

    QString LogPath() const {
        return dev.LogFolder + QStringLiteral("Log ") + dev.LogStamp + QStringLiteral(".ini");
    }

    QStringList Log() const { return ReadLogTexts(LogPath()); }

    // Entries written since `from` entries were there.
    QStringList LogSince(qsizetype from) const { return Log().mid(from); }

    // Answers every written line with `answer` (nothing for an empty one).
    void AnswerWith(const QByteArray& answer, int delayMs = 0) {
        port->answerDelayMs = delayMs;
        port->responder = [answer](const QByteArray&) { return answer; };
    }

    QTemporaryDir dir; // declared before the driver: the driver logs into it when destroyed
    TDevice_VuzaRavarede dev;
    QPointer<FakeSerialPort> port;
    int portsMade = 0;
    std::function<void(FakeSerialPort&)> setup; // applied to every new port
};
