// The statistics window: the display over real event files, its page rules, the boxes it shows, printing,
// and the monitor going on while a large archive is counted.

#include "support/monitorfixture.h"

#include "charts/barchart.h"
#include "core/recording/eventfile.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTabWidget>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTimeEdit>

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
void writeEvent(const QString& dir, const QString& name, const QDateTime& t) {
    QDir().mkpath(dir);
    QFile f(dir + QLatin1Char('/') + name);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(eventLine(t));
}

void check(MonitorFixture& fx, int b, bool on) {
    fx.frmStatistika->CheckListBox1->item(b)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
}

QList<int> checkedItems(MonitorFixture& fx) {
    QList<int> items;
    for (int b = 0; b < 8; ++b) {
        if (fx.frmStatistika->CheckListBox1->item(b)->checkState() == Qt::Checked)
            items << b;
    }
    return items;
}

void display(MonitorFixture& fx) {
    QSignalSpy finished(fx.frmStatistika, &TfrmStatistika::displayFinished);
    fx.frmStatistika->btnNactiClick();
    if (fx.frmStatistika->displayRunning())
        QVERIFY(finished.wait(30000));
}

QString shortDate(const QDate& d) {
    return QLocale::system().toString(d, QLocale::ShortFormat);
}

// A mouse click where the item delegate takes it as one on the item's check box.
void clickBox(MonitorFixture& fx, int row) {
    QListWidget* list = fx.frmStatistika->CheckListBox1;
    QStyleOptionViewItem option;
    option.initFrom(list);
    option.rect = list->visualItemRect(list->item(row));
    option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
    option.text = list->item(row)->text();
    option.font = list->font();
    option.fontMetrics = list->fontMetrics();
    option.checkState = list->item(row)->checkState();
    const QRect box = list->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, box.center());
}
} // namespace

class TestStatistika : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // The archive index goes to a cache folder of the run, not the user's.
        QVERIFY(m_cache.isValid());
        qputenv("XDG_CACHE_HOME", QFile::encodeName(m_cache.path()));
    }
    void init() { m_clock = pinnedClock(QDateTime(QDate(2026, 3, 2), QTime(15, 0, 0))); }
    void displaySkipsOrShowsZeroValues();
    void pageRulesAndSingleChoice();
    void badFileKeepsChartsAndNamesTheFile();
    void impossiblePeriodIsRefused();
    void missingDirectoryBoxOncePerInput();
    void noInputChosenChangesNothing();
    void printsTheWindowToOnePdfPage();
    void reportDuringLargeDisplayIsRecordedOnTime();
    void chartsOfRecordedEvents();
    void clickOnItemBoxOnHourlyPage();
    void hourlyChoiceFollowsTheLastClickedBox();
    void pageSwitchDuringDisplayKeepsItsInputs();
    void unreadableFolderIsNamedAfterTheCharts();
    void printFitsAnA4PortraitPage();
    void upperCaseExtensionCountsAndOddBytesAreEscaped();

private:
    QTemporaryDir m_cache;
    std::shared_ptr<PinnedClock> m_clock; // every test's recorder and windows read it
};

