// The recorder host without any window: one writer for the settings file, the journal's log lines, and the local
// service that windows of other processes attach to.

#include "support/testsupport.h"

#include "core/host/headless.h"
#include "core/settings/inifile.h"
#include "core/serving/locallistener.h"
#include "core/serving/recorderclient.h"
#include "core/host/recorderhost.h"
#include "core/serving/recorderservice.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QSemaphore>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <atomic>
#include <csignal>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// AddressSanitizer holds freed memory back in its quarantine, so resident memory says nothing of leaks there.
#if defined(__SANITIZE_ADDRESS__)
constexpr qint64 kGrowthBoundKb = std::numeric_limits<qint64>::max();
#else
constexpr qint64 kGrowthBoundKb = 16 * 1024;
#endif

// A blocking connection to a local socket, as any process of the user can make one; -1 when refused.
int connectLocal(const QByteArray& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{30, 0}; // a server that stops taking anything fails the test instead of hanging it
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

long residentKb() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toLong() * (::sysconf(_SC_PAGESIZE) / 1024);
}

} // namespace

class TestRecorderHost : public QObject {
    Q_OBJECT
private slots:
    void init();
    void savesAndLoadsNeverReissueANumber();
    void requestsNotWaitedForAnswerLater();
    void journalLinesShowControlCharacters_data();
    void journalLinesShowControlCharacters();
    void windowOfAnotherProcessSeesAndDrivesTheRecorder();
    void levelsNeverWaitForASlowWindow();
    void windowThatStopsReadingIsLetGo();
    void acceptingRestsWhileDescriptorsRunOut();
    void connectionsCostNothingOnceGone();
    void anotherUserGetsNeitherStateNorLevels();

private:
    QTemporaryDir m_dir;
    QString ini() const { return m_dir.filePath(QStringLiteral("impulz.ini")); }
    QString events() const { return m_dir.filePath(QStringLiteral("events")); }
    void writeIni(const QByteArray& extra = {}) {
        QVERIFY(QDir().mkpath(events()));
        QFile file(ini());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[Po spusteni]\nFormat=E%nbit%_%numco%\nPor_cislo=42\nBit0=1\nSoubor0=" +
                   QFile::encodeName(events()) + "\n" + extra);
    }
    QStringList files() const { return csvFiles(events()); }
};

void TestRecorderHost::init() {
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_dir.filePath(QStringLiteral("run"))));
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("state"))));
    QDir(events()).removeRecursively();
}

// The dialog's save and "&Zavři" run while the core records: every one of them waits for the core's thread, so no
// load can put back a number the core has already issued.
void TestRecorderHost::savesAndLoadsNeverReissueANumber() {
    writeIni();
    RecorderHost host(ini());
    host.settings.load();
    constexpr int Events = 300;
    QByteArray burst;
    for (int i = 0; i < Events; ++i)
        burst += report(52, 0xff) + report(52, 0xfe);
    for (qsizetype at = 0; at < burst.size(); at += 14) {
        const QByteArray chunk = burst.mid(at, 14);
        QMetaObject::invokeMethod(host.monitor, [&host, chunk] { host.monitor->handleChunk(chunk); });
    }
    for (int i = 0; files().size() < Events && i < 2000; ++i) {
        host.settings.save();
        host.settings.load();
    }
    QTRY_COMPARE(files().size(), Events);
    QSet<QString> numbers;
    for (const QString& name : files())
        numbers.insert(name.section(QLatin1Char('_'), 1, 1).section(QLatin1Char('.'), 0, 0));
    QCOMPARE(numbers.size(), Events);
    QCOMPARE(IniFile(ini()).readInteger(Settings::Section, Settings::SequenceKey, 0), 42 + Events);
}

