#pragma once
// Serial data, TCP data and the remote result store are 8-bit texts; the window's texts are
// wide. The signs "≥" and "≤" travel as the code page 949 byte pairs A1 C3 and A1 C2.

#include <QByteArray>
#include <QString>

namespace Text8 {

// Wide text to 8-bit: "≥" -> A1 C3, "≤" -> A1 C2, every other character its low 8 bits.
QByteArray FromWide(const QString& text);

// 8-bit text to wide: A1 C3 -> "≥", A1 C2 -> "≤", every other byte as Latin-1.
QString ToWide(const QByteArray& text);

} // namespace Text8
