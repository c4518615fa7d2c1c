#pragma once
// The look shared by every skin picture: palette, fonts and the few shapes that recur
// (cards, wells, buttons, the logo). Keeping them here is what makes the pictures agree.

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QString>

namespace skin {

// Palette. The window and panel background and the edit-box colours are fixed by the program;
// the rest is chosen to sit well on them.
inline const QColor kWindow{0x16, 0x16, 0x16};
inline const QColor kSetEdit{0x23, 0x23, 0x23};
inline const QColor kScanEdit{0x22, 0x22, 0x22};
inline const QColor kBandBar{0x3F, 0x3F, 0x3F};
inline const QColor kBlack{0x00, 0x00, 0x00};

inline const QColor kYellow{0xFF, 0xEC, 0x3A};  // centre wavelength and bandwidth
inline const QColor kGreen{0x5C, 0xF0, 0x4E};   // band edges
inline const QColor kBlueTop{0x3D, 0x93, 0xF2}; // pressed button, gradient top
inline const QColor kBlueBottom{0x1A, 0x62, 0xC8};
inline const QColor kBlueBorder{0x6C, 0xB2, 0xFF};
inline const QColor kAccentBlue{0x3A, 0x8E, 0xF0};

inline const QColor kTextBright{0xEE, 0xEE, 0xEE};
inline const QColor kTextNormal{0xC8, 0xC8, 0xC8};
inline const QColor kTextDim{0x8A, 0x8A, 0x8A};
inline const QColor kTextFaint{0x6A, 0x6A, 0x6A};

inline const QColor kCardTop{0x24, 0x24, 0x24};
inline const QColor kCardBottom{0x1D, 0x1D, 0x1D};
inline const QColor kCardBorder{0x35, 0x35, 0x35};

inline const QColor kIdleTop{0x34, 0x34, 0x34};
inline const QColor kIdleBottom{0x29, 0x29, 0x29};
inline const QColor kIdleBorder{0x47, 0x47, 0x47};

inline const QColor kBarTop{0x27, 0x27, 0x27}; // title and message bars
inline const QColor kBarBottom{0x1B, 0x1B, 0x1B};

enum class Weight { Regular, Semibold, Bold };

// Loads the three Open Sans faces from <skin>/fonts; false when one is missing.
bool loadFonts(const QString& skinFolder);

QFont font(qreal pixels, Weight weight = Weight::Regular, qreal letterSpacing = 0);
qreal textWidth(const QFont& f, const QString& text);

// Pictures are drawn in the program's pixel units at a device pixel ratio (1, or 2 for the
// name@2x.png copies of high-density screens): every coordinate below stays in 1x units and the
// painter scales. setScale chooses the ratio of the canvases made from then on.
void setScale(int ratio);
int scale();

// A picture of the given size (in 1x units) filled with one colour, ready to paint on.
QImage canvas(int width, int height, const QColor& fill = kWindow);
// The part of a picture at `area`, given in 1x units.
QImage cut(const QImage& image, const QRect& area);
void beginPainting(QPainter& p, QImage& image);

// Draws text with its capitals centred vertically in box (optical centre, not the line box).
// Horizontal placement follows the alignment's left, right or centre flag.
void drawText(QPainter& p, const QRectF& box, const QString& text, const QFont& f,
              const QColor& colour, Qt::Alignment align = Qt::AlignHCenter);
// Draws text with its baseline at y, starting at x.
void drawTextAt(QPainter& p, qreal x, qreal baseline, const QString& text, const QFont& f,
                const QColor& colour);

// A rounded panel over whole pixels: vertical gradient, 1-pixel border and a faint top light.
void drawCard(QPainter& p, const QRect& r, qreal radius, const QColor& top, const QColor& bottom,
              const QColor& border, int topLightAlpha = 14);

// A recess of exactly `fill` inside r, with a dark rim just outside it, so that an edit box of
// the same colour laid over r looks sunk into the picture.
void drawWell(QPainter& p, const QRect& r, const QColor& fill);

// The colour a fraction t of the way from a to b.
QColor mix(const QColor& a, const QColor& b, qreal t);

// Vertical gradient filling whole rows, top to bottom.
void fillRows(QPainter& p, const QRect& r, const QColor& top, const QColor& bottom);

// Colour of light of the given wavelength in nm (visible range, softened at its ends).
QColor spectralColour(double nm);

// The program's mark: a transmission peak over a spectrum, on a dark tile.
// With roundTile false the tile fills the square (window icons, which have no alpha).
void drawLogo(QPainter& p, const QRectF& r, bool roundTile = true);

// Button bodies.
enum class ButtonLook { Idle, Pressed };
void drawButtonBody(QPainter& p, const QRect& r, ButtonLook look);

// Symbols drawn on buttons, centred at c, in colour.
void drawResetSymbol(QPainter& p, QPointF c, qreal size, const QColor& colour);
void drawGoSymbol(QPainter& p, QPointF c, qreal size, const QColor& colour);
void drawStopSymbol(QPainter& p, QPointF c, qreal size, const QColor& colour);

} // namespace skin
