// The input event recorder end to end: reports from a controller on loopback through the socket layer and the
// decoder into event files in temporary folders, the counters, and the faults that must not lose an event.

#include "support/monitorfixture.h"
#include "support/simulator.h"

#include "components/spinedit.h"
#include "core/settings/inifile.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimeEdit>
#include <QTimer>

#include <sys/mount.h>
#include <unistd.h>

namespace {
QStringList allFiles(const QString& dir) {
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

bool isRoot() {
    return geteuid() == 0;
}
} // namespace

class TestRecorder : public QObject {
    Q_OBJECT

private slots:
    void init() { m_clock = pinnedClock(QDateTime(QDate(2026, 12, 6), QTime(13, 45, 7, 250))); }
    void onlyNewTransitionsOfWatchedInputsAreRecorded();
    void periodSumIsInclusiveToTheMillisecond();
    void directoryTextIsUsedUnchanged();
    void oneFailingInputDoesNotTakeTheChunkDown();
    void faultyFileSystemsLeaveNoPartialFiles_data();
    void faultyFileSystemsLeaveNoPartialFiles();
    void collidingNamesEachGetTheirOwnFile();
    void sequenceNumberIsStoredAtOnce();
    void countersWindow();
    void simulatorLoadRunMatchesCounters();

private:
    std::shared_ptr<PinnedClock> m_clock; // every test's recorder and windows read it
};

void TestRecorder::onlyNewTransitionsOfWatchedInputsAreRecorded() {
    MonitorFixture fx(m_clock);
    Link link(fx, {QStringLiteral("Bit0=1"), QStringLiteral("Bit3=1"), QStringLiteral("Format=B%nbit%_%numco%"),
                   QStringLiteral("Por_cislo=41")});
    // The first report after start records nothing: the stored levels start at 0.
    link.send(report(52, 0x00), 1);
    QVERIFY(csvFiles(fx.eventDir(0)).isEmpty());
    // A subcommand 150 report sets a baseline without recording.
    link.send(report(52, 0xFF) + report(150, 0xF7), 3);
    QVERIFY(csvFiles(fx.eventDir(3)).isEmpty());
    // F7 then F6 with inputs 0 and 3 watched: input 3 was already at LOG1, input 0 is new.
    link.send(report(52, 0xF6), 4);
    QCOMPARE(csvFiles(fx.eventDir(0)), QStringList{QStringLiteral("B0_00041.csv")});
    QVERIFY(csvFiles(fx.eventDir(3)).isEmpty());
    QCOMPARE(readBytes(fx.eventDir(0) + QStringLiteral("/B0_00041.csv")), QByteArray("06.12.26;13:45:07\r\n"));
    QCOMPARE(fx.FrmPocitadla->Edit[0]->text(), QStringLiteral("1"));
    QCOMPARE(fx.FrmPocitadla->Edit[3]->text(), QStringLiteral("0"));
    // An unwatched input at LOG1 leaves nothing; inputs going to LOG1 together get numbers in input order.
    link.send(report(52, 0xFF) + report(52, 0x36), 6); // inputs 0, 3, 6, 7 to LOG1; 6 and 7 unwatched
    QCOMPARE(csvFiles(fx.eventDir(0)).last(), QStringLiteral("B0_00042.csv"));
    QCOMPARE(csvFiles(fx.eventDir(3)), QStringList{QStringLiteral("B3_00043.csv")});
    QVERIFY(csvFiles(fx.eventDir(6)).isEmpty());
    QCOMPARE(fx.FrmPocitadla->Edit[6]->text(), QStringLiteral("0"));
    QCOMPARE(fx.storedLevels()[6], false);
    // An input staying at LOG1 over several reports is recorded once.
    link.send(report(52, 0x36) + report(52, 0x36), 8);
    QCOMPARE(fx.FrmPocitadla->Edit[0]->text(), QStringLiteral("2"));
    QCOMPARE(fx.FrmPocitadla->Edit[3]->text(), QStringLiteral("1"));
}

void TestRecorder::periodSumIsInclusiveToTheMillisecond() {
    MonitorFixture fx(m_clock);
    Link link(fx, {QStringLiteral("Bit2=1"), QStringLiteral("Bit7=1"), QStringLiteral("Format=%nbit%_%numco%")});
    link.send(report(52, 0xFF), 1);
    const QDateTime now = m_clock->now();
    fx.FrmPocitadla->DateTimePicker1->setDate(now.date().addDays(-1));
    fx.FrmPocitadla->DateTimePicker2->setTime(QTime(8, 0));
    fx.FrmPocitadla->DateTimePicker3->setDate(now.date());
    fx.FrmPocitadla->DateTimePicker4->setTime(now.time());
    QCOMPARE(fx.FrmPocitadla->DateTimePicker4->time(), QTime(13, 45, 7, 250));
    fx.FrmPocitadla->spBitUsek->setValueClamped(7);
    // Inputs 2 and 7 at the end of the period to the millisecond: only input 7 counts in the sum.
    link.send(report(52, 0x7B), 2);
    QCOMPARE(fx.FrmPocitadla->Edit9->text(), QStringLiteral("1"));
    QCOMPARE(fx.FrmPocitadla->Edit[2]->text(), QStringLiteral("1"));
    // One millisecond later the period is over; the per-input counters go on.
    m_clock->advance(1);
    link.send(report(52, 0xFF) + report(52, 0x7F), 4);
    QCOMPARE(fx.FrmPocitadla->Edit9->text(), QStringLiteral("1"));
    QCOMPARE(fx.FrmPocitadla->Edit[7]->text(), QStringLiteral("2"));
    // "Dnes" sets both ends to the moment of the click: a later event is outside.
    fx.FrmPocitadla->btnDnesClick();
    m_clock->advance(1);
    link.send(report(52, 0xFF) + report(52, 0x7F), 6);
    QCOMPARE(fx.FrmPocitadla->Edit9->text(), QStringLiteral("1"));
}

void TestRecorder::directoryTextIsUsedUnchanged() {
    MonitorFixture fx(m_clock);
    Link link(fx, {QStringLiteral("Bit1=1"), QStringLiteral("Format=x")});
    fx.FrmNastav->edCesta[1]->setText(fx.eventDir(1) + QStringLiteral("/")); // typed, never saved: in force at once
    link.send(report(52, 0xFF) + report(52, 0xFD), 2);
    QCOMPARE(csvFiles(fx.eventDir(1)), QStringList{QStringLiteral("x.csv")});
    QVERIFY(!fx.logLines().join(QLatin1Char('\n')).contains(QStringLiteral("Chyba")));
}

void TestRecorder::oneFailingInputDoesNotTakeTheChunkDown() {
    MonitorFixture fx(m_clock);
    Link link(fx, {QStringLiteral("Bit0=1"), QStringLiteral("Bit1=1"), QStringLiteral("Bit2=1"),
                   QStringLiteral("Format=E%nbit%_%numco%"), QStringLiteral("Por_cislo=7")});
    const QString missing = fx.dir.filePath(QStringLiteral("missing"));
    fx.FrmNastav->edCesta[1]->setText(missing);
    fx.stopWatchdog();
    // Inputs 0, 1 and 2 to LOG1, and a second report in the same chunk after the failing one.
    link.send(report(52, 0xFF) + report(52, 0xF8) + report(52, 0xFF), 3);
    QCOMPARE(csvFiles(fx.eventDir(0)), QStringList{QStringLiteral("E0_00007.csv")});
    QCOMPARE(csvFiles(fx.eventDir(2)), QStringList{QStringLiteral("E2_00009.csv")});
    QVERIFY(!QFileInfo::exists(missing));
    QCOMPARE(fx.FrmPocitadla->Edit[0]->text(), QStringLiteral("1"));
    QCOMPARE(fx.FrmPocitadla->Edit[1]->text(), QStringLiteral("0"));
    QCOMPARE(fx.FrmPocitadla->Edit[2]->text(), QStringLiteral("1"));
    const QStringList errors = fx.logLines().filter(QStringLiteral("Chyba zápisu"));
    QCOMPARE(errors,
             QStringList{QStringLiteral("Chyba zápisu: %1/E1_00008.csv (No such file or directory)").arg(missing)});
    // The report's levels were stored and the watchdog restarted by the chunk.
    QCOMPARE(fx.storedLevels()[1], true);
    QVERIFY(fx.watchdogActive());
}

void TestRecorder::faultyFileSystemsLeaveNoPartialFiles_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("read-only directory") << "readonly";
    QTest::newRow("full disk") << "full";
}

