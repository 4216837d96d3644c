#pragma once

#include "components/ledindicator.h"
#include "core/counters.h"
#include "core/monitor.h"
#include "core/settings.h"

#include <QElapsedTimer>
#include <QHash>
#include <QLabel>
#include <QPointer>
#include <QThread>
#include <QWidget>

#include <array>

class QCheckBox;
class QMessageBox;
class TFrmNastav;
class TFrmPocitadla;
class TfrmStatistika;
class QGroupBox;
class QPlainTextEdit;
class QPushButton;
class TCoolTrayIcon;

// The signature label: it reports the pointer entering, leaving and clicking it.
class SignatureLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void clicked();
    void entered();
    void left();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
};

// The main window: LEDs, the log and the connect toggle. A view over the monitor core: its handlers ask the core
// (on the core's thread) to act, and the core's signals update the controls.
class TForm1 : public QWidget {
    Q_OBJECT
public:
    TForm1(Settings& settings, Monitor& monitor, QWidget* parent = nullptr);
    ~TForm1() override;

    // The secondary windows this one opens; the owner hands them over once they exist.
    void setWindows(TFrmNastav* nastav, TFrmPocitadla* pocitadla, TfrmStatistika* statistika);

    // Shared routines.
    void RefreshTitles();
    void LoadSettings();    // throws on the first failing key; the load ends there
    bool runLoadSettings(); // LoadSettings with its error shown in a box; false when it failed
    bool CheckOutputDirectories();
    void appendLog(const QString& line);
    int logLineCount() const;
    // Sets the eight LEDs to a report's levels; the core's reportDecoded arrives here.
    void showReport(quint8 value);

    // Controls.
    QGroupBox* GroupBox1 = nullptr;
    std::array<LedIndicator*, 8> Leds{};
    QPushButton* btnPripoj = nullptr;
    QPushButton* btnNastav = nullptr;
    QLabel* Label1 = nullptr;
    QCheckBox* cbHex = nullptr;
    QLabel* LabelObnov = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* btnStatistika = nullptr;
    QPushButton* btnPocitadla = nullptr;
    QPushButton* btnSmazat = nullptr;
    SignatureLabel* Label2 = nullptr;
    TCoolTrayIcon* TrayIcon1 = nullptr;

    QString applicationTitle() const { return m_applicationTitle; }

    // The log keeps at most this many lines when it is not cleared by its limit; the oldest go first.
    static constexpr int LogSafetyLimit = 100000;
    // A failed event write shows a tray message at most this often, in milliseconds.
    static inline int WriteFailureNoticeMs = 60000;
    // A session end waves the next close through without the confirmation, for this long; a cancelled log-out
    // then leaves the confirmation in force again.
    static inline int SessionEndGraceMs = 30000;

public slots:
    void FormActivate();
    // The desktop session ends: the window agrees to close without asking.
    void sessionEnding();
    void btnPripojClick();
    void btnSmazatClick();
    void btnNastavClick();
    void btnPocitadlaClick();
    void btnStatistikaClick();
    void Label2Click();
    void Label2MouseEnter();
    void Label2MouseLeave();
    void TrayIcon1Click();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void applyLogLimit();
    void showConnection(bool connecting);
    void showReconnects(int count);
    void showWarning(const QString& text);
    void showWriteFailure(int input, const QString& path, const QString& reason);

    Settings& m_settings;
    Monitor& m_monitor;
    TFrmNastav* m_nastav = nullptr;
    TFrmPocitadla* m_pocitadla = nullptr;
    TfrmStatistika* m_statistika = nullptr;
    bool m_activated = false;
    QElapsedTimer m_sessionEnd; // valid while a session end is in progress
    QElapsedTimer m_lastFailureNotice;
    QHash<QString, QPointer<QMessageBox>> m_openWarnings; // one box per text at a time
    QString m_applicationTitle;
};

// The one place that creates the monitor: the settings and counters models, the core on its own thread, and the
// four windows in their order, wired together. The program, the tests and the benches all start here.
class Impulz {
public:
    // settingsPath: the settings file, or empty for the one that belongs to the executable.
    explicit Impulz(const QString& settingsPath = QString());
    ~Impulz(); // stops the core's thread

    Settings settings;
    Counters counters;
    Monitor* monitor = nullptr;
    TForm1* Form1 = nullptr;
    TFrmNastav* FrmNastav = nullptr;
    TFrmPocitadla* FrmPocitadla = nullptr;
    TfrmStatistika* frmStatistika = nullptr;

    // Runs f on the core's thread and waits for it.
    template <typename F> void onCore(F f) { QMetaObject::invokeMethod(monitor, f, Qt::BlockingQueuedConnection); }

    // The exit: the running number is stored and the link closed, on the core's thread; a failed store is shown.
    void FormDestroy();

private:
    QThread m_coreThread;
};

// Creates the monitor and runs the message loop; "--headless" runs the core alone, without windows.
int impulzMain(int argc, char** argv);
