#pragma once

// A controller link that the test drives by hand, for core tests that are not about TCP: the test reports the
// session's outcome, delivers the controller's bytes and reads back what the monitor sent, with no socket and no
// waiting.

#include "core/link/controllerlink.h"
#include "socket/clientsocket.h"

#include <QByteArray>
#include <QList>

#include <atomic>

class FakeLink : public ControllerLink {
public:
    using ControllerLink::ControllerLink;

    void open(const QString&, const QString&) override {
        m_pending.clear();
        m_sent.append(QByteArray());
        m_state = wsConnecting;
    }
    void close() override {
        m_pending.clear();
        m_state = wsClosed;
    }
    void send(const QByteArray& bytes) override {
        if (m_state != wsConnected) {
            fail(WinsockError::NotConnected);
            return;
        }
        m_sent.last() += bytes;
    }
    int receive(char* buffer, int size) override {
        const int n = int(qMin<qsizetype>(size, m_pending.size()));
        std::copy_n(m_pending.constData(), n, buffer);
        m_pending.remove(0, n);
        return n;
    }
    TSocketState state() const override { return m_state; }
    int lastError() const override { return m_lastError; }

    // The outcome of the last open(): 0 connects, another code is the attempt's error.
    void reportSession(quint16 errorCode = 0) {
        m_state = errorCode == 0 ? wsConnected : wsClosed;
        emit sessionConnected(errorCode);
    }
    // Bytes from the controller, announced until the monitor has read them all (as the TCP link does).
    void deliver(const QByteArray& bytes) {
        m_pending += bytes;
        for (qsizetype before = -1; !m_pending.isEmpty() && m_pending.size() != before;) {
            before = m_pending.size();
            emit dataAvailable();
        }
    }
    // The controller hung up: the link is closed without an error.
    void hangUp() { close(); }
    void fail(int code) {
        m_lastError = code;
        emit errorOccurred();
    }

    // What the monitor sent, one entry per open().
    const QList<QByteArray>& sent() const { return m_sent; }

private:
    std::atomic<TSocketState> m_state{wsClosed};
    std::atomic<int> m_lastError{0};
    QByteArray m_pending;
    QList<QByteArray> m_sent;
};
