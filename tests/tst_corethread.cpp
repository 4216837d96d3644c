// The windows as views of a core on its own thread: nothing the GUI thread does (a box, a long stall) holds back
// decoding, recording or the watchdog, and what the operator must see of a failure reaches the screen.

#include "support/simulator.h"
#include "support/monitorfixture.h"

#include "components/cooltrayicon.h"
#include "impulz.h"
#include "main.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include <unistd.h>

class TestCoreThread : public QObject {
    Q_OBJECT
private slots:
    void stalledGuiLosesNoEvent();
    void largeChunkWarningHoldsNothingBack();
    void windowIsPaintedBeforeTheStartupWait();
    void writeFailureReachesTrayAndCounter();
    void writeFailureNoticeReturnsAfterItsInterval();
    void cancelledSessionEndKeepsTheConfirmation();
    void staleSettingsTemporaryGoesAtStart();
    void settingsStayClosedWhileTheCoreDecides();
};

namespace {
// Connects the monitor to the simulator with every input watched and named by input and running number.
bool connectToSimulator(MonitorFixture& fx, Simulator& sim, const QStringList& extra = {}) {
    if (!sim.listening())
        return false;
    QStringList lines = fx.existingDirectories();
    for (int n = 0; n < 8; ++n)
        lines << QStringLiteral("Bit%1=1").arg(n);
    fx.writeIni(lines << QStringLiteral("Port=%1").arg(sim.port()) << QStringLiteral("Format=E%nbit%_%numco%")
                      << extra);
    fx.Form1->LoadSettings();
    fx.Form1->btnPripojClick();
    return QTest::qWaitFor([&] { return sim.sessionReady() && fx.reportLines() >= 1; }, 10000);
}
} // namespace

void TestCoreThread::stalledGuiLosesNoEvent() {
    if (!Simulator::available())
        QSKIP("controller-sim not built");
    MonitorFixture fx;
    Simulator sim;
    QVERIFY(connectToSimulator(fx, sim, {QStringLiteral("Obnovit=1"), QStringLiteral("Sec=2")}));
    QByteArray script;
    for (int i = 0; i < 100; ++i)
        script += "pulse " + QByteArray::number(i % 8) + " 10\nsleep 25\n";
    QVERIFY(sim.run("silence"));
    const int before = fx.reportLines();
    sim.write(script);
    // The GUI thread stalls for 5 s: longer than the watchdog's period, as a frozen chart or a slow X server would.
    QThread::msleep(5000);
    QVERIFY(sim.run(""));
    QVERIFY2(sim.sentTotal() == 100, sim.tail().constData());
    // Every event is on disk, stamped when it was sent, not when the windows woke up.
    const auto sends = sim.sends();
    for (int n = 0; n < 8; ++n) {
        const QStringList files = csvFiles(fx.eventDir(n));
        QList<qint64> sentAt;
        for (const auto& [bit, ms] : sends) {
            if (bit == n)
                sentAt << ms;
        }
        QCOMPARE(files.size(), sentAt.size());
        for (qsizetype i = 0; i < files.size(); ++i) {
            const QByteArray line = readBytes(fx.eventDir(n) + QLatin1Char('/') + files[i]);
            const QDateTime stamp =
                QDateTime::fromString(QString::fromLatin1(line.trimmed()), "dd.MM.yy;HH:mm:ss").addYears(100);
            QVERIFY2(qAbs(stamp.toMSecsSinceEpoch() - sentAt[i]) <= 1500, line.constData());
        }
    }
    // The log and the LEDs catch up, in order.
    QTRY_VERIFY(fx.reportLines() >= before + 200);
    for (auto* led : fx.Form1->Leds)
        QCOMPARE(led->state(), lsOFF);
    fx.Form1->btnPripojClick();
    fx.settle();
}

