#include "Pictures.h"
#include "Style.h"

#include <QLinearGradient>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>

namespace skin {
namespace {

QColor withAlpha(QColor c, int alpha) {
    c.setAlpha(alpha);
    return c;
}

// ---------------------------------------------------------------------------------------------
// Title bar. Its buttons, slider track and knob are separate pictures laid over it, so they are
// cut from the same background to blend in wherever they sit.

constexpr int kTitleW = 910, kTitleH = 60;
const QRect kTrackRect(560, 10, 120, 27);
const QRect kKnobRect(638, 9, 29, 29);
const QRect kMinimiseRect(776, 2, 40, 40);
const QRect kCloseRect(836, 2, 40, 40);
// The knob travels with its left edge from 574 to 638; the groove spans exactly the columns it
// can cover, so the groove seen through the knob's corners always matches the track.
constexpr int kGrooveLeft = 574, kGrooveRight = 638 + 29; // exclusive right
constexpr int kGrooveTop = 21, kGrooveRows = 5;

QImage titleBackground() {
    QImage img = canvas(kTitleW, kTitleH);
    QPainter p;
    beginPainting(p, img);
    fillRows(p, QRect(0, 0, kTitleW, kTitleH - 1), kBarTop, kBarBottom);
    p.fillRect(QRect(0, kTitleH - 1, kTitleW, 1), QColor(0x0E, 0x0E, 0x0E));
    // A hairline of the spectrum along the bottom, fading out under the name.
    QLinearGradient hair(0, 0, 520, 0);
    for (int i = 0; i <= 10; ++i) {
        QColor c = spectralColour(410 + i * 29.0);
        c.setAlpha(int(200 * (1.0 - i / 10.0)));
        hair.setColorAt(i / 10.0, c);
    }
    p.fillRect(QRect(0, kTitleH - 2, 520, 1), hair);
    p.end();
    return img;
}

QImage titleBase() {
    QImage img = titleBackground();
    QPainter p;
    beginPainting(p, img);
    drawLogo(p, QRectF(18, 10, 38, 38));
    const QFont name = font(22, Weight::Semibold);
    drawTextAt(p, 68, 29, "QVL Rari", name, kTextBright);
    drawTextAt(p, 68 + textWidth(name, "QVL Rari") + 8, 29, "v2.1", font(15), kTextDim);
    drawTextAt(p, 69, 47, "Tunable band-pass filter control", font(13), kTextFaint);
    p.end();
    return img;
}

// Title bar with the track drawn in place: the knob's background comes from here.
QImage drawTrack(QImage titleWithTrack) {
    QPainter p;
    beginPainting(p, titleWithTrack);
    p.setRenderHint(QPainter::Antialiasing, false);
    const QRect groove(kGrooveLeft, kGrooveTop, kGrooveRight - kGrooveLeft, kGrooveRows);
    p.fillRect(groove, QColor(0x0C, 0x0C, 0x0C));
    p.fillRect(QRect(groove.left(), groove.top(), groove.width(), 1), QColor(0x05, 0x05, 0x05));
    p.fillRect(QRect(groove.left(), groove.bottom() + 1, groove.width(), 1),
               QColor(0x30, 0x30, 0x30));
    p.setRenderHint(QPainter::Antialiasing, true);
    // End marks: a hollow dot (see-through) on the left, a full dot (opaque) on the right.
    const qreal cy = kGrooveTop + kGrooveRows / 2.0;
    p.setPen(QPen(QColor(0x8A, 0x8A, 0x8A), 1.3));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(kTrackRect.left() + 7, cy), 3.6, 3.6);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xB4, 0xB4, 0xB4));
    p.drawEllipse(QPointF(kTrackRect.right() - 5.5, cy), 4.3, 4.3);
    p.end();
    return titleWithTrack;
}

