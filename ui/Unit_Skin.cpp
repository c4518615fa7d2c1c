#include "ui/Unit_Skin.h"

#include <QFontDatabase>
#include <QFontMetrics>

namespace Skin {

void LoadFonts() {
    static bool loaded = false;
    if (loaded) return;
    loaded = true;
    for (const char* file : {"OpenSans-Regular.ttf", "OpenSans-Semibold.ttf", "OpenSans-Bold.ttf"})
        QFontDatabase::addApplicationFont(QStringLiteral(":/skin/fonts/") + QLatin1String(file));
    QFont::insertSubstitution(QStringLiteral("Tahoma"), QStringLiteral("Open Sans"));
}

QFont Font(int pixelSize, QFont::Weight weight) {
    LoadFonts();
    QFont font(QStringLiteral("Open Sans"));
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

int FittingPixelSize(const QString& text, int width, int largest, int smallest) {
    for (int size = largest; size > smallest; --size)
        if (QFontMetrics(Font(size)).horizontalAdvance(text) <= width) return size;
    return smallest;
}

} // namespace Skin
