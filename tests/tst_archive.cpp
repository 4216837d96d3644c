#include "core/archive/archive.h"
#include "core/archive/archiveindex.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <numeric>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace archive;

namespace {

const QString Csv = QStringLiteral("*.csv");

// The year the window would pass: the tests run as if it were 10 March 2026.
int currentYear() {
    return 2026;
}

void writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    f.write(content);
}

QByteArray eventLine(const QDate& d, const QTime& t) {
    return (d.toString(u"dd.MM.yy") + u';' + t.toString(u"HH:mm:ss") + QStringLiteral("\r\n")).toLatin1();
}

Period period(QDate from, QDate to, QTime fromTime, QTime toTime) {
    return {from, to, fromTime, toTime};
}

// Both scans over the same jobs: the sequential walk per job, and the threaded scan.
struct BothScans {
    std::unique_ptr<Tables> sequential = std::make_unique<Tables>();
    std::unique_ptr<Tables> parallel = std::make_unique<Tables>();
    ScanProgress progress;
    int days = 0;

    bool run(const Period& p, const QList<ScanJob>& jobs) {
        days = preparePeriodTables(*sequential, p);
        preparePeriodTables(*parallel, p);
        for (const ScanJob& job : jobs)
            scanEventDirectory(*sequential, p, job.directory, Csv, job.bit, currentYear());
        return scanInputs(*parallel, p, jobs, Csv, currentYear(), progress);
    }
};

bool sameCounts(const Tables& a, const Tables& b) {
    return a.dayCounts == b.dayCounts && a.hourCounts == b.hourCounts;
}

} // namespace

class TestArchive : public QObject {
    Q_OBJECT

private slots:

    void checksPeriod_data();
    void checksPeriod();
    void preparesTables();
    void parsesEventLine_data();
    void parsesEventLine();
    void handParsedDatesMatchQDate();
    void readEventFileNamesBadFile_data();
    void readEventFileNamesBadFile();
    void countsWithinDaysAndWindow();
    void dayWindowEnds_data();
    void dayWindowEnds();
    void sharedDirectoryCountsForEachInput();
    void missingDirectoriesAreSkipped();
    void badFileStopsScan();
    void parallelMatchesSequential();
    void cancelStopsScan();
    void symlinkedFoldersCountOnce();
    void unreadableFoldersAreLeftOutAndNamed();
    void indexGivesFullScanCounts();
    void damagedIndexIsRebuilt();
};

void TestArchive::checksPeriod_data() {
    QTest::addColumn<QDate>("from");
    QTest::addColumn<QDate>("to");
    QTest::addColumn<PeriodProblem>("problem");
    const QDate d(2026, 3, 1);
    QTest::newRow("one day") << d << d << PeriodProblem::None;
    QTest::newRow("to before from") << d << d.addDays(-1) << PeriodProblem::ToBeforeFrom;
    QTest::newRow("exactly the capacity") << d << d.addDays(MaxDays - 1) << PeriodProblem::None;
    QTest::newRow("one day too long") << d << d.addDays(MaxDays) << PeriodProblem::TooLong;
    QTest::newRow("no date") << QDate() << d << PeriodProblem::ToBeforeFrom;
}

void TestArchive::checksPeriod() {
    QFETCH(QDate, from);
    QFETCH(QDate, to);
    QFETCH(PeriodProblem, problem);
    QCOMPARE(checkPeriod(period(from, to, QTime(0, 0), QTime(23, 59, 59))), problem);
}

