#include "core/levelschannel.h"

#include "core/recorderservice.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool toAddress(const QString& path, sockaddr_un* address, QString* error) {
    const QByteArray name = QFile::encodeName(path);
    *address = {};
    address->sun_family = AF_UNIX;
    if (size_t(name.size()) >= sizeof address->sun_path) {
        if (error)
            *error = QStringLiteral("Cesta %1 je pro místní soket příliš dlouhá").arg(path);
        return false;
    }
    std::memcpy(address->sun_path, name.constData(), size_t(name.size()));
    return true;
}

QString systemError(const QString& what, const QString& path) {
    return QStringLiteral("%1 %2 (%3)").arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

QString levelsSocketPath(const QString& servicePath) {
    QString path = servicePath;
    if (path.endsWith(QStringLiteral(".sock")))
        path.chop(5);
    return path + QStringLiteral(".levels");
}

// ---- Accepting ----

namespace {

// The highest descriptor a connection may take. The system hands out the lowest free number, so a connection that
// got number n found every number below it taken: its number is a count of what is open, at no cost.
int highestForWindows() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > rlim_t(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    const int soft = int(limit.rlim_cur);
    return soft - std::min(LocalListener::Reserve, soft / 2) - 1;
}

} // namespace

LocalListener::LocalListener(QObject* parent) : QObject(parent) {}

LocalListener::~LocalListener() {
    delete m_notifier; // before the descriptor it watches
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(QFile::encodeName(m_path).constData());
    }
}

bool LocalListener::listen(const QString& path, QString* error) {
    sockaddr_un address;
    if (!toAddress(path, &address, error))
        return false;
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        if (error)
            *error = systemError(QStringLiteral("Nelze vytvořit soket"), path);
        return false;
    }
    // The instance lock is held, so a socket of that name can only be a dead recorder's.
    ::unlink(address.sun_path);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(address.sun_path, 0600) != 0 || ::listen(m_fd, 64) != 0) {
        if (error)
            *error = systemError(QStringLiteral("Nelze naslouchat na"), path);
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_path = path;
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &LocalListener::acceptPending);
    m_resume = new QTimer(this);
    m_resume->setSingleShot(true);
    connect(m_resume, &QTimer::timeout, m_notifier, [this] { m_notifier->setEnabled(true); });
    return true;
}

void LocalListener::acceptPending() {
    // A crowd of connections is taken a bounded number at a time, so the reports in between are not held up.
    for (int n = 0; n < 64; ++n) {
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // EMFILE, ENFILE, ENOBUFS, ENOMEM: the connection stays queued and would wake this at once again,
                // for ever; accepting rests and tries again later.
                m_notifier->setEnabled(false);
                m_resume->start(PauseMs);
            }
            return;
        }
        if (fd > highestForWindows()) {
            ::close(fd);
            continue;
        }
        emit accepted(fd);
    }
}

// ---- The recorder's side ----

LevelsServer::LevelsServer(QObject* parent) : QObject(parent) {
    connect(&m_listener, &LocalListener::accepted, this, &LevelsServer::take);
}

LevelsServer::~LevelsServer() {
    for (const Window& w : m_windows) {
        delete w.writable; // before the descriptor it watches
        ::close(w.fd);
    }
}

bool LevelsServer::listen(const QString& path, QString* error) {
    return m_listener.listen(path, error);
}

void LevelsServer::take(int fd) {
    if (peerUid(fd) != qint64(::getuid()) || m_windows.size() >= size_t(MaxWindows)) {
        ::close(fd);
        return;
    }
    // The window reads nothing but levels; a shut read side makes its stray writes fail rather than pile up.
    ::shutdown(fd, SHUT_RD);
    m_windows.push_back({fd, nullptr, -1});
}

void LevelsServer::send(quint8 levels) {
    // A window that went is dropped while sending, so the list is walked by index from the end.
    for (size_t i = m_windows.size(); i-- > 0;)
        sendTo(m_windows[i], levels);
}

void LevelsServer::sendTo(Window& w, quint8 levels) {
    if (w.writable) {
        w.pending = levels; // the byte before it still waits: only the latest is worth sending
        return;
    }
    ssize_t sent;
    do {
        sent = ::send(w.fd, &levels, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent == 1)
        return;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        w.pending = levels;
        const int fd = w.fd;
        w.writable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        connect(w.writable, &QSocketNotifier::activated, this, [this, fd] {
            const auto it =
                std::find_if(m_windows.begin(), m_windows.end(), [fd](const Window& x) { return x.fd == fd; });
            if (it == m_windows.end())
                return;
            it->writable->setEnabled(false);
            it->writable->deleteLater();
            it->writable = nullptr;
            const int pending = std::exchange(it->pending, -1);
            if (pending >= 0)
                sendTo(*it, quint8(pending));
        });
        return;
    }
    drop(w.fd); // the window went
}

void LevelsServer::drop(int fd) {
    const auto it = std::find_if(m_windows.begin(), m_windows.end(), [fd](const Window& x) { return x.fd == fd; });
    if (it == m_windows.end())
        return;
    if (it->writable) {
        it->writable->setEnabled(false);
        it->writable->deleteLater();
    }
    ::close(it->fd);
    m_windows.erase(it);
}

// ---- The window's side ----

LevelsReader::LevelsReader(QObject* parent) : QObject(parent) {}

LevelsReader::~LevelsReader() {
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

bool LevelsReader::connectTo(const QString& path, QString* error) {
    sockaddr_un address;
    if (!toAddress(path, &address, error))
        return false;
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    bool ok = m_fd >= 0 && ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (!ok) {
        if (error)
            *error = systemError(QStringLiteral("Nelze se připojit k"), path);
    } else if (peerUid(m_fd) != qint64(::getuid())) {
        ok = false;
        if (error)
            *error = QStringLiteral("záznam na pozadí patří jinému uživateli");
    }
    if (!ok && m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    return ok;
}

void LevelsReader::start() {
    if (m_fd < 0 || m_notifier)
        return;
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &LevelsReader::read);
    read(); // what came before the start
}

void LevelsReader::readPending() {
    if (m_notifier && m_notifier->isEnabled())
        read();
}

void LevelsReader::read() {
    quint8 buffer[256];
    for (;;) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            for (ssize_t i = 0; i < n; ++i)
                emit levels(buffer[i]);
            if (size_t(n) < sizeof buffer)
                return;
            continue;
        }
        if (n < 0 && (errno == EINTR))
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        m_notifier->setEnabled(false); // the recorder went
        emit closed();
        return;
    }
}
