// The recorder without windows: the same settings file, the simulator at its load rate, every transition in a file,
// a clean stop on SIGTERM, and no second recorder on the same settings.

#include "core/archive/archiveindex.h"
#include "core/recording/counters.h"
#include "core/settings/inifile.h"
#include "core/link/monitor.h"
#include "core/mqtt/mqttoutbox.h"
#include "core/host/recorderhost.h"
#include "core/settings/settings.h"
#include "core/settings/statefile.h"
#include "core/host/version.h"
#include "support/fakelink.h"
#include "support/simulator.h"
#include "support/testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

class TestHeadless : public QObject {
    Q_OBJECT
private slots:
    void recordsEveryTransitionAndStopsOnSigterm();
    void missingFolderOutsideConfigIsNotCreated();
    void unusableNamedSettingsFileRefusesTheStart_data();
    void unusableNamedSettingsFileRefusesTheStart();
    void readerGoingAwayStopsNothing();
    void serviceWaitsForTheRecorderThatHoldsTheSettings();
    void stopsOnSigtermWhileItsOutputIsBlocked();
    void waitGivesUpOnALockThatCannotBeMade();
    void endingRecordsWhatHadArrived();
    void commandLinesFollowTheGnuConventions_data();
    void commandLinesFollowTheGnuConventions();
    void recorderWithoutAddressSaysSoOnce();
    void freshUsersFilesArePrivate();
    void passwordFileOthersMayReadIsRefused();
};

void TestHeadless::recordsEveryTransitionAndStopsOnSigterm() {
    if (!Simulator::available())
        QSKIP("controller-sim not built");
    QTemporaryDir dir;
    Simulator sim({QStringLiteral("--rate"), QStringLiteral("200"), QStringLiteral("--seconds"), QStringLiteral("3"),
                   QStringLiteral("--seed"), QStringLiteral("7")});
    QVERIFY(sim.listening());
    const QString events = dir.filePath(QStringLiteral("events"));
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    QVERIFY(writeRecorderSettings(ini, sim.port(), 8, events));

    QProcess recorder;
    recorder.setProcessChannelMode(QProcess::MergedChannels);
    const QString program = QStringLiteral(IMPULZ_BIN_DIR "/impulz");
    const QStringList args{QStringLiteral("--headless"), QStringLiteral("--settings"), ini};
    recorder.start(program, args);
    QVERIFY(recorder.waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return sim.count("greeting ok") == 1; }, 10000));

    // A second recorder on the same settings file refuses to run.
    QProcess second;
    second.setProcessChannelMode(QProcess::MergedChannels);
    second.start(program, args);
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(second.readAll().contains(ini.toUtf8()));

    QVERIFY(sim.finished(20000)); // the load run ends by itself
    const int sent = sim.sentTotal();
    QVERIFY(sent > 100);
    QTRY_COMPARE_WITH_TIMEOUT(int(csvFiles(events).size()), sent, 10000);

    recorder.terminate(); // SIGTERM
    QVERIFY(recorder.waitForFinished(10000));
    QCOMPARE(recorder.exitStatus(), QProcess::NormalExit);
    QCOMPARE(recorder.exitCode(), 0);
    const QByteArray out = recorder.readAll();
    QVERIFY2(out.contains("LOG1 Bit: "), out.left(400).constData());
    // The running number reached the settings file on the way out, as the windowed exit writes it.
    QCOMPARE(IniFile(ini).readInteger(Settings::Section, Settings::SequenceKey, 0), sent + 1);
}

// A settings path in a folder that does not exist, outside the configuration folder, is a typing error or an
// unmounted drive: the recorder refuses to start and makes no folder there, not even for its lock.
void TestHeadless::missingFolderOutsideConfigIsNotCreated() {
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("missing"));
    QProcess recorder;
    recorder.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    recorder.setProcessEnvironment(env);
    recorder.start(
        QStringLiteral(IMPULZ_BIN_DIR "/impulz"),
        {QStringLiteral("--headless"), QStringLiteral("--settings"), missing + QStringLiteral("/impulz.ini")});
    QVERIFY(recorder.waitForFinished(10000));
    QVERIFY(recorder.exitCode() != 0);
    QVERIFY(recorder.readAll().contains(QFile::encodeName(missing)));
    QVERIFY(!QFileInfo::exists(missing));
}

