// Publishing to a broker on the same machine (mosquitto on a free loopback port, started here), in one recorder host
// as the program starts it:
//
//   rate      bursts of events recorded with publishing off and on, taking turns; with it on, the rate is the
//             events that reached a subscriber per second over the burst. The floor is recording alone in the same
//             run: publishing must not slow recording (ratio >= 0.9).
//   latency   one event at a time: the moment the recorder announces the file durable -> the message at the
//             subscriber, p99. The floor is a bare libmosquitto QoS 1 publish -> the same subscriber.
//   drain     a backlog of --backlog events (event files and outbox lines made up front) drained after the broker
//             comes up; the floor is a bare libmosquitto publisher with the same window. RSS growth over the drain
//             against a 10 MB budget.
//
//   mqtt_publish [--bursts B] [--backlog N]

#include "core/recording/eventfile.h"
#include "core/mqtt/mqttoutbox.h"
#include "core/mqtt/mqttpublisher.h"
#include "core/host/recorderhost.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;
double msSince(SteadyClock::time_point t) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - t).count();
}

QByteArray report(quint8 value) {
    QByteArray r = QByteArray::fromHex("FFFA2C34");
    r.append(char(value));
    r.append(QByteArray::fromHex("FFF0"));
    return r;
}

long rssKb() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

// Counts the events under the prefix and notes when each running number first arrived.
struct Subscriber {
    mosquitto* m = nullptr;
    std::atomic<long> events{0};
    std::atomic<long> bare{0};
    std::mutex mutex;
    std::vector<SteadyClock::time_point> arrived; // by number
    explicit Subscriber(quint16 port) : arrived(1 << 20) {
        m = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(m, [](mosquitto* c, void*, int) { mosquitto_subscribe(c, nullptr, "#", 1); });
        mosquitto_message_callback_set(m, [](mosquitto*, void* self, const mosquitto_message* msg) {
            auto* s = static_cast<Subscriber*>(self);
            const QByteArray topic(msg->topic);
            if (topic.endsWith("/event")) {
                const QByteArray payload(static_cast<const char*>(msg->payload), msg->payloadlen);
                const int at = payload.indexOf("\"number\": ") + 10;
                const long n = payload.mid(at, payload.indexOf(',', at) - at).toLong();
                if (n >= 0 && n < long(s->arrived.size()))
                    s->arrived[size_t(n)] = SteadyClock::now();
                ++s->events;
            } else if (topic == "bare") {
                const long n = QByteArray(static_cast<const char*>(msg->payload), msg->payloadlen).toLong();
                s->arrived[size_t(n)] = SteadyClock::now();
                ++s->bare;
            }
        });
        mosquitto_connect(m, "127.0.0.1", port, 30);
        mosquitto_loop_start(m);
    }
    ~Subscriber() {
        mosquitto_disconnect(m);
        mosquitto_loop_stop(m, true);
        mosquitto_destroy(m);
    }
};

bool waitFor(const std::function<bool()>& done, int ms) {
    const auto start = SteadyClock::now();
    while (!done()) {
        if (msSince(start) > ms)
            return false;
        QCoreApplication::processEvents();
        QThread::usleep(200);
    }
    return true;
}

