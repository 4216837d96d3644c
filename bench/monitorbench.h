#pragma once

// What the benches of a window share, over recorderbench.h: the monitor as its owner creates it (the recorder's
// host and the four windows) with its settings in a temporary place, hooks on the window's log and LEDs, and a
// watch on the window's paints.

#include "recorderbench.h"

#include "components/messagebox.h"
#include "main.h"

#include <QEvent>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>
#include <QWindow>

// Calls seen on the GUI thread for every report line the window's log gains. Only the change that adds the report
// line counts: clearing the log or trimming it also changes the document.
inline QMetaObject::Connection onWindowReportLine(TForm1* form, std::function<void()> seen) {
    QTextDocument* log = form->Memo1->document();
    return QObject::connect(log, &QTextDocument::contentsChange, [log, seen = std::move(seen)](int, int, int added) {
        if (added <= 0 || !log->lastBlock().text().startsWith(QStringLiteral("LOG1 Bit:")))
            return;
        seen();
    });
}

// Replaces the window's own handling of the recorder's reportDecoded by one that calls the same handler and then
// after(value), in the same delivery: a second call queued after the window's would wait behind whatever the GUI
// thread does between the two (a paint, say) and count it against the LEDs.
template <typename F> QMetaObject::Connection stampLeds(RecorderPort& recorder, TForm1* form, F after) {
    if (!QObject::disconnect(&recorder, &RecorderPort::reportDecoded, form, &TForm1::showReport))
        fail("the window does not take its LEDs from the recorder's reportDecoded");
    return QObject::connect(&recorder, &RecorderPort::reportDecoded, form, [form, after](quint8 value) {
        form->showReport(value);
        after(value);
    });
}

