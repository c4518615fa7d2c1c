#include "ui/Unit_SkinEdit.h"

#include "core/Unit_Colors.h"
#include "ui/Unit_Skin.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
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
        const int room = Room();
        if (room > 0) insert(QGuiApplication::clipboard()->text().left(room));
        return;
    }
    const QString typed = event->text();
    const bool inserts = !typed.isEmpty() && typed.at(0).isPrint();
    if (inserts && int(typed.size()) > Room()) return;
    QLineEdit::keyPressEvent(event);
}
