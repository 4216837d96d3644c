// The recorder as a plain object: reports in, event files, numbers and counts out.

#include "core/recording/counters.h"
#include "core/recording/recorder.h"
#include "core/settings/settings.h"

#include "core/settings/inifile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

class TestEventRecorder : public QObject {
    Q_OBJECT
private slots:
    void transitionsBecomeNumberedFilesAndCounts();
    void numbersStoredWhileAnotherProgramSavesTheFile();
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

// An editor or a shell redirection saves the settings file in place (truncate, then write) while the recorder stores
// a number for every event: each of its saves keeps all its keys, and the number is never lost.
void TestEventRecorder::numbersStoredWhileAnotherProgramSavesTheFile() {
    QTemporaryDir dir;
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath(QStringLiteral("state"))));
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    const QString events = dir.filePath(QStringLiteral("events"));
    QVERIFY(QDir().mkpath(events));
    const QByteArray saved = QStringLiteral("[Po spusteni]\nIP=10.1.2.3\nPort=2101\nFormat=%numco%\nBit0=1\n"
                                            "Soubor0=%1\nPor_cislo=1\nPopis=linka\n\n[Jine]\ncizi=klic\n")
                                 .arg(events)
                                 .toUtf8();
    const auto keysKept = [&] {
        const IniFile file(ini);
        for (const char* key : {"IP", "Port", "Format", "Soubor0", "Popis"}) {
            if (file.readString(Settings::Section, QLatin1String(key), QString()).isEmpty())
                return false;
        }
        return file.readString(QStringLiteral("Jine"), QStringLiteral("cizi"), QString()) == u"klic";
    };
    const auto save = [&] {
        const int fd = ::open(QFile::encodeName(ini).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        // A writer that is slow between the truncation and its data, as a loaded machine makes any writer.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const bool written = ::write(fd, saved.constData(), size_t(saved.size())) == ssize_t(saved.size());
        return ::close(fd) == 0 && written;
    };
    QVERIFY(save());

    Settings settings;
    settings.setFilePath(ini);
    settings.load();
    Counters counters;
    Recorder recorder(settings, counters);
    std::array<bool, 8> levels{};
    const QDateTime now = QDateTime::currentDateTime();
    recorder.record({{52, 0xff, now}}, levels);

    std::atomic<int> savesDone{0};
    std::atomic<int> savesLost{0};
    std::thread other([&] {
        for (int i = 0; i < 200; ++i) {
            if (!save() || !keysKept())
                ++savesLost;
            ++savesDone;
        }
    });
    // Bounded by the saves, and by a count of its own should the other thread stall.
    for (int i = 0; i < 100000 && savesDone < 200; ++i)
        QCOMPARE(recorder.record({{52, 0xfe, now}, {52, 0xff, now}}, levels).size(), 1);
    other.join();
    QCOMPARE(savesLost.load(), 0);

    recorder.record({{52, 0xfe, now}, {52, 0xff, now}}, levels);
    QVERIFY(keysKept());
    Settings restarted;
    restarted.setFilePath(ini);
    restarted.load();
    QCOMPARE(restarted.sequenceNumber(), settings.sequenceNumber());
}

QTEST_GUILESS_MAIN(TestEventRecorder)
#include "tst_eventrecorder.moc"