// A window's paints. A window is asked to paint (an UpdateRequest) a few milliseconds after its first change, not
// at once, so a bench waits for the paint that shows a sample before the next one: otherwise a paint would land in
// the middle of a later sample, at a random point. A posted event handled after the request tells when the paint is
// done. The first paint of a window just shown comes from its exposure, as a paint event of the window itself.
class PaintWatch : public QObject {
public:
    explicit PaintWatch(QWidget* window) {
        window->installEventFilter(this);
        if (window->windowHandle())
            window->windowHandle()->installEventFilter(this);
    }
    // From another thread: waits until a paint that began at t or later is done, and returns when it was done (0
    // when none was within ms).
    qint64 paintedAfter(qint64 t, int ms) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_lastStart >= t; });
        return m_lastStart >= t ? m_lastEnd : 0;
    }
    // On the GUI thread: runs its events until a paint is done, and returns when it was done (0 when none was
    // within ms).
    qint64 firstPaint(int ms) {
        const qint64 deadline = nowNs() + qint64(ms) * 1000000;
        while (nowNs() < deadline) {
            {
                std::lock_guard lock(m_mutex);
                if (m_lastEnd != 0)
                    return m_lastEnd;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return 0;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (e->type() == QEvent::UpdateRequest || (e->type() == QEvent::Paint && watched->isWidgetType())) {
            m_start = nowNs();
            QCoreApplication::postEvent(this, new QEvent(QEvent::User));
        }
        return QObject::eventFilter(watched, e);
    }
    bool event(QEvent* e) override {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        {
            std::lock_guard lock(m_mutex);
            m_lastStart = m_start;
            m_lastEnd = nowNs();
        }
        m_changed.notify_all();
        return true;
    }

private:
    qint64 m_start = 0; // GUI thread only
    std::mutex m_mutex;
    std::condition_variable m_changed;
    qint64 m_lastStart = 0, m_lastEnd = 0; // the last paint done
};

// The monitor as the program creates it (through its owner: models, the core on its own thread, the four windows),
// with the settings file, the autostart folder and the event folders in a temporary place and every message box
// answered, and the controller's end of the link: a listener on 127.0.0.1 that the settings point the monitor at.
// Made once, after the QApplication; going, it closes the link, disconnects the monitor and takes it down.
class BenchMonitor {
public:
    BenchMonitor() {
        if (!m_dir.isValid())
            fail("no temporary directory");
        usePrivateFolders(m_dir);
        MessageBox::setAutoAnswer(true);
        Monitor::StartupWaitMs = 0;
        m_app = std::make_unique<Impulz>(iniPath());
        m_listener = listenLoopback(m_port);
    }
    ~BenchMonitor() {
        // What the hooks count lives on the bench's stack and may be gone already.
        for (const QMetaObject::Connection& hook : m_hooks)
            QObject::disconnect(hook);
        ::close(m_controller);
        ::close(m_listener);
        m_app->onCore([this] {
            if (m_app->monitor->socketState() != wsClosed)
                m_app->monitor->toggleConnection();
        });
        m_app.reset();
    }
    BenchMonitor(const BenchMonitor&) = delete;
    BenchMonitor& operator=(const BenchMonitor&) = delete;

    Impulz& app() const { return *m_app; }
    TForm1* form() const { return m_app->Form1; }
    Monitor* core() const { return m_app->monitor; }

    QString filePath(const QString& name) const { return m_dir.filePath(name); }
    QString iniPath() const { return filePath(QStringLiteral("impulz.ini")); }
    // The event folders in the temporary place, made if missing.
    std::vector<std::string> eventFolders() const {
        return makeFolders(filePath(QStringLiteral("events")).toStdString());
    }

    // The settings the start-up sequence (or LoadSettings) reads: the eight event folders, this link's port, report
    // logging on, the log cleared past 20 lines unless clearLog is false, no reconnect, a minute's watchdog; extra
    // adds "key=value\n" lines.
    void writeSettings(const std::vector<std::string>& folders, bool clearLog = true, const QString& extra = {}) const {
        writeBenchSettings(iniPath(), folders, m_port, clearLog, extra);
    }

    // Calls seen on the GUI thread for every report line the log gains, until this goes. Only the change that adds
    // the report line counts: clearing the log or trimming it also changes the document.
    void onReportLine(std::function<void()> seen) { m_hooks.push_back(onWindowReportLine(form(), std::move(seen))); }

    // Keeps a connection until this goes.
    void keep(const QMetaObject::Connection& hook) { m_hooks.push_back(hook); }

    // Calls f on the core's thread as the core emits signal, before anything queued to the windows runs; until this
    // goes.
    template <typename Signal, typename F> void onCoreSignal(Signal signal, F f) {
        m_hooks.push_back(QObject::connect(core(), signal, core(), std::move(f), Qt::DirectConnection));
    }

    // Shows the main window, whose start-up sequence loads the settings and connects, and takes the connection and
    // the monitor's greeting.
    void connect() {
        form()->show();
        runWithLoop([&] {
            m_controller = acceptWithin(m_listener, 10000);
            char greeting[9];
            if (m_controller < 0 || !readExactly(m_controller, greeting, sizeof greeting, 10000))
                m_controller = -1;
        });
        if (m_controller < 0)
            fail("the monitor did not connect and greet");
    }

    // The controller's socket, once connected.
    int controller() const { return m_controller; }

    // Sends one report in one write.
    void sendReport(quint8 value) const {
        const std::array<char, 7> r = reportBytes(value);
        sendAll(m_controller, r.data(), r.size());
    }

    // Sends several reports in one write, as a controller does when inputs change faster than it sends.
    void sendReports(const std::vector<quint8>& values) const {
        std::string bytes;
        for (quint8 v : values) {
            const std::array<char, 7> r = reportBytes(v);
            bytes.append(r.data(), r.size());
        }
        sendAll(m_controller, bytes.data(), bytes.size());
    }

private:
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    int m_listener = -1;
    int m_controller = -1;
    std::vector<QMetaObject::Connection> m_hooks;
    std::unique_ptr<Impulz> m_app;
};
