#include "ui/Unit_SkinImage.h"

#include <QMouseEvent>
#include <QPainter>

TSkinImage::TSkinImage(const QString& resource, QWidget* parent, int left, int top)
    : QWidget(parent) {
    SetPicture(resource);
    move(left, top);
    setAttribute(Qt::WA_OpaquePaintEvent, !Pixmap.isNull());
}

QPixmap TSkinImage::LoadSkin(const QString& resource) {
    return QPixmap(QStringLiteral(":/skin/") + resource + QStringLiteral(".png"));
}

void TSkinImage::SetPicture(const QString& resource) {
    Pixmap = LoadSkin(resource);
    if (!Pixmap.isNull()) resize(Pixmap.size());
    update();
}

void TSkinImage::paintEvent(QPaintEvent*) {
    if (Pixmap.isNull()) return;
    QPainter painter(this);
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
