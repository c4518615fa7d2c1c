#pragma once
// The read-only queries a client asks before it acts: what the session is doing (SESSION), the
// loaded table's range (LIMITS), and whether a set or scan request would be accepted (CHECK).
// They answer from what the program holds: no serial exchange, nothing stored, nothing shown.

#include "caldata/Unit_CalibrationTable.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What the session is doing, as SESSION answers it.
struct SessionState {
    enum Kind {
        Searching, // no instrument; the search runs
        Opening,   // found: the pause, the reads and the homing of the session's start
        Ready,     // idle, a move would be accepted
        Busy,      // an operation holds the instrument
        Scanning,  // a scan runs
        Unusable,  // connected, but the information or the calibration table could not be read
    };
    Kind Phase = Searching;
    QByteArray Code; // the failed read's code, for Unusable
};

// "SEARCHING", "OPENING", "READY", "BUSY", "SCANNING" or "UNUSABLE,<code>".
QByteArray SessionReply(const SessionState& state);

// What CHECK and LIMITS need to know besides the table.
struct RemoteQueryFacts {
    bool SessionOpen = false; // an instrument session is open
    bool TableLoaded = false; // ... and its calibration table is loaded
    bool Scanning = false;
    // The message-bar line of the read that made the session unusable ("ERRDV10 : ..."), empty
    // for a usable session.
    QString ReadFailure;
};

// "cwl_min,cwl_max,cwl_step,fwhm_min,fwhm_max", or "NONE" without a table.
QByteArray LimitsReply(const CalibrationLookups& table, const RemoteQueryFacts& facts);
// "cwl_min,cwl_max" that a band of the FWHM in `fwhmText` may take, or "NONE" when that FWHM is
// not a column of the table or there is no table.
QByteArray LimitsAtFwhmReply(const CalibrationLookups& table, const RemoteQueryFacts& facts,
                             const QByteArray& fwhmText);

// The request a CHECK names, from the fields after the word CHECK: SETC or SETR with two values,
// SCAN with five. False for anything else.
bool IsCheckableRequest(const QList<QByteArray>& request);
// "OK", or "<code>,<text>" with the code and 8-bit text that the request itself would store when
// refused: the set and scan rules, a running scan, no session, a session that is not usable.
QByteArray CheckReply(const QList<QByteArray>& request, const CalibrationLookups& table,
                      const RemoteQueryFacts& facts);
