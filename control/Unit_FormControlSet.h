#pragma once
// The Set tab: the user types CWL + FWHM or SW + LW, presses Go to move the filter there or
// Reset to home it. The remote protocol drives the same operations through the remote actions.

#include "control/Unit_SetValidation.h"

#include <QByteArray>
#include <QWidget>
#include <functional>

class QLabel;
class IMainFacade;
class TSkinEdit;
class TSkinImage;

class TForm_ControlSet : public QWidget {
    Q_OBJECT
public:
    TForm_ControlSet(IMainFacade* main, QWidget* dock);

    // 0: the boxes hold CWL and FWHM; 1: they hold SW and LW.
    int EditMode = 0;
    // The limits of the last validation and the last accepted request (CWL, FWHM, SW, LW).
    SetLimitValues SetLimits;
    double SetRequest[4] = {0.0, 0.0, 0.0, 0.0};

    void Action_UpdateUI();
    void Action_EditMode_Update();
    void Action_Button3_Down();
    void Action_Button3_Up();
    void Action_Button4_Down();
    void Action_Button4_Up();
    void Action_RemoteControl_Enable();
    void Action_RemoteControl_Disable();
    void Action_RemoteControl_Reset();
    void Action_RemoteControl_Go();
    // The remote set of a request line: its values are written into the boxes (in `mode`) only
    // once the request goes ahead, so that a refused request leaves the boxes as they were.
    void Action_RemoteControl_Go(int mode, const QByteArray& first, const QByteArray& second);

    // Writes a remote request into the boxes as received, in the given mode.
    void FillSetFields(int mode, const QByteArray& first, const QByteArray& second);

    // True: the request passed every rule, SetRequest and SetLimits are updated. False: the
    // failure line is on the message bar (and, for the remote entry, in the result store).
    bool ValidateSetRequest();
    bool ValidateRemoteSetRequest();

    void Image_Button1Click();
    void Image_Button2Click();
    void Image_Button3Click();
    void Image_Button4Click();

    TSkinImage* Image_Base = nullptr;
    TSkinImage* Image_Button1_On = nullptr;
    TSkinImage* Image_Button1_Off = nullptr;
    TSkinImage* Image_Button2_On = nullptr;
    TSkinImage* Image_Button2_Off = nullptr;
    TSkinImage* Image_Edit1_Mode1 = nullptr;
    TSkinImage* Image_Edit1_Mode2 = nullptr;
    TSkinImage* Image_Edit2_Mode1 = nullptr;
    TSkinImage* Image_Edit2_Mode2 = nullptr;
    TSkinImage* Image_Button3_On = nullptr;
    TSkinImage* Image_Button3_Off = nullptr;
    TSkinImage* Image_Button4_On = nullptr;
    TSkinImage* Image_Button4_Off = nullptr;
    TSkinEdit* Edit1 = nullptr;
    TSkinEdit* Edit2 = nullptr;
    QLabel* Label_Product = nullptr;
    QLabel* Label_Remote = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    enum class Caller { Local, Remote };
    // The one body of the local and remote set and reset; they differ only in what they store.
    // `fill`, when given, writes the request into the boxes once the device lock is held; `mode`
    // is then the request's mode.
    void RunSet(Caller caller, const std::function<void()>& fill = {}, int mode = -1);
    void RunReset(Caller caller);
    bool Validate(Caller caller, const QByteArray& word);
    // The response word of a set in `mode`.
    static QByteArray SetWord(int mode);
    // The controls a remote client locks.
    QList<QWidget*> LockedByRemote() const;
    void SelectMode(int mode);

    IMainFacade* Main;
};
