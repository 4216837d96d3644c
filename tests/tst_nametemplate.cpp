#include "core/recording/nametemplate.h"

#include "support/pinnedclock.h"

#include <QTest>

#include <limits>

class TestNameTemplate : public QObject {
    Q_OBJECT

private slots:
    void init() { m_clock.setNow(QDateTime(QDate(2024, 3, 7), QTime(14, 5, 9))); }
    void cleanup() { m_clock.reset(); }

    void expand_data() {
        QTest::addColumn<QString>("templ");
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("bit");
        QTest::addColumn<qint32>("number");
        QTest::addColumn<bool>("dialog");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<qint32>("numberAfter");

        const QString example = QStringLiteral("L%numl%_B%nbit%_%date%%time%_%numco%");
        QTest::newRow("example, dialog closed")
            << example << 3 << 5 << 42 << false << "L03_B5_070324140509_00042" << 43;
        QTest::newRow("example, dialog open") << example << 3 << 5 << 42 << true << "L03_B5_070324140509_00042" << 42;
        QTest::newRow("empty") << "" << 1 << 1 << 42 << false << "" << 42;
        QTest::newRow("default template") << "%linka%_%cas%" << 1 << 1 << 42 << false << "_" << 42;
        QTest::newRow("unpaired percent") << "ab%cd" << 1 << 1 << 42 << false << "abcd" << 42;
        QTest::newRow("trailing percent") << "abc%" << 1 << 1 << 42 << false << "abc" << 42;
        QTest::newRow("doubled percent") << "a%%b" << 1 << 1 << 42 << false << "ab" << 42;
        QTest::newRow("unknown keyword eats the next opening sign")
            << "%x%numl%" << 1 << 1 << 42 << false << "numl" << 42;
        QTest::newRow("letter case") << "%NUML%%Numl%%NUMCO%" << 1 << 1 << 42 << false << "" << 42;
        QTest::newRow("line padding") << "%numl%-%nbit%" << 1 << 7 << 42 << false << "01-7" << 42;
        QTest::newRow("three-digit line") << "%numl%" << 123 << 0 << 42 << false << "123" << 42;
        QTest::newRow("numco twice, closed") << "%numco%-%numco%" << 1 << 1 << 42 << false << "00042-00043" << 44;
        QTest::newRow("numco twice, open") << "%numco%-%numco%" << 1 << 1 << 42 << true << "00042-00042" << 42;
        QTest::newRow("99998 wraps to 0") << "%numco%" << 1 << 1 << 99998 << false << "99998" << 0;
        QTest::newRow("99999 closed grows") << "%numco%" << 1 << 1 << 99999 << false << "99999" << 100000;
        QTest::newRow("99999 open wraps") << "%numco%" << 1 << 1 << 99999 << true << "99999" << 0;
        QTest::newRow("six digits") << "%numco%" << 1 << 1 << 100000 << false << "100000" << 100001;
        QTest::newRow("negative") << "%numco%" << 1 << 1 << -5 << false << "-00005" << -4;
        QTest::newRow("32-bit maximum") << "%numco%" << 1 << 1 << std::numeric_limits<qint32>::max() << false
                                        << "2147483647" << 0;

        const QString a250(250, u'a');
        QTest::newRow("placeholder cut at 255") << a250 + "%numl%" << 3 << 1 << 42 << false << a250 + "numl" << 42;
        QTest::newRow("placeholder ending at 255")
            << a250.left(249) + "%numl%" << 3 << 1 << 42 << false << a250.left(249) + "03" << 42;
        QTest::newRow("numco beyond 255 not issued")
            << a250 + "%numco%" << 3 << 1 << 42 << false << a250 + "numc" << 42;
    }

    void expand() {
        QFETCH(QString, templ);
        QFETCH(int, line);
        QFETCH(int, bit);
        QFETCH(qint32, number);
        QFETCH(bool, dialog);
        QFETCH(QString, expected);
        QFETCH(qint32, numberAfter);

        QCOMPARE(expandNameTemplate(templ, line, bit, number, dialog, m_clock), expected);
        QCOMPARE(number, numberAfter);
    }

    // Date and time come from the clock at the moment of the call, with leading zeros and a 24-hour clock.
    void followsTheClock() {
        qint32 number = 1;
        m_clock.setNow(QDateTime(QDate(2009, 12, 31), QTime(23, 59, 58)));
        QCOMPARE(expandNameTemplate(QStringLiteral("%date%_%time%"), 1, 0, number, false, m_clock),
                 QStringLiteral("311209_235958"));
        m_clock.setNow(QDateTime(QDate(2010, 1, 1), QTime(0, 0, 0)));
        QCOMPARE(expandNameTemplate(QStringLiteral("%date%_%time%"), 1, 0, number, false, m_clock),
                 QStringLiteral("010110_000000"));
    }

    // A name taken as the clock passes midnight is of one moment: the date and the time of the same reading.
    void oneMomentPerName() {
        qint32 number = 1;
        m_clock.setNow(QDateTime(QDate(2009, 12, 31), QTime(23, 59, 59, 600)));
        m_clock.setStepPerReading(500); // each reading half a second after the one before
        QCOMPARE(expandNameTemplate(QStringLiteral("%time%_%date%"), 1, 0, number, false, m_clock),
                 QStringLiteral("235959_311209"));
    }

private:
    PinnedClock m_clock;
};

QTEST_GUILESS_MAIN(TestNameTemplate)
#include "tst_nametemplate.moc"
