// The monitor core as a plain object on the test's thread, fed through a fake link: the recorder's step, a cut
// link, the order of the running number and the event files, and a handler of the link's signals that fails.

#include "core/recording/counters.h"
#include "core/settings/inifile.h"
#include "core/link/monitor.h"
#include "core/recording/recorder.h"
#include "core/settings/settings.h"
#include "support/fakelink.h"
#include "support/testsupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <stdexcept>

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
    void failingChunkIsLoggedAndTheLinkStays();
    void failingGreetingIsLoggedAndClosesTheLink();
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
// The link can be told to fail its next read or its sends, as a link whose system calls throw would.
class FailingLink : public FakeLink {
public:
    bool failNextReceive = false;
    bool failSends = false;
    int receive(char* buffer, int size) override {
        if (std::exchange(failNextReceive, false))
            throw std::runtime_error("read failed");
        return FakeLink::receive(buffer, size);
    }
    void send(const QByteArray& bytes) override {
        if (failSends && state() == wsConnected)
            throw std::runtime_error("send failed");
        FakeLink::send(bytes);
    }
};

struct CoreFixture {
    QTemporaryDir dir;
    Settings settings;
    Counters counters;
    FailingLink* link = new FailingLink; // the monitor's
    Monitor monitor{settings, counters, {}, nullptr, link};

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

namespace {
// The names a folder's entries were created, written or renamed to, in the order the system made the changes.
class FolderChanges {
public:
    explicit FolderChanges(const QString& dir) : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        m_ok = m_fd >= 0 && ::inotify_add_watch(m_fd, QFile::encodeName(dir).constData(),
                                                IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO) >= 0;
    }
    ~FolderChanges() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FolderChanges(const FolderChanges&) = delete;
    FolderChanges& operator=(const FolderChanges&) = delete;
    bool ok() const { return m_ok; }
    // Every change so far; the changes of a call that returned are all queued by then.
    QStringList names() {
        QStringList names;
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0)
                return names;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                if (e->len > 0)
                    names << QFile::decodeName(e->name);
                at += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
    }

private:
    int m_fd;
    bool m_ok = false;
};
} // namespace

void TestMonitor::runningNumberIsStoredBeforeItsFile() {
    // A crash between the two may skip a number but never issue one twice: the settings file takes the number the
    // chunk's events moved it to before any of their files has a name, and is not touched after them.
    CoreFixture fx;
    FolderChanges changes(fx.dir.path());
    QVERIFY(changes.ok());
    fx.monitor.handleChunk(report(52, 0xFF) + report(52, 0xFE) + report(52, 0xFF) + report(52, 0xFE));
    QStringList order; // the settings file and the event files, each change once in a row
    for (const QString& name : changes.names()) {
        const QString seen = name.endsWith(QStringLiteral(".csv")) && !name.startsWith(u'.') ? name
                             : name == QStringLiteral("impulz.ini") ? QStringLiteral("settings")
                                                                    : QString();
        if (!seen.isEmpty() && (order.isEmpty() || order.last() != seen))
            order << seen;
    }
    QCOMPARE(order,
             (QStringList{QStringLiteral("settings"), QStringLiteral("E0_00001.csv"), QStringLiteral("E0_00002.csv")}));
    QCOMPARE(IniFile(fx.settings.filePath()).readString(Settings::Section, Settings::SequenceKey, QString()),
             QStringLiteral("3"));
    QCOMPARE(csvFiles(fx.dir.path()), (QStringList{QStringLiteral("E0_00001.csv"), QStringLiteral("E0_00002.csv")}));
    QCOMPARE(fx.counters.count(0), 2);
    // The watchdog keeps its period to the millisecond instead of firing up to 5 % early.
    QCOMPARE(fx.monitor.watchdog()->timerType(), Qt::PreciseTimer);
}

void TestMonitor::failingChunkIsLoggedAndTheLinkStays() {
    // Nothing may leave a handler of the link's signals by an exception; one chunk that cannot be read costs only
    // itself, and the log says why.
    CoreFixture fx;
    fx.connect();
    QSignalSpy lines(&fx.monitor, &Monitor::logLine);
    fx.link->failNextReceive = true;
    fx.link->deliver(report(52, 0xFF));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().first().toString().contains(QStringLiteral("read failed")),
             qPrintable(lines.first().first().toString()));
    QCOMPARE(fx.link->state(), wsConnected);
    fx.link->deliver(report(52, 0xFE)); // the unread report comes with the next one
    QCOMPARE(fx.counters.count(0), 1);
    QCOMPARE(csvFiles(fx.dir.path()).size(), 1);
}

void TestMonitor::failingGreetingIsLoggedAndClosesTheLink() {
    CoreFixture fx;
    fx.link->failSends = true;
    QSignalSpy lines(&fx.monitor, &Monitor::logLine);
    fx.connect();
    QCOMPARE(fx.link->state(), wsClosed);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().first().toString().contains(QStringLiteral("send failed")),
             qPrintable(lines.first().first().toString()));
    // The next session is greeted as usual.
    fx.link->failSends = false;
    fx.connect();
    QCOMPARE(fx.link->state(), wsConnected);
    QCOMPARE(fx.link->sent().last(), Greeting);
}

QTEST_GUILESS_MAIN(TestMonitor)
#include "tst_monitor.moc"
