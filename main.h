#pragma once

#include "components/ledindicator.h"
#include "core/counters.h"
#include "core/monitor.h"
#include "core/recorderhost.h"
#include "core/recorderport.h"
#include "core/settings.h"

#include <QElapsedTimer>
#include <QHash>
#include <QLabel>
#include <QPointer>
#include <QThread>
#include <QWidget>

#include <array>
#include <memory>

class QCheckBox;
class QMessageBox;
class TFrmNastav;
class TFrmPocitadla;
class TfrmStatistika;
class RemoteRecorder;
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

// The main window: LEDs, the log and the connect toggle. A view over the recorder: its handlers ask the recorder
// (on the core's thread, or in the process the window attached to) to act, and the recorder's signals update the
// controls.
class TForm1 : public QWidget {
    Q_OBJECT
public:
    TForm1(Settings& settings, RecorderPort& recorder, QWidget* parent = nullptr);
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
    // What the recorder reports of its link: the toggle's branch, its start-up wait or reconnect cycle, the
    // reconnect count.
    void showConnection(bool connecting);
    void showBusy(bool busy);
    void showReconnects(int count);
    // Events recorded but not yet delivered to the plant's MQTT broker; the tray hint says so while there are any.
    void showMqttBacklog(qint64 count);

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
    QLabel* LabelZaznam = nullptr; // shown only in a window attached to another process's recorder
    TCoolTrayIcon* TrayIcon1 = nullptr;

    QString applicationTitle() const { return m_applicationTitle; }

    // The log keeps at most this many lines when it is not cleared by its limit; the oldest go first.
    static constexpr int LogSafetyLimit = 100000;
    // A failed event write shows a tray message at most this often, in milliseconds.
    static inline int WriteFailureNoticeMs = 60000;
    // A session end waves the next close through without the confirmation, for this long; a cancelled log-out
    // then leaves the confirmation in force again.
    static inline int SessionEndGraceMs = 30000;

signals:
    // The start-up sequence reached its wait: the recorder waits, then connects when automatic connection is on.
    void startupRequested();

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
    // An attached window's recorder ended: nothing here records, the LEDs show no levels, and the window waits for
    // the recorder to return. And back: the window is its view again.
    void recorderEnded();
    void recorderReturned();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void applyLogLimit();
    void updateSettingsButton();
    void showWarning(const QString& text);
    void showWriteFailure(int input, const QString& path, const QString& reason);

    Settings& m_settings;
    RecorderPort& m_recorder;
    bool m_connecting = false;
    bool m_busy = false; // the recorder's start-up wait or a reconnect cycle
    TFrmNastav* m_nastav = nullptr;
    TFrmPocitadla* m_pocitadla = nullptr;
    TfrmStatistika* m_statistika = nullptr;
    bool m_activated = false;
    QElapsedTimer m_sessionEnd; // valid while a session end is in progress
    QElapsedTimer m_lastFailureNotice;
    QHash<QString, QPointer<QMessageBox>> m_openWarnings; // one box per text at a time
    QString m_applicationTitle;
    qint64 m_mqttBacklog = 0;
};

// The windowed program: the recorder (its own, or one of another process that the windows attached to) and the
// four windows in their order, wired to it.
class Impulz {
public:
    // Records itself. settingsPath: the settings file, or empty for the one that belongs to the executable.
    explicit Impulz(const QString& settingsPath = QString(), const CoreConfig& config = CoreConfig());
    // A view of the recorder of another process.
    explicit Impulz(std::unique_ptr<RemoteRecorder> remote);
    ~Impulz(); // stops the core's thread

private:
    std::unique_ptr<RecorderHost> m_host;
    std::unique_ptr<RemoteRecorder> m_remote;

    // The windows, in the order they are made; they go before the recorder they show, the last made first.
    std::unique_ptr<TForm1> m_form1;
    std::unique_ptr<TFrmNastav> m_nastav;
    std::unique_ptr<TFrmPocitadla> m_pocitadla;
    std::unique_ptr<TfrmStatistika> m_statistika;

public:
    Settings& settings;
    Counters& counters;
    RecorderPort& recorder;
    Monitor* monitor = nullptr; // null in a window attached to another process
    // The windows under the program's names, owned above.
    TForm1* Form1 = nullptr;
    TFrmNastav* FrmNastav = nullptr;
    TFrmPocitadla* FrmPocitadla = nullptr;
    TfrmStatistika* frmStatistika = nullptr;

    RecorderHost* host() const { return m_host.get(); }
    // Runs f on the core's thread and waits for it.
    template <typename F> void onCore(F f) { m_host->onCore(f); }

    // The exit: the running number is stored and the link closed, on the core's thread; a failed store is shown.
    // A window attached to another process's recorder leaves it recording.
    void FormDestroy();

private:
    void createWindows();
    // An attached window shows what its recorder has now (at the attach, and again when it returns).
    void showRemoteState();
};

// How long a window waits for a recorder that holds the settings file to answer on its socket.
inline constexpr int AttachWaitMs = 5000;

// Creates the monitor and runs the message loop; "--headless" runs the core alone, without windows.
int impulzMain(int argc, char** argv);
