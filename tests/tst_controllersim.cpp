#include "support/simulator.h"
#include "support/testsupport.h"

#include <QProcess>
#include <QTcpSocket>
#include <QScopeGuard>
#include <QTest>

#include <cerrno>
#include <numeric>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr int Wait = Simulator::Wait;

// Connects and greets the way the monitor does: two separate sends.
bool connectAndGreet(Simulator& sim, QTcpSocket& client) {
    client.connectToHost(QHostAddress::LocalHost, sim.port());
    if (!client.waitForConnected(Wait))
        return false;
    client.write(AreYouThere);
    client.flush();
    client.write(StateRequest);
    return sim.waitFor("greeting ok");
}

// Reads until the peer has sent at least count bytes or closed.
QByteArray readAtLeast(QTcpSocket& client, qsizetype count) {
    QByteArray bytes;
    (void)QTest::qWaitFor(
        [&] {
            bytes.append(client.readAll());
            return bytes.size() >= count || client.state() == QAbstractSocket::UnconnectedState;
        },
        Wait);
    bytes.append(client.readAll());
    return bytes;
}

// Every change report in a stream that may hold text between them; returns the transitions into LOG1 per input.
QList<int> transitionsIn(const QByteArray& stream) {
    QList<int> perBit(8, 0);
    quint8 previous = 0xFF;
    const QByteArray head("\xFF\xFA\x2C\x34", 4);
    for (qsizetype at = stream.indexOf(head); at >= 0 && at + 7 <= stream.size(); at = stream.indexOf(head, at + 7)) {
        const quint8 value = quint8(stream.at(at + 4));
        for (int bit = 0; bit < 8; ++bit) {
            if ((previous >> bit & 1) && !(value >> bit & 1))
                ++perBit[bit];
        }
        previous = value;
    }
    return perBit;
}

} // namespace

class TstControllerSim : public QObject {
    Q_OBJECT

private slots:
    void greetingIsChecked_data() {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QByteArray>("verdict");
        QTest::newRow("monitor's greeting") << Greeting << QByteArray("greeting ok");
        QByteArray wrong = Greeting;
        wrong[6] = 1;
        QTest::newRow("wrong parameter") << wrong << QByteArray("greeting bad FF F6 FF FA 2C 32 01 FF F0");
        QTest::newRow("cut short") << Greeting.left(4) << QByteArray("greeting bad FF F6 FF FA");
    }