void TestArchive::preparesTables() {
    auto t = std::make_unique<Tables>();
    t->dayCounts[MaxDays - 1][7] = 5;
    t->periodDays[40] = 1;
    t->hourCounts[24] = 3;

    const QDate from(2026, 3, 1);
    QCOMPARE(preparePeriodTables(*t, period(from, QDate(2026, 3, 3), QTime(8, 0), QTime(16, 0))), 3);
    QCOMPARE(t->periodDays[0], from.toJulianDay());
    QCOMPARE(t->periodDays[2], from.toJulianDay() + 2);
    QCOMPARE(t->periodDays[3], 0);
    QCOMPARE(t->periodDays[40], 0);
    QCOMPARE(t->dayCounts[MaxDays - 1][7], 0);
    QCOMPARE(t->hourCounts[24], 0);
    QCOMPARE(t->HourLabels[7], QString());
    QCOMPARE(t->HourLabels[8], QStringLiteral("8"));
    QCOMPARE(t->HourLabels[16], QStringLiteral("16"));
    QCOMPARE(t->HourLabels[17], QString());

    // Labels stay from earlier displays; an overnight window adds none.
    preparePeriodTables(*t, period(from, from, QTime(22, 0), QTime(6, 0)));
    QCOMPARE(t->HourLabels[8], QStringLiteral("8"));
    QCOMPARE(t->HourLabels[22], QString());
    QCOMPARE(t->HourLabels[5], QString());

    const QDate last = from.addDays(MaxDays - 1);
    QCOMPARE(preparePeriodTables(*t, period(from, last, QTime(0, 0), QTime(23, 59, 59))), MaxDays);
    QCOMPARE(t->periodDays[MaxDays - 1], last.toJulianDay());
    QCOMPARE(t->HourLabels[23], QStringLiteral("23"));
    QCOMPARE(t->HourLabels[24], QString());

    t->dayCounts[0][0] = 9;
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument,
                             preparePeriodTables(*t, period(from, from.addDays(-1), QTime(0, 0), QTime(1, 0))));
    QCOMPARE(t->dayCounts[0][0], 9);
}

void TestArchive::parsesEventLine_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("year");
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QTime>("time");
    QTest::addColumn<QString>("reason");
    auto good = [](const char* name, const char* line, QDate date, QTime time, int year = 2026) {
        QTest::newRow(name) << QByteArray(line) << year << date << time << QString();
    };
    auto bad = [](const char* name, const char* line, const char* reason, int year = 2026) {
        QTest::newRow(name) << QByteArray(line) << year << QDate() << QTime() << QString::fromUtf8(reason);
    };

    good("event line", "02.03.26;12:34:56\r\n", QDate(2026, 3, 2), QTime(12, 34, 56));
    good("first line only", "02.03.26;12:00:00\r\n31.02.26;99:00:00\r\n", QDate(2026, 3, 2), QTime(12, 0));
    good("no line end", "02.03.26;23:59:59", QDate(2026, 3, 2), QTime(23, 59, 59));
    good("year 99 is past", "15.06.99;08:00:00", QDate(1999, 6, 15), QTime(8, 0));
    good("year 75 is future", "15.06.75;08:00:00", QDate(2075, 6, 15), QTime(8, 0));
    good("year 76 is past", "15.06.76;08:00:00", QDate(1976, 6, 15), QTime(8, 0));
    good("leap day", "29.02.24;00:00:00", QDate(2024, 2, 29), QTime(0, 0));
    good("2000 is leap", "29.02.00;00:00:00", QDate(2000, 2, 29), QTime(0, 0));
    good("text before ;", "02.03.26 x;08:00:00", QDate(2026, 3, 2), QTime(8, 0));
    // In 2100 the window holds 2050..2149, and 2100 has no 29 February.
    bad("2100 is not leap", "29.02.00;00:00:00", "neplatné datum", 2100);

    bad("empty line", "\r\n02.03.26;12:00:00", "prázdný první řádek");
    bad("header", "datum;cas\r\n", "neplatné datum „datum;ca“");
    bad("31 February", "31.02.26;08:00:00", "neplatné datum „31.02.26“");
    bad("29 February 2026", "29.02.26;08:00:00", "neplatné datum");
    bad("month 13", "01.13.26;08:00:00", "neplatné datum");
    bad("day 0", "00.03.26;08:00:00", "neplatné datum");
    bad("one-digit fields", "1.3.26;8:00:00", "neplatné datum");
    bad("short", "02.03.2", "neplatné datum");
    bad("no ;", "02.03.26 08:00:00\r\n", "chybí ';'");
    bad("hour 24", "02.03.26;24:00:00", "neplatný čas „24:00:00“");
    bad("minute 60", "02.03.26;08:60:00", "neplatný čas");
    bad("time cut short", "02.03.26;08:00:0\r\n", "neplatný čas „08:00:0“");
    bad("dots in time", "02.03.26;08.00.00", "neplatný čas");
}

void TestArchive::parsesEventLine() {
    QFETCH(QByteArray, line);
    QFETCH(int, year);
    QFETCH(QDate, date);
    QFETCH(QTime, time);
    QFETCH(QString, reason);

    QString why;
    const std::optional<EventStamp> stamp = parseEventLine(line, year, &why);
    if (reason.isEmpty()) {
        QVERIFY2(stamp, qPrintable(why));
        QCOMPARE(stamp->date, date);
        QCOMPARE(stamp->time, time);
    } else {
        QVERIFY(!stamp);
        QVERIFY2(why.startsWith(reason), qPrintable(why));
    }
}

