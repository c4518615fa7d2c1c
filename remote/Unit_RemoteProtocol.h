#pragma once
// The remote control line protocol without sockets: the receive buffer with its framing, the
// splitting of a request line into fields, and the decision what a request does.
//
// A request is the bytes up to a carriage return or a line feed (CR LF is one line end, also when
// the LF arrives later); a response is one line ended by a carriage return. Everything is 8-bit
// text.

#include <QByteArray>
#include <QList>

// The bytes received from the controlling client, as complete request lines in the order they
// came and the bytes of the line not yet ended. Complete lines are never dropped: the reader
// bounds them by not reading on while many wait (CompleteLines). The line not yet ended never
// holds more than Capacity bytes: when more arrive, its oldest bytes are dropped, and a line
// taken out holds at most the newest Capacity - 1 bytes before its end.
class RemoteLineBuffer {
public:
    static constexpr qsizetype Capacity = 1024;

    void Clear();
    void Append(const QByteArray& bytes);
    // Takes the oldest complete line, without its end (CR, LF or CR LF). False when none waits.
    bool TakeLine(QByteArray& line);
    // The oldest complete line, left in the buffer. False when none waits.
    bool PeekLine(QByteArray& line) const;
    qsizetype CompleteLines() const { return Lines.size(); }
    // The bytes of the line not yet ended.
    qsizetype Length() const { return Partial.size(); }
    const QByteArray& Data() const { return Partial; }

private:
    QList<QByteArray> Lines;
    QByteArray Partial;
    // The last line ended with a CR at the end of an arrival: an LF arriving next completes it.
    bool LastEndedByCr = false;
};

// Splits a request line into fields by comma-text rules: leading characters 1..32 are skipped;
// a field ends at a comma or a character 0..32; blanks after a field, and a comma with the
// blanks after it, are skipped; two commas in a row give an empty field and a comma at the very
// end adds an empty last field; a field that begins with a double quote runs to the closing
// quote ("" inside stands for one) and may hold commas and blanks. A NUL ends the line.
QList<QByteArray> SplitCommaText(const QByteArray& line);

enum class RemoteCommand {
    Unknown,
    Ver,
    State,
    ECode,
    EText,
    EClear,
    Reset,
    Stop,
    SetC,
    SetR,
    Scan,
    // Read-only additions: they answer from the program's state and store no result.
    Progress,
    Band,
    Session,
    Limits,
    LimitsAtFwhm,
    Check
};

// The command word (exact, case-sensitive) with its exact number of fields; anything else is
// Unknown.
RemoteCommand ParseRemoteCommand(const QList<QByteArray>& fields);

// What processing a request does, decided from the command, whether a scan runs and the shown
// tab. The main window carries it out.
struct RemotePlan {
    enum Kind {
        None,      // the line is empty: the response is what the store holds
        Store,     // store (Response, Code, Text)
        ReadCode,  // response := the stored error code; code and text stay
        ReadText,  // response := the stored error text; code and text stay
        SetGo,     // fill the Set panel (SetMode, fields 1, 2) and run its remote set
        SetReset,  // the Set panel's remote reset
        ScanReset, // the Scan panel's remote reset
        ScanStart, // fill the Scan panel (fields 1..5), store "SCAN OK", its remote scan
        ScanStop,  // the Scan panel's remote stop
        // Read-only: the answer goes to the client as it is, and the store (the response
        // waiting for the next empty line, the code and the text) is left as it was.
        ReadProgress, // "done,total,elapsed,remaining" of the current or last scan
        ReadBand,     // "cwl,fwhm,sw,lw" of the band last moved to, or "NONE"
        ReadSession,  // what the session is doing
        ReadLimits,   // the loaded table's range (Fields[1]: the FWHM, when given)
        ReadCheck,    // whether the request in Fields[1..] would be accepted
    };
    Kind What = None;
    int SelectTab = -1; // the tab shown first, -1 for none
    int SetMode = 0;    // 0: CWL + FWHM, 1: SW + LW
    QByteArray Response, Code, Text;
    QList<QByteArray> Fields; // the request's fields, as received
};

// An empty request does nothing; any other is split and planned.
RemotePlan PlanRemoteRequest(const QByteArray& request, bool scanRunning, int activeTab);

// The version text a VER request answers.
inline constexpr char kRemoteVersion[] = "QVL Rari v2.1";