void TestCoreThread::largeChunkWarningHoldsNothingBack() {
    if (!Simulator::available())
        QSKIP("controller-sim not built");
    MonitorFixture fx;
    MessageBox::setAutoAnswer(std::nullopt); // real boxes
    Simulator sim({QStringLiteral("--keepalive"), QStringLiteral("200")});
    QVERIFY(connectToSimulator(fx, sim, {QStringLiteral("Obnovit=1"), QStringLiteral("Sec=1")}));
    const QByteArray text = "text \"" + QByteArray(253, 'x') + "\"\n";
    // Two large chunks and a pulse while the first box is still open.
    QVERIFY(sim.run(text + "sleep 100\n" + text + "sleep 100\npulse 0 10"));
    QTRY_COMPARE(csvFiles(fx.eventDir(0)).size(), 1);
    const auto boxes = fx.Form1->findChildren<QMessageBox*>();
    QCOMPARE(boxes.size(), 1); // one box of a kind at a time
    QVERIFY(boxes.first()->isVisible());
    QCOMPARE(boxes.first()->text(), Monitor::LargeChunkWarning);
    // Past the watchdog's period with the box open: the link stays, the data keeps coming.
    QVERIFY(sim.run("sleep 2500\npulse 1 10"));
    QTRY_COMPARE(csvFiles(fx.eventDir(1)).size(), 1);
    QCOMPARE(fx.App->monitor->reconnectCount(), 0);
    boxes.first()->accept();
    fx.Form1->btnPripojClick();
    fx.settle();
}

void TestCoreThread::windowIsPaintedBeforeTheStartupWait() {
    CoreConfig config = testConfig();
    config.monitor.startupMs = 4000;
    MonitorFixture fx(true, config);
    FakeController controller;
    fx.writeIni(fx.existingDirectories() << QStringLiteral("Login=1")
                                         << QStringLiteral("Port=%1").arg(controller.port()));
    struct PaintSpy : QObject {
        bool painted = false;
        bool eventFilter(QObject*, QEvent* e) override {
            painted = painted || e->type() == QEvent::Paint;
            return false;
        }
    } spy;
    fx.Form1->installEventFilter(&spy);
    fx.Form1->show();
    QTRY_VERIFY(spy.painted);
    QCOMPARE(controller.sessionCount(), 0); // the wait goes on on the core's thread
    QTRY_COMPARE_WITH_TIMEOUT(controller.sessionCount(), 1, 10000);
    fx.Form1->removeEventFilter(&spy);
}

void TestCoreThread::writeFailureReachesTrayAndCounter() {
    MonitorFixture fx;
    Link link(fx, {QStringLiteral("Bit1=1"), QStringLiteral("Format=E%nbit%_%numco%")});
    const QString missing = fx.dir.filePath(QStringLiteral("missing"));
    fx.FrmNastav->edCesta[1]->setText(missing);
    link.send(report(52, 0xFF) + report(52, 0xFD), 2);
    QVERIFY(fx.Form1->TrayIcon1->lastMessage().contains(QStringLiteral("Bit1")));
    QVERIFY(fx.Form1->TrayIcon1->lastMessage().contains(QString::fromLocal8Bit(std::strerror(ENOENT))));
    QVERIFY(fx.FrmPocitadla->Edit[1]->toolTip().contains(QStringLiteral("Nezapsané události: 1")));
    QCOMPARE(fx.FrmPocitadla->Edit[1]->text(), QStringLiteral("0"));
    // A second failure within the minute counts, but the tray stays quiet.
    const QString shown = fx.Form1->TrayIcon1->lastMessage();
    fx.FrmNastav->edCesta[1]->setText(fx.dir.filePath(QStringLiteral("other")));
    link.send(report(52, 0xFF) + report(52, 0xFD), 4);
    QVERIFY(fx.FrmPocitadla->Edit[1]->toolTip().contains(QStringLiteral("Nezapsané události: 2")));
    QCOMPARE(fx.Form1->TrayIcon1->lastMessage(), shown);
}

