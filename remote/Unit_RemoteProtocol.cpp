#include "remote/Unit_RemoteProtocol.h"

#include "remote/Unit_RemoteQueries.h"

void RemoteLineBuffer::Clear() {
    Partial.fill('\0');
    Partial.clear();
    Lines.clear();
    LastEndedByCr = false;
}

void RemoteLineBuffer::Append(const QByteArray& bytes) {
    const char* data = bytes.constData();
    const qsizetype size = bytes.size();
    qsizetype at = 0;
    // The LF of a CR LF pair belongs to the line its CR ended, also when it arrives later.
    if (LastEndedByCr && size > 0) {
        LastEndedByCr = false;
        if (data[0] == '\n') at = 1;
    }
    while (at < size) {
        qsizetype end = at;
        while (end < size && data[end] != '\r' && data[end] != '\n')
            ++end;
        if (end == size) {
            // The line goes on: only its newest Capacity bytes are kept.
            const qsizetype n = size - at;
            if (n >= Capacity) {
                Partial = QByteArray(data + size - Capacity, Capacity);
            } else {
                if (Partial.size() + n > Capacity) Partial.remove(0, Partial.size() + n - Capacity);
                Partial.append(data + at, n);
            }
            return;
        }
        // A complete line: with its end it is at most Capacity bytes, the newest of the line.
        const qsizetype n = end - at;
        QByteArray line;
        if (n >= Capacity - 1) {
            line = QByteArray(data + end - (Capacity - 1), Capacity - 1);
        } else {
            const qsizetype keep = qMin(Partial.size(), Capacity - 1 - n);
            line = Partial.right(keep);
            line.append(data + at, n);
        }
        Partial.clear();
        Lines.append(line);
        at = end + 1;
        if (data[end] == '\r') {
            if (at < size && data[at] == '\n')
                ++at;
            else if (at == size)
                LastEndedByCr = true;
        }
    }
}

bool RemoteLineBuffer::PeekLine(QByteArray& line) const {
    if (Lines.isEmpty()) return false;
    line = Lines.first();
    return true;
}

bool RemoteLineBuffer::TakeLine(QByteArray& line) {
    if (Lines.isEmpty()) return false;
    line = Lines.takeFirst();
    return true;
}

namespace {

bool IsBlank(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}

// A byte that ends an unquoted field: NUL, a blank or the comma. Bytes above 127 belong to the
// field.
bool EndsField(char c) {
    return static_cast<unsigned char>(c) <= 32 || c == ',';
}

} // namespace

QList<QByteArray> SplitCommaText(const QByteArray& line) {
    // Hand-written: QByteArray::split knows no quotes and no blank rules.
    const qsizetype nul = line.indexOf('\0');
    const QByteArray text = nul >= 0 ? line.left(nul) : line;
    const qsizetype size = text.size();
    QList<QByteArray> fields;
    qsizetype at = 0;
    while (at < size && IsBlank(text[at]))
        ++at;
    while (at < size) {
        QByteArray field;
        if (text[at] == '"') {
            ++at;
            while (at < size) {
                if (text[at] == '"') {
                    if (at + 1 < size && text[at + 1] == '"') {
                        field.append('"');
                        at += 2;
                        continue;
                    }
                    ++at; // the closing quote
                    break;
                }
                field.append(text[at++]);
            }
        } else {
            const qsizetype start = at;
            while (at < size && !EndsField(text[at]))
                ++at;
            field = text.mid(start, at - start);
        }
        fields.append(field);
        while (at < size && IsBlank(text[at]))
            ++at;
        if (at < size && text[at] == ',') {
            if (at + 1 == size) fields.append(QByteArray());
            ++at;
            while (at < size && IsBlank(text[at]))
                ++at;
        }
    }
    return fields;
}

