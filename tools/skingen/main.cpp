// skingen: draws every skin picture of the program into the skin folder.
//   skingen <skin-folder>
// The fonts are read from <skin-folder>/fonts, so the pictures come out the same on any machine.

#include "Pictures.h"
#include "Style.h"

#include <QDir>
#include <QGuiApplication>
#include <QTextStream>

int main(int argc, char* argv[]) {
    // Nothing is shown on screen; this also lets the tool run on a build machine without a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    QTextStream out(stdout);

    const QStringList args = app.arguments();
    if (args.size() != 2) {
        err << "usage: skingen <skin-folder>\n";
        return 2;
    }
    const QDir folder(args.at(1));
    if (!folder.exists()) {
        err << "skingen: no such folder: " << folder.path() << "\n";
        return 2;
    }
    if (!skin::loadFonts(folder.absolutePath())) {
        err << "skingen: cannot load the Open Sans fonts from " << folder.filePath("fonts") << "\n";
        return 1;
    }

    // Every picture twice: at its own size, and drawn again at twice the size (not scaled up)
    // as name@2x.png, which the program shows on screens with a device pixel ratio of 2.
    for (const int ratio : {1, 2}) {
        skin::setScale(ratio);
        std::vector<skin::Picture> pictures;
        for (auto&& group : {skin::drawMainWindowPictures(), skin::drawSetPanelPictures(),
                             skin::drawScanPanelPictures(), skin::drawViewStripPictures()})
            pictures.insert(pictures.end(), group.begin(), group.end());
        pictures.push_back({"help_base.png", skin::drawHelpPage()});

        for (const skin::Picture& picture : pictures) {
            QString name = picture.name;
            if (ratio != 1) name.insert(name.lastIndexOf('.'), QString("@%1x").arg(ratio));
            // A picture made without canvas() would come out at 1x under a 2x name.
            if (picture.image.devicePixelRatio() != ratio) {
                err << "skingen: " << name << " was not drawn at ratio " << ratio << "\n";
                return 1;
            }
            // 24-bit RGB, as the program expects; PNG keeps it lossless.
            const QImage rgb = picture.image.convertToFormat(QImage::Format_RGB888);
            const QString path = folder.filePath(name);
            if (!rgb.save(path, "PNG")) {
                err << "skingen: cannot write " << path << "\n";
                return 1;
            }
            out << name << " " << rgb.width() << "x" << rgb.height() << "\n";
        }
    }
    return 0;
}