// A window's load or save that it does not wait for: the answer comes to the window's thread from its event loop,
// a failure as the text a waiting caller would have caught, and nothing to a window that went meanwhile, while the
// work is done all the same.
void TestRecorderHost::requestsNotWaitedForAnswerLater() {
    writeIni();
    RecorderHost host(ini());
    const auto stored = [&] { return IniFile(ini()).readString(Settings::Section, QStringLiteral("Popis"), {}); };
    QObject asker;
    std::optional<QString> answer;
    QThread* answeredOn = nullptr;
    const auto take = [&](const QString& error) {
        answer = error;
        answeredOn = QThread::currentThread();
    };
    host.settings.set(Settings::Description, QStringLiteral("later"));
    host.settings.saveLater(&asker, take);
    QVERIFY(!answer);
    QTRY_VERIFY(answer);
    QCOMPARE(*answer, QString());
    QCOMPARE(answeredOn, asker.thread());
    QCOMPARE(stored(), QStringLiteral("later"));

    QVERIFY(QFile::remove(ini()));
    QVERIFY(QDir().mkpath(ini())); // a folder in the file's place refuses every write
    answer.reset();
    host.settings.saveLater(&asker, take);
    QTRY_VERIFY(answer);
    QCOMPARE(*answer, QStringLiteral("Unable to write to ") + ini());
    QVERIFY(QDir(ini()).removeRecursively());

    bool called = false;
    {
        QObject gone;
        host.settings.set(Settings::Description, QStringLiteral("unasked"));
        host.settings.saveLater(&gone, [&called](const QString&) { called = true; });
    }
    host.onCore([] {}); // the save ran before this
    QCoreApplication::sendPostedEvents();
    QVERIFY(!called);
    QCOMPARE(stored(), QStringLiteral("unasked"));
}

void TestRecorderHost::journalLinesShowControlCharacters_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << QStringLiteral("LOG1 Bit: 0 - 07.12.26 10:00:00")
                           << QStringLiteral("LOG1 Bit: 0 - 07.12.26 10:00:00");
    QTest::newRow("forged line") << QStringLiteral("x\n07.12.26 10:00:00 LOG1 Bit: 0\x1b[2J")
                                 << QStringLiteral("x\\n07.12.26 10:00:00 LOG1 Bit: 0\\x1b[2J");
    QTest::newRow("CR, tab, DEL, C1") << QStringLiteral("a\rb\tc\x7f\u0085") << QStringLiteral("a\\rb\\tc\\x7f\\x85");
    QTest::newRow("backslash stays readable") << QStringLiteral("a\\nb") << QStringLiteral("a\\\\nb");
    QTest::newRow("Czech letters") << QStringLiteral("Chyba zápisu: č") << QStringLiteral("Chyba zápisu: č");
}

void TestRecorderHost::journalLinesShowControlCharacters() {
    QFETCH(QString, line);
    QFETCH(QString, shown);
    QCOMPARE(printableLogLine(line), shown);
}

void TestRecorderHost::windowOfAnotherProcessSeesAndDrivesTheRecorder() {
    writeIni("Popis=linka\n");
    RecorderHost host(ini());
    host.settings.load();
    const QString socket = recorderSocketPath(ini());
    QString error;
    QVERIFY2(host.serve(socket, &error), qPrintable(error));
    QCOMPARE(QFileInfo(QFileInfo(socket).absolutePath()).permissions() & 0x0077, QFileDevice::Permissions());
    host.onCore([&host] { host.monitor->handleChunk(report(52, 0xff) + report(52, 0xfe)); });

    // Another user is not let in.
    {
        Unprivileged nobody;
        QVERIFY(nobody.ok());
        QVERIFY(!RemoteRecorder::attach(socket, 1000, &error));
    }
    auto remote = RemoteRecorder::attach(socket, 5000, &error);
    QVERIFY2(remote, qPrintable(error));
    // What happened before the window came: levels, log lines, counters, settings.
    QCOMPARE(remote->initialLevels(), 0xfe);
    QVERIFY(remote->initialLog().last().startsWith(QStringLiteral("LOG1 Bit: 0 ")));
    QCOMPARE(remote->counters().count(0), 1);
    QCOMPARE(remote->settings().text(Settings::Description), QStringLiteral("linka"));

    // Live: a report, its log line, the counters.
    QSignalSpy levels(remote.get(), &RecorderPort::reportDecoded);
    QSignalSpy lines(remote.get(), &RecorderPort::logLine);
    host.onCore([&host] { host.monitor->handleChunk(report(52, 0xff) + report(52, 0xfe)); });
    QTRY_COMPARE(levels.size(), 2);
    QCOMPARE(levels.last().at(0).value<quint8>(), quint8(0xfe));
    QTRY_COMPARE(lines.size(), 2);
    QTRY_COMPARE(remote->counters().count(0), 2);
    QCOMPARE(files().size(), 2); // recorded once, by the recorder

    // The window's commands: an edit, a save done by the recorder, a counter reset, the connect toggle.
    remote->settings().set(Settings::Description, QStringLiteral("nová"));
    QTRY_COMPARE(host.settings.text(Settings::Description), QStringLiteral("nová"));
    remote->settings().save();
    QCOMPARE(IniFile(ini()).readString(Settings::Section, QStringLiteral("Popis"), {}), QStringLiteral("nová"));
    remote->counters().reset(0);
    QTRY_COMPARE(host.counters.count(0), 0);
    QTRY_COMPARE(remote->counters().count(0), 0);
    QSignalSpy connection(remote.get(), &RecorderPort::connectionChanged);
    remote->toggleConnection();
    QTRY_COMPARE(connection.size(), 1);
    QCOMPARE(connection.first().at(0).toBool(), true);
    // A load the recorder makes reaches the window's fields.
    IniFile::update(ini(), Settings::Section, {{QStringLiteral("Cislo_linky"), QStringLiteral("7")}});
    remote->settings().load();
    QTRY_COMPARE(remote->settings().number(Settings::LineNumber), 7);

    // The recorder ends: the window hears it and offers nothing more.
    QSignalSpy ended(remote.get(), &RecorderPort::ended);
    QVERIFY(host.shutdown().isEmpty());
    QTRY_COMPARE(ended.size(), 1);
    QVERIFY(!remote->available());
    // A save asked of it now is answered at once that nobody answers, not after the wait for a reply.
    QObject asker;
    std::optional<QString> answer;
    remote->settings().saveLater(&asker, [&answer](const QString& text) { answer = text; });
    QTRY_VERIFY_WITH_TIMEOUT(answer, 3000);
    QCOMPARE(*answer, QStringLiteral("Záznam na pozadí neodpovídá"));
}

