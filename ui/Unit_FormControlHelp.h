#pragma once
// The Help tab: one static help page, and a line under it that says where the remote control
// is reached.

#include <QWidget>

class QLabel;
class TSkinImage;

class TForm_ControlHelp : public QWidget {
    Q_OBJECT
public:
    explicit TForm_ControlHelp(QWidget* dock);

    void SetRemoteLine(const QString& text);

    QWidget* Panel_Base = nullptr;
    TSkinImage* Image_Help_Base = nullptr;
    QLabel* Label_RemoteLine = nullptr;
};
