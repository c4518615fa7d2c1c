// The Help tab: one static page. It shows small versions of the real controls next to short
// sentences, a diagram of one band (Set tab) and one of a scan's successive bands (Scan tab).

#include "Pictures.h"
#include "Style.h"

#include <QLinearGradient>
#include <QPainterPath>

#include <cmath>

namespace skin {
namespace {

const QColor kText{0xBE, 0xBE, 0xBE};
const QColor kAxis{0x8C, 0x8C, 0x8C};
const QColor kGuide{0x5A, 0x5A, 0x5A};

// A mode button in small: lamp and caption, lit in its colour.
void miniModeButton(QPainter& p, const QRect& r, const QString& caption, const QColor& colour) {
    drawCard(p, r, 4, mix(kIdleTop, colour, 0.13), mix(kIdleBottom, colour, 0.06),
             mix(kIdleBorder, colour, 0.75), 16);
    const QPointF lamp(r.left() + 12, r.center().y() + 0.5);
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(lamp, 3, 3);
    p.restore();
    drawText(p, QRectF(r.left() + 20, r.top(), r.width() - 24, r.height()), caption,
             font(13, Weight::Semibold), colour);
}

void miniButton(QPainter& p, const QRect& r, const QString& caption, bool blue) {
    drawButtonBody(p, r, blue ? ButtonLook::Pressed : ButtonLook::Idle);
    drawText(p, QRectF(r), caption, font(13, Weight::Semibold),
             blue ? QColor(Qt::white) : kTextNormal);
}

// An edit box in small: the value in white on the box colour, in its well.
void miniEdit(QPainter& p, const QRect& r, const QString& value, const QColor& fill) {
    drawWell(p, r, fill);
    drawText(p, QRectF(r), value, font(15), Qt::white);
}

void dashedLine(QPainter& p, QPointF a, QPointF b, const QColor& c, qreal width = 1) {
    p.save();
    QPen pen(c, width, Qt::CustomDashLine, Qt::FlatCap);
    pen.setDashPattern({3, 3});
    p.setPen(pen);
    p.drawLine(a, b);
    p.restore();
}

void arrowHead(QPainter& p, QPointF tip, QPointF direction, const QColor& c, qreal size = 6) {
    const qreal len = std::hypot(direction.x(), direction.y());
    const QPointF d = direction / len;
    const QPointF n(-d.y(), d.x());
    QPainterPath head;
    head.moveTo(tip);
    head.lineTo(tip - d * size + n * (size * 0.5));
    head.lineTo(tip - d * size - n * (size * 0.5));
    head.closeSubpath();
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPath(head);
    p.restore();
}

// A band-pass transmission curve: a Gaussian with the given FWHM, so that its half height
// falls exactly on the band edges.
QPainterPath peakPath(qreal centreX, qreal fwhmPx, qreal baseY, qreal height, qreal fromX,
                      qreal toX) {
    QPainterPath path;
    const int n = 160;
    for (int i = 0; i <= n; ++i) {
        const qreal x = fromX + (toX - fromX) * i / n;
        const qreal d = (x - centreX) / fwhmPx;
        const qreal y = baseY - height * std::exp(-4 * std::log(2.0) * d * d);
        if (i == 0)
            path.moveTo(x, y);
        else
            path.lineTo(x, y);
    }
    return path;
}

void drawPeak(QPainter& p, const QPainterPath& curve, qreal baseY, const QColor& colour) {
    QPainterPath area = curve;
    area.lineTo(curve.currentPosition().x(), baseY);
    area.lineTo(curve.elementAt(0).x, baseY);
    area.closeSubpath();
    const QRectF box = curve.boundingRect();
    QLinearGradient fill(0, box.top(), 0, baseY);
    QColor top = colour, bottom = colour;
    top.setAlpha(110);
    bottom.setAlpha(18);
    fill.setColorAt(0, top);
    fill.setColorAt(1, bottom);
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawPath(area);
    p.setPen(QPen(colour, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(curve);
    p.restore();
}

// Set tab: which values describe a band, and where they lie on its transmission curve.
void setCard(QPainter& p, const QRect& card) {
    drawCard(p, card, 8, kCardTop, kCardBottom, kCardBorder);
    const int x0 = card.left() + 18;
    const int right = card.right() - 17;
    drawTextAt(p, x0, card.top() + 30, "Set one band", font(17, Weight::Semibold), kTextBright);
    drawText(p, QRectF(right - 120, card.top() + 14, 120, 22), "SET tab", font(13), kTextDim,
             Qt::AlignRight);

    const QFont body = font(14);
    const int textX = x0 + 128;
    const QRectF textCol(textX, 0, right - textX, 0);
    auto row = [&](int centreY, const QString& text) {
        drawText(p, QRectF(textCol.left(), centreY - 10, textCol.width(), 20), text, body, kText,
                 Qt::AlignLeft);
    };
    int y = card.top() + 46;
    miniModeButton(p, QRect(x0, y, 114, 24), "CWL/FWHM", kYellow);
    row(y + 12, "Centre wavelength and bandwidth");
    y += 29;
    miniModeButton(p, QRect(x0, y, 114, 24), "SW/LW", kGreen);
    row(y + 12, "Short edge and long edge");
    y += 29;
    miniEdit(p, QRect(x0 + 1, y + 1, 54, 22), "550.0", kSetEdit);
    miniEdit(p, QRect(x0 + 59, y + 1, 54, 22), "10.0", kSetEdit);
    row(y + 12, "Click a box to clear it, then type");
    y += 29;
    miniButton(p, QRect(x0, y, 55, 24), "Go", true);
    miniButton(p, QRect(x0 + 59, y, 55, 24), "Reset", false);
    row(y + 12, "Go moves there, Reset homes it");

    // The band diagram.
    const qreal base = card.bottom() - 30;
    const qreal height = 76;
    const qreal cx = x0 + 128, fwhm = 64;
    const qreal sw = cx - fwhm / 2, lw = cx + fwhm / 2, half = base - height / 2;
    const qreal axisLeft = x0 + 42, axisRight = right - 4;
    // Level guides and their labels.
    dashedLine(p, QPointF(axisLeft, base - height + 0.5), QPointF(cx, base - height + 0.5), kGuide);
    dashedLine(p, QPointF(axisLeft, half + 0.5), QPointF(sw, half + 0.5), kGuide);
    const QFont small = font(13);
    drawText(p, QRectF(x0 - 2, base - height - 10, 40, 20), "100%", small, kTextDim,
             Qt::AlignRight);
    drawText(p, QRectF(x0 - 2, half - 10, 40, 20), "50%", small, kTextDim, Qt::AlignRight);
    drawPeak(p, peakPath(cx, fwhm, base, height, cx - 1.3 * fwhm, cx + 1.3 * fwhm), base, kText);
    // CWL at the top of the peak.
    dashedLine(p, QPointF(cx, base - height - 4), QPointF(cx, base), kYellow, 1.5);
    drawText(p, QRectF(cx - 30, base - height - 24, 60, 18), "CWL", font(13, Weight::Semibold),
             kYellow);
    // SW and LW where the curve crosses half height; FWHM is the width between them.
    p.save();
    p.setPen(QPen(kGreen, 1.5));
    p.drawLine(QPointF(sw, half), QPointF(sw, base));
    p.drawLine(QPointF(lw, half), QPointF(lw, base));
    p.setPen(QPen(kYellow, 1.5));
    p.drawLine(QPointF(sw + 3, half), QPointF(lw - 3, half));
    p.restore();
    arrowHead(p, QPointF(sw + 1, half), QPointF(-1, 0), kYellow);
    arrowHead(p, QPointF(lw - 1, half), QPointF(1, 0), kYellow);
    const QFont label = font(13, Weight::Semibold);
    drawText(p, QRectF(lw + 8, half - 10, 50, 20), "FWHM", label, kYellow, Qt::AlignLeft);
    // Axis.
    p.save();
    p.setPen(QPen(kAxis, 1));
    p.drawLine(QPointF(axisLeft, base + 0.5), QPointF(axisRight, base + 0.5));
    p.restore();
    arrowHead(p, QPointF(axisRight + 1, base + 0.5), QPointF(1, 0), kAxis, 5);
    drawText(p, QRectF(sw - 20, base + 4, 40, 20), "SW", label, kGreen);
    drawText(p, QRectF(lw - 20, base + 4, 40, 20), "LW", label, kGreen);
    drawText(p, QRectF(axisRight - 40, base + 4, 44, 20), "nm", small, kTextDim, Qt::AlignRight);
    // The two relations, beside the curve.
    const QRectF formulas(lw + 60, base - height - 2, right - lw - 60, 20);
    drawText(p, formulas, "CWL = (SW + LW) / 2", small, kText, Qt::AlignRight);
    drawText(p, formulas.translated(0, 22), QString::fromUtf8("FWHM = LW \u2212 SW"), small, kText,
             Qt::AlignRight);
}

// Scan tab: the five fields with the example, and the bands the example visits.
void scanCard(QPainter& p, const QRect& card) {
    drawCard(p, card, 8, kCardTop, kCardBottom, kCardBorder);
    const int x0 = card.left() + 18;
    const int right = card.right() - 17;
    drawTextAt(p, x0, card.top() + 30, "Scan a range", font(17, Weight::Semibold), kTextBright);
    drawText(p, QRectF(right - 120, card.top() + 14, 120, 22), "SCAN tab", font(13), kTextDim,
             Qt::AlignRight);

    const char* names[] = {"START", "END", "FWHM", "STEP", "Time delay"};
    const char* values[] = {"580.0", "610.0", "5.0", "10.0", "10"};
    const char* units[] = {"nm", "nm", "nm", "nm", "sec"};
    const int boxes = 5, gap = 4;
    const qreal w = (right - x0 - gap * (boxes - 1)) / qreal(boxes);
    for (int i = 0; i < boxes; ++i) {
        const int left = int(std::lround(x0 + i * (w + gap)));
        const int width = int(std::lround(x0 + i * (w + gap) + w)) - left;
        drawText(p, QRectF(left, card.top() + 48, width, 18), names[i], font(13, Weight::Semibold),
                 kTextBright);
        miniEdit(p, QRect(left + 1, card.top() + 70, width - 2, 26), values[i], kScanEdit);
        drawText(p, QRectF(left, card.top() + 100, width, 18), units[i], font(13), kTextDim);
    }

    const QFont body = font(14);
    int baseline = card.top() + 140;
    for (const char* line : {"The example visits 580, 590, 600 and 610 nm with",
                             "a 5.0 nm band and stays 10 seconds at each step.",
                             "Go starts the scan; pressing Go again stops it."}) {
        drawTextAt(p, x0, baseline, line, body, kText);
        baseline += 20;
    }

    // The successive bands, coloured as the light they pass.
    const qreal base = card.bottom() - 30;
    const qreal height = 54;
    const qreal axisLeft = x0 + 4, axisRight = right - 4;
    const double nmFrom = 568, nmTo = 622;
    auto xOf = [&](double nm) {
        return axisLeft + (axisRight - axisLeft) * (nm - nmFrom) / (nmTo - nmFrom);
    };
    const qreal pxPerNm = (axisRight - axisLeft) / (nmTo - nmFrom);
    const QFont small = font(13);
    const QFont label = font(13, Weight::Semibold);
    for (int i = 0; i < 4; ++i) {
        const double nm = 580 + 10 * i;
        const qreal cx = xOf(nm);
        const QColor c = spectralColour(nm);
        drawPeak(p, peakPath(cx, 5 * pxPerNm, base, height, cx - 8 * pxPerNm, cx + 8 * pxPerNm),
                 base, c);
        p.save();
        p.setPen(QPen(kAxis, 1));
        p.drawLine(QPointF(cx, base + 1), QPointF(cx, base + 4));
        p.restore();
        drawText(p, QRectF(cx - 20, base + 4, 40, 20), QString::number(int(nm)), small, kText);
        drawText(p, QRectF(cx - 24, base - height - 22, 48, 18), QString("%1: 10 s").arg(i + 1),
                 label, c);
        if (i < 3) {
            // Step from this band to the next.
            const qreal mid = (cx + xOf(nm + 10)) / 2;
            const qreal y = base - height / 2 - 2;
            p.save();
            p.setPen(QPen(kTextDim, 1.5));
            p.drawLine(QPointF(mid - 8, y), QPointF(mid + 4, y));
            p.restore();
            arrowHead(p, QPointF(mid + 8, y), QPointF(1, 0), kTextDim, 6);
        }
    }
    p.save();
    p.setPen(QPen(kAxis, 1));
    p.drawLine(QPointF(axisLeft, base + 0.5), QPointF(axisRight, base + 0.5));
    p.restore();
    arrowHead(p, QPointF(axisRight + 1, base + 0.5), QPointF(1, 0), kAxis, 5);
    drawText(p, QRectF(axisRight - 40, base + 4, 44, 20), "nm", small, kTextDim, Qt::AlignRight);
}

} // namespace

QImage drawHelpPage() {
    QImage img = canvas(910, 426);
    QPainter p;
    beginPainting(p, img);
    drawText(p, QRectF(56, 10, 200, 28), "Quick guide", font(20, Weight::Semibold), kTextBright,
             Qt::AlignLeft);
    drawText(p, QRectF(457, 10, 400, 28), "All wavelengths in nm, rounded to 0.1 nm", font(13),
             kTextDim, Qt::AlignRight);
    p.fillRect(QRect(56, 55, 801, 1), QColor(0x26, 0x26, 0x26));

    setCard(p, QRect(56, 68, 394, 302));
    scanCard(p, QRect(463, 68, 394, 302));

    // Message colours, as the bar at the bottom uses them. The row under it stays free: the
    // program writes where the remote control is reached there.
    const QFont f = font(14);
    qreal x = 56;
    const qreal baseline = 395;
    struct Part {
        const char* text;
        QColor colour;
    };
    const Part parts[] = {{"Messages below:  ", kTextDim},
                          {"grey", QColor(0xC0, 0xC0, 0xC0)},
                          {" while working,  ", kTextDim},
                          {"green", QColor(0x00, 0xFF, 0x00)},
                          {" when done,  ", kTextDim},
                          {"red", QColor(0xFF, 0x40, 0x40)},
                          {" for an error (with its code),  ", kTextDim},
                          {"yellow", QColor(0xFF, 0xFF, 0x00)},
                          {" while scanning.", kTextDim}};
    for (const Part& part : parts) {
        drawTextAt(p, x, baseline, part.text, f, part.colour);
        x += textWidth(f, part.text);
    }
    p.end();
    return img;
}

} // namespace skin
