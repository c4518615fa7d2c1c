#include "ui/Unit_FormControlHelp.h"

#include "ui/Unit_PanelParts.h"
#include "ui/Unit_SkinImage.h"

TForm_ControlHelp::TForm_ControlHelp(QWidget* dock) : QWidget(dock) {
    setGeometry(0, 0, 910, 426);
    Panel_Base = new QWidget(this);
    Panel_Base->setGeometry(0, 0, 910, 426);
    PanelParts::PaintBackground(Panel_Base);
    Image_Help_Base = new TSkinImage(QStringLiteral("help_base"), Panel_Base, 0, 0);
}
