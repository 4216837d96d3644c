// One recorder per settings file, whatever path names the file. flock() locks of two open file descriptions
// conflict within one process too, so two InstanceLock objects stand for two monitors.

#include "core/settings/inifile.h"
#include "core/settings/instancelock.h"

#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

class TestInstanceLock : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        m_dir = m_tmp->path();
        QVERIFY(::chmod(QFile::encodeName(m_dir).constData(), 0777) == 0); // for the other user's case
        QVERIFY(QDir(m_dir).mkpath(QStringLiteral("deep/sub")));
        m_path = m_dir + QStringLiteral("/deep/impulz.ini");
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Po spusteni]\n");
    }

    void sameFileThroughAnotherPath_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("same path") << "same";
        QTest::newRow("symlink") << "symlink";
        QTest::newRow("chain of symlinks") << "chain";
        QTest::newRow("link to the folder") << "folder";
        QTest::newRow("dot-dot after a link") << "dotdot";
        QTest::newRow("hard link") << "hardlink";
        QTest::newRow("hard link, after a write") << "hardlink-written";
    }

    void sameFileThroughAnotherPath() {
        QFETCH(QString, kind);
        QString other = m_path;
        if (kind == u"symlink" || kind == u"chain") {
            other = m_dir + QStringLiteral("/alias.ini");
            QVERIFY(QFile::link(QStringLiteral("deep/impulz.ini"), other));
        }
        if (kind == u"chain") {
            other = m_dir + QStringLiteral("/deep/sub/alias2.ini");
            QVERIFY(QFile::link(QStringLiteral("../../alias.ini"), other));
        }
        if (kind == u"folder" || kind == u"dotdot") {
            QVERIFY(QFile::link(m_dir + QStringLiteral("/deep/sub"), m_dir + QStringLiteral("/s")));
            other = kind == u"folder" ? m_dir + QStringLiteral("/s/../impulz.ini")
                                      : m_dir + QStringLiteral("/s/../../deep/impulz.ini");
        }
        if (kind.startsWith(u"hardlink")) {
            other = m_dir + QStringLiteral("/hard.ini");
            QVERIFY(::link(QFile::encodeName(m_path).constData(), QFile::encodeName(other).constData()) == 0);
        }

        InstanceLock first;
        QVERIFY2(first.acquire(m_path), qPrintable(first.errorText()));
        QCOMPARE(first.resolvedPath(), m_path);
        // The first monitor's writes replace the file by a new inode; the hard link keeps the one it started with.
        if (kind == u"hardlink-written")
            IniFile(m_path).writeInteger(QStringLiteral("Po spusteni"), QStringLiteral("Por_cislo"), 2);
        {
            InstanceLock second;
            QVERIFY(!second.acquire(other));
            QCOMPARE(second.errorText(), QStringLiteral("Program už běží se stejným souborem nastavení: ") + other);
            if (!kind.startsWith(u"hardlink"))
                QCOMPARE(second.resolvedPath(), m_path);
        }
        // A refused monitor leaves nothing held.
        InstanceLock third;
        QVERIFY(!third.acquire(m_path));
    }

    void lockIsReleasedAndOtherFilesAreFree() {
        const QString otherFile = m_dir + QStringLiteral("/deep/sub/impulz.ini");
        {
            InstanceLock first;
            QVERIFY(first.acquire(m_path));
            InstanceLock second;
            QVERIFY2(second.acquire(otherFile), qPrintable(second.errorText()));
        }
        InstanceLock again;
        QVERIFY2(again.acquire(m_dir + QStringLiteral("/deep/sub/../impulz.ini")), qPrintable(again.errorText()));
    }

    // A settings file that does not exist yet: the link to it and the path the first write creates are one file.
    void missingFileThroughALink() {
        const QString missing = m_dir + QStringLiteral("/deep/sub/new.ini");
        const QString link = m_dir + QStringLiteral("/new-link.ini");
        QVERIFY(QFile::link(QStringLiteral("deep/sub/new.ini"), link));
        InstanceLock first;
        QVERIFY(first.acquire(link));
        QCOMPARE(first.resolvedPath(), missing);
        InstanceLock second;
        QVERIFY(!second.acquire(missing));
        QCOMPARE(second.resolvedPath(), missing);
    }

    // Root's monitor made the lock file, which another user may read but not write: that user's monitor must
    // meet root's lock on the same file, not lock some other file and run beside it.
    void lockFileAnotherUserCannotWrite() {
        auto first = std::make_unique<InstanceLock>();
        QVERIFY(first->acquire(m_path));
        const QByteArray lockFile = QFile::encodeName(m_path + QStringLiteral(".lock"));
        QVERIFY(::chmod(lockFile.constData(), 0444) == 0);
        QString refusal;
        QString error;
        bool laterAcquired = false;
        {
            const Unprivileged user;
            if (!user.ok())
                QSKIP("cannot drop root's privileges");
            InstanceLock second;
            if (!second.acquire(m_path))
                refusal = second.errorText();
            first.reset();
            InstanceLock later;
            laterAcquired = later.acquire(m_path);
            if (!laterAcquired)
                error = later.errorText();
        }
        QCOMPARE(refusal, QStringLiteral("Program už běží se stejným souborem nastavení: ") + m_path);
        QVERIFY2(laterAcquired, qPrintable(error));
    }

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_dir;
    QString m_path;
};

QTEST_GUILESS_MAIN(TestInstanceLock)
#include "tst_instancelock.moc"
