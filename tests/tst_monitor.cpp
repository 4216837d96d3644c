// The monitor core as a plain object on the test's thread: the recorder's step, a cut link, the order of the
// running number and the event files, and the models it reads.

#include "core/clock.h"
#include "core/counters.h"
#include "core/inifile.h"
#include "core/monitor.h"
#include "core/recorder.h"
#include "core/settings.h"
#include "testsupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <sys/inotify.h>
#include <unistd.h>

class TestMonitor : public QObject {
    Q_OBJECT
private slots:
    void transitionsAreWatchedFallsIntoLog1_data();
    void transitionsAreWatchedFallsIntoLog1();
    void cutLinkLeavesNoPhantomEvent_data();
    void cutLinkLeavesNoPhantomEvent();
    void runningNumberIsStoredBeforeItsFile();
    void settingsModelLoadsClampsAndReportsChanges();
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
// Settings with every input's folder in dir and input 0 watched, named by the running number.
void prepare(Settings& settings, const QTemporaryDir& dir) {
    settings.setFilePath(dir.filePath(QStringLiteral("impulz.ini")));
    settings.load();
    for (int n = 0; n < 8; ++n)
        settings.set(Settings::pathKey(n), dir.path());
    settings.set(Settings::bitKey(0), true);
    settings.set(Settings::NameTemplate, QStringLiteral("E%nbit%_%numco%"));
}

int csvCount(const QString& dir) {
    return int(QDir(dir).entryList({QStringLiteral("*.csv")}, QDir::Files).size());
}
} // namespace

void TestMonitor::cutLinkLeavesNoPhantomEvent_data() {
    QTest::addColumn<QByteArray>("cut");
    QTest::newRow("inside a change report") << QByteArray::fromHex("FFFA2C34");
    QTest::newRow("inside a status report") << QByteArray::fromHex("FFFA2C96");
}

void TestMonitor::cutLinkLeavesNoPhantomEvent() {
    // A new connection is a new stream: bytes that end a report the old one cut off must not complete it.
    QFETCH(QByteArray, cut);
    QTemporaryDir dir;
    Settings settings;
    prepare(settings, dir);
    Counters counters;
    Monitor monitor(settings, counters);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    settings.set(Settings::Port, QString::number(server.serverPort()));
    const auto session = [&]() -> QTcpSocket* {
        monitor.toggleConnection();
        return QTest::qWaitFor([&] { return server.hasPendingConnections(); }) ? server.nextPendingConnection()
                                                                               : nullptr;
    };
    QTcpSocket* first = session();
    QVERIFY(first);
    first->write(report(52, 0xFF) + report(52, 0xFE) + cut);
    QTRY_COMPARE(counters.count(0), 1);
    first->close();
    QTRY_COMPARE(monitor.socketState(), wsClosed);
    QTcpSocket* second = session();
    QVERIFY(second);
    QSignalSpy decoded(&monitor, &Monitor::reportDecoded);
    second->write(report(52, 0xFE));
    QTRY_COMPARE(decoded.size(), 1);
    QCOMPARE(decoded.first().first().value<quint8>(), quint8(0xFE));
    QCOMPARE(counters.count(0), 1);
    QCOMPARE(csvCount(dir.path()), 1);
    monitor.toggleConnection();
}

void TestMonitor::runningNumberIsStoredBeforeItsFile() {
    // A crash between the two may skip a number but never issue one twice.
    QTemporaryDir dir;
    Settings settings;
    prepare(settings, dir);
    Counters counters;
    Monitor monitor(settings, counters);
    QStringList seen;
    Recorder::beforeEventWrites = [&] {
        seen << IniFile(settings.filePath()).readString(Settings::Section, Settings::SequenceKey, QString());
        seen << QString::number(csvCount(dir.path()));
    };
    monitor.handleChunk(report(52, 0xFF) + report(52, 0xFE) + report(52, 0xFF) + report(52, 0xFE));
    Recorder::beforeEventWrites = nullptr;
    QCOMPARE(seen, (QStringList{QStringLiteral("3"), QStringLiteral("0")}));
    QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("*.csv")}),
             (QStringList{QStringLiteral("E0_00001.csv"), QStringLiteral("E0_00002.csv")}));
    QCOMPARE(counters.count(0), 2);
    // The watchdog keeps its period to the millisecond instead of firing up to 5 % early.
    QCOMPARE(monitor.watchdog()->timerType(), Qt::PreciseTimer);
}

void TestMonitor::settingsModelLoadsClampsAndReportsChanges() {
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    QFile file(ini);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Po spusteni]\nSec=100\nPocet=0\nCislo_linky=0x0A\nBit3=-1\nPor_cislo=123456\nPopis=\n");
    file.close();
    Settings settings;
    QCOMPARE(settings.number(Settings::WatchdogSeconds), 1); // before the first load: the fields' first values
    QCOMPARE(settings.outputDirectory(2), QString());
    settings.setFilePath(ini);
    QSignalSpy changed(&settings, &Settings::changed);
    settings.load();
    QCOMPARE(settings.number(Settings::WatchdogSeconds), 60);
    QCOMPARE(settings.number(Settings::LogLimit), 1);
    QCOMPARE(settings.number(Settings::LineNumber), 10);
    QVERIFY(settings.watched(3));
    QCOMPARE(settings.sequenceNumber(), 123456);
    QCOMPARE(settings.text(Settings::Description), QString()); // present but empty is not the default
    QCOMPARE(settings.text(Settings::Address), QStringLiteral("127.0.0.1"));
    QVERIFY(changed.size() > 0);
    changed.clear();
    settings.load(); // nothing differs: nothing is reported
    QCOMPARE(changed.size(), 0);

    // A save replaces the file once, with every key in it.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0);
    QVERIFY(inotify_add_watch(watch, QFile::encodeName(dir.path()).constData(), IN_MOVED_TO) >= 0);
    settings.set(Settings::Description, QStringLiteral("Linka 3"));
    settings.save();
    alignas(inotify_event) char buffer[4096];
    int replaced = 0;
    for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
        for (char* p = buffer; p < buffer + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
            ++replaced;
    }
    ::close(watch);
    QCOMPARE(replaced, 1);
    QCOMPARE(IniFile(ini).readString(Settings::Section, QStringLiteral("Popis"), QString()), QStringLiteral("Linka 3"));
    QCOMPARE(IniFile(ini).readInteger(Settings::Section, QStringLiteral("Sec"), 0), 60);

    Counters counters;
    const QDateTime t(QDate(2026, 12, 6), QTime(13, 45, 7, 250));
    counters.setPeriod(t.addSecs(-60), t);
    QVERIFY(counters.inPeriod(t));
    QVERIFY(!counters.inPeriod(t.addMSecs(1)));
}

QTEST_GUILESS_MAIN(TestMonitor)
#include "tst_monitor.moc"
