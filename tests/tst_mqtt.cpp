// Publishing to a real mosquitto broker on a free loopback port: every event arrives, the retained state is there,
// a broker that goes away or never lets the recorder in costs the recording nothing, and a killed recorder
// resumes from its cursor.

#include "support/testsupport.h"

#include "core/inifile.h"
#include "core/mqttoutbox.h"
#include "core/mqttpublisher.h"
#include "core/recorderhost.h"
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

private:
    mosquitto* m_mosq;
    std::atomic<bool> m_subscribed{false};
    mutable QMutex m_mutex;
    QList<std::pair<QString, QByteArray>> m_messages;
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
    void settingsPageTakesEffectWhenSaved();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString& name) const { return m_dir->filePath(name); }
    QString ini() const { return path(QStringLiteral("impulz.ini")); }
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
    MqttPublisher::RetryMinMs = 100;
    MqttPublisher::RetryMaxMs = 400;
    MqttPublisher::CursorStoreMs = 50;
}

void TestMqtt::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir().mkpath(path(QStringLiteral("events"))));
    qputenv("XDG_STATE_HOME", QFile::encodeName(path(QStringLiteral("state"))));
    MqttPublisher::ConnectTimeoutMs = 2000;
}

void TestMqtt::burstArrivesWithRetainedState() {
    Broker broker(m_dir->path(), {"allow_anonymous true\n"});
    QVERIFY(broker.start());
    writeIni(broker.port());
    {
        RecorderHost host(ini());
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
    RecorderHost host(ini());
    QSignalSpy log(host.monitor, &Monitor::logLine);
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
    QStringList lines;
    for (const QList<QVariant>& l : log)
        lines.append(l[0].toString());
    QCOMPARE(lines.filter(QStringLiteral("MQTT: nedoručeno")).size(), 2); // the start and the end of the backlog
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
    if (brokerConf.isEmpty()) {
        // Accepts and never says a word: the connect attempt outlives the whole test.
        MqttPublisher::ConnectTimeoutMs = 600000;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        writeIni(silent.serverPort(), mqtt);
    } else {
        QVERIFY(broker.start());
        writeIni(broker.port(), mqtt);
    }
    RecorderHost host(ini());
    QSignalSpy log(host.monitor, &Monitor::logLine);
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
    auto child = [this](int events) {
        auto* p = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("IMPULZ_MQTT_CHILD"), ini());
        env.insert(QStringLiteral("IMPULZ_MQTT_EVENTS"), QString::number(events));
        p->setProcessEnvironment(env);
        p->start(QCoreApplication::applicationFilePath(), {});
        return p;
    };
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

// The page shows the defaults made from the line number, and a save writes the section and connects.
void TestMqtt::settingsPageTakesEffectWhenSaved() {
    Broker broker(m_dir->path(), {"allow_anonymous true\n"});
    QVERIFY(broker.start());
    writeIni(broker.port());
    IniFile::update(ini(), MqttConfig::Section, {{QStringLiteral("Server"), QString()}});
    RecorderHost host(ini());
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
    dialog.Save();
    QTRY_VERIFY(host.mqtt->isConnected());
    const IniFile saved(ini());
    QCOMPARE(saved.readString(MqttConfig::Section, QStringLiteral("Server"), {}), QStringLiteral("127.0.0.1"));
    QCOMPARE(saved.readString(MqttConfig::Section, QStringLiteral("User"), {}), QStringLiteral("linka7"));
    QCOMPARE(saved.readInteger(Settings::Section, QStringLiteral("Cislo_linky"), 0), 7);
}

// The recorder of the last test as a process of its own: records the events it is told to at start and then one
// batch for each number read from its standard input, until it is killed.
static int runChild() {
    QCoreApplication app(*new int(0), nullptr);
    MqttPublisher::CursorStoreMs = 50;
    MqttPublisher::RetryMinMs = 100;
    MqttPublisher::RetryMaxMs = 400;
    RecorderHost host(qEnvironmentVariable("IMPULZ_MQTT_CHILD"));
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