// A window that stops reading (frozen, or stopped in a debugger) never holds the recorder up: what does not fit in
// the socket waits on the recorder's side, and the window ends at the latest levels once it reads again.
void TestRecorderHost::levelsNeverWaitForASlowWindow() {
    writeIni();
    RecorderHost host(ini());
    host.settings.load();
    const QString socket = recorderSocketPath(ini());
    QString error;
    QVERIFY2(host.serve(socket, &error), qPrintable(error));
    auto remote = RemoteRecorder::attach(socket, 10000, &error);
    QVERIFY2(remote, qPrintable(error));
    QList<int> seen;
    connect(remote.get(), &RecorderPort::reportDecoded, this, [&seen](quint8 v) { seen.append(v); });

    // Far more than a socket holds (input 0, the watched one, stays put), while this thread, the window's, reads
    // nothing: the core gets through all of it anyway.
    std::atomic<bool> done{false};
    QMetaObject::invokeMethod(host.monitor, [&host, &done] {
        for (int i = 0; i < 10000; ++i)
            host.monitor->handleChunk(report(52, quint8(0x01 | (i << 1))));
        host.monitor->handleChunk(report(52, 0xa5));
        done = true;
    });
    const QDeadlineTimer deadline(60000);
    while (!done && !deadline.hasExpired())
        QThread::msleep(5);
    QVERIFY2(done, "the recorder waited for a window that does not read");
    QTRY_VERIFY_WITH_TIMEOUT(!seen.isEmpty() && seen.last() == 0xa5, 60000);
    QVERIFY(files().isEmpty());
}