void figure(const char* name, double value, const char* unit, double floor, const char* floorUnit) {
    std::printf("%s: %.1f %s (floor: %.1f %s, ratio %.2f)\n", name, value, unit, floor, floorUnit, value / floor);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int bursts = 6;
    int backlog = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--bursts"))
            bursts = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--backlog"))
            backlog = std::atoi(argv[i + 1]);
    }
    QTemporaryDir dir(QStringLiteral(IMPULZ_BIN_DIR "/mqtt-bench-XXXXXX")); // on the build's disk: syncs are real
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath(QStringLiteral("state"))));
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const quint16 port = probe.serverPort();
    probe.close();
    QFile conf(dir.filePath(QStringLiteral("mosquitto.conf")));
    conf.open(QIODevice::WriteOnly);
    conf.write("user root\nlistener " + QByteArray::number(port) + " 127.0.0.1\nallow_anonymous true\nlog_dest none\n" +
               "max_queued_messages 0\n");
    conf.close();
    QProcess broker;
    auto startBroker = [&] {
        broker.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), conf.fileName()});
        return waitFor(
            [&] {
                QTcpSocket s;
                s.connectToHost(QHostAddress::LocalHost, port);
                return s.waitForConnected(100);
            },
            5000);
    };
    if (!startBroker()) {
        std::fprintf(stderr, "mqtt_publish: mosquitto does not start\n");
        return 1;
    }
    const QString events = dir.filePath(QStringLiteral("events"));
    QDir().mkpath(events);
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    QFile file(ini);
    file.open(QIODevice::WriteOnly);
    file.write("[Po spusteni]\nCislo_linky=3\nFormat=L%numl%_B%nbit%_%numco%\nPor_cislo=0\nBit0=1\nSoubor0=" +
               QFile::encodeName(events) + "\n[MQTT]\nServer=127.0.0.1\nPort=" + QByteArray::number(port) + "\n");
    file.close();

    Subscriber sub(port);
    double alone = 0, alongside = 0, aloneMs = 0, alongsideMs = 0;
    std::vector<double> latency, bareLatency;
    {
        RecorderHost host(ini);
        host.settings.load();
        MqttConfig on = host.mqttSettings.config();
        MqttConfig off = on;
        off.server.clear();
        if (!waitFor([&] { return host.mqtt->isConnected(); }, 5000)) {
            std::fprintf(stderr, "mqtt_publish: the recorder does not connect\n");
            return 1;
        }
        constexpr int perBurst = 1000;
        QByteArray burst;
        for (int i = 0; i < perBurst; ++i)
            burst += report(0xff) + report(0xfe);
        for (int round = 0; round < 2 * bursts; ++round) {
            const bool publishing = round % 2 == (round / 2) % 2; // who goes first rotates
            host.mqttSettings.setConfig(publishing ? on : off);
            if (publishing && !waitFor([&] { return host.mqtt->isConnected(); }, 5000))
                return 1;
            const long before = sub.events;
            const auto start = SteadyClock::now();
            // Chunks as the controller's reads bring them (18 events in 252 bytes), queued to the core's thread.
            for (qsizetype at = 0; at < burst.size(); at += 252) {
                const QByteArray chunk = burst.mid(at, 252);
                QMetaObject::invokeMethod(host.monitor, [&host, chunk] { host.monitor->handleChunk(chunk); });
            }
            host.onCore([] {});
            if (publishing) {
                waitFor([&] { return sub.events - before >= perBurst; }, 60000);
                alongsideMs += msSince(start);
                alongside += perBurst;
            } else {
                aloneMs += msSince(start);
                alone += perBurst;
            }
        }
        host.mqttSettings.setConfig(on);
        waitFor([&] { return host.mqtt->isConnected() && host.mqtt->backlog() == 0; }, 10000);

        // Latency: the durable moment as the recorder announces it, one event at a time.
        std::vector<SteadyClock::time_point> durable(1 << 20);
        QObject::connect(
            host.monitor, &Monitor::eventRecorded, host.monitor,
            [&](int, const QString& path) {
                const auto n =
                    MqttOutbox::runningNumber(QStringLiteral("L%numl%_B%nbit%_%numco%"), QFileInfo(path).fileName());
                if (n)
                    durable[size_t(*n)] = SteadyClock::now();
            },
            Qt::DirectConnection);
        for (int i = 0; i < 300; ++i) {
            const qint32 number = host.settings.sequenceNumber();
            const long before = sub.events;
            host.onCore([&] { host.monitor->handleChunk(report(0xff) + report(0xfe)); });
            waitFor([&] { return sub.events > before; }, 5000);
            latency.push_back(
                std::chrono::duration<double, std::milli>(sub.arrived[size_t(number)] - durable[size_t(number)])
                    .count());
        }
    }
    {
        // The floor of the latency: a bare QoS 1 publish to the same subscriber.
        mosquitto* bare = mosquitto_new(nullptr, true, nullptr);
        mosquitto_connect(bare, "127.0.0.1", port, 30);
        mosquitto_loop_start(bare);
        for (int i = 0; i < 300; ++i) {
            const long before = sub.bare;
            const QByteArray n = QByteArray::number(i);
            const auto start = SteadyClock::now();
            mosquitto_publish(bare, nullptr, "bare", int(n.size()), n.constData(), 1, false);
            waitFor([&] { return sub.bare > before; }, 5000);
            bareLatency.push_back(std::chrono::duration<double, std::milli>(sub.arrived[size_t(i)] - start).count());
        }
        mosquitto_disconnect(bare);
        mosquitto_loop_stop(bare, true);
        mosquitto_destroy(bare);
    }
    auto p99 = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[size_t(double(v.size() - 1) * 0.99)];
    };

    // The drain: the broker is down while the backlog is made, so the recorder starts with all of it pending.
    broker.terminate();
    broker.waitForFinished();
    {
        const QString backlogDir = dir.filePath(QStringLiteral("backlog"));
        QDir().mkpath(backlogDir);
        MqttOutbox outbox(ini);
        QList<EventWriteRequest> batch;
        for (int i = 0; i < backlog; ++i) {
            batch.append({backlogDir, QStringLiteral("L03_B0_%1").arg(i, 5, 10, QLatin1Char('0'))});
            if (batch.size() == 1000 || i == backlog - 1) {
                for (const EventWriteResult& r : writeEventFiles(batch, false))
                    outbox.append(3, 0, QStringLiteral("L%numl%_B%nbit%_%numco%"), r.path);
                batch.clear();
            }
        }
    }
    double drainRate = 0, rssGrowthMb = 0;
    {
        RecorderHost host(ini);
        host.settings.load();
        waitFor([&] { return host.mqtt->backlog() >= backlog; }, 5000);
        const long rssBefore = rssKb();
        long rssPeak = rssBefore;
        if (!startBroker())
            return 1;
        const auto start = SteadyClock::now();
        waitFor(
            [&] {
                rssPeak = std::max(rssPeak, rssKb());
                return host.mqtt->backlog() == 0;
            },
            600000);
        drainRate = backlog / (msSince(start) / 1000.0);
        rssGrowthMb = double(rssPeak - rssBefore) / 1024.0;
    }
    double bareRate = 0;
    {
        // The floor of the drain: a bare publisher keeping the same window full.
        struct Bare {
            std::atomic<long> acked{0};
        } state;
        mosquitto* bare = mosquitto_new(nullptr, true, &state);
        mosquitto_publish_callback_set(bare, [](mosquitto*, void* s, int) { ++static_cast<Bare*>(s)->acked; });
        mosquitto_connect(bare, "127.0.0.1", port, 30);
        mosquitto_loop_start(bare);
        const QByteArray payload(140, 'x');
        const int n = std::min(backlog, 50000);
        const auto start = SteadyClock::now();
        for (int i = 0; i < n; ++i) {
            while (i - state.acked >= MqttTimings().window)
                QThread::usleep(50);
            mosquitto_publish(bare, nullptr, "bare/drain", int(payload.size()), payload.constData(), 1, false);
        }
        waitFor([&] { return state.acked >= n; }, 600000);
        bareRate = n / (msSince(start) / 1000.0);
        mosquitto_disconnect(bare);
        mosquitto_loop_stop(bare, true);
        mosquitto_destroy(bare);
    }
    broker.terminate();
    broker.waitForFinished();

    figure("events published while recording", alongside / (alongsideMs / 1000.0), "events/s",
           alone / (aloneMs / 1000.0), "events/s");
    figure("event durable -> subscriber p99", p99(latency), "ms", p99(bareLatency), "ms");
    figure("backlog drain", drainRate, "events/s", bareRate, "events/s");
    figure("backlog drain RSS growth", rssGrowthMb, "MB", 10.0, "MB");
    return 0;
}
