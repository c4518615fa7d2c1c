#include "control/Unit_ThreadAutoScan.h"

#include "core/Unit_Numbers.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {
constexpr int kPollMs = 100;
constexpr qint32 kMaxCountedPoints = 10000000;
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

void TThread_AutoScan::SetArmed(bool armed) {
    Armed.store(armed);
    if (armed) Wake.release();
}

void TThread_AutoScan::StopAndWait() {
    Terminate();
    while (!wait(10))
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TThread_AutoScan::run() {
    LastStepTime = Now();
    while (!isInterruptionRequested()) {
        // Idle: no hand-over and no polling until a scan is armed or the body must end.
        if (!Armed.load()) {
            Wake.acquire();
            continue;
        }
        // Blocks until the step has returned on the context's thread. False only when the
        // hand-over cannot be made at all; the body ends then.
        if (!QMetaObject::invokeMethod(Context, StepFn, Qt::BlockingQueuedConnection)) break;
        // Cut short by an end (seen above) or by an arming, which only brings the poll forward.
        Wake.tryAcquire(1, kPollMs);
    }
}

bool TThread_AutoScan::IsStepDue(qint64 now) {
    PollTime = now;
    DelayMs = qint32(std::trunc(TimeDelay * 1000.0));
    ElapsedMs = qint32(std::min<qint64>(std::llabs(PollTime - LastStepTime) / 1000000, INT32_MAX));
    return StepCount == 0 || ElapsedMs >= DelayMs;
}

double NextScanCwl(bool first, double current, double start, double end, double step) {
    if (first) return Numbers::RoundTo(start, 1);
    if (start > end) return Numbers::RoundToExtended(static_cast<long double>(current) - step, 1);
    return Numbers::RoundToExtended(static_cast<long double>(current) + step, 1);
}

bool IsScanCwlWithin(double cwl, double start, double end) {
    return start > end ? cwl >= end : cwl <= end;
}

qint32 CountScanPoints(double start, double end, double step) {
    double cwl = NextScanCwl(true, 0.0, start, end, step);
    if (!IsScanCwlWithin(cwl, start, end)) return 0;
    qint32 count = 1;
    // A validated scan has at most one point per table row; the bound only keeps a nonsense
    // request from holding the GUI thread.
    while (count < kMaxCountedPoints) {
        const double next = NextScanCwl(false, cwl, start, end, step);
        // A step lost in the rounding would visit the same point for ever.
        if (next == cwl || !IsScanCwlWithin(next, start, end)) return count;
        cwl = next;
        ++count;
    }
    return count;
}

double EstimateScanSecondsLeft(qint32 done, qint32 total, double elapsedS, double firstStartS,
                               double lastStartS, double timeDelay) {
    if (total <= 0) return 0.0;
    if (done <= 0) return total * timeDelay;
    const double pace = done >= 2 ? (lastStartS - firstStartS) / (done - 1) : timeDelay;
    const double end = lastStartS + (total - std::min(done, total) + 1) * std::max(pace, 0.0);
    return std::max(end - elapsedS, 0.0);
}

bool TThread_AutoScan::NextPoint() {
    CurrentCwl = NextScanCwl(StepCount == 0, CurrentCwl, Start, End, Step);
    return IsScanCwlWithin(CurrentCwl, Start, End);
}

void TThread_AutoScan::ComputeBand() {
    StepFwhm = Numbers::RoundTo(Fwhm, 1);
    StepSw = Numbers::RoundToExtended(static_cast<long double>(CurrentCwl) - StepFwhm * 0.5L, 2);
    StepLw = Numbers::RoundToExtended(StepFwhm * 0.5L + CurrentCwl, 2);
}