// A window that stops reading for good costs the recorder a bounded backlog, not memory for every report from then
// on: its connection is closed, recording goes on untouched, and the window attaches again once it reads.
void TestRecorderHost::windowThatStopsReadingIsLetGo() {
    writeIni();
    RecorderHost host(ini());
    host.settings.load();
    const QString socket = recorderSocketPath(ini());
    QString error;
    QVERIFY2(host.serve(socket, &error), qPrintable(error));
    const auto connections = [&host] {
        int n = 0;
        host.onCore([&] { n = host.service()->connectionCount(); });
        return n;
    };

    // The window's own thread attaches and then reads nothing until it is let go on.
    QSemaphore attached;
    QSemaphore resume;
    std::atomic<bool> ok{false};
    std::atomic<bool> ended{false};
    std::atomic<bool> reattached{false};
    std::atomic<int> levelsOnReturn{-1};
    std::unique_ptr<QThread> window(QThread::create([&] {
        QString why;
        auto remote = RemoteRecorder::attach(socket, 10000, &why, ReattachTimings{50, 5000});
        ok = remote != nullptr;
        attached.release();
        if (!remote)
            return;
        resume.acquire();
        QEventLoop loop;
        QObject::connect(remote.get(), &RecorderPort::ended, &loop, [&ended] { ended = true; });
        QObject::connect(remote.get(), &RemoteRecorder::reattached, &loop, [&] {
            levelsOnReturn = remote->initialLevels();
            reattached = true;
            loop.quit();
        });
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        loop.exec();
    }));
    window->start();
    struct Release {
        QSemaphore& resume;
        QThread& window;
        ~Release() { // however the test ends, without waiting for a return that will not come
            if (window.isRunning() && resume.available() == 0)
                resume.release();
            window.quit();
            window.wait();
        }
    } release{resume, *window};
    QVERIFY(attached.tryAcquire(1, 30000));
    QVERIFY(ok);
    QCOMPARE(connections(), 1);

    // Batches of levels (input 0, the watched one, stays put) with one event each, until the window is let go: at
    // most twice the bound's worth even were each message no longer than the object's name (16 bytes) in it.
    constexpr int Batch = 4096;
    constexpr qint64 most = 2 * RecorderService::MaxUnsent / 16 / Batch;
    int events = 0;
    quint8 last = 0;
    for (int b = 0; b < most && connections() == 1; ++b) {
        QByteArray chunk;
        for (int i = 0; i < Batch; ++i)
            chunk += report(52, quint8(0x01 | (i << 1)));
        last = quint8(0x01 | (b << 1));
        chunk += report(52, 0xfe) + report(52, last);
        host.onCore([&host, &chunk] { host.monitor->handleChunk(chunk); });
        ++events;
    }
    QCOMPARE(connections(), 0);
    QCOMPARE(files().size(), events);

    resume.release();
    QTRY_VERIFY_WITH_TIMEOUT(reattached, 30000);
    QVERIFY(ended);
    QCOMPARE(levelsOnReturn.load(), int(last));
}

// With every descriptor taken, a window's connection waits in the queue: accepting rests instead of being woken
// for it again and again, and takes it once descriptors are free.
void TestRecorderHost::acceptingRestsWhileDescriptorsRunOut() {
    const QString path = m_dir.filePath(QStringLiteral("windows"));
    LocalListener listener;
    int accepted = 0;
    connect(&listener, &LocalListener::accepted, this, [&accepted](int fd) {
        ::close(fd);
        ++accepted;
    });
    QString error;
    QVERIFY2(listener.listen(path, &error), qPrintable(error));
    const int window = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(window >= 0);

    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
    rlimit low = saved;
    low.rlim_cur = rlim_t(QDir(QStringLiteral("/proc/self/fd")).count() + 64);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &low) == 0);
    std::vector<int> taken;
    for (int fd; taken.size() < 100000 && (fd = ::dup(window)) >= 0;)
        taken.push_back(fd);
    const int reason = errno;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
    const bool connected = ::connect(window, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    int wakeUps = 0;
    const QMetaObject::Connection counting = connect(QAbstractEventDispatcher::instance(),
                                                     &QAbstractEventDispatcher::awake, this, [&wakeUps] { ++wakeUps; });
    QTest::qWait(4 * LocalListener::PauseMs); // a spinning loop wakes thousands of times in this while
    disconnect(counting);
    for (int fd : taken)
        ::close(fd);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &saved) == 0);

    QCOMPARE(reason, EMFILE);
    QVERIFY(connected);
    QVERIFY2(wakeUps < 200, qPrintable(QStringLiteral("%1 wake-ups").arg(wakeUps)));
    QTRY_COMPARE(accepted, 1);
    ::close(window);
}

