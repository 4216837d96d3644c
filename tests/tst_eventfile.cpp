#include "core/eventfile.h"

#include "core/clock.h"

#include "testsupport.h"

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


const QDateTime kNow(QDate(2026, 12, 6), QTime(13, 45, 7));

} // namespace

class TestEventFile : public QObject {
    Q_OBJECT

private slots:
    void init() {
        Clock::setNow(kNow);
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        m_dir = m_tmp->path();
        QVERIFY(::chmod(QFile::encodeName(m_dir).constData(), 0777) == 0);
    }
    void cleanup() {
        Clock::reset();
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
        const EventWriteResult r = writeEventFile(m_dir, QStringLiteral("L01_B0_00042"));
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

        EventWriteResult r = writeEventFile(m_dir, QStringLiteral("x"));
        QVERIFY2(r.ok, qPrintable(r.error));
        QCOMPARE(r.path, m_dir + QStringLiteral("/x_2.csv"));
        r = writeEventFile(m_dir, QStringLiteral("x"));
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
        QCOMPARE(writeEventFile(m_dir, QStringLiteral("y")).path, m_dir + QStringLiteral("/y_2.csv"));
        QCOMPARE(writeEventFile(m_dir, QStringLiteral("z")).path, m_dir + QStringLiteral("/z_2.csv"));
        QCOMPARE(readBytes(target), QByteArray("keep"));
        QCOMPARE(entriesBelow(elsewhere.path()), QStringList{QStringLiteral("target.txt")});

        QCOMPARE(entriesBelow(m_dir),
                 (QStringList{"x.csv", "x_2.csv", "x_3.csv", "y.csv", "y_2.csv", "z.csv", "z_2.csv"}));
    }

    void directoryTextIsUsedUnchanged() {
        const EventWriteResult r = writeEventFile(m_dir + u'/', QStringLiteral("a"));
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
                r = writeEventFile(dir, name);
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

        const EventWriteResult r = writeEventFile(m_dir, QStringLiteral("a"));
        QVERIFY(!r.ok);
        QCOMPARE(r.error, systemText(ENOSPC));
        QCOMPARE(entriesBelow(m_dir), QStringList{QStringLiteral("filler")});
    }

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_dir;
};

QTEST_GUILESS_MAIN(TestEventFile)
#include "tst_eventfile.moc"
