// Probes one port name as the program's search does and prints what it found: "present", or
// the reason the port cannot be used. Run by the tests as another user, to meet permissions.
//
//     probe-port COM3 /tmp/folder/ports/
#include "device/Unit_SerialPort.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: probe-port COMn PORTS_FOLDER\n");
        return 2;
    }
    const PortProbeResult probe =
        ProbePortDetailed(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]));
    const QString said = probe.Present ? QStringLiteral("present") : probe.Reason;
    std::printf("%s\n", said.toUtf8().constData());
    return 0;
}
