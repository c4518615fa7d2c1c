#pragma once
// The Help tab: one static help page, and under it two status lines: the instrument's search
// or session on the left, where the remote control is reached on the right.

#include <QWidget>

class QLabel;
class TSkinImage;

class TForm_ControlHelp : public QWidget {
    Q_OBJECT
public:
    explicit TForm_ControlHelp(QWidget* dock);

    void SetRemoteLine(const QString& text);
    void SetInstrumentLine(const QString& text);

    QWidget* Panel_Base = nullptr;
    TSkinImage* Image_Help_Base = nullptr;
    QLabel* Label_RemoteLine = nullptr;
    QLabel* Label_InstrumentLine = nullptr;

private:
    void LayOutLines();
};
