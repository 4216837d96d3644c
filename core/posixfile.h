#pragma once

#include <QByteArray>

#ifdef Q_OS_UNIX
// Writes all of data to the descriptor, going on after interrupted and short writes; false on any error (errno
// tells which).
bool writeAllToFd(int fd, const QByteArray& data);
#endif
