#include "simulator.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cmath>
#include <cstdio>

#include <sys/socket.h>

namespace {

const QByteArray Greeting("\xFF\xF6\xFF\xFA\x2C\x32\x00\xFF\xF0", 9);
constexpr quint8 Iac = 0xFF;
constexpr quint8 ReportChange = 52;
constexpr quint8 ReportStatus = 150;
constexpr int QuitGrace = 2000; // ms a closing client gets to take the last bytes

QByteArray hex(const QByteArray& bytes) {
    return bytes.toHex(' ').toUpper();
}

bool parseByte(const QByteArray& text, quint8* value) {
    QByteArray digits = text.trimmed();
    if (digits.startsWith("0x") || digits.startsWith("0X"))
        digits = digits.mid(2);
    bool ok = false;
    const uint parsed = digits.toUInt(&ok, 16);
    if (!ok || digits.isEmpty() || digits.size() > 2)
        return false;
    *value = quint8(parsed);
    return true;
}

bool parseNumber(const QByteArray& text, int low, int high, int* value) {
    bool ok = false;
    const int parsed = text.trimmed().toInt(&ok, 10);
    if (!ok || parsed < low || parsed > high)
        return false;
    *value = parsed;
    return true;
}

// The text between double quotes, with \" \\ \r \n \t and \xHH escapes.
bool parseQuoted(const QByteArray& text, QByteArray* bytes, QString* error) {
    const QByteArray quoted = text.trimmed();
    if (quoted.size() < 2 || !quoted.startsWith('"') || !quoted.endsWith('"')) {
        *error = QStringLiteral("text wants its bytes in double quotes");
        return false;
    }
    const QByteArray body = quoted.mid(1, quoted.size() - 2);
    for (qsizetype i = 0; i < body.size(); ++i) {
        const char c = body.at(i);
        if (c != '\\') {
            bytes->append(c);
            continue;
        }
        if (++i >= body.size()) {
            *error = QStringLiteral("text ends in a lone backslash");
            return false;
        }
        switch (body.at(i)) {
        case 'r':
            bytes->append('\r');
            break;
        case 'n':
            bytes->append('\n');
            break;
        case 't':
            bytes->append('\t');
            break;
        case 'x': {
            const QByteArray digits = body.mid(i + 1, 2);
            quint8 value = 0;
            if (digits.size() != 2 || !parseByte(digits, &value)) {
                *error = QStringLiteral("\\x wants two hex digits");
                return false;
            }
            bytes->append(char(value));
            i += 2;
            break;
        }
        default:
            bytes->append(body.at(i));
            break;
        }
    }
    return true;
}

} // namespace

ControllerSim::ControllerSim(const SimOptions& options, QObject* parent)
    : QObject(parent), m_options(options),
      m_random(options.seeded ? options.seed : quint32(QDateTime::currentMSecsSinceEpoch())) {
    if (m_options.gap < 0)
        m_options.gap = m_options.drip ? 2 : m_options.burst ? 30 : 20;
    if (m_options.demo)
        m_options.answer = true;

    connect(&m_server, &QTcpServer::newConnection, this, &ControllerSim::acceptClients);
    for (int bit = 0; bit < 8; ++bit) {
        auto* timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, bit] { release(bit); });
        m_releaseTimers[size_t(bit)] = timer;
    }
    m_sleepTimer.setSingleShot(true);
    connect(&m_sleepTimer, &QTimer::timeout, this, &ControllerSim::runCommands);
    m_pumpTimer.setSingleShot(true);
    connect(&m_pumpTimer, &QTimer::timeout, this, &ControllerSim::pump);
    m_burstTimer.setSingleShot(true);
    connect(&m_burstTimer, &QTimer::timeout, this, &ControllerSim::flushBurst);
    m_loadTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_loadTimer, &QTimer::timeout, this, &ControllerSim::loadTick);
    m_demoTimer.setSingleShot(true);
    connect(&m_demoTimer, &QTimer::timeout, this, &ControllerSim::demoTick);
    connect(&m_keepaliveTimer, &QTimer::timeout, this, [this] { sendReport(ReportStatus, {}); });
}

bool ControllerSim::listen(QString* error) {
    if (!m_server.listen(QHostAddress::LocalHost, m_options.port)) {
        *error = m_server.errorString();
        return false;
    }
    say("listening " + QByteArray::number(m_server.serverPort()));
    if (m_options.demo)
        demoTick();
    if (m_options.keepalive > 0)
        m_keepaliveTimer.start(m_options.keepalive);
    return true;
}

