#include "control/Unit_FormControlSet.h"

#include "control/Unit_PanelOperation.h"
#include "core/Unit_Colors.h"
#include "core/Unit_EventPump.h"
#include "core/Unit_Messages.h"
#include "core/Unit_Text8.h"
#include "ui/Unit_FormControlView.h"
#include "ui/Unit_MainFacade.h"
#include "ui/Unit_PanelParts.h"
#include "ui/Unit_SkinEdit.h"
#include "ui/Unit_SkinImage.h"

#include <QLabel>

TForm_ControlSet::TForm_ControlSet(IMainFacade* main, QWidget* dock) : QWidget(dock), Main(main) {
    setGeometry(0, 0, 910, 242);
    PanelParts::PaintBackground(this);
    Image_Base = new TSkinImage(QStringLiteral("set_base"), this, 0, 0);
    Image_Button1_On = new TSkinImage(QStringLiteral("set_button1_on"), this, 56, 88);
    Image_Button1_Off = new TSkinImage(QStringLiteral("set_button1_off"), this, 56, 88);
    Image_Button2_On = new TSkinImage(QStringLiteral("set_button2_on"), this, 56, 163);
    Image_Button2_Off = new TSkinImage(QStringLiteral("set_button2_off"), this, 56, 163);
    Image_Edit1_Mode1 = new TSkinImage(QStringLiteral("set_edit1_mode1"), this, 252, 88);
    Image_Edit1_Mode2 = new TSkinImage(QStringLiteral("set_edit1_mode2"), this, 252, 88);
    Image_Edit2_Mode1 = new TSkinImage(QStringLiteral("set_edit2_mode1"), this, 434, 88);
    Image_Edit2_Mode2 = new TSkinImage(QStringLiteral("set_edit2_mode2"), this, 434, 88);
    Image_Button3_On = new TSkinImage(QStringLiteral("set_button3_on"), this, 628, 88);
    Image_Button3_Off = new TSkinImage(QStringLiteral("set_button3_off"), this, 628, 88);
    Image_Button4_On = new TSkinImage(QStringLiteral("set_button4_on"), this, 710, 88);
    Image_Button4_Off = new TSkinImage(QStringLiteral("set_button4_off"), this, 710, 88);
    Edit1 = new TSkinEdit(this, QRect(268, 160, 144, 48), 37, Colors::clSetEdit, 5);
    Edit2 = new TSkinEdit(this, QRect(450, 160, 144, 48), 37, Colors::clSetEdit, 5);
    Label_Product = PanelParts::MakeLabel(this, 440, 24, 416, 28, QString(), Colors::clLabelGrey);
    Label_Remote =
        PanelParts::MakeLabel(this, 252, 24, 176, 28, QStringLiteral("Remote"), Colors::clMsgRed);
    Label_Remote->hide();

    for (TSkinImage* picture : {Image_Button1_On, Image_Button1_Off})
        connect(picture, &TSkinImage::Click, this, &TForm_ControlSet::Image_Button1Click);
    for (TSkinImage* picture : {Image_Button2_On, Image_Button2_Off})
        connect(picture, &TSkinImage::Click, this, &TForm_ControlSet::Image_Button2Click);
    for (TSkinImage* picture : {Image_Button3_On, Image_Button3_Off})
        connect(picture, &TSkinImage::Click, this, &TForm_ControlSet::Image_Button3Click);
    for (TSkinImage* picture : {Image_Button4_On, Image_Button4_Off})
        connect(picture, &TSkinImage::Click, this, &TForm_ControlSet::Image_Button4Click);
    for (TSkinImage* picture :
         {Image_Button1_Off, Image_Button2_Off, Image_Button3_Off, Image_Button4_Off})
        picture->setCursor(Qt::PointingHandCursor);
    // Every click into a box empties it, so the user always types a fresh value.
    connect(Edit1, &TSkinEdit::Click, Edit1, &QLineEdit::clear);
    connect(Edit2, &TSkinEdit::Click, Edit2, &QLineEdit::clear);
    // Enter in a box works like the Go button.
    connect(Edit1, &QLineEdit::returnPressed, this, &TForm_ControlSet::Image_Button4Click);
    connect(Edit2, &QLineEdit::returnPressed, this, &TForm_ControlSet::Image_Button4Click);

    Edit1->clear();
    Edit2->clear();
    Action_Button3_Up();
    Action_Button4_Up();
    Action_EditMode_Update();
    Action_RemoteControl_Disable();
    Action_UpdateUI();
}

void TForm_ControlSet::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Action_UpdateUI();
}

void TForm_ControlSet::Action_UpdateUI() {
    Label_Product->setText(Main->GetProductLabel());
    PanelParts::SetLabelColor(Label_Product,
                              Main->IsDeviceOpened() ? Colors::clLabelGrey : Colors::clMsgRed);
}

void TForm_ControlSet::Action_EditMode_Update() {
    const bool first = EditMode == 0;
    Image_Button1_On->setVisible(first);
    Image_Button1_Off->setVisible(!first);
    Image_Button2_On->setVisible(!first);
    Image_Button2_Off->setVisible(first);
    Image_Edit1_Mode1->setVisible(first);
    Image_Edit2_Mode1->setVisible(first);
    Image_Edit1_Mode2->setVisible(!first);
    Image_Edit2_Mode2->setVisible(!first);
    EventPump::PumpOnce();
}

void TForm_ControlSet::Action_Button3_Down() {
    PanelParts::ShowPressed(Image_Button3_On, Image_Button3_Off, true);
}
void TForm_ControlSet::Action_Button3_Up() {
    PanelParts::ShowPressed(Image_Button3_On, Image_Button3_Off, false);
}
void TForm_ControlSet::Action_Button4_Down() {
    PanelParts::ShowPressed(Image_Button4_On, Image_Button4_Off, true);
}
void TForm_ControlSet::Action_Button4_Up() {
    PanelParts::ShowPressed(Image_Button4_On, Image_Button4_Off, false);
}