void TestHeadless::unusableNamedSettingsFileRefusesTheStart_data() {
    QTest::addColumn<QByteArray>("content"); // empty: no file; "/": a folder
    QTest::newRow("missing") << QByteArray();
    QTest::newRow("a folder") << QByteArray("/");
    QTest::newRow("NUL byte") << QByteArray("[Po spusteni]\nPort=23\0\n", 24);
    QTest::newRow("UTF-16 without a mark") << QByteArray("[\0P\0o\0]\0", 8);
    QTest::newRow("byte Windows-1250 lacks") << QByteArray("[Po spusteni]\nPopis=\x81\n");
}

// A file named on the command line that cannot be used stops the start with one line naming it; nothing is made.
void TestHeadless::unusableNamedSettingsFileRefusesTheStart() {
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    if (content == "/") {
        QVERIFY(QDir().mkpath(ini));
    } else if (!content.isEmpty()) {
        QFile file(ini);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    QProcess recorder;
    recorder.setProcessChannelMode(QProcess::MergedChannels);
    recorder.start(QStringLiteral(IMPULZ_BIN_DIR "/impulz"),
                   {QStringLiteral("--headless"), QStringLiteral("--settings"), ini});
    QVERIFY(recorder.waitForFinished(10000));
    QVERIFY(recorder.exitCode() != 0);
    const QByteArray out = recorder.readAll();
    QCOMPARE(out.count('\n'), 1);
    QVERIFY2(out.contains(QFile::encodeName(ini)), out.constData());
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), before);
}

