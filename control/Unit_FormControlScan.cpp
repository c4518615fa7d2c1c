#include "control/Unit_FormControlScan.h"

#include "core/Unit_Colors.h"
#include "core/Unit_EventPump.h"
#include "core/Unit_FormMain.h"
#include "ui/Unit_PanelParts.h"
#include "ui/Unit_SkinEdit.h"
#include "ui/Unit_SkinImage.h"

#include <QLabel>

TForm_ControlScan::TForm_ControlScan(TForm_Main* main, QWidget* dock) : QWidget(dock), Main(main) {
    setGeometry(0, 0, 910, 242);
    PanelParts::PaintBackground(this);
    Image_Base = new TSkinImage(QStringLiteral("scan_base"), this, 0, 0);
    Label_Product = PanelParts::MakeLabel(this, 440, 24, 416, 28, QString(), Colors::clLabelGrey);
    Label_Remote =
        PanelParts::MakeLabel(this, 252, 24, 176, 28, QStringLiteral("Remote"), Colors::clMsgRed);
    Label_Remote->hide();
    static constexpr int kLefts[5] = {56, 176, 296, 416, 536};
    for (int i = 0; i < 5; ++i) {
        Image_Edit[i] =
            new TSkinImage(QStringLiteral("scan_edit%1").arg(i + 1), this, kLefts[i], 88);
        Edit[i] =
            new TSkinEdit(this, QRect(kLefts[i] + 12, 164, 96, 48), 32, Colors::clScanEdit, 5);
        TSkinEdit* box = Edit[i];
        connect(box, &TSkinEdit::Click, box, &QLineEdit::clear);
    }
    Image_Button3_On = new TSkinImage(QStringLiteral("scan_button3_on"), this, 674, 88);
    Image_Button3_Off = new TSkinImage(QStringLiteral("scan_button3_off"), this, 674, 88);
    Image_Button4_On = new TSkinImage(QStringLiteral("scan_button4_on"), this, 756, 88);
    Image_Button4_Off = new TSkinImage(QStringLiteral("scan_button4_off"), this, 756, 88);

    for (TSkinEdit* box : Edit)
        box->clear();
    Action_Button3_Up();
    Action_Button4_Up();
    Action_RemoteControl_Disable();
    Action_UpdateUI();
}

void TForm_ControlScan::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Action_UpdateUI();
}

void TForm_ControlScan::Action_UpdateUI() {
    Label_Product->setText(Main->GetProductLabel());
    PanelParts::SetLabelColor(Label_Product,
                              Main->IsDeviceOpened() ? Colors::clLabelGrey : Colors::clMsgRed);
    EventPump::PumpOnce();
}

void TForm_ControlScan::Action_Button3_Down() {
    PanelParts::ShowPressed(Image_Button3_On, Image_Button3_Off, true);
}
void TForm_ControlScan::Action_Button3_Up() {
    PanelParts::ShowPressed(Image_Button3_On, Image_Button3_Off, false);
}
void TForm_ControlScan::Action_Button4_Down() {
    PanelParts::ShowPressed(Image_Button4_On, Image_Button4_Off, true);
}
void TForm_ControlScan::Action_Button4_Up() {
    PanelParts::ShowPressed(Image_Button4_On, Image_Button4_Off, false);
}

QList<QWidget*> TForm_ControlScan::LockedByRemote() const {
    QList<QWidget*> controls{Image_Button3_On, Image_Button3_Off, Image_Button4_On,
                             Image_Button4_Off};
    for (TSkinEdit* box : Edit)
        controls.append(box);
    return controls;
}

void TForm_ControlScan::Action_RemoteControl_Enable() {
    PanelParts::SetRemoteLock(Label_Remote, LockedByRemote(), true);
}

void TForm_ControlScan::Action_RemoteControl_Disable() {
    PanelParts::SetRemoteLock(Label_Remote, LockedByRemote(), false);
}

void TForm_ControlScan::FormClose() {
    Closing = true;
}
