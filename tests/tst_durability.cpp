// The recorder's write protocol as the system sees it: a burst of reports fed to the monitor core in a child
// process whose file system calls a preloaded library writes down (durability_trace.cpp). The order of those calls
// is what survives a power loss, and no read-back of the files can tell it, so it is checked here call by call:
// the running number on disk before any event file appears (written over in place and synced, or a synced file
// renamed over the settings file and its folder synced); each
// event file's data synced before it takes its name; each folder synced after its names and before any event is
// counted, logged or announced; the MQTT outbox's journal line of every event synced before the event's file takes
// its name, and the outbox's cursor replaced through a synced file and its folder synced after the rename.

#include "core/recording/counters.h"
#include "core/settings/inifile.h"
#include "core/link/monitor.h"
#include "core/mqtt/mqttoutbox.h"
#include "core/mqtt/mqttsettings.h"
#include "core/recording/recorder.h"
#include "core/settings/settings.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Inputs 0 and 1 write into one folder, the others into another, named by the running number. A chunk of up to 36
// reports (252 bytes, the most one read takes): every other one drops the watched inputs.

QString folderOf(const QString& root, int input) {
    return root + (input < 2 ? QStringLiteral("/a") : QStringLiteral("/b"));
}

// In the traced child: one burst through the monitor core with publishing on, with a mark at every event counted,
// logged or announced; then the broker's acknowledgement of all of it and the cursor's store, between marks. Exit
// status 0 when every event was recorded.
int recordBurst(const QString& root, int inputs, int pairs) {
    using Mark = void (*)(const char*);
    const auto mark = reinterpret_cast<Mark>(::dlsym(RTLD_DEFAULT, "impulzTraceMark"));
    if (!mark)
        return 3; // not traced: the order below could not be checked
    Settings settings;
    settings.setFilePath(root + QStringLiteral("/impulz.ini"));
    settings.load();
    for (int n = 0; n < inputs; ++n) {
        settings.set(Settings::pathKey(n), folderOf(root, n));
        settings.set(Settings::bitKey(n), true);
    }
    settings.set(Settings::NameTemplate, QStringLiteral("E%nbit%_%numco%"));
    Counters counters;
    Monitor monitor(settings, counters);
    MqttOutbox outbox(settings.filePath());
    MqttSettings publishing(settings); // a broker named: every group is journaled
    MqttConfig broker;
    broker.server = QStringLiteral("127.0.0.1");
    publishing.setConfig(broker);
    monitor.recorder()->setOutbox(&outbox, &publishing);
    QObject::connect(&counters, &Counters::changed, [&] { mark("counted"); });
    QObject::connect(&monitor, &Monitor::logLine,
                     [&](const QString& line) { mark(("logged " + line.toUtf8()).constData()); });
    QObject::connect(&monitor, &Monitor::eventRecorded,
                     [&](int, const QString& path) { mark(("recorded " + QFile::encodeName(path)).constData()); });
    QObject::connect(&monitor, &Monitor::writeFailed, [&] { mark("failed"); });

    QByteArray chunk;
    for (int i = 0; i < 2 * pairs; ++i)
        chunk += report(52, i % 2 ? quint8(0xFF << inputs) : 0xFF);
    mark("chunk");
    monitor.handleChunk(chunk);
    int counted = 0;
    for (int n = 0; n < inputs; ++n)
        counted += counters.count(n);
    if (counted != inputs * pairs)
        return 4;
    const QList<MqttOutboxEntry> sent = outbox.next(1000);
    for (const MqttOutboxEntry& e : sent)
        outbox.delivered(e.seq);
    mark("acknowledged");
    const bool stored = outbox.storeCursor();
    mark("cursor stored");
    return sent.size() == counted && stored ? 0 : 5;
}

struct Call {
    QString name;
    int fd = -1;
    long result = 0;
    long arg = 0;
    quint64 device = 0;
    QString path;  // for calls on a descriptor: what it was opened on
    QString path2; // a rename's or link's new name
};

