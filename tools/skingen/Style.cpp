#include "Style.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>

namespace skin {

bool loadFonts(const QString& skinFolder) {
    for (const char* file :
         {"OpenSans-Regular.ttf", "OpenSans-Semibold.ttf", "OpenSans-Bold.ttf"}) {
        const QString path = skinFolder + "/fonts/" + file;
        if (QFontDatabase::addApplicationFont(path) < 0) return false;
    }
    return true;
}

QFont font(qreal pixels, Weight weight, qreal letterSpacing) {
    QFont f("Open Sans");
    f.setPixelSize(int(std::lround(pixels)));
    switch (weight) {
    case Weight::Regular:
        f.setWeight(QFont::Normal);
        break;
    case Weight::Semibold:
        f.setWeight(QFont::DemiBold);
        break;
    case Weight::Bold:
        f.setWeight(QFont::Bold);
        break;
    }
    f.setStyleStrategy(QFont::PreferAntialias);
    f.setHintingPreference(QFont::PreferVerticalHinting);
    if (letterSpacing != 0) f.setLetterSpacing(QFont::AbsoluteSpacing, letterSpacing);
    return f;
}

qreal textWidth(const QFont& f, const QString& text) {
    // The advance includes the letter spacing after the last glyph, which is not ink.
    return QFontMetricsF(f).horizontalAdvance(text) - f.letterSpacing();
}

namespace {
int gScale = 1;
}

void setScale(int ratio) {
    gScale = ratio;
}

int scale() {
    return gScale;
}

QImage canvas(int width, int height, const QColor& fill) {
    QImage image(width * gScale, height * gScale, QImage::Format_RGB32);
    image.setDevicePixelRatio(gScale);
    image.fill(fill);
    return image;
}

QImage cut(const QImage& image, const QRect& area) {
    const qreal ratio = image.devicePixelRatio();
    const QRect pixels(QPoint(int(area.x() * ratio), int(area.y() * ratio)),
                       QSize(int(area.width() * ratio), int(area.height() * ratio)));
    QImage part = image.copy(pixels);
    part.setDevicePixelRatio(ratio);
    return part;
}

void beginPainting(QPainter& p, QImage& image) {
    p.begin(&image);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                     QPainter::SmoothPixmapTransform);
}

void drawTextAt(QPainter& p, qreal x, qreal baseline, const QString& text, const QFont& f,
                const QColor& colour) {
    p.save();
    p.setFont(f);
    p.setPen(colour);
    p.drawText(QPointF(x, baseline), text);
    p.restore();
}

void drawText(QPainter& p, const QRectF& box, const QString& text, const QFont& f,
              const QColor& colour, Qt::Alignment align) {
    const QFontMetricsF m(f);
    const qreal w = textWidth(f, text);
    // A caption wider than its place would be clipped or crowd its neighbours: refuse it.
    if (w > box.width())
        qFatal("skingen: \"%s\" is %.1f px wide, its place only %.1f px", qPrintable(text), w,
               box.width());
    qreal x = box.left() + (box.width() - w) / 2;
    if (align & Qt::AlignLeft) x = box.left();
    if (align & Qt::AlignRight) x = box.right() - w;
    // Whole-pixel baselines keep the horizontal strokes of the capitals sharp.
    const qreal baseline = std::round(box.center().y() + m.capHeight() / 2);
    drawTextAt(p, x, baseline, text, f, colour);
}

QColor mix(const QColor& a, const QColor& b, qreal t) {
    return QColor::fromRgbF(float(a.redF() + (b.redF() - a.redF()) * t),
                            float(a.greenF() + (b.greenF() - a.greenF()) * t),
                            float(a.blueF() + (b.blueF() - a.blueF()) * t));
}

void fillRows(QPainter& p, const QRect& r, const QColor& top, const QColor& bottom) {
    QLinearGradient g(0, r.top(), 0, r.bottom() + 1);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.fillRect(r, g);
}

