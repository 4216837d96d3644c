#include "components/cooltrayicon.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QWidget>

#include <memory>

namespace {

QIcon testIcon() {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::green);
    return QIcon(pixmap);
}

// Qt's own icon windows; with `embedded`, only those that a notification area has taken in (their X11 parent
// is no longer the root window).
int iconWindows(bool embedded) {
    int count = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (QByteArray(w->metaObject()->className()) != "QSystemTrayIconSys" || !w->isVisible())
            continue;
        if (embedded) {
            QProcess info;
            info.start(QStringLiteral("xwininfo"),
                       {QStringLiteral("-children"), QStringLiteral("-id"), QString::number(w->winId())});
            if (!info.waitForFinished(10000))
                continue;
            const QString out = QString::fromLocal8Bit(info.readAllStandardOutput());
            const QRegularExpression root(QStringLiteral("Root window id: (0x[0-9a-f]+)"));
            const QRegularExpression parent(QStringLiteral("Parent window id: (0x[0-9a-f]+)"));
            const auto r = root.match(out);
            const auto p = parent.match(out);
            if (!r.hasMatch() || !p.hasMatch() || r.captured(1) == p.captured(1))
                continue;
        }
        ++count;
    }
    return count;
}

bool onX11() {
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

} // namespace

class TestCoolTrayIcon : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void hintIsCutForTheTooltipOnly();
    void clicks_data();
    void clicks();
    void restoreAndHide();
    void minimiseWithoutNotificationArea();
    void notificationArea();

private:
    bool startTrayHost();
    void stopTrayHost();
    std::unique_ptr<QProcess> m_trayHost;
};

void TestCoolTrayIcon::cleanup() {
    stopTrayHost();
}

void TestCoolTrayIcon::hintIsCutForTheTooltipOnly() {
    TCoolTrayIcon tray;
    const QString description = QString(110, QLatin1Char('x')) + QStringLiteral("ěščřžýáíé");
    const QString hint = QStringLiteral("I/O Controler \r\nLinka 1\r\n") + description;
    tray.setHint(hint);
    QCOMPARE(tray.hint(), hint);
    QCOMPARE(tray.tip(), hint.left(127));
    // The tooltip itself breaks its lines with LF only.
    QCOMPARE(tray.trayIcon()->toolTip(),
             QString(QStringLiteral("I/O Controler \nLinka 1\n") + description).left(127 - 2));

    tray.setShowHint(false);
    QCOMPARE(tray.trayIcon()->toolTip(), QString());
    QCOMPARE(tray.hint(), hint);
    tray.setShowHint(true);
    QCOMPARE(tray.tip(), hint.left(127));

    // A character outside the basic plane is not split at the cut.
    const QString astral = QString(126, QLatin1Char('a')) + QString::fromUcs4(U"\U0001F7E2") + QStringLiteral("b");
    tray.setHint(astral);
    QCOMPARE(tray.tip(), astral.left(126));

    tray.setHint(QString());
    QCOMPARE(tray.trayIcon()->toolTip(), QString());
}

void TestCoolTrayIcon::clicks_data() {
    using R = QSystemTrayIcon::ActivationReason;
    QTest::addColumn<QList<int>>("reasons");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("expected");

    QTest::newRow("click") << QList<int>{R::Trigger} << true << 1;
    QTest::newRow("two clicks") << QList<int>{R::Trigger, R::Trigger} << true << 2;
    QTest::newRow("double click") << QList<int>{R::Trigger, R::DoubleClick} << true << 1;
    QTest::newRow("double click with a late trigger")
        << QList<int>{R::Trigger, R::DoubleClick, R::Trigger} << true << 1;
    QTest::newRow("double click, then a click")
        << QList<int>{R::Trigger, R::DoubleClick, R::Trigger, R::Trigger} << true << 2;
    QTest::newRow("right button") << QList<int>{R::Context} << true << 0;
    QTest::newRow("middle button") << QList<int>{R::MiddleClick} << true << 0;
    QTest::newRow("disabled") << QList<int>{R::Trigger, R::DoubleClick, R::Trigger} << false << 0;
}

