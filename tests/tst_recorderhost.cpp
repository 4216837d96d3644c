// The recorder host without any window: one writer for the settings file, the journal's log lines, and the local
// service that windows of other processes attach to.

#include "support/testsupport.h"

#include "core/headless.h"
#include "core/inifile.h"
#include "core/levelschannel.h"
#include "core/recorderclient.h"
#include "core/recorderhost.h"
#include "core/recorderservice.h"

#include <QDir>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestRecorderHost : public QObject {
    Q_OBJECT
private slots:
    void init();
    void savesAndLoadsNeverReissueANumber();
    void journalLinesShowControlCharacters_data();
    void journalLinesShowControlCharacters();
    void windowOfAnotherProcessSeesAndDrivesTheRecorder();
    void levelsNeverWaitForASlowWindow();

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
}

// A window that stops reading (frozen, or stopped in a debugger) never holds the recorder up: what does not fit is
// left for later, and the window ends at the latest levels once it reads again. A window that went is dropped.
void TestRecorderHost::levelsNeverWaitForASlowWindow() {
    const QString path = m_dir.filePath(QStringLiteral("levels"));
    LevelsServer server;
    QString error;
    QVERIFY2(server.listen(path, &error), qPrintable(error));
    auto reader = std::make_unique<LevelsReader>();
    QVERIFY2(reader->connectTo(path, &error), qPrintable(error));
    QTRY_COMPARE(server.windowCount(), 1);

    // Far more than a socket holds, with the window reading nothing: every send returns at once.
    for (int i = 0; i < 200000; ++i)
        server.send(quint8(i));
    server.send(0xa5);
    QList<int> seen;
    connect(reader.get(), &LevelsReader::levels, this, [&seen](quint8 v) { seen.append(v); });
    reader->start();
    QTRY_VERIFY(!seen.isEmpty() && seen.last() == 0xa5);

    reader.reset();
    QTRY_VERIFY((server.send(0), server.windowCount() == 0));
}

QTEST_GUILESS_MAIN(TestRecorderHost)
#include "tst_recorderhost.moc"
