// Publishing to a real mosquitto broker on a free loopback port: every event arrives, the retained state is there,
// a broker that goes away or never lets the recorder in costs the recording nothing, and a killed recorder
// resumes from its cursor. A broker that takes a message and drops the connection before acknowledging it does not
// move the cursor, and a journal whose tail is lost never gives one id to two events.

#include "support/testsupport.h"

#include "core/settings/inifile.h"
#include "core/mqtt/mqttoutbox.h"
#include "core/mqtt/mqttpublisher.h"
#include "core/host/recorderhost.h"
#include "nastaveni.h"

#include "components/spinedit.h"

#include <QApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <mosquitto.h>

#include <csignal>
#include <optional>

namespace {

quint16 freePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

// mosquitto with a configuration file of its own; persistence keeps a subscriber's session over a restart, so
// what the broker acknowledged before it went down still reaches the subscriber afterwards.
class Broker {
public:
    Broker(const QString& dir, const QByteArray& extra) : m_dir(dir), m_port(freePort()) {
        QFile conf(dir + QStringLiteral("/mosquitto.conf"));
        if (conf.open(QIODevice::WriteOnly))
            conf.write("user root\nlistener " + QByteArray::number(m_port) + " 127.0.0.1\npersistence true\n" +
                       "persistence_location " + QFile::encodeName(dir) + "/\nlog_dest none\n" + extra);
    }
    ~Broker() { stop(); }
    quint16 port() const { return m_port; }
    bool start() {
        m_process.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), m_dir + QStringLiteral("/mosquitto.conf")});
        for (int i = 0; i < 100; ++i) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            if (probe.waitForConnected(100))
                return true;
            if (m_process.state() == QProcess::NotRunning)
                return false;
            QTest::qWait(50);
        }
        return false;
    }
    void stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished();
    }

private:
    QString m_dir;
    quint16 m_port;
    QProcess m_process;
};

// A plant's consumer: a session that survives the broker's restart, everything under the line's prefix.
class Subscriber {
public:
    explicit Subscriber(quint16 port, const char* id = "tst-consumer") {
        m_mosq = mosquitto_new(id, false, this);
        mosquitto_connect_callback_set(m_mosq, [](mosquitto* m, void*, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, "impulz/07/#", 1);
        });
        mosquitto_subscribe_callback_set(m_mosq, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Subscriber*>(self)->m_subscribed = true;
        });
        mosquitto_message_callback_set(m_mosq, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* s = static_cast<Subscriber*>(self);
            QMutexLocker lock(&s->m_mutex);
            s->m_messages.append(
                {QString::fromUtf8(m->topic), QByteArray(static_cast<const char*>(m->payload), m->payloadlen)});
        });
        mosquitto_reconnect_delay_set(m_mosq, 1, 1, false);
        mosquitto_connect_async(m_mosq, "127.0.0.1", port, 5);
        mosquitto_loop_start(m_mosq);
    }
    ~Subscriber() {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, true);
        mosquitto_destroy(m_mosq);
    }
    bool subscribed() const { return m_subscribed; }
    QByteArray last(const QString& topicEnd) const {
        QMutexLocker lock(&m_mutex);
        for (qsizetype i = m_messages.size() - 1; i >= 0; --i) {
            if (m_messages[i].first.endsWith(topicEnd))
                return m_messages[i].second;
        }
        return {};
    }
    // The running numbers of the events, each the first time it arrived, in arrival order.
    QList<int> firstNumbers() const {
        QMutexLocker lock(&m_mutex);
        QList<int> numbers;
        QSet<QString> ids;
        for (const auto& [topic, payload] : m_messages) {
            if (!topic.endsWith(QLatin1String("/event")))
                continue;
            const QJsonObject o = QJsonDocument::fromJson(payload).object();
            if (!ids.contains(o[QLatin1String("id")].toString()))
                numbers.append(o[QLatin1String("number")].toInt());
            ids.insert(o[QLatin1String("id")].toString());
        }
        return numbers;
    }
    // The ids that came with two different files.
    QStringList idsOfTwoFiles() const {
        QMutexLocker lock(&m_mutex);
        QHash<QString, QString> fileOf;
        QStringList twice;
        for (const auto& [topic, payload] : m_messages) {
            const QJsonObject o = QJsonDocument::fromJson(payload).object();
            const QString id = o[QLatin1String("id")].toString();
            const QString file = o[QLatin1String("file")].toString();
            if (!topic.endsWith(QLatin1String("/event")))
                continue;
            if (fileOf.contains(id) && fileOf[id] != file)
                twice.append(id);
            fileOf.insert(id, file);
        }
        return twice;
    }

