#pragma once

#include <QString>

// Keeps a second monitor (with windows or headless) from running the recorder over the same settings file: two
// recorders would issue the same running numbers and write every event twice. The lock is a file beside the
// settings file, held with flock() for the life of the object, so a crashed monitor never leaves it taken. When the
// settings file's folder takes no new files, the settings file itself carries the lock.
class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    static QString lockPathFor(const QString& settingsPath) { return settingsPath + QStringLiteral(".lock"); }

    // False when another monitor holds the lock or the lock file cannot be made; errorText() then says which.
    bool acquire(const QString& settingsPath);
    QString errorText() const { return m_error; }

private:
    int m_fd = -1;
    QString m_error;
};
