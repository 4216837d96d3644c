#include "socket/clientsocket.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

// The descriptor calls below are the BSD socket interface; a Windows build swaps them for their Winsock twins
// (closesocket, ioctlsocket, WSAGetLastError, whose numbers need no mapping).

namespace {

#ifdef MSG_NOSIGNAL
constexpr int SendFlags = MSG_NOSIGNAL; // a broken connection must not kill the program with SIGPIPE
#else
constexpr int SendFlags = 0;
#endif

// Errors that mean the connection is gone rather than that the call was wrong.
bool isBrokenConnection(int error) {
    switch (error) {
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
    case ECONNABORTED:
    case ETIMEDOUT:
    case ENETDOWN:
    case ENETUNREACH:
    case ENETRESET:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ESHUTDOWN:
        return true;
    default:
        return false;
    }
}

// 0 when the text is neither a port number 1..65535 nor a known TCP service.
quint16 portFromText(const QString& text) {
    const QString port = text.trimmed();
    if (port.isEmpty())
        return 0;
    if (port.at(0) >= u'0' && port.at(0) <= u'9') {
        bool ok = false;
        const uint value = port.toUInt(&ok, 10);
        return ok && value >= 1 && value <= 65535 ? quint16(value) : 0;
    }
    const QByteArray name = port.toLatin1();
    const servent* service = ::getservbyname(name.constData(), "tcp");
    return service ? ntohs(quint16(service->s_port)) : 0;
}

void setOption(int fd, int level, int name, const void* value, socklen_t size) {
    // A refused option leaves a usable connection, so it is not worth failing the connect for.
    (void)::setsockopt(fd, level, name, value, size);
}

} // namespace

int winsockErrorFromErrno(int posixError) {
    switch (posixError) {
    case 0:
        return 0;
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EPERM:
    case EACCES:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return WinsockError::InvalidArgument;
    case EMFILE:
    case ENFILE:
        return 10024;
    case EAGAIN:
        return 10035;
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return WinsockError::ProtocolNotSupported;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return WinsockError::AddressNotAvailable;
    case ENETDOWN:
        return WinsockError::NetworkDown;
    case ENETUNREACH:
        return WinsockError::NetworkUnreachable;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return WinsockError::ConnectionAborted;
    case ECONNRESET:
        return WinsockError::ConnectionReset;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EISCONN:
        return WinsockError::AlreadyConnected;
    case ENOTCONN:
        return WinsockError::NotConnected;
    case EPIPE:
    case ESHUTDOWN:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return WinsockError::TimedOut;
    case ECONNREFUSED:
        return WinsockError::ConnectionRefused;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return WinsockError::HostUnreachable;
    default:
        return WinsockError::InvalidArgument;
    }
}

ClientSocket::ClientSocket(QObject* parent)
    : ControllerLink(parent), m_connectTimer(this), m_readNotifier(new QSocketNotifier(QSocketNotifier::Read, this)),
      m_writeNotifier(new QSocketNotifier(QSocketNotifier::Write, this)) {
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, &ClientSocket::connectTimedOut);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &ClientSocket::readActivity);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &ClientSocket::writeActivity);
}

ClientSocket::~ClientSocket() {
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
    if (m_fd >= 0) {
        m_readNotifier->setEnabled(false);
        m_writeNotifier->setEnabled(false);
        ::close(m_fd);
    }
}

void ClientSocket::setAddress(const QString& address) {
    m_address = address;
}

void ClientSocket::setPort(const QString& port) {
    m_port = port;
}

void ClientSocket::setProtocol(const QString& protocol) {
    m_protocol = protocol;
}

void ClientSocket::open() {
    if (m_state != wsClosed) {
        raiseError(WinsockError::AlreadyConnected);
        return;
    }
    const QString host = m_address.trimmed();
    if (host.isEmpty()) {
        raiseError(WinsockError::AddressNotAvailable);
        return;
    }
    const QString protocol = m_protocol.trimmed();
    if (!protocol.isEmpty() && protocol.compare(u"TCP", Qt::CaseInsensitive) != 0) {
        raiseError(WinsockError::ProtocolNotSupported);
        return;
    }
    m_remotePort = portFromText(m_port);
    if (m_remotePort == 0) {
        raiseError(WinsockError::InvalidArgument);
        return;
    }

    ++m_serial;
    m_state = wsConnecting;
    m_connectFailed = false;
    if (m_connectTimeout > 0)
        m_connectTimer.start(m_connectTimeout);

    QHostAddress literal;
    if (literal.setAddress(host)) {
        startConnect(literal);
        return;
    }
    // Asynchronous, so a slow name server does not freeze the window; the connect timer bounds it.
    m_lookupId = QHostInfo::lookupHost(host, this, &ClientSocket::hostLookedUp);
}

