#pragma once
// Splitting an instrument answer into fields, as the POS, GO and INFO answers are read.

#include <QString>
#include <QStringList>

namespace ResponseFields {

// Blanks and control characters (codes 1 to 32) at the start are skipped. Fields are separated
// by a run of blanks and control characters, by one comma, or by one comma with such runs
// around it; two commas in a row enclose an empty field and a comma at the very end adds one.
// A field that begins with a double quote runs to the closing quote, two quotes inside standing
// for one; a field without its closing quote runs to the end. A NUL character ends the text.
QStringList Split(const QString& answer);

// The field as a whole decimal number, or -1 when it is not one.
qint32 ToInt(const QString& field);

} // namespace ResponseFields