// Whatever reads the recorder's output may go away; the recorder records on.
void TestHeadless::readerGoingAwayStopsNothing() {
    if (!Simulator::available())
        QSKIP("controller-sim not built");
    QTemporaryDir dir;
    Simulator sim;
    QVERIFY(sim.listening());
    const QString events = dir.filePath(QStringLiteral("events"));
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    QVERIFY(writeRecorderSettings(ini, sim.port(), 1, events, "E%numco%"));
    // Its output goes into a pipe whose reader is closed once the recorder is connected.
    const QString pipe = dir.filePath(QStringLiteral("out"));
    QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
    const int reader = ::open(QFile::encodeName(pipe).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(reader >= 0);
    QProcess recorder;
    recorder.setStandardOutputFile(pipe);
    // As a service manager starts it: SIGPIPE at its default, which this test process does not have.
    recorder.setChildProcessModifier([] { ::signal(SIGPIPE, SIG_DFL); });
    recorder.start(QStringLiteral(IMPULZ_BIN_DIR "/impulz-recorder"), {QStringLiteral("--settings"), ini});
    QVERIFY(QTest::qWaitFor([&] { return sim.count("greeting ok") == 1; }, 10000));
    ::close(reader);
    QVERIFY(sim.run("pulse 0 10\nsleep 50\npulse 0 10\nsleep 50\npulse 0 10"));
    QTRY_COMPARE(csvFiles(events).size(), 3);
    QCOMPARE(recorder.state(), QProcess::Running);
    // A line PC without a desktop runs it: no widget, GUI or chart library is mapped.
    const QByteArray maps = readBytes(QStringLiteral("/proc/%1/maps").arg(recorder.processId()));
    QVERIFY(maps.contains("libQt6Core"));
    for (const char* library : {"libQt6Widgets", "libQt6Gui", "libQt6Charts"})
        QVERIFY2(!maps.contains(library), library);
    recorder.terminate();
    QVERIFY(recorder.waitForFinished(10000));
    QCOMPARE(recorder.exitCode(), 0);
}

// The service starts while another recorder (a window that records itself) holds the settings file: it neither
// exits (a service manager would restart it in a loop) nor records beside it, and takes over when that one ends.
void TestHeadless::serviceWaitsForTheRecorderThatHoldsTheSettings() {
    if (!Simulator::available())
        QSKIP("controller-sim not built");
    QTemporaryDir dir;
    Simulator sim;
    QVERIFY(sim.listening());
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    QVERIFY(writeRecorderSettings(ini, sim.port(), 0));
    const QString program = QStringLiteral(IMPULZ_BIN_DIR "/impulz-recorder");
    QProcess first;
    first.start(program, {QStringLiteral("--settings"), ini});
    QVERIFY(QTest::qWaitFor([&] { return sim.count("greeting ok") == 1; }, 10000));
    QProcess service;
    service.setProcessChannelMode(QProcess::MergedChannels);
    service.start(program, {QStringLiteral("--settings"), ini, QStringLiteral("--wait")});
    QVERIFY(QTest::qWaitFor([&] { return service.readAll().contains("Čekám"); }, 10000));
    QVERIFY(!service.waitForFinished(1500));
    QCOMPARE(sim.count("greeting ok"), 1);
    first.terminate();
    QVERIFY(first.waitForFinished(10000));
    QVERIFY(QTest::qWaitFor([&] { return sim.count("greeting ok") == 2; }, 15000));
    service.terminate();
    QVERIFY(service.waitForFinished(10000));
    QCOMPARE(service.exitCode(), 0);
}

// A journal that stops reading must not hold the stop back: the service manager kills what does not end in time,
// and the running number would be lost with it.
void TestHeadless::stopsOnSigtermWhileItsOutputIsBlocked() {
    if (!Simulator::available())
        QSKIP("controller-sim not built");
    QTemporaryDir dir;
    Simulator sim;
    QVERIFY(sim.listening());
    const QString events = dir.filePath(QStringLiteral("events"));
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    QVERIFY(writeRecorderSettings(ini, sim.port(), 1, events, "E%numco%"));
    // A reader that is there and never reads, on a pipe of one page.
    const QString pipe = dir.filePath(QStringLiteral("out"));
    QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
    const int reader = ::open(QFile::encodeName(pipe).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(reader >= 0);
    const int capacity = ::fcntl(reader, F_SETPIPE_SZ, 4096);
    QVERIFY(capacity > 0);
    const auto queued = [reader] {
        int n = 0;
        return ::ioctl(reader, FIONREAD, &n) == 0 ? n : -1;
    };
    QProcess recorder;
    recorder.setStandardOutputFile(pipe);
    recorder.start(QStringLiteral(IMPULZ_BIN_DIR "/impulz-recorder"), {QStringLiteral("--settings"), ini});
    QVERIFY(QTest::qWaitFor([&] { return sim.count("greeting ok") == 1; }, 10000));
    int pulses = 0;
    for (; pulses < 400 && queued() < capacity - 200; ++pulses)
        QVERIFY(sim.run("pulse 0 10\nsleep 20"));
    for (int more = 0; more < 10; ++more, ++pulses) // lines the pipe cannot take
        QVERIFY(sim.run("pulse 0 10\nsleep 20"));
    QTRY_COMPARE(int(csvFiles(events).size()), pulses);

    recorder.terminate();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.state(), QProcess::NotRunning, 5000);
    QCOMPARE(recorder.exitCode(), 0);
    QCOMPARE(IniFile(ini).readInteger(Settings::Section, Settings::SequenceKey, 0), pulses + 1);
    ::close(reader);
}

// --wait waits for another recorder only: a lock that cannot be made ends the start, so a service manager sees the
// failure (and restarts it) instead of a service that looks alive and records nothing.
void TestHeadless::waitGivesUpOnALockThatCannotBeMade() {
    // Root ignores a folder's mode: a read-only bind mount, in a mount namespace of the recorder's own.
    if (QProcess::execute(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("true")}) != 0)
        QSKIP("no mount namespace for a read-only folder");
    QTemporaryDir dir;
    // The recorder in a folder of its own: with that folder read-only, its settings move to the configuration
    // folder, in the same mount.
    const QString bin = dir.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(bin + QStringLiteral("/config/impulz")));
    QVERIFY(QFile::copy(QStringLiteral(IMPULZ_BIN_DIR "/impulz-recorder"), bin + QStringLiteral("/impulz-recorder")));
    QProcess recorder;
    recorder.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), bin + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath(QStringLiteral("run")));
    recorder.setProcessEnvironment(env);
    recorder.start(QStringLiteral("unshare"),
                   {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                    QStringLiteral("mount -o bind,ro \"$0\" \"$0\" && exec \"$0/impulz-recorder\" --wait"), bin});
    QVERIFY(recorder.waitForFinished(10000));
    const QByteArray out = recorder.readAll();
    QCOMPARE(recorder.exitCode(), 1);
    QCOMPARE(out.count('\n'), 1);
    QVERIFY2(out.contains(QFile::encodeName(bin + QStringLiteral("/config/impulz/impulz.ini.lock"))), out.constData());
}

