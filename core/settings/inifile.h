#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>
#include <utility>

// Raised by every IniFile write that cannot reach the disk. what() is what the save shows in its error box,
// "Unable to write to <path>"; reason() says why (the system's error text, or why the file's text cannot be kept).
class IniWriteError : public std::runtime_error {
public:
    IniWriteError(const QString& fullPath, const QString& reason);
    QString path() const { return m_path; }
    QString reason() const { return m_reason; }

private:
    QString m_path;
    QString m_reason;
};

// The settings file's text in memory: a file's bytes in, the bytes of the file after a write out, by the rules written
// at IniFile below (encodings, line ends, quoting, where a key goes). It touches no file, so it is tested and fuzzed
// on bytes alone; IniFile reads and replaces the file around it.
class IniText {
public:
    // An empty file: UTF-8 with LF line ends, as a file that does not exist yet.
    IniText() = default;
    // Bytes that are not text in one of the encodings below read as empty, and every write to them is refused.
    explicit IniText(const QByteArray& bytes);

    // Why the bytes are not text, empty when they are: in English for a write's error, and in a few Czech words for
    // the line that refuses the start ("neznámé kódování textu (bajt NUL)").
    QString problem() const { return m_problem; }
    QString detail() const { return m_detail; }

    QString readString(const QString& section, const QString& key, const QString& def) const;
    qint32 readInteger(const QString& section, const QString& key, qint32 def) const;
    bool readBool(const QString& section, const QString& key, bool def) const;

    // Sets every pair, in order, and gives the file's new bytes. When the text must not be replaced (the bytes
    // were not text, a name holds a line break or NUL, a value does not fit the file's encoding) it gives nothing,
    // says why in problem and stays as it was.
    std::optional<QByteArray> write(const QString& section, const QList<std::pair<QString, QString>>& keyValues,
                                    QString& problem);

private:
    enum class Encoding { Utf8, Utf8Bom, Utf16LE, Utf16BE, Windows1250 };

    void setValue(const QString& section, const QString& key, const QString& value);
    void insert(qsizetype at, const QString& line);
    // What a line that was not there takes when the line before it has no end to lend: the first line's end.
    QString usualEnd() const;
    std::optional<QByteArray> encode(QString& problem) const;

    Encoding m_encoding = Encoding::Utf8;
    QStringList m_lines; // without their ends
    // Each line's own end, "\n" or "\r\n"; empty for a last line that has none. A file may mix them (edited on
    // both systems), and a write gives every line back the end it came with.
    QStringList m_ends;
    QString m_problem;
    QString m_detail;
};

