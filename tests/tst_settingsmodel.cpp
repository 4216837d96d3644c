// The settings model as a plain object: what a load reads, clamps and reports, and how a save replaces the file.

#include "core/settings/inifile.h"
#include "core/settings/instancelock.h"
#include "core/settings/settings.h"
#include "core/settings/statefile.h"

#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

ino_t inodeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : ino_t(0);
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

class TestSettingsModel : public QObject {
    Q_OBJECT
private slots:
    void loadsClampsAndReportsChanges();
    void hardLinksStayOneFileAcrossADigit_data();
    void hardLinksStayOneFileAcrossADigit();
    void stateCopyFoundThroughEveryPath();
};

void TestSettingsModel::loadsClampsAndReportsChanges() {
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
}

void TestSettingsModel::hardLinksStayOneFileAcrossADigit_data() {
    QTest::addColumn<int>("stored");
    QTest::newRow("99") << 99;
    QTest::newRow("9999") << 9999;
}

// A settings file with a second name keeps it when the running number gains a digit, and when a save changes the
// file's length: both names show the new text.
void TestSettingsModel::hardLinksStayOneFileAcrossADigit() {
    QFETCH(int, stored);
    QTemporaryDir dir;
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath(QStringLiteral("state"))));
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    const QString link = dir.filePath(QStringLiteral("druhy.ini"));
    QVERIFY(writeFile(ini, QStringLiteral("[Po spusteni]\nPor_cislo=%1\nIP=10.0.0.7\n").arg(stored).toUtf8()));
    QVERIFY(::link(QFile::encodeName(ini).constData(), QFile::encodeName(link).constData()) == 0);
    const ino_t inode = inodeOf(ini);
    InstanceLock running; // a recorder on the first name
    QVERIFY(running.acquire(ini));

    Settings settings;
    settings.setFilePath(link);
    settings.load();
    QCOMPARE(settings.storeSequenceNumber(stored + 1), Settings::SequenceCopy::SettingsFile);
    QCOMPARE(inodeOf(ini), inode);
    QCOMPARE(inodeOf(link), inode);
    QCOMPARE(IniFile(ini).readInteger(Settings::Section, Settings::SequenceKey, 0), stored + 1);
    QCOMPARE(IniFile(ini).readString(Settings::Section, QStringLiteral("IP"), {}), QStringLiteral("10.0.0.7"));
    QVERIFY(SequenceStateFile(ini).readAll().isEmpty()); // the copy that took the number first is gone again

    settings.set(Settings::Description, QStringLiteral("a description that makes the file longer"));
    settings.save();
    QCOMPARE(inodeOf(link), inode);
    QCOMPARE(IniFile(ini).readString(Settings::Section, QStringLiteral("Popis"), {}),
             QStringLiteral("a description that makes the file longer"));
    QCOMPARE(IniFile(ini).readInteger(Settings::Section, Settings::SequenceKey, 0), stored + 1);
    InstanceLock second; // and one started on the other
    QVERIFY(!second.acquire(link));
}

// Numbers the state copy took through one path to the settings file are known through every other: a symbolic
// link, a hard link in another folder. A copy named by path, as earlier versions named it, still counts.
void TestSettingsModel::stateCopyFoundThroughEveryPath() {
    QTemporaryDir dir;
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
    const QString state = dir.filePath(QStringLiteral("state"));
    QVERIFY(QDir().mkpath(state + QStringLiteral("/impulz")));
    QVERIFY(::chmod(QFile::encodeName(state).constData(), 0777) == 0);
    QVERIFY(::chmod(QFile::encodeName(state + QStringLiteral("/impulz")).constData(), 0777) == 0);
    qputenv("XDG_STATE_HOME", QFile::encodeName(state));
    const QString ini = dir.filePath(QStringLiteral("a/impulz.ini"));
    const QString hardLink = dir.filePath(QStringLiteral("b/impulz.ini"));
    const QString symlink = dir.filePath(QStringLiteral("c.ini"));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("a"))) && QDir().mkpath(dir.filePath(QStringLiteral("b"))));
    QVERIFY(writeFile(ini, "[Po spusteni]\nPor_cislo=200\n"));
    QVERIFY(::link(QFile::encodeName(ini).constData(), QFile::encodeName(hardLink).constData()) == 0);
    QVERIFY(QFile::link(ini, symlink));
    // Read-only for the user below, and so are the folders: only the state copy takes numbers.
    QVERIFY(::chmod(QFile::encodeName(ini).constData(), 0444) == 0);

    const auto restartedAt = [](const QString& path) {
        Settings settings;
        settings.setFilePath(path);
        settings.load();
        return settings.sequenceNumber();
    };
    {
        const Unprivileged user;
        if (!user.ok())
            QSKIP("cannot drop root's privileges");
        Settings running;
        running.setFilePath(ini);
        running.load();
        for (int n = 201; n <= 203; ++n)
            QCOMPARE(running.storeSequenceNumber(n), Settings::SequenceCopy::StateCopy);
        QCOMPARE(restartedAt(hardLink), 203);
        QCOMPARE(restartedAt(symlink), 203);

        // An older copy named by the file's path, left by an earlier version.
        const QByteArray hash = QCryptographicHash::hash(ini.toUtf8(), QCryptographicHash::Sha256).toHex();
        QVERIFY(writeFile(state + QStringLiteral("/impulz/por_cislo-") + QString::fromLatin1(hash.left(32)) +
                              QStringLiteral(".ini"),
                          ("[Poradove cislo]\nSoubor=" + ini.toUtf8() + "\nPor_cislo=250\nPor_cislo_souboru=200\n")));
        QCOMPARE(restartedAt(symlink), 250);
        Settings again;
        again.setFilePath(ini);
        again.load();
        QCOMPARE(again.storeSequenceNumber(251), Settings::SequenceCopy::StateCopy);
        QCOMPARE(SequenceStateFile(symlink).readAll().size(), 1); // the older copy went into the newer one
        QCOMPARE(restartedAt(hardLink), 251);
    }
}

QTEST_GUILESS_MAIN(TestSettingsModel)
#include "tst_settingsmodel.moc"
