// Command-line options of the instrument simulator and the byte escapes used by its texts.
#pragma once

#include <QByteArray>

#include <array>
#include <optional>
#include <string>

namespace sim {

struct Options {
    QByteArray linkPath; // empty: no link, only the device path is published
    QByteArray id = "Kravo FM Ver1.0";
    std::array<QByteArray, 5> info{"F123", "ABCD12345678", "400.0-800.0", "V1.00", "QVL"};
    std::array<std::optional<QByteArray>, 5> infoAnswer; // verbatim answers to INFO n
    std::optional<QByteArray> homeAnswer, posAnswer, goAnswer;
    int homeMs = 2000;
    int speed = 20000; // steps per second, each axis
    int goMs = -1;     // -1: a move takes the time its longest axis needs
    int goFail = -1;   // -1: never; N: the Nth GO (from 1) is answered ERR and moves nothing
    int delayMs = 0;
    std::array<int, 3> startPos{0, 0, 0};
    QByteArray noise;
    bool loneCr = false;
    bool crlf = false;
    bool silent = false;
    int silentAfter = -1; // -1: never
    int hangupAfter = -1; // -1: never
    bool bkenInvert = false;
    bool reportReceived = false; // print a line when a command arrives, before it is handled
    QByteArray chatter;
    int chatterMs = 1000;
};

enum class ParseResult { Run, Help, Error };

// Fills `options` from the arguments; on Error, `error` says why.
ParseResult ParseOptions(int argc, char** argv, Options& options, std::string& error);

const char* HelpText();

// C escapes \r \n \t \\ \" \xHH into bytes; nullopt when an escape is malformed.
std::optional<QByteArray> Unescape(const QByteArray& text);

// Bytes into printable text: \r, \n, \t, \\, \x22 for a double quote, \xHH for the rest.
QByteArray Escape(const QByteArray& bytes);

} // namespace sim
