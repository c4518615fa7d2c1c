#include "ui/Unit_PanelParts.h"

#include "core/Unit_Colors.h"
#include "core/Unit_EventPump.h"
#include "ui/Unit_Skin.h"

#include <QLabel>

namespace PanelParts {

void PaintBackground(QWidget* panel) {
    panel->setAutoFillBackground(true);
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, Colors::ToQColor(Colors::clWindow));
    panel->setPalette(pal);
}

QLabel* MakeLabel(QWidget* parent, int left, int top, int width, int height, const QString& text,
                  unsigned color) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(left, top, width, height);
    label->setAlignment(Qt::AlignCenter);
    label->setFont(Skin::Font(21));
    label->setAutoFillBackground(true);
    QPalette pal = label->palette();
    pal.setColor(QPalette::Window, Qt::black);
    label->setPalette(pal);
    SetLabelColor(label, color);
    return label;
}

void SetLabelColor(QLabel* label, unsigned color) {
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, Colors::ToQColor(color));
    label->setPalette(pal);
}

void ShowPressed(QWidget* on, QWidget* off, bool pressed) {
    on->setVisible(pressed);
    off->setVisible(!pressed);
    EventPump::PumpOnce();
}

void SetRemoteLock(QLabel* remoteLabel, const QList<QWidget*>& controls, bool locked) {
    remoteLabel->setVisible(locked);
    for (QWidget* control : controls)
        control->setEnabled(!locked);
}

} // namespace PanelParts
