// The value box's typing limit holds for every way of typing, not for text the program writes.
#include "ui/Unit_SkinEdit.h"

#include <QApplication>
#include <QDropEvent>
#include <QInputMethodEvent>
#include <QMimeData>
#include <QTest>

namespace {

void Drop(TSkinEdit& box, const QString& text) {
    QMimeData data;
    data.setText(text);
    // The drop goes to the widget that accepted the drag's entry.
    const QPoint at = box.rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&box, &enter);
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&box, &drop);
}

void Commit(TSkinEdit& box, const QString& text) {
    QInputMethodEvent commit;
    commit.setCommitString(text);
    QApplication::sendEvent(&box, &commit);
}

} // namespace

class TestSkinEdit : public QObject {
    Q_OBJECT
private slots:
    void everyWayOfTypingIsLimited_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("after");
        for (const char* how : {"keys", "drop", "input method"}) {
            QTest::addRow("%s, too long", how) << how << ""
                                               << "123456789"
                                               << "12345";
            QTest::addRow("%s, fits", how) << how << "1"
                                           << "234"
                                           << "1234";
            QTest::addRow("%s, full", how) << how << "12345"
                                           << "6"
                                           << "12345";
        }
        // Text written by the program is not limited, but nothing can be added to it.
        QTest::newRow("drop onto a longer text") << "drop"
                                                 << "1000.00"
                                                 << "5"
                                                 << "1000.00";
        QTest::newRow("input method onto a longer text") << "input method"
                                                         << "1000.00"
                                                         << "5"
                                                         << "1000.00";
    }
    void everyWayOfTypingIsLimited() {
        QFETCH(QString, how);
        QFETCH(QString, before);
        QFETCH(QString, typed);
        TSkinEdit box(nullptr, QRect(0, 0, 144, 48), 37, 0x232323, 5);
        box.show();
        box.setFocus();
        box.setText(before);
        box.end(false);
        if (how == "keys") {
            for (const QChar c : typed)
                QTest::keyClick(&box, c.toLatin1());
        } else if (how == "drop") {
            Drop(box, typed);
        } else {
            Commit(box, typed);
        }
        QFETCH(QString, after);
        // Where a drop lands among the characters depends on the pointer; its length does not.
        QCOMPARE(box.text().size(), after.size());
        if (before.isEmpty() || how != "drop") QCOMPARE(box.text(), after);
    }
};

QTEST_MAIN(TestSkinEdit)
#include "tst_skinedit.moc"
