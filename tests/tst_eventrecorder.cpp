// The recorder as a plain object: reports in, event files, numbers and counts out.

#include "core/counters.h"
#include "core/recorder.h"
#include "core/settings.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class TestEventRecorder : public QObject {
    Q_OBJECT
private slots:
    void transitionsBecomeNumberedFilesAndCounts();
};

void TestEventRecorder::transitionsBecomeNumberedFilesAndCounts() {
    QTemporaryDir dir;
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath(QStringLiteral("state"))));
    Settings settings;
    settings.setFilePath(dir.filePath(QStringLiteral("impulz.ini")));
    Counters counters;
    const QString events = dir.filePath(QStringLiteral("events"));
    QVERIFY(QDir().mkpath(events));
    settings.set(Settings::NameTemplate, QStringLiteral("E%nbit%_%numco%"));
    settings.setSequenceNumber(7);
    for (int n : {0, 2}) {
        settings.set(Settings::bitKey(n), true);
        settings.set(Settings::pathKey(n), events);
    }
    settings.set(Settings::bitKey(3), true);
    settings.set(Settings::pathKey(3), dir.filePath(QStringLiteral("missing")));
    Recorder recorder(settings, counters);

    // Raw 1 to raw 0 on watched inputs only; input 1 is not watched, input 3's folder is missing.
    const QDateTime now = QDateTime::currentDateTime();
    std::array<bool, 8> levels{};
    QList<Recorder::Event> result = recorder.record({{52, 0xff, now}, {52, 0xf0, now}, {150, 0xff, now}}, levels);
    QCOMPARE(result.size(), 3); // the first report only sets the levels; subcommand 150 records nothing
    QCOMPARE(levels, Recorder::levelsOf(0xff));
    QCOMPARE(QDir(events).entryList({QStringLiteral("*.csv")}, QDir::Files),
             QStringList({QStringLiteral("E0_00007.csv"), QStringLiteral("E2_00008.csv")}));
    QVERIFY(result[0].ok && result[1].ok && !result[2].ok);
    QCOMPARE(result[2].input, 3);
    QVERIFY(!result[2].error.isEmpty());
    QCOMPARE(counters.count(0), 1);
    QCOMPARE(counters.count(2), 1);
    QCOMPARE(counters.failedWrites(3), 1);
    QCOMPARE(settings.sequenceNumber(), 10); // the failed event used its number too
    QVERIFY(!recorder.recordsAny({{52, 0xff, now}}, levels));
    QVERIFY(recorder.recordsAny({{52, 0xfe, now}}, levels));
}

QTEST_GUILESS_MAIN(TestEventRecorder)
#include "tst_eventrecorder.moc"
