#include "core/posixfile.h"

#ifdef Q_OS_UNIX
#include <cerrno>

#include <unistd.h>

bool writeAllToFd(int fd, const QByteArray& data) {
    const char* p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}
#endif