QList<QWidget*> TForm_ControlSet::LockedByRemote() const {
    return {Image_Button1_On,
            Image_Button1_Off,
            Image_Button2_On,
            Image_Button2_Off,
            Image_Button3_On,
            Image_Button3_Off,
            Image_Button4_On,
            Image_Button4_Off,
            Edit1,
            Edit2};
}

void TForm_ControlSet::Action_RemoteControl_Enable() {
    PanelParts::SetRemoteLock(Label_Remote, LockedByRemote(), true);
}

void TForm_ControlSet::Action_RemoteControl_Disable() {
    PanelParts::SetRemoteLock(Label_Remote, LockedByRemote(), false);
}

void TForm_ControlSet::SelectMode(int mode) {
    EditMode = mode;
    Edit1->clear();
    Edit2->clear();
    Action_EditMode_Update();
}

void TForm_ControlSet::Image_Button1Click() {
    SelectMode(0);
}
void TForm_ControlSet::Image_Button2Click() {
    SelectMode(1);
}

void TForm_ControlSet::FillSetFields(int mode, const QByteArray& first, const QByteArray& second) {
    EditMode = mode;
    Edit1->clear();
    Edit2->clear();
    Action_EditMode_Update();
    Edit1->setText(Text8::ToWide(first));
    Edit2->setText(Text8::ToWide(second));
    EventPump::PumpOnce();
}

QByteArray TForm_ControlSet::SetWord(int mode) {
    return mode == 0 ? QByteArrayLiteral("SETC") : QByteArrayLiteral("SETR");
}

bool TForm_ControlSet::Validate(Caller caller, const QByteArray& word) {
    const SetValidationResult result =
        ::ValidateSetRequest(EditMode, Edit1->text(), Edit2->text(), *Main);
    if (!result.Ok) {
        if (caller == Caller::Remote)
            Main->SetRemoteResult(word + " FAIL", result.Code.toLatin1(), result.RemoteText());
        Main->ShowStatusMessage(result.MessageLine(), Colors::clMsgRed);
        return false;
    }
    for (int i = 0; i < 4; ++i)
        SetRequest[i] = result.SetRequest[i];
    SetLimits = result.SetLimits;
    return true;
}

bool TForm_ControlSet::ValidateSetRequest() {
    return Validate(Caller::Local, SetWord(EditMode));
}
bool TForm_ControlSet::ValidateRemoteSetRequest() {
    return Validate(Caller::Remote, SetWord(EditMode));
}

void TForm_ControlSet::RunSet(Caller caller, const std::function<void()>& fill, int mode) {
    const bool remote = caller == Caller::Remote;
    // One response word for the whole request, whatever happens to the mode meanwhile.
    const QByteArray word = SetWord(mode < 0 ? EditMode : mode);
    if (!PanelOperation::Begin(*Main, remote, PanelOperation::kDeviceNotReady, word + " FAIL"))
        return;
    if (PanelOperation::RefuseUnlessReady(*Main, remote, word + " FAIL")) return;

    try {
        Action_Button4_Down();
        if (fill) fill();
        Main->ShowStatusMessage(QStringLiteral("Changing wavelength and FWHM. Please wait..."),
                                Colors::clMsgSilver);
        if (Validate(caller, word) && !PanelOperation::Abandoned(*Main, remote)) {
            if (Main->MoveTo(SetRequest[0], SetRequest[1])) {
                Main->ShowViewSetting(SetLimits.MinCwl - 10.0, SetLimits.MaxCwl + 10.0,
                                      SetRequest[0], SetRequest[1], SetRequest[2], SetRequest[3]);
                if (remote) Main->SetRemoteResult(word + " OK", QByteArray(), QByteArray());
                Main->ShowStatusMessage(QStringLiteral("Successfully changed wavelength and FWHM."),
                                        Colors::clMsgLime);
            } else {
                if (remote)
                    Main->SetRemoteResult(word + " FAIL",
                                          Messages::Code(Messages::ERRDV04).toLatin1(),
                                          Text8::FromWide(Messages::Bare(Messages::ERRDV04)));
                Main->ShowStatusMessage(Messages::Text(Messages::ERRDV04), Colors::clMsgRed);
            }
        }
    } catch (...) {
        // The main window is reached through the facade the panel was given; a stand-in (or an
        // allocation failing) may throw. The client learns of it, and the button and the device
        // lock are given back below.
        PanelOperation::StoreUnknownError(*Main, remote);
    }
    Action_Button4_Up();
    Main->UnlockDevice();
}

void TForm_ControlSet::RunReset(Caller caller) {
    PanelOperation::RunReset(*Main, caller == Caller::Remote, [this](bool pressed) {
        pressed ? Action_Button3_Down() : Action_Button3_Up();
    });
}

void TForm_ControlSet::Image_Button3Click() {
    RunReset(Caller::Local);
}
void TForm_ControlSet::Image_Button4Click() {
    RunSet(Caller::Local);
}
void TForm_ControlSet::Action_RemoteControl_Reset() {
    RunReset(Caller::Remote);
}
void TForm_ControlSet::Action_RemoteControl_Go() {
    RunSet(Caller::Remote);
}
void TForm_ControlSet::Action_RemoteControl_Go(int mode, const QByteArray& first,
                                               const QByteArray& second) {
    RunSet(
        Caller::Remote, [&]() { FillSetFields(mode, first, second); }, mode);
}
