#include "ui/Unit_SkinImage.h"

#include <QMouseEvent>
#include <QPainter>

TSkinImage::TSkinImage(const QString& resource, QWidget* parent, int left, int top)
    : QWidget(parent) {
    SetPicture(resource);
    move(left, top);
    setAttribute(Qt::WA_OpaquePaintEvent, !Pixmap.isNull());
}

int TSkinImage::PictureScale(qreal devicePixelRatio) {
    return devicePixelRatio > 1 ? 2 : 1;
}

QPixmap TSkinImage::LoadSkin(const QString& resource, qreal devicePixelRatio) {
    // A QPixmap made from a file name never looks for the @2x copy by itself (only QIcon does),
    // so the copy is chosen here.
    const QString path = QStringLiteral(":/skin/") + resource;
    if (PictureScale(devicePixelRatio) == 2) {
        QPixmap sharp(path + QStringLiteral("@2x.png"));
        if (!sharp.isNull()) {
            sharp.setDevicePixelRatio(2);
            return sharp;
        }
    }
    return QPixmap(path + QStringLiteral(".png"));
}

void TSkinImage::SetPicture(const QString& resource) {
    Resource = resource;
    LoadPicture();
    if (!Pixmap.isNull()) resize(Pixmap.deviceIndependentSize().toSize());
    update();
}

void TSkinImage::LoadPicture() {
    Scale = PictureScale(devicePixelRatioF());
    Pixmap = LoadSkin(Resource, Scale);
}

void TSkinImage::paintEvent(QPaintEvent*) {
    // The window may have moved to a screen of another pixel density since the picture was
    // loaded; the widget keeps its size, only the copy drawn changes.
    if (PictureScale(devicePixelRatioF()) != Scale) LoadPicture();
    if (Pixmap.isNull()) return;
    QPainter painter(this);
    // At a ratio of 1 or 2 the copy maps pixel for pixel; between them (e.g. 1.5) the @2x copy
    // is scaled down, which needs filtering to stay smooth.
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    // Pictures are drawn at their own size; the band bar is the one picture stretched.
    painter.drawPixmap(rect(), Pixmap);
}

void TSkinImage::mousePressEvent(QMouseEvent* event) {
    Pressed = event->button() == Qt::LeftButton;
    const QPoint p = event->position().toPoint();
    emit MouseDown(event->button(), p.x(), p.y());
}

void TSkinImage::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    emit MouseMove(p.x(), p.y());
}

void TSkinImage::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    const bool click = Pressed && event->button() == Qt::LeftButton && rect().contains(p);
    Pressed = false;
    emit MouseUp(event->button(), p.x(), p.y());
    if (click) emit Click();
}

void TSkinImage::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) emit DblClick();
}