void TestStatistika::displaySkipsOrShowsZeroValues() {
    MonitorFixture fx(m_clock);
    fx.Form1->LoadSettings();
    for (int n = 0; n < 8; ++n)
        fx.FrmNastav->edCesta[n]->setText(fx.eventDir(n));
    const QDate today(2026, 3, 2);
    writeEvent(fx.eventDir(0), QStringLiteral("a.csv"), QDateTime(today, QTime(8, 15, 0)));
    writeEvent(fx.eventDir(0) + QStringLiteral("/2026-03"), QStringLiteral("b.csv"), QDateTime(today, QTime(8, 40, 0)));
    writeEvent(fx.eventDir(0), QStringLiteral(".hidden.csv"), QDateTime(today, QTime(13, 5, 0)));
    writeEvent(fx.eventDir(0), QStringLiteral("yesterday.csv"), QDateTime(today.addDays(-1), QTime(9, 0, 0)));
    QDir().mkpath(fx.eventDir(2));
    fx.frmStatistika->btnDnesClick();
    check(fx, 0, true);
    check(fx, 2, true);

    display(fx);
    QCOMPARE(fx.frmStatistika->Chart1->pointCount(0), 1);
    QCOMPARE(fx.frmStatistika->Chart1->pointValue(0, 0), 3.0);
    QCOMPARE(fx.frmStatistika->Chart1->pointLabel(0, 0), shortDate(today));
    QCOMPARE(fx.frmStatistika->Chart1->pointCount(2), 0);
    QCOMPARE(fx.frmStatistika->Chart2->pointCount(0), 2); // hours 8 and 13
    QCOMPARE(fx.frmStatistika->Chart2->pointLabel(0, 0), QStringLiteral("8"));
    QCOMPARE(fx.frmStatistika->Chart2->pointValue(0, 0), 2.0);
    QCOMPARE(fx.frmStatistika->Chart2->pointLabel(0, 1), QStringLiteral("13"));
    QVERIFY(!fx.frmStatistika->Panel1->isVisible());
    QVERIFY(fx.frmStatistika->GroupBox1->isEnabled());

    fx.frmStatistika->cbNeNula->setChecked(false);
    display(fx);
    QCOMPARE(fx.frmStatistika->Chart1->pointCount(0), 1);
    QCOMPARE(fx.frmStatistika->Chart1->pointCount(2), 1);
    QCOMPARE(fx.frmStatistika->Chart1->pointValue(2, 0), 0.0);
    QCOMPARE(fx.frmStatistika->Chart2->pointCount(0), 25);
    QCOMPARE(fx.frmStatistika->Chart2->pointLabel(0, 24), QString());
    QCOMPARE(fx.frmStatistika->Chart2->pointLabel(0, 23), QStringLiteral("23"));

    // A week with a window of the day: one bar per day, each counting only its window.
    fx.frmStatistika->DateTimePicker1->setDate(QDate(2026, 2, 24));
    fx.frmStatistika->DateTimePicker2->setTime(QTime(8, 30, 0));
    fx.frmStatistika->DateTimePicker4->setTime(QTime(13, 5, 0));
    display(fx);
    QCOMPARE(fx.frmStatistika->Chart1->pointCount(0), 7);
    QCOMPARE(fx.frmStatistika->Chart1->pointValue(0, 6), 2.0); // 08:40 and 13:05; not 08:15
    QCOMPARE(fx.frmStatistika->Chart1->pointValue(0, 5), 1.0);
    QCOMPARE(fx.frmStatistika->Chart1->pointLabel(0, 0), shortDate(QDate(2026, 2, 24)));
}

void TestStatistika::pageRulesAndSingleChoice() {
    MonitorFixture fx(m_clock);
    fx.frmStatistika->btnDnesClick();
    fx.frmStatistika->DateTimePicker1->setDate(QDate(2026, 2, 10));
    for (int b : {0, 2, 5})
        check(fx, b, true);
    fx.frmStatistika->CheckListBox1->setCurrentRow(2);
    fx.frmStatistika->PageControl1->setCurrentIndex(1);
    QCOMPARE(fx.frmStatistika->DateTimePicker3->date(), QDate(2026, 2, 10));
    QVERIFY(!fx.frmStatistika->DateTimePicker3->isEnabled());
    QCOMPARE(checkedItems(fx), QList<int>{2});
    // On the hourly page a new From date moves the To date along; checking another item keeps one checked.
    fx.frmStatistika->DateTimePicker1->setDate(QDate(2026, 2, 12));
    QCOMPARE(fx.frmStatistika->DateTimePicker3->date(), QDate(2026, 2, 12));
    fx.frmStatistika->CheckListBox1->setCurrentRow(6);
    check(fx, 6, true);
    QCOMPARE(checkedItems(fx), QList<int>{6});
    check(fx, 6, false); // unchecking the one checked item leaves it checked
    QCOMPARE(checkedItems(fx), QList<int>{6});
    // Back on the daily page: unlocked, the other items stay unchecked, the dates no longer follow.
    fx.frmStatistika->PageControl1->setCurrentIndex(0);
    QVERIFY(fx.frmStatistika->DateTimePicker3->isEnabled());
    QCOMPARE(checkedItems(fx), QList<int>{6});
    fx.frmStatistika->DateTimePicker1->setDate(QDate(2026, 2, 1));
    QCOMPARE(fx.frmStatistika->DateTimePicker3->date(), QDate(2026, 2, 12));
    check(fx, 1, true);
    QCOMPARE(checkedItems(fx), (QList<int>{1, 6}));
    // Opening the window shows the daily page with the To date unlocked, even if it was left on the hourly one.
    fx.frmStatistika->PageControl1->setCurrentIndex(1);
    fx.frmStatistika->show();
    QCOMPARE(fx.frmStatistika->PageControl1->currentIndex(), 0);
    QVERIFY(fx.frmStatistika->DateTimePicker3->isEnabled());
    fx.frmStatistika->hide();
    QCOMPARE(fx.frmStatistika->size(), QSize(793, 370));
    QCOMPARE(fx.frmStatistika->PageControl1->tabText(0), QStringLiteral("Denní "));
}

