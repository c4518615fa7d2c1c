// The scan worker and the arithmetic of a step: which points a scan visits, the band around a
// point, when a step is due, and the hand-over of the step to the thread that owns it.
#include "control/Unit_ThreadAutoScan.h"

#include <QTest>
#include <cmath>

class TestScanEngine : public QObject {
    Q_OBJECT

    // The worker's fields without its thread running.
    struct Idle {
        QObject context;
        TThread_AutoScan worker{&context, [] {}};
        Idle() { worker.StopAndWait(); }
    };

private slots:
    void visitsTheGridPoints_data() {
        QTest::addColumn<double>("start");
        QTest::addColumn<double>("end");
        QTest::addColumn<double>("step");
        QTest::addColumn<QList<double>>("points");
        QTest::newRow("ascending, END reached")
            << 500.0 << 510.0 << 2.0 << QList<double>{500, 502, 504, 506, 508, 510};
        QTest::newRow("descending, END not reached")
            << 510.0 << 500.0 << 4.0 << QList<double>{510, 506, 502};
        QTest::newRow("single point") << 500.0 << 500.0 << 2.0 << QList<double>{500};
        QTest::newRow("single point, STEP 0") << 500.0 << 500.0 << 0.0 << QList<double>{500};
        // Every point is rounded to 0.1 nm, so sums of 0.1 never drift off the grid.
        QTest::newRow("tenths without drift")
            << 400.0 << 401.0 << 0.1 << QList<double>{400.0, 400.1, 400.2, 400.3, 400.4, 400.5,
                                                      400.6, 400.7, 400.8, 400.9, 401.0};
        QTest::newRow("descending tenths")
            << 400.3 << 400.0 << 0.1 << QList<double>{400.3, 400.2, 400.1, 400.0};
    }
    void visitsTheGridPoints() {
        QFETCH(double, start);
        QFETCH(double, end);
        QFETCH(double, step);
        QFETCH(QList<double>, points);
        Idle idle;
        TThread_AutoScan& w = idle.worker;
        w.Start = start;
        w.End = end;
        w.Step = step;
        w.StepCount = 0;
        QList<double> visited;
        // STEP 0 would never end: the list is bounded.
        while (visited.size() <= points.size() && w.NextPoint()) {
            visited.append(w.CurrentCwl);
            if (step == 0.0) break;
            ++w.StepCount;
        }
        QCOMPARE(visited, points); // exact comparison of every value
    }

    // The count is what the engine will visit: the same table run through NextPoint above and
    // counted here must agree, END off the STEP grid included.
    void countsThePointsItWillVisit_data() {
        QTest::addColumn<double>("start");
        QTest::addColumn<double>("end");
        QTest::addColumn<double>("step");
        QTest::addColumn<int>("count");
        QTest::newRow("ascending, END on the grid") << 500.0 << 510.0 << 2.0 << 6;
        QTest::newRow("descending, END on the grid") << 510.0 << 500.0 << 2.0 << 6;
        QTest::newRow("START = END") << 500.0 << 500.0 << 2.0 << 1;
        QTest::newRow("ascending, END off the grid") << 500.0 << 509.0 << 2.0 << 5;
        QTest::newRow("descending, END off the grid") << 510.0 << 500.0 << 4.0 << 3;
        QTest::newRow("STEP larger than the range") << 500.0 << 501.0 << 5.0 << 1;
        QTest::newRow("tenths without drift") << 400.0 << 800.0 << 0.1 << 4001;
        QTest::newRow("descending tenths") << 400.3 << 400.0 << 0.1 << 4;
        QTest::newRow("the table's whole range, 1000 rows") << 400.0 << 899.5 << 0.5 << 1000;
        QTest::newRow("STEP 0 stays at START") << 500.0 << 510.0 << 0.0 << 1;
    }
    void countsThePointsItWillVisit() {
        QFETCH(double, start);
        QFETCH(double, end);
        QFETCH(double, step);
        QFETCH(int, count);
        QCOMPARE(CountScanPoints(start, end, step), count);
        if (step == 0.0) return;
        Idle idle;
        TThread_AutoScan& w = idle.worker;
        w.Start = start;
        w.End = end;
        w.Step = step;
        w.StepCount = 0;
        int visited = 0;
        while (visited <= count && w.NextPoint()) {
            ++visited;
            ++w.StepCount;
        }
        QCOMPARE(visited, count);
    }

