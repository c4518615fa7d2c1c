#include "core/Unit_Numbers.h"

#include <QLocale>
#include <cfenv>
#include <cmath>
#include <limits>

namespace Numbers {

namespace {

// Round-half-even of value * scale, decided on the exact product. The product of a double with
// 10 or 100 is exact in the 64-bit significand of the x87 extended type; where long double is
// only a double (MSVC, ARM), the rounding error of the product is recovered with fma and decides
// the ties instead.
long double ScaledNearest(long double value, long double scale) {
    const int oldMode = std::fegetround();
    if (oldMode != FE_TONEAREST) std::fesetround(FE_TONEAREST);
    long double rounded = 0.0L;
    if constexpr (std::numeric_limits<long double>::digits >= 64) {
        rounded = std::nearbyintl(value * scale);
    } else {
        rounded = RoundScaledPortable(double(value), double(scale));
    }
    if (oldMode != FE_TONEAREST) std::fesetround(oldMode);
    return rounded;
}

} // namespace

double RoundScaledPortable(double value, double scale) {
    const double product = value * scale;
    const double error = std::fma(value, scale, -product);
    const double nearest = std::nearbyint(product);
    const double offset = product - nearest;
    // Only a product that is exactly a half can be pushed off the tie by its rounding error.
    if ((offset == 0.5 || offset == -0.5) && error != 0.0)
        return error > 0.0 ? std::floor(product) + 1.0 : std::ceil(product) - 1.0;
    return nearest;
}

double RoundToExtended(long double value, int decimals) {
    if (!std::isfinite(value)) return double(value);
    long double scale = 1.0L;
    long double inverse = 1.0L;
    if (decimals == 1) {
        scale = 10.0L;
        inverse = 0.1L;
    } else if (decimals == 2) {
        scale = 100.0L;
        inverse = 0.01L;
    }
    return static_cast<double>(ScaledNearest(value, scale) * inverse);
}

double RoundTo(double value, int decimals) {
    return RoundToExtended(static_cast<long double>(value), decimals);
}

namespace {

bool IsBlank(QChar c) {
    return c == u' ' || c == u'\t';
}

QStringView Trimmed(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

bool IsDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// Checks the shape of a decimal number; the conversion itself is left to QLocale::c().
bool IsDecimalShape(QStringView t) {
    qsizetype i = 0;
    const qsizetype n = t.size();
    if (i < n && (t[i] == u'+' || t[i] == u'-')) ++i;
    qsizetype digits = 0;
    while (i < n && IsDigit(t[i]))
        ++i, ++digits;
    if (i < n && t[i] == u'.') {
        ++i;
        while (i < n && IsDigit(t[i]))
            ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < n && (t[i] == u'e' || t[i] == u'E')) {
        ++i;
        if (i < n && (t[i] == u'+' || t[i] == u'-')) ++i;
        qsizetype expDigits = 0;
        while (i < n && IsDigit(t[i]))
            ++i, ++expDigits;
        if (expDigits == 0) return false;
    }
    return i == n;
}

bool IsIntegerShape(QStringView t) {
    qsizetype i = 0;
    const qsizetype n = t.size();
    if (i < n && (t[i] == u'+' || t[i] == u'-')) ++i;
    if (i == n) return false;
    for (; i < n; ++i)
        if (!IsDigit(t[i])) return false;
    return true;
}

} // namespace

bool TryReadDouble(QStringView text, double& value) {
    const QStringView t = Trimmed(text);
    if (!IsDecimalShape(t)) return false;
    bool ok = false;
    QString copy = t.toString();
    // QLocale::c() refuses a leading '+'.
    if (copy.startsWith(u'+')) copy.remove(0, 1);
    const double v = QLocale::c().toDouble(copy, &ok);
    if (!ok || !std::isfinite(v)) return false;
    value = v;
    return true;
}

bool TryReadDouble(const QByteArray& text, double& value) {
    return TryReadDouble(QString::fromLatin1(text), value);
}

double ReadDouble(QStringView text, double fallback) {
    double v = 0.0;
    return TryReadDouble(text, v) ? v : fallback;
}

bool TryReadInt(QStringView text, qint32& value) {
    const QStringView t = Trimmed(text);
    if (!IsIntegerShape(t)) return false;
    // Accumulated by hand: the calibration file holds tens of thousands of these.
    qsizetype i = 0;
    const bool negative = t[0] == u'-';
    if (t[0] == u'-' || t[0] == u'+') ++i;
    qint64 magnitude = 0;
    for (; i < t.size(); ++i) {
        magnitude = magnitude * 10 + (t[i].unicode() - u'0');
        if (magnitude > qint64(std::numeric_limits<qint32>::max()) + 1) return false;
    }
    const qint64 v = negative ? -magnitude : magnitude;
    if (v > std::numeric_limits<qint32>::max()) return false;
    value = static_cast<qint32>(v);
    return true;
}

bool TryReadInt(const QByteArray& text, qint32& value) {
    return TryReadInt(QString::fromLatin1(text), value);
}

qint32 ReadInt(QStringView text, qint32 fallback) {
    qint32 v = 0;
    return TryReadInt(text, v) ? v : fallback;
}

bool TryReadIniInt(QStringView text, qint32& value) {
    const QStringView t = Trimmed(text);
    if (t.size() > 2 && t[0] == u'0' && (t[1] == u'x' || t[1] == u'X')) {
        const QStringView hex = t.mid(2);
        for (QChar c : hex)
            if (!(IsDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'))) return false;
        bool ok = false;
        const qulonglong v = hex.toString().toULongLong(&ok, 16);
        if (!ok || v > 0xFFFFFFFFull) return false;
        value = static_cast<qint32>(static_cast<quint32>(v));
        return true;
    }
    return TryReadInt(t, value);
}

QString FormatFixedEnUS(double value, int decimals) {
    QString s = QString::number(value, 'f', decimals);
    // A value that rounds to zero from below prints without its sign.
    if (s.startsWith(u'-')) {
        bool allZero = true;
        for (QChar c : QStringView(s).mid(1))
            if (IsDigit(c) && c != u'0') allZero = false;
        if (allZero) s.remove(0, 1);
    }
    return s;
}

QString FormatFixed(double value, int decimals) {
    QString s = FormatFixedEnUS(value, decimals);
    const QString point = QLocale::system().decimalPoint();
    if (point != QStringLiteral(".")) s.replace(u'.', point);
    return s;
}

} // namespace Numbers
