// The remote line protocol without sockets: framing with the bounded buffer, comma-text
// splitting, and what each request does.
#include "remote/Unit_RemoteProtocol.h"

#include <QTest>

using Fields = QList<QByteArray>;
Q_DECLARE_METATYPE(RemotePlan::Kind)

namespace {

// Feeds the arrivals, then takes every complete line: lines not taken yet are never dropped.
QList<QByteArray> Frame(RemoteLineBuffer& buffer, const QList<QByteArray>& arrivals) {
    for (const QByteArray& bytes : arrivals) {
        buffer.Append(bytes);
        if (buffer.Length() > RemoteLineBuffer::Capacity) return {"<overflow>"};
    }
    QList<QByteArray> lines;
    QByteArray line;
    while (buffer.TakeLine(line))
        lines.append(line);
    return lines;
}

QByteArray Numbered(int count) {
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes.append(char('A' + i % 26));
    return bytes;
}

} // namespace

class TestRemoteProtocol : public QObject {
    Q_OBJECT
private slots:
    void framing_data() {
        QTest::addColumn<QList<QByteArray>>("arrivals");
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<QByteArray>("left");
        const QByteArray big = Numbered(1100);
        QTest::newRow("one line") << QList<QByteArray>{"VER\r"} << Fields{"VER"} << QByteArray();
        QTest::newRow("lone CR is an empty line")
            << QList<QByteArray>{"\r"} << Fields{""} << QByteArray();
        QTest::newRow("LF alone ends a line")
            << QList<QByteArray>{"VER\n"} << Fields{"VER"} << QByteArray();
        QTest::newRow("CR LF is one line end")
            << QList<QByteArray>{"VER\r\n"} << Fields{"VER"} << QByteArray();
        QTest::newRow("CR LF cut between CR and LF")
            << QList<QByteArray>{"VER\r", "\nSTATE\r\n"} << Fields{"VER", "STATE"} << QByteArray();
        QTest::newRow("lone LF is an empty line")
            << QList<QByteArray>{"\n"} << Fields{""} << QByteArray();
        QTest::newRow("LF CR is two line ends")
            << QList<QByteArray>{"VER\n\r"} << Fields{"VER", ""} << QByteArray();
        QTest::newRow("an LF after a CR line and other bytes is a line end")
            << QList<QByteArray>{"VER\r", "X", "\n"} << Fields{"VER", "X"} << QByteArray();
        QTest::newRow("two lines in one packet")
            << QList<QByteArray>{"VER\rSTATE\r"} << Fields{"VER", "STATE"} << QByteArray();
        QTest::newRow("a line cut in pieces") << QList<QByteArray>{"SE", "TC,500", ".0,10.0\rEC"}
                                              << Fields{"SETC,500.0,10.0"} << QByteArray("EC");
        QTest::newRow("NUL bytes are kept in the line")
            << QList<QByteArray>{QByteArray("VER\0X\r", 6)} << Fields{QByteArray("VER\0X", 5)}
            << QByteArray();
        QTest::newRow("1100 bytes then CR: the newest 1023")
            << QList<QByteArray>{big, "\r"} << Fields{big.right(1023)} << QByteArray();
        QTest::newRow("1100 bytes in pieces then CR: the newest 1023")
            << QList<QByteArray>{big.left(600), big.mid(600), "\r"} << Fields{big.right(1023)}
            << QByteArray();
        QTest::newRow("1100 bytes and CR in one arrival: the newest 1023")
            << QList<QByteArray>{big + "\r"} << Fields{big.right(1023)} << QByteArray();
        QTest::newRow("overflow drops the oldest bytes")
            << QList<QByteArray>{"partial", Numbered(1020), "\r"} << Fields{"ial" + Numbered(1020)}
            << QByteArray();
        // Requests sent ahead are all kept, however many: only the line not yet ended is bounded.
        QByteArray many;
        Fields manyLines;
        for (int i = 0; i < 300; ++i) {
            many += "SETC,550.0,10.0\r";
            manyLines.append("SETC,550.0,10.0");
        }
        QTest::newRow("300 requests in one arrival are all kept")
            << QList<QByteArray>{many} << manyLines << QByteArray();
        QTest::newRow("a complete line survives a long line after it")
            << QList<QByteArray>{"VER\r" + Numbered(2000), "\r"}
            << Fields{"VER", Numbered(2000).right(1023)} << QByteArray();
        QTest::newRow("a complete line survives a long unended line")
            << QList<QByteArray>{"VER\r", Numbered(700), Numbered(700)} << Fields{"VER"}
            << (Numbered(700) + Numbered(700)).right(1024);
        QTest::newRow("exactly full keeps everything")
            << QList<QByteArray>{Numbered(1000), Numbered(24)} << Fields{}
            << Numbered(1000) + Numbered(24);
    }
    void framing() {
        QFETCH(QList<QByteArray>, arrivals);
        QFETCH(QList<QByteArray>, lines);
        QFETCH(QByteArray, left);
        RemoteLineBuffer buffer;
        QCOMPARE(Frame(buffer, arrivals), lines);
        QCOMPARE(buffer.Data(), left);
    }

