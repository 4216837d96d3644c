#include "core/serving/locallistener.h"

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