void TestArchive::handParsedDatesMatchQDate() {
    const QDate first(1976, 1, 1);
    const QDate last(2075, 12, 31);
    int seconds = 0;
    for (QDate d = first; d <= last; d = d.addDays(1)) {
        const QTime t = QTime(0, 0).addSecs(seconds);
        seconds = (seconds + 7919) % 86400;
        const std::optional<EventStamp> stamp = parseEventLine(eventLine(d, t), 2026);
        if (!stamp || stamp->date != d || stamp->time != t)
            QFAIL(qPrintable(QStringLiteral("%1 %2 read wrong").arg(d.toString(Qt::ISODate), t.toString())));
    }
}

void TestArchive::readEventFileNamesBadFile_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason");
    QTest::newRow("empty file") << QByteArray() << QStringLiteral("prázdný soubor");
    QTest::newRow("empty first line") << QByteArray("\r\n") << QStringLiteral("prázdný první řádek");
    QTest::newRow("header") << QByteArray("datum;cas\r\n02.03.26;12:00:00\r\n") << QStringLiteral("neplatné datum");
    QTest::newRow("31 February") << QByteArray("31.02.26;08:00:00\r\n") << QStringLiteral("neplatné datum");
    QTest::newRow("no ;") << QByteArray("02.03.26\r\n") << QStringLiteral("chybí ';'");
    QTest::newRow("bad time") << QByteArray("02.03.26;8:00\r\n") << QStringLiteral("neplatný čas");
    // The mark is invisible in a box: the quote shows the text after it and names the mark.
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF"
                                                   "03.03.26;08:00:00\r\n")
                                     << QStringLiteral("neplatné datum „03.03.26“ (soubor začíná značkou BOM)");
}

void TestArchive::readEventFileNamesBadFile() {
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("události 1.csv"));
    writeFile(path, content);
    try {
        readEventFile(path, currentYear());
        QFAIL("no error");
    } catch (const ArchiveError& e) {
        QCOMPARE(e.path, path);
        QVERIFY2(e.reason.startsWith(reason), qPrintable(e.reason));
        QCOMPARE(QString::fromUtf8(e.what()), path + QStringLiteral(": ") + e.reason);
    }
}

void TestArchive::countsWithinDaysAndWindow() {
    QTemporaryDir tmp;
    const QString in = tmp.filePath(QStringLiteral("bit0"));
    const QTime noon(12, 0);
    auto put = [&in](const char* name, const QByteArray& content) {
        writeFile(in + u'/' + QLatin1String(name), content);
    };
    put("a.csv", eventLine(QDate(2026, 3, 2), QTime(20, 0)));                       // after the window
    put("b.csv", eventLine(QDate(2026, 3, 1), QTime(7, 0)));                        // before it
    put("c.csv", eventLine(QDate(2026, 3, 3), QTime(7, 0)));                        // before it, on the last day
    put("d.csv", eventLine(QDate(2026, 3, 2), noon));                               // counted
    put("e.csv", eventLine(QDate(2026, 3, 1), QTime(8, 0)));                        // counted: From time
    put("f.csv", eventLine(QDate(2026, 2, 28), noon));                              // day before
    put("g.csv", eventLine(QDate(2026, 3, 4), noon));                               // day after
    put("h.csv", eventLine(QDate(2025, 3, 2), noon));                               // a year earlier
    put("m1/d2/i.csv", eventLine(QDate(2026, 3, 3), QTime(16, 0)) + "garbage\r\n"); // counted once
    put("m1/.j.csv", eventLine(QDate(2026, 3, 2), QTime(9, 30)));                   // hidden file: counted
    put(".old/k.csv", eventLine(QDate(2026, 3, 2), noon));                          // hidden directory: not visited
    put("notes.txt", "not an event");
    put("UPPER.CSV", "not an event");
    // A link back to the top neither loops nor counts twice; a link to a folder already met adds nothing.
    QVERIFY(QFile::link(in, in + QStringLiteral("/m1/loop")));
    QVERIFY(QFile::link(in + QStringLiteral("/m1/d2"), in + QStringLiteral("/linked.csv")));

    BothScans scans;
    QVERIFY(scans.run(period(QDate(2026, 3, 1), QDate(2026, 3, 3), QTime(8, 0), QTime(16, 0)), {{in, 0}}));
    QVERIFY(sameCounts(*scans.sequential, *scans.parallel));
    const Tables& t = *scans.parallel;
    QCOMPARE(t.dayCounts[0][0], 1);
    QCOMPARE(t.dayCounts[1][0], 2);
    QCOMPARE(t.dayCounts[2][0], 1);
    QCOMPARE(t.hourCounts[8], 1);
    QCOMPARE(t.hourCounts[9], 1);
    QCOMPARE(t.hourCounts[12], 1);
    QCOMPARE(t.hourCounts[16], 1);
    QCOMPARE(std::accumulate(t.hourCounts.begin(), t.hourCounts.end(), 0), 4);
    QCOMPARE(scans.progress.filesRead.load(), 10);
}

