#pragma once

// The monitor as the program creates it (models, core on its own thread, the four windows), with the settings
// file, the autostart folder and the event folders in a temporary directory, and every message box answered in
// advance. The windows keep their program names here, as the tests' handles on the monitor under test.

#include "fakecontroller.h"
#include "testconfig.h"
#include "testsupport.h"
#include "windowseams.h"

#include "impulz.h"
#include "main.h"
#include "nastaveni.h"
#include "pocitadla.h"
#include "statistika.h"

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Saves what a window shows when IMPULZ_SCREENSHOT_DIR names a folder (docs/ is refreshed this way).
inline void saveScreenshot(QWidget* window, const QString& name) {
    const QString dir = qEnvironmentVariable("IMPULZ_SCREENSHOT_DIR");
    if (dir.isEmpty())
        return;
    QDir().mkpath(dir);
    QTest::qWait(100); // pending layouts (chart axes, labels) settle as they would on screen
    QVERIFY(window->grab().save(dir + QLatin1Char('/') + name));
}

class MonitorFixture : public WindowSeams {
public:
    QTemporaryDir dir;

private:
    std::unique_ptr<Impulz> m_app; // goes before the folder it writes into and before the seams are put back

public:
    Impulz* App = nullptr;
    TForm1* Form1 = nullptr;
    TFrmNastav* FrmNastav = nullptr;
    TFrmPocitadla* FrmPocitadla = nullptr;
    TfrmStatistika* frmStatistika = nullptr;

    // config: the recorder's timings and clock (no start-up wait and the real time unless a test says otherwise);
    // window: the main window's intervals, today's unless a test needs others.
    explicit MonitorFixture(bool answerYes = true, const CoreConfig& config = testConfig(),
                            const MainWindowConfig& window = {}) {
        QVERIFY2(dir.isValid(), "temporary directory");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
        qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath(QStringLiteral("state"))));
        MessageBox::setAutoAnswer(answerYes);
        MessageBox::clearShown();
        m_app = std::make_unique<Impulz>(iniPath(), config, window);
        App = m_app.get();
        Form1 = App->Form1;
        FrmNastav = App->FrmNastav;
        FrmPocitadla = App->FrmPocitadla;
        frmStatistika = App->frmStatistika;
    }
    // The recorder and its windows read the time from clock.
    explicit MonitorFixture(std::shared_ptr<const Clock> clock) : MonitorFixture(true, testConfig(std::move(clock))) {}

    QString iniPath() const { return dir.filePath(QStringLiteral("impulz.ini")); }
    QString eventDir(int bit) const { return dir.filePath(QStringLiteral("events/bit%1").arg(bit)); }

    // Writes a settings file from "key=value" lines (the section header is added).
    void writeIni(const QStringList& lines) const {
        QFile file(iniPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[Po spusteni]\n");
        for (const auto& line : lines)
            file.write(line.toUtf8() + '\n');
    }

    // Settings whose eight output directories exist, so the start-up check shows nothing.
    QStringList existingDirectories() const {
        QStringList lines;
        for (int n = 0; n < 8; ++n) {
            QDir().mkpath(eventDir(n));
            lines << QStringLiteral("Soubor%1=%2").arg(n).arg(eventDir(n));
        }
        return lines;
    }

    QStringList logLines() const { return Form1->Memo1->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts); }

    // The lines the decoder logs for a report, one a report.
    int reportLines() const {
        int n = 0;
        for (const QString& line : logLines())
            n += line.startsWith(QStringLiteral("LOG1 Bit:")) ? 1 : 0;
        return n;
    }

    // Lets the core finish what the windows asked of it, and the windows show what it reported.
    void settle() {
        App->onCore([] {});
        QCoreApplication::sendPostedEvents();
    }

    // The core's state, read on the core's thread.
    TSocketState socketState() const { return App->monitor->socketState(); }
    bool watchdogActive() {
        bool active = false;
        App->onCore([&] { active = App->monitor->watchdog()->isActive(); });
        return active;
    }
    int watchdogInterval() {
        int interval = 0;
        App->onCore([&] { interval = App->monitor->watchdog()->interval(); });
        return interval;
    }
    void stopWatchdog() {
        App->onCore([this] { App->monitor->watchdog()->stop(); });
    }
    std::array<bool, 8> storedLevels() {
        std::array<bool, 8> levels{};
        App->onCore([&] { levels = App->monitor->storedLevels(); });
        return levels;
    }
    qint32 sequenceNumber() const { return App->settings.sequenceNumber(); }

    // Records one report of subcommand 52 on the core's thread, as the decoder would.
    void recordInputEvents(quint8 v) {
        App->onCore([this, v] { App->monitor->recordInputEvents(v); });
        QCoreApplication::sendPostedEvents(); // what the core reported on the way reaches the windows
    }
    // Feeds one chunk to the decoder on the core's thread, as if it had come from the controller.
    void feedChunk(const QByteArray& bytes) {
        App->onCore([this, bytes] { App->monitor->handleChunk(bytes); });
        QCoreApplication::sendPostedEvents();
    }

    // Loads settings that point at the controller and clicks the toggle: it returns once the session is up.
    void connectTo(FakeController& controller, const QStringList& settings = {}) {
        writeIni(existingDirectories() << QStringLiteral("Port=%1").arg(controller.port()) << settings);
        Form1->LoadSettings();
        const int sessions = controller.sessionCount();
        QTest::mouseClick(Form1->btnPripoj, Qt::LeftButton);
        settle();
        QTRY_COMPARE(controller.sessionCount(), sessions + 1);
        QTRY_COMPARE(socketState(), wsConnected);
    }
};

// A controller on loopback that the fixture's monitor is connected to, for tests where the bytes on the wire are
// not the point.
class Link {
public:
    Link(MonitorFixture& fx, const QStringList& settings) : m_fx(fx) { fx.connectTo(m_controller, settings); }
    // Sends one chunk and waits until the monitor has logged the given number of report lines in all.
    void send(const QByteArray& bytes, int reportLinesAfter) {
        m_controller.send(bytes);
        QTRY_COMPARE(m_fx.reportLines(), reportLinesAfter);
    }

private:
    MonitorFixture& m_fx;
    FakeController m_controller;
};
