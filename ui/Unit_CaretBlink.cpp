#include "ui/Unit_CaretBlink.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QStyleHints>

TCaretBlink::TCaretBlink(int stillAfterMs, QObject* parent) : QObject(parent) {
    FlashTimeMs = QGuiApplication::styleHints()->cursorFlashTime();
    Timer_Still = new QTimer(this);
    Timer_Still->setSingleShot(true);
    Timer_Still->setInterval(stillAfterMs);
    connect(Timer_Still, &QTimer::timeout, this, &TCaretBlink::Timer_StillTimeout);
    QCoreApplication::instance()->installEventFilter(this);
    Timer_Still->start();
}

TCaretBlink::~TCaretBlink() {
    if (QCoreApplication* app = QCoreApplication::instance()) app->removeEventFilter(this);
    SetBlinking(true);
}

bool TCaretBlink::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
        SetBlinking(true);
        Timer_Still->start();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void TCaretBlink::Timer_StillTimeout() {
    SetBlinking(false);
}

void TCaretBlink::SetBlinking(bool blinking) {
    if (blinking == Blinking) return;
    Blinking = blinking;
    // A flash time of 0 is Qt's caret that is always shown; the boxes follow the change at once.
    QGuiApplication::styleHints()->setCursorFlashTime(blinking ? FlashTimeMs : 0);
    emit BlinkingChanged(blinking);
}