void TestArchive::dayWindowEnds_data() {
    QTest::addColumn<QTime>("fromTime");
    QTest::addColumn<QTime>("toTime");
    QTest::addColumn<QTime>("event");
    QTest::addColumn<int>("counted");
    QTest::newRow("at the end of the day") << QTime(0, 0) << QTime(23, 59, 59) << QTime(23, 59, 59) << 1;
    QTest::newRow("at midnight") << QTime(0, 0) << QTime(23, 59, 59) << QTime(0, 0) << 1;
    QTest::newRow("one second late") << QTime(8, 0) << QTime(16, 0) << QTime(16, 0, 1) << 0;
    QTest::newRow("one second early") << QTime(8, 0) << QTime(16, 0) << QTime(7, 59, 59) << 0;
    QTest::newRow("overnight, late") << QTime(22, 0) << QTime(6, 0) << QTime(23, 0) << 0;
    QTest::newRow("overnight, early") << QTime(22, 0) << QTime(6, 0) << QTime(5, 0) << 0;
}

void TestArchive::dayWindowEnds() {
    QFETCH(QTime, fromTime);
    QFETCH(QTime, toTime);
    QFETCH(QTime, event);
    QFETCH(int, counted);
    QTemporaryDir tmp;
    const QDate day(2026, 3, 5);
    writeFile(tmp.filePath(QStringLiteral("e.csv")), eventLine(day, event));

    BothScans scans;
    QVERIFY(scans.run(period(day, day, fromTime, toTime), {{tmp.path(), 2}}));
    QVERIFY(sameCounts(*scans.sequential, *scans.parallel));
    QCOMPARE(scans.parallel->dayCounts[0][2], counted);
    QCOMPARE(scans.parallel->hourCounts[event.hour()], counted);
    if (counted)
        QCOMPARE(scans.parallel->HourLabels[event.hour()], QString::number(event.hour()));
}

void TestArchive::sharedDirectoryCountsForEachInput() {
    QTemporaryDir tmp;
    const QString a = tmp.filePath(QStringLiteral("a"));
    const QString b = tmp.filePath(QStringLiteral("b"));
    const QDate day(2026, 3, 5);
    writeFile(a + QStringLiteral("/1.csv"), eventLine(day, QTime(10, 0)));
    writeFile(a + QStringLiteral("/2.csv"), eventLine(day, QTime(11, 0)));
    writeFile(b + QStringLiteral("/1.csv"), eventLine(day, QTime(10, 30)));

    BothScans scans;
    QVERIFY(scans.run(period(day, day, QTime(0, 0), QTime(23, 59, 59)), {{a, 0}, {b, 3}, {a, 5}}));
    QVERIFY(sameCounts(*scans.sequential, *scans.parallel));
    const Tables& t = *scans.parallel;
    QCOMPARE(t.dayCounts[0][0], 2);
    QCOMPARE(t.dayCounts[0][3], 1);
    QCOMPARE(t.dayCounts[0][5], 2);
    QCOMPARE(t.hourCounts[10], 3); // inputs 0, 3 and 5 together
    QCOMPARE(t.hourCounts[11], 2);
    QCOMPARE(scans.progress.filesRead.load(), 3); // the shared directory is read once
}

