#pragma once

#include "components/ledindicator.h"
#include "core/streamdecoder.h"

#include <QLabel>
#include <QWidget>

#include <array>

class ClientSocket;
class QCheckBox;
class QGroupBox;
class QPlainTextEdit;
class QPushButton;
class QTimer;
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

// The main window: LEDs, the log, the connection to the controller and its watchdog.
class TForm1 : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Shared routines.
    void RefreshTitles();
    void LoadSettings();    // throws on the first failing key; the load ends there
    bool runLoadSettings(); // LoadSettings with its error shown in a box; false when it failed
    bool CheckOutputDirectories();
    void RestartWatchdog();
    void FormDestroy();
    void appendLog(const QString& line);
    int logLineCount() const;

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
    ::ClientSocket* ClientSocket = nullptr;
    QTimer* Timer1 = nullptr;
    TCoolTrayIcon* TrayIcon1 = nullptr;

    int reconnectCount() const { return m_reconnectCount; }
    QString applicationTitle() const { return m_applicationTitle; }
    const StreamDecoder& decoder() const { return m_decoder; }

    // The log keeps at most this many lines when it is not cleared by its limit; the oldest go first.
    static constexpr int LogSafetyLimit = 100000;
    // Blocking waits of the start-up sequence and the watchdog, in milliseconds.
    static inline int StartupWaitMs = 1000;
    static inline int WatchdogWaitMs = 600;

public slots:
    void FormActivate();
    // The desktop session ends: the window agrees to close without asking.
    void sessionEnding() { m_sessionEnding = true; }
    void btnPripojClick();
    void btnSmazatClick();
    void btnNastavClick();
    void btnPocitadlaClick();
    void btnStatistikaClick();
    void Label2Click();
    void Label2MouseEnter();
    void Label2MouseLeave();
    void TrayIcon1Click();
    void ClientSocketSessionConnected(quint16 errorCode);
    void ClientSocketError();
    void ClientSocketDataAvailable();
    void Timer1Timer();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void handleReport(const StreamDecoder::Report& report);

    StreamDecoder m_decoder;
    int m_reconnectCount = 0;
    bool m_activated = false;
    bool m_sessionEnding = false;
    QString m_applicationTitle;
};

// Program-wide state of the main unit.
extern TForm1* Form1;
extern qint32 SequenceNumber;
extern std::array<bool, 8> StoredLevels;

// Records the transitions into LOG1 of a report of subcommand 52; called before StoredLevels are overwritten.
void RecordInputEvents(quint8 v);

// The settings file: the executable's path with ".ini"; tests may point it elsewhere. All keys live in one section.
inline const QString SettingsSection = QStringLiteral("Po spusteni");
QString SettingsFilePath();
void setSettingsFilePathForTesting(const QString& path);

// Creates the four windows in their order and runs the message loop.
int impulzMain(int argc, char** argv);
