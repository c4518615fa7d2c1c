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
    int delayMs = 0;
    std::array<int, 3> startPos{0, 0, 0};
    QByteArray noise;
    bool loneCr = false;
    bool crlf = false;
    bool silent = false;
    int silentAfter = -1; // -1: never
    int hangupAfter = -1; // -1: never
    bool bkenInvert = false;
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