private:
    mosquitto* m_mosq;
    std::atomic<bool> m_subscribed{false};
    mutable QMutex m_mutex;
    QList<std::pair<QString, QByteArray>> m_messages;
};

// Lets the recorder in and reads its messages without ever acknowledging one; at the first event it drops the
// connection and stops listening.
class NoAckBroker {
public:
    bool listen(quint16 port) {
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            QTcpSocket* s = m_server.nextPendingConnection();
            QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] { read(s); });
        });
        return m_server.listen(QHostAddress::LocalHost, port);
    }
    bool sawEvent() const { return m_sawEvent; }

private:
    void read(QTcpSocket* s) {
        m_buffer += s->readAll();
        while (m_buffer.size() >= 2) {
            // The fixed header: the packet's type, then its length in up to four 7-bit groups.
            qsizetype at = 1;
            int length = 0;
            for (int shift = 0; at < m_buffer.size(); shift += 7) {
                const uchar b = uchar(m_buffer[at++]);
                length |= (b & 0x7f) << shift;
                if (!(b & 0x80))
                    break;
            }
            if (m_buffer.size() < at + length)
                return;
            const int type = uchar(m_buffer[0]) >> 4;
            const QByteArray body = m_buffer.mid(at, length);
            m_buffer.remove(0, at + length);
            if (type == 1) // CONNECT: accepted
                s->write(QByteArray::fromHex("20020000"));
            if (type == 3 && body.mid(2, (uchar(body[0]) << 8) | uchar(body[1])).endsWith("/event")) {
                m_sawEvent = true;
                m_server.close();
                s->abort();
                return;
            }
        }
    }
    QTcpServer m_server;
    QByteArray m_buffer;
    bool m_sawEvent = false;
};

QList<int> range(int from, int count) {
    QList<int> r;
    for (int i = 0; i < count; ++i)
        r.append(from + i);
    return r;
}

// n events of input 0: every pair of reports is one transition into LOG1.
void record(RecorderHost& host, int n) {
    QByteArray burst;
    for (int i = 0; i < n; ++i)
        burst += report(52, 0xff) + report(52, 0xfe);
    host.onCore([&] { host.monitor->handleChunk(burst); });
}

// The publisher's timings for a test: retries after a tenth of a second, up to 0.4 s, the cursor stored every 50 ms,
// and no answer to CONNECT within two seconds drops the attempt.
CoreConfig quickMqtt(int connectTimeoutMs = 2000) {
    CoreConfig config;
    config.mqtt.retryMinMs = 100;
    config.mqtt.retryMaxMs = 400;
    config.mqtt.cursorStoreMs = 50;
    config.mqtt.connectTimeoutMs = connectTimeoutMs;
    return config;
}
} // namespace

