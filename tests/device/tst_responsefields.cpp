// Splitting instrument answers into fields and reading a field as a number.
#include "device/Unit_ResponseFields.h"

#include <QTest>

class TestResponseFields : public QObject {
    Q_OBJECT
private slots:
    void split_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("fields");
        QTest::newRow("blanks") << "POS 3 10 20 30" << QStringList{"POS", "3", "10", "20", "30"};
        QTest::newRow("commas") << "POS,3,10,20,30" << QStringList{"POS", "3", "10", "20", "30"};
        QTest::newRow("comma with blanks around")
            << "INFO 2 , 400.0-800.0" << QStringList{"INFO", "2", "400.0-800.0"};
        QTest::newRow("runs of blanks and control characters")
            << "\t\r GO  \x01 3\n\n7" << QStringList{"GO", "3", "7"};
        QTest::newRow("two commas enclose an empty field") << "a,,b" << QStringList{"a", "", "b"};
        QTest::newRow("comma blank comma") << "a , , b" << QStringList{"a", "", "b"};
        QTest::newRow("leading comma") << ",a" << QStringList{"", "a"};
        QTest::newRow("comma at the very end adds a field") << "a," << QStringList{"a", ""};
        QTest::newRow("comma then blanks at the end adds none") << "a, " << QStringList{"a"};
        QTest::newRow("lone comma") << "," << QStringList{"", ""};
        QTest::newRow("empty") << "" << QStringList{};
        QTest::newRow("only blanks") << " \t " << QStringList{};
        QTest::newRow("quoted field keeps blanks and commas")
            << "INFO 1 \"two words, one comma\""
            << QStringList{"INFO", "1", "two words, one comma"};
        QTest::newRow("doubled quote inside")
            << "\"say \"\"hi\"\"\" x" << QStringList{"say \"hi\"", "x"};
        QTest::newRow("text right after the closing quote is a new field")
            << "\"ab\"cd" << QStringList{"ab", "cd"};
        QTest::newRow("unclosed quote runs to the end") << "a \"b c" << QStringList{"a", "b c"};
        QTest::newRow("empty quoted field") << "\"\",x" << QStringList{"", "x"};
        QTest::newRow("quote inside a plain field is plain")
            << "ab\"cd ef" << QStringList{"ab\"cd", "ef"};
        QTest::newRow("8-bit characters belong to fields")
            << QString::fromLatin1("A\xE9\xFF B")
            << QStringList{QString::fromLatin1("A\xE9\xFF"), "B"};
        // A NUL ends the answer; this must also not hang the splitter.
        QTest::newRow("NUL ends the text")
            << QString::fromLatin1("POS 3\0 10 20", 12) << QStringList{"POS", "3"};
    }
    void split() {
        QFETCH(QString, answer);
        QFETCH(QStringList, fields);
        QCOMPARE(ResponseFields::Split(answer), fields);
    }

    void toInt_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("value");
        QTest::newRow("whole number") << "6000" << 6000;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("negative reads as itself") << "-1" << -1;
        QTest::newRow("signed") << "+3" << 3;
        QTest::newRow("decimal point") << "3.0" << -1;
        QTest::newRow("letters") << "x" << -1;
        QTest::newRow("empty") << "" << -1;
        QTest::newRow("blank around (quoted)") << " 3" << -1;
        QTest::newRow("hexadecimal") << "0x10" << -1;
        QTest::newRow("beyond 32 bits") << "4294967296" << -1;
        QTest::newRow("trailing letter") << "12a" << -1;
    }
    void toInt() {
        QFETCH(QString, field);
        QFETCH(int, value);
        QCOMPARE(ResponseFields::ToInt(field), value);
    }
};

QTEST_GUILESS_MAIN(TestResponseFields)
#include "tst_responsefields.moc"
