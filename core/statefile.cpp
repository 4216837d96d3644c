#include "core/statefile.h"
#include "core/privatefolder.h"

#include "core/inifile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <limits>

namespace {

const QString kSection = QStringLiteral("Poradove cislo");
const QString kSettingsFileKey = QStringLiteral("Soubor");
const QString kNumberKey = QStringLiteral("Por_cislo");
const QString kSettingsNumberKey = QStringLiteral("Por_cislo_souboru");

// The settings file reached through a link or "..", and the file itself, must share one copy: writes follow links
// to the file they name.
QString identityOf(const QString& settingsPath) {
    const QFileInfo file(settingsPath);
    const QString canonical = file.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = QFileInfo(file.absolutePath()).canonicalFilePath();
    if (!folder.isEmpty())
        return folder + u'/' + file.fileName();
    return QDir::cleanPath(file.absoluteFilePath());
}

} // namespace

QString userStateFolder() {
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!state.isEmpty() && QDir::isAbsolutePath(state))
        return state;
    return QDir::homePath() + QStringLiteral("/.local/state");
}

SequenceStateFile::SequenceStateFile(const QString& settingsPath) : m_settingsPath(identityOf(settingsPath)) {
    const QByteArray hash = QCryptographicHash::hash(m_settingsPath.toUtf8(), QCryptographicHash::Sha256).toHex();
    m_path = userStateFolder() + QStringLiteral("/impulz/por_cislo-") + QString::fromLatin1(hash.left(32)) +
             QStringLiteral(".ini");
}

std::optional<SequenceStateFile::Contents> SequenceStateFile::read() const {
    const IniFile file(m_path);
    if (file.readString(kSection, kNumberKey, QString()).isEmpty())
        return std::nullopt;
    // A number that does not read (the minimum is no number anyone issues) makes the copy count as missing.
    constexpr qint32 none = std::numeric_limits<qint32>::min();
    Contents contents;
    contents.number = file.readInteger(kSection, kNumberKey, none);
    if (contents.number == none)
        return std::nullopt;
    const qint32 settingsNumber = file.readInteger(kSection, kSettingsNumberKey, none);
    if (settingsNumber != none)
        contents.settingsFileNumber = settingsNumber;
    return contents;
}

void SequenceStateFile::write(const Contents& contents) const {
    makePrivateFolder(QFileInfo(m_path).absolutePath()); // a failure shows in the write
    // An unknown number is written empty, so an earlier one cannot stay behind.
    const QString settingsNumber =
        contents.settingsFileNumber ? QString::number(*contents.settingsFileNumber) : QString();
    IniFile::update(m_path, kSection,
                    {{kSettingsFileKey, m_settingsPath},
                     {kNumberKey, QString::number(contents.number)},
                     {kSettingsNumberKey, settingsNumber}});
}

bool SequenceStateFile::remove() const {
    return QFile::remove(m_path) || !QFileInfo::exists(m_path);
}
