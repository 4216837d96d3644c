#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <stdexcept>

// Raised by every IniFile write that cannot reach the disk. The text is what the save shows in its error box.
class IniWriteError : public std::runtime_error {
public:
    explicit IniWriteError(const QString& fullPath);
    QString path() const { return m_path; }

private:
    QString m_path;
};

// A plain "key=value" INI file, read and written the way the Windows profile-string functions do, so a settings
// file brought over from a Windows installation keeps working.
//
// How text is read:
// - Lines end in LF or CR LF; a UTF-8 byte-order mark before the first line is ignored. Text is UTF-8.
// - A section starts at a line "[name]"; the name is trimmed. Lines before the first section belong to none.
// - A line whose first non-blank character is ";" or "#" is a comment and never matches a key.
// - A key line is "key=value": the key is the text before the first "=", the value the text after it, both
//   trimmed of surrounding blanks. Quotes are not removed. Lines without "=" are ignored.
// - Section and key names match without regard to letter case. When a section or a key appears twice, the first
//   occurrence counts, for reading and for writing.
//
// How text is written:
// - A write replaces the line of the key in place, or adds "key=value" after the last non-blank line of the
//   section, or adds the section (after a blank line) at the end of the file. CR and LF inside a value become
//   blanks, so a value can never break into further keys.
// - Every other line is kept byte for byte; all lines are written with LF.
// - The file is replaced as a whole through a temporary file in the same folder (synced, then renamed over it),
//   keeping its permissions, so a crash leaves either the old or the new file. A symbolic link is followed, not
//   replaced. When the folder does not allow new files but the file itself is writable, the file is rewritten
//   in place instead (not crash-proof, but better than refusing the save).
// - A write first re-reads the file, so writes made by another IniFile object on the same path in the meantime
//   are kept.
class IniFile {
public:
    // Reads the file once; a missing or unreadable file reads as empty. Reads use that snapshot (plus this
    // object's own writes).
    explicit IniFile(const QString& path);

    // The absolute path, as used in IniWriteError.
    QString path() const { return m_path; }

    // At most 2047 characters. A key present with an empty value reads as empty text, not as the default.
    QString readString(const QString& section, const QString& key, const QString& def) const;
    // Decimal with an optional sign, or hexadecimal after "$", "x" or "0x" (either case, the sign before the
    // prefix); blanks before it are skipped. Anything else, or a value outside the signed 32-bit range, gives def.
    qint32 readInteger(const QString& section, const QString& key, qint32 def) const;
    // An integer read with default 0 or 1; any non-zero value is true, so "yes" or "true" read as false.
    bool readBool(const QString& section, const QString& key, bool def) const;

    // Each write goes to the disk at once; throws IniWriteError when the file or its folder is not writable.
    void writeString(const QString& section, const QString& key, const QString& value);
    void writeInteger(const QString& section, const QString& key, qint32 value);
    void writeBool(const QString& section, const QString& key, bool value); // "1" or "0"

private:
    QString m_path;
    QList<QByteArray> m_lines; // without line ends
};

// The settings file that belongs to an executable: its extension replaced by ".ini", or ".ini" appended when the
// file name has none ("impulz" -> "impulz.ini", "impulz.exe" -> "impulz.ini").
QString settingsPathFor(const QString& executablePath);
