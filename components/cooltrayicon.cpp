#include "components/cooltrayicon.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

namespace {

// A panel that is restarted takes a moment to come back; a few seconds is quick enough to notice it and
// cheap enough to ask all day.
constexpr int kTrayWatchIntervalMs = 3000;

// Line breaks reach the tooltip as LF; a CR on its own would show as a stray glyph in some tooltips.
QString tooltipText(const QString& tip) {
    QString text = tip;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

} // namespace

TCoolTrayIcon::TCoolTrayIcon(QObject* parent)
    : QObject(parent), m_tray(new QSystemTrayIcon(this)), m_trayWatch(new QTimer(this)),
      m_trayAvailable(QSystemTrayIcon::isSystemTrayAvailable()) {
    connect(m_tray, &QSystemTrayIcon::activated, this, &TCoolTrayIcon::onActivated);
    m_trayWatch->setInterval(kTrayWatchIntervalMs);
    connect(m_trayWatch, &QTimer::timeout, this, &TCoolTrayIcon::checkTrayAvailability);
    m_trayWatch->start();
}

TCoolTrayIcon::~TCoolTrayIcon() {
    m_trayWatch->stop();
    m_tray->hide();
    if (m_mainWindow)
        m_mainWindow->removeEventFilter(this);
}

void TCoolTrayIcon::setIcon(const QIcon& icon) {
    m_icon = icon;
    m_tray->setIcon(icon);
    applyVisibility();
}

void TCoolTrayIcon::setIconVisible(bool visible) {
    m_iconVisible = visible;
    applyVisibility();
}

void TCoolTrayIcon::setHint(const QString& hint) {
    m_hint = hint;
    m_tray->setToolTip(tooltipText(tip()));
}

void TCoolTrayIcon::setShowHint(bool on) {
    m_showHint = on;
    m_tray->setToolTip(tooltipText(tip()));
}

QString TCoolTrayIcon::tip() const {
    if (!m_showHint)
        return {};
    int length = qMin(int(m_hint.size()), MaxTipLength);
    // Never leave half of a surrogate pair at the end.
    if (length < m_hint.size() && length > 0 && m_hint.at(length - 1).isHighSurrogate())
        --length;
    return m_hint.left(length);
}

void TCoolTrayIcon::setMainWindow(QWidget* window) {
    if (m_mainWindow)
        m_mainWindow->removeEventFilter(this);
    m_mainWindow = window;
    if (m_mainWindow)
        m_mainWindow->installEventFilter(this);
}

void TCoolTrayIcon::RestoreMainWindow() {
    if (!m_mainWindow)
        return;
    if (m_mainWindow->windowState() & Qt::WindowMinimized)
        m_mainWindow->setWindowState(m_mainWindow->windowState() & ~Qt::WindowMinimized);
    m_mainWindow->show();
    m_mainWindow->raise();
    m_mainWindow->activateWindow();
}

// Hiding a top-level window also takes its entry off the taskbar.
void TCoolTrayIcon::HideMainWindow() {
    if (m_mainWindow)
        m_mainWindow->hide();
}

bool TCoolTrayIcon::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_mainWindow && event->type() == QEvent::WindowStateChange && m_minimizeToTray &&
        (m_mainWindow->windowState() & Qt::WindowMinimized) && QSystemTrayIcon::isSystemTrayAvailable()) {
        // Hiding the window inside its own state change leaves some window managers with a stale entry, so the
        // window goes to the tray once the event has been handled, if it is still minimised by then.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!m_mainWindow || !(m_mainWindow->windowState() & Qt::WindowMinimized))
                    return;
                HideMainWindow();
                setIconVisible(true);
            },
            Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void TCoolTrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason) {
    if (!m_enabled)
        return;
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        // The first press of a double click has already been reported. Some platforms follow the double click
        // with one more Trigger; that one is part of the same double click.
        if (m_sinceDoubleClick.isValid() && m_sinceDoubleClick.elapsed() < QApplication::doubleClickInterval()) {
            m_sinceDoubleClick.invalidate();
            return;
        }
        m_sinceDoubleClick.invalidate();
        emit click();
        break;
    case QSystemTrayIcon::DoubleClick:
        m_sinceDoubleClick.start();
        break;
    case QSystemTrayIcon::Context:
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        break;
    }
}

// When the notification area comes (back), the icon is added again. Qt re-docks on its own on some desktops;
// hiding and showing once more is harmless there.
void TCoolTrayIcon::checkTrayAvailability() {
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    const bool appeared = available && !m_trayAvailable;
    m_trayAvailable = available;
    if (appeared && m_iconVisible && !m_icon.isNull()) {
        m_tray->hide();
        m_tray->show();
    }
}

void TCoolTrayIcon::applyVisibility() {
    // Without an image the platform icon would only complain; it is shown once there is one.
    m_tray->setVisible(m_iconVisible && !m_icon.isNull());
}

void TCoolTrayIcon::showMessage(const QString& title, const QString& text) {
    m_lastMessage = title + QLatin1Char('\n') + text;
    if (m_tray->isVisible())
        m_tray->showMessage(title, text, QSystemTrayIcon::Warning);
}
