#pragma once

#include <QString>
#include <QStringList>

#include <optional>

#include <stdexcept>

// The per-user entry that starts the monitor at log-on: on Linux the XDG autostart file
// $XDG_CONFIG_HOME/autostart/<name>.desktop (default ~/.config/autostart).
class AutostartError : public std::runtime_error {
public:
    explicit AutostartError(const QString& entryName);
};

QString autostartFilePath(const QString& entryName);

// One argument of a desktop entry's Exec line, quoted and escaped so that the launcher hands exactly this text to
// the program, whatever blanks, quotes, backslashes, "$", "`" or "%" it holds.
QString desktopExecArgument(const QString& argument);

// The script that an entry runs when the executable's own path cannot stand in its Exec line:
// $XDG_CONFIG_HOME/impulz/<name>-start.sh.
QString autostartWrapperPath(const QString& entryName);

// Writes (replacing) the entry that runs the executable at log-on with the given arguments (a settings file's
// "--settings FILE"). owner names the settings file the entry belongs to; it is kept in the entry (the key
// X-Impulz-Settings), so a run over another settings file can tell the entry is not its own. A path that GLib's
// launcher or systemd's autostart generator cannot run from an Exec line, whatever the escaping (a "%", a
// backslash, a quote, "$", "`" or a control character), is started through a small script beside the settings
// instead, which the entry runs. Throws AutostartError with the text "Failed to set data for '<name>'" when it
// cannot be written.
void setAutostartEntry(const QString& entryName, const QString& executablePath, const QStringList& arguments = {},
                       const QString& owner = {});

// The settings file the entry belongs to: none when there is no entry, an empty text for an entry that does not
// say (one written before entries recorded it).
std::optional<QString> autostartEntryOwner(const QString& entryName);

// Removes the entry and its script; a missing entry or a failed delete is not an error.
void removeAutostartEntry(const QString& entryName);
