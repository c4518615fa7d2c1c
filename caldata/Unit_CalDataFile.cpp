#include "caldata/Unit_CalDataFile.h"

#include "core/Unit_Messages.h"
#include "core/Unit_Numbers.h"

#include <QFileInfo>
#include <QIODevice>
#include <QStringDecoder>

#include <deque>
#include <vector>

namespace {

bool IsBlank(QChar c) {
    return c.unicode() >= 1 && c.unicode() <= 32;
}

// The field rule, handing each field to `onField` as a view into the line. A quoted field is
// unescaped into the string that `quotedText()` hands out, and its view points there.
template <typename QuotedText, typename OnField>
void ForEachField(QStringView line, QChar separator, QuotedText&& quotedText, OnField&& onField) {
    const QChar* p = line.data();
    const qsizetype n = line.size();
    qsizetype i = 0;
    while (i < n && IsBlank(p[i]))
        ++i;
    while (i < n) {
        if (p[i] == u'"') {
            QString& text = quotedText();
            text.clear();
            ++i;
            while (i < n) {
                qsizetype end = i;
                while (end < n && p[end] != u'"')
                    ++end;
                text.append(p + i, end - i);
                i = end;
                if (i >= n) break; // no closing quote: the field runs to the end of the line
                if (i + 1 < n && p[i + 1] == u'"') {
                    text.append(u'"');
                    i += 2;
                    continue;
                }
                ++i;
                break;
            }
            onField(QStringView(text));
        } else {
            const qsizetype start = i;
            while (i < n && !IsBlank(p[i]) && p[i] != separator)
                ++i;
            onField(QStringView(p + start, i - start));
        }
        while (i < n && IsBlank(p[i]))
            ++i;
        if (i < n && p[i] == separator) {
            if (i + 1 == n) onField(QStringView(u""));
            ++i;
            while (i < n && IsBlank(p[i]))
                ++i;
        }
    }
}

// The fields of one line, split without allocating once the buffers have grown: views into the
// line, or into pooled copies of quoted fields. Good until the next Split.
class LineFields {
public:
    void Split(QStringView line, QChar separator = QLatin1Char(',')) {
        Views.clear();
        qsizetype quotedUsed = 0;
        ForEachField(
            line, separator,
            [&]() -> QString& {
                if (quotedUsed == qsizetype(Quoted.size())) Quoted.emplace_back();
                return Quoted[quotedUsed++];
            },
            [this](QStringView field) { Views.push_back(field); });
    }
    int Count() const { return int(Views.size()); }
    // The field, or an empty text past the last one.
    QStringView operator[](int index) const {
        return index >= 0 && index < Count() ? Views[index] : QStringView();
    }

private:
    std::vector<QStringView> Views;
    std::deque<QString> Quoted; // a deque never moves its elements
};

QString Decode(const QByteArray& bytes) {
    auto startsWith = [&bytes](std::initializer_list<unsigned char> bom) {
        if (bytes.size() < qsizetype(bom.size())) return false;
        qsizetype i = 0;
        for (unsigned char b : bom)
            if (static_cast<unsigned char>(bytes[i++]) != b) return false;
        return true;
    };
    if (startsWith({0xEF, 0xBB, 0xBF})) return QString::fromUtf8(bytes.mid(3));
    if (startsWith({0xFF, 0xFE})) {
        QStringDecoder decoder(QStringConverter::Utf16LE);
        return decoder.decode(bytes.mid(2));
    }
    if (startsWith({0xFE, 0xFF})) {
        QStringDecoder decoder(QStringConverter::Utf16BE);
        return decoder.decode(bytes.mid(2));
    }
    return QString::fromLatin1(bytes);
}

// A position part; one that is not an integer reads as -1.
qint32 ReadPart(QStringView part) {
    qint32 value = -1;
    return Numbers::TryReadInt(part, value) ? value : -1;
}

// A cell: "x" (no grid point) or Pos1:Pos2:Pos3. False when it is neither.
bool DecodeCell(QStringView text, QString& scratch, CalibrationCell& cell) {
    if (text == u"x") {
        cell.Valid = false;
        cell.Pos1 = cell.Pos2 = cell.Pos3 = -1;
        return true;
    }
    qint32 parts[3] = {-1, -1, -1};
    int count = 0;
    ForEachField(
        text, QLatin1Char(':'), [&scratch]() -> QString& { return scratch; },
        [&](QStringView part) {
            if (count < 3) parts[count] = ReadPart(part);
            ++count;
        });
    if (count != 3) return false;
    cell.Pos1 = parts[0];
    cell.Pos2 = parts[1];
    cell.Pos3 = parts[2];
    cell.Valid = parts[0] >= 0 && parts[1] >= 0 && parts[2] >= 0;
    return true;
}

QString RowTag(int row) {
    return QStringLiteral("(%1)").arg(row);
}

} // namespace