class TestMqtt : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void burstArrivesWithRetainedState();
    void brokerRestartMidBurstLosesNothingInOrder();
    void refusingBrokersLeaveRecordingUntouched_data();
    void refusingBrokersLeaveRecordingUntouched();
    void killedRecorderResumesFromItsCursor();
    void unacknowledgedEventKeepsTheCursor();
    void lostJournalTailNeverReusesAnId();
    void settingsPageTakesEffectWhenSaved();
    void unreachableBrokerSaysWhy_data();
    void unreachableBrokerSaysWhy();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString& name) const { return m_dir->filePath(name); }
    QString ini() const { return path(QStringLiteral("impulz.ini")); }
    // The recorder as a process of its own (runChild below).
    QProcess* child(int events) {
        auto* p = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("IMPULZ_MQTT_CHILD"), ini());
        env.insert(QStringLiteral("IMPULZ_MQTT_EVENTS"), QString::number(events));
        p->setProcessEnvironment(env);
        p->start(QCoreApplication::applicationFilePath(), {});
        return p;
    }
    int files() const { return int(csvFiles(path(QStringLiteral("events"))).size()); }
    void writeIni(quint16 port, const QByteArray& mqtt = {}) {
        QFile file(ini());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[Po spusteni]\nCislo_linky=7\nFormat=L%numl%_B%nbit%_%numco%\nPor_cislo=42\nBit0=1\nSoubor0=" +
                   QFile::encodeName(path(QStringLiteral("events"))) +
                   "\n\n[MQTT]\nServer=127.0.0.1\nPort=" + QByteArray::number(port) + "\n" + mqtt);
    }
};

void TestMqtt::initTestCase() {
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("mosquitto")).isEmpty(),
             "mosquitto is not installed (scripts/setup installs it)");
}

void TestMqtt::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir().mkpath(path(QStringLiteral("events"))));
    qputenv("XDG_STATE_HOME", QFile::encodeName(path(QStringLiteral("state"))));
}

void TestMqtt::burstArrivesWithRetainedState() {
    Broker broker(m_dir->path(), {"allow_anonymous true\n"});
    QVERIFY(broker.start());
    writeIni(broker.port());
    {
        RecorderHost host(ini(), quickMqtt());
        host.settings.load();
        QTRY_VERIFY(host.mqtt->isConnected());
        Subscriber consumer(broker.port());
        QTRY_VERIFY(consumer.subscribed());
        record(host, 300);
        QTRY_COMPARE_WITH_TIMEOUT(consumer.firstNumbers().size(), 300, 20000);
        QList<int> numbers = consumer.firstNumbers();
        std::sort(numbers.begin(), numbers.end());
        QCOMPARE(numbers, range(42, 300));
        const QJsonObject event = QJsonDocument::fromJson(consumer.last(QStringLiteral("/bit0/event"))).object();
        QCOMPARE(event[QLatin1String("line")].toInt(), 7);
        QVERIFY(QFile::exists(path(QStringLiteral("events/")) + event[QLatin1String("file")].toString()));
        QVERIFY(QDateTime::fromString(event[QLatin1String("time")].toString(), Qt::ISODate).isValid());

        // A consumer that comes later finds the line's state waiting.
        Subscriber late(broker.port(), "tst-late");
        QTRY_VERIFY(!late.last(QStringLiteral("/controller")).isEmpty());
        QCOMPARE(late.last(QStringLiteral("/status")), QByteArray("online"));
        QCOMPARE(QJsonDocument::fromJson(late.last(QStringLiteral("/levels")))[QLatin1String("levels")].toArray(),
                 QJsonArray({1, 0, 0, 0, 0, 0, 0, 0}));
        QCOMPARE(late.last(QStringLiteral("/controller")), QByteArray(R"({"state": "disconnected", "reconnects": 0})"));
    }
    Subscriber after(broker.port(), "tst-after");
    QTRY_COMPARE(after.last(QStringLiteral("/status")), QByteArray("offline"));
}

void TestMqtt::brokerRestartMidBurstLosesNothingInOrder() {
    Broker broker(m_dir->path(), {"allow_anonymous true\n"});
    QVERIFY(broker.start());
    writeIni(broker.port());
    Subscriber consumer(broker.port());
    QTRY_VERIFY(consumer.subscribed());
    RecorderHost host(ini(), quickMqtt());
    QSignalSpy log(host.port(), &RecorderPort::logLine); // the lines as this thread gets them
    host.settings.load();
    QTRY_VERIFY(host.mqtt->isConnected());
    record(host, 100);
    broker.stop();
    record(host, 100);
    QTRY_VERIFY(host.mqtt->backlog() > 0);
    QVERIFY(broker.start());
    record(host, 100);
    QTRY_COMPARE_WITH_TIMEOUT(consumer.firstNumbers().size(), 300, 30000);
    QCOMPARE(consumer.firstNumbers(), range(42, 300));
    QTRY_COMPARE(host.mqtt->backlog(), 0);
    const auto backlogLines = [&log] {
        QStringList lines;
        for (const QList<QVariant>& l : log)
            lines.append(l[0].toString());
        return lines.filter(QStringLiteral("MQTT: nedoručeno")).size();
    };
    QTRY_COMPARE(backlogLines(), 2); // the start and the end of the backlog
}

