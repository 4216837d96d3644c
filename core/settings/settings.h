#pragma once

#include "core/recording/clock.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QVariant>

#include <array>
#include <functional>
#include <memory>
#include <optional>

class IniFile;

// The monitor's settings: one table of keys with their names in the settings file, defaults and bounds, held in
// one place that the settings dialog edits and the monitor core reads at the moment of use. An edit is in force as
// soon as it is made, before and without a save.
//
// The dialog writes on the GUI thread while the core reads on its own thread, so every value sits behind one
// mutex; changed(key) is emitted in the writer's thread (queued to receivers on other threads).
class Settings : public QObject {
    Q_OBJECT
public:
    // The keys carry the names of the dialog's fields.
    enum Key : int {
        Address,
        Port,
        Description,
        LineNumber,
        Autostart,
        AutoConnect,
        ClearLog,
        LogLimit,
        Reconnect,
        WatchdogSeconds,
        NameTemplate,
        Watched0,
        Folder0 = Watched0 + 8,
        KeyCount = Folder0 + 8
    };
    Q_ENUM(Key)
    enum class Kind { Text, Flag, Number };

    struct Entry {
        Key key;
        QString iniKey; // name in the settings file
        Kind kind;
        QVariant initial;     // what the field holds before the first load
        QVariant fileDefault; // what a load gives when the file has no such key
        int minimum = 0;      // numbers only
        int maximum = 0;
    };
    // Every key, in the order a load reads them and a save writes them.
    static const std::array<Entry, KeyCount>& table();
    static const Entry& entry(Key key);
    static Key bitKey(int bit) { return Key(Watched0 + bit); }
    static Key pathKey(int bit) { return Key(Folder0 + bit); }

    // The settings file's one section and the key of the running number.
    static const QString Section;
    static const QString SequenceKey;

    // clock: what the file names read their date and time from, and the clock of everyone who reads these
    // settings (the recorder, the publisher, the windows); it is never replaced, so any thread may read it.
    explicit Settings(std::shared_ptr<const Clock> clock = Clock::system(), QObject* parent = nullptr);
    ~Settings() override;

    const Clock& clock() const { return *m_clock; }
    std::shared_ptr<const Clock> sharedClock() const { return m_clock; }

    QString filePath() const;
    void setFilePath(const QString& path);

    QString text(Key key) const;
    bool flag(Key key) const;
    int number(Key key) const; // always within the key's bounds
    QVariant value(Key key) const;

    bool watched(int bit) const { return flag(bitKey(bit)); }
    QString outputDirectory(int bit) const { return text(pathKey(bit)); }

    // Puts a value (a number is clamped to its bounds). A different value emits changed(key); a change of
    // Autostart, AutoConnect or ClearLog then applies the autostart entry, which may throw AutostartError after
    // the new value is in place.
    void set(Key key, const QVariant& value);
    // The same without touching the autostart entry: the value was already applied by the window that made it.
    // True when the value was different.
    bool setApplied(Key key, const QVariant& value);

    // The program the autostart entry starts: this executable unless the recorder runs apart from the windows.
    void setAutostartProgram(const QString& path);

    // The running number that %numco% issues. It is 0 until the first load.
    qint32 sequenceNumber() const;
    void setSequenceNumber(qint32 n);

    // Expands the file-name template for one input under the lock, so the dialog's preview and the recorder never
    // issue the same number. A preview shows the running number without using it up; a recorded event uses it, and
    // advanced then tells whether it moved on (it has to be stored then).
    QString expandName(int bit, bool preview, bool* advanced = nullptr);

    // Fills every key from the settings file in the table's order, and the running number. Stops at the first
    // key whose change throws (the autostart entry) and rethrows; the keys after it keep their values.
    // Loads, saves and stores run on this object's thread (the recorder's), whichever thread asks: the caller
    // waits, and an error comes back to it.
    virtual void load();
    // Writes every key but the running number to the settings file in one go; throws IniWriteError.
    virtual void save();
    // Runs f on this object's thread and waits for it; an exception comes back to the caller. Whatever reads or
    // writes the settings file goes through here.
    void runOnOwnThread(const std::function<void()>& f);

    // How a load or save that is not waited for ends: the error text, empty when it succeeded.
    using Completion = std::function<void(const QString& error)>;
    // Runs f on this object's thread without waiting for it: done then runs on context's thread, from its event
    // loop, with the text of what f threw or an empty text. A context that is gone by then takes nothing; f runs
    // all the same. Requests run one after another, in the order they were made.
    void runOnOwnThreadLater(std::function<void()> f, QObject* context, Completion done);
    // load() and save() for a window, which must not wait for the recorder: the recorder's thread may sleep in its
    // start-up or reconnect wait, or hang on a settings file whose mount went away.
    virtual void loadLater(QObject* context, Completion done);
    virtual void saveLater(QObject* context, Completion done);
    // Where a stored running number went: the settings file, or, when that file cannot take it, the copy in the
    // user's state folder (sequenceStatePath()), which the next load takes when it is the newer one.
    enum class SequenceCopy { SettingsFile, StateCopy };
    // Writes the running number to the settings file, or to the state copy when the settings file refuses it;
    // settingsFileError then tells why the settings file refused. Throws IniWriteError (naming the settings file,
    // with both reasons) only when neither could take it.
    SequenceCopy storeSequenceNumber(qint32 n, QString* settingsFileError = nullptr);
    // The state copy of the running number that belongs to the settings file.
    QString sequenceStatePath() const;

    // A crash can leave the settings file's temporary copy behind (the file itself is whole either way); removes
    // those of processes that no longer run.
    void removeStaleTemporaryFiles() const;

signals:
    void changed(Settings::Key key);
    void loaded();                          // a load finished without error
    void nameExpanded(const QString& name); // the latest expanded name, for the dialog's preview
    void logLine(const QString& line);      // something the log says, the autostart entry left to another file

private:
    void applyAutostart();
    qint32 loadSequenceNumber(const IniFile& ini);

    const std::shared_ptr<const Clock> m_clock;
    mutable QMutex m_mutex;
    QString m_filePath;
    std::array<QVariant, KeyCount> m_values;
    qint32 m_sequenceNumber = 0;
    QString m_autostartProgram;

    // One store of the running number at a time, and the load's reading of it between them.
    QMutex m_sequenceStoreMutex;
    std::optional<qint32> m_settingsFileNumber; // what the settings file holds, as far as the last load and store know
    bool m_stateCopyPresent = false;            // a state copy may exist; cleared when it was removed
};
