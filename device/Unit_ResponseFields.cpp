#include "device/Unit_ResponseFields.h"

#include "core/Unit_Numbers.h"

namespace ResponseFields {

namespace {

constexpr QChar Quote = u'"';
constexpr QChar Comma = u',';

bool IsSeparatorBlank(QChar c) {
    return c.unicode() >= 1 && c.unicode() <= 32;
}

} // namespace

QStringList Split(const QString& answer) {
    // Everything from a NUL on is not part of the answer.
    const qsizetype nul = answer.indexOf(QChar(u'\0'));
    const QStringView text = QStringView(answer).left(nul < 0 ? answer.size() : nul);
    const qsizetype n = text.size();

    QStringList fields;
    qsizetype i = 0;
    while (i < n && IsSeparatorBlank(text[i]))
        ++i;
    while (i < n) {
        QString field;
        if (text[i] == Quote) {
            ++i;
            while (i < n) {
                if (text[i] == Quote) {
                    if (i + 1 < n && text[i + 1] == Quote) {
                        field += Quote;
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += text[i++];
            }
        } else {
            const qsizetype start = i;
            while (i < n && text[i].unicode() > 32 && text[i] != Comma)
                ++i;
            field = text.mid(start, i - start).toString();
        }
        fields.append(field);
        while (i < n && IsSeparatorBlank(text[i]))
            ++i;
        if (i < n && text[i] == Comma) {
            if (i + 1 == n) fields.append(QString());
            ++i;
            while (i < n && IsSeparatorBlank(text[i]))
                ++i;
        }
    }
    return fields;
}

qint32 ToInt(const QString& field) {
    // The number reader allows blanks around; a field with blanks (only possible when quoted)
    // is not a whole number.
    if (field.isEmpty() || field.front().unicode() <= 32 || field.back().unicode() <= 32) return -1;
    qint32 value = 0;
    return Numbers::TryReadInt(field, value) ? value : -1;
}

} // namespace ResponseFields
