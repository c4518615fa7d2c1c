// The caret stops blinking once the user has been away for the still time, and blinks again,
// at the platform's own rate, with the next key or mouse press.
#include "ui/Unit_CaretBlink.h"

#include <QApplication>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QSignalSpy>
#include <QStyleHints>
#include <QTest>
#include <QWheelEvent>

namespace {
constexpr int kPlatformFlashMs = 1000;
constexpr int kStillMs = 150;
} // namespace

class TestCaretBlink : public QObject {
    Q_OBJECT
private slots:
    void init() { QGuiApplication::styleHints()->setCursorFlashTime(kPlatformFlashMs); }

    void stillUserStopsTheBlinkAndInputStartsItAgain_data() {
        QTest::addColumn<QString>("input");
        for (const char* input : {"key", "mouse", "double click", "wheel", "input method"})
            QTest::newRow(input) << input;
    }
    void stillUserStopsTheBlinkAndInputStartsItAgain() {
        QFETCH(QString, input);
        QLineEdit box;
        box.show();
        box.activateWindow();
        box.setFocus();
        TCaretBlink blink(kStillMs);
        QSignalSpy changed(&blink, &TCaretBlink::BlinkingChanged);
        QVERIFY(blink.IsBlinking());

        QVERIFY(changed.wait());
        QCOMPARE(changed.takeFirst().at(0).toBool(), false);
        QCOMPARE(QGuiApplication::styleHints()->cursorFlashTime(), 0);

        if (input == "key") {
            QTest::keyClick(&box, Qt::Key_5);
        } else if (input == "mouse") {
            QTest::mouseClick(&box, Qt::LeftButton);
        } else if (input == "double click") {
            QTest::mouseDClick(&box, Qt::LeftButton);
        } else if (input == "wheel") {
            QWheelEvent wheel(QPointF(5, 5), box.mapToGlobal(QPointF(5, 5)), QPoint(),
                              QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                              false);
            QApplication::sendEvent(&box, &wheel);
        } else {
            QInputMethodEvent commit;
            commit.setCommitString(QStringLiteral("7"));
            QApplication::sendEvent(&box, &commit);
        }
        QVERIFY(blink.IsBlinking());
        QCOMPARE(changed.takeFirst().at(0).toBool(), true);
        QCOMPARE(QGuiApplication::styleHints()->cursorFlashTime(), kPlatformFlashMs);

        // The still time runs again from the input.
        QVERIFY(changed.wait());
        QCOMPARE(changed.takeFirst().at(0).toBool(), false);
        QCOMPARE(QGuiApplication::styleHints()->cursorFlashTime(), 0);
    }

    void endingGivesThePlatformItsFlashTimeBack() {
        {
            TCaretBlink blink(kStillMs);
            QSignalSpy changed(&blink, &TCaretBlink::BlinkingChanged);
            QVERIFY(changed.wait());
            QCOMPARE(QGuiApplication::styleHints()->cursorFlashTime(), 0);
        }
        QCOMPARE(QGuiApplication::styleHints()->cursorFlashTime(), kPlatformFlashMs);
    }

    void platformWithoutBlinkStaysWithout() {
        // A user who turned the blink off does not get it back with the first key.
        QGuiApplication::styleHints()->setCursorFlashTime(0);
        QLineEdit box;
        box.show();
        TCaretBlink blink(kStillMs);
        QSignalSpy changed(&blink, &TCaretBlink::BlinkingChanged);
        QVERIFY(changed.wait());
        QTest::keyClick(&box, Qt::Key_5);
        QVERIFY(blink.IsBlinking());
        QCOMPARE(QGuiApplication::styleHints()->cursorFlashTime(), 0);
    }
};

QTEST_MAIN(TestCaretBlink)
#include "tst_caretblink.moc"