void ControllerSim::say(const QByteArray& line) {
    // Line by line and flushed: a test or a script reads these as they come.
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// ---- the client -------------------------------------------------------------------------------------------

void ControllerSim::acceptClients() {
    while (m_server.hasPendingConnections()) {
        QTcpSocket* socket = m_server.nextPendingConnection();
        if (m_quitting) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        if (m_client) {
            say("client replaced");
            dropClient();
        }
        m_client = socket;
        m_greeting.clear();
        m_greeted = false;
        connect(socket, &QTcpSocket::readyRead, this, &ControllerSim::clientReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, &ControllerSim::clientDisconnected);
        say("client connected");
        if (loadMode() && !m_loadStarted)
            startLoad();
    }
}

void ControllerSim::clientReadyRead() {
    if (!m_client)
        return;
    QByteArray bytes = m_client->readAll();
    if (!m_greeted) {
        const qsizetype wanted = Greeting.size() - m_greeting.size();
        m_greeting.append(bytes.left(wanted));
        bytes.remove(0, wanted);
        if (m_greeting.size() == Greeting.size()) {
            m_greeted = true;
            const bool good = m_greeting == Greeting;
            say(good ? QByteArray("greeting ok") : "greeting bad " + hex(m_greeting));
            if (good && m_options.answer)
                sendReport(ReportChange, {});
        }
    }
    if (!bytes.isEmpty())
        say("received " + hex(bytes));
}

void ControllerSim::clientDisconnected() {
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket || socket != m_client)
        return;
    if (!m_greeted)
        say(m_greeting.isEmpty() ? QByteArray("greeting missing") : "greeting bad " + hex(m_greeting));
    say("client disconnected");
    m_client = nullptr;
    socket->deleteLater();
    m_queue.clear();
    m_pumpTimer.stop();
    m_burstBytes.clear();
    m_burstEntered.clear();
    m_burstTimer.stop();
    tryQuit();
}

void ControllerSim::dropClient() {
    if (!m_client)
        return;
    QTcpSocket* old = m_client;
    m_client = nullptr;
    old->disconnect(this);
    old->abort();
    old->deleteLater();
    // What was queued for the old client means nothing to the new one.
    m_queue.clear();
    m_pumpTimer.stop();
    m_burstBytes.clear();
    m_burstEntered.clear();
    m_burstTimer.stop();
}

// ---- commands ---------------------------------------------------------------------------------------------

void ControllerSim::addCommand(const QByteArray& line) {
    m_commands.append(line);
    runCommands();
}

void ControllerSim::inputEnded() {
    m_inputEnded = true;
    m_commands.append(QByteArray("\n")); // no read line holds a line break, so this marks the end
    runCommands();
}

void ControllerSim::runCommands() {
    while (!m_sleepTimer.isActive() && !m_commands.isEmpty() && !m_quitting) {
        const QByteArray line = m_commands.takeFirst();
        if (line == "\n") {
            if (!loadMode() && !m_options.demo)
                requestQuit();
            continue;
        }
        QString error;
        if (!execute(line, &error))
            std::fprintf(stderr, "error: %s: %s\n", line.constData(), qPrintable(error));
    }
}

bool ControllerSim::execute(const QByteArray& rawLine, QString* error) {
    const QByteArray line = rawLine.trimmed();
    if (line.isEmpty() || line.startsWith('#'))
        return true;
    const qsizetype space = line.indexOf(' ');
    const QByteArray word = (space < 0 ? line : line.left(space)).toLower();
    const QByteArray rest = space < 0 ? QByteArray() : line.mid(space + 1).trimmed();
    const QList<QByteArray> args = rest.simplified().split(' ');

    quint8 value = 0;
    int number = 0;
    if (word == "set" || word == "sub150") {
        if (!parseByte(rest, &value)) {
            *error = QStringLiteral("wants one hex byte");
            return false;
        }
        setState(value, word == "set" ? ReportChange : ReportStatus);
    } else if (word == "pulse") {
        int msecs = 100;
        if (rest.isEmpty() || !parseNumber(args.at(0), 0, 7, &number) ||
            (args.size() > 1 && !parseNumber(args.at(1), 0, 3600000, &msecs)) || args.size() > 2) {
            *error = QStringLiteral("wants a bit 0..7 and optionally a time in ms");
            return false;
        }
        pulse(number, msecs);
    } else if (word == "report") {
        sendReport(ReportChange, {});
    } else if (word == "text") {
        QByteArray bytes;
        if (!parseQuoted(rest, &bytes, error))
            return false;
        sendText(bytes);
    } else if (word == "raw") {
        const QByteArray digits = QByteArray(rest).replace(' ', "");
        const QByteArray bytes = QByteArray::fromHex(digits);
        if (digits.isEmpty() || digits.size() % 2 != 0 || hex(bytes).replace(' ', "") != digits.toUpper()) {
            *error = QStringLiteral("wants pairs of hex digits");
            return false;
        }
        shape(bytes, {}, false);
    } else if (word == "silence") {
        silence();
    } else if (word == "keepalive") {
        if (!parseNumber(rest, 0, 3600000, &number)) {
            *error = QStringLiteral("wants a period in ms, 0 for none");
            return false;
        }
        m_options.keepalive = number;
        if (number > 0)
            m_keepaliveTimer.start(number);
        else
            m_keepaliveTimer.stop();
    } else if (word == "close" || word == "reset") {
        Item item;
        item.kind = word == "close" ? Item::Close : Item::Reset;
        enqueue(item);
    } else if (word == "sleep") {
        if (!parseNumber(rest, 0, 3600000, &number)) {
            *error = QStringLiteral("wants a time in ms");
            return false;
        }
        m_sleepTimer.start(number);
    } else if (word == "quit") {
        requestQuit();
    } else {
        *error = QStringLiteral("unknown command");
        return false;
    }
    return true;
}

