#pragma once
// A borderless, centred value box of the Set and Scan panels. Every click into it announces
// itself (the panels empty the box then), and typing is limited to a number of characters while
// text written by the program is not.

#include <QLineEdit>

class TSkinEdit : public QLineEdit {
    Q_OBJECT
public:
    TSkinEdit(QWidget* parent, const QRect& geometry, int fontPixels, unsigned background,
              int typedLimit);

    int TypedLimit() const { return Limit; }

signals:
    void Click();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // Text dropped or committed by an input method is typing too: cut to the room left.
    void dropEvent(QDropEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;

private:
    int Room() const;
    int Limit;
};