namespace {
// A link holding controller bytes that arrived and were not read yet, as a recorder told to end may find them.
class UnreadLink : public FakeLink {
public:
    QByteArray unread;
    int receive(char* buffer, int size) override {
        if (unread.isEmpty())
            return FakeLink::receive(buffer, size);
        const int n = int(qMin<qsizetype>(size, unread.size()));
        std::copy_n(unread.constData(), n, buffer);
        unread.remove(0, n);
        return n;
    }
};
} // namespace

// The recorder that ends for one waiting to take over records the reports already in its link, and stores the
// running number with their events: the next recorder's link never sees those bytes.
void TestHeadless::endingRecordsWhatHadArrived() {
    QTemporaryDir dir;
    Settings settings;
    Counters counters;
    auto* link = new UnreadLink;
    Monitor monitor(settings, counters, {}, nullptr, link);
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    settings.setFilePath(ini);
    settings.load();
    settings.set(Settings::pathKey(0), dir.path());
    settings.set(Settings::bitKey(0), true);
    settings.set(Settings::NameTemplate, QStringLiteral("E%numco%"));
    monitor.toggleConnection();
    link->reportSession(0);
    link->deliver(report(52, 0xFF) + report(52, 0xFE));
    QCOMPARE(counters.count(0), 1);
    const qint32 number = settings.sequenceNumber();
    link->unread = report(52, 0xFF) + report(52, 0xFE);

    QCOMPARE(monitor.shutdown(), QString());
    QCOMPARE(counters.count(0), 2);
    QCOMPARE(csvFiles(dir.path()).size(), 2);
    QCOMPARE(IniFile(ini).readInteger(Settings::Section, Settings::SequenceKey, 0), number + 1);
    QCOMPARE(monitor.socketState(), wsClosed);
}