void TestStatistika::badFileKeepsChartsAndNamesTheFile() {
    MonitorFixture fx(m_clock);
    fx.Form1->LoadSettings();
    fx.FrmNastav->edCesta[1]->setText(fx.eventDir(1));
    writeEvent(fx.eventDir(1), QStringLiteral("good.csv"), QDateTime(QDate(2026, 3, 2), QTime(10, 0, 0)));
    fx.frmStatistika->btnDnesClick();
    check(fx, 1, true);
    display(fx);
    QCOMPARE(fx.frmStatistika->Chart1->pointCount(1), 1);

    QFile bad(fx.eventDir(1) + QStringLiteral("/sub/header.csv"));
    QDir().mkpath(fx.eventDir(1) + QStringLiteral("/sub"));
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write("datum;cas\r\n02.03.26;11:00:00\r\n");
    bad.close();
    writeEvent(fx.eventDir(1), QStringLiteral("second.csv"), QDateTime(QDate(2026, 3, 2), QTime(12, 0, 0)));
    MessageBox::clearShown();
    display(fx);
    QCOMPARE(MessageBox::shown().size(), 1);
    QCOMPARE(MessageBox::shown().first().title, QStringLiteral("Error"));
    QVERIFY2(MessageBox::shown().first().text.contains(bad.fileName()), qPrintable(MessageBox::shown().first().text));
    QCOMPARE(fx.frmStatistika->Chart1->pointCount(1), 1);
    QCOMPARE(fx.frmStatistika->Chart1->pointValue(1, 0), 1.0);
    QVERIFY(fx.frmStatistika->GroupBox1->isEnabled());
    QVERIFY(!fx.frmStatistika->Panel1->isVisible());
}

void TestStatistika::impossiblePeriodIsRefused() {
    MonitorFixture fx(m_clock);
    fx.Form1->LoadSettings();
    fx.FrmNastav->edCesta[0]->setText(fx.eventDir(0));
    writeEvent(fx.eventDir(0), QStringLiteral("x.csv"), QDateTime(QDate(2026, 3, 2), QTime(10, 0, 0)));
    fx.frmStatistika->btnDnesClick();
    check(fx, 0, true);
    display(fx);
    QCOMPARE(fx.frmStatistika->Chart1->pointCount(0), 1);
    fx.frmStatistika->DateTimePicker3->setDate(QDate(2026, 3, 1));
    MessageBox::clearShown();
    display(fx);
    QCOMPARE(MessageBox::shown().size(), 1);
    QCOMPARE(MessageBox::shown().first().title, QStringLiteral("Warning"));
    QVERIFY(MessageBox::shown().first().text.contains(QStringLiteral("před")));
    QCOMPARE(fx.frmStatistika->Chart1->pointCount(0), 1);
    QCOMPARE(fx.frmStatistika->displayedDays(), 1);
    fx.frmStatistika->DateTimePicker1->setDate(QDate(1800, 1, 1));
    fx.frmStatistika->DateTimePicker3->setDate(QDate(2026, 3, 1));
    MessageBox::clearShown();
    display(fx);
    QVERIFY(MessageBox::shown().first().text.contains(QStringLiteral("65536")));
    QVERIFY(fx.frmStatistika->GroupBox1->isEnabled());
}

