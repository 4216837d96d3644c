#include "core/settings/settings.h"

#include "core/settings/autostart.h"
#include "core/settings/inifile.h"
#include "core/recording/nametemplate.h"
#include "core/files/posixfile.h"
#include "core/settings/statefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <exception>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

const QString Settings::Section = QStringLiteral("Po spusteni");
const QString Settings::SequenceKey = QStringLiteral("Por_cislo");

namespace {

const QString kAutostartEntry = QStringLiteral("dokonceni");

QString rootFolder() {
    return QDir::toNativeSeparators(QDir::rootPath());
}

std::array<Settings::Entry, Settings::KeyCount> buildTable() {
    using K = Settings::Kind;
    std::array<Settings::Entry, Settings::KeyCount> t;
    int i = 0;
    const auto text = [&](Settings::Key key, const char* ini, const QString& def) {
        t[i++] = {key, QLatin1String(ini), K::Text, QString(), def, 0, 0};
    };
    const auto flag = [&](Settings::Key key, const QString& ini) { t[i++] = {key, ini, K::Flag, false, false, 0, 0}; };
    const auto number = [&](Settings::Key key, const char* ini, int def, int min, int max) {
        t[i++] = {key, QLatin1String(ini), K::Number, min, def, min, max};
    };
    // The order in which a load reads the keys: it decides which autostart state a load sees on the way.
    text(Settings::Address, "IP", QStringLiteral("127.0.0.1"));
    text(Settings::Port, "Port", QStringLiteral("23"));
    for (int n = 0; n < 8; ++n)
        t[i++] = {Settings::pathKey(n), QStringLiteral("Soubor%1").arg(n), K::Text, QString(), rootFolder(), 0, 0};
    for (int n = 0; n < 8; ++n)
        flag(Settings::bitKey(n), QStringLiteral("Bit%1").arg(n));
    text(Settings::NameTemplate, "Format", QStringLiteral("%linka%_%cas%"));
    number(Settings::LineNumber, "Cislo_linky", 1, 1, 99);
    text(Settings::Description, "Popis", QStringLiteral("monitor"));
    flag(Settings::Autostart, QStringLiteral("Start"));
    flag(Settings::AutoConnect, QStringLiteral("Login"));
    flag(Settings::ClearLog, QStringLiteral("Mazat"));
    number(Settings::LogLimit, "Pocet", 20, 1, 99);
    flag(Settings::Reconnect, QStringLiteral("Obnovit"));
    number(Settings::WatchdogSeconds, "Sec", 15, 1, 60);
    return t;
}

// Position of each key in the table, for entry().
std::array<int, Settings::KeyCount> buildIndex() {
    std::array<int, Settings::KeyCount> index{};
    const auto& t = Settings::table();
    for (int i = 0; i < int(t.size()); ++i)
        index[t[i].key] = i;
    return index;
}

// "Por_cislo" is read after "Popis" and before "Start".
constexpr int kSequenceBefore = Settings::Autostart;

QVariant normalized(const Settings::Entry& e, const QVariant& v) {
    switch (e.kind) {
    case Settings::Kind::Text:
        return v.toString();
    case Settings::Kind::Flag:
        return v.toBool();
    case Settings::Kind::Number:
        return std::clamp(v.toInt(), e.minimum, e.maximum);
    }
    return v;
}

} // namespace

const std::array<Settings::Entry, Settings::KeyCount>& Settings::table() {
    static const auto t = buildTable();
    return t;
}

const Settings::Entry& Settings::entry(Key key) {
    static const auto index = buildIndex();
    return table()[index[key]];
}

Settings::~Settings() = default;

Settings::Settings(std::shared_ptr<const Clock> clock, QObject* parent) : QObject(parent), m_clock(std::move(clock)) {
    for (const Entry& e : table())
        m_values[e.key] = e.initial;
    m_filePath = settingsPathFor(QCoreApplication::applicationFilePath());
}

QString Settings::filePath() const {
    QMutexLocker lock(&m_mutex);
    return m_filePath;
}

void Settings::setFilePath(const QString& path) {
    QMutexLocker lock(&m_mutex);
    m_filePath = path;
}

QVariant Settings::value(Key key) const {
    QMutexLocker lock(&m_mutex);
    return m_values[key];
}

QString Settings::text(Key key) const {
    return value(key).toString();
}

bool Settings::flag(Key key) const {
    return value(key).toBool();
}

int Settings::number(Key key) const {
    return value(key).toInt();
}

void Settings::set(Key key, const QVariant& v) {
    if (setApplied(key, v) && (key == Autostart || key == AutoConnect || key == ClearLog))
        applyAutostart();
}

