#pragma once
// Runs one of the driver's commands by its log name, for tables of command cases.

#include "device/Unit_devicevuzaravarede.h"

#include <QList>
#include <QString>

// `op` is DEVICE, HOME, POS, GO, INFO or BKEN; `args` holds the command's arguments (GO three
// positions, INFO the number, BKEN 1 for on). Any other name runs nothing and gives false.
inline bool RunCommand(TDevice_VuzaRavarede& dev, const QString& op, const QList<int>& args) {
    if (op == "DEVICE") return dev.CommandDevice();
    if (op == "HOME") return dev.CommandHome();
    if (op == "POS") return dev.CommandPos();
    if (op == "GO") return dev.CommandGo(args.value(0), args.value(1), args.value(2));
    if (op == "INFO") return dev.CommandInfo(args.value(0));
    if (op == "BKEN") return dev.CommandBken(args.value(0) == 1);
    return false;
}
