// The main window's skin: frameless window, title bar, opacity slider, tabs and message bar.
#include "app/Unit_FormMain.h"

#include "app/Unit_FormCalData.h"
#include "core/Unit_Colors.h"
#include "core/Unit_EventPump.h"
#include "core/Unit_setupvuzaravarede.h"
#include "ui/Unit_FormControlView.h"
#include "ui/Unit_PanelParts.h"
#include "ui/Unit_ScanProgress.h"
#include "ui/Unit_Skin.h"
#include "ui/Unit_SkinImage.h"

#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QScreen>
#include <QWindow>
#include <algorithm>

namespace {

constexpr int kWindowWidth = 910;
constexpr int kWindowHeight = 624;
constexpr int kSliderMin = 574;
constexpr int kSliderMax = 638;
constexpr int kMessagePixels = 21;
constexpr int kMessageMinPixels = 12;

QWidget* MakePanel(QWidget* parent, int top, int height) {
    auto* panel = new QWidget(parent);
    panel->setGeometry(0, top, kWindowWidth, height);
    PanelParts::PaintBackground(panel);
    return panel;
}

} // namespace

void TForm_Main::BuildSkin() {
    Skin::LoadFonts();
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setWindowTitle(QStringLiteral("QVL Rari v2.0"));
    // The plain icons only: they already cover the pixel sizes asked for at a scale of 2 (32 to
    // 128), and with the @2x copies added the window showed no icon at all on X11 at that scale.
    QIcon icon;
    for (int size : {128, 64, 48, 32, 16})
        icon.addPixmap(TSkinImage::LoadSkin(QStringLiteral("icon_%1").arg(size)));
    setWindowIcon(icon);
    setFixedSize(kWindowWidth, kWindowHeight);
    PanelParts::PaintBackground(this);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    setWindowOpacity(1.0);

    Panel_Title = MakePanel(this, 0, 60);
    Panel_TabControl = MakePanel(this, 64, 48);
    Panel_Main = MakePanel(this, 112, 242);
    Panel_View = MakePanel(this, 368, 170);
    Panel_Message = MakePanel(this, 554, 70);

    Image_Title_Base = new TSkinImage(QStringLiteral("title_base"), Panel_Title, 0, 0);
    Image_Title_Button1 = new TSkinImage(QStringLiteral("title_button1"), Panel_Title, 776, 2);
    Image_Title_Button2 = new TSkinImage(QStringLiteral("title_button2"), Panel_Title, 836, 2);
    Image_Slide_Base = new TSkinImage(QStringLiteral("slide_base"), Panel_Title, 560, 10);
    Image_Slide_Button = new TSkinImage(QStringLiteral("slide_button"), Panel_Title, kSliderMax, 9);
    for (TSkinImage* button : {Image_Title_Button1, Image_Title_Button2, Image_Slide_Button})
        button->setCursor(Qt::PointingHandCursor);

    connect(Image_Title_Base, &TSkinImage::MouseDown, this,
            [this](Qt::MouseButton button, int, int) { Image_Title_BaseMouseDown(button); });
    connect(Image_Title_Button1, &TSkinImage::Click, this, &TForm_Main::Image_Title_Button1Click);
    connect(Image_Title_Button2, &TSkinImage::Click, this, &TForm_Main::Image_Title_Button2Click);
    connect(Image_Slide_Button, &TSkinImage::MouseDown, this,
            [this](Qt::MouseButton, int x, int) { Image_Slide_ButtonMouseDown(x); });
    connect(Image_Slide_Button, &TSkinImage::MouseMove, this,
            [this](int x, int) { Image_Slide_ButtonMouseMove(x); });
    connect(Image_Slide_Button, &TSkinImage::MouseUp, this,
            [this](Qt::MouseButton, int, int) { Image_Slide_ButtonMouseUp(); });

    Image_Tab1_On = new TSkinImage(QStringLiteral("tab1_on"), Panel_TabControl, 32, 8);
    Image_Tab1_Off = new TSkinImage(QStringLiteral("tab1_off"), Panel_TabControl, 32, 8);
    Image_Tab2_On = new TSkinImage(QStringLiteral("tab2_on"), Panel_TabControl, 172, 8);
    Image_Tab2_Off = new TSkinImage(QStringLiteral("tab2_off"), Panel_TabControl, 172, 8);
    Image_Tab3_On = new TSkinImage(QStringLiteral("tab3_on"), Panel_TabControl, 312, 8);
    Image_Tab3_Off = new TSkinImage(QStringLiteral("tab3_off"), Panel_TabControl, 312, 8);
    for (TSkinImage* tab : {Image_Tab1_On, Image_Tab1_Off})
        connect(tab, &TSkinImage::Click, this, &TForm_Main::Image_Tab1Click);
    for (TSkinImage* tab : {Image_Tab2_On, Image_Tab2_Off})
        connect(tab, &TSkinImage::Click, this, &TForm_Main::Image_Tab2Click);
    for (TSkinImage* tab : {Image_Tab3_On, Image_Tab3_Off})
        connect(tab, &TSkinImage::Click, this, &TForm_Main::Image_Tab3Click);
    for (TSkinImage* tab : {Image_Tab1_Off, Image_Tab2_Off, Image_Tab3_Off})
        tab->setCursor(Qt::PointingHandCursor);

    Image_Message_Base = new TSkinImage(QStringLiteral("message_base"), Panel_Message, 0, 0);
    connect(Image_Message_Base, &TSkinImage::DblClick, this,
            &TForm_Main::Image_Message_BaseDblClick);
    Label_Message = new QLabel(Panel_Message);
    Label_Message->setGeometry(64, 20, 704, 28);
    Label_Message->setAlignment(Qt::AlignCenter);
    Label_Message->setFont(Skin::Font(kMessagePixels));
    // Double-clicks on the text reach the message bar's picture below it.
    Label_Message->setAttribute(Qt::WA_TransparentForMouseEvents);
    PanelParts::SetLabelColor(Label_Message, Colors::clLabelGrey);
    Label_Message->setText(QStringLiteral("Please wait..."));
    ScanProgress = new TScanProgress(Panel_Message);
}

