#pragma once

#include <QString>

// Keeps a second monitor (with windows or headless) from running the recorder over the same settings file: two
// recorders would issue the same running numbers and write every event twice.
//
// The lock follows the file, not the path that names it. The path is resolved first (every symbolic link, also
// chains of them and links in the folders above, and ".."), and the lock is a file beside the resolved settings
// file, "<resolved path>.lock", held with flock() for the life of the object, so a crashed monitor never leaves it
// taken. Another user's lock file that this user may not write is opened for reading only: flock() does not care,
// so root's monitor and a user's monitor still exclude each other.
//
// A hard link is another name of the same inode, and its lock file would stand beside that name. So the settings
// file itself is locked as well, as it is when the monitor starts. That lock stays on the inode the monitor found.
// A file with several names is always rewritten in place, so its links stay one file and keep sharing that lock;
// a file with one name may be replaced by a new inode, which a later start through the same path meets the lock
// file for. When the folder takes no lock file, the settings file is rewritten in place and keeps its inode, and
// its own lock alone keeps a second monitor out.
class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    static QString lockPathFor(const QString& settingsPath);

    // False when another monitor holds the lock or the lock file cannot be made; errorText() then says which.
    bool acquire(const QString& settingsPath);
    QString errorText() const { return m_error; }
    // After a refusal: true when another monitor holds the lock, false when it could not be tried (the lock file
    // cannot be made, the file system refuses locks).
    bool heldByAnother() const { return m_held; }
    // The settings file as acquire() found it, every link resolved (for a file still missing: its resolved folder
    // and its name). Two paths to the same file give the same text, so it can name what belongs to the file.
    QString resolvedPath() const { return m_resolved; }

private:
    // Closes what acquire() opened and words errno; always false.
    bool fail(int fd, int fileFd, const QString& lockedPath, const QString& settingsPath);

    int m_fd = -1;
    int m_fileFd = -1;
    QString m_resolved;
    QString m_error;
    bool m_held = false;
};