void TestRecorder::faultyFileSystemsLeaveNoPartialFiles() {
    QFETCH(QString, kind);
    MonitorFixture fx(m_clock);
    const QString target = fx.dir.filePath(QStringLiteral("target"));
    QVERIFY(QDir().mkpath(target));
    bool mounted = false;
    if (isRoot()) {
        // Root ignores permissions: a read-only or a tiny tmpfs makes the file system say no.
        const QByteArray options = kind == QLatin1String("full") ? "size=16k,mode=0777" : "size=64k,mode=0777";
        if (::mount("tmpfs", QFile::encodeName(target).constData(), "tmpfs", 0, options.constData()) != 0)
            QSKIP("cannot mount a tmpfs here");
        mounted = true;
        if (kind == QLatin1String("full")) {
            QFile filler(target + QStringLiteral("/filler"));
            QVERIFY(filler.open(QIODevice::WriteOnly));
            const QByteArray block(4096, 'x');
            while (filler.write(block) == block.size() && filler.flush()) {
            }
            filler.close();
        } else {
            QVERIFY(::mount("tmpfs", QFile::encodeName(target).constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) ==
                    0);
        }
    } else {
        if (kind == QLatin1String("full"))
            QSKIP("a full disk needs a tmpfs mount, which needs root");
        QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }
    const auto unmount = qScopeGuard([&] {
        if (mounted)
            ::umount2(QFile::encodeName(target).constData(), MNT_DETACH);
        QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    });

    Link link(fx, {QStringLiteral("Bit4=1"), QStringLiteral("Bit5=1"), QStringLiteral("Format=F%nbit%")});
    fx.FrmNastav->edCesta[4]->setText(target);
    const QStringList before = allFiles(target);
    link.send(report(52, 0xFF) + report(52, 0xCF), 2);
    QCOMPARE(allFiles(target).join(QLatin1Char(',')), before.join(QLatin1Char(','))); // no event or temporary file
    QCOMPARE(csvFiles(fx.eventDir(5)), QStringList{QStringLiteral("F5.csv")});
    QCOMPARE(fx.FrmPocitadla->Edit[4]->text(), QStringLiteral("0"));
    QCOMPARE(fx.FrmPocitadla->Edit[5]->text(), QStringLiteral("1"));
    const QStringList errors = fx.logLines().filter(QStringLiteral("Chyba zápisu: %1/F4.csv (").arg(target));
    QCOMPARE(errors.size(), 1);
}

