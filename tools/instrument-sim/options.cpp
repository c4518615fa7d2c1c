#include "options.h"

#include <QList>

#include <string_view>

namespace sim {

namespace {

const char kHelp[] = R"(Usage: instrument-sim [OPTIONS]

Simulates the tunable band-pass filter on a pseudo-terminal: three motor axes (0..6000 steps)
that take time to travel, and the instrument's line protocol (commands and answers are ASCII
lines ended by one CR):
  ?             -> identification (Kravo FM Ver1.0)
  HOME 3        -> G, after the homing time; the axes are then at 0 0 0
  POS 3         -> POS 3 p1 p2 p3
  GO 3 a b c    -> GO 3 a b c once the slowest axis has arrived (ERR when invalid)
  INFO n        -> INFO n value (n 0..4: model, serial, range, version, maker)
  BKEN x        -> BKEN x (x 0 or 1)
  anything else -> ERR
Commands are handled one at a time in the order received; bytes that arrive during a move are
kept and handled afterwards. A stray LF is ignored.

Connecting the program: it looks for <program folder>/ports/COMn before any system device,
so publishing the simulator as COM1 of a program in build/bin is
  instrument-sim --link build/bin/ports/COM1

Output (stdout, one line each, flushed):
  ready <link path or -> <device path>
  exchange "<command>" -> "<answer as sent>"    (\r \n \xHH escaped; a quote is \x22)
  exchange "<command>" -> (silent)
  exchange "<command>" -> (hangup)
  received "<command>" at <ms>                  (with --report-received; monotonic clock)
  # <diagnostic>

Link and instrument:
  --link PATH         publish the device as the symbolic link PATH (an existing link is
                      replaced, missing folders are created, the link is removed on exit)
  --id TEXT           identification (default "Kravo FM Ver1.0"; a wrong or short one is a fault)
  --info N=VALUE      value of INFO N (defaults 0 F123, 1 ABCD12345678, 2 400.0-800.0,
                      3 V1.00, 4 QVL); may be given for several N
  --home-ms N         homing time in ms (default 2000)
  --speed N           axis speed in steps per second (default 20000)
  --start-pos A,B,C   initial axis positions (default 0,0,0)
  --go-ms N           every valid GO takes N ms, however far the axes go
  --report-received   print a received line as each command arrives, before its answer

Faults:
  --noise TEXT        send TEXT before every answer
  --lone-cr           send a lone CR before every answer
  --crlf              end answers with CR LF instead of CR
  --delay MS          wait MS more before every answer
  --silent            never answer
  --silent-after N    answer the first N commands, then stay silent
  --hangup-after N    after N answered commands, close the line when the next command
                      arrives, remove the link and exit with status 0
  --home-answer TEXT  answer TEXT to HOME instead of G
  --pos-answer TEXT   answer TEXT to POS instead of the positions (e.g. "POS 3 10 -1 30")
  --go-answer TEXT    answer TEXT to a valid GO instead of the positions (the axes still move)
  --go-fail N         answer ERR to the Nth GO command (counting from 1); the axes stay
  --info-answer N=TEXT  answer TEXT to INFO N instead of "INFO N value"
  --bken-invert       answer the other BKEN state than the one requested
  --chatter TEXT      send TEXT unsolicited, between exchanges ...
  --chatter-ms N      ... every N ms (default 1000)
TEXT accepts the escapes \r \n \t \\ \" and \xHH. Options also take the form --name=VALUE.

Control on stdin, one command a line (end of input is ignored; the simulator keeps running):
  silent on | silent off   stop or resume answering
  hangup                   close the line now, remove the link and exit with status 0
  id TEXT                  change the identification
  quit                     remove the link and exit with status 0

SIGINT, SIGTERM and SIGHUP remove the link and exit with status 0.
  -h, --help          show this text
)";

bool ParseInt(std::string_view text, int min, int max, int& out) {
    if (text.empty() || text.size() > 9) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < min || value > max) return false;
    out = value;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "N=TEXT" with N from 0 to 4.
bool SplitIndexed(const QByteArray& arg, int& index, QByteArray& text) {
    const int eq = arg.indexOf('=');
    if (eq < 0 || !ParseInt(std::string_view(arg.constData(), eq), 0, 4, index)) return false;
    text = arg.mid(eq + 1);
    return true;
}

} // namespace

const char* HelpText() {
    return kHelp;
}