void TestArchive::missingDirectoriesAreSkipped() {
    QTemporaryDir tmp;
    const QString present = tmp.filePath(QStringLiteral("in"));
    const QString absent = tmp.filePath(QStringLiteral("gone"));
    const QString file = tmp.filePath(QStringLiteral("plain.csv"));
    const QDate day(2026, 3, 5);
    writeFile(present + QStringLiteral("/e.csv"), eventLine(day, QTime(9, 0)));
    writeFile(file, eventLine(day, QTime(9, 0)));

    const QList<ScanJob> jobs{{QString(), 1}, {present, 2}, {absent, 4}, {file, 6}};
    const QList<ScanJob> missing = missingDirectories(jobs);
    QCOMPARE(missing.size(), 3);
    QCOMPARE(missing[0].bit, 1);
    QCOMPARE(missing[1].directory, absent);
    QCOMPARE(missing[2].bit, 6);

    BothScans scans;
    QVERIFY(scans.run(period(day, day, QTime(0, 0), QTime(23, 59, 59)), jobs));
    QVERIFY(sameCounts(*scans.sequential, *scans.parallel));
    QCOMPARE(scans.parallel->dayCounts[0], (std::array<qint32, 8>{0, 0, 1, 0, 0, 0, 0, 0}));
}

void TestArchive::badFileStopsScan() {
    QTemporaryDir tmp;
    const QString in = tmp.filePath(QStringLiteral("in"));
    const QDate day(2026, 3, 5);
    for (int i = 0; i < 300; ++i)
        writeFile(in + QStringLiteral("/%1.csv").arg(i), eventLine(day, QTime(9, 0)));
    const QString bad = in + QStringLiteral("/2026/03/bad.csv");
    writeFile(bad, "datum;cas\r\n");
    const Period p = period(day, day, QTime(0, 0), QTime(23, 59, 59));

    auto t = std::make_unique<Tables>();
    preparePeriodTables(*t, p);
    ScanProgress progress;
    try {
        scanInputs(*t, p, {{in, 0}}, Csv, currentYear(), progress);
        QFAIL("no error from the threaded scan");
    } catch (const ArchiveError& e) {
        QCOMPARE(e.path, bad);
        QCOMPARE(e.reason, QStringLiteral("neplatné datum „datum;ca“"));
    }
    QCOMPARE(t->dayCounts[0][0], 0); // nothing half-counted reaches the tables

    // Subdirectories come first, so the sequential walk meets the bad file before any good one.
    QVERIFY_THROWS_EXCEPTION(ArchiveError, scanEventDirectory(*t, p, in, Csv, 0, currentYear()));
    QCOMPARE(t->dayCounts[0][0], 0);

    // A FIFO named like an event file is refused, not waited on.
    QVERIFY(QFile::remove(bad));
    const QString fifo = in + QStringLiteral("/pipe.csv");
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    try {
        scanInputs(*t, p, {{in, 0}}, Csv, currentYear(), progress);
        QFAIL("no error for a FIFO");
    } catch (const ArchiveError& e) {
        QCOMPARE(e.path, fifo);
        QCOMPARE(e.reason, QStringLiteral("není obyčejný soubor"));
    }
}

void TestArchive::parallelMatchesSequential() {
    QTemporaryDir tmp;
    QRandomGenerator random(20260301);
    const QDate from(2026, 3, 1);
    const QDate to(2026, 3, 20);
    const QStringList inputs{tmp.filePath(QStringLiteral("i0")), tmp.filePath(QStringLiteral("i1")),
                             tmp.filePath(QStringLiteral("i2")), tmp.filePath(QStringLiteral("flat"))};
    int files = 0;
    for (int i = 0; i < 3; ++i) {
        for (int f = 0; f < 700; ++f) {
            QString dir = inputs[i];
            for (int depth = int(random.bounded(4)); depth > 0; --depth)
                dir += QStringLiteral("/d%1").arg(random.bounded(3));
            const QDate d = from.addDays(random.bounded(-3, 24));
            writeFile(dir + QStringLiteral("/%1.csv").arg(f), eventLine(d, QTime(0, 0).addSecs(random.bounded(86400))));
            ++files;
        }
    }
    for (int f = 0; f < 900; ++f) { // one flat directory of many files
        const QDate d = from.addDays(random.bounded(0, 20));
        writeFile(inputs[3] + QStringLiteral("/%1.csv").arg(f),
                  eventLine(d, QTime(0, 0).addSecs(random.bounded(86400))));
        ++files;
    }

    BothScans scans;
    const QList<ScanJob> jobs{{inputs[0], 0}, {inputs[1], 1}, {inputs[2], 4}, {inputs[3], 6}, {inputs[1], 7}};
    QVERIFY(scans.run(period(from, to, QTime(6, 0), QTime(21, 59, 59)), jobs));
    QVERIFY(sameCounts(*scans.sequential, *scans.parallel));
    QCOMPARE(scans.progress.filesRead.load(), files);
    const int counted = std::accumulate(scans.parallel->hourCounts.begin(), scans.parallel->hourCounts.end(), 0);
    QVERIFY2(counted > 1000 && counted < 3 * files, qPrintable(QString::number(counted)));
}