void drawCard(QPainter& p, const QRect& r, qreal radius, const QColor& top, const QColor& bottom,
              const QColor& border, int topLightAlpha) {
    p.save();
    const QRectF o = QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5);
    QLinearGradient g(0, r.top(), 0, r.bottom() + 1);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.setPen(QPen(border, 1));
    p.setBrush(g);
    p.drawRoundedRect(o, radius, radius);
    if (topLightAlpha > 0) {
        p.setPen(QPen(QColor(255, 255, 255, topLightAlpha), 1));
        const qreal inset = std::max<qreal>(radius, 2);
        p.drawLine(QPointF(o.left() + inset, o.top() + 1), QPointF(o.right() - inset, o.top() + 1));
    }
    p.restore();
}

void drawWell(QPainter& p, const QRect& r, const QColor& fill) {
    p.save();
    // Rim: darker above and at the sides, a faint light edge below, like a sunk field.
    const QRectF rim = QRectF(r).adjusted(-1.5, -1.5, 1.5, 1.5);
    p.setPen(QPen(QColor(0x0B, 0x0B, 0x0B), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(rim, 2, 2);
    p.setPen(QPen(QColor(255, 255, 255, 22), 1));
    p.drawLine(QPointF(rim.left() + 2, rim.bottom() + 1),
               QPointF(rim.right() - 2, rim.bottom() + 1));
    p.restore();
    // The edit box is laid exactly over r: fill it with its own colour, no blending.
    p.fillRect(r, fill);
}

QColor spectralColour(double nm) {
    double r = 0, g = 0, b = 0;
    if (nm < 440) {
        r = -(nm - 440) / 60;
        b = 1;
    } else if (nm < 490) {
        g = (nm - 440) / 50;
        b = 1;
    } else if (nm < 510) {
        g = 1;
        b = -(nm - 510) / 20;
    } else if (nm < 580) {
        r = (nm - 510) / 70;
        g = 1;
    } else if (nm < 645) {
        r = 1;
        g = -(nm - 645) / 65;
    } else {
        r = 1;
    }
    double fade = 1;
    if (nm < 420) fade = 0.3 + 0.7 * (nm - 380) / 40;
    if (nm > 700) fade = 0.3 + 0.7 * (780 - nm) / 80;
    fade = std::clamp(fade, 0.3, 1.0);
    auto channel = [fade](double c) { return int(std::lround(255 * std::pow(c * fade, 0.8))); };
    return QColor(channel(r), channel(g), channel(b));
}

void drawLogo(QPainter& p, const QRectF& r, bool roundTile) {
    p.save();
    const qreal s = r.width();
    const qreal radius = roundTile ? s * 0.2 : 0;

    QLinearGradient tile(r.topLeft(), r.bottomLeft());
    tile.setColorAt(0, QColor(0x33, 0x33, 0x33));
    tile.setColorAt(1, QColor(0x12, 0x12, 0x12));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(r, radius, radius);
    if (s >= 24) {
        p.setPen(QPen(QColor(255, 255, 255, 34), 1));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    }

    // The transmission peak: a bell whose inside shows the spectrum.
    const qreal left = r.left() + s * 0.12;
    const qreal right = r.right() - s * 0.12;
    const qreal base = r.top() + s * 0.80;
    const qreal top = r.top() + s * 0.17;
    const qreal centre = (left + right) / 2;
    const qreal fwhm = (right - left) * 0.40;
    QPainterPath bell;
    bell.moveTo(left, base);
    const int n = 64;
    for (int i = 0; i <= n; ++i) {
        const qreal x = left + (right - left) * i / n;
        const qreal d = (x - centre) / fwhm;
        const qreal y = base - (base - top) * std::exp(-4 * std::log(2.0) * d * d);
        bell.lineTo(x, y);
    }
    bell.lineTo(right, base);
    bell.closeSubpath();

    // The whole visible range across the peak's flanks, violet to red.
    QLinearGradient spectrum(centre - fwhm * 1.05, 0, centre + fwhm * 1.05, 0);
    for (int i = 0; i <= 12; ++i)
        spectrum.setColorAt(i / 12.0, spectralColour(425 + i * 20.0));
    p.setPen(Qt::NoPen);
    p.setBrush(spectrum);
    p.drawPath(bell);

    // Darken the flanks towards the base so the peak reads as light passing through.
    QLinearGradient shade(0, top, 0, base);
    shade.setColorAt(0, QColor(0, 0, 0, 0));
    shade.setColorAt(1, QColor(0, 0, 0, s >= 24 ? 80 : 40));
    p.setBrush(shade);
    p.drawPath(bell);

    // Outline of the peak and the axis under it.
    const qreal line = std::max<qreal>(1.0, s * 0.03);
    if (s >= 24) {
        p.setPen(QPen(QColor(255, 255, 255, 200), std::max<qreal>(1.0, s * 0.022), Qt::SolidLine,
                      Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        QPainterPath outline;
        for (int i = 0; i <= n; ++i) {
            const QPointF pt = bell.elementAt(i + 1);
            if (i == 0)
                outline.moveTo(pt);
            else
                outline.lineTo(pt);
        }
        p.drawPath(outline);
    }
    p.setPen(QPen(QColor(0xD8, 0xD8, 0xD8), line, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(r.left() + s * 0.08, base + line / 2),
               QPointF(r.right() - s * 0.08, base + line / 2));
    p.restore();
}

void drawButtonBody(QPainter& p, const QRect& r, ButtonLook look) {
    if (look == ButtonLook::Pressed)
        drawCard(p, r, 6, kBlueTop, kBlueBottom, kBlueBorder, 60);
    else
        drawCard(p, r, 6, kIdleTop, kIdleBottom, kIdleBorder, 18);
}

void drawResetSymbol(QPainter& p, QPointF c, qreal size, const QColor& colour) {
    // An open circle ending in an arrow head: back to the start position.
    p.save();
    const qreal radius = size / 2;
    const qreal w = std::max<qreal>(2.0, size * 0.11);
    p.setPen(QPen(colour, w, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    const QRectF box(c.x() - radius, c.y() - radius, size, size);
    const double startDeg = 125, spanDeg = 285; // counter-clockwise, gap at the top
    p.drawArc(box, int(startDeg * 16), int(spanDeg * 16));
    const double a = (startDeg + spanDeg) * M_PI / 180;
    const QPointF onCircle(c.x() + radius * std::cos(a), c.y() - radius * std::sin(a));
    const QPointF along(-std::sin(a), -std::cos(a)); // counter-clockwise, screen coordinates
    const QPointF outward(std::cos(a), -std::sin(a));
    const qreal h = size * 0.42;
    QPainterPath head;
    head.moveTo(onCircle + along * (h * 0.75));
    head.lineTo(onCircle + outward * (h * 0.5));
    head.lineTo(onCircle - outward * (h * 0.5));
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPath(head);
    p.restore();
}

void drawGoSymbol(QPainter& p, QPointF c, qreal size, const QColor& colour) {
    // A rounded play triangle.
    p.save();
    const qreal h = size;
    const qreal w = size * 0.88;
    QPainterPath tri;
    tri.moveTo(c.x() - w * 0.42, c.y() - h / 2);
    tri.lineTo(c.x() + w * 0.58, c.y());
    tri.lineTo(c.x() - w * 0.42, c.y() + h / 2);
    tri.closeSubpath();
    p.setPen(QPen(colour, std::max<qreal>(1.5, size * 0.08), Qt::SolidLine, Qt::RoundCap,
                  Qt::RoundJoin));
    p.setBrush(colour);
    p.drawPath(tri);
    p.restore();
}

void drawStopSymbol(QPainter& p, QPointF c, qreal size, const QColor& colour) {
    // A rounded square, a little smaller than the play triangle so that both weigh the same.
    p.save();
    const qreal s = size * 0.8;
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(QRectF(c.x() - s / 2, c.y() - s / 2, s, s), size * 0.12, size * 0.12);
    p.restore();
}

} // namespace skin