void TestHeadless::commandLinesFollowTheGnuConventions_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // begins standard output; empty: nothing there
    QTest::addColumn<QString>("err"); // found on standard error; empty: nothing there
    const QString version = QStringLiteral("%1.%2.%3.%4")
                                .arg((*productVersion())[0])
                                .arg((*productVersion())[1])
                                .arg((*productVersion())[2])
                                .arg((*productVersion())[3]);
    const QString help = QStringLiteral("--help");
    for (const QString& program : {QStringLiteral("impulz"), QStringLiteral("impulz-recorder")}) {
        QTest::addRow("%s --help", qPrintable(program))
            << program << QStringList{help} << 0 << "Usage: " + program << "";
        QTest::addRow("%s -h", qPrintable(program)) << program << QStringList{"-h"} << 0 << "Usage: " + program << "";
        QTest::addRow("%s --version", qPrintable(program))
            << program << QStringList{"--version"} << 0 << program + u' ' + version + u'\n' << "";
        QTest::addRow("%s unknown option", qPrintable(program))
            << program << QStringList{"--bogus"} << 2 << "" << program + ": unrecognized option '--bogus'";
        QTest::addRow("%s --settings without a file", qPrintable(program))
            << program << QStringList{"--settings"} << 2 << ""
            << "'--settings'";
        QTest::addRow("%s stray argument", qPrintable(program)) << program << QStringList{"stray"} << 2 << ""
                                                                << "'stray'";
        QTest::addRow("%s missing settings file", qPrintable(program))
            << program << QStringList{"--settings=/nonexistent/impulz.ini"} << 1 << ""
            << "/nonexistent/impulz.ini";
    }
    QTest::newRow("impulz --headless --help") << "impulz" << QStringList{"--headless", help} << 0 << "Usage: impulz"
                                              << "";
    QTest::newRow("impulz --wait alone") << "impulz" << QStringList{"--wait"} << 2 << ""
                                         << "--headless";
    QTest::newRow("simulator --help") << "controller-sim" << QStringList{help} << 0 << "Usage: controller-sim"
                                      << "";
    QTest::newRow("simulator --version") << "controller-sim" << QStringList{"--version"} << 0
                                         << "controller-sim " + version + u'\n' << "";
    QTest::newRow("simulator unknown option") << "controller-sim" << QStringList{"--bogus"} << 2 << ""
                                              << "bogus";
    // Started under another name, a program says that name.
    QTest::newRow("renamed recorder") << "link:rec" << QStringList{help} << 0 << "Usage: rec "
                                      << "";
}

// Help and version on standard output with exit 0, usage errors on standard error with exit 2, an unusable settings
// file exit 1: all without a display, where opening one would abort.
void TestHeadless::commandLinesFollowTheGnuConventions() {
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QTemporaryDir dir;
    QString path = QStringLiteral(IMPULZ_BIN_DIR "/") + program;
    if (program.startsWith(QLatin1String("link:"))) {
        path = dir.filePath(program.mid(5));
        QVERIFY(QFile::link(QStringLiteral(IMPULZ_BIN_DIR "/impulz-recorder"), path));
    }
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    process.setProcessEnvironment(env);
    process.start(path, args);
    QVERIFY(process.waitForFinished(20000));
    const QString stdOut = QString::fromLocal8Bit(process.readAllStandardOutput());
    const QString stdErr = QString::fromLocal8Bit(process.readAllStandardError());
    const QString said = QStringLiteral("out: %1\nerr: %2").arg(stdOut, stdErr);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == exitCode, qPrintable(said));
    QVERIFY2(out.isEmpty() ? stdOut.isEmpty() : stdOut.startsWith(out), qPrintable(said));
    QVERIFY2(err.isEmpty() ? stdErr.isEmpty() : stdErr.contains(err), qPrintable(said));
}

// Without a controller address every attempt ends in a socket error; the log says once, at start, what is missing.
void TestHeadless::recorderWithoutAddressSaysSoOnce() {
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    QVERIFY(writeRecorderSettings(ini, 23, 0));
    QFile file(ini);
    QVERIFY(file.open(QIODevice::Append));
    file.write("IP=\n");
    file.close();
    QProcess recorder;
    recorder.start(QStringLiteral(IMPULZ_BIN_DIR "/impulz-recorder"), {QStringLiteral("--settings"), ini});
    QByteArray out;
    // The first failed attempt comes after the start-up wait; the explanation stands before it.
    QVERIFY(QTest::qWaitFor(
        [&] {
            out += recorder.readAllStandardOutput();
            return out.contains("Socket error");
        },
        20000));
    recorder.terminate();
    QVERIFY(recorder.waitForFinished(10000));
    out += recorder.readAllStandardOutput();
    const QByteArray said = QStringLiteral("chybí IP adresa").toUtf8();
    QVERIFY2(out.count(said) == 1, out.constData());
    QVERIFY(out.indexOf(said) < out.indexOf("Socket error"));
}

