#include "socket/clientsocket.h"
#include "support/testsupport.h"

#include <QEventLoop>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int Wait = 10000; // generous: the machine running the tests may be slow and busy

// What the layer reported, the way the monitor's handlers would see it.
struct Events {
    QList<quint16> sessions;
    QList<TSocketState> stateAtSession;
    QList<int> errors;
    bool greetOnSession = false;

    void attach(ClientSocket& socket) {
        QObject::connect(&socket, &ClientSocket::sessionConnected, [this, &socket](quint16 code) {
            sessions.append(code);
            stateAtSession.append(socket.state());
            if (greetOnSession) {
                socket.sendBuf(AreYouThere);
                socket.sendBuf(StateRequest);
            }
        });
        QObject::connect(&socket, &ClientSocket::errorOccurred, [this, &socket] { errors.append(socket.lastError()); });
    }
};

// A port nobody listens on: bound once, then released.
quint16 closedPort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

} // namespace

class TstClientSocket : public QObject {
    Q_OBJECT

    QTcpServer m_server;
    QTcpSocket* m_peer = nullptr;

    // Opens the socket towards m_server and waits until both ends see the session.
    bool connectToServer(ClientSocket& socket, Events& events) {
        events.attach(socket);
        socket.setAddress(QStringLiteral("127.0.0.1"));
        socket.setPort(QString::number(m_server.serverPort()));
        socket.open();
        if (!m_server.waitForNewConnection(Wait))
            return false;
        m_peer = m_server.nextPendingConnection();
        return QTest::qWaitFor([&] { return !events.sessions.isEmpty(); }, Wait) && events.sessions.first() == 0;
    }

private slots:
    void init() { QVERIFY(m_server.listen(QHostAddress::LocalHost, 0)); }

    void cleanup() {
        delete m_peer;
        m_peer = nullptr;
        m_server.close();
    }

