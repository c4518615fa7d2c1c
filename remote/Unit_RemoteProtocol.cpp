#include "remote/Unit_RemoteProtocol.h"

void RemoteLineBuffer::Clear() {
    Bytes.fill('\0');
    Bytes.clear();
    SkipLineFeed = false;
}

void RemoteLineBuffer::Append(const QByteArray& bytes) {
    // Dropping the oldest bytes before and after appending keeps exactly the newest Capacity
    // bytes of everything received, however the data was cut into arrivals.
    // The LF of a CR LF pair that arrived after its CR belongs to the line already taken.
    if (SkipLineFeed && !bytes.isEmpty()) {
        SkipLineFeed = false;
        if (bytes.front() == '\n') {
            Append(bytes.mid(1));
            return;
        }
    }
    const qsizetype n = bytes.size();
    if (n >= Capacity) {
        Bytes = bytes.right(Capacity);
        return;
    }
    if (Bytes.size() + n > Capacity) Bytes.remove(0, Bytes.size() + n - Capacity);
    Bytes.append(bytes);
}

bool RemoteLineBuffer::TakeLine(QByteArray& line) {
    qsizetype end = 0;
    while (end < Bytes.size() && Bytes[end] != '\r' && Bytes[end] != '\n')
        ++end;
    if (end == Bytes.size()) return false;
    line = Bytes.left(end);
    qsizetype taken = end + 1;
    if (Bytes[end] == '\r') {
        if (taken < Bytes.size() && Bytes[taken] == '\n')
            ++taken;
        else if (taken == Bytes.size())
            SkipLineFeed = true;
    }
    Bytes.remove(0, taken);
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
        {"VER", 1, RemoteCommand::Ver},           {"STATE", 1, RemoteCommand::State},
        {"ECODE", 1, RemoteCommand::ECode},       {"ETEXT", 1, RemoteCommand::EText},
        {"ECLEAR", 1, RemoteCommand::EClear},     {"RESET", 1, RemoteCommand::Reset},
        {"STOP", 1, RemoteCommand::Stop},         {"SETC", 3, RemoteCommand::SetC},
        {"SETR", 3, RemoteCommand::SetR},         {"SCAN", 6, RemoteCommand::Scan},
        {"PROGRESS", 1, RemoteCommand::Progress}, {"BAND", 1, RemoteCommand::Band},
    };
    if (fields.isEmpty()) return RemoteCommand::Unknown;
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