QImage knob(const QImage& titleWithTrack) {
    QImage img = cut(titleWithTrack, kKnobRect);
    QPainter p;
    beginPainting(p, img);
    const QPointF c(14.5, 14.5);
    // Soft shadow under the knob.
    QRadialGradient shadow(c + QPointF(0, 1.5), 14);
    shadow.setColorAt(0.75, QColor(0, 0, 0, 150));
    shadow.setColorAt(1.0, QColor(0, 0, 0, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shadow);
    p.drawEllipse(c + QPointF(0, 1.5), 14, 14);
    QLinearGradient body(0, 2, 0, 27);
    body.setColorAt(0, QColor(0xF2, 0xF2, 0xF2));
    body.setColorAt(1, QColor(0xA2, 0xA2, 0xA2));
    p.setPen(QPen(QColor(0x0A, 0x0A, 0x0A, 200), 1));
    p.setBrush(body);
    p.drawEllipse(c, 11.5, 11.5);
    // A shallow dimple in the middle.
    QLinearGradient dimple(0, 10, 0, 19);
    dimple.setColorAt(0, QColor(0x9A, 0x9A, 0x9A));
    dimple.setColorAt(1, QColor(0xE0, 0xE0, 0xE0));
    p.setPen(Qt::NoPen);
    p.setBrush(dimple);
    p.drawEllipse(c, 4.2, 4.2);
    p.end();
    return img;
}

QImage titleButton(const QImage& title, const QRect& place, bool close) {
    QImage img = cut(title, place);
    QPainter p;
    beginPainting(p, img);
    const QColor ink(0xC4, 0xC4, 0xC4);
    if (close) {
        p.setPen(QPen(ink, 1.8, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(14.5, 14.5), QPointF(25.5, 25.5));
        p.drawLine(QPointF(25.5, 14.5), QPointF(14.5, 25.5));
    } else {
        p.setRenderHint(QPainter::Antialiasing, false);
        p.fillRect(QRect(14, 24, 12, 2), ink);
    }
    p.end();
    return img;
}

// ---------------------------------------------------------------------------------------------
// Tabs: 140 x 40, side by side; the selected one is raised and carries a blue underline.

QImage tab(const QString& caption, bool on) {
    QImage img = canvas(140, 40);
    QPainter p;
    beginPainting(p, img);
    const QRectF body(1.5, 0.5, 137, 42); // runs past the bottom: only the top is rounded
    QLinearGradient g(0, 0, 0, 40);
    if (on) {
        g.setColorAt(0, QColor(0x33, 0x33, 0x33));
        g.setColorAt(1, QColor(0x26, 0x26, 0x26));
        p.setPen(QPen(QColor(0x48, 0x48, 0x48), 1));
    } else {
        g.setColorAt(0, QColor(0x1F, 0x1F, 0x1F));
        g.setColorAt(1, QColor(0x1B, 0x1B, 0x1B));
        p.setPen(QPen(QColor(0x2C, 0x2C, 0x2C), 1));
    }
    p.setBrush(g);
    p.drawRoundedRect(body, 6, 6);
    if (on) {
        p.setPen(QPen(QColor(255, 255, 255, 22), 1));
        p.drawLine(QPointF(8, 1.5), QPointF(132, 1.5));
        p.fillRect(QRect(2, 37, 136, 3), kAccentBlue);
    }
    drawText(p, QRectF(0, 0, 140, 38), caption, font(15, Weight::Semibold, 1.6),
             on ? kTextBright : QColor(0x7E, 0x7E, 0x7E));
    p.end();
    return img;
}

// ---------------------------------------------------------------------------------------------
// Message bar: a dark field framing the message label (64,20 704x28) and the mark at the right.

QImage messageBase() {
    QImage img = canvas(910, 70);
    QPainter p;
    beginPainting(p, img);
    p.fillRect(QRect(0, 0, 910, 1), QColor(0x0E, 0x0E, 0x0E));
    fillRows(p, QRect(0, 1, 910, 69), kBarBottom, kBarTop);
    const QRect field(48, 13, 736, 42);
    QLinearGradient g(0, field.top(), 0, field.bottom() + 1);
    g.setColorAt(0, QColor(0x02, 0x02, 0x02));
    g.setColorAt(1, QColor(0x08, 0x08, 0x08));
    p.setPen(QPen(QColor(0x0A, 0x0A, 0x0A), 1));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(field).adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
    p.setPen(QPen(QColor(255, 255, 255, 26), 1));
    p.drawLine(QPointF(field.left() + 5, field.bottom() + 1.5),
               QPointF(field.right() - 5, field.bottom() + 1.5));
    drawLogo(p, QRectF(829, 17, 36, 36));
    p.end();
    return img;
}

QImage icon(int size) {
    QImage img = canvas(size, size);
    QPainter p;
    beginPainting(p, img);
    drawLogo(p, QRectF(0, 0, size, size), false);
    p.end();
    return img;
}

// ---------------------------------------------------------------------------------------------
// Set and Scan panels.

// Background of both input panels: the heading and the dark field behind the product label
// (440,24 416x28). The place of the "Remote" label (252,24 176x28) stays plain.
QImage inputPanelBase() {
    QImage img = canvas(910, 242);
    QPainter p;
    beginPainting(p, img);
    drawText(p, QRectF(56, 24, 180, 28), "Input", font(20, Weight::Semibold), kTextBright,
             Qt::AlignLeft);
    p.fillRect(QRect(56, 69, 801, 1), QColor(0x26, 0x26, 0x26));
    const QRect field(437, 21, 422, 34);
    p.setPen(QPen(QColor(0x30, 0x30, 0x30), 1));
    p.setBrush(kBlack);
    p.drawRoundedRect(QRectF(field).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    p.end();
    return img;
}

// Mode button: a lamp at the left, lit in the mode's colour when the mode is selected.
QImage modeButton(const QString& caption, const QColor& colour, bool on) {
    QImage img = canvas(178, 60);
    QPainter p;
    beginPainting(p, img);
    const QRect r(0, 0, 178, 60);
    if (on)
        drawCard(p, r, 6, mix(kIdleTop, colour, 0.13), mix(kIdleBottom, colour, 0.06),
                 mix(kIdleBorder, colour, 0.75), 20);
    else
        drawCard(p, r, 6, kIdleTop, kIdleBottom, kIdleBorder, 18);
    const QPointF lamp(24, 30);
    if (on) {
        QRadialGradient glow(lamp, 11);
        glow.setColorAt(0, withAlpha(colour, 110));
        glow.setColorAt(1, withAlpha(colour, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(glow);
        p.drawEllipse(lamp, 11, 11);
        p.setBrush(colour);
        p.setPen(QPen(mix(colour, Qt::white, 0.4), 1));
        p.drawEllipse(lamp, 4.5, 4.5);
    } else {
        p.setPen(QPen(QColor(0x1A, 0x1A, 0x1A), 1));
        p.setBrush(QColor(0x50, 0x50, 0x50));
        p.drawEllipse(lamp, 4.5, 4.5);
    }
    drawText(p, QRectF(40, 0, 124, 60), caption, font(19, Weight::Semibold),
             on ? colour : QColor(0x96, 0x96, 0x96));
    p.end();
    return img;
}

// Frame of a Set panel box: caption in the mode's colour, a short description and the well of
// the edit box (144x48 at 16,72, colour #232323).
QImage setEditFrame(const QString& caption, const QString& description, const QColor& colour) {
    QImage img = canvas(176, 135);
    QPainter p;
    beginPainting(p, img);
    drawCard(p, QRect(0, 0, 176, 135), 6, kCardTop, kCardBottom, kCardBorder);
    // Coloured top edge, inside the rounded border.
    {
        QPainterPath clip;
        clip.addRoundedRect(QRectF(1, 1, 174, 133), 5, 5);
        p.save();
        p.setClipPath(clip);
        p.fillRect(QRect(1, 1, 174, 3), colour);
        p.restore();
    }
    const QFont big = font(26, Weight::Semibold);
    const QFont unit = font(14);
    const qreal wBig = textWidth(big, caption);
    const qreal wUnit = textWidth(unit, "nm");
    const qreal x = (176 - (wBig + 6 + wUnit)) / 2;
    drawTextAt(p, x, 40, caption, big, colour);
    drawTextAt(p, x + wBig + 6, 40, "nm", unit, kTextDim);
    drawText(p, QRectF(0, 48, 176, 16), description, font(13), kTextDim);
    drawWell(p, QRect(16, 72, 144, 48), kSetEdit);
    p.end();
    return img;
}

using SymbolPainter = void (*)(QPainter&, QPointF, qreal, const QColor&);

// A tall action button: its symbol above its caption, grey at rest, blue and one pixel lower
// while pressed.
QImage actionButton(int width, bool pressed, SymbolPainter symbol, const QString& caption,
                    const QFont& captionFont) {
    QImage img = canvas(width, 135);
    QPainter p;
    beginPainting(p, img);
    drawButtonBody(p, QRect(0, 0, width, 135), pressed ? ButtonLook::Pressed : ButtonLook::Idle);
    const QColor ink = pressed ? QColor(Qt::white) : kTextNormal;
    const qreal dy = pressed ? 1 : 0;
    symbol(p, QPointF(width / 2.0, 53 + dy), 26, ink);
    drawText(p, QRectF(0, 82 + dy, width, 24), caption, captionFont, ink);
    p.end();
    return img;
}

QImage resetButton(int width, bool pressed) {
    return actionButton(width, pressed, drawResetSymbol, "Reset", font(16, Weight::Semibold));
}

QImage goButton(int width, bool pressed) {
    return actionButton(width, pressed, drawGoSymbol, "Go", font(20, Weight::Bold));
}

// The Scan panel's Go button while a scan runs: lit like a pressed button, since a click stops
// the scan.
QImage stopButton(int width) {
    return actionButton(width, true, drawStopSymbol, "Stop", font(20, Weight::Bold));
}

// Frame of a Scan panel field: name and unit, and the well of the edit box (96x48 at 12,76,
// colour #222222). The card is inset so that neighbouring frames (1 pixel apart) stand apart.
QImage scanEditFrame(const QString& name, const QString& unit) {
    QImage img = canvas(119, 135);
    QPainter p;
    beginPainting(p, img);
    drawCard(p, QRect(3, 0, 114, 135), 6, kCardTop, kCardBottom, kCardBorder);
    drawText(p, QRectF(3, 18, 114, 24), name, font(17, Weight::Semibold), kTextBright);
    drawText(p, QRectF(3, 44, 114, 16), unit, font(13), kTextDim);
    drawWell(p, QRect(12, 76, 96, 48), kScanEdit);
    p.end();
    return img;
}

// ---------------------------------------------------------------------------------------------
// View strip.

// The ruler maps the range's lower end to x 140, its middle to 454 and its upper end to 768.
constexpr int kRulerLeft = 140, kRulerRight = 768;
const QRect kTrough(61, 65, 788, 38);

QImage viewBase() {
    QImage img = canvas(910, 170);
    QPainter p;
    beginPainting(p, img);
    p.setRenderHint(QPainter::Antialiasing, false);
    // Trough with a sunk rim.
    p.fillRect(kTrough.adjusted(-1, -1, 1, 1), QColor(0x0A, 0x0A, 0x0A));
    p.fillRect(QRect(kTrough.left(), kTrough.bottom() + 1, kTrough.width(), 1),
               QColor(0x2B, 0x2B, 0x2B));
    p.fillRect(kTrough, kBlack);
    // Ticks along both edges: 10 divisions, 5 minor steps each, the middle marked longer.
    const int divisions = 10, minorPerDivision = 5;
    const int top = kTrough.top() + 1, bottom = kTrough.bottom();
    for (int i = 0; i <= divisions * minorPerDivision; ++i) {
        const double xf =
            kRulerLeft + (kRulerRight - kRulerLeft) * double(i) / (divisions * minorPerDivision);
        const int x = int(std::lround(xf));
        const bool major = i % minorPerDivision == 0;
        const bool middle = i == divisions * minorPerDivision / 2;
        const bool end = i == 0 || i == divisions * minorPerDivision;
        const int len = middle ? 10 : (end || major) ? 7 : 4;
        const QColor c = (middle || end) ? QColor(0x8C, 0x8C, 0x8C)
                         : major         ? QColor(0x62, 0x62, 0x62)
                                         : QColor(0x3A, 0x3A, 0x3A);
        p.fillRect(QRect(x, top, 1, len), c);
        p.fillRect(QRect(x, bottom - len + 1, 1, len), c);
    }
    // A faint centre line joins the ticks into a scale.
    p.fillRect(
        QRect(kRulerLeft, kTrough.top() + kTrough.height() / 2, kRulerRight - kRulerLeft + 1, 1),
        QColor(0x1C, 0x1C, 0x1C));
    p.end();
    return img;
}

// A value box of the strip: black body with a coloured rim, caption, and a pointer whose stem
// covers the given columns (the same columns as the marker it points at).
struct Callout {
    int width;
    QRect body;    // rim included
    QRect caption; // where the caption is centred
    QString text;
    QColor colour;
    int stemLeft, stemWidth; // pointer columns
    bool pointsDown;
};

QImage callout(const Callout& c) {
    QImage img = canvas(c.width, 46);
    QPainter p;
    beginPainting(p, img);
    const qreal axis = c.stemLeft + c.stemWidth / 2.0;
    // Pointer: a short stem and a head, between the body and the picture's edge.
    QPainterPath ptr;
    const qreal half = 6.5;
    if (c.pointsDown) {
        const qreal y0 = c.body.bottom() + 1, tip = 46;
        ptr.moveTo(axis - half, y0);
        ptr.lineTo(axis + half, y0);
        ptr.lineTo(axis + c.stemWidth / 2.0, tip - 7);
        ptr.lineTo(axis + c.stemWidth / 2.0, tip);
        ptr.lineTo(axis - c.stemWidth / 2.0, tip);
        ptr.lineTo(axis - c.stemWidth / 2.0, tip - 7);
        ptr.closeSubpath();
    } else {
        const qreal y0 = c.body.top(), tip = 0;
        ptr.moveTo(axis - half, y0);
        ptr.lineTo(axis + half, y0);
        ptr.lineTo(axis + c.stemWidth / 2.0, tip + 7);
        ptr.lineTo(axis + c.stemWidth / 2.0, tip);
        ptr.lineTo(axis - c.stemWidth / 2.0, tip);
        ptr.lineTo(axis - c.stemWidth / 2.0, tip + 7);
        ptr.closeSubpath();
    }
    p.setPen(Qt::NoPen);
    p.setBrush(c.colour);
    p.drawPath(ptr);
    // Body.
    p.setPen(QPen(mix(kWindow, c.colour, 0.85), 1));
    p.setBrush(kBlack);
    p.drawRoundedRect(QRectF(c.body).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    drawText(p, c.caption, c.text, font(14, Weight::Semibold), c.colour);
    p.end();
    return img;
}

QImage marker(int lineFrom, int lineTo, const QColor& colour) {
    // Columns counted from 1. The rest matches the band bar the marker always lies on.
    QImage img = canvas(8, 33, kBandBar);
    QPainter p(&img);
    p.fillRect(QRect(lineFrom - 1, 0, lineTo - lineFrom + 1, 33), colour);
    p.end();
    return img;
}

} // namespace

std::vector<Picture> drawMainWindowPictures() {
    const QImage title = titleBase();
    const QImage bare = titleBackground();
    const QImage withTrack = drawTrack(bare);
    std::vector<Picture> out;
    out.push_back({"title_base.png", title});
    out.push_back({"title_button1.png", titleButton(bare, kMinimiseRect, false)});
    out.push_back({"title_button2.png", titleButton(bare, kCloseRect, true)});
    out.push_back({"slide_base.png", cut(withTrack, kTrackRect)});
    out.push_back({"slide_button.png", knob(withTrack)});
    const char* captions[] = {"SET", "SCAN", "HELP"};
    for (int i = 0; i < 3; ++i) {
        out.push_back({QString("tab%1_on.png").arg(i + 1), tab(captions[i], true)});
        out.push_back({QString("tab%1_off.png").arg(i + 1), tab(captions[i], false)});
    }
    out.push_back({"message_base.png", messageBase()});
    for (int size : {128, 64, 48, 32, 16})
        out.push_back({QString("icon_%1.png").arg(size), icon(size)});
    return out;
}

std::vector<Picture> drawSetPanelPictures() {
    std::vector<Picture> out;
    out.push_back({"set_base.png", inputPanelBase()});
    out.push_back({"set_button1_on.png", modeButton("CWL/FWHM", kYellow, true)});
    out.push_back({"set_button1_off.png", modeButton("CWL/FWHM", kYellow, false)});
    out.push_back({"set_button2_on.png", modeButton("SW/LW", kGreen, true)});
    out.push_back({"set_button2_off.png", modeButton("SW/LW", kGreen, false)});
    out.push_back({"set_edit1_mode1.png", setEditFrame("CWL", "Centre wavelength", kYellow)});
    out.push_back({"set_edit2_mode1.png", setEditFrame("FWHM", "Bandwidth", kYellow)});
    out.push_back({"set_edit1_mode2.png", setEditFrame("SW", "Short edge", kGreen)});
    out.push_back({"set_edit2_mode2.png", setEditFrame("LW", "Long edge", kGreen)});
    out.push_back({"set_button3_on.png", resetButton(75, true)});
    out.push_back({"set_button3_off.png", resetButton(75, false)});
    out.push_back({"set_button4_on.png", goButton(147, true)});
    out.push_back({"set_button4_off.png", goButton(147, false)});
    return out;
}

std::vector<Picture> drawScanPanelPictures() {
    std::vector<Picture> out;
    out.push_back({"scan_base.png", inputPanelBase()});
    const char* names[] = {"START", "END", "FWHM", "STEP", "Time delay"};
    const char* units[] = {"(nm)", "(nm)", "(nm)", "(nm)", "(sec)"};
    for (int i = 0; i < 5; ++i)
        out.push_back({QString("scan_edit%1.png").arg(i + 1), scanEditFrame(names[i], units[i])});
    out.push_back({"scan_button3_on.png", resetButton(75, true)});
    out.push_back({"scan_button3_off.png", resetButton(75, false)});
    out.push_back({"scan_button4_on.png", goButton(101, true)});
    out.push_back({"scan_button4_off.png", goButton(101, false)});
    out.push_back({"scan_button4_stop.png", stopButton(101)});
    return out;
}

std::vector<Picture> drawViewStripPictures() {
    std::vector<Picture> out;
    out.push_back({"view_base.png", viewBase()});
    // SW box: value label at (9,21) 56x22, caption right of it, pointer up at columns 92-94,
    // in line with the SW marker (box left + 91, line in its columns 2-4).
    out.push_back(
        {"view_edit4_base.png",
         callout({103, QRect(0, 18, 103, 28), QRect(66, 21, 35, 22), "SW", kGreen, 92, 3, false})});
    // LW box: value label at (38,21) 56x22, caption left of it, pointer up at columns 5-7,
    // in line with the LW marker (box left + 3, line in its columns 3-5).
    out.push_back({"view_edit5_base.png", callout({103, QRect(0, 18, 103, 28), QRect(2, 21, 35, 22),
                                                   "LW", kGreen, 5, 3, false})});
    // CWL box: labels at (48,3) 56x22 and (104,3) 72x22, caption left, pointer down at
    // columns 89-90, in line with the CWL marker (box left + 87, line in its columns 3-4).
    out.push_back({"view_edit3_base.png", callout({182, QRect(0, 0, 182, 28), QRect(3, 3, 44, 22),
                                                   "CWL", kYellow, 89, 2, true})});
    out.push_back({"view_pos_range.png", canvas(20, 33, kBandBar)});
    out.push_back({"view_pos_cwl.png", marker(3, 4, kYellow)});
    out.push_back({"view_pos_sw.png", marker(2, 4, kGreen)});
    out.push_back({"view_pos_lw.png", marker(3, 5, kGreen)});
    return out;
}

} // namespace skin
