#include "core/serving/recorderclient.h"

#include "core/serving/recorderservice.h"
#include "rep_recorder_replica.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QRemoteObjectNode>
#include <QUuid>

#include <stdexcept>

#include <unistd.h>

namespace {

// How long a window waits for the recorder to answer a load or a save, and what it says when none came.
constexpr int ReplyTimeoutMs = 10000;
const QString NoAnswer = QStringLiteral("Záznam na pozadí neodpovídá");

// Waits for a reply of the recorder; an empty text when it answered without error.
QString waitForText(QRemoteObjectPendingReply<QString> reply) {
    if (!reply.waitForFinished(ReplyTimeoutMs))
        return NoAnswer;
    return reply.returnValue();
}

// Hands the recorder's reply to done on context's thread when it comes, or the lack of one when the time is up;
// done runs once, and not at all when context goes first.
void whenAnswered(QRemoteObjectPendingReply<QString> reply, QObject* context, Settings::Completion done) {
    auto* watcher = new QRemoteObjectPendingCallWatcher(reply, context);
    const auto finish = [watcher, done = std::move(done)](const QString& error) {
        watcher->disconnect();
        watcher->deleteLater();
        done(error);
    };
    QObject::connect(watcher, &QRemoteObjectPendingCallWatcher::finished, watcher, [watcher, finish] {
        finish(watcher->error() == QRemoteObjectPendingCall::NoError ? watcher->returnValue().toString() : NoAnswer);
    });
    QTimer::singleShot(ReplyTimeoutMs, watcher, [watcher, finish] {
        if (!watcher->isFinished())
            finish(NoAnswer);
    });
}

} // namespace

class RemoteRecorder::SettingsMirror : public Settings {
public:
    explicit SettingsMirror(RemoteRecorder& owner) : m_owner(owner) {
        connect(this, &Settings::changed, this, [this](Settings::Key key) {
            if (!m_applying && m_owner.m_available)
                m_owner.m_replica->setSetting(int(key), value(key), m_owner.m_origin);
        });
    }
    // A value the recorder has: shown, not sent back, and the autostart entry left to the recorder.
    void apply(int key, const QVariant& v) {
        if (key < 0 || key >= KeyCount)
            return;
        m_applying = true;
        setApplied(Key(key), v);
        m_applying = false;
    }
    void load() override { check(linked() ? waitForText(m_owner.m_replica->loadSettings()) : NoAnswer); }
    void save() override { check(linked() ? waitForText(m_owner.m_replica->saveSettings()) : NoAnswer); }
    void loadLater(QObject* context, Completion done) override {
        if (linked())
            whenAnswered(m_owner.m_replica->loadSettings(), context, std::move(done));
        else
            answerLater(context, std::move(done));
    }
    void saveLater(QObject* context, Completion done) override {
        if (linked())
            whenAnswered(m_owner.m_replica->saveSettings(), context, std::move(done));
        else
            answerLater(context, std::move(done));
    }

private:
    // Between a recorder's end and its return the window may have no replica at all.
    bool linked() const { return m_owner.m_available && m_owner.m_replica; }
    static void answerLater(QObject* context, Completion done) {
        QMetaObject::invokeMethod(
            context, [done = std::move(done)] { done(NoAnswer); }, Qt::QueuedConnection);
    }
    void check(const QString& error) {
        if (!error.isEmpty())
            throw std::runtime_error(error.toStdString());
    }
    RemoteRecorder& m_owner;
    bool m_applying = false;
};

class RemoteRecorder::CountersMirror : public Counters {
public:
    explicit CountersMirror(RemoteRecorder& owner) : m_owner(owner) {}
    void reset(int input) override { m_owner.m_replica->resetCounter(input); }
    void resetPeriodSum() override { m_owner.m_replica->resetPeriodSum(); }
    void setPeriod(const QDateTime& from, const QDateTime& to) override { m_owner.m_replica->setPeriod(from, to); }
    void setPeriodInput(int input) override { m_owner.m_replica->setPeriodInput(input); }

private:
    RemoteRecorder& m_owner;
};

RemoteRecorder::RemoteRecorder(ReattachTimings reattach)
    : m_node(std::make_unique<QRemoteObjectNode>()), m_settings(std::make_unique<SettingsMirror>(*this)),
      m_counters(std::make_unique<CountersMirror>(*this)), m_origin(QUuid::createUuid().toString(QUuid::WithoutBraces)),
      m_reattach(reattach) {
    m_watch.setInterval(m_reattach.pollMs);
    connect(&m_watch, &QTimer::timeout, this, &RemoteRecorder::tryReattach);
}

RemoteRecorder::~RemoteRecorder() {
    m_replica.reset();
    m_node.reset();
}

Settings& RemoteRecorder::settings() {
    return *m_settings;
}

Counters& RemoteRecorder::counters() {
    return *m_counters;
}

