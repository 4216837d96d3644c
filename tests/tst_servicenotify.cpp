// The recorder under a service manager: this test plays the manager's side of the notification socket and checks
// that the recorder says it is ready before the controller answers, says its state when it changes, and pings the
// watchdog from its core thread only.

#include "core/host/recorderhost.h"
#include "core/host/servicenotify.h"
#include "support/fakecontroller.h"
#include "support/testsupport.h"

#include <QProcess>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QtTest>

#include <cstddef>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The manager's end: a datagram socket at a path or under an abstract name ("@..."), read without blocking.
class NotifySocket {
public:
    explicit NotifySocket(const QByteArray& name) : m_name(name) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        if (name.startsWith('@'))
            address.sun_path[0] = '\0';
        const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(name.size()));
        m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    }
    ~NotifySocket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool bound() const { return m_bound; }
    QByteArray name() const { return m_name; }

    // Every message that came since the last call is added to messages; returns them all.
    const QList<QByteArray>& read() {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0;)
            m_messages.append(QByteArray(buffer, n));
        return m_messages;
    }
    qsizetype count(const QByteArray& message) { return read().count(message); }
    QByteArrayList statuses() {
        QByteArrayList result;
        for (const QByteArray& m : read())
            for (const QByteArray& line : m.split('\n'))
                if (line.startsWith("STATUS="))
                    result.append(line.mid(7));
        return result;
    }
    void clear() {
        read();
        m_messages.clear();
    }

private:
    QByteArray m_name;
    int m_fd = -1;
    bool m_bound = false;
    QList<QByteArray> m_messages;
};

// A variable of the service manager's, set for this process until the guard goes (the suite runs outside any
// service, where none of them is set).
struct EnvGuard {
    EnvGuard(const char* variable, const QByteArray& value) : name(variable) { qputenv(variable, value); }
    ~EnvGuard() { qunsetenv(name); }
    const char* name;
};

} // namespace

class TestServiceNotify : public QObject {
    Q_OBJECT
private slots:
    void recorderSaysReadyStateAndPings_data();
    void recorderSaysReadyStateAndPings();
    void pingsStopWhileTheCoreThreadIsHeld();
    void watchdogIsForTheNamedProcessOnly();
};

void TestServiceNotify::recorderSaysReadyStateAndPings_data() {
    QTest::addColumn<bool>("abstract");
    QTest::newRow("socket path") << false;
    QTest::newRow("abstract name") << true;
}

// The recorder as systemd starts it: READY=1 as soon as it serves (before the controller answers), its state and
// its broker's backlog as they change, the watchdog's pings, and STOPPING=1 on SIGTERM.
void TestServiceNotify::recorderSaysReadyStateAndPings() {
    QFETCH(bool, abstract);
    QTemporaryDir dir;
    NotifySocket manager(abstract ? "@impulz-notify-" + QByteArray::number(::getpid())
                                  : QFile::encodeName(dir.filePath(QStringLiteral("notify"))));
    QVERIFY(manager.bound());
    FakeController controller;
    // A broker that refuses: the recorded event waits in the outbox.
    quint16 brokerPort = 0;
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        brokerPort = closed.serverPort();
    }
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    QVERIFY(writeRecorderSettings(ini, controller.port(), 1, dir.filePath(QStringLiteral("events"))));
    QFile file(ini);
    QVERIFY(file.open(QIODevice::Append));
    file.write("[MQTT]\nServer=127.0.0.1\nPort=" + QByteArray::number(brokerPort) + "\n");
    file.close();

    QProcess recorder;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(manager.name()));
    env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("400000"));
    env.remove(QStringLiteral("WATCHDOG_PID"));
    for (const char* xdg : {"XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
        env.insert(QLatin1String(xdg), dir.path());
    recorder.setProcessEnvironment(env);
    recorder.start(QStringLiteral(IMPULZ_BIN_DIR "/impulz-recorder"), {QStringLiteral("--settings"), ini});
    QVERIFY(QTest::qWaitFor([&] { return !manager.read().isEmpty(); }, 30000));
    const QByteArray first = manager.read().first();
    QVERIFY2(first.startsWith("READY=1\nSTATUS=") && first.contains("nepřipojena"), first.constData());

    QTRY_COMPARE_WITH_TIMEOUT(controller.sessionCount(), 1, 30000);
    controller.send(report(52, 0xFF) + report(52, 0xFE)); // input 0 into LOG1: one event
    QVERIFY(QTest::qWaitFor(
        [&] {
            const QByteArrayList s = manager.statuses();
            return !s.isEmpty() && s.last().contains(" připojena") && s.last().contains("nedoručeno 1 událostí");
        },
        15000));
    QVERIFY(QTest::qWaitFor([&] { return manager.count("WATCHDOG=1") >= 2; }, 10000));
    const QByteArrayList statuses = manager.statuses();
    for (qsizetype i = 1; i < statuses.size(); ++i)
        QVERIFY2(statuses[i] != statuses[i - 1], statuses[i].constData()); // said on change only

    recorder.terminate();
    QVERIFY(recorder.waitForFinished(10000));
    QCOMPARE(recorder.exitCode(), 0);
    QVERIFY(QTest::qWaitFor([&] { return manager.read().last().startsWith("STOPPING=1"); }, 5000));
}

// The pings come from the core's thread: while it is held nothing pings, and the pings come back when it goes on.
void TestServiceNotify::pingsStopWhileTheCoreThreadIsHeld() {
    QTemporaryDir dir;
    NotifySocket manager(QFile::encodeName(dir.filePath(QStringLiteral("notify"))));
    QVERIFY(manager.bound());
    EnvGuard socket("NOTIFY_SOCKET", manager.name());
    EnvGuard period("WATCHDOG_USEC", "100000");
    EnvGuard pid("WATCHDOG_PID", QByteArray::number(::getpid()));
    RecorderHost host(dir.filePath(QStringLiteral("impulz.ini")));
    ServiceNotifier notifier(host);
    QVERIFY(manager.read().value(0).startsWith("READY=1\n"));
    QVERIFY(QTest::qWaitFor([&] { return manager.count("WATCHDOG=1") >= 2; }, 10000));

    QSemaphore held, release;
    QMetaObject::invokeMethod(host.monitor, [&] {
        held.release();
        release.acquire();
    });
    held.acquire();
    manager.clear();   // what was sent before the hold
    QTest::qWait(500); // five periods
    QCOMPARE(manager.count("WATCHDOG=1"), 0);
    release.release();
    QVERIFY(QTest::qWaitFor([&] { return manager.count("WATCHDOG=1") >= 1; }, 10000));
}

// systemd names the watched process when the variables may reach others (a child started by the recorder).
void TestServiceNotify::watchdogIsForTheNamedProcessOnly() {
    EnvGuard period("WATCHDOG_USEC", "30000000");
    {
        EnvGuard pid("WATCHDOG_PID", QByteArray::number(::getpid() + 1));
        QCOMPARE(ServiceNotify::watchdogUsec(), 0);
    }
    QCOMPARE(ServiceNotify::watchdogUsec(), 30000000);
    EnvGuard socket("NOTIFY_SOCKET", "relative/path");
    QVERIFY(!ServiceNotify::send("READY=1")); // only an absolute path or an abstract name is a manager's socket
}

QTEST_GUILESS_MAIN(TestServiceNotify)
#include "tst_servicenotify.moc"
