#pragma once
// The skin's fonts: Open Sans travels in the resources so the look does not depend on the
// machine, and "Tahoma" falls back to it.

#include <QFont>

namespace Skin {

// Registers the embedded fonts once; later calls do nothing.
void LoadFonts();

// Open Sans at a pixel size.
QFont Font(int pixelSize, QFont::Weight weight = QFont::Normal);

// The largest pixel size, from `largest` down to `smallest`, at which `text` in Open Sans fits
// into `width` pixels; `smallest` when none does.
int FittingPixelSize(const QString& text, int width, int largest, int smallest);

} // namespace Skin
