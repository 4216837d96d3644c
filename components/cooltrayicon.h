#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

class QTimer;
class QWidget;

// The program's icon in the desktop's notification area. It shows the hint as its tooltip, reports a left click
// as click(), hides the main window into the tray when it is minimised and brings it back on request.
// Where the desktop has no notification area the component stays inert and the window minimises as usual;
// when one turns up later (or comes back after a restart of the panel) the icon is put there.
class TCoolTrayIcon : public QObject {
    Q_OBJECT

public:
    // The shell's tooltip holds at most this many characters.
    static constexpr int MaxTipLength = 127;

    explicit TCoolTrayIcon(QObject* parent = nullptr);
    ~TCoolTrayIcon() override; // removes the icon

    QIcon icon() const { return m_icon; }
    void setIcon(const QIcon& icon);

    bool iconVisible() const { return m_iconVisible; }
    void setIconVisible(bool visible);

    bool minimizeToTray() const { return m_minimizeToTray; }
    void setMinimizeToTray(bool on) { m_minimizeToTray = on; }

    // The whole text is kept; the tooltip shows its first MaxTipLength characters.
    QString hint() const { return m_hint; }
    void setHint(const QString& hint);
    bool showHint() const { return m_showHint; }
    void setShowHint(bool on);
    // The text handed to the shell: the cut hint, or empty when there is no hint or ShowHint is off.
    QString tip() const;

    // While disabled, clicks on the icon are ignored.
    bool enabled() const { return m_enabled; }
    void setEnabled(bool on) { m_enabled = on; }

    // The window that minimising hides and that RestoreMainWindow/HideMainWindow act on.
    void setMainWindow(QWidget* window);
    QWidget* mainWindow() const { return m_mainWindow; }

    void RestoreMainWindow();
    void HideMainWindow();

    // A balloon message beside the icon; where there is no notification area it is dropped.
    void showMessage(const QString& title, const QString& text);

    // The latest message asked for, shown or not (for tests).
    QString lastMessage() const { return m_lastMessage; }

    // The platform icon underneath; tests drive clicks through its activated() signal.
    QSystemTrayIcon* trayIcon() const { return m_tray; }

signals:
    // Once per click with the left button; a double click counts as one click.
    void click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void checkTrayAvailability();
    void applyVisibility();

    QSystemTrayIcon* m_tray = nullptr;
    QTimer* m_trayWatch = nullptr;
    QPointer<QWidget> m_mainWindow;
    QIcon m_icon;
    QString m_hint;
    QString m_lastMessage;
    bool m_iconVisible = false;
    bool m_minimizeToTray = false;
    bool m_showHint = true;
    bool m_enabled = true;
    bool m_trayAvailable = false;
    QElapsedTimer m_sinceDoubleClick;
};
