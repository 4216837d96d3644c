#pragma once

#include <QList>
#include <QString>

#include <optional>

// The user's state folder: $XDG_STATE_HOME when it is an absolute path, otherwise ~/.local/state.
QString userStateFolder();

// A second home for the running number of one settings file, for the times that file cannot take it (a write-
// protected file or folder, a read-only mount, a full disk): without it a restart would issue the numbers since the
// last good write again. One file per settings file in <state folder>/impulz/, named by the settings file's
// identity (its device and inode, as the lock knows it), so every path to the file finds the same copy: a link, a
// hard link, another mount of the same folder. The copy also names the file by its path, and a copy is found by
// either: the file replaced by another program (a new inode) still finds the copy it had, and so does a copy named
// by path (as copies were named before, and still are for a settings file that does not exist).
class SequenceStateFile {
public:
    struct Contents {
        qint32 number = 0;
        // What the settings file held when this copy took over. While the settings file still holds exactly that,
        // it has taken no number since, and this copy is the newer one even when the numbering wrapped past 0.
        std::optional<qint32> settingsFileNumber;
    };

    explicit SequenceStateFile(const QString& settingsPath);

    // Where write() puts the copy.
    QString path() const { return m_path; }
    // Every copy that belongs to the settings file, by identity or by path; empty when there is none. Copies that
    // hold no number are left out.
    QList<Contents> readAll() const;
    // Replaces the copy the way the settings file is replaced (temporary file, sync, rename, folder sync), creating
    // the folder, and then removes the file's other copies, which this one supersedes; throws IniWriteError.
    void write(const Contents& contents) const;
    // True when no copy of the file is left afterwards (also when there never was one).
    bool remove() const;

private:
    // The copies that belong to the settings file, this object's own included when it exists.
    QStringList copies() const;

    QString m_settingsPath; // absolute, links resolved where they exist
    QString m_identity;     // "<device>:<inode>" of the settings file, empty when it is no regular file
    QString m_path;
};
