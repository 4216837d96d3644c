// Faults end to end: a controller that cuts, resets, falls silent, drips, bursts or talks Telnet at the monitor,
// a real Telnet server as the peer, and event folders that are missing, read-only or full. Whatever happens, every
// transition that reached the monitor is recorded exactly once, and nothing half-written stays on the disk.

#include "support/simulator.h"
#include "support/monitorfixture.h"

#include "components/spinedit.h"
#include "socket/clientsocket.h"

#include <QCheckBox>
#include <QDirIterator>
#include <QLineEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>

#include <sys/mount.h>
#include <unistd.h>

namespace {

bool isRoot() {
    return geteuid() == 0;
}

QString errorText(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

PerInput recordedFiles(const std::function<QString(int)>& folderOf) {
    PerInput files{};
    for (int n = 0; n < 8; ++n)
        files[size_t(n)] = int(csvFiles(folderOf(n), Listing::Below).size());
    return files;
}

PerInput recordedFiles(const MonitorFixture& fx) {
    return recordedFiles([&fx](int n) { return fx.eventDir(n); });
}

PerInput counters(const MonitorFixture& fx) {
    PerInput counts{};
    for (int n = 0; n < 8; ++n)
        counts[size_t(n)] = fx.FrmPocitadla->Edit[n]->text().toInt();
    return counts;
}

QString text(const PerInput& perInput) {
    QStringList parts;
    for (int n = 0; n < 8; ++n)
        parts << QStringLiteral("%1:%2").arg(n).arg(perInput[size_t(n)]);
    return parts.join(QLatin1Char(' '));
}

// What an interrupted write could leave: the recorder's hidden temporary files, and event files that are not the
// one complete line.
QStringList leftovers(const QString& root) {
    QStringList found;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    static const QRegularExpression line(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d\\d;\\d\\d:\\d\\d:\\d\\d\r\n$"));
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName().startsWith(QStringLiteral(".event.")))
            found << path;
        if (path.endsWith(QStringLiteral(".csv"))) {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly) || !line.match(QString::fromLatin1(file.readAll())).hasMatch())
                found << path;
        }
    }
    return found;
}

// Stops the watchdog and the link before the fixture takes the windows down.
void disconnectMonitor(MonitorFixture& fx) {
    fx.stopWatchdog();
    if (fx.socketState() != wsClosed) {
        fx.Form1->btnPripojClick();
        fx.settle();
    }
}

// Bytes that are neither a subnegotiation nor the start of one: never IAC SB, and never IAC IAC, after which the
// next byte would be taken for a command again.
QByteArray garbageCommand(quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes;
    while (bytes.size() < 60) {
        auto b = quint8(random.bounded(256));
        if (!bytes.isEmpty() && quint8(bytes.back()) == 0xFF && (b == 0xFA || b == 0xFF))
            b = 0xF1;
        bytes.append(char(b));
    }
    return "raw " + bytes.toHex();
}
} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void init() { m_clock = pinnedClock(QDateTime(QDate(2026, 12, 6), QTime(13, 45, 7))); }
    void everyDeliveredTransitionIsRecordedOnce_data();
    void everyDeliveredTransitionIsRecordedOnce();
    void realTelnetServerAsPeer();
    void diskFaultsCostOnlyTheirOwnEvents_data();
    void diskFaultsCostOnlyTheirOwnEvents();

private:
    std::shared_ptr<PinnedClock> m_clock; // every test's recorder reads it
};

