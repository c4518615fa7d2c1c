#pragma once
// A skin picture that reacts to the mouse: the building block of the skinned window and panels.

#include <QPixmap>
#include <QWidget>

class TSkinImage : public QWidget {
    Q_OBJECT
public:
    // `resource` is a picture of the skin, e.g. "set_base" for ":/skin/set_base.png". The widget
    // takes the picture's size unless `stretch` lets it fill whatever size it is given.
    TSkinImage(const QString& resource, QWidget* parent, int left = 0, int top = 0);

    void SetPicture(const QString& resource);
    const QPixmap& Picture() const { return Pixmap; }

    // Loads a skin picture; a missing picture gives a null pixmap.
    static QPixmap LoadSkin(const QString& resource);

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
    QPixmap Pixmap;
    bool Pressed = false;
};
