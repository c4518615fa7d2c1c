#pragma once
// Calibration files built in memory for the tests.

#include <QList>
#include <QString>
#include <QStringList>

namespace CalFixture {

inline const QString kModel = QStringLiteral("F123");
inline const QString kSerial = QStringLiteral("ABCD12345678");

// The small file of the import description: FWHM 10 and 20, CWL 400.0 to 401.0, one grid point
// (400.5, 20) missing.
inline QStringList ExampleLines() {
    return {
        QStringLiteral("Model,F123"),
        QStringLiteral("Serial,-,ABCD12345678"),
        QStringLiteral("calibrated 2018-03-15"),
        QStringLiteral("COLUMN,2"),
        QStringLiteral("ROW,3"),
        QStringLiteral(",,10,20"),
        QStringLiteral("1,400.0,1200:3400:500,1250:3380:520"),
        QStringLiteral("2,400.5,1210:3390:505,x"),
        QStringLiteral("3,401.0,1220:3380:510,1270:3360:530"),
    };
}

// "400.5" for 4005 tenths of a nanometre.
inline QString Tenths(int tenths) {
    return QStringLiteral("%1.%2").arg(tenths / 10).arg(tenths % 10);
}

// A file with CWL rows from firstTenths to lastTenths (tenths of a nm) every stepTenths and the
// given whole-nm FWHM columns; a grid point exists where the band stays inside the CWL range.
inline QStringList GridLines(int firstTenths, int lastTenths, int stepTenths,
                             const QList<int>& fwhms) {
    QStringList lines{QStringLiteral("Model,") + kModel, QStringLiteral("Serial,-,") + kSerial,
                      QStringLiteral("grid")};
    QStringList header{QString(), QString()};
    for (int f : fwhms)
        header << QString::number(f);
    QStringList rows;
    int r = 0;
    for (int t = firstTenths; t <= lastTenths; t += stepTenths) {
        ++r;
        QStringList fields{QString::number(r), Tenths(t)};
        for (int c = 0; c < fwhms.size(); ++c) {
            const int half = fwhms[c] * 5;
            if (t - half < firstTenths || t + half > lastTenths)
                fields << QStringLiteral("x");
            else
                fields << QStringLiteral("%1:%2:%3").arg(r).arg(c + 1).arg(t % 6000);
        }
        rows << fields.join(QLatin1Char(','));
    }
    lines << QStringLiteral("COLUMN,%1").arg(fwhms.size()) << QStringLiteral("ROW,%1").arg(r)
          << header.join(QLatin1Char(',')) << rows;
    return lines;
}

} // namespace CalFixture