std::optional<QByteArray> Unescape(const QByteArray& text) {
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= text.size()) return std::nullopt;
        switch (text[i]) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case '\\':
            out += '\\';
            break;
        case '"':
            out += '"';
            break;
        case 'x': {
            if (i + 2 >= text.size()) return std::nullopt;
            const int hi = HexDigit(text[i + 1]);
            const int lo = HexDigit(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out += char(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

QByteArray Escape(const QByteArray& bytes) {
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\\\";
        else if (c >= 0x20 && c < 0x7F && c != '"')
            out += char(c);
        else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

ParseResult ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::optional<std::string> inlineValue;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "-h" || name == "--help") return ParseResult::Help;

        const auto flag = [&](bool& target) {
            if (inlineValue) {
                error = name + " takes no value";
                return false;
            }
            target = true;
            return true;
        };
        // The option's value, from "--name=value" or the next argument.
        const auto value = [&](QByteArray& out) {
            if (inlineValue) {
                out = QByteArray::fromStdString(*inlineValue);
                return true;
            }
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        const auto text = [&](QByteArray& out) {
            QByteArray raw;
            if (!value(raw)) return false;
            const auto decoded = Unescape(raw);
            if (!decoded) {
                error = name + ": malformed escape in \"" + raw.toStdString() + '"';
                return false;
            }
            out = *decoded;
            return true;
        };
        const auto optionalText = [&](std::optional<QByteArray>& out) {
            QByteArray t;
            if (!text(t)) return false;
            out = t;
            return true;
        };
        const auto number = [&](int min, int max, int& out) {
            QByteArray raw;
            if (!value(raw)) return false;
            if (!ParseInt(raw.toStdString(), min, max, out)) {
                error = name + ": expected a whole number from " + std::to_string(min) + " to " +
                        std::to_string(max) + ", got \"" + raw.toStdString() + '"';
                return false;
            }
            return true;
        };
        const auto indexed = [&](auto& table) {
            QByteArray raw, t;
            int n = 0;
            if (!value(raw)) return false;
            if (!SplitIndexed(raw, n, t)) {
                error = name + ": expected N=TEXT with N from 0 to 4";
                return false;
            }
            const auto decoded = Unescape(t);
            if (!decoded) {
                error = name + ": malformed escape";
                return false;
            }
            table[n] = *decoded;
            return true;
        };

        bool ok = false;
        if (name == "--link") {
            ok = value(o.linkPath);
            if (ok && o.linkPath.isEmpty()) {
                error = "--link needs a path";
                ok = false;
            }
        } else if (name == "--id")
            ok = text(o.id);
        else if (name == "--info")
            ok = indexed(o.info);
        else if (name == "--info-answer")
            ok = indexed(o.infoAnswer);
        else if (name == "--home-answer")
            ok = optionalText(o.homeAnswer);
        else if (name == "--pos-answer")
            ok = optionalText(o.posAnswer);
        else if (name == "--go-answer")
            ok = optionalText(o.goAnswer);
        else if (name == "--home-ms")
            ok = number(0, 600000, o.homeMs);
        else if (name == "--speed")
            ok = number(1, 100000000, o.speed);
        else if (name == "--go-ms")
            ok = number(0, 600000, o.goMs);
        else if (name == "--go-fail")
            ok = number(1, 100000000, o.goFail);
        else if (name == "--delay")
            ok = number(0, 600000, o.delayMs);
        else if (name == "--noise")
            ok = text(o.noise);
        else if (name == "--lone-cr")
            ok = flag(o.loneCr);
        else if (name == "--crlf")
            ok = flag(o.crlf);
        else if (name == "--silent")
            ok = flag(o.silent);
        else if (name == "--silent-after")
            ok = number(0, 100000000, o.silentAfter);
        else if (name == "--hangup-after")
            ok = number(0, 100000000, o.hangupAfter);
        else if (name == "--bken-invert")
            ok = flag(o.bkenInvert);
        else if (name == "--report-received")
            ok = flag(o.reportReceived);
        else if (name == "--chatter")
            ok = text(o.chatter);
        else if (name == "--chatter-ms")
            ok = number(1, 3600000, o.chatterMs);
        else if (name == "--start-pos") {
            QByteArray raw;
            ok = value(raw);
            const QList<QByteArray> parts = raw.split(',');
            ok = ok && parts.size() == 3;
            for (int a = 0; ok && a < 3; ++a)
                ok = ParseInt(parts[a].toStdString(), 0, 6000, o.startPos[a]);
            if (!ok && error.empty()) error = "--start-pos: expected A,B,C, each from 0 to 6000";
        } else {
            error = "unknown option " + name;
        }
        if (!ok) return ParseResult::Error;
    }
    return ParseResult::Run;
}

} // namespace sim