void TestFaults::everyDeliveredTransitionIsRecordedOnce_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("steps");
    QTest::addColumn<QList<QByteArray>>("between"); // commands before step i, "" for none
    QTest::addColumn<bool>("linkLost");             // the fault takes the link down at least once

    const QStringList keepalive{QStringLiteral("--keepalive"), QStringLiteral("200")};
    QList<QByteArray> none(16);

    // Without keep-alive reports the cuts fall on the steps' own reports: now on a move into LOG1, which is then
    // never delivered, now on the way back, after the move went out whole.
    QTest::newRow("report cut, link closed")
        << QStringList{QStringLiteral("--close-mid-report"), QStringLiteral("4")} << 8 << QList<QByteArray>(8) << true;
    QList<QByteArray> resets(16);
    resets[3] = resets[10] = "reset";
    QTest::newRow("link reset") << keepalive << 16 << resets << true;
    QList<QByteArray> silence(16);
    silence[5] = "silence";
    QTest::newRow("controller falls silent") << keepalive << 16 << silence << true;
    QTest::newRow("byte by byte") << (keepalive + QStringList{QStringLiteral("--drip")}) << 16 << none << false;
    QTest::newRow("reports in two writes")
        << (keepalive + QStringList{QStringLiteral("--split")}) << 16 << none << false;
    QTest::newRow("bursts over 255 bytes")
        << (keepalive + QStringList{QStringLiteral("--burst")}) << 16 << none << false;
    QTest::newRow("IAC IAC in text") << (keepalive + QStringList{QStringLiteral("--iac-text")}) << 16 << none << false;

    QList<QByteArray> telnet(16);
    telnet[0] = "raw FF FB 01\nraw FF FD 03"; // WILL ECHO, DO SUPPRESS-GO-AHEAD
    telnet[1] = "raw FF FA 18 01 FF F0";      // a whole subnegotiation of another option
    telnet[2] = garbageCommand(1);
    telnet[3] = "raw FF FB 2C\nraw FF FE 2C";  // WILL and DONT of the report's own option
    telnet[4] = "raw FF FA 2C 05 01 02 FF F0"; // the report's option with a subcommand of no meaning
    telnet[5] = garbageCommand(2);
    telnet[6] = "raw FF FA 2C 34\nclose"; // cut after the subcommand: the next session's first byte is its value
    telnet[7] = garbageCommand(3);
    telnet[9] = "text \"login: \\xFF\\r\\n\"";
    telnet[11] = garbageCommand(4) + '\n' + garbageCommand(5) + '\n' + garbageCommand(6);
    telnet[14] = "raw FF F1 FF F6 FF F0"; // NOP, AYT and a stray SE
    QTest::newRow("Telnet negotiations and garbage") << keepalive << 16 << telnet << true;
}

