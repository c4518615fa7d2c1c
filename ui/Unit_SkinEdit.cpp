#include "ui/Unit_SkinEdit.h"

#include "core/Unit_Colors.h"
#include "ui/Unit_Skin.h"

#include <QClipboard>
#include <QDropEvent>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>

TSkinEdit::TSkinEdit(QWidget* parent, const QRect& geometry, int fontPixels, unsigned background,
                     int typedLimit)
    : QLineEdit(parent), Limit(typedLimit) {
    setGeometry(geometry);
    setFrame(false);
    setAlignment(Qt::AlignCenter);
    setFont(Skin::Font(fontPixels));
    setContextMenuPolicy(Qt::NoContextMenu);
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Colors::ToQColor(background));
    pal.setColor(QPalette::Text, Qt::white);
    pal.setColor(QPalette::Disabled, QPalette::Base, Colors::ToQColor(background));
    pal.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    pal.setColor(QPalette::Highlight, QColor(0x2A, 0x5C, 0xAA));
    setPalette(pal);
}

int TSkinEdit::Room() const {
    return Limit - int(text().size()) + int(selectedText().size());
}

void TSkinEdit::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) emit Click();
    QLineEdit::mousePressEvent(event);
}

void TSkinEdit::mouseReleaseEvent(QMouseEvent* event) {
    // No middle-button paste: it would pass the typing limit.
    if (event->button() == Qt::MiddleButton) return;
    QLineEdit::mouseReleaseEvent(event);
}

void TSkinEdit::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Paste)) {
        // insert() writes into a read-only box as well.
        if (isReadOnly()) return;
        const int room = Room();
        if (room > 0) insert(QGuiApplication::clipboard()->text().left(room));
        return;
    }
    const QString typed = event->text();
    const bool inserts = !typed.isEmpty() && typed.at(0).isPrint();
    if (inserts && int(typed.size()) > Room()) return;
    QLineEdit::keyPressEvent(event);
}

void TSkinEdit::dropEvent(QDropEvent* event) {
    const QString dropped = event->mimeData()->text();
    // Moving text inside the box keeps its length.
    const bool moveInside = event->source() == this && event->dropAction() == Qt::MoveAction;
    // A drop lands at the pointer and replaces no selection.
    const int room = Limit - int(text().size());
    if (dropped.isNull() || moveInside || int(dropped.size()) <= room) {
        QLineEdit::dropEvent(event);
        return;
    }
    if (room <= 0) {
        event->ignore();
        return;
    }
    QMimeData cut;
    cut.setText(dropped.left(room));
    QDropEvent limited(event->position(), event->possibleActions(), &cut, event->buttons(),
                       event->modifiers());
    limited.setDropAction(event->dropAction());
    QLineEdit::dropEvent(&limited);
    event->setDropAction(limited.dropAction());
    event->setAccepted(limited.isAccepted());
}

void TSkinEdit::inputMethodEvent(QInputMethodEvent* event) {
    const QString commit = event->commitString();
    const int room = Room() + event->replacementLength();
    if (int(commit.size()) <= room) {
        QLineEdit::inputMethodEvent(event);
        return;
    }
    QInputMethodEvent limited(event->preeditString(), event->attributes());
    limited.setCommitString(commit.left(qMax(0, room)), event->replacementStart(),
                            event->replacementLength());
    QLineEdit::inputMethodEvent(&limited);
    event->setAccepted(limited.isAccepted());
}