void TestMqtt::refusingBrokersLeaveRecordingUntouched_data() {
    QTest::addColumn<QByteArray>("brokerConf");
    QTest::addColumn<QByteArray>("mqtt");
    QTest::newRow("refused login") << QByteArray("allow_anonymous false\n") << QByteArray("User=line7\n");
    QTest::newRow("wrong CA") << QByteArray("certfile %dir/server.crt\nkeyfile %dir/server.key\n")
                              << QByteArray("TLS=1\nCAFile=%dir/other.crt\n");
    QTest::newRow("silent listener") << QByteArray() << QByteArray();
}

void TestMqtt::refusingBrokersLeaveRecordingUntouched() {
    QFETCH(QByteArray, brokerConf);
    QFETCH(QByteArray, mqtt);
    const QByteArray dir = QFile::encodeName(m_dir->path());
    brokerConf.replace("%dir", dir);
    mqtt.replace("%dir", dir);
    for (const char* name : {"server", "other"}) {
        QProcess openssl;
        openssl.setStandardErrorFile(QProcess::nullDevice());
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                       "-keyout", path(name + QStringLiteral(".key")), "-out", path(name + QStringLiteral(".crt"))});
        QVERIFY(openssl.waitForFinished() && openssl.exitCode() == 0);
    }
    Broker broker(m_dir->path(), brokerConf);
    QTcpServer silent;
    CoreConfig config = quickMqtt();
    if (brokerConf.isEmpty()) {
        // Accepts and never says a word: the connect attempt outlives the whole test.
        config = quickMqtt(600000);
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        writeIni(silent.serverPort(), mqtt);
    } else {
        QVERIFY(broker.start());
        writeIni(broker.port(), mqtt);
    }
    RecorderHost host(ini(), config);
    QSignalSpy log(host.port(), &RecorderPort::logLine); // the lines as this thread gets them
    QSignalSpy boxes(host.port(), &RecorderPort::warning);
    host.settings.load();
    if (brokerConf.isEmpty())
        QTRY_VERIFY(silent.hasPendingConnections());
    for (int i = 0; i < 5; ++i)
        record(host, 40);
    QCOMPARE(files(), 200);
    QTRY_COMPARE(host.mqtt->backlog(), 200);
    QVERIFY(!host.mqtt->isConnected());
    QTRY_VERIFY(std::any_of(log.begin(), log.end(), [](const QList<QVariant>& l) {
        return l[0].toString().startsWith(QStringLiteral("MQTT: nedoručeno"));
    }));

    QCOMPARE(boxes.count(), 0);
}

void TestMqtt::killedRecorderResumesFromItsCursor() {
    Broker broker(m_dir->path(), {"allow_anonymous true\n"});
    QVERIFY(broker.start());
    writeIni(broker.port());
    Subscriber consumer(broker.port());
    QTRY_VERIFY(consumer.subscribed());
    QProcess* first = child(50);
    QTRY_COMPARE_WITH_TIMEOUT(consumer.firstNumbers().size(), 50, 20000);
    const MqttOutbox view(ini());
    QTRY_VERIFY(QFile(view.cursorPath()).open(QIODevice::ReadOnly) &&
                readBytes(view.cursorPath()).split(' ').value(1) == "51");
    broker.stop();
    first->write("50\n"); // fifty more while the broker is away, then the recorder dies with them
    QTRY_COMPARE(files(), 100);
    // An event joins the journal once its file is durable, a moment after the file appears: the kill comes when
    // all fifty are in it.
    QTRY_COMPARE(readBytes(view.journalPath()).count('\n'), 100);
    ::kill(pid_t(first->processId()), SIGKILL);
    QVERIFY(first->waitForFinished());

    QVERIFY(broker.start());
    QProcess* second = child(0);
    QTRY_COMPARE_WITH_TIMEOUT(consumer.firstNumbers().size(), 100, 20000);
    QCOMPARE(consumer.firstNumbers(), range(42, 100));
    second->terminate();
    QVERIFY(second->waitForFinished());
}

