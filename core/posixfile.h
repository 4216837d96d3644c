#pragma once

#include <QByteArray>
#include <QString>

#ifdef Q_OS_UNIX
// Writes all of data to the descriptor, going on after interrupted and short writes; false on any error (errno
// tells which).
bool writeAllToFd(int fd, const QByteArray& data);
bool writeAllToFd(int fd, const char* data, size_t size);
#endif

// Removes what a crashed run of this program left in folder (not below it): files named prefix + "<pid>.<n>.tmp"
// whose process no longer exists. Temporary files of live processes, this one included, may still be in use and
// stay. Gives the number of files removed. Event files use the prefix ".event.", the settings file
// "." + its file name + ".".
int removeStaleTemporaryFiles(const QString& folder, const QString& prefix);
