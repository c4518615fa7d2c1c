// The remote control line protocol on arbitrary arrivals from a client: the bounded receive
// buffer and its framing, the comma-text splitting, the request plan, and the set and scan rules
// the values of a SETC, SETR or SCAN request go through.
//
// Input: one byte of state (bit 0: a scan runs; the rest, modulo 3: the tab shown), then steps.
// A step byte of 0 clears the buffer as a new client does; a step byte n > 0 is followed by n
// bytes that arrive at once.

#include "control/Unit_ScanValidation.h"
#include "control/Unit_SetValidation.h"
#include "fuzz/FuzzCheck.h"
#include "remote/Unit_RemoteProtocol.h"
#include "remote/Unit_RemoteQueries.h"

#include <algorithm>
#include <memory>

namespace {

// A table shaped like a delivered one: CWL 400.0 to 800.0 every 0.5 nm, FWHM 1 to 20 nm, a grid
// point only where the band stays inside 400-800 nm.
const CalibrationTable& Table() {
    static const std::unique_ptr<CalibrationTable> table = [] {
        auto t = std::make_unique<CalibrationTable>();
        t->RowCount = 801;
        t->ColCount = 20;
        for (int c = 0; c < t->ColCount; ++c)
            t->ColValues[c] = c + 1;
        for (int r = 0; r < t->RowCount; ++r) {
            t->RowValues[r] = 400.0 + 0.5 * r;
            for (int c = 0; c < t->ColCount; ++c) {
                CalibrationCell& cell = t->Cell(r, c);
                cell.Cwl = t->RowValues[r];
                cell.Fwhm = t->ColValues[c];
                cell.Valid = cell.Cwl - cell.Fwhm / 2 >= 400.0 && cell.Cwl + cell.Fwhm / 2 <= 800.0;
                cell.Pos1 = cell.Pos2 = cell.Pos3 = cell.Valid ? 1000 + r : -1;
            }
        }
        return t;
    }();
    return *table;
}

bool IsCode(const QString& code, const char* prefix, int first, int last) {
    for (int n = first; n <= last; ++n)
        if (code == QString::fromLatin1(prefix) + QStringLiteral("%1").arg(n, 2, 10, QChar(u'0')))
            return true;
    return false;
}

bool IsValidCell(double cwl, double fwhm) {
    int row = -1;
    int col = -1;
    return Table().FindCell(cwl, fwhm, row, col) && Table().Cell(row, col).Valid;
}

void CheckScan(const QList<QByteArray>& fields) {
    FUZZ_CHECK(fields.size() == 6);
    const ScanValidationResult result =
        ValidateScanRequest(QString::fromLatin1(fields[1]), QString::fromLatin1(fields[2]),
                            QString::fromLatin1(fields[3]), QString::fromLatin1(fields[4]),
                            QString::fromLatin1(fields[5]), Table());
    if (!result.Ok) {
        FUZZ_CHECK(IsCode(result.Code, "ERRSC", 1, 22));
        FUZZ_CHECK(!result.RemoteText().isEmpty());
        return;
    }
    // An accepted scan runs between grid points of its FWHM, in whole table steps, and holds
    // each step for a time within the bounds.
    const ScanRequestValues& v = result.ScanRequest;
    FUZZ_CHECK(Table().IsCwlInTable(v.Start) && Table().IsCwlInTable(v.End));
    if (v.Start != v.End) FUZZ_CHECK(IsValidCell(v.Start, v.Fwhm) && IsValidCell(v.End, v.Fwhm));
    FUZZ_CHECK(v.Step >= Table().CwlStep());
    FUZZ_CHECK(v.TimeDelay >= 0.1 && v.TimeDelay <= 600.0);
}

void CheckPlan(const QByteArray& line, bool scanRunning, int activeTab) {
    const RemotePlan plan = PlanRemoteRequest(line, scanRunning, activeTab);
    if (line.isEmpty()) {
        FUZZ_CHECK(plan.What == RemotePlan::None);
        return;
    }
    FUZZ_CHECK(plan.What != RemotePlan::None);
    FUZZ_CHECK(plan.SelectTab >= -1 && plan.SelectTab <= 2);
    const qsizetype nul = line.indexOf('\0');
    const qsizetype textSize = nul < 0 ? line.size() : nul;
    FUZZ_CHECK(plan.Fields.size() <= textSize + 1);
    for (const QByteArray& field : plan.Fields)
        FUZZ_CHECK(field.size() <= textSize && !field.contains('\0') && !field.contains('\r'));
    // A running scan only ever lets a request read the state or stop it.
    if (scanRunning)
        FUZZ_CHECK(plan.What != RemotePlan::SetGo && plan.What != RemotePlan::ScanStart &&
                   plan.What != RemotePlan::SetReset && plan.What != RemotePlan::ScanReset);
    if (plan.What == RemotePlan::Store) FUZZ_CHECK(!plan.Response.isEmpty());
    if (plan.What == RemotePlan::ScanStart) CheckScan(plan.Fields);
    if (plan.What == RemotePlan::ReadCheck) {
        // CHECK answers what the named request would meet, never more than one line.
        RemoteQueryFacts facts;
        facts.SessionOpen = true;
        facts.TableLoaded = true;
        const QByteArray answer = CheckReply(plan.Fields.mid(1), Table(), facts);
        FUZZ_CHECK(!answer.contains('\r') && !answer.contains('\n'));
        const bool scan = plan.Fields[1] == "SCAN";
        if (answer != "OK") {
            const QString code = QString::fromLatin1(answer.left(7));
            FUZZ_CHECK(answer.size() > 8 && answer.at(7) == ',');
            FUZZ_CHECK(scan ? IsCode(code, "ERRSC", 1, 22) : IsCode(code, "ERRSE", 1, 20));
        }
    }
    if (plan.What == RemotePlan::ReadLimits) {
        RemoteQueryFacts facts;
        facts.SessionOpen = true;
        facts.TableLoaded = true;
        const QByteArray answer = plan.Fields.size() == 2
                                      ? LimitsAtFwhmReply(Table(), facts, plan.Fields[1])
                                      : LimitsReply(Table(), facts);
        FUZZ_CHECK(answer == "NONE" || !answer.contains('\r'));
    }
    if (plan.What != RemotePlan::SetGo) return;

    FUZZ_CHECK(plan.Fields.size() == 3);
    const SetValidationResult result =
        ValidateSetRequest(plan.SetMode, QString::fromLatin1(plan.Fields[1]),
                           QString::fromLatin1(plan.Fields[2]), Table());
    if (result.Ok) {
        // An accepted request names a grid point the filter can move to.
        int row = -1;
        int col = -1;
        FUZZ_CHECK(Table().FindCell(result.SetRequest[0], result.SetRequest[1], row, col));
        FUZZ_CHECK(Table().Cell(row, col).Valid);
    } else {
        const int first = plan.SetMode == 0 ? 1 : 11;
        FUZZ_CHECK(IsCode(result.Code, "ERRSE", first, first + 9));
        FUZZ_CHECK(!result.RemoteText().isEmpty());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0) return 0;
    const bool scanRunning = (data[0] & 1) != 0;
    const int activeTab = (data[0] >> 1) % 3;

    RemoteLineBuffer buffer;
    // A byte-at-a-time model of the framing: the complete lines not taken yet (none is ever
    // dropped), the line not yet ended (its newest Capacity bytes), and whether an LF arriving
    // next still belongs to the CR that ended the last line.
    QList<QByteArray> expectedLines;
    QByteArray expected;
    bool lfPending = false;
    std::size_t i = 1;
    while (i < size) {
        const std::size_t n = data[i++];
        if (n == 0) {
            buffer.Clear();
            expectedLines.clear();
            expected.clear();
            lfPending = false;
            FUZZ_CHECK(buffer.Length() == 0 && buffer.CompleteLines() == 0);
            continue;
        }
        const std::size_t take = std::min(n, size - i);
        const QByteArray arrival(reinterpret_cast<const char*>(data + i), qsizetype(take));
        i += take;
        buffer.Append(arrival);
        for (const char c : arrival) {
            const bool joinsCr = lfPending && c == '\n';
            lfPending = false;
            if (joinsCr) continue;
            if (c == '\r' || c == '\n') {
                expectedLines.append(expected.right(RemoteLineBuffer::Capacity - 1));
                expected.clear();
                lfPending = c == '\r';
            } else {
                expected.append(c);
                if (expected.size() > RemoteLineBuffer::Capacity) expected.remove(0, 1);
            }
        }
        FUZZ_CHECK(buffer.Length() <= RemoteLineBuffer::Capacity);
        FUZZ_CHECK(buffer.Data() == expected);
        FUZZ_CHECK(buffer.CompleteLines() == expectedLines.size());

        QByteArray line;
        while (buffer.TakeLine(line)) {
            FUZZ_CHECK(!expectedLines.isEmpty() && line == expectedLines.takeFirst());
            FUZZ_CHECK(!line.contains('\r') && !line.contains('\n'));
            CheckPlan(line, scanRunning, activeTab);
        }
        FUZZ_CHECK(expectedLines.isEmpty());
        FUZZ_CHECK(!buffer.Data().contains('\r') && !buffer.Data().contains('\n'));
    }
    return 0;
}
