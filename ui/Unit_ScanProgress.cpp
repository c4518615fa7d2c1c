#include "ui/Unit_ScanProgress.h"

#include "ui/Unit_Skin.h"

#include <QFontMetricsF>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace {

// Inside the message bar's dark text field (48, 13, 736 x 42): the bar lies along its lower edge,
// clear of the rounded corners. The caption sits under the field, right-aligned with the bar, in
// the 15 units between the field and the window's edge: at the Help page's text size its
// figures (no letter of it goes below the line) stand 2 units below the field.
constexpr QRectF kTrack(54, 51, 724, 2);
constexpr qreal kCaptionRight = 778;
constexpr qreal kCaptionBaseline = 67;
constexpr int kCaptionPixels = 14;
const QColor kTrackColour(0x1E, 0x1E, 0x1E);
const QColor kFillColour(0xFF, 0xEC, 0x3A); // the skin's yellow, as "Scanning..."
const QColor kCaptionColour(0xA4, 0xA4, 0xA4);

} // namespace

QString ScanProgressCaption(qint32 done, qint32 total, double secondsLeft) {
    const qint64 left =
        std::isfinite(secondsLeft) && secondsLeft > 0.0 ? qint64(std::ceil(secondsLeft)) : 0;
    const qint64 h = left / 3600, m = left / 60 % 60, s = left % 60;
    const QString time = h > 0 ? QStringLiteral("%1:%2:%3")
                                     .arg(h)
                                     .arg(m, 2, 10, QLatin1Char('0'))
                                     .arg(s, 2, 10, QLatin1Char('0'))
                               : QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1 / %2 \u00B7 %3 left").arg(done).arg(total).arg(time);
}

TScanProgress::TScanProgress(QWidget* messageBar) : QWidget(messageBar) {
    setGeometry(0, 0, 910, 70);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    hide();
}

void TScanProgress::SetProgress(qint32 done, qint32 total, double secondsLeft) {
    const double filled = total > 0 ? std::clamp(double(done) / total, 0.0, 1.0) : 0.0;
    const QString text = ScanProgressCaption(done, total, secondsLeft);
    if (filled == Filled && text == Text) return;
    Filled = filled;
    Text = text;
    update();
}

void TScanProgress::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kTrackColour);
    p.drawRoundedRect(kTrack, 1, 1);
    if (Filled > 0.0) {
        p.setBrush(kFillColour);
        p.drawRoundedRect(
            QRectF(kTrack.topLeft(), QSizeF(kTrack.width() * Filled, kTrack.height())), 1, 1);
    }
    const QFont font = Skin::Font(kCaptionPixels);
    p.setFont(font);
    p.setPen(kCaptionColour);
    p.drawText(
        QPointF(kCaptionRight - QFontMetricsF(font).horizontalAdvance(Text), kCaptionBaseline),
        Text);
}