    void estimatesTheTimeLeft_data() {
        QTest::addColumn<int>("done");
        QTest::addColumn<int>("total");
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<double>("firstStart");
        QTest::addColumn<double>("lastStart");
        QTest::addColumn<double>("timeDelay");
        QTest::addColumn<double>("left");
        QTest::newRow("not started: every point at TimeDelay")
            << 0 << 51 << 0.0 << 0.0 << 0.0 << 1.0 << 51.0;
        QTest::newRow("one point: TimeDelay is the pace")
            << 1 << 6 << 0.5 << 0.0 << 0.0 << 2.0 << 11.5;
        // Steps start on the 100 ms poll grid after the move: the measured pace wins.
        QTest::newRow("measured pace slower than TimeDelay")
            << 11 << 51 << 12.1 << 0.0 << 12.0 << 1.0 << 1.2 * 41 - 0.1;
        QTest::newRow("last point held for one pace") << 6 << 6 << 5.5 << 0.0 << 5.0 << 1.0 << 0.5;
        QTest::newRow("late end never goes negative") << 6 << 6 << 9.0 << 0.0 << 5.0 << 1.0 << 0.0;
        QTest::newRow("single-point scan") << 1 << 1 << 0.2 << 0.0 << 0.0 << 600.0 << 599.8;
        QTest::newRow("nothing to scan") << 0 << 0 << 3.0 << 0.0 << 0.0 << 1.0 << 0.0;
    }
    void estimatesTheTimeLeft() {
        QFETCH(int, done);
        QFETCH(int, total);
        QFETCH(double, elapsed);
        QFETCH(double, firstStart);
        QFETCH(double, lastStart);
        QFETCH(double, timeDelay);
        QFETCH(double, left);
        const double got =
            EstimateScanSecondsLeft(done, total, elapsed, firstStart, lastStart, timeDelay);
        QVERIFY2(std::abs(got - left) < 1e-9, qPrintable(QString::number(got, 'g', 17)));
    }

    void bandAroundThePoint_data() {
        QTest::addColumn<double>("cwl");
        QTest::addColumn<double>("fwhm");
        QTest::addColumn<QList<double>>("band");
        QTest::newRow("whole") << 500.0 << 10.0 << QList<double>{10, 495, 505};
        QTest::newRow("tenths") << 500.1 << 5.0 << QList<double>{5, 497.6, 502.6};
        QTest::newRow("FWHM rounded to 0.1") << 600.0 << 3.04 << QList<double>{3, 598.5, 601.5};
    }
    void bandAroundThePoint() {
        QFETCH(double, cwl);
        QFETCH(double, fwhm);
        QFETCH(QList<double>, band);
        Idle idle;
        TThread_AutoScan& w = idle.worker;
        w.CurrentCwl = cwl;
        w.Fwhm = fwhm;
        w.ComputeBand();
        QCOMPARE((QList<double>{w.StepFwhm, w.StepSw, w.StepLw}), band);
    }

    void stepDueAfterTimeDelay_data() {
        QTest::addColumn<int>("stepCount");
        QTest::addColumn<double>("timeDelay");
        QTest::addColumn<qint64>("now");
        QTest::addColumn<bool>("due");
        QTest::addColumn<int>("elapsed");
        QTest::addColumn<int>("delayMs");
        // In nanoseconds; the last step started at 10 s.
        const qint64 ms = 1000000;
        QTest::newRow("first step never waits") << 0 << 600.0 << 10000 * ms << true << 0 << 600000;
        QTest::newRow("early") << 3 << 1.0 << 10999 * ms << false << 999 << 1000;
        // Whole milliseconds are counted only once they have passed.
        QTest::newRow("a fraction short") << 3 << 1.0 << 11000 * ms - 1 << false << 999 << 1000;
        QTest::newRow("on time") << 3 << 1.0 << 11000 * ms << true << 1000 << 1000;
        QTest::newRow("TimeDelay 0.1") << 3 << 0.1 << 10100 * ms << true << 100 << 100;
        // 0.3 x 1000 is a hair above 300 as doubles: truncated, it is still 300.
        QTest::newRow("TimeDelay 0.3 not yet") << 3 << 0.3 << 10299 * ms << false << 299 << 300;
        QTest::newRow("TimeDelay 600 not yet")
            << 3 << 600.0 << 609999 * ms << false << 599999 << 600000;
    }
    void stepDueAfterTimeDelay() {
        QFETCH(int, stepCount);
        QFETCH(double, timeDelay);
        QFETCH(qint64, now);
        QFETCH(bool, due);
        QFETCH(int, elapsed);
        QFETCH(int, delayMs);
        Idle idle;
        TThread_AutoScan& w = idle.worker;
        w.StepCount = stepCount;
        w.TimeDelay = timeDelay;
        w.LastStepTime = qint64(10000) * 1000000;
        QCOMPARE(w.IsStepDue(now), due);
        QCOMPARE(w.ElapsedMs, elapsed);
        QCOMPARE(w.DelayMs, delayMs);
        QCOMPARE(w.PollTime, now);
    }

    // Steps run on the thread that owns the context, one after the other, once a scan is armed
    // and until the worker is told to end; told from inside a step, it ends without another.
    // (An idle worker, never armed, ends when told: see Idle.)
    void handsStepsToTheContextThread() {
        QObject context;
        int steps = 0;
        bool onContextThread = true;
        TThread_AutoScan* self = nullptr;
        int endAfter = 3;
        TThread_AutoScan worker(&context, [&]() {
            onContextThread = onContextThread && QThread::currentThread() == context.thread();
            if (++steps == endAfter) self->Terminate();
        });
        self = &worker;
        worker.SetArmed(true);
        QTRY_VERIFY_WITH_TIMEOUT(worker.isFinished(), 10000);
        QCOMPARE(steps, endAfter);
        QVERIFY(onContextThread);
        worker.StopAndWait(); // harmless once ended
    }
};

QTEST_GUILESS_MAIN(TestScanEngine)
#include "tst_scanengine.moc"
