// The counters model as a plain object: what an event adds to its input and to the period's sum, the operator's
// resets, and the whole state handed to a window of another process.

#include "core/recording/counters.h"

#include <QSignalSpy>
#include <QtTest>

class TestCounters : public QObject {
    Q_OBJECT
private slots:
    void periodIsInclusiveToTheMillisecond();
    void eventsCountPerInputAndForTheChosenOne();
    void stateCarriesEverythingAcross();
};

void TestCounters::periodIsInclusiveToTheMillisecond() {
    Counters counters;
    const QDateTime t(QDate(2026, 12, 6), QTime(13, 45, 7, 250));
    counters.setPeriod(t.addSecs(-60), t);
    QVERIFY(counters.inPeriod(t.addSecs(-60)));
    QVERIFY(counters.inPeriod(t));
    QVERIFY(!counters.inPeriod(t.addMSecs(1)));
    QVERIFY(!counters.inPeriod(t.addSecs(-60).addMSecs(-1)));
}

void TestCounters::eventsCountPerInputAndForTheChosenOne() {
    Counters counters;
    QSignalSpy changed(&counters, &Counters::changed);
    counters.setPeriodInput(9); // out of range: the last input
    QCOMPARE(counters.periodInput(), 7);
    counters.setPeriodInput(2);
    // A chunk's events are announced once; only the chosen input's events inside the period add to the sum.
    counters.countEvents({{2, true}, {2, false}, {3, true}, {2, true}});
    QCOMPARE(changed.size(), 1);
    QCOMPARE(counters.count(2), 3);
    QCOMPARE(counters.count(3), 1);
    QCOMPARE(counters.periodSum(), 2);
    // Resetting an input leaves the sum; resetting the sum leaves the inputs.
    counters.reset(2);
    QCOMPARE(counters.count(2), 0);
    QCOMPARE(counters.periodSum(), 2);
    counters.resetPeriodSum();
    QCOMPARE(counters.periodSum(), 0);
    QCOMPARE(counters.count(3), 1);
    QCOMPARE(changed.size(), 3);
}

void TestCounters::stateCarriesEverythingAcross() {
    Counters source;
    source.setPeriodInput(5);
    source.setPeriod(QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5)), QDateTime(QDate(2026, 1, 3), QTime(3, 4, 5)));
    source.countEvents({{5, true}, {1, false}});
    source.countFailure(4, QStringLiteral("No space left on device"));
    source.countFailure(4, QStringLiteral("Permission denied"));
    Counters copy;
    QSignalSpy changed(&copy, &Counters::changed);
    copy.setState(source.state());
    QCOMPARE(changed.size(), 1);
    QCOMPARE(copy.state(), source.state());
    QCOMPARE(copy.failedWrites(4), 2);
    QCOMPARE(copy.lastFailure(4), QStringLiteral("Permission denied"));
    QCOMPARE(copy.periodSum(), 1);
    // A list of another shape changes nothing.
    copy.setState({1, 2, 3});
    QCOMPARE(changed.size(), 1);
    QCOMPARE(copy.count(5), 1);
}

QTEST_GUILESS_MAIN(TestCounters)
#include "tst_counters.moc"