void TestRecorder::collidingNamesEachGetTheirOwnFile() {
    MonitorFixture fx(m_clock);
    // The stored default template expands to "_" for every event.
    Link link(fx, {QStringLiteral("Bit6=1")});
    QByteArray chunk = report(52, 0xFF);
    for (int i = 0; i < 3; ++i)
        chunk += report(52, 0xBF) + report(52, 0xFF);
    QFile existing(fx.eventDir(6) + QStringLiteral("/_.csv"));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.write("foreign");
    existing.close();
    link.send(chunk, 7);
    QCOMPARE(csvFiles(fx.eventDir(6)), (QStringList{QStringLiteral("_.csv"), QStringLiteral("__2.csv"),
                                                    QStringLiteral("__3.csv"), QStringLiteral("__4.csv")}));
    QCOMPARE(readBytes(fx.eventDir(6) + QStringLiteral("/_.csv")), QByteArray("foreign"));
    QCOMPARE(fx.FrmPocitadla->Edit[6]->text(), QStringLiteral("3"));
}

void TestRecorder::sequenceNumberIsStoredAtOnce() {
    MonitorFixture fx(m_clock);
    Link link(fx, {QStringLiteral("Bit0=1"), QStringLiteral("Format=N%numco%"), QStringLiteral("Por_cislo=99998")});
    link.send(report(52, 0xFF) + report(52, 0xFE), 2);
    QCOMPARE(csvFiles(fx.eventDir(0)), QStringList{QStringLiteral("N99998.csv")});
    const auto stored = [&] {
        return IniFile(fx.iniPath()).readInteger(QStringLiteral("Po spusteni"), QStringLiteral("Por_cislo"), -1);
    };
    QCOMPARE(stored(), 0); // 99998 is followed by 0
    // A reload ("&Zavři") reads the number back and does not issue 99998 again.
    fx.stopWatchdog();
    fx.FrmNastav->btnZavriClick();
    QTRY_VERIFY(!fx.FrmNastav->pending());
    link.send(report(52, 0xFF) + report(52, 0xFE), 4);
    QCOMPARE(csvFiles(fx.eventDir(0)), (QStringList{QStringLiteral("N00000.csv"), QStringLiteral("N99998.csv")}));
    QCOMPARE(stored(), 1);
}