void TestFaults::everyDeliveredTransitionIsRecordedOnce() {
    QFETCH(QStringList, options);
    QFETCH(int, steps);
    QFETCH(QList<QByteArray>, between);
    QFETCH(bool, linkLost);
    if (!Simulator::available())
        QSKIP("controller simulator not built");

    MonitorFixture fx(m_clock);
    const auto stop = qScopeGuard([&fx] { disconnectMonitor(fx); });
    Simulator sim(options);
    QVERIFY2(sim.listening(), sim.tail().constData());

    QStringList settings = fx.existingDirectories();
    for (int n = 0; n < 8; ++n)
        settings << QStringLiteral("Bit%1=1").arg(n);
    // The clock stands still, so every event of an input has the same name and the recorder has to number them.
    settings << QStringLiteral("Port=%1").arg(sim.port()) << QStringLiteral("Obnovit=1") << QStringLiteral("Sec=1")
             << QStringLiteral("Format=L%numl%_B%nbit%_%date%%time%");
    fx.writeIni(settings);
    fx.Form1->LoadSettings();
    fx.Form1->btnPripojClick();
    fx.settle();
    QVERIFY2(QTest::qWaitFor([&] { return sim.sessionReady(); }, 10000), sim.tail().constData());

    // Each step moves one input into LOG1 and back in one go, so the simulator never holds an input at LOG1 while
    // a new session starts: its greeting answer cannot show a move that was never delivered.
    int sessionsWaitedFor = 0;
    for (int step = 0; step < steps; ++step) {
        const QByteArray action = between.value(step);
        if (!action.isEmpty()) {
            const int sessions = sim.count("greeting ok");
            QVERIFY2(sim.run(action), sim.tail().constData());
            if (action.contains("silence")) {
                // Only the watchdog can bring the next session.
                QVERIFY2(QTest::qWaitFor([&] { return sim.count("greeting ok") > sessions; }, 15000),
                         sim.tail().constData());
                QVERIFY(sim.run("keepalive 200"));
                ++sessionsWaitedFor;
            }
        }
        if (!sim.sessionReady()) {
            ++sessionsWaitedFor;
            QVERIFY2(QTest::qWaitFor([&] { return sim.sessionReady(); }, 15000), sim.tail().constData());
        }
        const int linesBefore = sim.lineCount();
        const int sentBefore = sim.sentTotal();
        const auto into = quint8(~(1u << (step % 8)));
        QVERIFY(sim.run("set " + QByteArray::number(into, 16) + "\nset FF"));
        // Delivered, or lost with the session it was meant for.
        QVERIFY2(QTest::qWaitFor([&] { return sim.sentTotal() > sentBefore || sim.droppedSince(linesBefore); }, 10000),
                 sim.tail().constData());
        QTRY_COMPARE_WITH_TIMEOUT(text(recordedFiles(fx)), text(sim.sent()), 10000);
    }
    QVERIFY2(sim.quit(), sim.tail().constData());

    QTRY_COMPARE_WITH_TIMEOUT(text(recordedFiles(fx)), text(sim.sent()), 10000);
    // A file takes its name before its folder is synced; it is counted after.
    QTRY_COMPARE(text(counters(fx)), text(recordedFiles(fx)));
    QVERIFY(fx.logLines().filter(QStringLiteral("Chyba zápisu")).isEmpty());
    QCOMPARE(leftovers(fx.dir.path()), QStringList());
    if (options.contains(QStringLiteral("--burst")))
        QVERIFY2(!MessageBox::shown().isEmpty(), "no chunk came in over 252 bytes");
    QVERIFY2(sim.sentTotal() >= steps / 2, sim.tail().constData());
    if (linkLost) {
        QVERIFY2(sessionsWaitedFor > 0, "the fault never took the link down");
        // Every lost session was brought back by the watchdog.
        QVERIFY2(fx.App->monitor->reconnectCount() >= sessionsWaitedFor,
                 qPrintable(QString::number(fx.App->monitor->reconnectCount())));
        QVERIFY(fx.logLines().contains(QStringLiteral("Chyba: obnoveni komunikace 1x !!!!")));
    }
}

void TestFaults::realTelnetServerAsPeer() {
    const QString telnetd = QStringLiteral("/usr/sbin/telnetd");
    const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
    if (!QFileInfo(telnetd).isExecutable() || socat.isEmpty())
        QSKIP("needs telnetd (inetutils-telnetd) and socat");
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    // socat accepts on loopback only and starts one Telnet server per connection; all of them share one process
    // group, so the test can end exactly what it started.
    QProcess server;
    server.setChildProcessModifier([] { ::setpgid(0, 0); });
    server.start(socat, {QStringLiteral("-d"), QStringLiteral("-d"),
                         QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork").arg(port),
                         QStringLiteral("EXEC:%1 -h").arg(telnetd)});
    QVERIFY(server.waitForStarted(5000));
    const auto stopServer = qScopeGuard([&] {
        const qint64 pid = server.processId();
        if (pid > 0)
            ::kill(-pid_t(pid), SIGTERM);
        if (!server.waitForFinished(3000) && pid > 0) {
            ::kill(-pid_t(pid), SIGKILL);
            server.waitForFinished(3000);
        }
    });
    QByteArray serverLog;
    QTRY_VERIFY_WITH_TIMEOUT((serverLog += server.readAllStandardError()).contains("listening on"), 10000);

    MonitorFixture fx(m_clock);
    const auto stop = qScopeGuard([&fx] { disconnectMonitor(fx); });
    QStringList settings = fx.existingDirectories();
    for (int n = 0; n < 8; ++n)
        settings << QStringLiteral("Bit%1=1").arg(n);
    settings << QStringLiteral("Port=%1").arg(port) << QStringLiteral("Obnovit=1") << QStringLiteral("Sec=1");
    fx.writeIni(settings);
    fx.Form1->LoadSettings();
    fx.Form1->btnPripojClick();
    fx.settle();

    // The server negotiates, answers the greeting's "Are You There" and then waits for answers that never come:
    // the watchdog abandons each silent session and greets a new server.
    const auto answers = [&] { return fx.logLines().filter(QStringLiteral("Yes")).size(); };
    QTRY_VERIFY_WITH_TIMEOUT(fx.App->monitor->reconnectCount() >= 2 && answers() >= 2, 20000);
    serverLog += server.readAllStandardError();
    QVERIFY2(serverLog.count("accepting connection") >= 2, serverLog.right(600).constData());
    QCOMPARE(fx.reportLines(), 0);
    QCOMPARE(text(recordedFiles(fx)), text(PerInput{}));
    for (auto* led : fx.Form1->Leds)
        QCOMPARE(led->state(), lsOFF);
    QVERIFY(fx.logLines().filter(QStringLiteral("Socket error")).isEmpty());
    QVERIFY(MessageBox::shown().isEmpty());
}

