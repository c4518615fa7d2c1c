#pragma once
// The program against its own stand-in instrument (--simulate): the simulator runs on a
// pseudo-terminal published as COM1 of a temporary program folder, which holds a settings file
// and the sample calibration table as the kept copy. The program works in that folder, so the
// real program folder (its settings, Cal/, Log/, Scans/ and ports/) is left as it was. Every
// other port name of the folder points nowhere: a simulated run never opens the machine's own
// serial devices, where a real instrument may be plugged in.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class TSimulatedLab {
public:
    TSimulatedLab();
    // Ends the simulator and removes the folder with everything the run wrote into it.
    ~TSimulatedLab();
    TSimulatedLab(const TSimulatedLab&) = delete;
    TSimulatedLab& operator=(const TSimulatedLab&) = delete;

    // Makes the folder (settings with the given remote control port, the kept copy, the port
    // links) and starts `simulatorProgram`, waiting until it has published its port. False, with
    // Failure() telling why, when any of it fails.
    bool Start(const QString& simulatorProgram, quint16 remotePort);

    // The temporary program folder, with a trailing '/'.
    QString Folder() const;
    QString Failure() const { return Why; }

    // The name the simulator is published under.
    static constexpr const char* PortName = "COM1";

private:
    bool PrepareFolder(quint16 remotePort);

    QTemporaryDir Dir;
    QProcess Simulator;
    QString Why;
    bool Stopping = false;
};
