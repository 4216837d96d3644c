// The log-on entry for executables in awkward folders: the desktop-file validator accepts it, systemd's autostart
// generator makes a unit of it that systemd accepts, and GLib's launcher (what desktops use to start autostart
// entries) runs exactly that executable.

#include "core/settings/autostart.h"
#include "core/settings/settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestAutostart : public QObject {
    Q_OBJECT

private slots:
    void entryStartsTheExecutable_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("direct"); // the entry names the executable itself, not a script that starts it
        QTest::newRow("plain") << "plain" << true;
        QTest::newRow("blanks") << "two  blanks " << true;
        QTest::newRow("non-ASCII") << QStringLiteral("žluťoučký kůň č") << true;
        QTest::newRow("percent") << "100% done" << false;
        QTest::newRow("doubled percent") << "100%% done" << false;
        QTest::newRow("dollar") << "a$HOME" << false;
        QTest::newRow("backquote") << "a`id`" << false;
        QTest::newRow("backslash") << "back\\slash" << false;
        QTest::newRow("double quotes") << "say \"hi\"" << false;
        QTest::newRow("single quote") << "it's" << false;
        QTest::newRow("tab") << "tab\there" << false;
        QTest::newRow("all at once") << QStringLiteral("\\\" $`%%' ž\\") << false;
    }

    void entryStartsTheExecutable() {
        QFETCH(QString, folder);
        QFETCH(bool, direct);
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString marker = tmp.filePath(QStringLiteral("started"));
        const QString executable = tmp.path() + u'/' + folder + QStringLiteral("/impulz");
        QVERIFY(QDir().mkpath(tmp.path() + u'/' + folder));
        QFile script(executable);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s' \"$0\" > '" + QFile::encodeName(marker) + "'\n");
        script.close();
        QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        const QString config = tmp.filePath(QStringLiteral("config"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
        setAutostartEntry(QStringLiteral("dokonceni"), executable);
        const QString entry = autostartFilePath(QStringLiteral("dokonceni"));
        QVERIFY(entry.startsWith(tmp.path()));
        QFile written(entry);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(written.readAll());
        const QString wrapper = autostartWrapperPath(QStringLiteral("dokonceni"));
        QVERIFY2(text.contains(QStringLiteral("Exec=\"%1\"\n").arg(direct ? executable : wrapper)), qPrintable(text));
        QCOMPARE(QFile::exists(wrapper), !direct);

        const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (validator.isEmpty())
            QSKIP("desktop-file-validate is missing (desktop-file-utils)");
        QProcess validate;
        validate.start(validator, {entry});
        QVERIFY(validate.waitForFinished(60000));
        const QByteArray complaints = validate.readAllStandardOutput() + validate.readAllStandardError();
        QVERIFY2(validate.exitCode() == 0 && complaints.isEmpty(), complaints.constData());

        // systemd starts autostart entries as units of its own (GNOME, KDE): the unit its generator makes of the
        // entry must name a program that exists and that systemd accepts.
        const QString generator = QStringLiteral("/usr/lib/systemd/user-generators/systemd-xdg-autostart-generator");
        const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
        if (QFileInfo(generator).isExecutable() && !analyze.isEmpty()) {
            const QString units = tmp.filePath(QStringLiteral("units"));
            const QString runtime = tmp.filePath(QStringLiteral("runtime"));
            QVERIFY(QDir().mkpath(units));
            QVERIFY(QDir().mkpath(runtime));
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
            env.insert(QStringLiteral("XDG_CONFIG_DIRS"), tmp.filePath(QStringLiteral("none")));
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
            QProcess generate;
            generate.setProcessEnvironment(env);
            generate.start(generator, {units, units, units});
            QVERIFY(generate.waitForFinished(60000));
            const QString unit = units + QStringLiteral("/app-dokonceni@autostart.service");
            QVERIFY2(QFile::exists(unit), generate.readAllStandardError().constData());
            QProcess verify;
            verify.setProcessEnvironment(env);
            verify.start(analyze, {QStringLiteral("--user"), QStringLiteral("verify"), unit});
            QVERIFY(verify.waitForFinished(60000));
            const QByteArray said = verify.readAllStandardOutput() + verify.readAllStandardError();
            if (said.contains("Failed to initialize manager"))
                qWarning("systemd-analyze cannot run here: %s", said.constData());
            else
                QVERIFY2(verify.exitCode() == 0, said.constData());
        }

        const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
        if (gio.isEmpty())
            QSKIP("gio is missing (libglib2.0-bin)");
        QProcess launch;
        launch.start(gio, {QStringLiteral("launch"), entry});
        QVERIFY(launch.waitForFinished(60000));
        QVERIFY2(launch.exitCode() == 0, launch.readAllStandardError().constData());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker) && QFileInfo(marker).size() > 0, 30000);
        QFile started(marker);
        QVERIFY(started.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(started.readAll()), executable);

        // Removing the entry takes its script along.
        removeAutostartEntry(QStringLiteral("dokonceni"));
        QVERIFY(!QFile::exists(entry));
        QVERIFY(!QFile::exists(wrapper));
    }

    // A plain path replaces an earlier entry that needed a script, and the script goes.
    void plainPathReplacesAScript() {
        QTemporaryDir tmp;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.filePath(QStringLiteral("config"))));
        setAutostartEntry(QStringLiteral("dokonceni"), tmp.filePath(QStringLiteral("100% done/impulz")));
        const QString wrapper = autostartWrapperPath(QStringLiteral("dokonceni"));
        QVERIFY(QFile::exists(wrapper));
        setAutostartEntry(QStringLiteral("dokonceni"), tmp.filePath(QStringLiteral("plain/impulz")));
        QVERIFY(!QFile::exists(wrapper));
    }

    // Where the script itself could not stand in an entry, the entry is refused rather than written to fail at log-on.
    void unlaunchableConfigFolderIsRefused() {
        QTemporaryDir tmp;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.filePath(QStringLiteral("50% config"))));
        try {
            setAutostartEntry(QStringLiteral("dokonceni"), tmp.filePath(QStringLiteral("a$b/impulz")));
            QFAIL("an entry that cannot start was written");
        } catch (const AutostartError& e) {
            QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Failed to set data for 'dokonceni'"));
        }
        QVERIFY(!QFile::exists(autostartFilePath(QStringLiteral("dokonceni"))));
    }

    // Start at log-on belongs to the settings file whose "Start" turned it on: the entry starts the program on that
    // file, and a run over another file neither removes nor rewrites it.
    void entryBelongsToItsSettingsFile() {
        QTemporaryDir tmp;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.filePath(QStringLiteral("config"))));
        const QString program = tmp.filePath(QStringLiteral("bin/impulz"));
        QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("bin"))));
        const QString entry = autostartFilePath(QStringLiteral("dokonceni"));
        const auto run = [&](const QString& ini, const QByteArray& keys) {
            QFile file(ini);
            if (!file.open(QIODevice::WriteOnly))
                return -1;
            file.write("[Po spusteni]\n" + keys);
            file.close();
            Settings settings;
            settings.setFilePath(ini);
            settings.setAutostartProgram(program);
            QSignalSpy said(&settings, &Settings::logLine);
            settings.load();
            return int(said.size());
        };
        const auto entryText = [&] {
            QFile file(entry);
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        };
        const auto execLine = [&] {
            const QString text = entryText();
            const qsizetype at = text.indexOf(QStringLiteral("\nExec="));
            return at < 0 ? QString() : text.mid(at + 6, text.indexOf(u'\n', at + 1) - at - 6);
        };
        const QString a = tmp.filePath(QStringLiteral("A.ini"));
        const QString b = tmp.filePath(QStringLiteral("B.ini"));

        // A's run writes an entry that starts the program on A.
        QCOMPARE(run(a, "Start=1\n"), 0);
        QVERIFY2(execLine().startsWith(desktopExecArgument(program)), qPrintable(execLine()));
        QVERIFY2(execLine().endsWith(QStringLiteral(" \"--settings\" ") + desktopExecArgument(a)),
                 qPrintable(execLine()));
        QCOMPARE(autostartEntryOwner(QStringLiteral("dokonceni")), std::optional<QString>(a));
        const QString written = entryText();

        // B's runs leave it as it is, whether B has start at log-on off or on; wanting it, B is told who has it.
        QCOMPARE(run(b, "Start=0\nLogin=1\nMazat=1\n"), 0);
        QCOMPARE(entryText(), written);
        QCOMPARE(run(b, "Start=1\n"), 1);
        QCOMPARE(entryText(), written);

        // A turning it off frees it; B's next run takes it.
        QCOMPARE(run(a, "Start=0\nLogin=1\n"), 0);
        QVERIFY(!QFile::exists(entry));
        QCOMPARE(run(b, "Start=1\n"), 0);
        QVERIFY2(execLine().endsWith(desktopExecArgument(b)), qPrintable(execLine()));

        // An entry whose file is gone is no one's; the program's own file starts it without --settings.
        QVERIFY(QFile::remove(b));
        QCOMPARE(run(program + QStringLiteral(".ini"), "Start=1\n"), 0);
        QCOMPARE(execLine(), desktopExecArgument(program));
    }
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "tst_autostart.moc"