void TestFaults::diskFaultsCostOnlyTheirOwnEvents_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("bad");   // the input that cannot be recorded, -1 for all, 8 for none
    QTest::addColumn<int>("error"); // the system's reason, as errno
    QTest::addColumn<QString>("format");

    const QString plain = QStringLiteral("E%nbit%_%numco%");
    QTest::newRow("missing folder") << "missing" << 2 << ENOENT << plain;
    QTest::newRow("read-only folder") << "readonly" << 4 << (isRoot() ? EROFS : EACCES) << plain;
    QTest::newRow("full disk") << "full" << 5 << ENOSPC << plain;
    QTest::newRow("name into a missing subfolder") << "subfolder" << 6 << ENOENT << QStringLiteral("%nbit%/E%numco%");
    // %numco% gives five digits: 246 + 5 + ".csv" is the longest name the system takes, 255 bytes.
    QTest::newRow("name of 255 bytes") << "long" << 8 << 0
                                       << QString(246, QLatin1Char('n')) + QStringLiteral("%numco%");
    QTest::newRow("name of 256 bytes") << "long" << -1 << ENAMETOOLONG
                                       << QString(247, QLatin1Char('n')) + QStringLiteral("%numco%");
    QTest::newRow("line break in the name") << "linebreak" << 8 << 0 << QStringLiteral("E%nbit%\n%numco%");
}

