#include "ui/Unit_FormControlHelp.h"

#include "ui/Unit_PanelParts.h"
#include "ui/Unit_Skin.h"
#include "ui/Unit_SkinImage.h"

#include <QLabel>

TForm_ControlHelp::TForm_ControlHelp(QWidget* dock) : QWidget(dock) {
    setGeometry(0, 0, 910, 426);
    Panel_Base = new QWidget(this);
    Panel_Base->setGeometry(0, 0, 910, 426);
    PanelParts::PaintBackground(Panel_Base);
    Image_Help_Base = new TSkinImage(QStringLiteral("help_base"), Panel_Base, 0, 0);
    // The page leaves its last row free for this line, in the page's own dim caption style.
    Label_RemoteLine = new QLabel(Panel_Base);
    Label_RemoteLine->setGeometry(56, 401, 801, 22);
    Label_RemoteLine->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Label_RemoteLine->setFont(Skin::Font(14));
    QPalette pal = Label_RemoteLine->palette();
    pal.setColor(QPalette::WindowText, QColor(0x8A, 0x8A, 0x8A));
    Label_RemoteLine->setPalette(pal);
}

void TForm_ControlHelp::SetRemoteLine(const QString& text) {
    Label_RemoteLine->setText(text);
}