std::unique_ptr<RemoteRecorder> RemoteRecorder::attach(const QString& socketPath, int timeoutMs, QString* error,
                                                       ReattachTimings reattach) {
    std::unique_ptr<RemoteRecorder> remote(new RemoteRecorder(reattach));
    if (!remote->start(socketPath, timeoutMs, error))
        return nullptr;
    return remote;
}

bool RemoteRecorder::start(const QString& socketPath, int timeoutMs, QString* error) {
    const QDeadlineTimer deadline(timeoutMs);
    m_socketPath = socketPath;
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    m_socket = new QLocalSocket(m_node.get());
    m_socket->connectToServer(socketPath);
    if (!m_socket->waitForConnected(int(deadline.remainingTime())))
        return fail(m_socket->errorString());
    // Only a recorder of this user is believed.
    if (peerUid(m_socket->socketDescriptor()) != qint64(::getuid()))
        return fail(QStringLiteral("záznam na pozadí patří jinému uživateli"));
    m_node->addClientSideConnection(m_socket);
    m_replica.reset(m_node->acquire<RecorderReplica>(QStringLiteral("Recorder")));
    if (!m_replica->waitForSource(int(deadline.remainingTime())))
        return fail(QStringLiteral("záznam na pozadí neodpověděl"));

    // Signals that come before the snapshot are already part of it; everything after it is news.
    QRemoteObjectPendingReply<QVariantMap> reply = m_replica->snapshot();
    if (!reply.waitForFinished(int(qMax<qint64>(1, deadline.remainingTime()))))
        return fail(QStringLiteral("záznam na pozadí neposlal svůj stav"));
    const QVariantMap s = reply.returnValue();
    m_initialLevels = s.value(QStringLiteral("levels"), -1).toInt();
    m_initialLog = s.value(QStringLiteral("log")).toStringList();
    m_initialConnecting = s.value(QStringLiteral("connecting")).toBool();
    m_initialBusy = s.value(QStringLiteral("busy")).toBool();
    m_initialReconnects = s.value(QStringLiteral("reconnects")).toInt();
    m_initialHexDump = s.value(QStringLiteral("hexDump")).toBool();
    m_settings->setFilePath(s.value(QStringLiteral("settingsPath")).toString());
    const QVariantList values = s.value(QStringLiteral("settings")).toList();
    for (int key = 0; key < values.size(); ++key)
        m_settings->apply(key, values[key]);
    m_counters->setState(s.value(QStringLiteral("counters")).toList());

    RecorderReplica* r = m_replica.get();
    connect(r, &RecorderReplica::reportDecoded, this, &RecorderPort::reportDecoded);
    connect(r, &RecorderReplica::logLine, this, &RecorderPort::logLine);
    connect(r, &RecorderReplica::dataEvent, this, &RecorderPort::dataEvent);
    connect(r, &RecorderReplica::connectionChanged, this, &RecorderPort::connectionChanged);
    connect(r, &RecorderReplica::busyChanged, this, &RecorderPort::busyChanged);
    connect(r, &RecorderReplica::reconnected, this, &RecorderPort::reconnected);
    connect(r, &RecorderReplica::warning, this, &RecorderPort::warning);
    connect(r, &RecorderReplica::writeFailed, this, &RecorderPort::writeFailed);
    connect(r, &RecorderReplica::notice, this, &RecorderPort::notice);
    connect(r, &RecorderReplica::settingChanged, this, [this](int key, const QVariant& value, const QString& origin) {
        if (origin != m_origin)
            m_settings->apply(key, value);
    });
    connect(r, &RecorderReplica::settingsLoaded, m_settings.get(), &Settings::loaded);
    connect(r, &RecorderReplica::countersChanged, m_counters.get(), &Counters::setState);
    connect(r, &RecorderReplica::ending, this, &RemoteRecorder::recorderGone);
    connect(m_socket, &QLocalSocket::disconnected, this, &RemoteRecorder::recorderGone);
    return true;
}

void RemoteRecorder::recorderGone() {
    if (!m_available)
        return;
    m_available = false;
    emit ended();
    // The service manager restarts a recorder that failed, and the operator may start one: the window watches its
    // socket and becomes its view again when it serves. Nothing is torn down here, inside the old link's signal.
    m_watch.start(m_reattach.pollMs);
}

void RemoteRecorder::tryReattach() {
    if (m_available) {
        m_watch.stop();
        return;
    }
    // The old link goes first: its replica, then the node with its sockets. A socket left by a killed recorder
    // refuses at once, so a look costs the window nothing until a recorder listens there again.
    m_replica.reset();
    m_node = std::make_unique<QRemoteObjectNode>();
    m_socket = nullptr;
    QString why;
    if (!start(m_socketPath, m_reattach.waitMs, &why))
        return;
    m_watch.stop();
    m_available = true;
    emit reattached();
}

void RemoteRecorder::toggleConnection() {
    if (m_available)
        m_replica->toggleConnection();
}

void RemoteRecorder::setHexDump(bool on) {
    if (m_available)
        m_replica->setHexDump(on);
}
