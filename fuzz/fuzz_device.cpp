// The instrument driver's receive buffer and answer recognition on arbitrary arrivals, and the
// field reading of whatever answer it accepts.
//
// Input: one byte choosing the command in flight, then steps. A step byte of 0 clears the
// buffer as the next command would; a step byte n > 0 is followed by n bytes that arrive at once.

#include "device/Unit_ResponseFields.h"
#include "device/Unit_devicevuzaravarede.h"
#include "fuzz/FuzzCheck.h"

#include <algorithm>

namespace {

// A line that takes every write and hands over whatever the input says has arrived.
class FuzzPort : public TSerialPortBase {
public:
    bool open(const QString&, qint32) override { return true; }
    void close() override {}
    bool purge() override {
        Pending.clear();
        return true;
    }
    qint64 bytesAvailable() const override { return Pending.size(); }
    QByteArray readAvailable(qint64 maxBytes) override {
        const QByteArray bytes = Pending.left(maxBytes);
        Pending.remove(0, bytes.size());
        return bytes;
    }
    bool write(const QByteArray&, int) override { return true; }
    bool isConnected() const override { return true; }

    void Arrive(const QByteArray& bytes) {
        Pending += bytes;
        emit RxChar(int(Pending.size()));
    }

    QByteArray Pending;
};

struct Rule {
    const char* name;
    int minLength;
};
// The commands the driver knows, and one it does not.
const Rule Rules[] = {{"?", 15},   {"HOME", 1}, {"POS", 7},  {"GO", 6},
                      {"INFO", 8}, {"BKEN", 6}, {"STOP", -1}};

bool Accepted(const Rule& rule, const QString& answer) {
    const QString name = QLatin1String(rule.name);
    if (name == u'?') return answer.startsWith(QLatin1String("Kravo FM Ver"));
    if (name == QLatin1String("HOME")) return answer == QLatin1String("G");
    return answer.startsWith(name);
}

void SendFor(TDevice_VuzaRavarede& driver, const Rule& rule) {
    const QString name = QLatin1String(rule.name);
    bool sent = false;
    if (name == QLatin1String("GO"))
        sent = driver.SendCommand(name, 100, 200, 300);
    else if (name == QLatin1String("BKEN"))
        sent = driver.SendCommand(name, false);
    else if (name == QLatin1String("?") || name == QLatin1String("STOP"))
        sent = driver.SendCommand(name);
    else
        sent = driver.SendCommand(name, 3);
    FUZZ_CHECK(sent);
}

void CheckFields(const QString& answer) {
    const QStringList fields = ResponseFields::Split(answer);
    FUZZ_CHECK(fields.size() <= answer.size() + 1);
    for (const QString& field : fields) {
        FUZZ_CHECK(!field.contains(QChar(u'\0')));
        ResponseFields::ToInt(field);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0) return 0;
    FuzzPort* port = nullptr;
    TDevice_VuzaRavarede driver;
    driver.SetPortFactory([&port] {
        auto made = std::make_unique<FuzzPort>();
        port = made.get();
        return std::unique_ptr<TSerialPortBase>(std::move(made));
    });
    FUZZ_CHECK(driver.Open(QStringLiteral("COM1"), QStringLiteral("38400")));
    FUZZ_CHECK(port != nullptr);

    const Rule& rule = Rules[data[0] % std::size(Rules)];
    FUZZ_CHECK(driver.ClearBuffer());
    SendFor(driver, rule);
    // An unknown command never changes the answer text.
    const QString unknownMarker = QStringLiteral("(none)");
    if (rule.minLength < 0) driver.ResponseText = unknownMarker;

    std::size_t i = 1;
    while (i < size) {
        const std::size_t n = data[i++];
        if (n == 0) {
            FUZZ_CHECK(driver.ClearBuffer());
            FUZZ_CHECK(driver.RxCount == 0);
            continue;
        }
        const std::size_t take = std::min(n, size - i);
        const int before = driver.RxCount;
        port->Arrive(QByteArray(reinterpret_cast<const char*>(data + i), qsizetype(take)));
        i += take;

        FUZZ_CHECK(port->Pending.isEmpty());
        FUZZ_CHECK(driver.RxCount >= 0 && driver.RxCount <= TDevice_VuzaRavarede::RxBufferSize);
        FUZZ_CHECK(driver.RxCount <= before + int(take));
        const bool endsInCr = driver.RxCount > 1 && driver.RxBuffer[driver.RxCount - 1] == 0x0D;
        if (!driver.ResponseComplete) continue;

        // A complete answer is always the buffer up to its final carriage return.
        FUZZ_CHECK(endsInCr);
        if (rule.minLength < 0) {
            FUZZ_CHECK(!driver.ResponseOk);
            FUZZ_CHECK(driver.ResponseText == unknownMarker);
            continue;
        }
        const QString answer = QString::fromLatin1(
            reinterpret_cast<const char*>(driver.RxBuffer.data()), driver.RxCount - 1);
        FUZZ_CHECK(driver.ResponseText == answer);
        if (driver.ResponseOk) {
            FUZZ_CHECK(answer.size() >= rule.minLength && Accepted(rule, answer));
        } else {
            FUZZ_CHECK(answer.size() < rule.minLength);
        }
        CheckFields(answer);
    }
    driver.Close();
    return 0;
}