QStringList ReadCalDataLines(const QByteArray& bytes) {
    const QString text = Decode(bytes);
    QStringList lines;
    const QChar* p = text.constData();
    const qsizetype n = text.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = p[i].unicode();
        if (c != u'\r' && c != u'\n') continue;
        lines.append(QString(p + start, i - start));
        if (c == u'\r' && i + 1 < n && p[i + 1] == u'\n') ++i;
        start = i + 1;
    }
    if (start < n) lines.append(text.mid(start));
    return lines;
}

bool CalDataListLines::Line(qsizetype index, QString& text) {
    if (index < 0 || index >= Lines.size()) return false;
    text = Lines[index];
    return true;
}

CalDataFileLines::CalDataFileLines(QIODevice& file) : File(file) {
    QByteArray head;
    if (File.seek(0)) head = File.peek(3);
    if (head.startsWith("\xEF\xBB\xBF")) {
        Enc = Encoding::Utf8;
        DataStart = 3;
    } else if (head.startsWith("\xFF\xFE")) {
        Enc = Encoding::Utf16LE;
        UnitBytes = 2;
        DataStart = 2;
    } else if (head.startsWith("\xFE\xFF")) {
        Enc = Encoding::Utf16BE;
        UnitBytes = 2;
        DataStart = 2;
    }
    ScanPos = DataStart;
}

char16_t CalDataFileLines::UnitAt(const char* p) const {
    const auto b0 = static_cast<unsigned char>(p[0]);
    if (UnitBytes == 1) return b0;
    const auto b1 = static_cast<unsigned char>(p[1]);
    return Enc == Encoding::Utf16LE ? char16_t(b0 | b1 << 8) : char16_t(b0 << 8 | b1);
}

QString CalDataFileLines::Decode(const QByteArray& bytes, bool atDataStart) const {
    // Each line is decoded on its own, yet it must read as it does in the whole text: a decoder
    // drops a byte-order mark at the start of what it is given, which the whole text does only
    // at its very start; at the start of a later line the mark is a character of that line.
    QStringConverter::Flags flags = QStringConverter::Flag::Stateless;
    if (!atDataStart) flags |= QStringConverter::Flag::ConvertInitialBom;
    switch (Enc) {
    case Encoding::Utf8:
        return QStringDecoder(QStringConverter::Utf8, flags).decode(bytes);
    case Encoding::Utf16LE:
        return QStringDecoder(QStringConverter::Utf16LE, flags).decode(bytes);
    case Encoding::Utf16BE:
        return QStringDecoder(QStringConverter::Utf16BE, flags).decode(bytes);
    case Encoding::Latin1:
        break;
    }
    return QString::fromLatin1(bytes);
}

bool CalDataFileLines::HasLines(qsizetype count) {
    constexpr qint64 kChunk = 64 * 1024;
    while (qsizetype(Starts.size()) < count && !ScanEnded) {
        if (ScanPos - DataStart >= MaxScanBytes || !File.seek(ScanPos)) {
            ScanEnded = true;
            break;
        }
        const QByteArray chunk = File.read(kChunk);
        const qsizetype units = chunk.size() / UnitBytes;
        if (units == 0) {
            ScanEnded = true; // the end, a read error, or a last half unit
            break;
        }
        qsizetype i = 0;
        while (i < units && qsizetype(Starts.size()) < count) {
            const char16_t unit = UnitAt(chunk.constData() + i * UnitBytes);
            const qint64 at = ScanPos + i * UnitBytes;
            ++i;
            if (AfterCr) {
                AfterCr = false;
                if (unit == u'\n') continue; // the LF of a CR LF
            }
            if (AtLineStart) {
                Starts.push_back(at);
                AtLineStart = false;
            }
            if (unit == u'\r') {
                AtLineStart = true;
                AfterCr = true;
            } else if (unit == u'\n') {
                AtLineStart = true;
            }
        }
        ScanPos += i * UnitBytes;
    }
    return qsizetype(Starts.size()) >= count;
}

bool CalDataFileLines::Line(qsizetype index, QString& text) {
    text.clear();
    if (index < 0 || !HasLines(index + 1)) return false;
    if (!File.seek(Starts[size_t(index)])) return false;
    const qint64 want = (MaxLineUnits + 1) * UnitBytes;
    const QByteArray bytes = File.read(want);
    const qsizetype units = bytes.size() / UnitBytes;
    qsizetype end = 0;
    while (end < units) {
        const char16_t unit = UnitAt(bytes.constData() + end * UnitBytes);
        if (unit == u'\r' || unit == u'\n') break;
        ++end;
    }
    // No line end within the bound, and more bytes behind it: the line is too long to examine.
    if (end > MaxLineUnits) return false;
    text = Decode(bytes.left(end * UnitBytes), Starts[size_t(index)] == DataStart);
    return true;
}

