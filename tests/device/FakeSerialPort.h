#pragma once
// An in-memory port for driving the instrument driver without a line. Bytes from the far end
// are delivered the way the real port delivers them: posted, seen when events are pumped.

#include "device/Unit_SerialPort.h"

#include <QList>
#include <QPointer>
#include <QTimer>

#include <functional>

class FakeSerialPort : public TSerialPortBase {
    Q_OBJECT
public:
    // Set by the test.
    bool openResult = true;
    bool purgeResult = true;
    bool writeResult = true;
    // The far end's answer to each written line (nothing when it returns an empty array),
    // delivered after `answerDelayMs`.
    std::function<QByteArray(const QByteArray&)> responder;
    int answerDelayMs = 0;

    // Seen by the test.
    QString openedName;
    qint32 openedRate = 0;
    QList<QByteArray> written;
    QList<int> writeTimeouts;
    int purges = 0;

    bool open(const QString& comName, qint32 baudRate) override {
        openedName = comName;
        openedRate = baudRate;
        m_open = openResult;
        return m_open;
    }
    void close() override { m_open = false; }
    bool purge() override {
        ++purges;
        if (purgeResult) m_rx.clear();
        return purgeResult;
    }
    qint64 bytesAvailable() const override { return m_rx.size(); }
    QByteArray readAvailable(qint64 maxBytes) override {
        const QByteArray bytes = m_rx.left(maxBytes);
        m_rx.remove(0, bytes.size());
        return bytes;
    }
    bool write(const QByteArray& data, int timeoutMs) override {
        written.append(data);
        writeTimeouts.append(timeoutMs);
        if (!writeResult) return false;
        if (responder) {
            const QByteArray answer = responder(data);
            if (!answer.isEmpty()) ArriveAfter(answerDelayMs, answer);
        }
        return true;
    }
    bool isConnected() const override { return m_open && !m_lost; }

    // Bytes from the far end, seen at the next pump as one arrival.
    void Arrive(const QByteArray& bytes) {
        QMetaObject::invokeMethod(
            this,
            [this, bytes] {
                if (!isConnected()) return;
                m_rx += bytes;
                emit RxChar(int(m_rx.size()));
            },
            Qt::QueuedConnection);
    }
    void ArriveAfter(int ms, const QByteArray& bytes) {
        if (ms <= 0) return Arrive(bytes);
        QTimer::singleShot(ms, this, [this, bytes] { Arrive(bytes); });
    }
    // The far end vanishes: not connected from now on, one I/O line error at the next pump.
    void Vanish() {
        m_lost = true;
        QMetaObject::invokeMethod(
            this, [this] { emit LineError(LineErrorBits::IO); }, Qt::QueuedConnection);
    }

private:
    bool m_open = false;
    bool m_lost = false;
    QByteArray m_rx;
};
