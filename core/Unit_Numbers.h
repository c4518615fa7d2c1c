#pragma once
// Number texts and decimal rounding with fixed en-US rules, whatever the user's locale.

#include <QByteArray>
#include <QString>
#include <QStringView>

namespace Numbers {

// Rounds to `decimals` places (0, 1 or 2): multiply by 10^d, round half to even, multiply by
// 10^-d. Done in 80-bit extended precision so that the product of a stored double with 10 or
// 100 is exact; 500.05 -> 500.1, 500.15 -> 500.1, 500.25 -> 500.2.
double RoundTo(double value, int decimals);
// The same for a value computed in extended precision (a sum or a half of two doubles), so that
// only the rounded result is stored as a double.
double RoundToExtended(long double value, int decimals);

// The nearest integer to value * scale (halves to even) decided on the exact product, with plain
// doubles: the rounding used where long double has no more precision than double.
double RoundScaledPortable(double value, double scale);

// Reads a decimal number: optional blanks around, optional sign, digits with an optional '.',
// optional exponent. Anything else ("", "abc", "1,5", "nan", "inf", overflow) is not a number.
bool TryReadDouble(QStringView text, double& value);
bool TryReadDouble(const QByteArray& text, double& value);
// The number, or `fallback` when the text is not a number.
double ReadDouble(QStringView text, double fallback);

// Reads a whole decimal number that fits in 32 bits: optional blanks around, optional sign,
// digits only.
bool TryReadInt(QStringView text, qint32& value);
bool TryReadInt(const QByteArray& text, qint32& value);
qint32 ReadInt(QStringView text, qint32 fallback);

// As TryReadInt, but a value beginning with "0x" or "0X" is hexadecimal (settings file only).
bool TryReadIniInt(QStringView text, qint32& value);

// Formats with a fixed number of decimals ("0.0", "0.00") and '.' as the decimal point.
QString FormatFixedEnUS(double value, int decimals);
// The same with the user's decimal separator, as validation messages and the view strip show it.
QString FormatFixed(double value, int decimals);

} // namespace Numbers
