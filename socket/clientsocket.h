#pragma once

#include "core/link/controllerlink.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <optional>

class QHostAddress;
class QHostInfo;
class QSocketNotifier;

// Error numbers reported by lastError(), in the Windows Sockets numbering the monitor logs.
namespace WinsockError {
constexpr int InvalidArgument = 10022;      // port text that is neither a number nor a service
constexpr int ProtocolNotSupported = 10043; // protocol other than TCP
constexpr int AddressNotAvailable = 10049;  // empty address
constexpr int NetworkDown = 10050;
constexpr int NetworkUnreachable = 10051;
constexpr int ConnectionAborted = 10053; // established connection dropped by the system
constexpr int ConnectionReset = 10054;
constexpr int AlreadyConnected = 10056; // open() while not closed
constexpr int NotConnected = 10057;     // send while not connected
constexpr int TimedOut = 10060;         // connect timed out
constexpr int ConnectionRefused = 10061;
constexpr int HostUnreachable = 10065;
constexpr int HostNotFound = 11001; // host name cannot be resolved
} // namespace WinsockError

// Maps a POSIX errno value of a socket call to its Windows Sockets number.
int winsockErrorFromErrno(int posixError);

// Event-driven, non-blocking TCP client for the event loop of the thread it lives on. A plain socket descriptor under
// QSocketNotifier, so every failure has its exact system error and is reported exactly once.
class ClientSocket : public ControllerLink {
    Q_OBJECT
public:
    static constexpr int DefaultConnectTimeout = 20000; // ms, about what a system connect gives up after

    explicit ClientSocket(QObject* parent = nullptr); // starts in wsClosed
    ~ClientSocket() override;

    void setAddress(const QString& address); // blanks around it are ignored; empty -> 10049 at open()
    void setPort(const QString& port);       // 1..65535, or a service name when not starting with a digit
    void setProtocol(const QString& protocol);
    QString address() const { return m_address; }
    QString port() const { return m_port; }
    QString protocol() const { return m_protocol; }

    // Covers the host-name lookup and the connect; 0 waits without limit.
    void setConnectTimeout(int msecs) { m_connectTimeout = msecs; }
    int connectTimeout() const { return m_connectTimeout; }

    // Asynchronous: the outcome comes as sessionConnected; faults found while starting come as errorOccurred.
    void open();
    // The link's open: address and port set, protocol TCP, then open().
    void open(const QString& address, const QString& port) override;
    // Synchronous: flushes what can go out at once, shuts down the sending direction, closes. State is wsClosed.
    void close() override;
    // All bytes, zeros included; what cannot go out at once is buffered and sent in order.
    void sendBuf(const QByteArray& bytes);
    void send(const QByteArray& bytes) override { sendBuf(bytes); }
    // Copies at most size bytes; returns the count, 0 or a negative value when nothing can be read.
    int receiveBuf(char* buffer, int size);
    int receive(char* buffer, int size) override { return receiveBuf(buffer, size); }

    TSocketState state() const override { return m_state.load(); } // safe from any thread
    int lastError() const override { return m_lastError; }
    qint64 bytesAvailable() const;
    qintptr socketDescriptor() const { return m_fd; }

    // The signals' receivers run on this object's thread and may destroy or close the socket. They must not throw:
    // Qt does not carry an exception through a signal's delivery, so each receiver deals with its own failures
    // (the monitor logs them; one that cannot greet a session closes it).

private:
    void startConnect(const QHostAddress& address);
    void hostLookedUp(const QHostInfo& info);
    void connectTimedOut();
    void finishConnect(int posixError);
    void readActivity();
    void writeActivity();
    void dispatchDataAvailable();
    void rearmRead();
    void readFailed(int posixError);
    void flushOutput();
    void closeSocket();
    void raiseError(int code);

    QString m_address;
    QString m_port;
    QString m_protocol = QStringLiteral("TCP");
    int m_connectTimeout = DefaultConnectTimeout;

    std::atomic<TSocketState> m_state{wsClosed}; // read from other threads too (a window shows it)
    int m_lastError = 0;
    int m_fd = -1;
    quint16 m_remotePort = 0;
    int m_lookupId = -1;
    quint64 m_serial = 0; // changes with every open and close, so late callbacks can tell they are stale
    bool m_connectFailed = false;
    bool m_inDataHandler = false;
    bool m_readQueued = false;
    std::optional<int> m_deferredReadFailure; // found by receiveBuf inside the handler; 0 = peer closed
    QByteArray m_output;
    QTimer m_connectTimer;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
};