void TestStatistika::missingDirectoryBoxOncePerInput() {
    MonitorFixture fx(m_clock);
    fx.Form1->LoadSettings();
    fx.FrmNastav->edCesta[3]->setText(fx.dir.filePath(QStringLiteral("nowhere")));
    fx.FrmNastav->edCesta[4]->setText(QString());
    fx.FrmNastav->edCesta[5]->setText(fx.eventDir(5));
    writeEvent(fx.eventDir(5), QStringLiteral("x.csv"), QDateTime(QDate(2026, 3, 2), QTime(10, 0, 0)));
    fx.frmStatistika->btnDnesClick();
    for (int b : {3, 4, 5})
        check(fx, b, true);
    MessageBox::clearShown();
    display(fx);
    QCOMPARE(MessageBox::shown().size(), 2);
    QCOMPARE(MessageBox::shown()[0].text, QStringLiteral("Složka %1 nenalezena").arg(fx.dir.filePath("nowhere")));
    QCOMPARE(MessageBox::shown()[0].title, QString());
    QCOMPARE(MessageBox::shown()[1].text, QStringLiteral("Složka  nenalezena"));
    QCOMPARE(fx.frmStatistika->Chart1->pointCount(5), 1);
}

void TestStatistika::noInputChosenChangesNothing() {
    MonitorFixture fx(m_clock);
    fx.frmStatistika->Chart1->appendPoint(0, 4, QStringLiteral("x"));
    fx.frmStatistika->btnNactiClick();
    QVERIFY(!fx.frmStatistika->displayRunning());
    QVERIFY(!fx.frmStatistika->Panel1->isVisible());
    QVERIFY(fx.frmStatistika->GroupBox1->isEnabled());
    QCOMPARE(fx.frmStatistika->Chart1->pointCount(0), 1);
}

void TestStatistika::printsTheWindowToOnePdfPage() {
    MonitorFixture fx(m_clock);
    const QString pdf = fx.dir.filePath(QStringLiteral("print.pdf"));
    bool asked = false;
    TfrmStatistika::printDialogHook = [&](QPrinter& printer) {
        asked = true;
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        return true;
    };
    const auto restore = qScopeGuard([] { TfrmStatistika::printDialogHook = nullptr; });
    fx.frmStatistika->show();
    fx.frmStatistika->btnTiskClick();
    fx.frmStatistika->hide();
    QVERIFY(asked);
    QVERIFY(QFileInfo(pdf).size() > 1000);
    const QString pdfimages = QStandardPaths::findExecutable(QStringLiteral("pdfimages"));
    if (pdfimages.isEmpty())
        QSKIP("pdfimages (poppler-utils) is not installed");
    QProcess list;
    list.start(pdfimages, {QStringLiteral("-list"), pdf});
    QVERIFY(list.waitForFinished(30000));
    const QString out = QString::fromLatin1(list.readAllStandardOutput());
    // One page, one image: the window at its own pixel size, stored without loss.
    const QStringList rows = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(2);
    QCOMPARE(rows.size(), 1);
    const QStringList cols = rows.first().simplified().split(QLatin1Char(' '));
    QCOMPARE(cols.value(0), QStringLiteral("1"));
    const QSize expected = fx.frmStatistika->grab().size();
    QCOMPARE(QSize(cols.value(3).toInt(), cols.value(4).toInt()), expected);
    QVERIFY2(cols.value(8) != QLatin1String("jpeg"), qPrintable(rows.first()));

    // A cancelled dialog prints nothing.
    QFile::remove(pdf);
    TfrmStatistika::printDialogHook = [](QPrinter&) { return false; };
    fx.frmStatistika->btnTiskClick();
    QVERIFY(!QFileInfo::exists(pdf));
}

