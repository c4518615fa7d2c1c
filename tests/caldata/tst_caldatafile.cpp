// The calibration data file: lines, fields, the delivered file name, the staged checks that fill
// the table, and the error lines.
#include "caldata/CalFileFixture.h"
#include "caldata/Unit_CalDataFile.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTest>
#include <cstring>
#include <memory>

using namespace CalFixture;

namespace {

QStringList With(QStringList lines, int lineNumber, const QString& text) {
    lines[lineNumber - 1] = text;
    return lines;
}

QString Digits(int count) {
    return QStringLiteral("1") + QString(count - 1, u'0');
}

// A file of `rows` data rows of the example's shape, with FWHM 10 and 20.
QStringList ExampleShape(int declaredRows, int dataRows) {
    QStringList lines = ExampleLines().mid(0, 6);
    lines[4] = QStringLiteral("ROW,%1").arg(declaredRows);
    for (int r = 1; r <= dataRows; ++r)
        lines << QStringLiteral("%1,%2,1:2:3,4:5:6").arg(r).arg(Tenths(4000 + 5 * r));
    return lines;
}

struct Loaded {
    std::unique_ptr<CalibrationTable> Table = std::make_unique<CalibrationTable>();
    CalDataLoadResult Result;
};

// A file in memory that counts the bytes read from it.
class CountingBuffer : public QBuffer {
public:
    explicit CountingBuffer(const QByteArray& bytes) {
        setData(bytes);
        open(QIODevice::ReadOnly);
    }
    qint64 BytesRead = 0;

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 n = QBuffer::readData(data, maxSize);
        if (n > 0) BytesRead += n;
        return n;
    }
};

// Every line the file reader finds, as far as it can read them.
QStringList FileLines(const QByteArray& bytes) {
    CountingBuffer file(bytes);
    CalDataFileLines reader(file);
    QStringList lines;
    QString line;
    for (qsizetype i = 0; reader.HasLines(i + 1); ++i) {
        if (!reader.Line(i, line)) line = QStringLiteral("<unreadable>");
        lines.append(line);
    }
    return lines;
}

Loaded LoadFile(const QByteArray& bytes) {
    CountingBuffer file(bytes);
    CalDataFileLines reader(file);
    Loaded l;
    l.Result = LoadCalData(reader, kModel, kSerial, *l.Table);
    return l;
}

Loaded Load(const QStringList& lines) {
    Loaded l;
    l.Result = LoadCalDataLines(lines, kModel, kSerial, *l.Table);
    return l;
}

} // namespace

