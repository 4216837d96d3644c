#pragma once

// A controller on 127.0.0.1 inside the test: it accepts every session, keeps what each one received and sends what
// the test gives it on the latest one.

#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

class FakeController {
public:
    FakeController() {
        QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection()) {
                const qsizetype index = m_sessions.size();
                m_sessions.append(s);
                m_received.append(QByteArray());
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, index] { m_received[index] += s->readAll(); });
            }
        });
    }
    FakeController(const FakeController&) = delete;
    FakeController& operator=(const FakeController&) = delete;

    quint16 port() const { return m_server.serverPort(); }
    int sessionCount() const { return int(m_sessions.size()); }
    QTcpSocket* last() const { return m_sessions.isEmpty() ? nullptr : m_sessions.last(); }
    // The bytes the given session has received so far; empty for a session that has not been.
    QByteArray received(int session) const { return m_received.value(session); }

    void send(const QByteArray& bytes) {
        QVERIFY(last());
        last()->write(bytes);
        last()->flush();
    }

private:
    QTcpServer m_server;
    QList<QTcpSocket*> m_sessions; // children of the server
    QList<QByteArray> m_received;
};
