#pragma once

// The controller simulator (tools/controller-sim) as a child process of a test, driven through its commands.

#include <QByteArrayList>
#include <QFileInfo>
#include <QObject>
#include <QProcess>
#include <QtTest>

#include <array>

using PerInput = std::array<int, 8>;

// The controller simulator on a free port of 127.0.0.1, killed when the test ends whatever happens. Its output is
// read as it comes, with error lines merged in, so an unknown command serves as a barrier: its error line follows
// everything that the commands before it printed.
class Simulator {
public:
    // Waits are generous: the machine running the tests may be slow and busy.
    static constexpr int Wait = 15000;

    // Answered: it reports the inputs' state after a good greeting, as the controller does. Silent: it sends only
    // what it is told to.
    enum Mode { Answered, Silent };

    explicit Simulator(const QStringList& options = {}, Mode mode = Answered) {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&m_process, &QProcess::readyRead, [this] { collect(); });
        QStringList arguments{QStringLiteral("--port"), QStringLiteral("0")};
        if (mode == Answered)
            arguments << QStringLiteral("--answer");
        m_process.start(QStringLiteral(IMPULZ_BIN_DIR "/controller-sim"), arguments + options);
    }
    ~Simulator() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(Wait);
        }
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    static bool available() { return QFileInfo(QStringLiteral(IMPULZ_BIN_DIR "/controller-sim")).isExecutable(); }

    // The port it listens on, 0 until it has said so.
    quint16 port() const {
        return !m_lines.isEmpty() && m_lines.first().startsWith("listening ")
                   ? quint16(m_lines.first().mid(10).toUInt())
                   : 0;
    }
    bool listening() {
        return QTest::qWaitFor([&] { return port() != 0; }, Wait);
    }

    // Hands the commands over and waits until the simulator has run them.
    bool run(const QByteArray& commands) {
        const QByteArray mark = "sync " + QByteArray::number(++m_syncs);
        const QByteArray echo = "error: " + mark + ": unknown command";
        m_process.write(commands + '\n' + mark + '\n');
        return QTest::qWaitFor([&] { return m_lines.contains(echo); }, Wait);
    }

    // Hands commands over without waiting for them.
    void write(const QByteArray& commands) {
        m_process.write(commands);
        m_process.waitForBytesWritten(Wait);
    }

    bool quit() {
        m_process.write("quit\n");
        return finished(Wait);
    }
    bool finished(int msecs = Wait) {
        return QTest::qWaitFor([&] { return m_process.state() == QProcess::NotRunning; }, msecs);
    }
    QProcess& process() { return m_process; }

    // Waits for the next line starting with prefix after the last one taken.
    bool waitFor(const QByteArray& prefix) {
        return QTest::qWaitFor([&] { return find(prefix) >= 0; }, Wait);
    }
    // Takes that line: later waits look past it.
    QByteArray take(const QByteArray& prefix) {
        const qsizetype at = find(prefix);
        if (at < 0)
            return {};
        m_taken = at + 1;
        return m_lines.at(at);
    }

    const QList<QByteArray>& lines() {
        collect();
        return m_lines;
    }
    int lineCount() const { return int(m_lines.size()); }
    int count(const QByteArray& line) const { return int(m_lines.count(line)); }

    // A greeted client that has not been closed, reset or replaced since.
    bool sessionReady() const {
        for (qsizetype i = m_lines.size() - 1; i >= 0; --i) {
            const QByteArray& line = m_lines.at(i);
            if (line == "greeting ok")
                return true;
            if (line.startsWith("client ") || line.startsWith("greeting ") || line == "closing client" ||
                line == "resetting client")
                return false;
        }
        return false;
    }

    bool droppedSince(int index) const {
        for (qsizetype i = index; i < m_lines.size(); ++i) {
            const QByteArray& line = m_lines.at(i);
            if (line == "closing client" || line == "resetting client" || line == "client disconnected" ||
                line == "client replaced")
                return true;
        }
        return false;
    }

    // The transitions into LOG1 that went out to a connected client, per input.
    PerInput sent() const {
        PerInput perInput{};
        for (const auto& [bit, ms] : sends()) {
            if (bit >= 0 && bit < 8)
                ++perInput[size_t(bit)];
        }
        return perInput;
    }
    // Each change report into LOG1 that went out: its input and the moment (ms since the epoch).
    QList<std::pair<int, qint64>> sends() const {
        QList<std::pair<int, qint64>> result;
        for (const QByteArray& line : m_lines) {
            const QByteArrayList parts = line.split(' ');
            if (parts.size() == 3 && parts.at(0) == "sent")
                result.append({parts.at(1).toInt(), parts.at(2).toLongLong()});
        }
        return result;
    }
    int sentTotal() const {
        int total = 0;
        for (int n : sent())
            total += n;
        return total;
    }
    // The total a load run printed when it ended, -1 before.
    qint64 transitions() const {
        for (const QByteArray& line : m_lines) {
            if (line.startsWith("transitions "))
                return line.mid(12).trimmed().toLongLong();
        }
        return -1;
    }

    QByteArray tail() const { return m_lines.mid(qMax<qsizetype>(0, m_lines.size() - 12)).join('\n'); }

private:
    void collect() {
        m_pending += m_process.readAll();
        qsizetype end = 0;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            m_lines.append(m_pending.left(end));
            m_pending.remove(0, end + 1);
        }
    }
    qsizetype find(const QByteArray& prefix) {
        collect();
        for (qsizetype i = m_taken; i < m_lines.size(); ++i) {
            if (m_lines.at(i).startsWith(prefix))
                return i;
        }
        return -1;
    }

    QProcess m_process;
    QByteArray m_pending;
    QList<QByteArray> m_lines;
    qsizetype m_taken = 0;
    int m_syncs = 0;
};