void TestStatistika::reportDuringLargeDisplayIsRecordedOnTime() {
    m_clock->reset();
    MonitorFixture fx(m_clock);
    // A large archive on a memory file system when there is one, so building it is quick.
    QTemporaryDir archiveRoot(QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/impulz-XXXXXX")
                                                                        : QDir::tempPath() + "/impulz-XXXXXX");
    QVERIFY(archiveRoot.isValid());
    const QByteArray line = eventLine(QDateTime(QDate::currentDate(), QTime(10, 0, 0)));
    const int perInput = 20000;
    for (int b = 0; b < 4; ++b) {
        for (int m = 0; m < 10; ++m) {
            const QByteArray dir = QFile::encodeName(archiveRoot.filePath(QStringLiteral("in%1/m%2").arg(b).arg(m)));
            QDir().mkpath(QString::fromLocal8Bit(dir));
            for (int i = 0; i < perInput / 10; ++i) {
                const QByteArray path = dir + "/e" + QByteArray::number(i) + ".csv";
                const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                QVERIFY(fd >= 0);
                QCOMPARE(::write(fd, line.constData(), size_t(line.size())), ssize_t(line.size()));
                ::close(fd);
            }
        }
    }

    FakeController controller;
    fx.connectTo(controller, {QStringLiteral("Bit7=1"), QStringLiteral("Format=live")});
    controller.send(report(52, 0xFF));
    QTRY_COMPARE(fx.logLines().size(), 1);

    for (int b = 0; b < 4; ++b) {
        fx.FrmNastav->edCesta[b]->setText(archiveRoot.filePath(QStringLiteral("in%1").arg(b)));
        check(fx, b, true);
    }
    fx.frmStatistika->btnDnesClick();
    QSignalSpy finished(fx.frmStatistika, &TfrmStatistika::displayFinished);
    fx.frmStatistika->btnNactiClick();
    QVERIFY(fx.frmStatistika->displayRunning());
    QVERIFY(!fx.frmStatistika->GroupBox1->isEnabled());
    QVERIFY(fx.frmStatistika->Panel1->isVisibleTo(fx.frmStatistika));
    QElapsedTimer sent;
    controller.send(report(52, 0x7F)); // input 7 to LOG1
    sent.start();
    const QDateTime sentAt = QDateTime::currentDateTime();
    const QString file = fx.eventDir(7) + QStringLiteral("/live.csv");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(file), 5000);
    const qint64 latency = sent.elapsed();
    QVERIFY2(latency < 1000, qPrintable(QString::number(latency)));
    // The log line comes to the window by a queued signal of its own: it arrives, before or after the file, with
    // the display still running or not.
    QTRY_COMPARE_WITH_TIMEOUT(fx.logLines().size(), 2, 60000);
    QFile recorded(file);
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    const QByteArray stamp = recorded.readAll();
    const QDateTime written =
        QDateTime::fromString(QString::fromLatin1(stamp.left(17)), QStringLiteral("dd.MM.yy;HH:mm:ss"));
    QVERIFY2(qAbs(written.time().secsTo(sentAt.time())) <= 1, stamp.constData());
    if (!finished.count())
        QVERIFY(finished.wait(60000));

    QCOMPARE(fx.frmStatistika->Chart1->pointValue(0, 0), double(perInput));
    QCOMPARE(fx.frmStatistika->Chart1->pointValue(3, 0), double(perInput));
}

