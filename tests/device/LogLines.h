#pragma once
// Reading a communication log back as the texts of its entries.

#include <QFile>
#include <QRegularExpression>
#include <QStringList>

// The entries of the log file at `path`, each without its "[yymmdd-hhnnss] " stamp. A line
// without the stamp or without its CR LF is kept whole and marked, so that a comparison shows it.
inline QStringList ReadLogTexts(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    QList<QByteArray> lines = file.readAll().split('\n');
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
        texts.append(m.hasMatch() ? text.mid(m.capturedLength())
                                  : QStringLiteral("<no stamp> ") + text);
    }
    return texts;
}