    void hugeInputStaysBounded() {
        // A megabyte without a line end, junk and an HTTP request: never more than the capacity,
        // and the next well-formed line comes out whole.
        RemoteLineBuffer buffer;
        QByteArray junk(1 << 20, '\xff');
        for (int i = 0; i < junk.size(); i += 7)
            junk[i] = char(i);
        junk.replace('\r', 'x').replace('\n', 'x');
        for (int i = 0; i < junk.size(); i += 4096) {
            buffer.Append(junk.mid(i, 4096));
            QVERIFY(buffer.Length() <= RemoteLineBuffer::Capacity);
        }
        QByteArray line;
        QVERIFY(!buffer.TakeLine(line));
        buffer.Clear();
        QCOMPARE(buffer.Length(), 0);
        buffer.Append("GET / HTTP/1.1\r\nHost: x\r\n\r\nVER\r");
        QList<QByteArray> lines;
        while (buffer.TakeLine(line))
            lines.append(line);
        QCOMPARE(lines, (Fields{"GET / HTTP/1.1", "Host: x", "", "VER"}));
    }

    void splitting_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QList<QByteArray>>("fields");
        QTest::newRow("one word") << QByteArray("VER") << Fields{"VER"};
        QTest::newRow("commas") << QByteArray("SETC,500.0,10.0") << Fields{"SETC", "500.0", "10.0"};
        QTest::newRow("blanks instead of commas")
            << QByteArray("SETC 500.0 10.0") << Fields{"SETC", "500.0", "10.0"};
        QTest::newRow("blanks around commas")
            << QByteArray("  SETC , 500.0,\t 10.0 ") << Fields{"SETC", "500.0", "10.0"};
        QTest::newRow("leading LF of a CR LF client") << QByteArray("\nVER") << Fields{"VER"};
        QTest::newRow("comma at the very end") << QByteArray("VER,") << Fields{"VER", ""};
        QTest::newRow("comma then blank at the end") << QByteArray("VER, ") << Fields{"VER"};
        QTest::newRow("two commas in a row") << QByteArray("A,,B") << Fields{"A", "", "B"};
        QTest::newRow("comma blank comma at the end") << QByteArray("A, ,") << Fields{"A", "", ""};
        QTest::newRow("leading comma") << QByteArray(",A") << Fields{"", "A"};
        QTest::newRow("quoted with comma and blank")
            << QByteArray("SETC,\"500.0, x\",10") << Fields{"SETC", "500.0, x", "10"};
        QTest::newRow("doubled quote inside") << QByteArray("\"a\"\"b\",c") << Fields{"a\"b", "c"};
        QTest::newRow("empty quotes") << QByteArray("\"\",x") << Fields{"", "x"};
        QTest::newRow("text right after a closing quote")
            << QByteArray("\"ab\"cd") << Fields{"ab", "cd"};
        QTest::newRow("unterminated quote runs to the end")
            << QByteArray("A,\"b c") << Fields{"A", "b c"};
        QTest::newRow("NUL ends the line") << QByteArray("VER\0,X", 6) << Fields{"VER"};
        QTest::newRow("NUL first") << QByteArray("\0VER", 4) << Fields{};
        QTest::newRow("only blanks") << QByteArray(" \t\n") << Fields{};
        QTest::newRow("8-bit bytes belong to a field")
            << QByteArray("A\xA1\xC3,B") << Fields{"A\xA1\xC3", "B"};
    }
    void splitting() {
        QFETCH(QByteArray, line);
        QFETCH(QList<QByteArray>, fields);
        QCOMPARE(SplitCommaText(line), fields);
    }

    void planning_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("scanning");
        QTest::addColumn<int>("tab");
        QTest::addColumn<RemotePlan::Kind>("what");
        QTest::addColumn<int>("selectTab");
        QTest::addColumn<QByteArray>("stored"); // response|code|text for Store
        const auto row = [](const char* name, const QByteArray& request, bool scanning, int tab,
                            RemotePlan::Kind what, int select, const QByteArray& stored = {}) {
            QTest::newRow(name) << request << scanning << tab << what << select << stored;
        };
        using K = RemotePlan;
        row("empty line", "", false, 0, K::None, -1);
        row("VER", "VER", false, 0, K::Store, -1, "QVL Rari v2.1||");
        row("VER while scanning", "VER", true, 1, K::Store, -1, "QVL Rari v2.1||");
        row("ver in lower case", "ver", false, 0, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("VER with a comma", "VER,", false, 0, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("blank line", " ", false, 0, K::Store, -1, "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("HTTP request", "GET / HTTP/1.1", false, 0, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("STATE idle", "STATE", false, 0, K::Store, -1, "IDLE||");
        row("STATE scanning", "STATE", true, 1, K::Store, -1, "SCAN||");
        row("ECODE", "ECODE", true, 0, K::ReadCode, -1);
        row("ETEXT", "ETEXT", false, 2, K::ReadText, -1);
        row("ECLEAR", "ECLEAR", false, 0, K::Store, -1, "OK||");
        row("RESET on Set", "RESET", false, 0, K::SetReset, -1);
        row("RESET on Scan", "RESET", false, 1, K::ScanReset, -1);
        row("RESET on Help shows Set", "RESET", false, 2, K::SetReset, 0);
        row("RESET while scanning", "RESET", true, 1, K::Store, -1,
            "RESET FAIL|NONE|Now Scanning.");
        row("STOP idle", "STOP", false, 1, K::Store, -1, "STOP FAIL|NONE|No Scan.");
        row("STOP scanning from Help", "STOP", true, 2, K::ScanStop, 1);
        row("SETC", "SETC,500.0,10.0", false, 2, K::SetGo, 0);
        row("SETC blanks", "SETC 500.0 10.0", false, 1, K::SetGo, 0);
        row("SETC one value", "SETC,500.0", false, 0, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("SETC while scanning", "SETC,500.0,10.0", true, 1, K::Store, -1,
            "SETC FAIL|NONE|Now Scanning.");
        row("SETR", "SETR,495,505", false, 0, K::SetGo, 0);
        row("SETR while scanning", "SETR,495,505", true, 1, K::Store, -1,
            "SETR FAIL|NONE|Now Scanning.");
        row("SCAN", "SCAN,500,510,10,1,1", false, 0, K::ScanStart, 1);
        row("SCAN with four values", "SCAN,500,510,10,1", false, 0, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("SCAN while scanning", "SCAN,500,510,10,1,1", true, 1, K::Store, -1,
            "SCAN FAIL|NONE|Now Scanning.");
        // The read-only additions answer during a scan too, and select no tab.
        row("PROGRESS", "PROGRESS", false, 0, K::ReadProgress, -1);
        row("PROGRESS while scanning", "PROGRESS", true, 2, K::ReadProgress, -1);
        row("BAND while scanning", "BAND", true, 1, K::ReadBand, -1);
        row("BAND with a field", "BAND,1", false, 0, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("PROGRESS with an empty field", "PROGRESS,", true, 1, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("band in lower case", "band", false, 0, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("SESSION while scanning", "SESSION", true, 2, K::ReadSession, -1);
        row("SESSION with a field", "SESSION,1", false, 0, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("LIMITS", "LIMITS", false, 0, K::ReadLimits, -1);
        row("LIMITS at a FWHM while scanning", "LIMITS,20", true, 1, K::ReadLimits, -1);
        row("LIMITS with two fields", "LIMITS,20,1", false, 0, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("CHECK SETC while scanning", "CHECK,SETC,550.0,10.0", true, 1, K::ReadCheck, -1);
        row("CHECK SETR", "CHECK,SETR,545,555", false, 2, K::ReadCheck, -1);
        row("CHECK SCAN", "CHECK,SCAN,500,600,10,1,0.5", false, 0, K::ReadCheck, -1);
        row("CHECK alone", "CHECK", false, 0, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("CHECK VER", "CHECK,VER", false, 0, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("CHECK CHECK", "CHECK,CHECK,SETC,550,10", false, 0, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("CHECK SETC one value", "CHECK,SETC,550", false, 0, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("CHECK SCAN four values", "CHECK,SCAN,500,600,10,1", false, 0, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
        row("CHECK STOP", "CHECK,STOP", true, 1, K::Store, -1,
            "UNKNOWN COMMAND|NONE|Unknown Command.");
    }
    void planning() {
        QFETCH(QByteArray, request);
        QFETCH(bool, scanning);
        QFETCH(int, tab);
        QFETCH(RemotePlan::Kind, what);
        QFETCH(int, selectTab);
        QFETCH(QByteArray, stored);
        const RemotePlan plan = PlanRemoteRequest(request, scanning, tab);
        QCOMPARE(plan.What, what);
        QCOMPARE(plan.SelectTab, selectTab);
        if (what == RemotePlan::Store)
            QCOMPARE(plan.Response + '|' + plan.Code + '|' + plan.Text, stored);
    }

    void setAndScanCarryTheirFields() {
        const RemotePlan setr = PlanRemoteRequest("SETR, 495.0 ,505.0", false, 0);
        QCOMPARE(setr.SetMode, 1);
        QCOMPARE(setr.Fields, (Fields{"SETR", "495.0", "505.0"}));
        QCOMPARE(PlanRemoteRequest("SETC,500,10", false, 0).SetMode, 0);
        const RemotePlan scan = PlanRemoteRequest("SCAN,1000.0,\"2,0\",x,,5", false, 0);
        QCOMPARE(scan.What, RemotePlan::ScanStart);
        QCOMPARE(scan.Fields, (Fields{"SCAN", "1000.0", "2,0", "x", "", "5"}));
    }
};

QTEST_APPLESS_MAIN(TestRemoteProtocol)
#include "tst_remoteprotocol.moc"