    void connectsAndSendsEveryByte() {
        ClientSocket socket;
        QCOMPARE(socket.state(), wsClosed);
        Events events;
        events.greetOnSession = true;
        events.attach(socket);
        socket.setAddress(QStringLiteral("  127.0.0.1 "));
        socket.setPort(QString::number(m_server.serverPort()));
        socket.setProtocol(QStringLiteral("TCP"));
        socket.open();
        QVERIFY(socket.state() != wsClosed);
        QVERIFY(events.sessions.isEmpty()); // never reported from inside open()

        QVERIFY(m_server.waitForNewConnection(Wait));
        m_peer = m_server.nextPendingConnection();
        QTRY_COMPARE_WITH_TIMEOUT(events.sessions, QList<quint16>{0}, Wait);
        QCOMPARE(events.stateAtSession, QList<TSocketState>{wsConnected});
        QTRY_COMPARE_WITH_TIMEOUT(m_peer->bytesAvailable(), qint64(9), Wait);
        QCOMPARE(m_peer->readAll(), AreYouThere + StateRequest);

        const int fd = int(socket.socketDescriptor());
        int value = 0;
        socklen_t size = sizeof value;
        QCOMPARE(::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &size), 0);
        QVERIFY(value != 0);
        size = sizeof value;
        QCOMPARE(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &size), 0);
        QCOMPARE(value, 0);
        linger lingering{};
        size = sizeof lingering;
        QCOMPARE(::getsockopt(fd, SOL_SOCKET, SO_LINGER, &lingering, &size), 0);
        QCOMPARE(lingering.l_onoff, 1);
        QCOMPARE(lingering.l_linger, 0);

        socket.close();
        QCOMPARE(socket.state(), wsClosed);
        QTRY_COMPARE_WITH_TIMEOUT(m_peer->state(), QAbstractSocket::UnconnectedState, Wait);
        QVERIFY(events.errors.isEmpty());
    }

    void failedConnectClosesAfterHandler_data() {
        QTest::addColumn<bool>("greet");
        QTest::addColumn<QList<int>>("errors");
        // The first send finds the failed socket and closes it quietly; the second finds it closed.
        QTest::newRow("greeting sent anyway") << true << QList<int>{WinsockError::NotConnected};
        QTest::newRow("handler sends nothing") << false << QList<int>{};
    }

    void failedConnectClosesAfterHandler() {
        QFETCH(bool, greet);
        QFETCH(QList<int>, errors);
        const quint16 port = closedPort();
        QVERIFY(port != 0);

        ClientSocket socket;
        Events events;
        events.greetOnSession = greet;
        events.attach(socket);
        socket.setAddress(QStringLiteral("127.0.0.1"));
        socket.setPort(QString::number(port));
        socket.open();
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), wsClosed, Wait);
        QCOMPARE(events.sessions, QList<quint16>{quint16(WinsockError::ConnectionRefused)});
        QCOMPARE(events.stateAtSession, QList<TSocketState>{wsConnected});
        QCOMPARE(events.errors, errors);
        QCOMPARE(socket.lastError(), greet ? WinsockError::NotConnected : WinsockError::ConnectionRefused);

        // The same object connects again afterwards, which is what the watchdog relies on.
        events.sessions.clear();
        socket.setPort(QString::number(m_server.serverPort()));
        socket.open();
        QTRY_COMPARE_WITH_TIMEOUT(events.sessions, QList<quint16>{0}, Wait);
        QCOMPARE(socket.state(), wsConnected);
    }

    void connectTimesOut() {
        // A listener with a full accept queue drops further SYNs, so a connect to it never completes.
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
        const auto closeBoth = qScopeGuard([&] {
            ::close(filler);
            ::close(listener);
        });
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        QCOMPARE(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
        QCOMPARE(::listen(listener, 0), 0);
        QCOMPARE(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
        QCOMPARE(::connect(filler, reinterpret_cast<sockaddr*>(&address), size), 0);

        ClientSocket socket;
        socket.setConnectTimeout(300);
        Events events;
        events.greetOnSession = true;
        events.attach(socket);
        socket.setAddress(QStringLiteral("127.0.0.1"));
        socket.setPort(QString::number(ntohs(address.sin_port)));
        socket.open();
        QTRY_COMPARE_WITH_TIMEOUT(events.sessions.size(), 1, Wait);
        QCOMPARE(events.sessions.first(), quint16(WinsockError::TimedOut));
        QCOMPARE(socket.state(), wsClosed);
        QCOMPARE(events.errors, QList<int>{WinsockError::NotConnected});
    }

    void closeWhileConnectingReportsNothing() {
        const quint16 port = closedPort();
        ClientSocket socket;
        Events events;
        events.attach(socket);
        socket.setAddress(QStringLiteral("127.0.0.1"));
        socket.setPort(QString::number(port));
        socket.open();
        socket.close();
        QCOMPARE(socket.state(), wsClosed);

        // The abandoned attempt's refusal must not surface as a second session report.
        socket.setPort(QString::number(m_server.serverPort()));
        socket.open();
        QTRY_COMPARE_WITH_TIMEOUT(events.sessions, QList<quint16>{0}, Wait);
        QTRY_VERIFY_WITH_TIMEOUT(m_server.hasPendingConnections(), Wait);
        QCOMPARE(events.sessions, QList<quint16>{0});
        QVERIFY(events.errors.isEmpty());
    }

    void faultsWhileStarting_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<int>("code");
        QTest::newRow("empty address") << ""
                                       << "23"
                                       << "TCP" << WinsockError::AddressNotAvailable;
        QTest::newRow("blank address") << "   "
                                       << "23"
                                       << "TCP" << WinsockError::AddressNotAvailable;
        QTest::newRow("port 0") << "127.0.0.1"
                                << "0"
                                << "TCP" << WinsockError::InvalidArgument;
        QTest::newRow("port 65536") << "127.0.0.1"
                                    << "65536"
                                    << "TCP" << WinsockError::InvalidArgument;
        QTest::newRow("digits then text") << "127.0.0.1"
                                          << "23x"
                                          << "TCP" << WinsockError::InvalidArgument;
        QTest::newRow("negative") << "127.0.0.1"
                                  << "-1"
                                  << "TCP" << WinsockError::InvalidArgument;
        QTest::newRow("empty port") << "127.0.0.1"
                                    << ""
                                    << "TCP" << WinsockError::InvalidArgument;
        QTest::newRow("unknown service") << "127.0.0.1"
                                         << "no-such-service"
                                         << "TCP" << WinsockError::InvalidArgument;
        QTest::newRow("not TCP") << "127.0.0.1"
                                 << "23"
                                 << "UDP" << WinsockError::ProtocolNotSupported;
    }

    void faultsWhileStarting() {
        QFETCH(QString, address);
        QFETCH(QString, port);
        QFETCH(QString, protocol);
        QFETCH(int, code);
        ClientSocket socket;
        Events events;
        events.attach(socket);
        socket.setAddress(address);
        socket.setPort(port);
        socket.setProtocol(protocol);
        socket.open(); // must return normally, the fault arriving through the error event
        QCOMPARE(events.errors, QList<int>{code});
        QCOMPARE(socket.state(), wsClosed);
        QVERIFY(events.sessions.isEmpty());
    }

    void serviceNameIsLookedUp() {
        if (!::getservbyname("telnet", "tcp"))
            QSKIP("this system knows no telnet service");
        ClientSocket socket;
        Events events;
        events.attach(socket);
        socket.setAddress(QStringLiteral("127.0.0.1"));
        socket.setPort(QStringLiteral("telnet"));
        socket.open();
        // Whether port 23 answers or refuses, the name was taken as a port and a connect was tried.
        QTRY_COMPARE_WITH_TIMEOUT(events.sessions.size(), 1, Wait);
        QVERIFY(events.errors.isEmpty());
        socket.close();
    }

    void unresolvableHostName() {
        ClientSocket socket;
        socket.setConnectTimeout(5000); // bounds the wait should the name server not answer at all
        Events events;
        events.attach(socket);
        socket.setAddress(QStringLiteral("controller.invalid"));
        socket.setPort(QStringLiteral("23"));
        socket.open();
        QTRY_COMPARE_WITH_TIMEOUT(events.errors, QList<int>{WinsockError::HostNotFound}, Wait);
        QCOMPARE(socket.state(), wsClosed);
        QVERIFY(events.sessions.isEmpty());
    }

    void peerCloseIsSilent_data() {
        QTest::addColumn<bool>("reset");
        QTest::newRow("close") << false;
        QTest::newRow("reset") << true;
    }

    void peerCloseIsSilent() {
        QFETCH(bool, reset);
        ClientSocket socket;
        Events events;
        QVERIFY(connectToServer(socket, events));
        if (reset) {
            const linger abortive{1, 0};
            ::setsockopt(int(m_peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            m_peer->abort();
        } else {
            m_peer->disconnectFromHost();
        }
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), wsClosed, Wait);
        QVERIFY(events.errors.isEmpty());
        QCOMPARE(events.sessions.size(), 1);

        socket.sendBuf(AreYouThere); // the monitor's next send learns of it the usual way
        QCOMPARE(events.errors, QList<int>{WinsockError::NotConnected});
    }

    void unreadBytesAreAnnouncedAgain() {
        ClientSocket socket;
        Events events;
        QVERIFY(connectToServer(socket, events));
        QByteArray received;
        QList<int> counts;
        QObject::connect(&socket, &ClientSocket::dataAvailable, [&] {
            char buffer[255];
            const int n = socket.receiveBuf(buffer, int(sizeof buffer));
            counts.append(n);
            if (n > 0)
                received.append(buffer, n);
        });
        QByteArray sent;
        for (int i = 0; i < 600; ++i)
            sent.append(char(i % 256)); // zero bytes included
        m_peer->write(sent);
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), sent.size(), Wait);
        QCOMPARE(received, sent);
        QVERIFY2(counts.size() >= 3, "600 bytes cannot come in fewer than three reads of 255");
        for (int n : counts)
            QVERIFY2(n > 0, "data-available raised with nothing to read");
        QCOMPARE(socket.state(), wsConnected);
    }

    void sessionHandlerThatClosesEndsTheConnection() {
        // As the monitor does when it cannot greet a session: the handler closes the link inside the signal.
        ClientSocket socket;
        Events events;
        events.attach(socket);
        QObject::connect(&socket, &ClientSocket::sessionConnected, &socket, [&](quint16) { socket.close(); });
        socket.setAddress(QStringLiteral("127.0.0.1"));
        socket.setPort(QString::number(m_server.serverPort()));
        socket.open();
        QVERIFY(m_server.waitForNewConnection(Wait));
        m_peer = m_server.nextPendingConnection();
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), wsClosed, Wait);
        QTRY_COMPARE_WITH_TIMEOUT(m_peer->state(), QAbstractSocket::UnconnectedState, Wait);
        QVERIFY(events.errors.isEmpty());
    }

    void dataAvailableIsNeverReentrant() {
        ClientSocket socket;
        Events events;
        QVERIFY(connectToServer(socket, events));
        const QByteArray first(300, 'a'); // more than one read, so bytes are left over too
        const QByteArray second("bcdef");
        QByteArray received;
        int depth = 0;
        int calls = 0;
        bool reentered = false;
        QObject::connect(&socket, &ClientSocket::dataAvailable, [&] {
            reentered = reentered || depth > 0;
            ++depth;
            char buffer[255];
            const int n = socket.receiveBuf(buffer, int(sizeof buffer));
            if (n > 0)
                received.append(buffer, n);
            if (++calls == 1) {
                // A modal box: a nested loop runs while the controller sends more.
                m_peer->write(second);
                QEventLoop loop;
                QTimer poll;
                bool arrived = false;
                connect(&poll, &QTimer::timeout, &loop, [&] {
                    if (!arrived && socket.bytesAvailable() >= first.size() - n + second.size()) {
                        arrived = true;
                        QTimer::singleShot(50, &loop, &QEventLoop::quit); // a few more turns of the loop
                    }
                });
                QTimer::singleShot(Wait, &loop, &QEventLoop::quit);
                poll.start(5);
                loop.exec();
            }
            --depth;
        });
        m_peer->write(first);
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), first.size() + second.size(), Wait);
        QVERIFY(!reentered);
        QCOMPARE(received, first + second);
    }

    void destroyedInsideHandler_data() {
        QTest::addColumn<bool>("inSession");
        QTest::newRow("session-connected") << true;
        QTest::newRow("data-available") << false;
    }

    void destroyedInsideHandler() {
        QFETCH(bool, inSession);
        auto* socket = new ClientSocket;
        bool destroyed = false;
        connect(socket, &QObject::destroyed, this, [&] { destroyed = true; });
        const auto leftover = qScopeGuard([&] { delete socket; });
        const auto destroy = [&socket] {
            delete socket;
            socket = nullptr;
        };
        if (inSession)
            QObject::connect(socket, &ClientSocket::sessionConnected, [&](quint16) { destroy(); });
        else
            QObject::connect(socket, &ClientSocket::dataAvailable, destroy);
        socket->setAddress(QStringLiteral("127.0.0.1"));
        socket->setPort(QString::number(m_server.serverPort()));
        socket->open();
        QVERIFY(m_server.waitForNewConnection(Wait));
        m_peer = m_server.nextPendingConnection();
        m_peer->write("x");
        QTRY_VERIFY_WITH_TIMEOUT(destroyed, Wait);
        QTRY_COMPARE_WITH_TIMEOUT(m_peer->state(), QAbstractSocket::UnconnectedState, Wait);
    }
};

QTEST_GUILESS_MAIN(TstClientSocket)
#include "tst_clientsocket.moc"