void TestRecorder::countersWindow() {
    MonitorFixture fx(m_clock);
    QCOMPARE(fx.FrmPocitadla->size(), QSize(395, 217));
    QCOMPARE(fx.FrmPocitadla->windowTitle(), QStringLiteral("Počítadla"));
    fx.FrmPocitadla->spBitUsek->setValueClamped(2);
    for (int k = 0; k < 8; ++k) {
        QVERIFY(!fx.FrmPocitadla->Edit[k]->isEnabled());
        for (int i = 0; i < 10 + k; ++i)
            fx.App->counters.countEvent(k, k == 2 && i < 5); // five of input 2's events fall in the period
    }
    QTest::mouseClick(fx.FrmPocitadla->btnNuluj[2], Qt::LeftButton);
    QCOMPARE(fx.FrmPocitadla->Edit[2]->text(), QStringLiteral("0"));
    QCOMPARE(fx.FrmPocitadla->Edit[1]->text(), QStringLiteral("11"));
    QCOMPARE(fx.FrmPocitadla->Edit9->text(), QStringLiteral("5")); // the sum stays, even for the chosen input
    QTest::mouseClick(fx.FrmPocitadla->btnNulujUsek, Qt::LeftButton);
    QCOMPARE(fx.FrmPocitadla->Edit9->text(), QStringLiteral("0"));
    QCOMPARE(fx.FrmPocitadla->Edit[7]->text(), QStringLiteral("17"));
    m_clock->setNow(QDateTime(QDate(2025, 3, 4), QTime(5, 6, 7, 8)));
    QTest::mouseClick(fx.FrmPocitadla->btnDnes, Qt::LeftButton);
    QCOMPARE(fx.FrmPocitadla->DateTimePicker1->date(), QDate(2025, 3, 4));
    QCOMPARE(fx.FrmPocitadla->DateTimePicker2->time(), QTime(5, 6, 7, 8));
    QCOMPARE(fx.FrmPocitadla->DateTimePicker3->date(), QDate(2025, 3, 4));
    QCOMPARE(fx.FrmPocitadla->DateTimePicker4->time(), QTime(5, 6, 7, 8));
    // Closing and opening again keeps everything.
    QTimer::singleShot(0, fx.FrmPocitadla->btnZavri,
                       [&fx] { QTest::mouseClick(fx.FrmPocitadla->btnZavri, Qt::LeftButton); });
    QCOMPARE(fx.FrmPocitadla->exec(), 1);
    QCOMPARE(fx.FrmPocitadla->Edit[7]->text(), QStringLiteral("17"));
    QCOMPARE(fx.FrmPocitadla->spBitUsek->Value(), 2);
}

void TestRecorder::simulatorLoadRunMatchesCounters() {
    if (!Simulator::available())
        QSKIP("controller simulator not built");
    m_clock->reset();
    MonitorFixture fx(m_clock);
    Simulator sim({QStringLiteral("--rate"), QStringLiteral("200"), QStringLiteral("--seconds"), QStringLiteral("3"),
                   QStringLiteral("--seed"), QStringLiteral("7")});
    QVERIFY2(sim.listening(), sim.tail().constData());
    QStringList settings = fx.existingDirectories();
    for (int n = 0; n < 8; ++n)
        settings << QStringLiteral("Bit%1=1").arg(n);
    settings << QStringLiteral("Port=%1").arg(sim.port()) << QStringLiteral("Format=L%numl%_B%nbit%_%date%%time%");
    fx.writeIni(settings);
    fx.Form1->LoadSettings();
    fx.Form1->btnPripojClick();
    fx.settle();
    // The monitor needs the event loop while the simulator runs: no blocking wait here.
    QVERIFY(sim.finished(60000));
    const qint64 sent = sim.transitions();
    QVERIFY2(sent > 0, sim.tail().constData());
    // The simulator has finished sending; the monitor may still be reading what is on the way.
    const auto files = [&] {
        qint64 n = 0;
        for (int bit = 0; bit < 8; ++bit)
            n += csvFiles(fx.eventDir(bit)).size();
        return n;
    };
    const auto counted = [&] {
        qint64 n = 0;
        for (int bit = 0; bit < 8; ++bit)
            n += fx.FrmPocitadla->Edit[bit]->text().toLongLong();
        return n;
    };
    QTRY_COMPARE_WITH_TIMEOUT(files(), sent, 20000);
    QTRY_COMPARE(counted(), files());
    fx.FrmPocitadla->setWindowTitle(QStringLiteral("Počítadla I/O - monitor (Linka 1)"));
    fx.FrmPocitadla->show();
    saveScreenshot(fx.FrmPocitadla, QStringLiteral("counters.png"));
    fx.FrmPocitadla->hide();
    QVERIFY(fx.logLines().filter(QStringLiteral("Chyba")).isEmpty());
}

QTEST_MAIN(TestRecorder)
#include "tst_recorder.moc"