// The broker read the events and went away without a PUBACK: the cursor stays, and every event comes once a real
// broker is there.
void TestMqtt::unacknowledgedEventKeepsTheCursor() {
    Broker broker(m_dir->path(), {"allow_anonymous true\n"});
    QVERIFY(broker.start());
    writeIni(broker.port());
    Subscriber consumer(broker.port());
    QTRY_VERIFY(consumer.subscribed());
    broker.stop();
    RecorderHost host(ini(), quickMqtt());
    host.settings.load();
    record(host, 20);
    QTRY_COMPARE(host.mqtt->backlog(), 20);
    NoAckBroker fake;
    QVERIFY(fake.listen(broker.port()));
    QTRY_VERIFY(fake.sawEvent());
    QTRY_VERIFY(!host.mqtt->isConnected());
    QCOMPARE(host.mqtt->backlog(), 20);
    const MqttOutbox view(ini());
    QVERIFY(!QFile::exists(view.cursorPath()) || readBytes(view.cursorPath()).split(' ').value(1) == "1");
    QVERIFY(broker.start());
    QTRY_COMPARE_WITH_TIMEOUT(consumer.firstNumbers(), range(42, 20), 20000);
}

// A power cut took the journal's last lines, which the broker had already passed on: the events recorded after the
// restart take their seqs again, never their ids; the lines that survived keep theirs.
void TestMqtt::lostJournalTailNeverReusesAnId() {
    Broker broker(m_dir->path(), {"allow_anonymous true\n"});
    QVERIFY(broker.start());
    writeIni(broker.port());
    Subscriber consumer(broker.port());
    QTRY_VERIFY(consumer.subscribed());
    const MqttOutbox view(ini());
    QVERIFY(QDir().mkpath(QFileInfo(view.cursorPath()).absolutePath())); // the outbox makes it with its first event
    writeBytes(view.cursorPath(), "earlier 1 0\n");                      // an earlier run's cursor
    QProcess* first = child(10);
    QTRY_COMPARE_WITH_TIMEOUT(consumer.firstNumbers().size(), 10, 20000);
    ::kill(pid_t(first->processId()), SIGKILL);
    QVERIFY(first->waitForFinished());
    // The power went before the acknowledgements were stored, and took the journal's tail.
    QCOMPARE(readBytes(view.cursorPath()).split(' ').value(0), QByteArray("earlier"));
    writeBytes(view.cursorPath(), "earlier 1 0\n");
    QByteArray journal = readBytes(view.journalPath());
    QCOMPARE(journal.count('\n'), 10);
    QFile cut(view.journalPath());
    QVERIFY(cut.resize(journal.indexOf('\n', journal.indexOf('\n') + 1) + 1)); // two lines left

    QProcess* second = child(10);
    QTRY_VERIFY_WITH_TIMEOUT(consumer.firstNumbers().contains(61), 20000); // the last event
    QCOMPARE(consumer.idsOfTwoFiles(), QStringList());
    QCOMPARE(consumer.firstNumbers().size(), 20);
    QCOMPARE(files(), 20);
    second->terminate();
    QVERIFY(second->waitForFinished());
}