// A file opened without a name (O_TMPFILE on its folder) is called "<folder>/<anonymous N>" here, and a link made
// from its descriptor through /proc is a link from that name, so its writes and syncs are told from the folder's.
QList<Call> readTrace(const QString& file) {
    QList<Call> calls;
    QHash<int, QString> open;
    int anonymous = 0;
    QFile log(file);
    if (!log.open(QIODevice::ReadOnly))
        return calls;
    while (!log.atEnd()) {
        const QList<QByteArray> f = log.readLine().chopped(1).split('\t');
        if (f.size() != 7)
            continue;
        Call c{QString::fromLatin1(f[0]), f[1].toInt(),           f[2].toLong(), f[3].toLong(), f[4].toULongLong(),
               QFile::decodeName(f[5]),   QFile::decodeName(f[6])};
        if (c.path != QLatin1String("-"))
            c.path = QDir::cleanPath(c.path);
        if (c.path2 != QLatin1String("-"))
            c.path2 = QDir::cleanPath(c.path2);
        if (c.name == QLatin1String("open") && c.fd >= 0 && (c.arg & O_TMPFILE) == O_TMPFILE)
            c.path += QStringLiteral("/<anonymous %1>").arg(++anonymous);
        if (c.name == QLatin1String("link") && c.path.startsWith(QLatin1String("/proc/self/fd/")))
            c.path = open.value(c.path.mid(14).toInt());
        if (c.name == QLatin1String("open") && c.fd >= 0)
            open.insert(c.fd, c.path);
        else if (c.name == QLatin1String("close"))
            open.remove(c.fd);
        else if (c.fd >= 0 && c.path == QLatin1String("-"))
            c.path = open.value(c.fd);
        calls.append(c);
    }
    return calls;
}

bool isSync(const Call& c) {
    static const QStringList syncs{QStringLiteral("fsync"), QStringLiteral("fdatasync"), QStringLiteral("uring_fsync"),
                                   QStringLiteral("uring_fdatasync")};
    return c.result == 0 && syncs.contains(c.name);
}

bool isSyncfs(const Call& c) {
    return c.result == 0 && c.name == QLatin1String("syncfs");
}

// Whether path (a file or a folder), after its last write before `before`, was made durable before `before`:
// by a sync of a descriptor on it, or by a sync of its whole file system. Gives the index of that sync or -1.
qsizetype syncedBefore(const QList<Call>& calls, const QString& path, qsizetype after, qsizetype before,
                       bool needsWrite) {
    quint64 device = 0;
    qsizetype lastWrite = -1;
    for (qsizetype i = 0; i < before; ++i) {
        const Call& c = calls[i];
        if (c.path != path)
            continue;
        if (c.name == QLatin1String("open"))
            device = c.device;
        if (c.name == QLatin1String("write") && c.result > 0)
            lastWrite = i;
    }
    if (needsWrite && lastWrite < 0)
        return -1;
    struct stat st {};
    if (device == 0 && ::stat(QFile::encodeName(path).constData(), &st) == 0)
        device = st.st_dev; // a folder synced through another descriptor on its file system
    for (qsizetype i = qMax(after, lastWrite) + 1; i < before; ++i) {
        const Call& c = calls[i];
        if ((isSync(c) && c.path == path) || (isSyncfs(c) && device != 0 && c.device == device))
            return i;
    }
    return -1;
}

} // namespace

class TestDurability : public QObject {
    Q_OBJECT
private slots:
    void burstIsDurableBeforeItCounts_data();
    void burstIsDurableBeforeItCounts();
};