void TestArchive::cancelStopsScan() {
    QTemporaryDir tmp;
    const QDate day(2026, 3, 5);
    const int files = 3000;
    for (int i = 0; i < files; ++i)
        writeFile(tmp.filePath(QStringLiteral("m%1/%2.csv").arg(i % 10).arg(i)), eventLine(day, QTime(9, 0)));
    const Period p = period(day, day, QTime(0, 0), QTime(23, 59, 59));
    const QList<ScanJob> jobs{{tmp.path(), 0}};
    auto t = std::make_unique<Tables>();

    ScanProgress early;
    early.cancel = true;
    preparePeriodTables(*t, p);
    QVERIFY(!scanInputs(*t, p, jobs, Csv, currentYear(), early));
    QCOMPARE(early.filesRead.load(), 0);
    QCOMPARE(t->dayCounts[0][0], 0);

    // Cancel as soon as the scan reports progress. A scan that still finishes first must be complete; a cancelled
    // one must have stopped short and left the tables alone.
    ScanProgress progress;
    std::thread canceller([&progress] {
        for (int spins = 0; spins < 50'000'000 && progress.filesRead.load() == 0; ++spins)
            std::this_thread::yield();
        progress.cancel = true;
    });
    const bool finished = scanInputs(*t, p, jobs, Csv, currentYear(), progress);
    canceller.join();
    if (finished) {
        QCOMPARE(t->dayCounts[0][0], files);
    } else {
        QVERIFY(progress.filesRead.load() < files);
        QCOMPARE(t->dayCounts[0][0], 0);
    }
}

void TestArchive::symlinkedFoldersCountOnce() {
    QTemporaryDir tmp;
    const QString in = tmp.filePath(QStringLiteral("in"));
    const QString moved = tmp.filePath(QStringLiteral("other-disk/2025"));
    const QDate day(2026, 3, 5);
    writeFile(in + QStringLiteral("/2026/a.csv"), eventLine(day, QTime(9, 0)));
    writeFile(moved + QStringLiteral("/b.csv"), eventLine(day, QTime(10, 0)));
    writeFile(moved + QStringLiteral("/deep/c.csv"), eventLine(day, QTime(11, 0)));
    // The year folder moved away and linked back; a second link to it and a link back to the top add nothing.
    QVERIFY(QFile::link(moved, in + QStringLiteral("/2025")));
    QVERIFY(QFile::link(moved, in + QStringLiteral("/2026/again")));
    QVERIFY(QFile::link(in, moved + QStringLiteral("/deep/up")));

    BothScans scans;
    QVERIFY(scans.run(period(day, day, QTime(0, 0), QTime(23, 59, 59)), {{in, 1}}));
    QVERIFY(sameCounts(*scans.sequential, *scans.parallel));
    QCOMPARE(scans.parallel->dayCounts[0][1], 3);
    QCOMPARE(scans.progress.filesRead.load(), 3);
}

void TestArchive::unreadableFoldersAreLeftOutAndNamed() {
    QTemporaryDir tmp;
    QVERIFY(::chmod(QFile::encodeName(tmp.path()).constData(), 0755) == 0);
    const QString in = tmp.filePath(QStringLiteral("in"));
    const QDate day(2026, 3, 5);
    writeFile(in + QStringLiteral("/a.csv"), eventLine(day, QTime(9, 0)));
    writeFile(in + QStringLiteral("/2026/b.csv"), eventLine(day, QTime(10, 0)));
    writeFile(in + QStringLiteral("/lost+found/c.csv"), eventLine(day, QTime(11, 0)));
    const QString closed = in + QStringLiteral("/lost+found");
    QVERIFY(::chmod(QFile::encodeName(closed).constData(), 0700) == 0);

    const Period p = period(day, day, QTime(0, 0), QTime(23, 59, 59));
    auto sequential = std::make_unique<Tables>();
    auto parallel = std::make_unique<Tables>();
    preparePeriodTables(*sequential, p);
    preparePeriodTables(*parallel, p);
    QList<UnreadableFolder> fromWalk, fromScan;
    ScanProgress progress;
    {
        Unprivileged nobody;
        if (!nobody.ok())
            QSKIP("cannot drop root's rights");
        scanEventDirectory(*sequential, p, in, Csv, 2, currentYear(), &fromWalk);
        QVERIFY(scanInputs(*parallel, p, {{in, 2}, {in, 3}}, Csv, currentYear(), progress, {}, &fromScan));
    }
    QCOMPARE(sequential->dayCounts[0][2], 2);
    QCOMPARE(parallel->dayCounts[0][2], 2);
    QCOMPARE(parallel->dayCounts[0][3], 2);
    for (const QList<UnreadableFolder>& list : {fromWalk, fromScan}) {
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.first().path, closed);
        QCOMPARE(list.first().reason, QString::fromLocal8Bit(strerror(EACCES)));
    }
}

