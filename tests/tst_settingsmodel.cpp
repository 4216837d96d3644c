// The settings model as a plain object: what a load reads, clamps and reports, and how a save replaces the file.

#include "core/inifile.h"
#include "core/settings.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/inotify.h>
#include <unistd.h>

class TestSettingsModel : public QObject {
    Q_OBJECT
private slots:
    void loadsClampsAndReportsChanges();
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

QTEST_GUILESS_MAIN(TestSettingsModel)
#include "tst_settingsmodel.moc"
