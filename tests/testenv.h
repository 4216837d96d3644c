#pragma once

// The monitor as the program creates it (models, core on its own thread, the four windows), with the settings
// file, the autostart folder and the event folders in a temporary directory, and every message box answered in
// advance. The windows keep their program names here, as the tests' handles on the monitor under test.

#include "components/messagebox.h"
#include "core/clock.h"
#include "main.h"
#include "nastaveni.h"
#include "pocitadla.h"
#include "socket/clientsocket.h"
#include "statistika.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

// Saves what a window shows when IMPULZ_SCREENSHOT_DIR names a folder (docs/ is refreshed this way).
inline void saveScreenshot(QWidget* window, const QString& name) {
    const QString dir = qEnvironmentVariable("IMPULZ_SCREENSHOT_DIR");
    if (dir.isEmpty())
        return;
    QDir().mkpath(dir);
    QTest::qWait(100); // pending layouts (chart axes, labels) settle as they would on screen
    QVERIFY(window->grab().save(dir + QLatin1Char('/') + name));
}

inline Impulz* App = nullptr;
inline TForm1* Form1 = nullptr;
inline TFrmNastav* FrmNastav = nullptr;
inline TFrmPocitadla* FrmPocitadla = nullptr;
inline TfrmStatistika* frmStatistika = nullptr;

// Lets the core finish what the windows asked of it, and the windows show what it reported.
inline void settle() {
    App->onCore([] {});
    QCoreApplication::sendPostedEvents();
}

// The core's state, read on the core's thread.
inline TSocketState socketState() {
    return App->monitor->socketState();
}
inline bool watchdogActive() {
    bool active = false;
    App->onCore([&] { active = App->monitor->watchdog()->isActive(); });
    return active;
}
inline int watchdogInterval() {
    int interval = 0;
    App->onCore([&] { interval = App->monitor->watchdog()->interval(); });
    return interval;
}
inline std::array<bool, 8> storedLevels() {
    std::array<bool, 8> levels{};
    App->onCore([&] { levels = App->monitor->storedLevels(); });
    return levels;
}
inline qint32 sequenceNumber() {
    return App->settings.sequenceNumber();
}
// Records one report of subcommand 52 on the core's thread, as the decoder would.
inline void RecordInputEvents(quint8 v) {
    App->onCore([v] { App->monitor->recordInputEvents(v); });
    QCoreApplication::sendPostedEvents(); // what the core reported on the way reaches the windows
}
// Feeds one chunk to the decoder on the core's thread, as if it had come from the controller.
inline void feedChunk(const QByteArray& bytes) {
    App->onCore([bytes] { App->monitor->handleChunk(bytes); });
    QCoreApplication::sendPostedEvents();
}

struct MonitorFixture {
    QTemporaryDir dir;

    explicit MonitorFixture(bool answerYes = true) {
        QVERIFY2(dir.isValid(), "temporary directory");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
        qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath(QStringLiteral("state"))));
        MessageBox::setAutoAnswer(answerYes);
        MessageBox::clearShown();
        Monitor::StartupWaitMs = 0;
        App = new Impulz(iniPath());
        Form1 = App->Form1;
        FrmNastav = App->FrmNastav;
        FrmPocitadla = App->FrmPocitadla;
        frmStatistika = App->frmStatistika;
    }

    ~MonitorFixture() {
        delete App;
        App = nullptr;
        frmStatistika = nullptr;
        FrmPocitadla = nullptr;
        FrmNastav = nullptr;
        Form1 = nullptr;
        Clock::reset();
        MessageBox::setAutoAnswer(std::nullopt);
        MessageBox::setObserver({});
        Monitor::StartupWaitMs = 1000;
        Monitor::WatchdogWaitMs = 600;
    }

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
};

// A controller on loopback inside the test that the monitor is connected to, for tests where the bytes on the wire
// are not the point.
class Link {
public:
    explicit Link(MonitorFixture& fx, const QStringList& settings) : m_fx(fx) {
        QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
        fx.writeIni(fx.existingDirectories() << QStringLiteral("Port=%1").arg(m_server.serverPort()) << settings);
        Form1->LoadSettings();
        Form1->btnPripojClick();
        settle();
        QVERIFY(m_server.waitForNewConnection(10000));
        m_peer = m_server.nextPendingConnection();
        QTRY_COMPARE(socketState(), wsConnected);
    }
    // Sends one chunk and waits until the monitor has logged the given number of report lines in all.
    void send(const QByteArray& bytes, int reportLinesAfter) {
        m_peer->write(bytes);
        m_peer->flush();
        QTRY_COMPARE(m_fx.reportLines(), reportLinesAfter);
    }

private:
    MonitorFixture& m_fx;
    QTcpServer m_server;
    QTcpSocket* m_peer = nullptr;
};