    void greetingIsChecked() {
        QFETCH(QByteArray, greeting);
        QFETCH(QByteArray, verdict);
        Simulator sim({}, Simulator::Silent);
        QVERIFY(sim.listening());
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, sim.port());
        QVERIFY(client.waitForConnected(Wait));
        client.write(greeting);
        QVERIFY(client.waitForBytesWritten(Wait));
        if (greeting.size() < Greeting.size())
            client.disconnectFromHost(); // an incomplete greeting is judged when the client leaves
        QVERIFY(sim.waitFor("greeting "));
        QCOMPARE(sim.take("greeting "), verdict);
    }

    void commandsSendBytes_data() {
        QTest::addColumn<QByteArray>("commands");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("set") << QByteArray("set F6") << report(52, 0xF6);
        QTest::newRow("status report") << QByteArray("sub150 0f") << report(150, 0x0F);
        QTest::newRow("value 255 goes out as is") << QByteArray("report") << report(52, 0xFF);
        QTest::newRow("pulse") << QByteArray("pulse 2 10") << report(52, 0xFB) + report(52, 0xFF);
        QTest::newRow("text doubles IAC") << QByteArray("text \"a\\xFFb\\r\\n\"")
                                          << QByteArray("a\xFF\xFF"
                                                        "b\r\n");
        QTest::newRow("raw") << QByteArray("raw FF FB2C") << QByteArray("\xFF\xFB\x2C");
        QTest::newRow("order kept across sleep")
            << QByteArray("set 00\nsleep 20\n# a comment\n\nsub150 FF") << report(52, 0x00) + report(150, 0xFF);
        QTest::newRow("bad commands skipped") << QByteArray("set 1FF\npulse 8\nnonsense\nset 7F") << report(52, 0x7F);
    }

    void commandsSendBytes() {
        QFETCH(QByteArray, commands);
        QFETCH(QByteArray, expected);
        Simulator sim({}, Simulator::Silent);
        QVERIFY(sim.listening());
        QTcpSocket client;
        QVERIFY(connectAndGreet(sim, client));
        sim.write(commands + '\n');
        QCOMPARE(readAtLeast(client, expected.size()), expected);
    }

    void faultsKeepTheReport_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("exact");      // the stream is the report alone
        QTest::addColumn<int>("minimumSize"); // bytes the stream must reach
        QTest::newRow("split") << QStringList{"--split"} << true << 7;
        QTest::newRow("drip") << QStringList{"--drip", "--gap", "1"} << true << 7;
        QTest::newRow("burst") << QStringList{"--burst"} << false << 256;
        QTest::newRow("iac-text") << QStringList{"--iac-text"} << false << 7 + 4;
    }

    void faultsKeepTheReport() {
        QFETCH(QStringList, options);
        QFETCH(bool, exact);
        QFETCH(int, minimumSize);
        Simulator sim(options, Simulator::Silent);
        QVERIFY(sim.listening());
        QTcpSocket client;
        QVERIFY(connectAndGreet(sim, client));
        sim.write("set F6\n");
        const QByteArray stream = readAtLeast(client, minimumSize);
        if (exact)
            QCOMPARE(stream, report(52, 0xF6));
        QVERIFY(stream.size() >= minimumSize);
        QVERIFY(stream.contains(report(52, 0xF6)));
        if (options.contains("--iac-text"))
            QVERIFY(stream.left(stream.indexOf(report(52, 0xF6))).contains("\xFF\xFF"));
    }

    void closeMidReport() {
        Simulator sim({"--close-mid-report", "2"}, Simulator::Silent);
        QVERIFY(sim.listening());
        QTcpSocket client;
        QVERIFY(connectAndGreet(sim, client));
        sim.write("set FE\nset FC\n");
        const QByteArray stream = readAtLeast(client, 100); // returns when the simulator hangs up
        QCOMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(stream, report(52, 0xFE) + report(52, 0xFC).left(3));
    }

    void newClientReplacesOld() {
        Simulator sim({}, Simulator::Silent);
        QVERIFY(sim.listening());
        QTcpSocket first;
        QVERIFY(connectAndGreet(sim, first));
        QTcpSocket second;
        QVERIFY(connectAndGreet(sim, second));
        QTRY_COMPARE_WITH_TIMEOUT(first.state(), QAbstractSocket::UnconnectedState, Wait);
        sim.write("set 7F\n");
        QCOMPARE(readAtLeast(second, 7), report(52, 0x7F));
    }

    void closeAndReset_data() {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<int>("error"); // what the client's next read meets: 0 = an orderly end
        QTest::newRow("close") << QByteArray("close") << 0;
        QTest::newRow("reset") << QByteArray("reset") << int(ECONNRESET);
    }

    void closeAndReset() {
        QFETCH(QByteArray, command);
        QFETCH(int, error);
        Simulator sim({}, Simulator::Silent);
        QVERIFY(sim.listening());
        // A plain descriptor: Qt reports an orderly close and a reset alike.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const auto closeFd = qScopeGuard([fd] { ::close(fd); });
        const timeval patience{Wait / 1000, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(sim.port());
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        QCOMPARE(::send(fd, Greeting.constData(), size_t(Greeting.size()), 0), ssize_t(Greeting.size()));
        QVERIFY(sim.waitFor("greeting ok"));
        sim.write(command + '\n');
        QVERIFY(sim.waitFor(command == "close" ? "closing client" : "resetting client"));
        char byte = 0;
        const ssize_t got = ::recv(fd, &byte, 1, 0);
        QCOMPARE(got, error == 0 ? ssize_t(0) : ssize_t(-1));
        if (error != 0)
            QCOMPARE(errno, error);
    }

    void exitsCleanly_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("quit") << "quit";
        QTest::newRow("end of input") << "eof";
        QTest::newRow("SIGTERM") << "term";
    }

    void exitsCleanly() {
        QFETCH(QString, how);
        Simulator sim({}, Simulator::Silent);
        QVERIFY(sim.listening());
        QTcpSocket client;
        QVERIFY(connectAndGreet(sim, client));
        if (how == "quit")
            sim.write("quit\n");
        else if (how == "eof")
            sim.process().closeWriteChannel();
        else
            sim.process().terminate();
        QVERIFY(sim.finished());
        QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.process().exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, Wait);
    }

    void loadTransitionsAddUp_data() {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("plain") << QStringList{"--seconds", "2"};
        QTest::newRow("split") << QStringList{"--seconds", "1", "--split"};
        QTest::newRow("burst, three inputs") << QStringList{"--seconds", "1", "--burst", "--bits", "0B"};
    }

    void loadTransitionsAddUp() {
        QFETCH(QStringList, options);
        Simulator sim(QStringList{"--rate", "40", "--seed", "11"} + options, Simulator::Silent);
        QVERIFY(sim.listening());
        sim.process().closeWriteChannel(); // load mode runs on without commands
        QTcpSocket client;
        QVERIFY(connectAndGreet(sim, client));

        QByteArray stream;
        QVERIFY(QTest::qWaitFor(
            [&] {
                stream.append(client.readAll());
                return client.state() == QAbstractSocket::UnconnectedState;
            },
            Wait * 2));
        stream.append(client.readAll());
        QVERIFY(sim.finished());
        QCOMPARE(sim.process().exitCode(), 0);

        const PerInput sent = sim.sent();
        const QList<int> printed(sent.cbegin(), sent.cend());
        const qint64 total = sim.transitions();
        const QList<int> received = transitionsIn(stream);
        QCOMPARE(received, printed);
        QCOMPARE(std::accumulate(received.cbegin(), received.cend(), qint64(0)), total);
        QVERIFY(total > 0);
        if (options.contains("0B")) {
            QCOMPARE(received.at(2) + received.at(4) + received.at(5) + received.at(6) + received.at(7), 0);
        }
    }
};

QTEST_GUILESS_MAIN(TstControllerSim)
#include "tst_controllersim.moc"
