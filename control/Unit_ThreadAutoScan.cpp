#include "control/Unit_ThreadAutoScan.h"

#include "core/Unit_Numbers.h"

#include <QCoreApplication>
#include <cmath>
#include <cstdlib>

namespace {
constexpr int kPollMs = 100;
} // namespace

TThread_AutoScan::TThread_AutoScan(QObject* context, std::function<void()> step)
    : Context(context), StepFn(std::move(step)) {
    Clock.start();
    start(QThread::NormalPriority);
}

TThread_AutoScan::~TThread_AutoScan() {
    StopAndWait();
}

void TThread_AutoScan::Terminate() {
    requestInterruption();
    Wake.release();
}

void TThread_AutoScan::StopAndWait() {
    Terminate();
    while (!wait(10))
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TThread_AutoScan::run() {
    LastStepTime = Now();
    while (!isInterruptionRequested()) {
        // Blocks until the step has returned on the context's thread. False only when the
        // hand-over cannot be made at all; the body ends then.
        if (!QMetaObject::invokeMethod(Context, StepFn, Qt::BlockingQueuedConnection)) break;
        if (Wake.tryAcquire(1, kPollMs)) break;
    }
}

bool TThread_AutoScan::IsStepDue(qint64 now) {
    PollTime = now;
    DelayMs = qint32(std::trunc(TimeDelay * 1000.0));
    ElapsedMs = qint32(std::min<qint64>(std::llabs(PollTime - LastStepTime) / 1000000, INT32_MAX));
    return StepCount == 0 || ElapsedMs >= DelayMs;
}

bool TThread_AutoScan::NextPoint() {
    if (StepCount == 0)
        CurrentCwl = Numbers::RoundTo(Start, 1);
    else if (Start > End)
        CurrentCwl = Numbers::RoundToExtended(static_cast<long double>(CurrentCwl) - Step, 1);
    else
        CurrentCwl = Numbers::RoundToExtended(static_cast<long double>(CurrentCwl) + Step, 1);
    return Start > End ? CurrentCwl >= End : CurrentCwl <= End;
}

void TThread_AutoScan::ComputeBand() {
    StepFwhm = Numbers::RoundTo(Fwhm, 1);
    StepSw = Numbers::RoundToExtended(static_cast<long double>(CurrentCwl) - StepFwhm * 0.5L, 2);
    StepLw = Numbers::RoundToExtended(StepFwhm * 0.5L + CurrentCwl, 2);
}
