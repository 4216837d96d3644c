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

// The file that path finally names, as the kernel finds it: every symbolic link followed, also a chain of them and
// links in the folders above, and "." and ".." taken where they stand ("a/../b" where a is a link leads below the
// link's target, not beside a). A file that does not exist yet (the end of a dangling link, too) gives the
// resolved folder plus its name, so the first write goes where later reads find it. A folder that does not exist
// either gives the path made absolute, with nothing resolved.
QString resolvedFilePath(const QString& path);
