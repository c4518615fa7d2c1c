#include "core/Unit_EventPump.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

namespace EventPump {

void PumpOnce() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void SleepAndPump(int ms) {
    if (ms <= 0) {
        PumpOnce();
        return;
    }
    QDeadlineTimer deadline(ms, Qt::PreciseTimer);
    // The timer only wakes the wait below at the deadline. processEvents is used instead of a
    // nested QEventLoop because an event loop refuses to run once the application is quitting,
    // which would turn every later sleep into a busy loop.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        if (!wake.isActive() && !deadline.hasExpired()) wake.start(int(deadline.remainingTime()));
    }
}

} // namespace EventPump