// ---- the inputs -------------------------------------------------------------------------------------------

void ControllerSim::setState(quint8 value, quint8 subcommand) {
    // Only a change report gets recorded by the monitor, so only those count as sent transitions.
    QList<int> entered;
    for (int bit = 0; bit < 8 && subcommand == ReportChange; ++bit) {
        if ((m_state >> bit & 1) && !(value >> bit & 1))
            entered.append(bit);
    }
    m_state = value;
    sendReport(subcommand, entered);
}

void ControllerSim::pulse(int bit, int msecs) {
    setState(quint8(m_state & ~(1u << bit)), ReportChange);
    m_releaseTimers[size_t(bit)]->start(msecs);
}

void ControllerSim::release(int bit) {
    setState(quint8(m_state | (1u << bit)), ReportChange);
    tryQuit();
}

void ControllerSim::sendReport(quint8 subcommand, const QList<int>& entered) {
    // The value byte goes out as it is, even 255: the monitor takes the byte after the subcommand verbatim.
    const QByteArray report = QByteArray("\xFF\xFA\x2C", 3) + char(subcommand) + char(m_state) + "\xFF\xF0";
    if (m_options.iacText)
        shape(QByteArray("NVT \xFF\xFF text\r\n"), {}, false);
    if (m_options.closeEvery > 0 && ++m_reportCount % m_options.closeEvery == 0) {
        shape(report.left(report.size() / 2), {}, false);
        Item close;
        close.kind = Item::Close;
        enqueue(close);
        return;
    }
    shape(report, entered, true);
}

void ControllerSim::sendText(const QByteArray& bytes) {
    QByteArray escaped;
    for (char c : bytes) {
        escaped.append(c);
        if (quint8(c) == Iac)
            escaped.append(c);
    }
    shape(escaped, {}, false);
}

void ControllerSim::shape(const QByteArray& bytes, const QList<int>& entered, bool isReport) {
    if (bytes.isEmpty())
        return;
    if (m_options.burst) {
        m_burstBytes.append(bytes);
        m_burstEntered.append(entered);
        if (!m_burstTimer.isActive())
            m_burstTimer.start(m_options.gap);
        return;
    }
    Item item;
    if (m_options.drip) {
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            item.bytes = bytes.mid(i, 1);
            item.delayBefore = m_options.gap;
            item.entered = i + 1 == bytes.size() ? entered : QList<int>{};
            enqueue(item);
        }
        return;
    }
    if (m_options.split && isReport) {
        item.bytes = bytes.left(bytes.size() / 2);
        enqueue(item);
        item.bytes = bytes.mid(bytes.size() / 2);
        item.delayBefore = m_options.gap;
        item.entered = entered;
        enqueue(item);
        return;
    }
    item.bytes = bytes;
    item.entered = entered;
    enqueue(item);
}

void ControllerSim::flushBurst() {
    m_burstTimer.stop();
    if (m_burstBytes.isEmpty())
        return;
    // More than 255 bytes in one write, text around the reports, so one arrival fills a whole receive.
    static const QByteArray line("burst text 0123456789 abcdefghijklmnopqrstuvwxyz\r\n");
    QByteArray padding;
    while (padding.size() + m_burstBytes.size() < 300)
        padding.append(line);
    Item item;
    item.bytes = line + m_burstBytes + padding;
    item.entered = m_burstEntered;
    m_burstBytes.clear();
    m_burstEntered.clear();
    enqueue(item);
}

// ---- the wire ---------------------------------------------------------------------------------------------

void ControllerSim::enqueue(const Item& item) {
    if (item.kind != Item::Bytes && !m_burstBytes.isEmpty())
        flushBurst();
    m_queue.append(item);
    if (!m_pumpTimer.isActive())
        pump();
}

void ControllerSim::pump() {
    while (!m_queue.isEmpty()) {
        Item& next = m_queue.first();
        if (next.delayBefore > 0) {
            m_pumpTimer.start(next.delayBefore);
            next.delayBefore = 0;
            return;
        }
        deliver(m_queue.takeFirst());
    }
    tryQuit();
}

