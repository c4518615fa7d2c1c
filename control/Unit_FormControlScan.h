#pragma once
// The Scan tab: five fields, Reset and Go. The scan engine and the panel's operations are not
// part of this build yet; the panel shows its fields, follows the session (product label) and
// the remote lock.

#include <QWidget>

class QLabel;
class TForm_Main;
class TSkinEdit;
class TSkinImage;

class TForm_ControlScan : public QWidget {
    Q_OBJECT
public:
    TForm_ControlScan(TForm_Main* main, QWidget* dock);

    void Action_UpdateUI();
    void Action_Button3_Down();
    void Action_Button3_Up();
    void Action_Button4_Down();
    void Action_Button4_Up();
    void Action_RemoteControl_Enable();
    void Action_RemoteControl_Disable();
    // The panel's close sequence, run by the main window's shutdown before the panel is released.
    void FormClose();

    // A scan is in progress or its end has not been reported yet.
    bool Running = false;
    bool Closing = false;

    TSkinImage* Image_Base = nullptr;
    QLabel* Label_Product = nullptr;
    QLabel* Label_Remote = nullptr;
    TSkinImage* Image_Edit[5] = {};
    TSkinEdit* Edit[5] = {};
    TSkinImage* Image_Button3_On = nullptr;
    TSkinImage* Image_Button3_Off = nullptr;
    TSkinImage* Image_Button4_On = nullptr;
    TSkinImage* Image_Button4_Off = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The controls a remote client locks.
    QList<QWidget*> LockedByRemote() const;
    TForm_Main* Main;
};