// What a connection costs is bounded whatever it sends, and given back when it goes: a message announced at 2 GB
// is cut off, thousands of connections that come and go leave nothing behind, silent ones that never attach are
// closed, and windows still attach.
void TestRecorderHost::connectionsCostNothingOnceGone() {
    writeIni();
    RecorderHost host(ini());
    host.settings.load();
    const QString socket = recorderSocketPath(ini());
    const QByteArray socketName = QFile::encodeName(socket);
    QString error;
    QVERIFY2(host.serve(socket, &error), qPrintable(error));
    const auto connections = [&host] {
        int n = 0;
        host.onCore([&] { n = host.service()->connectionCount(); });
        return n;
    };
    std::signal(SIGPIPE, SIG_IGN);

    const long before = residentKb();
    const int flood = connectLocal(socketName);
    QVERIFY(flood >= 0);
    const QByteArray chunk = QByteArray("\xff\xff\xff\x7f", 4) + QByteArray(64 * 1024 - 4, 'x');
    qint64 sent = 0;
    for (ssize_t n; sent < 64 * 1024 * 1024 && (n = ::send(flood, chunk.constData(), size_t(chunk.size()), 0)) > 0;)
        sent += n;
    QVERIFY2(sent < 8 * 1024 * 1024, qPrintable(QStringLiteral("%1 bytes taken").arg(sent)));
    ::close(flood);
    QTRY_COMPARE(connections(), 0);
    QVERIFY2(residentKb() - before < kGrowthBoundKb,
             qPrintable(QStringLiteral("%1 kB more").arg(residentKb() - before)));

    for (int i = 0; i < 5000; ++i) {
        const int fd = connectLocal(socketName);
        QVERIFY(fd >= 0);
        char greeting; // the host speaks first: the connection has been taken
        QCOMPARE(::recv(fd, &greeting, 1, 0), 1);
        ::close(fd);
    }
    QTRY_COMPARE(connections(), 0);
    QVERIFY2(residentKb() - before < kGrowthBoundKb,
             qPrintable(QStringLiteral("%1 kB more").arg(residentKb() - before)));

    // Silent connections are closed once their time to attach is up; an attached window stays.
    auto window = RemoteRecorder::attach(socket, 10000, &error);
    QVERIFY2(window, qPrintable(error));
    QSignalSpy windowLost(window.get(), &RecorderPort::ended); // it would come back by itself: the loss is the fault
    std::vector<int> silent;
    for (int i = 0; i < 3 * RecorderService::MaxHandshakes; ++i)
        silent.push_back(connectLocal(socketName));
    QTRY_VERIFY(connections() > 1);
    QVERIFY(connections() <= 1 + RecorderService::MaxHandshakes);
    QTRY_COMPARE_WITH_TIMEOUT(connections(), 1, 6 * RecorderService::HandshakeMs);
    for (int fd : silent)
        ::close(fd);
    QVERIFY(window->available());
    QCOMPARE(windowLost.count(), 0);
    window.reset();

    for (int i = 0; i < 3; ++i) {
        auto remote = RemoteRecorder::attach(socket, 10000, &error);
        QVERIFY2(remote, qPrintable(error));
        QTRY_COMPARE(connections(), 1);
    }
    QTRY_COMPARE(connections(), 0);
}

// Only this user's windows are served, even should the folder and the socket let another user through: the peer is
// checked when it connects. Needs root, to become someone else.
void TestRecorderHost::anotherUserGetsNeitherStateNorLevels() {
    if (::getuid() != 0)
        QSKIP("only root can become another user");
    writeIni();
    RecorderHost host(ini());
    host.settings.load();
    const QString socket = recorderSocketPath(ini());
    QString error;
    QVERIFY2(host.serve(socket, &error), qPrintable(error));
    host.onCore([&host] { host.monitor->handleChunk(report(52, 0xff) + report(52, 0xfe)); });
    for (QString folder = QFileInfo(socket).absolutePath(); folder.startsWith(m_dir.path());
         folder = QFileInfo(folder).absolutePath())
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0711) == 0);
    const QByteArray path = QFile::encodeName(socket);
    QVERIFY(::chmod(path.constData(), 0666) == 0);

    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // Only calls that are safe after a fork: the recorder's threads are not here.
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        const int fd = connectLocal(path);
        if (fd < 0)
            ::_exit(20); // not let near the check at all
        char byte;
        if (::recv(fd, &byte, 1, 0) != 0)
            ::_exit(30); // served (or left open) instead of closed at once
        ::_exit(0);
    }
    int status = -1;
    QVERIFY(QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 120000));
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
}

QTEST_GUILESS_MAIN(TestRecorderHost)
#include "tst_recorderhost.moc"
