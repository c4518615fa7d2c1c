#pragma once
// A small INI file kept in memory and written back in one piece.
//
// Written by hand because QSettings sorts keys, quotes and escapes values and treats commas as
// lists: the settings file must keep its keys in the program's order and its texts as they are.
// Unknown sections, keys and comment lines survive a rewrite.

#include <QString>
#include <QStringList>

class TIniFile {
public:
    // `content` is the file's text as read; the object writes to `path`.
    TIniFile(const QString& path, const QByteArray& content);

    const QString& FileName() const { return Path; }

    // A missing section or key gives the default.
    QString ReadString(const QString& section, const QString& key, const QString& def) const;
    void WriteString(const QString& section, const QString& key, const QString& value);

    // Replaces the file at once (temporary file renamed over it). False when it cannot be written.
    bool UpdateFile() const;

private:
    // Index of the line holding the key in the section, or -1.
    qsizetype FindKey(const QString& section, const QString& key) const;
    // Index of the section's header line, or -1.
    qsizetype FindSection(const QString& section) const;
    // Index after the last key line of the section starting at `header`.
    qsizetype SectionEnd(qsizetype header) const;

    QString Path;
    QStringList Lines;
};