namespace {
// A random archive that changes between displays the ways an archive does: files added and removed, rewritten
// in place with the same size, touched. Every change gets an mtime of its own, as a change a second later would.
struct ChangingArchive {
    QRandomGenerator random{20261207};
    QStringList roots;
    QStringList files;
    qint64 clock = 1'700'000'000;
    const QDate from{2026, 3, 1};

    QByteArray randomLine() {
        const QDate d = from.addDays(random.bounded(-2, 12));
        return eventLine(d, QTime(0, 0).addSecs(random.bounded(86400)));
    }
    // A folder's listing is taken from the index while the folder's identity is unchanged: folders changed
    // here get times of their own as well, up to the root.
    void stampFolders(QString path) {
        for (path = QFileInfo(path).path(); std::any_of(
                 roots.begin(), roots.end(), [&](const QString& r) { return path == r || path.startsWith(r + u'/'); });
             path = QFileInfo(path).path())
            stamp(path);
    }
    void stamp(const QString& path) {
        const timespec times[2] = {{clock, 0}, {clock, 0}};
        ++clock;
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
    }
    void add() {
        QString dir = roots[random.bounded(roots.size())];
        for (int depth = int(random.bounded(3)); depth > 0; --depth)
            dir += QStringLiteral("/d%1").arg(random.bounded(3));
        const QString path = dir + QStringLiteral("/f%1.csv").arg(clock);
        writeFile(path, randomLine());
        stamp(path);
        stampFolders(path);
        files << path;
    }
    // Returns how many files a display must read after these changes.
    int change(int count) {
        int toRead = 0;
        QSet<QString> changed;
        for (int i = 0; i < count; ++i) {
            const QString path = files[random.bounded(files.size())];
            if (changed.contains(path))
                continue;
            switch (random.bounded(4)) {
            case 0: // added
                add();
                changed << files.last();
                ++toRead;
                break;
            case 1: // removed
                QFile::remove(path);
                files.removeOne(path);
                stampFolders(path);
                break;
            case 2: { // rewritten in place, same size, other time of day
                QFile f(path);
                if (!f.open(QIODevice::ReadWrite))
                    return -1;
                f.write(randomLine());
                f.close();
                stamp(path);
                changed << path;
                ++toRead;
                break;
            }
            default: // touched
                stamp(path);
                changed << path;
                ++toRead;
            }
        }
        return toRead;
    }
};

// The indexed scan of the jobs next to the full sequential walk, with the same counts required.
bool indexedMatchesFull(const QList<ScanJob>& jobs, const Period& p, const QString& cache, qint64& read,
                        qint64& fromIndex) {
    auto full = std::make_unique<Tables>();
    auto indexed = std::make_unique<Tables>();
    preparePeriodTables(*full, p);
    preparePeriodTables(*indexed, p);
    for (const ScanJob& job : jobs)
        scanEventDirectory(*full, p, job.directory, Csv, job.bit, currentYear());
    ScanProgress progress;
    ScanOptions options;
    options.indexDirectory = cache;
    options.settleNs = 0; // every change above moves the mtime of the file and its folders
    if (!scanInputs(*indexed, p, jobs, Csv, currentYear(), progress, options))
        return false;
    read = progress.filesRead.load();
    fromIndex = progress.filesFromIndex.load();
    return sameCounts(*full, *indexed);
}
} // namespace

