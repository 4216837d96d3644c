// The link to the controller end to end over loopback: greeting, reports into LEDs and the log, socket errors,
// the watchdog and the operator's toggle. The controller is a real QTcpServer on 127.0.0.1.

#include "support/monitorfixture.h"

#include "components/spinedit.h"
#include "socket/clientsocket.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTimer>

class TestConnection : public QObject {
    Q_OBJECT

private slots:
    void init() { m_clock = pinnedClock(QDateTime(QDate(2026, 12, 6), QTime(13, 45, 7))); }
    void greetingAndReportsOnEverySession();
    void refusedConnectionLogsOneError();
    void watchdogReconnectsSilentControllerUntilOperatorDisconnects();
    void controllerCloseWithoutWatchdogThenClickReconnects();
    void logLimitAndHexLines();
    void largeChunkWarnsAndLaterChunksWait();
    void badAddressAndPortAreLogged_data();
    void badAddressAndPortAreLogged();

private:
    void connectTo(MonitorFixture& fx, FakeController& controller, const QStringList& extra = {});
    std::shared_ptr<PinnedClock> m_clock; // every test's recorder reads it
};

void TestConnection::connectTo(MonitorFixture& fx, FakeController& controller, const QStringList& extra) {
    fx.connectTo(controller, extra);
    QTRY_COMPARE(fx.Form1->btnPripoj->text(), QStringLiteral("&Odpojit"));
    QVERIFY(!fx.Form1->btnNastav->isEnabled());
    QCOMPARE(controller.sessionCount(), 1);
}

void TestConnection::greetingAndReportsOnEverySession() {
    MonitorFixture fx(m_clock);
    FakeController controller;
    connectTo(fx, controller);
    QTRY_COMPARE(controller.received(0), Greeting);
    QVERIFY(!fx.watchdogActive()); // "Obnovit" off: connecting does not start the watchdog

    controller.send(report(52, 0xF6));
    QTRY_COMPARE(fx.logLines().size(), 1);
    QCOMPARE(fx.logLines().last(), QStringLiteral("LOG1 Bit: 0,3 - 06.12.26 13:45:07"));
    for (int n = 0; n < 8; ++n)
        QCOMPARE(fx.Form1->Leds[n]->state(), (n == 0 || n == 3) ? lsON : lsOFF);
    // The first chunk starts the watchdog even without "Obnovit".
    QVERIFY(fx.watchdogActive());
    QCOMPARE(fx.watchdogInterval(), 15000);

    controller.send(report(150, 0xFF));
    QTRY_COMPARE(fx.logLines().size(), 2);
    QCOMPARE(fx.logLines().last(), QStringLiteral("LOG1 Bit: - 06.12.26 13:45:07"));
    for (auto* led : fx.Form1->Leds)
        QCOMPARE(led->state(), lsOFF);

    // Disconnect and connect again: the greeting goes out on the new session too.
    QTest::mouseClick(fx.Form1->btnPripoj, Qt::LeftButton);
    fx.settle();
    QCOMPARE(fx.socketState(), wsClosed);
    QVERIFY(!fx.watchdogActive());
    QCOMPARE(fx.Form1->btnPripoj->text(), QStringLiteral("&Připojit"));
    QVERIFY(fx.Form1->btnNastav->isEnabled());
    QTest::mouseClick(fx.Form1->btnPripoj, Qt::LeftButton);
    fx.settle();
    QTRY_COMPARE(controller.sessionCount(), 2);
    QTRY_COMPARE(controller.received(1), Greeting);
}

void TestConnection::refusedConnectionLogsOneError() {
    MonitorFixture fx(m_clock);
    quint16 port = 0;
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        port = closed.serverPort();
    }
    fx.writeIni(fx.existingDirectories() << QStringLiteral("Port=%1").arg(port));
    fx.Form1->LoadSettings();
    fx.Form1->btnPripojClick();
    fx.settle();
    QTRY_COMPARE(fx.socketState(), wsClosed);
    QTRY_COMPARE(fx.logLines(), QStringList{QStringLiteral("Socket error: 10057")});
    // A refused attempt is one error, and nothing follows it.
    QSignalSpy logged(&fx.App->recorder, &RecorderPort::logLine);
    QVERIFY(!logged.wait(200));
    QCOMPARE(fx.logLines(), QStringList{QStringLiteral("Socket error: 10057")});
    QCOMPARE(fx.Form1->btnPripoj->text(), QStringLiteral("&Odpojit"));
    QVERIFY(MessageBox::shown().isEmpty());
}

void TestConnection::watchdogReconnectsSilentControllerUntilOperatorDisconnects() {
    MonitorFixture fx(m_clock);
    FakeController controller;
    connectTo(fx, controller, {QStringLiteral("Obnovit=1"), QStringLiteral("Sec=1")});
    QVERIFY(fx.watchdogActive());
    QCOMPARE(fx.watchdogInterval(), 1000);
    QElapsedTimer clock;
    clock.start();
    // Each firing abandons the silent session and greets the controller on a new one, about every 1.6 s.
    QTRY_VERIFY_WITH_TIMEOUT(controller.sessionCount() >= 3, 20000);
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= 2 * 1600 - 300, qPrintable(QString::number(elapsed)));
    QTRY_COMPARE(controller.received(2), Greeting);
    QVERIFY(fx.App->monitor->reconnectCount() >= 2);
    QVERIFY(fx.logLines().contains(QStringLiteral("Chyba: obnoveni komunikace 1x !!!!")));
    QVERIFY(fx.logLines().contains(QStringLiteral("Chyba: obnoveni komunikace 2x !!!!")));
    QCOMPARE(fx.Form1->LabelObnov->text(),
             QStringLiteral("Obnovení spojení: %1").arg(fx.App->monitor->reconnectCount()));

    QTest::mouseClick(fx.Form1->btnPripoj, Qt::LeftButton);
    fx.settle();
    const int count = fx.App->monitor->reconnectCount();
    QVERIFY(!fx.watchdogActive());
    // Longer than a period: a watchdog left running would fire again.
    QSignalSpy reconnected(&fx.App->recorder, &RecorderPort::reconnected);
    QVERIFY(!reconnected.wait(1500));
    QCOMPARE(fx.App->monitor->reconnectCount(), count);
    QCOMPARE(fx.Form1->btnPripoj->text(), QStringLiteral("&Připojit"));
}