void TForm_Main::ShowStatusMessage(const QString& text, unsigned color) {
    // The bar's font, smaller only for a line that would not fit at it: the code at the start
    // and the bound at the end of a long line must both stay readable.
    // The search repeats its line every second: a line already shown in its colour is not laid
    // out and painted again.
    if (text != Label_Message->text() ||
        Label_Message->palette().color(QPalette::WindowText) != Colors::ToQColor(color)) {
        Label_Message->setFont(Skin::Font(Skin::FittingPixelSize(
            text, Label_Message->width(), kMessagePixels, kMessageMinPixels)));
        PanelParts::SetLabelColor(Label_Message, color);
        Label_Message->setText(text);
    }
    emit StatusMessageShown(text, color);
    // Painted at once, also in the middle of a long operation.
    EventPump::PumpOnce();
}

void TForm_Main::SetViewRange(double lo, double hi) {
    if (FormControlView) FormControlView->SetViewRange(lo, hi);
}

void TForm_Main::ShowViewSetting(double lo, double hi, double cwl, double fwhm, double sw,
                                 double lw) {
    if (FormControlView) FormControlView->ShowSetting(lo, hi, cwl, fwhm, sw, lw);
}

void TForm_Main::Image_Title_BaseMouseDown(Qt::MouseButton button) {
    if (button != Qt::LeftButton) return;
    if (QWindow* window = windowHandle()) window->startSystemMove();
}

void TForm_Main::Image_Title_Button1Click() {
    showMinimized();
}

void TForm_Main::Image_Title_Button2Click() {
    if (DeviceBusy || CloseRequested) return;
    RequestClose();
}

void TForm_Main::Image_Slide_ButtonMouseDown(int x) {
    SliderDragging = true;
    SliderGrabX = x;
}

void TForm_Main::Image_Slide_ButtonMouseMove(int x) {
    if (!SliderDragging) return;
    const int left = std::clamp(x + Image_Slide_Button->x() - SliderGrabX, kSliderMin, kSliderMax);
    Image_Slide_Button->move(left, Image_Slide_Button->y());
    setWindowOpacity(double(2 * (left - kSliderMin) + 127) / 255.0);
}

void TForm_Main::Image_Slide_ButtonMouseUp() {
    SliderDragging = false;
}

void TForm_Main::SelectTabByClick(int tab) {
    if (DeviceBusy) return;
    ActiveTab = tab;
    Action_ChangeModeExecute();
    Action_UpdateUIExecute();
}

void TForm_Main::Image_Tab1Click() {
    SelectTabByClick(0);
}
void TForm_Main::Image_Tab2Click() {
    SelectTabByClick(1);
}
void TForm_Main::Image_Tab3Click() {
    SelectTabByClick(2);
}

void TForm_Main::Image_Message_BaseDblClick() {
    // The calibration data window is a service view, offered only in diagnostic mode.
    if (!Setup || !Setup->DebugMode || CloseRequested) return;
    // One window at a time; a second double-click only brings it forward, unchanged.
    if (!FormCalData) FormCalData = new TForm_CalData(this);
    FormCalData->show();
    FormCalData->raise();
    FormCalData->activateWindow();
}