void TestArchive::indexGivesFullScanCounts() {
    QTemporaryDir tmp;
    const QString cache = tmp.filePath(QStringLiteral("cache/impulz"));
    ChangingArchive archive;
    archive.roots = {tmp.filePath(QStringLiteral("a")), tmp.filePath(QStringLiteral("b")),
                     tmp.filePath(QStringLiteral("b/d1"))};
    for (int i = 0; i < 600; ++i)
        archive.add();
    const QList<ScanJob> jobs{
        {archive.roots[0], 0}, {archive.roots[1], 1}, {archive.roots[2], 2}, {archive.roots[0], 5}};
    const Period p = period(archive.from, archive.from.addDays(9), QTime(5, 0), QTime(20, 59, 59));
    // Files under b/d1 belong to two folders and so to two indexes.
    const auto filesToRead = [&] {
        return archive.files.size() +
               int(std::count_if(archive.files.begin(), archive.files.end(),
                                 [&](const QString& f) { return f.startsWith(archive.roots[2] + u'/'); }));
    };

    qint64 read = 0, fromIndex = 0;
    QVERIFY(indexedMatchesFull(jobs, p, cache, read, fromIndex));
    QCOMPARE(read, filesToRead());
    QCOMPARE(fromIndex, 0);
    QVERIFY(!QDir(cache).entryList({QStringLiteral("*.idx")}, QDir::Files).isEmpty());
    for (int round = 0; round < 4; ++round) {
        const int changed = archive.change(60);
        QVERIFY(changed >= 0);
        QVERIFY2(indexedMatchesFull(jobs, p, cache, read, fromIndex), qPrintable(QString::number(round)));
        // Only what changed is read; changes under b/d1 are read once for each folder that holds them.
        QVERIFY2(read >= changed && read <= 2 * changed, qPrintable(QStringLiteral("%1 %2").arg(read).arg(changed)));
        QCOMPARE(read + fromIndex, qint64(filesToRead()));
    }
    QVERIFY(indexedMatchesFull(jobs, p, cache, read, fromIndex));
    QCOMPARE(read, 0); // nothing changed
}

void TestArchive::damagedIndexIsRebuilt() {
    QTemporaryDir tmp;
    const QString cache = tmp.filePath(QStringLiteral("cache"));
    ChangingArchive archive;
    archive.roots = {tmp.filePath(QStringLiteral("in"))};
    for (int i = 0; i < 200; ++i)
        archive.add();
    const QList<ScanJob> jobs{{archive.roots[0], 4}};
    const Period p = period(archive.from, archive.from.addDays(9), QTime(0, 0), QTime(23, 59, 59));
    const QString file = indexFilePath(cache, archive.roots[0]);
    qint64 read = 0, fromIndex = 0;
    QVERIFY(indexedMatchesFull(jobs, p, cache, read, fromIndex));
    const QByteArray good = readBytes(file);
    QVERIFY(good.size() > 200 * 48);

    QByteArray flipped = good;
    flipped[flipped.size() - 5] = char(flipped[flipped.size() - 5] ^ 0x10); // inside the last entry's time
    QByteArray otherVersion = good;
    otherVersion[8] = char(otherVersion[8] + 1);
    const QList<QByteArray> damaged{QByteArray(), good.left(good.size() / 2), flipped, otherVersion,
                                    QByteArray("not an index at all")};
    for (const QByteArray& bytes : damaged) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        f.close();
        QVERIFY(indexedMatchesFull(jobs, p, cache, read, fromIndex));
        QCOMPARE(read, qint64(archive.files.size())); // read again in full, silently
        QCOMPARE(readBytes(file), good);              // and the index made anew
    }
    // A save cut short by a crash leaves its temporary file behind; the next save sweeps it.
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const QString leftover = QFileInfo(file).absolutePath() + QStringLiteral("/.") + QFileInfo(file).fileName() +
                             QStringLiteral(".%1.1.tmp").arg(dead);
    QVERIFY(QFile(leftover).open(QIODevice::WriteOnly));
    QFile::remove(file);
    QVERIFY(indexedMatchesFull(jobs, p, cache, read, fromIndex));
    QCOMPARE(read, qint64(archive.files.size()));
    QVERIFY(!QFile::exists(leftover));

    // The default place follows XDG_CACHE_HOME when it is absolute.
    const QByteArray saved = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(tmp.path()));
    QCOMPARE(defaultIndexDirectory(), tmp.path() + QStringLiteral("/impulz"));
    qputenv("XDG_CACHE_HOME", "relative/path");
    QCOMPARE(defaultIndexDirectory(), QDir::homePath() + QStringLiteral("/.cache/impulz"));
    qputenv("XDG_CACHE_HOME", saved);
}

QTEST_GUILESS_MAIN(TestArchive)
#include "tst_archive.moc"
