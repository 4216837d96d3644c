#pragma once

#include <QString>

#include <optional>

// The user's state folder: $XDG_STATE_HOME when it is an absolute path, otherwise ~/.local/state.
QString userStateFolder();

// A second home for the running number of one settings file, for the times that file cannot take it (a write-
// protected file or folder, a full disk): without it a restart would issue the numbers since the last good write
// again. One file per settings file in <state folder>/impulz/, named by a hash of the settings file's path (the
// path itself stands inside, for whoever wonders whose number it is).
class SequenceStateFile {
public:
    struct Contents {
        qint32 number = 0;
        // What the settings file held when this copy took over. While the settings file still holds exactly that,
        // it has taken no number since, and this copy is the newer one even when the numbering wrapped past 0.
        std::optional<qint32> settingsFileNumber;
    };

    explicit SequenceStateFile(const QString& settingsPath);

    QString path() const { return m_path; }
    // Nothing when the copy is missing or holds no number.
    std::optional<Contents> read() const;
    // Replaces the copy the way the settings file is replaced (temporary file, sync, rename, folder sync), creating
    // the folder; throws IniWriteError.
    void write(const Contents& contents) const;
    // True when the copy is gone afterwards (also when it was never there).
    bool remove() const;

private:
    QString m_settingsPath; // absolute, links resolved where they exist
    QString m_path;
};