void ControllerSim::deliver(const Item& item) {
    if (!m_client || m_client->state() != QAbstractSocket::ConnectedState)
        return;
    switch (item.kind) {
    case Item::Bytes: {
        m_client->write(item.bytes);
        const QByteArray stamp = QByteArray::number(QDateTime::currentMSecsSinceEpoch());
        for (int bit : item.entered) {
            ++m_transitions;
            say("sent " + QByteArray::number(bit) + ' ' + stamp);
        }
        break;
    }
    case Item::Close:
        say("closing client");
        m_client->disconnectFromHost();
        break;
    case Item::Reset: {
        say("resetting client");
        // Linger 0 turns the close into an RST, the way a controller that crashes or reboots drops a link.
        const linger abortive{1, 0};
        ::setsockopt(int(m_client->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        m_client->abort();
        break;
    }
    }
}

// ---- automatic traffic ------------------------------------------------------------------------------------

void ControllerSim::startLoad() {
    m_loadStarted = true;
    m_loadClock.start();
    m_nextPulseAt = 0;
    say("load " + QByteArray::number(m_options.rate) + " per s for " + QByteArray::number(m_options.seconds) + " s");
    m_loadTimer.start(2);
}

void ControllerSim::loadTick() {
    const qint64 elapsed = m_loadClock.elapsed();
    if (elapsed >= qint64(m_options.seconds) * 1000) {
        m_loadTimer.stop();
        m_loadDone = true;
        requestQuit();
        return;
    }
    QList<int> chosen;
    for (int bit = 0; bit < 8; ++bit) {
        if (m_options.bits >> bit & 1)
            chosen.append(bit);
    }
    // Pulses short enough that a bit is mostly free when its turn comes.
    const int width = qBound(1, int(chosen.size() * 1000 / (4 * m_options.rate)), 200);
    const double mean = 1000.0 / m_options.rate;
    while (m_nextPulseAt <= double(elapsed)) {
        m_nextPulseAt += -std::log(1.0 - m_random.generateDouble()) * mean;
        QList<int> free;
        for (int bit : chosen) {
            if (m_state >> bit & 1)
                free.append(bit);
        }
        if (!free.isEmpty())
            pulse(free.at(int(m_random.bounded(qsizetype(free.size())))), width);
    }
}

void ControllerSim::demoTick() {
    const int bit = int(m_random.bounded(8));
    if (m_state >> bit & 1)
        pulse(bit, 200 + int(m_random.bounded(400)));
    m_demoTimer.start(1000 + int(m_random.bounded(1000)));
}

void ControllerSim::silence() {
    m_demoTimer.stop();
    m_keepaliveTimer.stop();
    if (m_loadTimer.isActive()) {
        m_loadTimer.stop();
        m_loadDone = true;
    }
}

// ---- the end ----------------------------------------------------------------------------------------------

void ControllerSim::requestQuit() {
    if (m_quitting)
        return;
    m_quitting = true;
    m_loadTimer.stop();
    m_demoTimer.stop();
    m_keepaliveTimer.stop();
    m_sleepTimer.stop();
    m_commands.clear();
    if (!m_burstBytes.isEmpty())
        flushBurst();
    tryQuit();
}

void ControllerSim::tryQuit() {
    if (!m_quitting || m_finished)
        return;
    // Running pulses end and queued bytes go out first, so every LOG1 has its way back and counts add up.
    for (QTimer* timer : m_releaseTimers) {
        if (timer->isActive())
            return;
    }
    if (!m_queue.isEmpty() || m_pumpTimer.isActive() || !m_burstBytes.isEmpty())
        return;
    finish();
}

void ControllerSim::terminate() {
    m_quitting = true;
    finish();
}

void ControllerSim::finish() {
    if (m_finished)
        return;
    m_finished = true;
    for (QTimer* timer : m_releaseTimers)
        timer->stop();
    m_loadTimer.stop();
    m_demoTimer.stop();
    m_keepaliveTimer.stop();
    m_sleepTimer.stop();
    m_pumpTimer.stop();
    m_burstTimer.stop();
    m_server.close();
    if (loadMode())
        say("transitions " + QByteArray::number(m_transitions));

    if (!m_client || m_client->state() == QAbstractSocket::UnconnectedState) {
        QCoreApplication::exit(0);
        return;
    }
    // A graceful close still delivers what the socket holds; the grace period bounds a peer that never reads.
    connect(m_client, &QTcpSocket::disconnected, this, [] { QCoreApplication::exit(0); });
    QTimer::singleShot(QuitGrace, this, [] { QCoreApplication::exit(0); });
    m_client->disconnectFromHost();
}