bool Settings::setApplied(Key key, const QVariant& v) {
    const QVariant put = normalized(entry(key), v);
    {
        QMutexLocker lock(&m_mutex);
        if (m_values[key] == put)
            return false;
        m_values[key] = put;
    }
    emit changed(key);
    return true;
}

void Settings::setAutostartProgram(const QString& path) {
    QMutexLocker lock(&m_mutex);
    m_autostartProgram = path;
}

void Settings::runOnOwnThread(const std::function<void()>& f) {
    if (QThread::currentThread() == thread()) {
        f();
        return;
    }
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        this,
        [&] {
            try {
                f();
            } catch (...) {
                failure = std::current_exception(); // handed back to the caller below
            }
        },
        Qt::BlockingQueuedConnection);
    if (failure)
        std::rethrow_exception(failure);
}

namespace {

// Takes a result from the settings' thread to whoever asked for it. A signal, so that the link goes with a receiver
// that is destroyed before the result comes.
class CompletionRelay : public QObject {
    Q_OBJECT
signals:
    void finished(const QString& error);
};

} // namespace

void Settings::runOnOwnThreadLater(std::function<void()> f, QObject* context, Completion done) {
    auto* relay = new CompletionRelay;
    connect(relay, &CompletionRelay::finished, context, std::move(done), Qt::QueuedConnection);
    relay->moveToThread(thread());
    QMetaObject::invokeMethod(
        relay,
        [relay, f = std::move(f)] {
            QString error;
            try {
                f();
            } catch (const std::exception& e) {
                error = QString::fromUtf8(e.what()); // the text a waiting caller would have caught
            }
            emit relay->finished(error);
            delete relay;
        },
        Qt::QueuedConnection);
}

void Settings::loadLater(QObject* context, Completion done) {
    runOnOwnThreadLater([this] { load(); }, context, std::move(done));
}

void Settings::saveLater(QObject* context, Completion done) {
    runOnOwnThreadLater([this] { save(); }, context, std::move(done));
}

namespace {

bool sameSettingsFile(const QString& a, const QString& b) {
    const QFileInfo first(a);
    const QFileInfo second(b);
    if (first.exists() && second.exists())
        return first.canonicalFilePath() == second.canonicalFilePath();
    return QDir::cleanPath(first.absoluteFilePath()) == QDir::cleanPath(second.absoluteFilePath());
}

} // namespace

void Settings::applyAutostart() {
    QString program;
    {
        QMutexLocker lock(&m_mutex);
        program = m_autostartProgram;
    }
    if (program.isEmpty())
        program = QCoreApplication::applicationFilePath();
    // The entry belongs to the settings file whose "Start" made it. A run over another file leaves it alone, for
    // as long as that file is there: the entry then stays with the file that has it.
    const QString file = filePath();
    if (const std::optional<QString> owner = autostartEntryOwner(kAutostartEntry);
        owner && !owner->isEmpty() && !sameSettingsFile(*owner, file) && QFileInfo::exists(*owner)) {
        if (flag(Autostart))
            emit logLine(QStringLiteral("Spuštění po přihlášení má už soubor nastavení %1; tomuto souboru se nenastaví")
                             .arg(*owner));
        return;
    }
    if (flag(Autostart)) {
        // The program's own settings file needs no argument: the program finds it by itself.
        const bool ownFile = sameSettingsFile(file, resolveSettingsPath(program));
        setAutostartEntry(kAutostartEntry, program,
                          ownFile ? QStringList() : QStringList{QStringLiteral("--settings"), file}, file);
    } else {
        removeAutostartEntry(kAutostartEntry);
    }
}

qint32 Settings::sequenceNumber() const {
    QMutexLocker lock(&m_mutex);
    return m_sequenceNumber;
}

void Settings::setSequenceNumber(qint32 n) {
    QMutexLocker lock(&m_mutex);
    m_sequenceNumber = n;
}

QString Settings::expandName(int bit, bool preview, bool* advanced) {
    QString name;
    {
        QMutexLocker lock(&m_mutex);
        const qint32 before = m_sequenceNumber;
        name = expandNameTemplate(m_values[NameTemplate].toString(), m_values[LineNumber].toInt(), bit,
                                  m_sequenceNumber, preview, *m_clock);
        if (advanced)
            *advanced = m_sequenceNumber != before;
    }
    emit nameExpanded(name);
    return name;
}

void Settings::load() {
    if (QThread::currentThread() != thread())
        return runOnOwnThread([this] { load(); });
    const IniFile ini(filePath());
    for (const Entry& e : table()) {
        if (e.key == kSequenceBefore)
            setSequenceNumber(loadSequenceNumber(ini));
        switch (e.kind) {
        case Kind::Text:
            set(e.key, ini.readString(Section, e.iniKey, e.fileDefault.toString()));
            break;
        case Kind::Flag:
            set(e.key, ini.readBool(Section, e.iniKey, e.fileDefault.toBool()));
            break;
        case Kind::Number:
            set(e.key, ini.readInteger(Section, e.iniKey, e.fileDefault.toInt()));
            break;
        }
    }
    emit loaded();
}

