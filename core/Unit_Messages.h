#pragma once
// The device and file error lines of the message bar, in one place. A failure line is the code,
// " : " and the text; the remote result store keeps code and text apart.

#include <QString>

namespace Messages {

enum DeviceError {
    ERRDV01 = 1,
    ERRDV02 = 2,
    ERRDV03 = 3,
    ERRDV04 = 4,
    ERRDV05 = 5,
    ERRDV06 = 6,
    ERRDV08 = 8,
    ERRDV09 = 9,
    ERRDV10 = 10,
    ERRDV20 = 20,
};

// "ERRDVnn".
inline QString Code(int number) {
    return QStringLiteral("ERRDV") + QString::number(number).rightJustified(2, u'0');
}

// The text without its code; ERRDV11..ERRDV19 share one text, followed by a tag.
inline QString Bare(int number) {
    switch (number) {
    case ERRDV01:
        return QStringLiteral("Device not found. Please connect QVL Rari.");
    case ERRDV02:
        return QStringLiteral("Communication error. Connection lost.");
    case ERRDV03:
        return QStringLiteral("Reset failure.");
    case ERRDV04:
        return QStringLiteral("Failed to change wavelength and FWHM.");
    case ERRDV05:
        return QStringLiteral("Scan failure.");
    case ERRDV06:
        return QStringLiteral("Device might be problem.");
    case ERRDV08:
        return QStringLiteral("Invalid calibration data file.");
    case ERRDV09:
        return QStringLiteral("Fail to copy calibration data file.");
    case ERRDV10:
        return QStringLiteral("No calibration data file.");
    default:
        return QStringLiteral("Calibration data file might be problem.");
    }
}

// The message-bar line: "ERRDVnn : text".
inline QString Text(int number) {
    return Code(number) + QStringLiteral(" : ") + Bare(number);
}

} // namespace Messages
