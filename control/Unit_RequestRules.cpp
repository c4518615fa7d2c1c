#include "control/Unit_RequestRules.h"

#include "core/Unit_Numbers.h"
#include "core/Unit_Text8.h"

namespace RequestRules {

double ReadValue(const QString& text) {
    return Numbers::RoundTo(Numbers::ReadDouble(text, 0.0), 1);
}

QString Bound(double value) {
    return Numbers::FormatFixed(value, 1);
}

QString AtLeast() {
    return QStringLiteral("\u2265 ");
}

QString AtMost() {
    return QStringLiteral("\u2264 ");
}

} // namespace RequestRules

QString RuleOutcome::MessageLine() const {
    return Code + QStringLiteral(" : ") + Text;
}

QByteArray RuleOutcome::RemoteText() const {
    return Text8::FromWide(Text);
}