void TestCoolTrayIcon::clicks() {
    QFETCH(QList<int>, reasons);
    QFETCH(bool, enabled);
    QFETCH(int, expected);

    // A late trigger is matched against the double-click time; make that long enough for any slow machine.
    const int interval = QApplication::doubleClickInterval();
    QApplication::setDoubleClickInterval(600000);
    TCoolTrayIcon tray;
    tray.setEnabled(enabled);
    QSignalSpy spy(&tray, &TCoolTrayIcon::click);
    for (int reason : reasons)
        emit tray.trayIcon()->activated(QSystemTrayIcon::ActivationReason(reason));
    QApplication::setDoubleClickInterval(interval);
    QCOMPARE(spy.count(), expected);
}

void TestCoolTrayIcon::restoreAndHide() {
    QWidget window;
    TCoolTrayIcon tray;
    tray.setMainWindow(&window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    tray.HideMainWindow();
    QVERIFY(!window.isVisible());
    tray.RestoreMainWindow();
    QVERIFY(window.isVisible());

    // A window hidden while minimised comes back in its normal state.
    window.setWindowState(Qt::WindowMinimized);
    tray.HideMainWindow();
    tray.RestoreMainWindow();
    QVERIFY(window.isVisible());
    QVERIFY(!(window.windowState() & Qt::WindowMinimized));
}

void TestCoolTrayIcon::minimiseWithoutNotificationArea() {
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("a notification area is present");
    QWidget window;
    TCoolTrayIcon tray;
    tray.setIcon(testIcon());
    tray.setMainWindow(&window);
    tray.setMinimizeToTray(true);
    tray.setIconVisible(true);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    window.setWindowState(Qt::WindowMinimized);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QVERIFY(window.isVisible());
    QVERIFY(window.windowState() & Qt::WindowMinimized);
}

// Under X11 (e.g. xvfb-run) the test starts a small tray host of its own and checks the real round trip:
// docking, minimising into the tray, coming back, re-docking after the host restarts, and no icon left at the end.
void TestCoolTrayIcon::notificationArea() {
    if (!onX11())
        QSKIP("needs the xcb platform: xvfb-run -a ./tst_cooltrayicon -platform xcb");
    if (QStandardPaths::findExecutable(QStringLiteral("xwininfo")).isEmpty())
        QSKIP("needs xwininfo to see where the icon is docked");
    if (!QSystemTrayIcon::isSystemTrayAvailable() && !startTrayHost())
        QSKIP("no notification area, and no tray host (trayer) could be started");

    QWidget window;
    window.resize(200, 100);
    auto tray = std::make_unique<TCoolTrayIcon>();
    tray->setIcon(testIcon());
    tray->setMainWindow(&window);
    tray->setMinimizeToTray(true);
    tray->setHint(QStringLiteral("I/O Controler \r\nLinka 1\r\nmonitor"));
    tray->setIconVisible(true);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_COMPARE_WITH_TIMEOUT(iconWindows(true), 1, 10000);

    window.setWindowState(Qt::WindowMinimized);
    QTRY_VERIFY(!window.isVisible());
    QVERIFY(tray->iconVisible());
    QCOMPARE(iconWindows(true), 1);

    tray->RestoreMainWindow();
    QTRY_VERIFY(window.isVisible());
    QVERIFY(!(window.windowState() & Qt::WindowMinimized));

    if (m_trayHost) {
        stopTrayHost();
        QTRY_VERIFY_WITH_TIMEOUT(!QSystemTrayIcon::isSystemTrayAvailable(), 10000);
        QVERIFY(startTrayHost());
        QTRY_COMPARE_WITH_TIMEOUT(iconWindows(true), 1, 20000);
    }

    tray.reset();
    QCOMPARE(iconWindows(false), 0);
}

bool TestCoolTrayIcon::startTrayHost() {
    const QString trayer = QStandardPaths::findExecutable(QStringLiteral("trayer"));
    if (trayer.isEmpty())
        return false;
    m_trayHost = std::make_unique<QProcess>();
    m_trayHost->start(trayer, {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                               QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("request")});
    if (!m_trayHost->waitForStarted(10000))
        return false;
    QDeadlineTimer deadline(10000);
    while (!QSystemTrayIcon::isSystemTrayAvailable() && !deadline.hasExpired())
        QTest::qWait(50);
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TestCoolTrayIcon::stopTrayHost() {
    if (!m_trayHost)
        return;
    m_trayHost->terminate();
    if (!m_trayHost->waitForFinished(5000))
        m_trayHost->kill();
    m_trayHost->waitForFinished(5000);
    m_trayHost.reset();
}

QTEST_MAIN(TestCoolTrayIcon)
#include "tst_cooltrayicon.moc"