// A plain "key=value" INI file, read and written the way the Windows profile-string functions do, so a settings
// file brought over from a Windows installation keeps working.
//
// How text is read:
// - The file's encoding is found once per read: UTF-8 (with or without a byte-order mark), UTF-16 LE or BE with
//   its byte-order mark, or Windows-1250 when the bytes are not valid UTF-8 (a file written on a Czech Windows).
//   A file that is none of these (a NUL byte, as in UTF-16 without a mark, or a byte that Windows-1250 leaves
//   undefined) reads as empty, and every write to it throws instead of replacing what could not be understood.
// - Lines end in LF or CR LF, mixed if need be; the last line may have no end. A section starts at a line
//   "[name]"; the name is trimmed. Lines before the first section belong to none.
// - A line whose first non-blank character is ";" or "#" is a comment and never matches a key.
// - A key line is "key=value": the key is the text before the first "=", the value the text after it, both
//   trimmed of surrounding blanks. Then one pair of double quotes around the whole value is removed, as the
//   Windows profile reader does, so a value can keep blanks of its own at either end. Lines without "=" are
//   ignored.
// - Section and key names match without regard to letter case. When a section or a key appears twice, the first
//   occurrence counts, for reading and for writing.
//
// How text is written:
// - A write replaces the line of the key in place, or adds "key=value" after the last non-blank line of the
//   section, or adds the section (after a blank line) at the end of the file. CR, LF and NUL inside a value
//   become blanks, so a value can never break into further keys or make the file unreadable. A value with a blank at
//   either end, or one that starts and ends with a double quote itself, is written in double quotes, so it reads back
//   unchanged.
// - The file keeps its encoding (and byte-order mark) and every line its own end: a file edited on both systems
//   may mix LF and CR LF. Every line the write does not change comes back byte for byte, a changed line keeps its
//   end, and a line added takes the end of the line before it (the first line's end where that one has none). A
//   file without a final line end stays without one. A new file is UTF-8 with LF. A value that a Windows-1250
//   file cannot hold is refused (IniWriteError) rather than stored as something else.
// - The file is replaced as a whole through a temporary file in the same folder (synced, renamed over it, then
//   the folder synced), keeping its permissions, so a crash or a power cut leaves either the old or the new file
//   and never brings the old one back after the write returned. Symbolic links are followed to the end of their
//   chain, with ".." taken where the kernel takes it (resolvedFilePath()), and stay links; the temporary file
//   stands beside the file at the chain's end. When the folder does not allow new files but the file itself is
//   writable, the file is rewritten in place instead (not crash-proof, but better than refusing the save). So is a
//   file with more than one hard link, whatever the change: a new inode would take one of its names only, and
//   its names would stop being one file. Such a write leaves the bytes before the first changed one untouched.
//   A write that keeps the file's length and changes bytes within one 512-byte sector only (a running number
//   that keeps its count of digits) is written over those bytes and synced instead: a disk writes a sector whole,
//   so that is as safe, and without a new name the folder needs no sync.
// - A missing folder is an error, except below the user's configuration folder ($XDG_CONFIG_HOME, default
//   ~/.config), where the first write creates it: that is where an installed program keeps its settings.
// - A write first re-reads the file, so writes made by another IniFile object on the same path in the meantime
//   are kept.
// - Another program may save the file at any time, in place (truncate, then write, as editors and shell
//   redirections do) or by replacing it. A write takes only a read that is whole: the bytes read match the file's
//   length, and the file (inode, length, change times) looked the same before and after the read and once more just
//   before the new text goes in. A read that is not whole, or an empty file that changed within the last second
//   (truncated, its new text not written yet), is tried again a few times over about half a second; a change
//   between the read and the write sends the write back to the read. What still cannot be read whole is never
//   written over: the write throws. Reads for the settings themselves take the last look when none was whole.
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

    // Each write goes to the disk at once; throws IniWriteError when the file or its folder is not writable, or
    // when the file's text cannot be kept (see above).
    void writeString(const QString& section, const QString& key, const QString& value);
    void writeInteger(const QString& section, const QString& key, qint32 value);
    void writeBool(const QString& section, const QString& key, bool value); // "1" or "0"
    // Writes all the pairs, in their order, with one re-read, one replacement of the file and one sync: a save of
    // every setting costs one write, and a crash leaves all of them old or all of them new.
    void writeValues(const QString& section, const QList<std::pair<QString, QString>>& keyValues);
    // The same write without an object: the file is read once, for the write itself.
    static void update(const QString& path, const QString& section,
                       const QList<std::pair<QString, QString>>& keyValues);

private:
    QString m_path; // cleaned, for messages
    QString m_file; // as given, made absolute: what the reads and writes open
    IniText m_text;
};

// The settings file that belongs to an executable: its extension replaced by ".ini", or ".ini" appended when the
// file name has none ("impulz" -> "impulz.ini", "impulz.exe" -> "impulz.ini").
QString settingsPathFor(const QString& executablePath);

// Where the program keeps its settings. A program installed system-wide (isSystemInstall) uses
// $XDG_CONFIG_HOME/impulz/impulz.ini (default ~/.config/impulz/impulz.ini) for every user, root included. Anywhere
// else, as in a build folder or a program unpacked into a folder of its own, the file beside the executable
// (settingsPathFor) when that file exists or the executable's folder is writable, otherwise the same XDG file.
QString resolveSettingsPath(const QString& executablePath);

// True when the executable stands where a system-wide install puts programs: the bin, sbin, games or libexec
// folder of /usr, /usr/local or installPrefix, or a folder below their lib folders, or optFolder/<package>/bin
// when root owns it. Such a folder is the system's, not a user's settings folder, even for root, who could write
// there. resolveSettingsPath() passes the prefix the program was built to be installed under.
bool isSystemInstall(const QString& executablePath, const QString& installPrefix,
                     const QString& optFolder = QStringLiteral("/opt"));

// Why the settings file at path cannot be used, in a few Czech words for the line that refuses the start ("soubor
// neexistuje", "je to adresář", "nelze číst (Permission denied)", "neznámé kódování textu (bajt NUL)"), or an empty
// text when it is a regular file that can be read and decodes. missingIsFine is for the default file, which the
// first write creates: a missing file (or a link to one) is then no problem.
QString settingsFileProblem(const QString& path, bool missingIsFine = false);

// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute path, otherwise ~/.config.
QString userConfigFolder();
// Creates the folder of filePath when it is missing and lies in or below userConfigFolder(); anywhere else a
// missing folder stays missing. A folder that cannot be made shows as the failure of whatever then opens the file.
void createConfigFolderFor(const QString& filePath);
