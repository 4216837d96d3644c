#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// Where a link is, as the monitor tests it: only "closed" matters to it.
enum TSocketState {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsSocksConnected,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};

// The link to the controller, as the monitor core needs it: open and close, send, receive, and its events as
// signals on the thread the link lives on. The TCP client in socket/ is the one the program uses; tests that are
// not about TCP feed bytes through a fake one.
class ControllerLink : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Asynchronous: the outcome comes as sessionConnected (a code of 0 means connected); faults found while starting
    // come as errorOccurred.
    virtual void open(const QString& address, const QString& port) = 0;
    // Synchronous: the state is wsClosed when it returns.
    virtual void close() = 0;
    // All bytes, in order; a send while not connected raises errorOccurred.
    virtual void send(const QByteArray& bytes) = 0;
    // Copies at most size bytes of what has arrived; the count, or 0 or less when nothing can be read.
    virtual int receive(char* buffer, int size) = 0;
    virtual TSocketState state() const = 0; // safe from any thread
    // The last error in the Windows Sockets numbering the log shows.
    virtual int lastError() const = 0;

    // Receivers of these signals must not throw: Qt carries no exception through a signal's delivery.
signals:
    void sessionConnected(quint16 errorCode);
    void dataAvailable(); // raised again while bytes remain unread after its handlers return
    void errorOccurred();
};