// What the program keeps for a fresh user (settings, start at log-on, state copy, outbox, cursor, index) is made
// 0600 in 0700 folders; while MQTT is off nothing of it is made at all.
void TestHeadless::freshUsersFilesArePrivate() {
    QTemporaryDir dir;
    const QString home = dir.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    const QByteArray before[] = {qgetenv("XDG_CONFIG_HOME"), qgetenv("XDG_STATE_HOME"), qgetenv("XDG_CACHE_HOME")};
    const char* names[] = {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"};
    for (const char* name : names)
        qputenv(name, QFile::encodeName(home + u'/' + QLatin1String(name)));
    const auto restore = qScopeGuard([&] {
        for (int i = 0; i < 3; ++i)
            before[i].isNull() ? qunsetenv(names[i]) : qputenv(names[i], before[i]);
    });
    const QString ini = userConfigFolder() + QStringLiteral("/impulz/impulz.ini");
    {
        RecorderHost host(ini);
        host.settings.load();
        host.settings.set(Settings::Autostart, true);
        host.settings.save();
        QVERIFY(QFileInfo::exists(ini));
        QVERIFY2(QDir(home).entryList({QStringLiteral("XDG_STATE*")}).isEmpty(), "an outbox made with MQTT off");
    }
    SequenceStateFile(ini).write({7, 6});
    MqttOutbox outbox(ini);
    QVERIFY(outbox.append(1, 0, QStringLiteral("E%numco%"), QStringLiteral("/events/E00007.csv")));
    outbox.next(1);
    outbox.delivered(1);
    QVERIFY(outbox.storeCursor());
    const QString events = dir.filePath(QStringLiteral("events"));
    QVERIFY(archive::ArchiveIndex::save(archive::indexFilePath(archive::defaultIndexDirectory(), events), events,
                                        QStringLiteral("*.csv"), 2026, {}));

    QStringList made;
    QDirIterator it(home, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        QVERIFY(::lstat(QFile::encodeName(path).constData(), &st) == 0);
        const mode_t want = S_ISDIR(st.st_mode) ? 0700 : 0600;
        QVERIFY2((st.st_mode & 07777) == want,
                 qPrintable(QStringLiteral("%1: %2").arg(path).arg(st.st_mode & 07777, 0, 8)));
        if (S_ISREG(st.st_mode))
            made << it.fileName();
    }
    // The settings file, the entry, the state copy, the journal, the cursor and the index.
    QVERIFY2(made.size() >= 6, qPrintable(made.join(u' ')));
}

// As ssh does for a key: a broker password that other users may read is not used, and the log names the file.
void TestHeadless::passwordFileOthersMayReadIsRefused() {
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    const QString password = dir.filePath(QStringLiteral("heslo"));
    QVERIFY(writeRecorderSettings(ini, 23, 0));
    QFile file(ini);
    QVERIFY(file.open(QIODevice::Append));
    // Nothing listens on port 1: a password that is used ends in a refused connection instead.
    file.write("IP=\n[MQTT]\nServer=127.0.0.1\nPort=1\nUser=linka\nPasswordFile=" + QFile::encodeName(password) + '\n');
    file.close();
    QFile secret(password);
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("tajne\n");
    secret.close();
    const auto mqttLine = [&](QFile::Permissions mode) {
        if (!QFile::setPermissions(password, mode))
            return QByteArray("chmod failed");
        RecorderHost host(ini);
        QSignalSpy lines(host.port(), &RecorderPort::logLine);
        host.settings.load();
        const auto said = [&] {
            for (const QList<QVariant>& line : lines) {
                if (line.first().toString().startsWith(QLatin1String("MQTT: ")))
                    return line.first().toString().toUtf8();
            }
            return QByteArray();
        };
        [[maybe_unused]] const bool arrived = QTest::qWaitFor([&] { return !said().isEmpty(); }, 20000);
        return said();
    };
    const QByteArray refused = mqttLine(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    QVERIFY2(refused.contains(QFile::encodeName(password)) && refused.contains("644"), refused.constData());
    const QByteArray used = mqttLine(QFile::ReadOwner | QFile::WriteOwner);
    QVERIFY2(used.startsWith("MQTT: ") && !used.contains(QFile::encodeName(password)), used.constData());
}

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_headless.moc"
