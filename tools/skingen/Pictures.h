#pragma once
// Every skin picture, drawn in memory. main() writes them out.

#include <QImage>
#include <QString>

#include <vector>

namespace skin {

struct Picture {
    QString name; // file name in the skin folder
    QImage image;
};

std::vector<Picture> drawMainWindowPictures();
std::vector<Picture> drawSetPanelPictures();
std::vector<Picture> drawScanPanelPictures();
std::vector<Picture> drawViewStripPictures();
QImage drawHelpPage(); // help_base.png

} // namespace skin
