#pragma once

// Helpers shared by the tests: a controller report on the wire, reading a file back, dropping root's rights.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <unistd.h>

// One input report as the controller sends it: IAC SB COM-PORT-OPTION <subcommand> <value> IAC SE.
inline QByteArray report(quint8 subcommand, quint8 value) {
    QByteArray r = QByteArray::fromHex("FFFA2C");
    r.append(char(subcommand));
    r.append(char(value));
    r.append(QByteArray::fromHex("FFF0"));
    return r;
}

inline QByteArray readBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
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
