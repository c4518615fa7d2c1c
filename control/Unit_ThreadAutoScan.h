#pragma once
// The scan worker: a thread that only keeps time. Every 100 ms it has the scan step run on the
// thread that owns the step (the GUI thread) and waits until it has returned, so two steps never
// overlap and the engine's fields need no locks: they are read and written by the step alone.
// While no scan is armed a step has nothing to do: the worker then sleeps until one is.
//
// The arithmetic of a step (is it due, where is the next point, the band around it) lives here
// as plain functions of the fields, so that it can be checked without a window.

#include <QElapsedTimer>
#include <QSemaphore>
#include <QThread>

#include <atomic>
#include <functional>

// The point after `current` on a scan from `start` to `end` in steps of `step`, on the 0.1 nm grid
// (the first point is `start` itself, rounded). Descending when start > end.
double NextScanCwl(bool first, double current, double start, double end, double step);
// True while `cwl` has not passed `end` in the scan's direction.
bool IsScanCwlWithin(double cwl, double start, double end);

// The number of points a scan from `start` to `end` in steps of `step` moves to, counted with the
// engine's own rounding (END is visited only when it lies on the STEP grid from START). A step
// that does not advance counts the one point at START.
qint32 CountScanPoints(double start, double end, double step);

// Seconds a scan still needs: `done` of `total` points moved, the last one started at
// `lastStartS` and the first at `firstStartS` (seconds since the scan began), `elapsedS` seconds
// gone now. The pace is the measured average once two points have run, TimeDelay before; the
// scan ends one pace after the start of its last point, which is held like the others.
double EstimateScanSecondsLeft(qint32 done, qint32 total, double elapsedS, double firstStartS,
                               double lastStartS, double timeDelay);

class TThread_AutoScan : public QThread {
    Q_OBJECT
public:
    // `step` runs on the thread of `context` at every poll. The worker starts at once.
    TThread_AutoScan(QObject* context, std::function<void()> step);
    // Ends the body (see StopAndWait) before the fields go.
    ~TThread_AutoScan() override;

    // Asks the body to end and wakes it from its sleep; does not wait. Safe from inside a step,
    // where waiting would wait for that very step.
    void Terminate();
    // Whether a scan is armed: only then are steps handed over. Arming wakes the worker.
    void SetArmed(bool armed);
    // Terminate, then wait for the body to end while serving events, so that a step the worker
    // is handing over meanwhile is delivered (a bare wait would deadlock on it).
    void StopAndWait();

    // The monotonic clock of the engine, in nanoseconds: whole milliseconds between two readings
    // are then never more than really passed.
    qint64 Now() const { return Clock.nsecsElapsed(); }

    // Takes the time of a poll: PollTime, DelayMs and ElapsedMs. True when a step is due: the
    // first of a scan always, the next ones once TimeDelay has passed since the last started.
    bool IsStepDue(qint64 now);
    // Moves CurrentCwl to the next point of the scan, on the 0.1 nm grid. False when that point
    // lies beyond End: the scan is complete.
    bool NextPoint();
    // StepFwhm, StepSw and StepLw for CurrentCwl.
    void ComputeBand();

    // ---- engine fields; touched on the step's thread only
    qint64 LastStepTime = 0; // start of the last step, ns on the monotonic clock
    qint64 PollTime = 0;     // the current poll, same clock
    qint32 DelayMs = 0;      // TimeDelay * 1000, truncated
    qint32 ElapsedMs = 0;    // whole ms from LastStepTime to PollTime
    double CurrentCwl = 0.0;
    double StepFwhm = 0.0;
    double StepSw = 0.0;
    double StepLw = 0.0;
    qint32 StepCount = 0; // steps whose move succeeded since the start
    double RangeMin = 0.0;
    double RangeMax = 0.0;
    double Start = 0.0;
    double End = 0.0;
    double Fwhm = 0.0;
    double Step = 0.0;
    double TimeDelay = 0.0;

protected:
    // The body (Execute): hand over a step, sleep 100 ms, until asked to end.
    void run() override;

private:
    QElapsedTimer Clock;
    QSemaphore Wake; // released to cut the sleep short when the body must end or a scan is armed
    std::atomic<bool> Armed{false};
    QObject* Context;
    std::function<void()> StepFn;
};
