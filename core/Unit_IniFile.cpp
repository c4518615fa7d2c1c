#include "core/Unit_IniFile.h"

#include <QSaveFile>

namespace {

bool IsSectionHeader(const QString& line, QString* name = nullptr) {
    const QString t = line.trimmed();
    if (t.size() < 2 || !t.startsWith(u'[') || !t.endsWith(u']')) return false;
    if (name) *name = t.mid(1, t.size() - 2).trimmed();
    return true;
}

bool SplitKeyLine(const QString& line, QString* key, QString* value) {
    const qsizetype eq = line.indexOf(u'=');
    if (eq <= 0) return false;
    const QString k = line.left(eq).trimmed();
    if (k.isEmpty() || k.startsWith(u';') || k.startsWith(u'#')) return false;
    if (key) *key = k;
    if (value) *value = line.mid(eq + 1).trimmed();
    return true;
}

} // namespace

TIniFile::TIniFile(const QString& path, const QByteArray& content) : Path(path) {
    // An editor may have saved the file with a UTF-8 byte-order mark, some more than one; none
    // is kept, so none is written back.
    QByteArrayView data(content);
    while (data.startsWith("\xEF\xBB\xBF"))
        data = data.sliced(3);
    // 8-bit text: each byte is one character. Lines end at CR LF, LF or CR.
    const QString text = QString::fromLatin1(data);
    QString current;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\r' || c == u'\n') {
            Lines.append(current);
            current.clear();
            if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
        } else {
            current.append(c);
        }
    }
    if (!current.isEmpty()) Lines.append(current);
}

qsizetype TIniFile::FindSection(const QString& section) const {
    QString name;
    for (qsizetype i = 0; i < Lines.size(); ++i)
        if (IsSectionHeader(Lines[i], &name) && name.compare(section, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

qsizetype TIniFile::SectionEnd(qsizetype header) const {
    qsizetype end = header + 1;
    for (qsizetype i = header + 1; i < Lines.size(); ++i) {
        if (IsSectionHeader(Lines[i])) break;
        if (SplitKeyLine(Lines[i], nullptr, nullptr)) end = i + 1;
    }
    return end;
}

qsizetype TIniFile::FindKey(const QString& section, const QString& key) const {
    const qsizetype header = FindSection(section);
    if (header < 0) return -1;
    QString k;
    for (qsizetype i = header + 1; i < Lines.size(); ++i) {
        if (IsSectionHeader(Lines[i])) break;
        if (SplitKeyLine(Lines[i], &k, nullptr) && k.compare(key, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& def) const {
    const qsizetype line = FindKey(section, key);
    if (line < 0) return def;
    QString value;
    SplitKeyLine(Lines[line], nullptr, &value);
    return value;
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    const QString entry = key + u'=' + value;
    const qsizetype line = FindKey(section, key);
    if (line >= 0) {
        Lines[line] = entry;
        return;
    }
    const qsizetype header = FindSection(section);
    if (header >= 0) {
        Lines.insert(SectionEnd(header), entry);
        return;
    }
    // A new section follows the last one, separated by an empty line when the file has text.
    if (!Lines.isEmpty() && !Lines.last().trimmed().isEmpty()) Lines.append(QString());
    Lines.append(u'[' + section + u']');
    Lines.append(entry);
}

bool TIniFile::UpdateFile() const {
    QSaveFile file(Path);
    // In a folder that takes no new files, a writable settings file is still written, in place.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)) return false;
#ifdef Q_OS_WIN
    const QByteArray eol("\r\n");
#else
    const QByteArray eol("\n");
#endif
    QByteArray data;
    for (const QString& line : Lines)
        data += line.toLatin1() + eol;
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
