#pragma once
// The Help tab: one static help page.

#include <QWidget>

class TSkinImage;

class TForm_ControlHelp : public QWidget {
    Q_OBJECT
public:
    explicit TForm_ControlHelp(QWidget* dock);

    QWidget* Panel_Base = nullptr;
    TSkinImage* Image_Help_Base = nullptr;
};