void Settings::save() {
    if (QThread::currentThread() != thread())
        return runOnOwnThread([this] { save(); });
    // One read-modify-write: a crash leaves either the old file or the new one, never a mix of keys.
    QList<std::pair<QString, QString>> values;
    for (const Entry& e : table()) {
        const QVariant v = value(e.key);
        switch (e.kind) {
        case Kind::Text:
            values.append({e.iniKey, v.toString()});
            break;
        case Kind::Flag:
            values.append({e.iniKey, v.toBool() ? QStringLiteral("1") : QStringLiteral("0")});
            break;
        case Kind::Number:
            values.append({e.iniKey, QString::number(v.toInt())});
            break;
        }
    }
    IniFile::update(filePath(), Section, values);
}

void Settings::removeStaleTemporaryFiles() const {
    // A write replaces the file at the end of its links, so that is where a killed write left its temporary file.
    const QFileInfo file(resolvedFilePath(filePath()));
    ::removeStaleTemporaryFiles(file.absolutePath(), QLatin1Char('.') + file.fileName() + QLatin1Char('.'));
}

qint32 Settings::loadSequenceNumber(const IniFile& ini) {
    QMutexLocker lock(&m_sequenceStoreMutex);
    const qint32 fromFile = ini.readInteger(Section, SequenceKey, 1);
    m_settingsFileNumber = fromFile;
    const QList<SequenceStateFile::Contents> copies = SequenceStateFile(ini.path()).readAll();
    m_stateCopyPresent = !copies.isEmpty();
    // Where the settings file still holds what it held when a copy took over, it has taken no number since and the
    // copy is newer, even when the numbering has wrapped past 0 meanwhile. Otherwise the higher number is the safe
    // one: a skipped number does no harm, a number issued twice does.
    std::optional<qint32> number;
    for (const SequenceStateFile::Contents& copy : copies) {
        const qint32 n = copy.settingsFileNumber == fromFile ? copy.number : std::max(fromFile, copy.number);
        number = std::max(number.value_or(n), n);
    }
    return number.value_or(fromFile);
}

namespace {

// How many names the settings file has: such a file is rewritten in place, so its names stay one file.
quint64 linkCount(const QString& path) {
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode))
        return quint64(st.st_nlink);
#else
    Q_UNUSED(path);
#endif
    return 1;
}

} // namespace

Settings::SequenceCopy Settings::storeSequenceNumber(qint32 n, QString* settingsFileError) {
    QMutexLocker lock(&m_sequenceStoreMutex);
    const QString path = filePath();
    // A hard-linked file is written in place. A change of its last digit alone lies within one sector, which a
    // disk writes whole; any other (a carry, a digit more or less) may span two sectors or move the rest of the
    // file, and a power cut could tear it, even into a lower number. The state copy takes the number first; the
    // store below removes it again once the file holds it.
    const QString before = m_settingsFileNumber ? QString::number(*m_settingsFileNumber) : QString();
    const QString after = QString::number(n);
    const bool lastDigitOnly = before.size() == after.size() && before.chopped(1) == after.chopped(1);
    if (!lastDigitOnly && linkCount(path) > 1) {
        try {
            SequenceStateFile(path).write({n, m_settingsFileNumber});
            m_stateCopyPresent = true;
        } catch (const IniWriteError&) {
            // The settings file may still take it; the store below tells.
        }
    }
    try {
        IniFile::update(path, Section, {{SequenceKey, QString::number(n)}});
    } catch (const IniWriteError& refused) {
        const SequenceStateFile copy(path);
        try {
            copy.write({n, m_settingsFileNumber});
        } catch (const IniWriteError& alsoRefused) {
            throw IniWriteError(
                refused.path(),
                QStringLiteral("%1; %2: %3").arg(refused.reason(), alsoRefused.path(), alsoRefused.reason()));
        }
        m_stateCopyPresent = true;
        if (settingsFileError)
            *settingsFileError = refused.reason();
        return SequenceCopy::StateCopy;
    }
    m_settingsFileNumber = n;
    // The settings file is current again. A copy left behind would win against it again once the numbering wraps
    // past 0, so it goes.
    if (m_stateCopyPresent && SequenceStateFile(path).remove())
        m_stateCopyPresent = false;
    return SequenceCopy::SettingsFile;
}

QString Settings::sequenceStatePath() const {
    return SequenceStateFile(filePath()).path();
}

#include "settings.moc"
