// The read-only queries SESSION, LIMITS and CHECK.
#include "remote/Unit_RemoteQueries.h"

#include "control/Unit_PanelOperation.h"
#include "control/Unit_RequestRules.h"
#include "control/Unit_ScanValidation.h"
#include "control/Unit_SetValidation.h"
#include "core/Unit_Numbers.h"
#include "core/Unit_Text8.h"

namespace {

QByteArray Fixed1(double value) {
    return Numbers::FormatFixedEnUS(value, 1).toLatin1();
}

QByteArray Refusal(const QByteArray& code, const QByteArray& text) {
    return code + ',' + text;
}

} // namespace

QByteArray SessionReply(const SessionState& state) {
    switch (state.Phase) {
    case SessionState::Searching:
        return "SEARCHING";
    case SessionState::Opening:
        return "OPENING";
    case SessionState::Ready:
        return "READY";
    case SessionState::Busy:
        return "BUSY";
    case SessionState::Scanning:
        return "SCANNING";
    case SessionState::Unusable:
        return "UNUSABLE," + state.Code;
    }
    return "SEARCHING";
}

QByteArray LimitsReply(const CalibrationLookups& table, const RemoteQueryFacts& facts) {
    if (!facts.SessionOpen || !facts.TableLoaded) return "NONE";
    return Fixed1(table.MinCwl()) + ',' + Fixed1(table.MaxCwl()) + ',' + Fixed1(table.CwlStep()) +
           ',' + Fixed1(table.MinFwhm()) + ',' + Fixed1(table.MaxFwhm());
}

QByteArray LimitsAtFwhmReply(const CalibrationLookups& table, const RemoteQueryFacts& facts,
                             const QByteArray& fwhmText) {
    if (!facts.SessionOpen || !facts.TableLoaded) return "NONE";
    // Read as a set request reads its FWHM, so the range is the one that request would meet.
    const double fwhm = RequestRules::ReadValue(Text8::ToWide(fwhmText));
    const double low = table.MinCwlAtFwhm(fwhm);
    const double high = table.MaxCwlAtFwhm(fwhm);
    // A value that is no column of the table (or a column without a valid point) has no range.
    if (low == 0.0 && high == 0.0) return "NONE";
    return Fixed1(low) + ',' + Fixed1(high);
}

bool IsCheckableRequest(const QList<QByteArray>& request) {
    if (request.isEmpty()) return false;
    const QByteArray& word = request[0];
    if (word == "SETC" || word == "SETR") return request.size() == 3;
    if (word == "SCAN") return request.size() == 6;
    return false;
}

QByteArray CheckReply(const QList<QByteArray>& request, const CalibrationLookups& table,
                      const RemoteQueryFacts& facts) {
    // The refusals come in the order the request itself meets them.
    if (facts.Scanning) return Refusal("NONE", "Now Scanning.");
    if (!facts.SessionOpen)
        return Refusal("NONE", Text8::FromWide(PanelOperation::kDeviceNotReady));
    if (!facts.ReadFailure.isEmpty()) {
        const PanelOperation::StoredFailure failure =
            PanelOperation::SplitFailureLine(facts.ReadFailure);
        return Refusal(failure.Code, failure.Text);
    }
    const auto wide = [&request](int i) { return Text8::ToWide(request[i]); };
    RuleOutcome outcome;
    if (request[0] == "SCAN") {
        outcome = ValidateScanRequest(wide(1), wide(2), wide(3), wide(4), wide(5), table);
    } else {
        outcome = ValidateSetRequest(request[0] == "SETR" ? 1 : 0, wide(1), wide(2), table);
    }
    if (outcome.Ok) return "OK";
    return Refusal(outcome.Code.toLatin1(), outcome.RemoteText());
}