void TestDurability::burstIsDurableBeforeItCounts_data() {
    QTest::addColumn<bool>("uring");
    QTest::addColumn<bool>("anonymous");
    QTest::addColumn<int>("number"); // the running number stored before the burst; 0: none
    QTest::addColumn<int>("inputs"); // watched, from input 0
    QTest::addColumn<int>("pairs");  // reports raising and dropping them: inputs * pairs events
    // From 1 the number gains a digit, and the settings file is replaced; from 100 it keeps its three and is
    // written over in place. Every group numbers its files, so its syncs run while the number is stored.
    QTest::newRow("one event") << true << true << 0 << 1 << 1;
    QTest::newRow("16 files") << true << true << 100 << 4 << 4;
    QTest::newRow("64 files") << true << true << 0 << 4 << 16;
    QTest::newRow("syncs submitted together") << true << true << 0 << 4 << 18;
    QTest::newRow("more syncs than the ring takes at once") << true << true << 0 << 8 << 18;
    QTest::newRow("io_uring refused") << false << true << 0 << 4 << 18;
    QTest::newRow("named temporary files") << true << false << 0 << 4 << 18;
    QTest::newRow("number written over in place") << true << true << 100 << 4 << 18;
}

void TestDurability::burstIsDurableBeforeItCounts() {
    QFETCH(bool, uring);
    QFETCH(bool, anonymous);
    QFETCH(int, number);
    QFETCH(int, inputs);
    QFETCH(int, pairs);
    const int events = inputs * pairs;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = QDir::cleanPath(QFileInfo(dir.path()).canonicalFilePath());
    QVERIFY(QDir().mkpath(folderOf(root, 0)) && QDir().mkpath(folderOf(root, 2)));
    const QString ini = root + QStringLiteral("/impulz.ini");
    if (number > 0)
        writeBytes(ini, "[Po spusteni]\nPor_cislo=" + QByteArray::number(number) + '\n');
    const QString log = dir.filePath(QStringLiteral("trace.log"));

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("IMPULZ_DURABILITY_CHILD"), root);
    env.insert(QStringLiteral("IMPULZ_DURABILITY_SHAPE"), QStringLiteral("%1 %2").arg(inputs).arg(pairs));
    env.insert(QStringLiteral("XDG_STATE_HOME"), root + QStringLiteral("/state"));
    env.insert(QStringLiteral("IMPULZ_TRACE_LOG"), log);
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(IMPULZ_TRACE_SHIM));
    // A sanitizer's runtime would refuse to start behind the preloaded library.
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("verify_asan_link_order=0"));
    if (!uring)
        env.insert(QStringLiteral("IMPULZ_TRACE_NO_URING"), QStringLiteral("1"));
    if (!anonymous)
        env.insert(QStringLiteral("IMPULZ_TRACE_NO_TMPFILE"), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForFinished(120000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);

    const QList<Call> calls = readTrace(log);
    qsizetype start = -1;
    for (qsizetype i = 0; i < calls.size() && start < 0; ++i) {
        if (calls[i].name == QLatin1String("mark") && calls[i].path == QLatin1String("chunk"))
            start = i;
    }
    QVERIFY2(start >= 0, "the child's trace is empty");

    // What the chunk did, in the order it did it.
    qsizetype iniRename = -1;
    qsizetype iniWrite = -1;
    qsizetype firstMark = -1;
    qsizetype acknowledged = -1;
    qsizetype cursorStored = -1;
    QList<qsizetype> published;
    QStringList recorded;
    for (qsizetype i = start + 1; i < calls.size(); ++i) {
        const Call& c = calls[i];
        const bool moved = (c.name == QLatin1String("rename") || c.name == QLatin1String("link")) && c.result == 0;
        if (moved && c.path2 == ini && iniRename < 0)
            iniRename = i;
        if (c.name == QLatin1String("write") && c.result > 0 && c.path == ini && published.isEmpty())
            iniWrite = i;
        if (moved && c.path2.endsWith(QLatin1String(".csv")))
            published.append(i);
        if (c.name == QLatin1String("mark")) {
            QVERIFY2(c.path != QLatin1String("failed"), "an event file failed");
            if (firstMark < 0)
                firstMark = i;
            if (c.path.startsWith(QLatin1String("recorded ")))
                recorded.append(c.path.mid(9));
            if (c.path == QLatin1String("acknowledged"))
                acknowledged = i;
            if (c.path == QLatin1String("cursor stored"))
                cursorStored = i;
        }
    }
    QCOMPARE(published.size(), events);
    const bool named = calls[published.first()].path.endsWith(QLatin1String(".tmp"));
    QVERIFY2(named != anonymous, "the event files are made the way the row asks");
    QVERIFY2(firstMark >= 0, "nothing was counted, logged or announced");

    // The running number: on disk under the settings file's name before the first event file that used it.
    QCOMPARE(IniFile(ini).readInteger(QStringLiteral("Po spusteni"), QStringLiteral("Por_cislo"), 0),
             qMax(number, 1) + events);
    if (number > 0) {
        QVERIFY2(iniRename < 0 && iniWrite >= 0, "the running number is written over in place before the files");
        QVERIFY2(syncedBefore(calls, ini, iniWrite, published.first(), true) >= 0,
                 "the settings file is synced after the number's write, before any event file appears");
    } else {
        QVERIFY2(iniRename >= 0 && iniRename < published.first(), "the running number is stored before the files");
        QVERIFY2(syncedBefore(calls, calls[iniRename].path, start, iniRename, true) >= 0,
                 "the settings file's data is synced before its rename");
        QVERIFY2(syncedBefore(calls, root, iniRename, published.first(), false) >= 0,
                 "the settings file's folder is synced after its rename, before any event file appears");
    }

    QStringList names;
    for (const qsizetype i : std::as_const(published)) {
        const Call& c = calls[i];
        names.append(c.path2);
        const QByteArray what = QFile::encodeName(c.path2);
        QVERIFY2(syncedBefore(calls, c.path, start, i, true) >= 0,
                 "the data of " + what + " is synced before it takes its name");
        QVERIFY2(syncedBefore(calls, QFileInfo(c.path2).path(), i, firstMark, false) >= 0,
                 "the folder of " + what + " is synced after its name, before any event is counted or announced");
        QCOMPARE(readBytes(c.path2).size(), 19);
    }
    names.sort();
    recorded.sort();
    QCOMPARE(recorded, names);

    // The outbox: a line for every event, written and synced before the first of the files takes its name.
    const QString state = root + QStringLiteral("/state/impulz");
    const QStringList journals = QDir(state).entryList({QStringLiteral("*.outbox")});
    QCOMPARE(journals.size(), 1);
    const QString journal = state + u'/' + journals.first();
    QStringList journaled;
    for (const QByteArray& line : readBytes(journal).split('\n')) {
        if (!line.isEmpty())
            journaled.append(QFile::decodeName(QByteArray::fromPercentEncoding(line.split('\t').value(4))));
    }
    journaled.sort();
    QCOMPARE(journaled, names);
    QVERIFY2(syncedBefore(calls, journal, start, published.first(), true) >= 0,
             "the journal's lines are synced before any of their files takes its name");

    // The cursor: a synced file renamed over it, and its folder synced after the rename.
    QVERIFY(acknowledged > published.last() && cursorStored > acknowledged);
    const QString cursor = QString(journal).replace(QLatin1String(".outbox"), QLatin1String(".cursor"));
    qsizetype cursorRename = -1;
    for (qsizetype i = acknowledged; i < cursorStored && cursorRename < 0; ++i) {
        if (calls[i].name == QLatin1String("rename") && calls[i].result == 0 && calls[i].path2 == cursor)
            cursorRename = i;
    }
    QVERIFY2(cursorRename >= 0, "the cursor is stored by a rename");
    QVERIFY2(syncedBefore(calls, calls[cursorRename].path, acknowledged, cursorRename, true) >= 0,
             "the cursor's new file is synced before its rename");
    QVERIFY2(syncedBefore(calls, state, cursorRename, cursorStored, false) >= 0,
             "the cursor's folder is synced after the rename");
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString childRoot = qEnvironmentVariable("IMPULZ_DURABILITY_CHILD");
    if (!childRoot.isEmpty()) {
        const QStringList shape = qEnvironmentVariable("IMPULZ_DURABILITY_SHAPE").split(u' ');
        return recordBurst(childRoot, shape.value(0).toInt(), shape.value(1).toInt());
    }
    TestDurability test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_durability.moc"
