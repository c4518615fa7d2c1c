#include "ui/Unit_FormControlView.h"

#include "core/Unit_EventPump.h"
#include "core/Unit_Numbers.h"
#include "ui/Unit_PanelParts.h"
#include "ui/Unit_Skin.h"
#include "ui/Unit_SkinImage.h"
#include "ui/Unit_ViewMath.h"

#include <QLabel>

namespace {

constexpr unsigned kRangeColor = 10790052; // #A4A4A4
constexpr unsigned kEdgeColor = 65280;     // #00FF00
constexpr unsigned kCentreColor = 65535;   // #FFFF00

QLabel* MakeValueLabel(QWidget* parent, QRect geometry, int pixels, unsigned color) {
    QLabel* label = PanelParts::MakeLabel(parent, geometry.x(), geometry.y(), geometry.width(),
                                          geometry.height(), QString(), color);
    label->setFont(Skin::Font(pixels));
    return label;
}

void MoveLeft(QWidget* widget, int left) {
    widget->move(left, widget->y());
}

} // namespace

TForm_ControlView::TForm_ControlView(QWidget* dock) : QWidget(dock) {
    setGeometry(0, 0, 910, 170);
    Panel_Base = new QWidget(this);
    Panel_Base->setGeometry(0, 0, 910, 170);
    PanelParts::PaintBackground(Panel_Base);
    // Drawing order from back to front.
    Image_Base = new TSkinImage(QStringLiteral("view_base"), Panel_Base, 0, 0);
    Label_RangeMin = MakeValueLabel(Panel_Base, {60, 70, 72, 32}, 21, kRangeColor);
    Label_RangeMax = MakeValueLabel(Panel_Base, {780, 70, 72, 32}, 21, kRangeColor);
    Image_Edit4_Base = new TSkinImage(QStringLiteral("view_edit4_base"), Panel_Base, 351, 108);
    Image_Edit5_Base = new TSkinImage(QStringLiteral("view_edit5_base"), Panel_Base, 457, 108);
    Label_Edit4 = MakeValueLabel(Panel_Base, {360, 129, 56, 22}, 16, kEdgeColor);
    Label_Edit5 = MakeValueLabel(Panel_Base, {495, 129, 56, 22}, 16, kEdgeColor);
    Image_Edit3_Base = new TSkinImage(QStringLiteral("view_edit3_base"), Panel_Base, 364, 16);
    Label_Edit3 = MakeValueLabel(Panel_Base, {412, 19, 56, 22}, 16, kCentreColor);
    Label_Edit6 = MakeValueLabel(Panel_Base, {468, 19, 72, 22}, 16, kCentreColor);
    Image_Pos_Range = new TSkinImage(QStringLiteral("view_pos_range"), Panel_Base, 444, 68);
    Image_Pos_Range->resize(20, 33);
    Image_Pos_CWL = new TSkinImage(QStringLiteral("view_pos_cwl"), Panel_Base, 451, 68);
    Image_Pos_SW = new TSkinImage(QStringLiteral("view_pos_sw"), Panel_Base, 442, 68);
    Image_Pos_LW = new TSkinImage(QStringLiteral("view_pos_lw"), Panel_Base, 460, 68);
    for (TSkinImage* marker : {Image_Pos_CWL, Image_Pos_SW, Image_Pos_LW})
        marker->resize(8, 33);
    ClearView();
}

void TForm_ControlView::ApplyLayout(const ViewLayout& layout) {
    MoveLeft(Image_Edit3_Base, layout.Edit3BaseLeft);
    MoveLeft(Label_Edit3, layout.Edit3Left);
    MoveLeft(Label_Edit6, layout.Edit6Left);
    MoveLeft(Image_Edit4_Base, layout.Edit4BaseLeft);
    MoveLeft(Label_Edit4, layout.Edit4Left);
    MoveLeft(Image_Edit5_Base, layout.Edit5BaseLeft);
    MoveLeft(Label_Edit5, layout.Edit5Left);
    MoveLeft(Image_Pos_CWL, layout.PosCwlLeft);
    MoveLeft(Image_Pos_SW, layout.PosSwLeft);
    MoveLeft(Image_Pos_LW, layout.PosLwLeft);
    Image_Pos_Range->setGeometry(layout.PosRangeLeft, Image_Pos_Range->y(), layout.PosRangeWidth,
                                 Image_Pos_Range->height());
}

void TForm_ControlView::ClearView() {
    for (QLabel* label :
         {Label_RangeMin, Label_RangeMax, Label_Edit3, Label_Edit4, Label_Edit5, Label_Edit6})
        label->clear();
    ApplyLayout(ViewMath::RestLayout());
    EventPump::PumpOnce();
}

void TForm_ControlView::SetViewRange(double lo, double hi) {
    Label_RangeMin->setText(Numbers::FormatFixed(lo, 1));
    Label_RangeMax->setText(Numbers::FormatFixed(hi, 1));
    for (QLabel* label : {Label_Edit3, Label_Edit4, Label_Edit5, Label_Edit6})
        label->clear();
    ApplyLayout(ViewMath::RestLayout());
    EventPump::PumpOnce();
}

void TForm_ControlView::ShowSetting(double lo, double hi, double cwl, double fwhm, double sw,
                                    double lw) {
    Label_RangeMin->setText(Numbers::FormatFixed(lo, 1));
    Label_RangeMax->setText(Numbers::FormatFixed(hi, 1));
    Label_Edit3->setText(Numbers::FormatFixed(cwl, 2));
    Label_Edit4->setText(Numbers::FormatFixed(sw, 2));
    Label_Edit5->setText(Numbers::FormatFixed(lw, 2));
    Label_Edit6->setText(QStringLiteral("[ ") + Numbers::FormatFixed(fwhm, 2) +
                         QStringLiteral(" ]"));
    ApplyLayout(ViewMath::ComputeViewLayout(lo, hi, cwl, fwhm, sw, lw));
    EventPump::PumpOnce();
}
