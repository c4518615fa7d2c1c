#pragma once
// Runs the built vr-remote to its end against a program on a local port, for the end-to-end
// tests (VR_BIN_DIR is the build's program folder).

#include <QProcess>
#include <QString>
#include <QStringList>

struct VrRemoteRun {
    // The exit status; -1 when it crashed or did not end within two minutes.
    int Status = -1;
    QString Out, Err;
};

inline VrRemoteRun RunVrRemote(quint16 port, const QStringList& args) {
    QProcess process;
    process.start(QStringLiteral(VR_BIN_DIR "/vr-remote"),
                  QStringList{"--port", QString::number(port)} + args);
    VrRemoteRun run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.Status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.Out = QString::fromUtf8(process.readAllStandardOutput());
    run.Err = QString::fromUtf8(process.readAllStandardError());
    return run;
}
