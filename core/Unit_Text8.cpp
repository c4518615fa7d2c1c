#include "core/Unit_Text8.h"

namespace Text8 {

namespace {
constexpr char16_t kGreaterEqual = u'\u2265';
constexpr char16_t kLessEqual = u'\u2264';
} // namespace

QByteArray FromWide(const QString& text) {
    QByteArray out;
    out.reserve(text.size() + 4);
    for (QChar c : text) {
        if (c == QChar(kGreaterEqual)) {
            out.append('\xA1').append('\xC3');
        } else if (c == QChar(kLessEqual)) {
            out.append('\xA1').append('\xC2');
        } else {
            out.append(char(c.unicode() & 0xFF));
        }
    }
    return out;
}

QString ToWide(const QByteArray& text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b == 0xA1 && i + 1 < text.size()) {
            const unsigned char next = static_cast<unsigned char>(text[i + 1]);
            if (next == 0xC3 || next == 0xC2) {
                out.append(QChar(next == 0xC3 ? kGreaterEqual : kLessEqual));
                ++i;
                continue;
            }
        }
        out.append(QChar(char16_t(b)));
    }
    return out;
}

} // namespace Text8
