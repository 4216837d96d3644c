#pragma once

// Helpers shared by the tests: the controller's bytes on the wire, writing and reading a file back, listing event
// files, dropping root's rights.

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTest>

#include <unistd.h>

// The monitor's greeting on every new session, in the two writes it goes out in: IAC AYT, then the request for the
// input state (IAC SB COM-PORT-OPTION 50 0 IAC SE).
inline const QByteArray AreYouThere = QByteArray::fromHex("FFF6");
inline const QByteArray StateRequest = QByteArray::fromHex("FFFA2C3200FFF0");
inline const QByteArray Greeting = AreYouThere + StateRequest;

// One input report as the controller sends it: IAC SB COM-PORT-OPTION <subcommand> <value> IAC SE.
inline QByteArray report(quint8 subcommand, quint8 value) {
    QByteArray r = QByteArray::fromHex("FFFA2C");
    r.append(char(subcommand));
    r.append(char(value));
    r.append(QByteArray::fromHex("FFF0"));
    return r;
}

inline void writeBytes(const QString& path, const QByteArray& data) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), data.size());
}

inline QByteArray readBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// The event files in a folder by name, hidden ones included; with Below, the paths of those in its subfolders too.
enum class Listing { Folder, Below };
inline QStringList csvFiles(const QString& dir, Listing listing = Listing::Folder) {
    if (listing == Listing::Folder)
        return QDir(dir).entryList({QStringLiteral("*.csv")}, QDir::Files | QDir::Hidden, QDir::Name);
    QStringList files;
    QDirIterator it(dir, {QStringLiteral("*.csv")}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

// Root ignores file permissions, so as root the permission cases run with the effective ids of "nobody".
class Unprivileged {
public:
    Unprivileged() {
        if (::geteuid() != 0) {
            m_ok = true;
            return;
        }
        m_switched = ::setegid(65534) == 0 && ::seteuid(65534) == 0;
        m_ok = m_switched;
    }
    ~Unprivileged() {
        if (m_switched) {
            [[maybe_unused]] const int u = ::seteuid(0);
            [[maybe_unused]] const int g = ::setegid(0);
        }
    }
    Unprivileged(const Unprivileged&) = delete;
    Unprivileged& operator=(const Unprivileged&) = delete;
    bool ok() const { return m_ok; }

private:
    bool m_switched = false;
    bool m_ok = false;
};

// A settings file at path for a recorder on the controller at port: inputs 0 to watched - 1 watched, their files
// in folder (made when missing) and named by nameTemplate. False when it cannot be written.
inline bool writeRecorderSettings(const QString& path, quint16 port, int watched, const QString& folder = {},
                                  const QByteArray& nameTemplate = "E%nbit%_%numco%") {
    if (watched > 0 && !QDir().mkpath(folder))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write("[Po spusteni]\nPort=" + QByteArray::number(port) + "\nFormat=" + nameTemplate + "\n");
    for (int n = 0; n < watched; ++n)
        file.write(QStringLiteral("Soubor%1=%2\nBit%1=1\n").arg(n).arg(folder).toUtf8());
    return true;
}
