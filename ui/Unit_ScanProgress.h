#pragma once
// How far a running scan is, drawn over the message bar without touching its text or colour: a
// thin bar filling along the lower edge of the text field and a caption under it, at the size of
// the Help page's text, "12 / 51 · 0:42 left". It takes no input, and is hidden while no scan
// runs.

#include <QString>
#include <QWidget>

// "12 / 51 · 0:42 left": points moved and in the scan, and the time left, rounded up to the
// second (so the caption reaches 0:00 only at the end), as m:ss, or h:mm:ss from an hour on.
QString ScanProgressCaption(qint32 done, qint32 total, double secondsLeft);

class TScanProgress : public QWidget {
    Q_OBJECT
public:
    // Covers the message bar (910 x 70) it is placed on.
    explicit TScanProgress(QWidget* messageBar);

    // Shows the figures; repaints only when what is drawn changes.
    void SetProgress(qint32 done, qint32 total, double secondsLeft);

    // The part of the bar filled, 0..1, and the caption, as drawn.
    double Fraction() const { return Filled; }
    QString Caption() const { return Text; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double Filled = 0.0;
    QString Text;
};
