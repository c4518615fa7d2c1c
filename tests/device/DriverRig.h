#pragma once
// A driver wired to in-memory ports, with its communication log in a temporary folder.

#include "FakeSerialPort.h"
#include "device/Unit_devicevuzaravarede.h"

#include <QFile>
#include <QPointer>
#include <QRegularExpression>
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

    // The texts of the log entries, each without its "[yymmdd-hhnnss] " stamp. A line without
    // the stamp or without its CR LF is kept whole, so that the comparison shows it.
    QStringList Log() const { return ReadLog(LogPath()); }

    static QStringList ReadLog(const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) return {};
        const QByteArray content = file.readAll();
        QList<QByteArray> lines = content.split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
        static const QRegularExpression stamp(QStringLiteral("^\\[\\d{6}-\\d{6}\\] "));
        QStringList texts;
        for (QByteArray line : lines) {
            if (!line.endsWith('\r')) {
                texts.append(QStringLiteral("<no CR LF> ") + QString::fromLatin1(line));
                continue;
            }
            line.chop(1);
            const QString text = QString::fromLatin1(line);
            const QRegularExpressionMatch m = stamp.match(text);
            texts.append(m.hasMatch() ? text.mid(m.capturedLength()) : text);
        }
        return texts;
    }

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
