// Runs a fuzz target's entry point once on every file of the folders (or files) given, without
// libFuzzer: the normal build replays the committed corpus this way, so an input that once
// crashed a parser fails the test suite if the fault comes back.

#include "fuzz/FuzzCheck.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char** argv) {
    QStringList files;
    for (int i = 1; i < argc; ++i) {
        const QString path = QString::fromLocal8Bit(argv[i]);
        if (QFileInfo(path).isDir()) {
            QDirIterator it(path, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext())
                files.append(it.next());
        } else {
            files.append(path);
        }
    }
    files.sort();
    // An empty or missing corpus would pass without testing anything.
    if (files.isEmpty()) {
        std::fprintf(stderr, "no input files\n");
        return 2;
    }
    for (const QString& path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
            return 2;
        }
        const QByteArray bytes = file.readAll();
        std::fprintf(stderr, "%s (%lld bytes)\n", qPrintable(path),
                     static_cast<long long>(bytes.size()));
        LLVMFuzzerTestOneInput(reinterpret_cast<const unsigned char*>(bytes.constData()),
                               static_cast<std::size_t>(bytes.size()));
    }
    std::fprintf(stderr, "%lld inputs replayed\n", static_cast<long long>(files.size()));
    return 0;
}