void TestStatistika::chartsOfRecordedEvents() {
    // A week of pulses recorded through the real path (socket, decoder, recorder) at pinned clock times, then
    // shown: the daily bars per input must add up to the counters, the hourly bars to the day's events.
    MonitorFixture fx(m_clock);
    QStringList settings;
    for (int b : {0, 1, 2, 3, 5})
        settings << QStringLiteral("Bit%1=1").arg(b);
    settings << QStringLiteral("Format=L%numl%_B%nbit%_%date%%time%") << QStringLiteral("Mazat=1");
    FakeController controller;
    fx.connectTo(controller, settings);
    const auto send = [&](quint8 value) { controller.send(report(52, value)); };
    QList<int> counts(8, 0);
    // Waits, without the 50 ms steps of QTRY and without spinning beside the core thread, until the counters
    // show every event sent.
    const auto counted = [&] {
        for (int b : {0, 1, 2, 3, 5}) {
            if (fx.FrmPocitadla->Edit[b]->text().toInt() != counts[b])
                return false;
        }
        return true;
    };
    const auto waitForCounts = [&] {
        QEventLoop loop;
        for (int b : {0, 1, 2, 3, 5}) {
            QObject::connect(fx.FrmPocitadla->Edit[b], &QLineEdit::textChanged, &loop, [&] {
                if (counted())
                    loop.quit();
            });
        }
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        if (!counted())
            loop.exec();
        return counted();
    };
    send(0xFF); // the baseline: the first report after start records nothing
    QTRY_COMPARE(fx.logLines().size(), 1);
    std::srand(7);
    const QDate first(2026, 2, 23);
    for (int day = 0; day < 7; ++day) {
        for (int hour = 6; hour < 22; ++hour) {
            QList<int> pulses(8, 0);
            for (int b : {0, 1, 2, 3, 5})
                pulses[b] = (std::rand() % (b + 2 + day % 3)) + (hour >= 8 && hour <= 14 ? 1 : 0);
            // The i-th pulse of every input in the hour shares one clock reading (the names differ by input), so
            // a loaded machine waits for one round trip per reading, not per event.
            for (int i = 0; i < *std::max_element(pulses.cbegin(), pulses.cend()); ++i) {
                m_clock->setNow(QDateTime(first.addDays(day), QTime(hour, (i * 7) % 60, (i * 13) % 60)));
                for (int b : {0, 1, 2, 3, 5}) {
                    if (i < pulses[b]) {
                        send(quint8(~(1u << b)));
                        send(0xFF);
                        ++counts[b];
                    }
                }
                QVERIFY(waitForCounts()); // recorded at this clock reading
            }
        }
    }
    for (int b : {0, 1, 2, 3, 5})
        QTRY_COMPARE(fx.FrmPocitadla->Edit[b]->text().toInt(), counts[b]);

    m_clock->setNow(QDateTime(first.addDays(6), QTime(23, 0)));
    fx.frmStatistika->btnDnesClick();
    fx.frmStatistika->DateTimePicker1->setDate(first);
    for (int b : {0, 1, 2, 3, 5})
        check(fx, b, true);
    display(fx);
    for (int b : {0, 1, 2, 3, 5}) {
        double sum = 0;
        for (int i = 0; i < fx.frmStatistika->Chart1->pointCount(b); ++i)
            sum += fx.frmStatistika->Chart1->pointValue(b, i);
        QCOMPARE(int(sum), counts[b]);
    }
    fx.frmStatistika->show();
    fx.frmStatistika->Chart1->flush();
    saveScreenshot(fx.frmStatistika, QStringLiteral("statistics-daily.png"));

    fx.frmStatistika->CheckListBox1->setCurrentRow(3);
    fx.frmStatistika->PageControl1->setCurrentIndex(1);
    fx.frmStatistika->DateTimePicker1->setDate(first.addDays(2));
    display(fx);
    double hourSum = 0;
    for (int i = 0; i < fx.frmStatistika->Chart2->pointCount(0); ++i)
        hourSum += fx.frmStatistika->Chart2->pointValue(0, i);
    QVERIFY(hourSum > 0);
    QCOMPARE(
        int(hourSum),
        int(QDir(fx.eventDir(3))
                .entryList({QStringLiteral("L01_B3_%1*.csv").arg(first.addDays(2).toString(QStringLiteral("ddMMyy")))},
                           QDir::Files)
                .size()));
    fx.frmStatistika->Chart2->flush();
    saveScreenshot(fx.frmStatistika, QStringLiteral("statistics-hourly.png"));
    fx.frmStatistika->hide();
}

void TestStatistika::clickOnItemBoxOnHourlyPage() {
    MonitorFixture fx(m_clock);
    fx.frmStatistika->show();
    clickBox(fx, 1);
    clickBox(fx, 6);
    QCOMPARE(checkedItems(fx), (QList<int>{1, 6})); // the clicks land on the boxes
    fx.frmStatistika->PageControl1->setCurrentIndex(1);
    clickBox(fx, 3);
    QCOMPARE(checkedItems(fx), QList<int>{3});
    clickBox(fx, 5);
    QCOMPARE(checkedItems(fx), QList<int>{5});
    clickBox(fx, 5); // the one checked item stays checked
    QCOMPARE(checkedItems(fx), QList<int>{5});
    fx.frmStatistika->hide();
}

void TestStatistika::hourlyChoiceFollowsTheLastClickedBox() {
    MonitorFixture fx(m_clock);
    const QDate today(2026, 3, 2);
    for (int b = 0; b < 8; ++b)
        fx.FrmNastav->edCesta[b]->setText(fx.eventDir(b));
    writeEvent(fx.eventDir(3), QStringLiteral("e.csv"), QDateTime(today, QTime(10, 0)));
    fx.frmStatistika->btnDnesClick();
    fx.frmStatistika->show();
    // Nothing made current before: the box clicked on the daily page is the hourly page's choice, and the
    // display draws its events.
    clickBox(fx, 3);
    QCOMPARE(fx.frmStatistika->CheckListBox1->currentRow(), 3);
    fx.frmStatistika->PageControl1->setCurrentIndex(1);
    QCOMPARE(checkedItems(fx), QList<int>{3});
    display(fx);
    QCOMPARE(fx.frmStatistika->Chart2->pointCount(0), 1);
    QCOMPARE(fx.frmStatistika->Chart2->pointValue(0, 0), 1.0);
    // An earlier hourly choice gives way to the last box clicked on the daily page.
    clickBox(fx, 5);
    QCOMPARE(checkedItems(fx), QList<int>{5});
    fx.frmStatistika->PageControl1->setCurrentIndex(0);
    for (int b : {2, 6, 0})
        clickBox(fx, b);
    QCOMPARE(checkedItems(fx), (QList<int>{0, 2, 5, 6}));
    fx.frmStatistika->PageControl1->setCurrentIndex(1);
    QCOMPARE(checkedItems(fx), QList<int>{0});
    fx.frmStatistika->hide();
}

