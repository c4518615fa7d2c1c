#pragma once
// A skin picture that reacts to the mouse: the building block of the skinned window and panels.

#include <QPixmap>
#include <QWidget>

class TSkinImage : public QWidget {
    Q_OBJECT
public:
    // `resource` is a picture of the skin, e.g. "set_base" for ":/skin/set_base.png". The widget
    // takes the picture's size (in the window's units, whatever the screen's pixel density).
    TSkinImage(const QString& resource, QWidget* parent, int left = 0, int top = 0);

    void SetPicture(const QString& resource);
    const QPixmap& Picture() const { return Pixmap; }

    // Loads a skin picture for a screen of the given device pixel ratio. Above 1 it is the copy
    // drawn at twice the size (name@2x.png), marked so that it paints at the same size as the
    // plain picture, only sharper; without such a copy the plain picture. A missing picture
    // gives a null pixmap.
    static QPixmap LoadSkin(const QString& resource, qreal devicePixelRatio = 1);
    // Which copy of the pictures suits a screen: 1 for the plain pictures, 2 for the @2x ones.
    // Fractional ratios above 1 take the larger copy: scaling down keeps the edges sharp.
    static int PictureScale(qreal devicePixelRatio);

signals:
    void Click();
    void DblClick();
    void MouseDown(Qt::MouseButton button, int x, int y);
    void MouseMove(int x, int y);
    void MouseUp(Qt::MouseButton button, int x, int y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void LoadPicture();

    QString Resource;
    QPixmap Pixmap;
    int Scale = 1; // the copy Pixmap was loaded from
    bool Pressed = false;
};
