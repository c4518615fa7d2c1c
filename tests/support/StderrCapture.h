#pragma once
// What the code under test writes to stderr (file descriptor 2), while it lives.

#include <QByteArray>
#include <QTemporaryFile>
#include <cstdio>
#include <unistd.h>

class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        Saved = ::dup(2);
        if (File.open()) ::dup2(File.handle(), 2);
    }
    ~StderrCapture() { Restore(); }
    QByteArray Text() {
        Restore();
        File.seek(0);
        return File.readAll();
    }

private:
    void Restore() {
        if (Saved < 0) return;
        std::fflush(stderr);
        ::dup2(Saved, 2);
        ::close(Saved);
        Saved = -1;
    }
    QTemporaryFile File;
    int Saved = -1;
};
