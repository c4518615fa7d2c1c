#pragma once

#include <QObject>
#include <QTimer>

// The text caret of the edit boxes blinks while the user works and stays still, shown, once the
// program has had no key or mouse press for a while, as desktop toolkits do: a window left in
// front of the user for hours then wakes up for nothing (each blink repaints a box).
// One per application; it watches the application's input through an event filter.
class TCaretBlink : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultStillAfterMs = 10000;

    explicit TCaretBlink(int stillAfterMs = DefaultStillAfterMs, QObject* parent = nullptr);
    ~TCaretBlink() override;

    bool IsBlinking() const { return Blinking; }

signals:
    void BlinkingChanged(bool blinking);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Timer_StillTimeout();
    void SetBlinking(bool blinking);

    QTimer* Timer_Still = nullptr;
    // The platform's own flash time, given back when the user is active again.
    int FlashTimeMs = 0;
    bool Blinking = true;
};