void TestConnection::controllerCloseWithoutWatchdogThenClickReconnects() {
    MonitorFixture fx(m_clock);
    FakeController controller;
    connectTo(fx, controller);
    QTRY_COMPARE(controller.received(0), Greeting);
    controller.last()->close();
    QTRY_COMPARE(fx.socketState(), wsClosed);
    QCOMPARE(fx.Form1->btnPripoj->text(), QStringLiteral("&Odpojit"));
    QVERIFY(fx.logLines().isEmpty()); // a peer's close raises no error
    // The toggle tests the socket, not the caption: this click connects.
    QTest::mouseClick(fx.Form1->btnPripoj, Qt::LeftButton);
    fx.settle();
    QTRY_COMPARE(controller.sessionCount(), 2);
    QCOMPARE(fx.Form1->btnPripoj->text(), QStringLiteral("&Odpojit"));
}

void TestConnection::logLimitAndHexLines() {
    MonitorFixture fx(m_clock);
    FakeController controller;
    connectTo(fx, controller, {QStringLiteral("Mazat=1"), QStringLiteral("Pocet=5")});
    for (int i = 0; i < 5; ++i)
        fx.Form1->appendLog(QStringLiteral("line %1").arg(i));
    controller.send(report(150, 0xFE));
    QTRY_COMPARE(fx.Form1->logLineCount(), 6); // 5 is not over the limit
    fx.Form1->cbHex->setChecked(true);
    // Two reports in one chunk: two hex lines, the second repeating the first's bytes up to its own value.
    controller.send(report(52, 0xFE) + report(52, 0xFF));
    QTRY_COMPARE(fx.Form1->logLineCount(), 4); // cleared at 6 lines, then hex, LOG1, hex, LOG1
    const QStringList lines = fx.logLines();
    QCOMPARE(lines[0], QStringLiteral("FF FA 2C 34 FE "));
    QCOMPARE(lines[2], QStringLiteral("FF FA 2C 34 FE FF F0 FF FA 2C 34 FF "));
    // Subcommand 150 adds no hex line even with the box checked.
    controller.send(report(150, 0x00));
    QTRY_COMPARE(fx.Form1->logLineCount(), 5);
    QCOMPARE(fx.logLines().last(), QStringLiteral("LOG1 Bit: 0,1,2,3,4,5,6,7 - 06.12.26 13:45:07"));
}

void TestConnection::largeChunkWarnsAndLaterChunksWait() {
    MonitorFixture fx(m_clock);
    FakeController controller;
    connectTo(fx, controller);
    QTRY_COMPARE(controller.received(0), Greeting);
    const QByteArray big(253, 'x');
    // While the warning is "open", the controller sends a report and the event loop runs: the report must
    // wait until the big chunk has been decoded.
    bool sentDuringBox = false;
    MessageBox::setObserver([&](const MessageBox::Shown& box) {
        if (!box.text.startsWith(QStringLiteral("Program expects")) || sentDuringBox)
            return;
        sentDuringBox = true;
        controller.send(report(150, 0x7F));
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    });
    controller.send(big);
    QTRY_COMPARE(fx.Form1->logLineCount(), 2);
    QCOMPARE(MessageBox::shown().size(), 1);
    QCOMPARE(MessageBox::shown().first().title, QStringLiteral("Warning"));
    QCOMPARE(MessageBox::shown().first().text,
             QStringLiteral("Program expects packets of < about 254... but could be revised."));
    QCOMPARE(fx.logLines()[0], QString(253, QLatin1Char('x')));
    QVERIFY(fx.logLines()[1].startsWith(QStringLiteral("LOG1 Bit: 7 - ")));
}

void TestConnection::badAddressAndPortAreLogged_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("line");
    QTest::newRow("empty address") << ""
                                   << "23"
                                   << "Socket error: 10049";
    QTest::newRow("port text") << "127.0.0.1"
                               << "1x"
                               << "Socket error: 10022";
    QTest::newRow("port out of range") << "127.0.0.1"
                                       << "70000"
                                       << "Socket error: 10022";
}

void TestConnection::badAddressAndPortAreLogged() {
    QFETCH(QString, address);
    QFETCH(QString, port);
    QFETCH(QString, line);
    MonitorFixture fx(m_clock);
    fx.writeIni(fx.existingDirectories());
    fx.Form1->LoadSettings();
    fx.FrmNastav->IPAddress->setText(address);
    fx.FrmNastav->IPPort->setText(port);
    fx.Form1->btnPripojClick();
    fx.settle();
    // The toggle still finishes its connect branch.
    QCOMPARE(fx.Form1->btnPripoj->text(), QStringLiteral("&Odpojit"));
    QTRY_VERIFY(!fx.logLines().isEmpty());
    QCOMPARE(fx.logLines().first(), line);
}

QTEST_MAIN(TestConnection)
#include "tst_connection.moc"
