#pragma once

#include "components/ledindicator.h"
#include "core/serving/recorderport.h"
#include "core/settings/settings.h"

#include <QElapsedTimer>
#include <QHash>
#include <QLabel>
#include <QPointer>
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

// What the main window is given at construction: how often it speaks up, and how long it waits.
struct MainWindowConfig {
    // A failed event write shows a tray message at most this often, in milliseconds.
    int writeFailureNoticeMs = 60000;
    // A session end waves the next close through without the confirmation, for this long; a cancelled log-out
    // then leaves the confirmation in force again.
    int sessionEndGraceMs = 30000;
};

// The main window: LEDs, the log and the connect toggle. A view over the recorder: its handlers ask the recorder
// (on the core's thread, or in the process the window attached to) to act, and the recorder's signals update the
// controls.
class TForm1 : public QWidget {
    Q_OBJECT
public:
    TForm1(Settings& settings, RecorderPort& recorder, const MainWindowConfig& config = {}, QWidget* parent = nullptr);
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
    const MainWindowConfig m_config;
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