// The page shows the defaults made from the line number, and a save writes the section and connects.
void TestMqtt::settingsPageTakesEffectWhenSaved() {
    Broker broker(m_dir->path(), {"allow_anonymous true\n"});
    QVERIFY(broker.start());
    writeIni(broker.port());
    IniFile::update(ini(), MqttConfig::Section, {{QStringLiteral("Server"), QString()}});
    RecorderHost host(ini(), quickMqtt());
    host.settings.load();
    TFrmNastav dialog(host.settings);
    dialog.setMqttSettings(&host.mqttSettings);
    dialog.show();
    QCOMPARE(dialog.edMqttPrefix->placeholderText(), QStringLiteral("impulz/07"));
    QCOMPARE(dialog.spMqttPort->Value(), int(broker.port()));
    QVERIFY(!host.mqtt->isConnected());
    dialog.edMqttServer->setText(QStringLiteral("127.0.0.1"));
    dialog.edMqttUser->setText(QStringLiteral("linka7"));
    dialog.PageControl1->setCurrentIndex(dialog.PageControl1->count() - 1);
    if (const QString dir = qEnvironmentVariable("IMPULZ_SCREENSHOT_DIR"); !dir.isEmpty())
        QVERIFY(dialog.grab().save(dir + QStringLiteral("/settings-mqtt.png")));
    std::optional<QString> saveError; // the save runs on the recorder's thread and reports back here
    dialog.Save([&saveError](const QString& error) { saveError = error; });
    QTRY_VERIFY(saveError);
    QCOMPARE(*saveError, QString());
    QTRY_VERIFY(host.mqtt->isConnected());
    const IniFile saved(ini());
    QCOMPARE(saved.readString(MqttConfig::Section, QStringLiteral("Server"), {}), QStringLiteral("127.0.0.1"));
    QCOMPARE(saved.readString(MqttConfig::Section, QStringLiteral("User"), {}), QStringLiteral("linka7"));
    QCOMPARE(saved.readInteger(Settings::Section, QStringLiteral("Cislo_linky"), 0), 7);
}

void TestMqtt::unreachableBrokerSaysWhy_data() {
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QString>("reason");
    QTest::newRow("nothing listens") << false << QStringLiteral("spojení odmítnuto");
    QTest::newRow("not an MQTT server") << true << QStringLiteral("není to MQTT server");
}

// Every line that says the broker cannot be reached says why, in words the operator can act on: the outage's own
// line and the backlog's.
void TestMqtt::unreachableBrokerSaysWhy() {
    QFETCH(bool, listening);
    QFETCH(QString, reason);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const quint16 port = server.serverPort();
    if (!listening)
        server.close();
    // A web server, say: it answers whatever it is sent with a text of its own.
    connect(&server, &QTcpServer::newConnection, &server, [&server] {
        while (QTcpSocket* s = server.nextPendingConnection())
            s->write("HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n");
    });
    writeIni(port);
    RecorderHost host(ini(), quickMqtt());
    QSignalSpy log(host.port(), &RecorderPort::logLine); // the lines as this thread gets them
    host.settings.load();
    const auto unreachable = [&log] {
        QStringList lines;
        for (const QList<QVariant>& l : log) {
            if (l[0].toString().contains(QStringLiteral("nedostupný")))
                lines.append(l[0].toString());
        }
        return lines;
    };
    QTRY_COMPARE(unreachable().size(), 1);
    record(host, 3);
    QTRY_COMPARE(unreachable().size(), 2);
    for (const QString& line : unreachable())
        QVERIFY2(line.contains(reason), qPrintable(line));
}

// The recorder of the last test as a process of its own: records the events it is told to at start and then one
// batch for each number read from its standard input, until it is killed.
static int runChild() {
    QCoreApplication app(*new int(0), nullptr);
    RecorderHost host(qEnvironmentVariable("IMPULZ_MQTT_CHILD"), quickMqtt(CoreConfig().mqtt.connectTimeoutMs));
    host.settings.load();
    record(host, qEnvironmentVariableIntValue("IMPULZ_MQTT_EVENTS"));
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char line[32] = {};
        const ssize_t n = ::read(0, line, sizeof line - 1);
        if (n <= 0)
            app.quit();
        else
            record(host, atoi(line));
    });
    return app.exec();
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet("IMPULZ_MQTT_CHILD"))
        return runChild();
    QApplication app(argc, argv);
    TestMqtt test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mqtt.moc"
