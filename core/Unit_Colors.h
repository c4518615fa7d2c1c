#pragma once
// Colours are stored as 24-bit numbers with red in the low byte and blue in the high byte.
// This is the one place where such a number becomes a Qt colour.

#include <QColor>

namespace Colors {

constexpr unsigned clMsgSilver = 12632256; // #C0C0C0 progress and notices
constexpr unsigned clMsgLime = 65280;      // #00FF00 success
constexpr unsigned clMsgRed = 255;         // #FF0000 every error line
constexpr unsigned clMsgYellow = 65535;    // #FFFF00 "Scanning..." only
constexpr unsigned clLabelGrey = 10790052; // #A4A4A4 labels, the message bar's first text
constexpr unsigned clWindow = 1447446;     // #161616 window and panel background
constexpr unsigned clSetEdit = 2302755;    // #232323 Set panel edit boxes
constexpr unsigned clScanEdit = 2236962;   // #222222 Scan panel edit boxes
constexpr unsigned clBandBar = 4144959;    // #3F3F3F view strip band bar

inline QColor ToQColor(unsigned number) {
    return QColor(int(number & 0xFF), int((number >> 8) & 0xFF), int((number >> 16) & 0xFF));
}

} // namespace Colors
