// Decimal rounding, number reading and formatting with fixed en-US rules.
#include "core/Unit_Numbers.h"
#include "core/Unit_Text8.h"

#include <QTest>
#include <cmath>

class TestNumbers : public QObject {
    Q_OBJECT
private slots:
    void roundTo_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<double>("expected");
        // Typed values are stored as the nearest double; the half decides on that exact value.
        QTest::newRow("500.05 stored above the half") << 500.05 << 1 << 500.1;
        QTest::newRow("500.15 stored below the half") << 500.15 << 1 << 500.1;
        QTest::newRow("500.25 exact half to even") << 500.25 << 1 << 500.2;
        QTest::newRow("500.45 stored below the half") << 500.45 << 1 << 500.4;
        QTest::newRow("negative to zero") << -0.04 << 1 << 0.0;
        QTest::newRow("two decimals, stored below") << 505.155 << 2 << 505.15;
        QTest::newRow("two decimals, exact half") << 0.125 << 2 << 0.12;
        QTest::newRow("whole half to even") << 10.5 << 0 << 10.0;
        QTest::newRow("whole half up to even") << 11.5 << 0 << 12.0;
        QTest::newRow("0.49999 spacing") << 0.49999 << 1 << 0.5;
    }
    void roundTo() {
        QFETCH(double, value);
        QFETCH(int, decimals);
        QFETCH(double, expected);
        QCOMPARE(Numbers::RoundTo(value, decimals), expected);
    }

    // Without extended precision the ties are decided by the product's rounding error; the
    // same table must come out the same.
    void roundScaledPortable_data() { roundTo_data(); }
    void roundScaledPortable() {
        QFETCH(double, value);
        QFETCH(int, decimals);
        QFETCH(double, expected);
        const double scale = decimals == 0 ? 1.0 : decimals == 1 ? 10.0 : 100.0;
        QCOMPARE(Numbers::RoundScaledPortable(value, scale), std::round(expected * scale));
    }

    void roundToExtendedKeepsTheExactSum() {
        // (390.1 + 810) / 2 lies just above 600.05: the sum rounded to a double first would
        // fall below the half and give 600.0.
        QCOMPARE(Numbers::RoundToExtended((static_cast<long double>(390.1) + 810.0) * 0.5L, 1),
                 600.1);
        QCOMPARE(Numbers::RoundToExtended((static_cast<long double>(400.7) + 800.0) * 0.5L, 1),
                 600.3);
    }

    void readDouble_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<double>("value");
        QTest::newRow("plain") << "500.0" << true << 500.0;
        QTest::newRow("blanks around") << "  12.5 " << true << 12.5;
        QTest::newRow("sign") << "-5" << true << -5.0;
        QTest::newRow("plus") << "+5" << true << 5.0;
        QTest::newRow("exponent") << "1e3" << true << 1000.0;
        QTest::newRow("trailing point") << "5." << true << 5.0;
        QTest::newRow("leading point") << ".5" << true << 0.5;
        QTest::newRow("empty") << "" << false << 0.0;
        QTest::newRow("letters") << "abc" << false << 0.0;
        QTest::newRow("comma") << "1,5" << false << 0.0;
        QTest::newRow("nan") << "nan" << false << 0.0;
        QTest::newRow("inf") << "inf" << false << 0.0;
        QTest::newRow("overflow") << "1e400" << false << 0.0;
        QTest::newRow("lone point") << "." << false << 0.0;
        QTest::newRow("inner blank") << "5 0" << false << 0.0;
        QTest::newRow("hex") << "0x10" << false << 0.0;
    }
    void readDouble() {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(double, value);
        double v = -1;
        QCOMPARE(Numbers::TryReadDouble(text, v), ok);
        if (ok) QCOMPARE(v, value);
    }

    void readInt_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ini");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("value");
        QTest::newRow("plain") << "1000" << false << true << 1000;
        QTest::newRow("negative") << "-1" << false << true << -1;
        QTest::newRow("decimal point") << "10.0" << false << false << 0;
        QTest::newRow("too big") << "4294967296" << false << false << 0;
        QTest::newRow("hex refused outside ini") << "0x2710" << false << false << 0;
        QTest::newRow("hex in ini") << "0x2710" << true << true << 10000;
        QTest::newRow("upper hex in ini") << "0X1f" << true << true << 31;
        QTest::newRow("bad hex") << "0xZZ" << true << false << 0;
        QTest::newRow("word") << "yes" << true << false << 0;
    }
    void readInt() {
        QFETCH(QString, text);
        QFETCH(bool, ini);
        QFETCH(bool, ok);
        QFETCH(int, value);
        qint32 v = -7;
        QCOMPARE(ini ? Numbers::TryReadIniInt(text, v) : Numbers::TryReadInt(text, v), ok);
        if (ok) QCOMPARE(v, value);
    }

    void formatFixed() {
        QCOMPARE(Numbers::FormatFixed(500.0, 1), QStringLiteral("500.0"));
        QCOMPARE(Numbers::FormatFixed(304.476, 2), QStringLiteral("304.48"));
        QCOMPARE(Numbers::FormatFixed(-0.04, 1), QStringLiteral("0.0"));
        QCOMPARE(Numbers::FormatFixed(-10.0, 1), QStringLiteral("-10.0"));
    }

    void text8RoundTrip() {
        const QString wide = QStringLiteral("Please set [CWL] \u2265 500.0 or \u2264 1");
        const QByteArray narrow = Text8::FromWide(wide);
        QVERIFY(narrow.contains("\xA1\xC3 500.0"));
        QVERIFY(narrow.contains("\xA1\xC2 1"));
        QCOMPARE(Text8::ToWide(narrow), wide);
    }
};

QTEST_GUILESS_MAIN(TestNumbers)
#include "tst_numbers.moc"
