#include "core/settings/statefile.h"
#include "core/files/privatefolder.h"

#include "core/settings/inifile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <limits>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

const QString kSection = QStringLiteral("Poradove cislo");
const QString kSettingsFileKey = QStringLiteral("Soubor");
const QString kIdentityKey = QStringLiteral("Identita");
const QString kNumberKey = QStringLiteral("Por_cislo");
const QString kSettingsNumberKey = QStringLiteral("Por_cislo_souboru");
const QString kPrefix = QStringLiteral("por_cislo-");

// The settings file reached through a link or "..", and the file itself, name one copy by path: writes follow links
// to the file they name.
QString resolvedPathOf(const QString& settingsPath) {
    const QFileInfo file(settingsPath);
    const QString canonical = file.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = QFileInfo(file.absolutePath()).canonicalFilePath();
    if (!folder.isEmpty())
        return folder + u'/' + file.fileName();
    return QDir::cleanPath(file.absoluteFilePath());
}

// The file itself, whatever path, link or mount reaches it: the same inode the lock holds.
QString identityOf(const QString& settingsPath) {
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(settingsPath).constData(), &st) == 0 && S_ISREG(st.st_mode))
        return QStringLiteral("%1:%2").arg(quint64(st.st_dev)).arg(quint64(st.st_ino));
#else
    Q_UNUSED(settingsPath);
#endif
    return {};
}

QString copyFolder() {
    return userStateFolder() + QStringLiteral("/impulz");
}

QString copyPath(const QString& key) {
    const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex();
    return copyFolder() + u'/' + kPrefix + QString::fromLatin1(hash.left(32)) + QStringLiteral(".ini");
}

} // namespace

QString userStateFolder() {
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!state.isEmpty() && QDir::isAbsolutePath(state))
        return state;
    return QDir::homePath() + QStringLiteral("/.local/state");
}

SequenceStateFile::SequenceStateFile(const QString& settingsPath)
    : m_settingsPath(resolvedPathOf(settingsPath)), m_identity(identityOf(settingsPath)) {
    m_path = m_identity.isEmpty() ? copyPath(m_settingsPath) : copyPath(QStringLiteral("inode ") + m_identity);
}

QStringList SequenceStateFile::copies() const {
    QStringList found;
    const QDir folder(copyFolder());
    for (const QString& name : folder.entryList({kPrefix + QStringLiteral("*.ini")}, QDir::Files)) {
        const QString path = folder.filePath(name);
        const IniFile copy(path);
        const QString identity = copy.readString(kSection, kIdentityKey, QString());
        if (path == m_path || (!m_identity.isEmpty() && identity == m_identity) ||
            copy.readString(kSection, kSettingsFileKey, QString()) == m_settingsPath)
            found.append(path);
    }
    return found;
}

QList<SequenceStateFile::Contents> SequenceStateFile::readAll() const {
    QList<Contents> all;
    for (const QString& path : copies()) {
        const IniFile file(path);
        // A number that does not read (the minimum is no number anyone issues) makes the copy count as missing.
        constexpr qint32 none = std::numeric_limits<qint32>::min();
        Contents contents;
        contents.number = file.readInteger(kSection, kNumberKey, none);
        if (contents.number == none)
            continue;
        const qint32 settingsNumber = file.readInteger(kSection, kSettingsNumberKey, none);
        if (settingsNumber != none)
            contents.settingsFileNumber = settingsNumber;
        all.append(contents);
    }
    return all;
}

void SequenceStateFile::write(const Contents& contents) const {
    makePrivateFolder(copyFolder()); // a failure shows in the write
    // An unknown number is written empty, so an earlier one cannot stay behind.
    const QString settingsNumber =
        contents.settingsFileNumber ? QString::number(*contents.settingsFileNumber) : QString();
    IniFile::update(m_path, kSection,
                    {{kSettingsFileKey, m_settingsPath},
                     {kIdentityKey, m_identity},
                     {kNumberKey, QString::number(contents.number)},
                     {kSettingsNumberKey, settingsNumber}});
    for (const QString& other : copies()) {
        if (other != m_path)
            QFile::remove(other);
    }
}

bool SequenceStateFile::remove() const {
    bool gone = true;
    for (const QString& path : copies())
        gone = (QFile::remove(path) || !QFileInfo::exists(path)) && gone;
    return gone;
}