class TestCalDataFile : public QObject {
    Q_OBJECT
private slots:
    void splitFields_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QChar>("separator");
        QTest::addColumn<QStringList>("fields");
        const QChar comma(u',');
        QTest::newRow("plain") << "Model,F123" << comma << QStringList{"Model", "F123"};
        QTest::newRow("empty line") << "" << comma << QStringList{};
        QTest::newRow("blanks only") << " \t " << comma << QStringList{};
        QTest::newRow("blanks around fields")
            << "  Model ,\tF123  " << comma << QStringList{"Model", "F123"};
        QTest::newRow("blank splits an unquoted field")
            << "calibrated 2018-03-15" << comma << QStringList{"calibrated", "2018-03-15"};
        QTest::newRow("control characters are blanks") << QStringLiteral("a\x01\x1f"
                                                                         "b,c")
                                                       << comma << QStringList{"a", "b", "c"};
        QTest::newRow("two separators") << "a,,b" << comma << QStringList{"a", "", "b"};
        QTest::newRow("leading separators")
            << ",,10,20" << comma << QStringList{"", "", "10", "20"};
        QTest::newRow("trailing separator") << "a,b," << comma << QStringList{"a", "b", ""};
        QTest::newRow("separator alone") << "," << comma << QStringList{"", ""};
        // Only a separator as the very last character adds a field.
        QTest::newRow("separator then blanks") << "a, " << comma << QStringList{"a"};
        QTest::newRow("quoted with separator and blank")
            << "\"a, b\",c" << comma << QStringList{"a, b", "c"};
        QTest::newRow("doubled quote")
            << "\"say \"\"hi\"\"\",x" << comma << QStringList{"say \"hi\"", "x"};
        QTest::newRow("quoted empty") << "\"\",x" << comma << QStringList{"", "x"};
        QTest::newRow("unclosed quote runs to the end")
            << "\"abc,def" << comma << QStringList{"abc,def"};
        QTest::newRow("text after closing quote")
            << "\"ab\"cd,e" << comma << QStringList{"ab", "cd", "e"};
        QTest::newRow("quote inside unquoted field")
            << "a\"b,c" << comma << QStringList{"a\"b", "c"};
        QTest::newRow("cell parts")
            << "1200:3400:500" << QChar(u':') << QStringList{"1200", "3400", "500"};
        QTest::newRow("cell parts with blanks")
            << " 1 : 2 :3 " << QChar(u':') << QStringList{"1", "2", "3"};
        QTest::newRow("comma is text for ':'") << "1,2:3" << QChar(u':') << QStringList{"1,2", "3"};
    }
    void splitFields() {
        QFETCH(QString, line);
        QFETCH(QChar, separator);
        QFETCH(QStringList, fields);
        QCOMPARE(SplitCalDataFields(line, separator), fields);
    }

    void readLines_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("empty file") << QByteArray() << QStringList{};
        QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << QStringList{"a", "b"};
        QTest::newRow("lone LF") << QByteArray("a\nb\n") << QStringList{"a", "b"};
        QTest::newRow("lone CR") << QByteArray("a\rb\r") << QStringList{"a", "b"};
        QTest::newRow("no end on last line") << QByteArray("a\r\nb") << QStringList{"a", "b"};
        QTest::newRow("mixed ends")
            << QByteArray("a\r\rb\n\r\nc") << QStringList{"a", "", "b", "", "c"};
        QTest::newRow("LF CR is two ends") << QByteArray("a\n\rb") << QStringList{"a", "", "b"};
        QTest::newRow("empty lines kept")
            << QByteArray("\r\n\r\nx\r\n") << QStringList{"", "", "x"};
        QTest::newRow("8-bit is Latin-1")
            << QByteArray("caf\xE9\n") << QStringList{u"caf\u00E9"_qs};
        QTest::newRow("UTF-8 BOM") << QByteArray("\xEF\xBB\xBF"
                                                 "caf\xC3\xA9\r\nx")
                                   << QStringList{u"caf\u00E9"_qs, "x"};
        QTest::newRow("UTF-16 LE BOM") << QByteArray("\xFF\xFE"
                                                     "a\0\r\0\n\0\xE9\0",
                                                     10)
                                       << QStringList{"a", u"\u00E9"_qs};
        QTest::newRow("UTF-16 BE BOM")
            << QByteArray("\xFE\xFF\0a\0\r\0\xE9", 8) << QStringList{"a", u"\u00E9"_qs};
        QTest::newRow("NUL is text") << QByteArray("a\0b\n", 4) << QStringList{QString(u"a\0b"_qs)};
        // Only the mark at the very start is dropped; one that begins a later line is its text.
        QTest::newRow("UTF-8 mark inside") << QByteArray("\xEF\xBB\xBF"
                                                         "a\n\xEF\xBB\xBF"
                                                         "b")
                                           << QStringList{"a", u"\uFEFFb"_qs};
        QTest::newRow("UTF-16 LE mark inside") << QByteArray("\xFF\xFE"
                                                             "a\0\n\0\xFF\xFE"
                                                             "b\0",
                                                             10)
                                               << QStringList{"a", u"\uFEFFb"_qs};
    }
    void readLines() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        QCOMPARE(ReadCalDataLines(bytes), lines);
        // The file is read on demand, in pieces; a CR LF split between two pieces is one end.
        QCOMPARE(FileLines(bytes), lines);
        const QByteArray padding(64 * 1024 - 1, 'p');
        QCOMPARE(FileLines("\xEF\xBB\xBF" + padding + "\r\nx"),
                 (QStringList{QString::fromLatin1(padding), "x"}));
    }

    // A line longer than the reader takes fails the check that examines it; the line nobody
    // examines may be as long as it likes.
    void overlongLineFailsItsStage_data() {
        QTest::addColumn<int>("lineNumber");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("tag");
        QTest::newRow("model") << 1 << 11 << "(Model)";
        QTest::newRow("serial") << 2 << 12 << "(Serial)";
        QTest::newRow("not examined") << 3 << 0 << "";
        QTest::newRow("columns") << 4 << 13 << "(tCol)";
        QTest::newRow("rows") << 5 << 14 << "(tRow)";
        QTest::newRow("widths") << 6 << 15 << "(tWid)";
        QTest::newRow("data row 2") << 8 << 17 << "(2)";
        QTest::newRow("last data row") << 9 << 17 << "(3)";
    }
    void overlongLineFailsItsStage() {
        QFETCH(int, lineNumber);
        QStringList lines = ExampleLines();
        // Still a well-formed line when cut at the bound: only its length is wrong.
        lines[lineNumber - 1] += QString(CalDataFileLines::MaxLineUnits, u' ') + u',';
        const Loaded l = LoadFile(lines.join(u"\r\n").toLatin1());
        QTEST(l.Result.Code, "code");
        QTEST(l.Result.Tag, "tag");
        // Exactly at the bound the line is read.
        QStringList atBound = ExampleLines();
        const qsizetype room = CalDataFileLines::MaxLineUnits - atBound[lineNumber - 1].size();
        atBound[lineNumber - 1] += QString(room, u' ');
        QCOMPARE(LoadFile(atBound.join(u"\n").toLatin1()).Result.Code, 0);
    }

    // A huge file whose first lines are a good file is good, and only those lines are read.
    void largeFileIsReadOnlyAsFarAsNeeded() {
        const QByteArray head = ExampleLines().join(u"\r\n").toLatin1() + "\r\n";
        CountingBuffer file(head + QByteArray(50 * 1024 * 1024, 'z'));
        CalDataFileLines reader(file);
        CalibrationTable table;
        QCOMPARE(LoadCalData(reader, kModel, kSerial, table).Code, 0);
        QCOMPARE(table.RowCount, 3);
        QVERIFY2(file.BytesRead < 1024 * 1024, qPrintable(QString::number(file.BytesRead)));
        // A file that is one endless line is looked through only up to the scan bound.
        CountingBuffer endless(QByteArray(CalDataFileLines::MaxScanBytes + 1024 * 1024, '\0'));
        CalDataFileLines endlessReader(endless);
        QCOMPARE(LoadCalData(endlessReader, kModel, kSerial, table).Code, 20);
        QVERIFY(endless.BytesRead <= CalDataFileLines::MaxScanBytes + 64 * 1024);
    }

    void deliveredFileName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("valid");
        QTest::newRow("sample") << "20180315_F123_ABCD12345678.csv" << true;
        QTest::newRow("with folder") << "/home/lab/cal/20180315_F123_ABCD12345678.csv" << true;
        QTest::newRow("first accepted date") << "20180101_F123_ABCD12345678.csv" << true;
        QTest::newRow("other separators and ending") << "20190101-F123-ABCD12345678.CSV" << true;
        QTest::newRow("date too early") << "20171231_F123_ABCD12345678.csv" << false;
        QTest::newRow("31 characters") << "20180315_F123_ABCD12345678.csv2" << false;
        QTest::newRow("29 characters") << "20180315_F123_ABCD12345678.cs" << false;
        QTest::newRow("date not a number") << "2018O315_F123_ABCD12345678.csv" << false;
        QTest::newRow("model case") << "20180315_f123_ABCD12345678.csv" << false;
        QTest::newRow("other serial") << "20180315_F123_ABCD12345679.csv" << false;
        QTest::newRow("kept copy name") << "F123_ABCD12345678.csv" << false;
        QTest::newRow("empty") << "" << false;
    }
    void deliveredFileName() {
        QFETCH(QString, name);
        QFETCH(bool, valid);
        QCOMPARE(IsDeliveredCalFileNameValid(name, kModel, kSerial), valid);
    }

    void keptFileName() {
        QCOMPARE(KeptCalFileName(kModel, kSerial), QStringLiteral("F123_ABCD12345678.csv"));
    }

    void loadChecks_data() {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("tag");
        const QStringList ok = ExampleLines();
        const QString longText(1000000, u'A');
        QTest::newRow("example") << ok << 0 << "";
        QTest::newRow("empty file") << QStringList{} << 20 << "";
        // Line 6 still needs its two leading fields.
        QTest::newRow("ROW 0 COLUMN 0, 7 lines")
            << QStringList{"Model,F123", "Serial,-,ABCD12345678", "", "COLUMN,0", "ROW,0", ",", ""}
            << 0 << "";
        QTest::newRow("ROW 0, 6 lines")
            << QStringList{"Model,F123", "Serial,-,ABCD12345678", "", "COLUMN,0", "ROW,0", ","}
            << 20 << "";
        QTest::newRow("model word lower case") << With(ok, 1, "model,F123") << 11 << "(Model)";
        QTest::newRow("other model") << With(ok, 1, "Model,F124") << 11 << "(Model)";
        QTest::newRow("model without value") << With(ok, 1, "Model") << 11 << "(Model)";
        QTest::newRow("very long first line") << With(ok, 1, longText) << 11 << "(Model)";
        QTest::newRow("blanks after commas")
            << With(With(ok, 1, "Model, F123"), 2, "Serial ,\t- , ABCD12345678 ") << 0 << "";
        QTest::newRow("quoted fields") << With(ok, 1, "\"Model\",\"F123\"") << 0 << "";
        QTest::newRow("serial with two fields")
            << With(ok, 2, "Serial,ABCD12345678") << 12 << "(Serial)";
        QTest::newRow("serial case") << With(ok, 2, "Serial,-,abcd12345678") << 12 << "(Serial)";
        QTest::newRow("model and serial both wrong")
            << With(With(ok, 1, "Model,X"), 2, "Serial") << 11 << "(Model)";
        QTest::newRow("line 3 very long") << With(ok, 3, longText) << 0 << "";
        QTest::newRow("COLUMN 21") << With(ok, 4, "COLUMN,21") << 13 << "(tCol)";
        QTest::newRow("COLUMN -1") << With(ok, 4, "COLUMN,-1") << 13 << "(tCol)";
        QTest::newRow("COLUMN not a number") << With(ok, 4, "COLUMN,two") << 13 << "(tCol)";
        QTest::newRow("COLUMN 2.0") << With(ok, 4, "COLUMN,2.0") << 13 << "(tCol)";
        QTest::newRow("COLUMN thousands of digits")
            << With(ok, 4, "COLUMN," + Digits(5000)) << 13 << "(tCol)";
        QTest::newRow("COLUMN without count") << With(ok, 4, "COLUMN") << 13 << "(tCol)";
        QTest::newRow("Column word case") << With(ok, 4, "Column,2") << 13 << "(tCol)";
        QTest::newRow("ROW 1001") << With(ok, 5, "ROW,1001") << 14 << "(tRow)";
        QTest::newRow("ROW largest 32-bit") << With(ok, 5, "ROW,2147483647") << 14 << "(tRow)";
        QTest::newRow("ROW thousands of digits")
            << With(ok, 5, "ROW," + Digits(5000)) << 14 << "(tRow)";
        QTest::newRow("ROW beyond the lines") << With(ok, 5, "ROW,4") << 14 << "(tRow)";
        QTest::newRow("ROW 800 in 805 lines") << ExampleShape(800, 799) << 14 << "(tRow)";
        QTest::newRow("ROW 800 in 806 lines") << ExampleShape(800, 800) << 0 << "";
        QTest::newRow("ROW 1000") << ExampleShape(1000, 1000) << 0 << "";
        QTest::newRow("FWHM line short") << With(ok, 6, ",,10") << 15 << "(tWid)";
        QTest::newRow("FWHM line empty") << With(ok, 6, "") << 15 << "(tWid)";
        QTest::newRow("data row short") << With(ok, 8, "2,400.5,1210:3390:505") << 17 << "(2)";
        QTest::newRow("data row empty") << With(ok, 9, "") << 17 << "(3)";
        QTest::newRow("row numbered 7 for 3")
            << With(ok, 9, "7,401.0,1220:3380:510,1270:3360:530") << 0 << "";
        QTest::newRow("row numbered 2 for 3")
            << With(ok, 9, "2,401.0,1220:3380:510,1270:3360:530") << 18 << "(3)";
        QTest::newRow("row number not whole")
            << With(ok, 8, "2.0,400.5,1210:3390:505,x") << 18 << "(2)";
        QTest::newRow("row number missing")
            << With(ok, 7, ",400.0,1200:3400:500,1250:3380:520") << 18 << "(1)";
        QTest::newRow("row number thousands of digits")
            << With(ok, 7, Digits(4000) + ",400.0,1200:3400:500,1250:3380:520") << 18 << "(1)";
        QTest::newRow("upper-case X") << With(ok, 8, "2,400.5,1210:3390:505,X") << 19 << "(2/2)";
        QTest::newRow("two parts") << With(ok, 7, "1,400.0,100:200,1250:3380:520") << 19 << "(1/1)";
        QTest::newRow("four parts")
            << With(ok, 9, "3,401.0,1220:3380:510,1:2:3:4") << 19 << "(3/2)";
        QTest::newRow("empty cell") << With(ok, 7, "1,400.0,,1250:3380:520") << 19 << "(1/1)";
        QTest::newRow("negative part accepted")
            << With(ok, 7, "1,400.0,100:-1:300,1250:3380:520") << 0 << "";
        QTest::newRow("letters as CWL") << With(ok, 8, "2,abc,1210:3390:505,x") << 0 << "";
        QTest::newRow("first bad row ends the reading")
            << With(With(ok, 8, "2,400.5,1210:3390:505,X"), 9, "") << 19 << "(2/2)";
        QTest::newRow("more rows and columns than declared")
            << (With(ok, 6, ",,10,20,30") << "4,401.5,1:1:1,2:2:2"
                                          << "junk")
            << 0 << "";
    }
    void loadChecks() {
        QFETCH(QStringList, lines);
        QFETCH(int, code);
        QFETCH(QString, tag);
        const Loaded l = Load(lines);
        QCOMPARE(l.Result.Code, code);
        QCOMPARE(l.Result.Tag, tag);
        if (code != 0) {
            QCOMPARE(l.Table->RowCount, 0);
            QCOMPARE(l.Table->ColCount, 0);
        }
    }

    void loadFillsTable() {
        const Loaded l = Load(ExampleLines());
        QVERIFY(l.Result.Ok());
        const CalibrationTable& t = *l.Table;
        QCOMPARE(t.RowCount, 3);
        QCOMPARE(t.ColCount, 2);
        QCOMPARE(t.RowValues[0], 400.0);
        QCOMPARE(t.RowValues[1], 400.5);
        QCOMPARE(t.RowValues[2], 401.0);
        QCOMPARE(t.ColValues[0], 10.0);
        QCOMPARE(t.ColValues[1], 20.0);
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 2; ++c) {
                // Bit-identical, so that the exact lookups agree with the limits.
                QCOMPARE(std::memcmp(&t.Cell(r, c).Fwhm, &t.ColValues[c], sizeof(double)), 0);
                QCOMPARE(std::memcmp(&t.Cell(r, c).Cwl, &t.RowValues[r], sizeof(double)), 0);
            }
        }
        const CalibrationCell& a = t.Cell(0, 1);
        QVERIFY(a.Valid);
        QCOMPARE(a.Pos1, 1250);
        QCOMPARE(a.Pos2, 3380);
        QCOMPARE(a.Pos3, 520);
        const CalibrationCell& missing = t.Cell(1, 1);
        QVERIFY(!missing.Valid);
        QCOMPARE(missing.Pos1, -1);
        QCOMPARE(missing.Pos2, -1);
        QCOMPARE(missing.Pos3, -1);
        QCOMPARE(t.MinCwlAtFwhm(20.0), 400.0);
        QCOMPARE(t.MaxCwlAtFwhm(20.0), 401.0);
        QCOMPARE(t.MaxFwhmAtCwl(400.5), 10.0);
        QCOMPARE(t.CwlStep(), 0.5);
    }

    void cellDecoding_data() {
        QTest::addColumn<QString>("cell");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("pos1");
        QTest::addColumn<int>("pos2");
        QTest::addColumn<int>("pos3");
        QTest::newRow("missing") << "x" << false << -1 << -1 << -1;
        QTest::newRow("quoted missing") << "\"x\"" << false << -1 << -1 << -1;
        QTest::newRow("positions") << "1200:3400:500" << true << 1200 << 3400 << 500;
        QTest::newRow("zeros and signs") << "0:+6000:-0" << true << 0 << 6000 << 0;
        QTest::newRow("negative part kept") << "100:-1:300" << false << 100 << -1 << 300;
        QTest::newRow("part not a number") << "100:abc:300" << false << 100 << -1 << 300;
        QTest::newRow("empty part") << "100::300" << false << 100 << -1 << 300;
        QTest::newRow("part too big") << "4294967296:1:2" << false << -1 << 1 << 2;
        QTest::newRow("thousands of digits") << "5:6:" + Digits(3000) << false << 5 << 6 << -1;
        QTest::newRow("quoted with blanks") << "\" 7 : 8 : 9 \"" << true << 7 << 8 << 9;
    }
    void cellDecoding() {
        QFETCH(QString, cell);
        QFETCH(bool, valid);
        QFETCH(int, pos1);
        QFETCH(int, pos2);
        QFETCH(int, pos3);
        const Loaded l = Load(With(ExampleLines(), 8, "2,400.5,1:1:1," + cell));
        QVERIFY(l.Result.Ok());
        const CalibrationCell& c = l.Table->Cell(1, 1);
        QCOMPARE(c.Valid, valid);
        QCOMPARE(c.Pos1, pos1);
        QCOMPARE(c.Pos2, pos2);
        QCOMPARE(c.Pos3, pos3);
    }

    void wavelengthNotANumberReadsZero() {
        QStringList lines = With(ExampleLines(), 6, ",,ten,20");
        lines = With(lines, 8, "2,abc,1210:3390:505,x");
        lines = With(lines, 9, "3," + Digits(400) + ",1220:3380:510,1270:3360:530");
        const Loaded l = Load(lines);
        QVERIFY(l.Result.Ok());
        QCOMPARE(l.Table->ColValues[0], 0.0);
        QCOMPARE(l.Table->RowValues[1], 0.0);
        QCOMPARE(l.Table->Cell(1, 0).Cwl, 0.0);
        QCOMPARE(l.Table->RowValues[2], 0.0); // 10^399 is out of range, so not a number
        QCOMPARE(l.Table->Cell(0, 0).Fwhm, 0.0);
    }

    // A failed load empties the table it was given, whatever an earlier load put there.
    void failedLoadEmptiesTable() {
        auto table = std::make_unique<CalibrationTable>();
        QVERIFY(LoadCalDataLines(ExampleLines(), kModel, kSerial, *table).Ok());
        const CalDataLoadResult bad =
            LoadCalDataLines(With(ExampleLines(), 9, "3,401.0,1:2,x"), kModel, kSerial, *table);
        QCOMPARE(bad.Code, 19);
        QCOMPARE(table->RowCount, 0);
        QCOMPARE(table->ColCount, 0);
        QCOMPARE(table->MinCwl(), 0.0);
        // A second model's file leaves no trace of the first either.
        QVERIFY(LoadCalDataLines(ExampleLines(), kModel, kSerial, *table).Ok());
        QCOMPARE(LoadCalDataLines(ExampleLines(), "F999", kSerial, *table).Code, 11);
        QCOMPARE(table->RowCount, 0);
    }

    void fileEncodings_data() {
        QTest::addColumn<QByteArray>("bytes");
        const QString text = ExampleLines().join(u"\r\n") + QStringLiteral("\r\n");
        QTest::newRow("CR LF") << text.toLatin1();
        QTest::newRow("LF only") << ExampleLines().join(u'\n').toLatin1();
        QTest::newRow("CR only") << (ExampleLines().join(u'\r') + u'\r').toLatin1();
        QStringEncoder le(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
        QTest::newRow("UTF-16 LE with BOM") << QByteArray(le.encode(text));
        QStringEncoder be(QStringConverter::Utf16BE, QStringConverter::Flag::WriteBom);
        QTest::newRow("UTF-16 BE with BOM") << QByteArray(be.encode(text));
        QTest::newRow("UTF-8 with BOM") << QByteArray("\xEF\xBB\xBF" + text.toUtf8());
    }
    void fileEncodings() {
        QFETCH(QByteArray, bytes);
        for (const Loaded& l : {Load(ReadCalDataLines(bytes)), LoadFile(bytes)}) {
            QCOMPARE(l.Result.Code, 0);
            QCOMPARE(l.Table->RowCount, 3);
            QCOMPARE(l.Table->MaxCwl(), 401.0);
        }
    }

    // Without a byte-order mark, UTF-16 is 8-bit text with NULs: refused, not misread.
    void utf16WithoutBomRefused() {
        QStringEncoder le(QStringConverter::Utf16LE);
        const QByteArray bytes = le.encode(ExampleLines().join(u"\r\n"));
        QCOMPARE(Load(ReadCalDataLines(bytes)).Result.Code, 11);
    }

    void binaryGarbage_data() {
        QTest::addColumn<QByteArray>("bytes");
        QRandomGenerator random(20180315);
        for (int i = 0; i < 4; ++i) {
            QByteArray bytes(64 * 1024, '\0');
            random.fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
            QTest::addRow("random %d", i) << bytes;
        }
        QByteArray header = ExampleLines().mid(0, 5).join(u'\n').toLatin1() + "\n";
        QByteArray tail(8 * 1024, '\0');
        random.fillRange(reinterpret_cast<quint32*>(tail.data()), tail.size() / 4);
        QTest::newRow("good header, garbage rows") << header + tail;
        QTest::newRow("NUL bytes") << QByteArray(4096, '\0');
        QTest::newRow("line ends only") << QByteArray(4096, '\n');
    }
    void binaryGarbage() {
        QFETCH(QByteArray, bytes);
        for (const Loaded& l : {Load(ReadCalDataLines(bytes)), LoadFile(bytes)}) {
            QVERIFY(l.Result.Code != 0);
            QCOMPARE(l.Table->RowCount, 0);
            QCOMPARE(l.Table->ColCount, 0);
        }
    }

    void errorMessages_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QString>("line");
        QTest::newRow("success") << 0 << ""
                                 << "";
        QTest::newRow("11") << 11 << "(Model)"
                            << "ERRDV11 : Calibration data file might be problem. (Model)";
        QTest::newRow("12") << 12 << "(Serial)"
                            << "ERRDV12 : Calibration data file might be problem. (Serial)";
        QTest::newRow("16") << 16 << "(tWid)"
                            << "ERRDV16 : Calibration data file might be problem. (tWid)";
        QTest::newRow("19") << 19 << "(5/2)"
                            << "ERRDV19 : Calibration data file might be problem. (5/2)";
        QTest::newRow("20") << 20 << ""
                            << "ERRDV20 : Calibration data file might be problem.";
        QTest::newRow("06") << 6 << ""
                            << "ERRDV06 : Device might be problem.";
        QTest::newRow("08") << 8 << ""
                            << "ERRDV08 : Invalid calibration data file.";
        QTest::newRow("09") << 9 << ""
                            << "ERRDV09 : Fail to copy calibration data file.";
        QTest::newRow("10") << 10 << ""
                            << "ERRDV10 : No calibration data file.";
    }
    void errorMessages() {
        QFETCH(int, code);
        QFETCH(QString, tag);
        QFETCH(QString, line);
        QCOMPARE(CalDataErrorMessage(code, tag), line);
    }

    // The demo instrument's delivered file.
    void sampleFile() {
        QFile file(QStringLiteral(VR_SOURCE_DIR "/samples/20180315_F123_ABCD12345678.csv"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(IsDeliveredCalFileNameValid(file.fileName(), kModel, kSerial));

        auto table = std::make_unique<CalibrationTable>();
        QElapsedTimer timer;
        timer.start();
        const CalDataLoadResult result =
            LoadCalDataLines(ReadCalDataLines(bytes), kModel, kSerial, *table);
        const qint64 us = timer.nsecsElapsed() / 1000;
        qDebug("sample file loaded in %lld us", us);

        QCOMPARE(result.Code, 0);
        QCOMPARE(table->RowCount, 801);
        QCOMPARE(table->ColCount, 20);
        QCOMPARE(table->MinCwl(), 400.0);
        QCOMPARE(table->MaxCwl(), 800.0);
        QCOMPARE(table->CwlStep(), 0.5);
        QCOMPARE(table->MinFwhm(), 1.0);
        QCOMPARE(table->MaxFwhm(), 20.0);
        QCOMPARE(table->MinCwlAtFwhm(10.0), 405.0);
        QCOMPARE(table->MaxCwlAtFwhm(10.0), 795.0);
        QCOMPARE(table->MinFwhmAtCwl(500.0), 1.0);
        QCOMPARE(table->MaxFwhmAtCwl(401.0), 2.0);
        QVERIFY(table->IsCwlInTable(500.0));
        QVERIFY(!table->IsCwlInTable(500.2));
    }
};

QTEST_APPLESS_MAIN(TestCalDataFile)
#include "tst_caldatafile.moc"