void TestStatistika::pageSwitchDuringDisplayKeepsItsInputs() {
    MonitorFixture fx(m_clock);
    const QDate today(2026, 3, 2);
    for (int b : {0, 2}) {
        fx.FrmNastav->edCesta[b]->setText(fx.eventDir(b));
        writeEvent(fx.eventDir(b), QStringLiteral("e.csv"), QDateTime(today, QTime(9, b)));
        check(fx, b, true);
    }
    fx.frmStatistika->btnDnesClick();
    QSignalSpy finished(fx.frmStatistika, &TfrmStatistika::displayFinished);
    fx.frmStatistika->btnNactiClick();
    QVERIFY(fx.frmStatistika->displayRunning());
    fx.frmStatistika->PageControl1->setCurrentIndex(1);
    QCOMPARE(checkedItems(fx), (QList<int>{0, 2})); // not while the display runs
    QVERIFY(finished.wait(30000));
    QCOMPARE(fx.frmStatistika->Chart1->pointCount(0), 1);
    QCOMPARE(fx.frmStatistika->Chart1->pointCount(2), 1);
    QCOMPARE(fx.frmStatistika->Chart2->pointValue(0, 0), 2.0);
    // Then the hourly page's rules apply.
    QVERIFY(!fx.frmStatistika->DateTimePicker3->isEnabled());
    QCOMPARE(checkedItems(fx), QList<int>{});
}

void TestStatistika::unreadableFolderIsNamedAfterTheCharts() {
    MonitorFixture fx(m_clock);
    QVERIFY(::chmod(QFile::encodeName(fx.dir.path()).constData(), 0755) == 0);
    const QDate today(2026, 3, 2);
    fx.FrmNastav->edCesta[4]->setText(fx.eventDir(4));
    writeEvent(fx.eventDir(4), QStringLiteral("a.csv"), QDateTime(today, QTime(9, 0)));
    writeEvent(fx.eventDir(4) + QStringLiteral("/2026"), QStringLiteral("b.csv"), QDateTime(today, QTime(10, 0)));
    const QString closed = fx.eventDir(4) + QStringLiteral("/lost+found");
    writeEvent(closed, QStringLiteral("c.csv"), QDateTime(today, QTime(11, 0)));
    QVERIFY(::chmod(QFile::encodeName(closed).constData(), 0700) == 0);
    fx.frmStatistika->btnDnesClick();
    check(fx, 4, true);
    MessageBox::clearShown();
    {
        Unprivileged nobody;
        if (!nobody.ok())
            QSKIP("cannot drop root's rights");
        display(fx);
    }
    QCOMPARE(fx.frmStatistika->Chart1->pointCount(4), 1);
    QCOMPARE(fx.frmStatistika->Chart1->pointValue(4, 0), 2.0);
    QCOMPARE(MessageBox::shown().size(), 1);
    QCOMPARE(MessageBox::shown().first().title, QStringLiteral("Warning"));
    QCOMPARE(MessageBox::shown().first().text,
             QStringLiteral("Nelze číst složku: %1 (%2)").arg(closed, QString::fromLocal8Bit(strerror(EACCES))));
}