// The tray's silence after a failed write lasts the interval the window was given, and then it speaks again.
void TestCoreThread::writeFailureNoticeReturnsAfterItsInterval() {
    MonitorFixture fx(true, testConfig(), {.writeFailureNoticeMs = 200});
    Link link(fx, {QStringLiteral("Bit1=1"), QStringLiteral("Format=E%nbit%_%numco%")});
    fx.FrmNastav->edCesta[1]->setText(fx.dir.filePath(QStringLiteral("missing")));
    link.send(report(52, 0xFF) + report(52, 0xFD), 2);
    const QString first = fx.Form1->TrayIcon1->lastMessage();
    QVERIFY(first.contains(QString::fromLocal8Bit(std::strerror(ENOENT))));
    QElapsedTimer sinceFirst; // started after the window's own, so it expires last
    sinceFirst.start();
    // The second failure has another reason, so its message is told from the first.
    QFile plain(fx.dir.filePath(QStringLiteral("plain")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    fx.FrmNastav->edCesta[1]->setText(fx.dir.filePath(QStringLiteral("plain/sub")));
    QVERIFY(QTest::qWaitFor([&] { return sinceFirst.hasExpired(200); }, 10000));
    link.send(report(52, 0xFF) + report(52, 0xFD), 4);
    QTRY_VERIFY(fx.Form1->TrayIcon1->lastMessage() != first);
    QVERIFY(fx.Form1->TrayIcon1->lastMessage().contains(QStringLiteral("Bit1")));
    QVERIFY(fx.Form1->TrayIcon1->lastMessage().contains(QString::fromLocal8Bit(std::strerror(ENOTDIR))));
}

void TestCoreThread::cancelledSessionEndKeepsTheConfirmation() {
    MonitorFixture fx(false, testConfig(), {.sessionEndGraceMs = 50});
    fx.Form1->show();
    QTRY_VERIFY(!fx.Form1->windowTitle().isEmpty());
    fx.Form1->sessionEnding(); // then the log-out is cancelled: no close follows
    QTest::qWait(100);
    MessageBox::clearShown();
    QVERIFY(!fx.Form1->close());
    QCOMPARE(MessageBox::shown().size(), 1);
}

void TestCoreThread::staleSettingsTemporaryGoesAtStart() {
    QTemporaryDir dir;
    // A pid that cannot run: above the kernel's limit.
    const QString stale = dir.filePath(QStringLiteral(".impulz.ini.99999999.3.tmp"));
    const QString live = dir.filePath(QStringLiteral(".impulz.ini.%1.3.tmp").arg(::getpid()));
    for (const QString& path : {stale, live}) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    Impulz app(dir.filePath(QStringLiteral("impulz.ini")));
    QVERIFY(!QFileInfo::exists(stale));
    QVERIFY(QFileInfo::exists(live));
}

// The settings button stays off from the window's first showing until the start-up wait has connected, and
// through a whole reconnect cycle; and a settings dialog that is open anyway never makes two events share a number.
void TestCoreThread::settingsStayClosedWhileTheCoreDecides() {
    CoreConfig config = testConfig();
    config.monitor = {400, 300}; // start-up, watchdog
    MonitorFixture fx(true, config);
    FakeController controller;
    fx.writeIni(
        fx.existingDirectories() << QStringLiteral("Port=%1").arg(controller.port()) << QStringLiteral("Login=1")
                                 << QStringLiteral("Obnovit=1") << QStringLiteral("Sec=1") << QStringLiteral("Bit0=1")
                                 << QStringLiteral("Format=L%numl%_B%nbit%_%numco%") << QStringLiteral("Por_cislo=42"));
    struct EnabledSpy : QObject {
        QWidget* button = nullptr;
        int enabled = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            enabled += e->type() == QEvent::EnabledChange && button->isEnabled() ? 1 : 0;
            return false;
        }
    } spy;
    spy.button = fx.Form1->btnNastav;
    fx.Form1->btnNastav->installEventFilter(&spy);
    fx.Form1->show();
    QVERIFY(!fx.Form1->btnNastav->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(controller.sessionCount(), 1, 10000);
    // The link stays silent: the watchdog cuts it, waits and connects again.
    QTRY_COMPARE_WITH_TIMEOUT(fx.App->monitor->reconnectCount(), 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(controller.sessionCount() >= 2, 10000);
    fx.settle();
    QCOMPARE(spy.enabled, 0);

    fx.FrmNastav->show(); // however it came to be open
    for (int i = 0; i < 4; ++i)
        fx.feedChunk(report(52, 0xff) + report(52, 0xfe));
    QCOMPARE(csvFiles(fx.eventDir(0)),
             QStringList({QStringLiteral("L01_B0_00042.csv"), QStringLiteral("L01_B0_00043.csv"),
                          QStringLiteral("L01_B0_00044.csv"), QStringLiteral("L01_B0_00045.csv")}));
    fx.FrmNastav->hide();
    fx.Form1->btnPripojClick();
    fx.settle();
    QTRY_VERIFY(fx.Form1->btnNastav->isEnabled());
    fx.Form1->btnNastav->removeEventFilter(&spy);
}

QTEST_MAIN(TestCoreThread)
#include "tst_corethread.moc"