RemoteCommand ParseRemoteCommand(const QList<QByteArray>& fields) {
    struct Entry {
        const char* Word;
        qsizetype Fields;
        RemoteCommand Command;
    };
    static const Entry kTable[] = {
        {"VER", 1, RemoteCommand::Ver},
        {"STATE", 1, RemoteCommand::State},
        {"ECODE", 1, RemoteCommand::ECode},
        {"ETEXT", 1, RemoteCommand::EText},
        {"ECLEAR", 1, RemoteCommand::EClear},
        {"RESET", 1, RemoteCommand::Reset},
        {"STOP", 1, RemoteCommand::Stop},
        {"SETC", 3, RemoteCommand::SetC},
        {"SETR", 3, RemoteCommand::SetR},
        {"SCAN", 6, RemoteCommand::Scan},
        {"PROGRESS", 1, RemoteCommand::Progress},
        {"BAND", 1, RemoteCommand::Band},
        {"SESSION", 1, RemoteCommand::Session},
        {"LIMITS", 1, RemoteCommand::Limits},
        {"LIMITS", 2, RemoteCommand::LimitsAtFwhm},
    };
    if (fields.isEmpty()) return RemoteCommand::Unknown;
    // CHECK names a set or scan request with its own fields.
    if (fields[0] == "CHECK")
        return IsCheckableRequest(fields.mid(1)) ? RemoteCommand::Check : RemoteCommand::Unknown;
    for (const Entry& entry : kTable)
        if (fields.size() == entry.Fields && fields[0] == entry.Word) return entry.Command;
    return RemoteCommand::Unknown;
}

RemotePlan PlanRemoteRequest(const QByteArray& request, bool scanRunning, int activeTab) {
    RemotePlan plan;
    if (request.isEmpty()) return plan;
    plan.Fields = SplitCommaText(request);
    const auto store = [&plan](const char* response, const char* code, const char* text) {
        plan.What = RemotePlan::Store;
        plan.Response = response;
        plan.Code = code;
        plan.Text = text;
    };
    const auto nowScanning = [&](const char* word) { store(word, "NONE", "Now Scanning."); };
    switch (ParseRemoteCommand(plan.Fields)) {
    case RemoteCommand::Unknown:
        store("UNKNOWN COMMAND", "NONE", "Unknown Command.");
        break;
    case RemoteCommand::Ver:
        store(kRemoteVersion, "", "");
        break;
    case RemoteCommand::State:
        store(scanRunning ? "SCAN" : "IDLE", "", "");
        break;
    case RemoteCommand::ECode:
        plan.What = RemotePlan::ReadCode;
        break;
    case RemoteCommand::EText:
        plan.What = RemotePlan::ReadText;
        break;
    case RemoteCommand::EClear:
        store("OK", "", "");
        break;
    case RemoteCommand::Reset:
        if (scanRunning) {
            nowScanning("RESET FAIL");
        } else if (activeTab == 1) {
            plan.What = RemotePlan::ScanReset;
        } else {
            plan.What = RemotePlan::SetReset;
            // On the Help tab the Set tab is shown for the reset.
            if (activeTab != 0) plan.SelectTab = 0;
        }
        break;
    case RemoteCommand::Stop:
        if (scanRunning) {
            plan.What = RemotePlan::ScanStop;
            plan.SelectTab = 1;
        } else {
            store("STOP FAIL", "NONE", "No Scan.");
        }
        break;
    case RemoteCommand::SetC:
    case RemoteCommand::SetR: {
        const bool edges = ParseRemoteCommand(plan.Fields) == RemoteCommand::SetR;
        if (scanRunning) {
            nowScanning(edges ? "SETR FAIL" : "SETC FAIL");
        } else {
            plan.What = RemotePlan::SetGo;
            plan.SelectTab = 0;
            plan.SetMode = edges ? 1 : 0;
        }
        break;
    }
    case RemoteCommand::Progress:
        plan.What = RemotePlan::ReadProgress;
        break;
    case RemoteCommand::Band:
        plan.What = RemotePlan::ReadBand;
        break;
    case RemoteCommand::Session:
        plan.What = RemotePlan::ReadSession;
        break;
    case RemoteCommand::Limits:
    case RemoteCommand::LimitsAtFwhm:
        plan.What = RemotePlan::ReadLimits;
        break;
    case RemoteCommand::Check:
        plan.What = RemotePlan::ReadCheck;
        break;
    case RemoteCommand::Scan:
        if (scanRunning) {
            nowScanning("SCAN FAIL");
        } else {
            plan.What = RemotePlan::ScanStart;
            plan.SelectTab = 1;
        }
        break;
    }
    return plan;
}