void ClientSocket::hostLookedUp(const QHostInfo& info) {
    if (info.lookupId() != m_lookupId)
        return;
    m_lookupId = -1;
    if (m_state != wsConnecting || m_fd >= 0)
        return;

    const QList<QHostAddress> addresses = info.addresses();
    if (info.error() != QHostInfo::NoError || addresses.isEmpty()) {
        closeSocket();
        raiseError(WinsockError::HostNotFound);
        return;
    }
    // The controllers are IPv4 devices; a name that also has an IPv6 address should still reach them.
    QHostAddress chosen = addresses.first();
    for (const QHostAddress& address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            chosen = address;
            break;
        }
    }
    startConnect(chosen);
}

void ClientSocket::startConnect(const QHostAddress& address) {
    sockaddr_storage remote{};
    socklen_t remoteSize = 0;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&remote);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(m_remotePort);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        in6->sin6_scope_id = address.scopeId().toUInt();
        remoteSize = sizeof(sockaddr_in6);
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&remote);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(m_remotePort);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        remoteSize = sizeof(sockaddr_in);
    }

    const int fd = ::socket(remote.ss_family, SOCK_STREAM, 0);
    if (fd < 0) {
        const int error = errno;
        closeSocket();
        raiseError(winsockErrorFromErrno(error));
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);

    // Keep-alive lets the system notice a controller that vanished without a word; linger 0 makes a close
    // drop unsent data at once instead of holding the port. Nagle stays on.
    const int on = 1;
    setOption(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    const linger noLinger{1, 0};
    setOption(fd, SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger);
#ifdef SO_NOSIGPIPE
    setOption(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif

    m_fd = fd;
    m_readNotifier->setSocket(fd);
    m_writeNotifier->setSocket(fd);

    // An interrupted connect goes on in the background, like one in progress.
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&remote), remoteSize);
    const int error = result < 0 ? errno : 0;
    if (result == 0 || error == EINPROGRESS || error == EINTR) {
        // The socket turns writable when the connect is done, either way; even an immediate success is
        // reported from the event loop, never from inside open().
        m_writeNotifier->setEnabled(true);
        return;
    }
    const quint64 serial = m_serial;
    QMetaObject::invokeMethod(
        this,
        [this, serial, error] {
            if (serial == m_serial && m_state == wsConnecting)
                finishConnect(error);
        },
        Qt::QueuedConnection);
}

void ClientSocket::connectTimedOut() {
    if (m_state != wsConnecting)
        return;
    if (m_fd < 0) {
        // Still looking the name up: a name that does not resolve in time does not resolve.
        closeSocket();
        raiseError(WinsockError::HostNotFound);
        return;
    }
    finishConnect(ETIMEDOUT);
}

void ClientSocket::finishConnect(int posixError) {
    m_connectTimer.stop();
    m_writeNotifier->setEnabled(false);
    const quint16 code = quint16(winsockErrorFromErrno(posixError));
    if (code != 0) {
        m_lastError = code;
        m_connectFailed = true;
    }
    // The handler sees the state connected even for a failed attempt; its sends then close the socket.
    m_state = wsConnected;

    const QPointer<ClientSocket> self(this);
    const quint64 serial = m_serial;
    emit sessionConnected(code);
    if (!self || serial != m_serial)
        return; // destroyed, or closed (and perhaps reopened) by the handler
    if (code != 0) {
        closeSocket();
        return;
    }
    rearmRead(); // data that came while the handler ran is reported now, after the session
}

void ClientSocket::writeActivity() {
    if (m_state == wsConnecting && m_fd >= 0) {
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0)
            error = errno;
        finishConnect(error);
        return;
    }
    if (m_state == wsConnected && !m_connectFailed && m_fd >= 0) {
        flushOutput();
        return;
    }
    m_writeNotifier->setEnabled(false);
}

void ClientSocket::flushOutput() {
    while (!m_output.isEmpty()) {
        const ssize_t sent = ::send(m_fd, m_output.constData(), size_t(m_output.size()), SendFlags);
        if (sent > 0) {
            m_output.remove(0, qsizetype(sent));
            continue;
        }
        const int error = sent < 0 ? errno : EAGAIN;
        if (error == EINTR)
            continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            m_writeNotifier->setEnabled(true);
            return;
        }
        closeSocket();
        // A connection that turns out to be gone closes quietly; the watchdog notices the silence.
        if (!isBrokenConnection(error))
            raiseError(winsockErrorFromErrno(error));
        return;
    }
    m_writeNotifier->setEnabled(false);
}

