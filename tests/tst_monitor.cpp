// The monitor core as a plain object on the test's thread, fed through a fake link: the recorder's step, a cut
// link, the order of the running number and the event files.

#include "core/counters.h"
#include "core/inifile.h"
#include "core/monitor.h"
#include "core/recorder.h"
#include "core/settings.h"
#include "support/fakelink.h"
#include "support/seams.h"
#include "support/testsupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

class TestMonitor : public QObject {
    Q_OBJECT
private slots:
    void transitionsAreWatchedFallsIntoLog1_data();
    void transitionsAreWatchedFallsIntoLog1();
    void cutLinkLeavesNoPhantomEvent_data();
    void cutLinkLeavesNoPhantomEvent();
    void runningNumberIsStoredBeforeItsFile();
};

void TestMonitor::transitionsAreWatchedFallsIntoLog1_data() {
    QTest::addColumn<quint8>("previous");
    QTest::addColumn<quint8>("value");
    QTest::addColumn<quint8>("watched");
    QTest::addColumn<quint8>("expected");
    QTest::newRow("first report after start") << quint8(0x00) << quint8(0x00) << quint8(0xFF) << quint8(0x00);
    QTest::newRow("input 0 falls, 3 already low") << quint8(0xF7) << quint8(0xF6) << quint8(0x09) << quint8(0x01);
    QTest::newRow("unwatched inputs fall") << quint8(0xFF) << quint8(0x00) << quint8(0x81) << quint8(0x81);
    QTest::newRow("rise records nothing") << quint8(0x00) << quint8(0xFF) << quint8(0xFF) << quint8(0x00);
}

void TestMonitor::transitionsAreWatchedFallsIntoLog1() {
    QFETCH(quint8, previous);
    QFETCH(quint8, value);
    QFETCH(quint8, watched);
    QFETCH(quint8, expected);
    std::array<bool, 8> levels{};
    for (int n = 0; n < 8; ++n)
        levels[size_t(n)] = previous >> n & 1;
    QCOMPARE(Recorder::transitions(levels, value, watched), expected);
}

namespace {
// A monitor as a plain object on the test's thread, fed through a link the test drives, with every input's folder
// in a temporary directory and input 0 watched, named by the running number.
struct CoreFixture : CoreSeams {
    QTemporaryDir dir;
    Settings settings;
    Counters counters;
    FakeLink* link = new FakeLink; // the monitor's
    Monitor monitor{settings, counters, nullptr, link};

    CoreFixture() {
        settings.setFilePath(dir.filePath(QStringLiteral("impulz.ini")));
        settings.load();
        for (int n = 0; n < 8; ++n)
            settings.set(Settings::pathKey(n), dir.path());
        settings.set(Settings::bitKey(0), true);
        settings.set(Settings::NameTemplate, QStringLiteral("E%nbit%_%numco%"));
    }
    // Connects through the toggle and the controller's answer.
    void connect() {
        monitor.toggleConnection();
        link->reportSession(0);
    }
};
} // namespace

void TestMonitor::cutLinkLeavesNoPhantomEvent_data() {
    QTest::addColumn<QByteArray>("cut");
    QTest::newRow("inside a change report") << QByteArray::fromHex("FFFA2C34");
    QTest::newRow("inside a status report") << QByteArray::fromHex("FFFA2C96");
}

void TestMonitor::cutLinkLeavesNoPhantomEvent() {
    // A new connection is a new stream: bytes that end a report the old one cut off must not complete it.
    QFETCH(QByteArray, cut);
    CoreFixture fx;
    fx.connect();
    fx.link->deliver(report(52, 0xFF) + report(52, 0xFE) + cut);
    QCOMPARE(fx.counters.count(0), 1);
    fx.link->hangUp();
    fx.connect();
    QSignalSpy decoded(&fx.monitor, &Monitor::reportDecoded);
    fx.link->deliver(report(52, 0xFE));
    QCOMPARE(decoded.size(), 1);
    QCOMPARE(decoded.first().first().value<quint8>(), quint8(0xFE));
    QCOMPARE(fx.counters.count(0), 1);
    QCOMPARE(csvFiles(fx.dir.path()).size(), 1);
    QCOMPARE(fx.link->sent(), (QList<QByteArray>{Greeting, Greeting})); // each session is greeted
}

void TestMonitor::runningNumberIsStoredBeforeItsFile() {
    // A crash between the two may skip a number but never issue one twice.
    CoreFixture fx;
    QStringList seen;
    Recorder::beforeEventWrites = [&] { // the fixture puts the seam back
        seen << IniFile(fx.settings.filePath()).readString(Settings::Section, Settings::SequenceKey, QString());
        seen << QString::number(csvFiles(fx.dir.path()).size());
    };
    fx.monitor.handleChunk(report(52, 0xFF) + report(52, 0xFE) + report(52, 0xFF) + report(52, 0xFE));
    QCOMPARE(seen, (QStringList{QStringLiteral("3"), QStringLiteral("0")}));
    QCOMPARE(csvFiles(fx.dir.path()), (QStringList{QStringLiteral("E0_00001.csv"), QStringLiteral("E0_00002.csv")}));
    QCOMPARE(fx.counters.count(0), 2);
    // The watchdog keeps its period to the millisecond instead of firing up to 5 % early.
    QCOMPARE(fx.monitor.watchdog()->timerType(), Qt::PreciseTimer);
}

QTEST_GUILESS_MAIN(TestMonitor)
#include "tst_monitor.moc"
