#include "ui/Unit_FormControlHelp.h"

#include "ui/Unit_PanelParts.h"
#include "ui/Unit_Skin.h"
#include "ui/Unit_SkinImage.h"

#include <QLabel>
#include <QPainter>

namespace {

// A status line that keeps its whole text (and shows it as a tool tip) but draws what does not
// fit as an ellipsis, so that two lines can share the page's last row.
class TStatusLine : public QLabel {
public:
    TStatusLine(QWidget* parent, Qt::Alignment alignment) : QLabel(parent) {
        setAlignment(alignment | Qt::AlignVCenter);
        setFont(Skin::Font(14));
        QPalette pal = palette();
        pal.setColor(QPalette::WindowText, QColor(0x8A, 0x8A, 0x8A));
        setPalette(pal);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.setFont(font());
        const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, width());
        painter.drawText(rect(), int(alignment()), shown);
    }
};

} // namespace

TForm_ControlHelp::TForm_ControlHelp(QWidget* dock) : QWidget(dock) {
    setGeometry(0, 0, 910, 426);
    Panel_Base = new QWidget(this);
    Panel_Base->setGeometry(0, 0, 910, 426);
    PanelParts::PaintBackground(Panel_Base);
    Image_Help_Base = new TSkinImage(QStringLiteral("help_base"), Panel_Base, 0, 0);
    // The page leaves its last row free for these lines, in the page's own dim caption style.
    Label_InstrumentLine = new TStatusLine(Panel_Base, Qt::AlignLeft);
    Label_RemoteLine = new TStatusLine(Panel_Base, Qt::AlignRight);
    LayOutLines();
}

void TForm_ControlHelp::SetRemoteLine(const QString& text) {
    Label_RemoteLine->setText(text);
    Label_RemoteLine->setToolTip(text);
    LayOutLines();
}

void TForm_ControlHelp::SetInstrumentLine(const QString& text) {
    Label_InstrumentLine->setText(text);
    Label_InstrumentLine->setToolTip(text);
    LayOutLines();
}

void TForm_ControlHelp::LayOutLines() {
    // The row runs from 56 to 857. Each line takes the width its text needs; when both do not
    // fit, a line shorter than half the row keeps its width and the other is shortened.
    constexpr int left = 56, row = 801, gap = 24, top = 401, height = 22;
    const int avail = row - gap;
    const auto need = [](const QLabel* line) {
        return line->text().isEmpty() ? 0 : line->fontMetrics().horizontalAdvance(line->text()) + 2;
    };
    int first = need(Label_InstrumentLine);
    const int second = need(Label_RemoteLine);
    if (first + second > avail) {
        if (first > avail / 2) first = second <= avail / 2 ? avail - second : avail / 2;
    }
    first = qMin(first, avail);
    Label_InstrumentLine->setGeometry(left, top, first, height);
    Label_RemoteLine->setGeometry(left + first + gap, top, row - first - gap, height);
}