void ClientSocket::sendBuf(const QByteArray& bytes) {
    if (m_state != wsConnected) {
        raiseError(WinsockError::NotConnected);
        return;
    }
    if (m_connectFailed) {
        closeSocket();
        return;
    }
    if (bytes.isEmpty())
        return;
    m_output.append(bytes);
    if (!m_writeNotifier->isEnabled())
        flushOutput();
}

void ClientSocket::readActivity() {
    if (m_state != wsConnected || m_connectFailed || m_fd < 0)
        return;
    // Level-triggered: left enabled while a handler runs a nested event loop, it would fire without end.
    m_readNotifier->setEnabled(false);
    if (m_inDataHandler)
        return; // picked up again when the running handler returns
    if (bytesAvailable() > 0) {
        dispatchDataAvailable();
        return;
    }
    char probe = 0;
    const ssize_t peeked = ::recv(m_fd, &probe, 1, MSG_PEEK);
    if (peeked > 0) {
        dispatchDataAvailable();
    } else if (peeked == 0) {
        readFailed(0);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        m_readNotifier->setEnabled(true);
    } else {
        readFailed(errno);
    }
}

void ClientSocket::dispatchDataAvailable() {
    const QPointer<ClientSocket> self(this);
    const quint64 serial = m_serial;
    m_inDataHandler = true;
    emit dataAvailable();
    if (!self)
        return;
    m_inDataHandler = false;
    if (serial == m_serial && m_deferredReadFailure) {
        const int error = *m_deferredReadFailure;
        m_deferredReadFailure.reset();
        readFailed(error);
        return;
    }
    rearmRead();
}

void ClientSocket::rearmRead() {
    if (m_state != wsConnected || m_connectFailed || m_fd < 0 || m_inDataHandler)
        return;
    if (bytesAvailable() > 0) {
        // The notifier reports arrivals only; bytes left unread would never be announced again.
        if (!m_readQueued) {
            m_readQueued = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    m_readQueued = false;
                    readActivity();
                },
                Qt::QueuedConnection);
        }
        return;
    }
    m_readNotifier->setEnabled(true);
}

void ClientSocket::readFailed(int posixError) {
    closeSocket();
    // A peer that closes or resets is left to the watchdog; anything else is the system dropping the link.
    if (posixError != 0 && posixError != ECONNRESET && posixError != EPIPE)
        raiseError(WinsockError::ConnectionAborted);
}

int ClientSocket::receiveBuf(char* buffer, int size) {
    if (!buffer || size <= 0)
        return 0;
    if (m_state != wsConnected || m_connectFailed || m_fd < 0)
        return -1;
    ssize_t received = 0;
    do {
        received = ::recv(m_fd, buffer, size_t(size), 0);
    } while (received < 0 && errno == EINTR);
    if (received > 0)
        return int(received);

    const int error = received == 0 ? 0 : errno;
    if (error == EAGAIN || error == EWOULDBLOCK)
        return -1;
    // The system hands out a pending error once only, so it is kept for when the running handler is done.
    if (m_inDataHandler)
        m_deferredReadFailure = error;
    else
        readFailed(error);
    return received == 0 ? 0 : -1;
}

qint64 ClientSocket::bytesAvailable() const {
    if (m_state != wsConnected || m_connectFailed || m_fd < 0)
        return 0;
    int count = 0;
    if (::ioctl(m_fd, FIONREAD, &count) < 0)
        return 0;
    return count;
}

void ClientSocket::open(const QString& address, const QString& port) {
    setAddress(address);
    setPort(port);
    setProtocol(QStringLiteral("TCP"));
    open();
}

void ClientSocket::close() {
    closeSocket();
}

void ClientSocket::closeSocket() {
    if (m_lookupId >= 0) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    m_connectTimer.stop();
    if (m_fd >= 0) {
        // Notifiers go quiet before the descriptor does, or the event loop would poll a closed number.
        m_readNotifier->setEnabled(false);
        m_writeNotifier->setEnabled(false);
        if (m_state == wsConnected && !m_connectFailed) {
            if (!m_output.isEmpty())
                (void)::send(m_fd, m_output.constData(), size_t(m_output.size()), SendFlags);
            ::shutdown(m_fd, SHUT_WR);
        }
        ::close(m_fd);
        m_fd = -1;
    }
    m_output.clear();
    m_state = wsClosed;
    m_connectFailed = false;
    m_deferredReadFailure.reset();
    ++m_serial;
}

void ClientSocket::raiseError(int code) {
    m_lastError = code;
    // Faults are reported through the event, never thrown at whoever started the operation.
    emit errorOccurred();
}