void TestStatistika::printFitsAnA4PortraitPage() {
    MonitorFixture fx(m_clock);
    const QString pdftoppm = QStandardPaths::findExecutable(QStringLiteral("pdftoppm"));
    if (pdftoppm.isEmpty())
        QSKIP("pdftoppm (poppler-utils) is not installed");
    const QString pdf = fx.dir.filePath(QStringLiteral("a4.pdf"));
    TfrmStatistika::printDialogHook = [&](QPrinter& printer) {
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        printer.setPageSize(QPageSize(QPageSize::A4));
        printer.setPageOrientation(QPageLayout::Portrait);
        return true;
    };
    const auto restore = qScopeGuard([] { TfrmStatistika::printDialogHook = nullptr; });
    fx.frmStatistika->show();
    fx.frmStatistika->btnTiskClick();
    fx.frmStatistika->hide();
    const QString png = fx.dir.filePath(QStringLiteral("page"));
    QCOMPARE(QProcess::execute(pdftoppm, {QStringLiteral("-r"), QStringLiteral("72"), QStringLiteral("-png"),
                                          QStringLiteral("-singlefile"), pdf, png}),
             0);
    const QImage page(png + QStringLiteral(".png"));
    QCOMPARE(page.size(), QSize(595, 842));
    // The window's grey area on the white page: whole, and with its own proportions.
    QRect drawn;
    for (int y = 0; y < page.height(); ++y) {
        for (int x = 0; x < page.width(); ++x) {
            if (qGray(page.pixel(x, y)) < 250)
                drawn |= QRect(x, y, 1, 1);
        }
    }
    QVERIFY2(drawn.right() < page.width() - 1, qPrintable(QStringLiteral("right edge at %1").arg(drawn.right())));
    const double ratio = double(drawn.width()) / drawn.height();
    QVERIFY2(qAbs(ratio - 793.0 / 370.0) < 0.03, qPrintable(QString::number(ratio)));
    QVERIFY(drawn.width() > 500);
}

// "U.CSV" is an event file as "u.csv" is; a file in UTF-16 or full of NULs is quoted in the box with its bytes
// written out, and a name that is not UTF-8 is named the same way.
void TestStatistika::upperCaseExtensionCountsAndOddBytesAreEscaped() {
    MonitorFixture fx(m_clock);
    fx.Form1->LoadSettings();
    fx.FrmNastav->edCesta[6]->setText(fx.eventDir(6));
    const QDate today(2026, 3, 2);
    writeEvent(fx.eventDir(6), QStringLiteral("u.csv"), QDateTime(today, QTime(9, 0)));
    writeEvent(fx.eventDir(6), QStringLiteral("U.CSV"), QDateTime(today, QTime(10, 0)));
    writeEvent(fx.eventDir(6), QStringLiteral("w.Csv"), QDateTime(today, QTime(11, 0)));
    writeEvent(fx.eventDir(6), QStringLiteral("not.csvx"), QDateTime(today, QTime(12, 0)));
    fx.frmStatistika->btnDnesClick();
    check(fx, 6, true);
    display(fx);
    QCOMPARE(fx.frmStatistika->Chart1->pointValue(6, 0), 3.0);

    const auto boxFor = [&](const QByteArray& name, const QByteArray& content) {
        const QByteArray path = QFile::encodeName(fx.eventDir(7)) + '/' + name;
        QDir().mkpath(fx.eventDir(7));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        [[maybe_unused]] const auto written = ::write(fd, content.constData(), size_t(content.size()));
        ::close(fd);
        fx.FrmNastav->edCesta[7]->setText(fx.eventDir(7));
        check(fx, 7, true);
        MessageBox::clearShown();
        display(fx);
        ::unlink(path.constData());
        return MessageBox::shown().isEmpty() ? QString() : MessageBox::shown().first().text;
    };
    const QString utf16 = boxFor("utf16.csv", QByteArray::fromHex("fffe300038002e0030003300")); // "08.03" in UTF-16
    QVERIFY2(utf16.contains(QStringLiteral("„\\xff\\xfe0\\x008\\x00.\\x00“")), qPrintable(utf16));
    const QString zeros = boxFor("zeros.csv", QByteArray(19, '\0'));
    QVERIFY2(zeros.contains(QStringLiteral("„") + QStringLiteral("\\x00").repeated(8) + QStringLiteral("“")),
             qPrintable(zeros));
    const QString oddName = boxFor("caf\xe9.csv", "datum;cas\r\n");
    QVERIFY2(oddName.contains(QStringLiteral("/caf\\xe9.csv")), qPrintable(oddName));
    for (const QString& text : {utf16, zeros, oddName})
        QVERIFY2(!text.contains(QChar::ReplacementCharacter), qPrintable(text));
}

QTEST_MAIN(TestStatistika)
#include "tst_statistika.moc"
