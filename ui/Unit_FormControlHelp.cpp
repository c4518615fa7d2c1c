#include "ui/Unit_FormControlHelp.h"

#include "core/Unit_Colors.h"
#include "ui/Unit_SkinImage.h"

TForm_ControlHelp::TForm_ControlHelp(QWidget* dock) : QWidget(dock) {
    setGeometry(0, 0, 910, 426);
    Panel_Base = new QWidget(this);
    Panel_Base->setGeometry(0, 0, 910, 426);
    Panel_Base->setAutoFillBackground(true);
    QPalette pal = Panel_Base->palette();
    pal.setColor(QPalette::Window, Colors::ToQColor(Colors::clWindow));
    Panel_Base->setPalette(pal);
    Image_Help_Base = new TSkinImage(QStringLiteral("help_base"), Panel_Base, 0, 0);
}
