#include "core/recording/eventfile.h"

#include "core/files/posixfile.h"

#include "support/pinnedclock.h"
#include "support/testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Every entry below root, hidden ones included, relative to root.
QStringList entriesBelow(const QString& root) {
    QStringList names;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        names << QDir(root).relativeFilePath(it.next());
    names.sort();
    return names;
}

QString systemText(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

// A pid that belonged to a process that has ended.
pid_t deadPid() {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

void touch(const QString& path) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

const QDateTime kNow(QDate(2026, 12, 6), QTime(13, 45, 7));

} // namespace

class TestEventFile : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_clock.setNow(kNow);
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        m_dir = m_tmp->path();
        QVERIFY(::chmod(QFile::encodeName(m_dir).constData(), 0777) == 0);
    }
    void cleanup() {
        m_clock.reset();
        m_tmp.reset();
    }

    void line_data() {
        QTest::addColumn<QDateTime>("time");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("afternoon") << kNow << QByteArray("06.12.26;13:45:07\r\n");
        QTest::newRow("midnight, year 2000")
            << QDateTime(QDate(2000, 1, 1), QTime(0, 0)) << QByteArray("01.01.00;00:00:00\r\n");
        QTest::newRow("last second") << QDateTime(QDate(1999, 10, 9), QTime(23, 59, 59, 999))
                                     << QByteArray("09.10.99;23:59:59\r\n");
    }

    void line() {
        QFETCH(QDateTime, time);
        QFETCH(QByteArray, expected);
        QCOMPARE(eventLine(time), expected);
        QCOMPARE(eventLine(time).size(), 19);
    }

    void writesOneCompleteFile() {
        const EventWriteResult r = writeEventFile(m_dir, QStringLiteral("L01_B0_00042"), true, m_clock);
        QVERIFY2(r.ok, qPrintable(r.error));
        QCOMPARE(r.path, m_dir + QStringLiteral("/L01_B0_00042.csv"));
        QCOMPARE(readBytes(r.path), eventLine(kNow));
        QCOMPARE(entriesBelow(m_dir), QStringList{QStringLiteral("L01_B0_00042.csv")}); // no temporary file left
    }

    // Same-named events (a template of only date and time, two events in one second) must all be kept, and
    // whatever already has the name must stay as it was, a link to a file elsewhere included.
    void collisionsTakeTheNextFreeName() {
        const QString existing = m_dir + QStringLiteral("/x.csv");
        {
            QFile file(existing);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("old\r\n");
            QVERIFY(file.setFileTime(QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5)), QFileDevice::FileModificationTime));
        }
        const QDateTime mtime = QFileInfo(existing).lastModified();

        EventWriteResult r = writeEventFile(m_dir, QStringLiteral("x"), true, m_clock);
        QVERIFY2(r.ok, qPrintable(r.error));
        QCOMPARE(r.path, m_dir + QStringLiteral("/x_2.csv"));
        r = writeEventFile(m_dir, QStringLiteral("x"), true, m_clock);
        QVERIFY2(r.ok, qPrintable(r.error));
        QCOMPARE(r.path, m_dir + QStringLiteral("/x_3.csv"));
        QCOMPARE(readBytes(r.path), eventLine(kNow));
        QCOMPARE(readBytes(existing), QByteArray("old\r\n"));
        QCOMPARE(QFileInfo(existing).lastModified(), mtime);

        QTemporaryDir elsewhere;
        const QString target = elsewhere.filePath(QStringLiteral("target.txt"));
        {
            QFile file(target);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("keep");
        }
        QVERIFY(QFile::link(target, m_dir + QStringLiteral("/y.csv")));
        QVERIFY(QFile::link(elsewhere.filePath(QStringLiteral("none")), m_dir + QStringLiteral("/z.csv")));
        QCOMPARE(writeEventFile(m_dir, QStringLiteral("y"), true, m_clock).path, m_dir + QStringLiteral("/y_2.csv"));
        QCOMPARE(writeEventFile(m_dir, QStringLiteral("z"), true, m_clock).path, m_dir + QStringLiteral("/z_2.csv"));
        QCOMPARE(readBytes(target), QByteArray("keep"));
        QCOMPARE(entriesBelow(elsewhere.path()), QStringList{QStringLiteral("target.txt")});

        QCOMPARE(entriesBelow(m_dir),
                 (QStringList{"x.csv", "x_2.csv", "x_3.csv", "y.csv", "y_2.csv", "z.csv", "z_2.csv"}));
    }

    void directoryTextIsUsedUnchanged() {
        const EventWriteResult r = writeEventFile(m_dir + u'/', QStringLiteral("a"), true, m_clock);
        QVERIFY2(r.ok, qPrintable(r.error));
        QCOMPARE(r.path, m_dir + QStringLiteral("//a.csv"));
        QCOMPARE(readBytes(m_dir + QStringLiteral("/a.csv")), eventLine(kNow));
    }

    void failures_data() {
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<int>("err");
        QTest::newRow("missing directory") << "missing"
                                           << "a" << false << ENOENT;
        QTest::newRow("name into a missing subfolder") << ""
                                                       << "sub/a" << false << ENOENT;
        QTest::newRow("read-only directory") << ""
                                             << "a" << true << EACCES;
        QTest::newRow("NUL in the name") << "" << QStringLiteral("a") + QChar(0) + QStringLiteral("/../b") << false
                                         << EINVAL;
    }

    void failures() {
        QFETCH(QString, directory);
        QFETCH(QString, name);
        QFETCH(bool, readOnly);
        QFETCH(int, err);

        const QString dir = directory.isEmpty() ? m_dir : m_dir + u'/' + directory;
        if (readOnly)
            QVERIFY(::chmod(QFile::encodeName(m_dir).constData(), 0555) == 0);
        EventWriteResult r;
        bool ran = false;
        {
            const Unprivileged user;
            if (user.ok()) {
                r = writeEventFile(dir, name, true, m_clock);
                ran = true;
            }
        }
        QVERIFY(::chmod(QFile::encodeName(m_dir).constData(), 0777) == 0);
        if (!ran)
            QSKIP("cannot drop root's privileges");

        QVERIFY(!r.ok);
        QCOMPARE(r.path, dir + u'/' + name + QStringLiteral(".csv"));
        QCOMPARE(r.error, systemText(err));
        QCOMPARE(entriesBelow(m_dir), QStringList{});
    }

    void fullDiskLeavesNothing() {
        if (::geteuid() != 0)
            QSKIP("mounting a small file system needs root");
        const QByteArray mountPoint = QFile::encodeName(m_dir);
        if (::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP("cannot mount a tmpfs here");
        const auto unmount = qScopeGuard([&] { ::umount2(mountPoint.constData(), MNT_DETACH); });

        const QByteArray filler = mountPoint + "/filler";
        const int fd = ::open(filler.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        const QByteArray page(4096, 'f');
        for (int i = 0; i < 1000 && ::write(fd, page.constData(), size_t(page.size())) > 0; ++i) {
        }
        for (int i = 0; i < 5000 && ::write(fd, "f", 1) > 0; ++i) {
        }
        ::close(fd);

        const EventWriteResult r = writeEventFile(m_dir, QStringLiteral("a"), true, m_clock);
        QVERIFY(!r.ok);
        QCOMPARE(r.error, systemText(ENOSPC));
        QCOMPARE(entriesBelow(m_dir), QStringList{QStringLiteral("filler")});
    }

    // The middle request fails; its neighbours, which share its name, still take "a.csv" and "a_2.csv" in order,
    // and neither the failure nor the group leaves a temporary file.
    void batchFailureCostsOnlyItself_data() {
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("err");
        QTest::newRow("missing folder") << "missing"
                                        << "a" << ENOENT;
        QTest::newRow("NUL in the name") << "" << QStringLiteral("a") + QChar(0) << EINVAL;
        QTest::newRow("name of 256 bytes") << "" << QString(252, u'n') << ENAMETOOLONG;
    }

    void batchFailureCostsOnlyItself() {
        QFETCH(QString, directory);
        QFETCH(QString, name);
        QFETCH(int, err);
        const QString bad = directory.isEmpty() ? m_dir : m_dir + u'/' + directory;
        QVERIFY(QDir(m_dir).mkdir(QStringLiteral("sub")));

        const QList<EventWriteResult> r = writeEventFiles({{m_dir, QStringLiteral("a")},
                                                           {m_dir + QStringLiteral("/sub"), QStringLiteral("b")},
                                                           {bad, name},
                                                           {m_dir, QStringLiteral("a")}},
                                                          true, {}, m_clock);
        QCOMPARE(r.size(), 4);
        const QStringList expected{m_dir + QStringLiteral("/a.csv"), m_dir + QStringLiteral("/sub/b.csv"),
                                   bad + u'/' + name + QStringLiteral(".csv"), m_dir + QStringLiteral("/a_2.csv")};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(r[i].path, expected[i]);
            QCOMPARE(r[i].ok, i != 2);
            QCOMPARE(r[i].error, i == 2 ? systemText(err) : QString());
            if (r[i].ok)
                QCOMPARE(readBytes(r[i].path), eventLine(kNow));
        }
        QCOMPARE(entriesBelow(m_dir), (QStringList{"a.csv", "a_2.csv", "sub", "sub/b.csv"}));
    }

    // The caller's work runs while the group's data syncs are in flight and before any file has its name; when it
    // throws, nothing of the group is left behind and the next group syncs and names its files as usual.
    void workDuringTheSyncsComesBeforeTheNames() {
        const QList<EventWriteRequest> group{{m_dir, QStringLiteral("a")}, {m_dir, QStringLiteral("b")}};
        QStringList seen;
        const QList<EventWriteResult> r = writeEventFiles(
            group, true, [&] { seen = entriesBelow(m_dir); }, m_clock);
        QVERIFY(r[0].ok && r[1].ok);
        QVERIFY(!seen.contains(QStringLiteral("a.csv")) && !seen.contains(QStringLiteral("b.csv")));

        QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                                 writeEventFiles(group, true, [] { throw std::runtime_error("store failed"); }));
        QCOMPARE(entriesBelow(m_dir), (QStringList{"a.csv", "b.csv"}));
        const QList<EventWriteResult> next = writeEventFiles(group, true, {}, m_clock);
        QVERIFY(next[0].ok && next[1].ok);
        QCOMPARE(entriesBelow(m_dir), (QStringList{"a.csv", "a_2.csv", "b.csv", "b_2.csv"}));
    }

    // At the folder's name limit the suffix does not fit behind the whole name: the later events of the same name
    // are kept under a shortened one, never cut inside a character.
    void longNamesKeepEveryEvent_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("second");
        QTest::addColumn<QString>("tenth");
        const QString ascii(251, u'n');
        QTest::newRow("ascii") << ascii << ascii.left(249) + "_2.csv" << ascii.left(248) + "_10.csv";
        const QString euros = QStringLiteral("ab") + QString(83, QChar(0x20AC)); // 2 + 83 * 3 bytes
        QTest::newRow("three-byte characters") << euros << euros.left(84) + "_2.csv" << euros.left(84) + "_10.csv";
    }

    void longNamesKeepEveryEvent() {
        QFETCH(QString, name);
        QFETCH(QString, second);
        QFETCH(QString, tenth);
        QCOMPARE(QFile::encodeName(name + ".csv").size(), 255);

        QList<EventWriteResult> r{writeEventFile(m_dir, name, true, m_clock)};
        r += writeEventFiles(QList<EventWriteRequest>(9, {m_dir, name}), true, {}, m_clock);
        QStringList names;
        for (const EventWriteResult& e : r) {
            QVERIFY2(e.ok, qPrintable(e.error));
            QCOMPARE(readBytes(e.path), eventLine(kNow));
            names << QFileInfo(e.path).fileName();
            QVERIFY(QFile::encodeName(names.last()).size() <= 255);
        }
        QCOMPARE(names.first(), name + ".csv");
        QCOMPARE(names[1], second);
        QCOMPARE(names.last(), tenth);
        names.sort();
        QCOMPARE(entriesBelow(m_dir), names); // ten distinct files, and not a byte outside a whole character
    }

    void staleTemporaryFilesOfDeadProcessesGo() {
        const QString dead = QString::number(deadPid());
        const QString own = QString::number(::getpid());
        QVERIFY(QDir(m_dir).mkdir(QStringLiteral("sub")));
        const QStringList kept{".event." + own + ".3.tmp", // ours may be in use right now
                               ".event." + dead + ".x.tmp",
                               ".event." + dead + ".0.tmp.csv",
                               ".event..0.tmp",
                               ".impulz.ini." + dead + ".7.tmp",
                               "e.csv",
                               "sub/.event." + dead + ".0.tmp"};
        for (const QString& name : kept + QStringList{".event." + dead + ".0.tmp", ".event." + dead + ".17.tmp"})
            touch(m_dir + u'/' + name);

        QCOMPARE(removeStaleTemporaryFiles(m_dir, QStringLiteral(".event.")), 2);
        QStringList left = kept + QStringList{"sub"};
        left.sort();
        QCOMPARE(entriesBelow(m_dir), left);

        QCOMPARE(removeStaleTemporaryFiles(m_dir, QStringLiteral(".impulz.ini.")), 1);
        QCOMPARE(entriesBelow(m_dir).size(), left.size() - 1);
        QCOMPARE(removeStaleTemporaryFiles(m_dir + QStringLiteral("/missing"), QStringLiteral(".event.")), 0);
    }

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_dir;
    PinnedClock m_clock; // what the files' lines are stamped with
};

QTEST_GUILESS_MAIN(TestEventFile)
#include "tst_eventfile.moc"