void TestFaults::diskFaultsCostOnlyTheirOwnEvents() {
    QFETCH(QString, kind);
    QFETCH(int, bad);
    QFETCH(int, error);
    QFETCH(QString, format);
    MonitorFixture fx(m_clock);
    const auto stop = qScopeGuard([&fx] { disconnectMonitor(fx); });
    const auto isBad = [bad](int n) { return bad == -1 || bad == n; };

    const QString target = bad >= 0 && bad < 8 ? fx.eventDir(bad) : QString();
    const QByteArray nativeTarget = QFile::encodeName(target);
    QVERIFY(target.isEmpty() || QDir().mkpath(target));
    bool mounted = false;
    const auto unmount = qScopeGuard([&] {
        if (mounted)
            ::umount2(nativeTarget.constData(), MNT_DETACH);
        if (!target.isEmpty())
            QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    });
    // Root writes through any permission, so as root the file system itself says no: a read-only or a tiny tmpfs.
    if (kind == QLatin1String("readonly") || kind == QLatin1String("full")) {
        if (isRoot()) {
            const unsigned long flags = kind == QLatin1String("readonly") ? MS_RDONLY : 0;
            if (::mount("tmpfs", nativeTarget.constData(), "tmpfs", flags, "size=16k,mode=0777") != 0)
                QSKIP("cannot mount a tmpfs here");
            mounted = true;
        } else if (kind == QLatin1String("full")) {
            QSKIP("a full disk needs a tmpfs mount, which needs root");
        } else {
            QVERIFY(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        }
    }
    const QString filler = target + QStringLiteral("/filler");
    if (kind == QLatin1String("full")) {
        QFile file(filler);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        while (file.write(block) == block.size() && file.flush()) {
        }
    }

    QStringList settings;
    for (int n = 0; n < 8; ++n)
        settings << QStringLiteral("Bit%1=1").arg(n);
    Link link(fx, settings);
    if (QTest::currentTestFailed())
        return;
    fx.FrmNastav->edFormat->setText(format);
    QCOMPARE(fx.FrmNastav->edFormat->text(), format);
    const QString missing = fx.dir.filePath(QStringLiteral("missing"));
    if (kind == QLatin1String("missing"))
        fx.FrmNastav->edCesta[bad]->setText(missing);
    const auto folderOf = [&](int n) {
        return kind == QLatin1String("missing") && n == bad ? missing : fx.eventDir(n);
    };
    if (kind == QLatin1String("subfolder")) {
        for (int n = 0; n < 8; ++n) {
            if (n != bad)
                QVERIFY(QDir().mkpath(fx.eventDir(n) + QStringLiteral("/%1").arg(n)));
        }
    }

    // A round moves every input into LOG1 and back, in one chunk.
    QByteArray round;
    for (int n = 0; n < 8; ++n)
        round += report(52, quint8(~(1u << n))) + report(52, 0xFF);
    int lines = 1;
    link.send(report(52, 0xFF), lines);
    for (int r = 0; r < 2; ++r)
        link.send(round, lines += 16);

    PerInput expected{};
    for (int n = 0; n < 8; ++n)
        expected[size_t(n)] = isBad(n) ? 0 : 2;
    QCOMPARE(text(recordedFiles(folderOf)), text(expected));
    QCOMPARE(text(counters(fx)), text(expected));
    const QStringList errors = fx.logLines().filter(QStringLiteral("Chyba zápisu"));
    int badInputs = 0;
    for (int n = 0; n < 8; ++n) {
        if (!isBad(n))
            continue;
        ++badInputs;
        const QString pattern =
            QStringLiteral("^Chyba zápisu: %1/.+\\.csv \\(%2\\)$")
                .arg(QRegularExpression::escape(folderOf(n)), QRegularExpression::escape(errorText(error)));
        QCOMPARE(errors.filter(QRegularExpression(pattern)).size(), 2);
    }
    QCOMPARE(errors.size(), 2 * badInputs);
    QCOMPARE(leftovers(fx.dir.path()), QStringList());

    // Once the fault is gone, the next events of the same input are recorded again.
    if (kind == QLatin1String("missing"))
        QVERIFY(QDir().mkpath(missing));
    if (kind == QLatin1String("readonly")) {
        if (mounted)
            QVERIFY(::mount("tmpfs", nativeTarget.constData(), "tmpfs", MS_REMOUNT, "size=16k,mode=0777") == 0);
        else
            QVERIFY(QFile::setPermissions(target,
                                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    }
    if (kind == QLatin1String("full"))
        QVERIFY(QFile::remove(filler));
    if (kind == QLatin1String("subfolder"))
        QVERIFY(QDir().mkpath(fx.eventDir(bad) + QStringLiteral("/%1").arg(bad)));
    if (kind == QLatin1String("long"))
        fx.FrmNastav->edFormat->setText(QStringLiteral("E%nbit%_%numco%"));
    link.send(round, lines += 16);
    for (int n = 0; n < 8; ++n)
        ++expected[size_t(n)];
    QCOMPARE(text(recordedFiles(folderOf)), text(expected));
    QCOMPARE(text(counters(fx)), text(expected));
    QCOMPARE(fx.logLines().filter(QStringLiteral("Chyba zápisu")).size(), 2 * badInputs);
    QCOMPARE(leftovers(fx.dir.path()), QStringList());
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
