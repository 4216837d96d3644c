#pragma once

// What the benches of a window share, over recorderbench.h: the monitor as its owner creates it (the recorder's
// host and the four windows) with its settings in a temporary place, hooks on the window's log and LEDs, and a
// watch on the window's paints.

#include "recorderbench.h"

#include "components/messagebox.h"
#include "impulz.h"
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
// The latency samples of the report benches, from the first one past the warm-up: each stamp less the moment its
// report was written, in ms (a stamp of 0, nothing seen, is left out).
inline Stats stampStats(const std::vector<qint64>& stamps, const std::vector<qint64>& writtenAt, size_t from) {
    std::vector<double> ms;
    for (size_t k = from; k < stamps.size(); ++k) {
        if (stamps[k] != 0)
            ms.push_back(double(stamps[k] - writtenAt[k]) / 1e6);
    }
    return ms.empty() ? Stats{} : stats(std::move(ms));
}

// The lines both report benches print of a run: the LEDs, the log line, the paint that showed them (when any was
// seen after the warm-up) and the loopback floor.
inline void printReportRun(const Stats& led, const Stats& line, const std::vector<qint64>& paintedAt,
                           const std::vector<qint64>& writtenAt, size_t from, const Stats& floor) {
    std::printf("LED:       p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", led.p50, led.p99, led.max);
    std::printf("log line:  p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", line.p50, line.p99, line.max);
    const auto seen = [](qint64 at) { return at != 0; };
    if (std::any_of(paintedAt.begin() + qsizetype(from), paintedAt.end(), seen)) {
        const Stats painted = stampStats(paintedAt, writtenAt, from);
        std::printf("painted:   p50 %.3f ms, p99 %.3f ms, max %.3f ms (the window's paint after the LED change done)\n",
                    painted.p50, painted.p99, painted.max);
    }
    std::printf("floor:     p50 %.3f ms, p99 %.3f ms, max %.3f ms (loopback round trip)\n", floor.p50, floor.p99,
                floor.max);
}

class BenchMonitor : public BenchLink {
public:
    BenchMonitor() {
        MessageBox::setAutoAnswer(true);
        m_app = std::make_unique<Impulz>(iniPath(), config());
    }
    ~BenchMonitor() override {
        closeLink();
        disconnectCore();
        m_app.reset();
    }

    Impulz& app() const { return *m_app; }
    TForm1* form() const { return m_app->Form1; }
    Monitor* core() const override { return m_app->monitor; }

    // Calls seen on the GUI thread for every report line the log gains, until this goes. Only the change that adds
    // the report line counts: clearing the log or trimming it also changes the document.
    void onReportLine(std::function<void()> seen) { m_hooks.push_back(onWindowReportLine(form(), std::move(seen))); }

    // Shows the main window, whose start-up sequence loads the settings and connects, and takes the connection and
    // the monitor's greeting.
    void connect() {
        form()->show();
        acceptGreeted("monitor");
    }

private:
    std::unique_ptr<Impulz> m_app;
};
