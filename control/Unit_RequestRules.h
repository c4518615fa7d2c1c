#pragma once
// What the set and scan rules share: how a typed or received value becomes a number, how a
// bound is written into a rule's text, and the outcome of a validation.

#include <QByteArray>
#include <QString>

namespace RequestRules {

// A value as the rules see it: read with en-US rules (a text that is not a number counts as 0)
// and rounded to 0.1 nm.
double ReadValue(const QString& text);

// A bound appended to a rule's text, with one decimal.
QString Bound(double value);

// The signs a bound follows, each with its blank.
QString AtLeast();
QString AtMost();

} // namespace RequestRules

// The outcome of a validation: passed, or the first rule that failed with its code and text.
struct RuleOutcome {
    bool Ok = false;
    QString Code; // empty on success
    QString Text; // the rule's text with its bound, "≥" and "≤" as wide characters

    // The message bar line: code + " : " + text.
    QString MessageLine() const;
    // The text for the 8-bit remote result store ("≥" as A1 C3, "≤" as A1 C2).
    QByteArray RemoteText() const;
};