QStringList SplitCalDataFields(const QString& line, QChar separator) {
    QStringList fields;
    QString scratch;
    ForEachField(
        line, separator, [&scratch]() -> QString& { return scratch; },
        [&fields](QStringView field) { fields.append(field.toString()); });
    return fields;
}

bool IsDeliveredCalFileNameValid(const QString& fileName, const QString& model,
                                 const QString& serial) {
    const QString name = QFileInfo(fileName).fileName();
    if (name.size() != 30) return false;
    qint32 date = 0;
    if (!Numbers::TryReadInt(QStringView(name).mid(0, 8), date) || date < 20180101) return false;
    return QStringView(name).mid(9, 4) == model && QStringView(name).mid(14, 12) == serial;
}

QString KeptCalFileName(const QString& model, const QString& serial) {
    return model + QLatin1Char('_') + serial + QStringLiteral(".csv");
}

CalDataLoadResult LoadCalDataLines(const QStringList& lines, const QString& model,
                                   const QString& serial, CalibrationTable& table) {
    CalDataListLines source(lines);
    return LoadCalData(source, model, serial, table);
}

CalDataLoadResult LoadCalData(CalDataLineSource& lines, const QString& model, const QString& serial,
                              CalibrationTable& table) {
    auto fail = [&table](int code, const QString& tag) {
        table.Empty();
        return CalDataLoadResult{code, tag};
    };
    // Every check of a stage is made, even after one of them has failed. A line that cannot be
    // read is split as an empty line and fails its stage.
    if (!lines.HasLines(7)) return fail(20, QString());
    LineFields f;
    QString line;
    auto split = [&](qsizetype index) {
        const bool read = lines.Line(index, line);
        f.Split(line);
        return read;
    };

    {
        bool ok = split(0) && f.Count() >= 2;
        if (f[0] != u"Model") ok = false;
        if (f.Count() < 2 || f[1] != model) ok = false;
        if (!ok) return fail(11, QStringLiteral("(Model)"));
    }
    {
        bool ok = split(1) && f.Count() >= 3;
        if (f[0] != u"Serial") ok = false;
        if (f.Count() < 3 || f[2] != serial) ok = false;
        if (!ok) return fail(12, QStringLiteral("(Serial)"));
    }
    {
        bool ok = split(3) && f.Count() >= 2;
        if (f[0] != u"COLUMN") ok = false;
        qint32 cols = -1;
        if (f.Count() < 2 || !Numbers::TryReadInt(f[1], cols)) ok = false;
        if (cols >= 0 && cols <= CalibrationTable::kMaxCols)
            table.ColCount = cols;
        else
            ok = false;
        if (!ok) return fail(13, QStringLiteral("(tCol)"));
    }
    {
        bool ok = split(4) && f.Count() >= 2;
        if (f[0] != u"ROW") ok = false;
        qint32 rows = -1;
        if (f.Count() < 2 || !Numbers::TryReadInt(f[1], rows)) ok = false;
        if (rows >= 0 && rows <= CalibrationTable::kMaxRows) {
            table.RowCount = rows;
            if (!lines.HasLines(qsizetype(rows) + 6)) ok = false;
        } else {
            ok = false;
        }
        if (!ok) return fail(14, QStringLiteral("(tRow)"));
    }

    const int cols = table.ColCount;
    const int rows = table.RowCount;
    if (!split(5) || f.Count() < cols + 2) return fail(15, QStringLiteral("(tWid)"));
    for (int c = 0; c < cols; ++c)
        table.ColValues[c] = Numbers::ReadDouble(f[c + 2], 0.0);

    QString scratch;
    for (int r = 1; r <= rows; ++r) {
        // The line count was checked with ROW; a missing line here is a fault of the rows as a
        // whole rather than of one row.
        if (!lines.HasLines(6 + r)) return fail(16, QStringLiteral("(tWid)"));
        if (!split(5 + r) || f.Count() < cols + 2) return fail(17, RowTag(r));
        qint32 number = 0;
        if (!Numbers::TryReadInt(f[0], number) || number < r) return fail(18, RowTag(r));
        const double cwl = Numbers::ReadDouble(f[1], 0.0);
        table.RowValues[r - 1] = cwl;
        for (int c = 1; c <= cols; ++c) {
            CalibrationCell& cell = table.Cell(r - 1, c - 1);
            cell.Cwl = cwl;
            cell.Fwhm = table.ColValues[c - 1];
            if (!DecodeCell(f[c + 1], scratch, cell))
                return fail(19, QStringLiteral("(%1/%2)").arg(r).arg(c));
        }
    }
    return CalDataLoadResult{0, QString()};
}

QString CalDataErrorMessage(int code, const QString& tag) {
    if (code == 0) return QString();
    // The texts of the check stages end in a space after which the tag follows directly.
    if (code >= 11 && code <= 19) return Messages::Text(code) + QLatin1Char(' ') + tag;
    return Messages::Text(code);
}
