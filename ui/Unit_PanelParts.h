#pragma once
// Small builders shared by the Set and Scan panels.

#include <QList>
#include <QString>

class QLabel;
class QWidget;

namespace PanelParts {

// A borderless panel of the window's background colour.
void PaintBackground(QWidget* panel);

// A centred Open Sans 21 px label on black over the panel's picture (the product label, "Remote").
QLabel* MakeLabel(QWidget* parent, int left, int top, int width, int height, const QString& text,
                  unsigned color);

void SetLabelColor(QLabel* label, unsigned color);

// Shows the pressed (on) or released (off) picture of a button and paints it at once.
void ShowPressed(QWidget* on, QWidget* off, bool pressed);

// While a remote client holds control the "Remote" label shows and the controls take no input.
void SetRemoteLock(QLabel* remoteLabel, const QList<QWidget*>& controls, bool locked);

} // namespace PanelParts
