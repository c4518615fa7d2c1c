#pragma once
// The view strip: a wavelength ruler showing where the filter's band lies, with the CWL box
// above it and the SW and LW boxes below it. It has no input of its own.

#include <QWidget>

class QLabel;
class TSkinImage;
struct ViewLayout;

class TForm_ControlView : public QWidget {
    Q_OBJECT
public:
    explicit TForm_ControlView(QWidget* dock);

    // Empties every text and puts everything at rest.
    void ClearView();
    // Shows the range lo..hi without a band.
    void SetViewRange(double lo, double hi);
    // Shows the range and the band (cwl, fwhm, sw, lw) on it.
    void ShowSetting(double lo, double hi, double cwl, double fwhm, double sw, double lw);

    QWidget* Panel_Base = nullptr;
    TSkinImage* Image_Base = nullptr;
    QLabel* Label_RangeMin = nullptr;
    QLabel* Label_RangeMax = nullptr;
    TSkinImage* Image_Edit4_Base = nullptr;
    TSkinImage* Image_Edit5_Base = nullptr;
    QLabel* Label_Edit4 = nullptr;
    QLabel* Label_Edit5 = nullptr;
    TSkinImage* Image_Edit3_Base = nullptr;
    QLabel* Label_Edit3 = nullptr;
    QLabel* Label_Edit6 = nullptr;
    TSkinImage* Image_Pos_Range = nullptr;
    TSkinImage* Image_Pos_CWL = nullptr;
    TSkinImage* Image_Pos_SW = nullptr;
    TSkinImage* Image_Pos_LW = nullptr;

private:
    void ApplyLayout(const ViewLayout& layout);
};
