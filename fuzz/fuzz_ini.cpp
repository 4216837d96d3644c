// The settings file's text transform: arbitrary bytes as the file, a few reads, then writes whose values come from
// the input. Every write may change exactly one line (or add the key, or add its section at the end); values and
// integers read back as written, and reads do not care about letter case. Any file that decodes comes back byte
// for byte from a write of nothing. A file that is not UTF-8 keeps its encoding: a write to it may be refused, and
// then leaves the text as it was. All in memory: no file is written, so the target runs at the transform's speed.
//
// The whole input is the file; the names and values written are drawn from the same bytes.

#include "core/settings/inifile.h"

#include "check.h"

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringDecoder>
#include <QStringList>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>

namespace {

const QString kSection = QStringLiteral("Po spusteni");
const QStringList kKeys = {QStringLiteral("IP"),        QStringLiteral("Port"),   QStringLiteral("Soubor0"),
                           QStringLiteral("Bit3"),      QStringLiteral("Format"), QStringLiteral("Cislo_linky"),
                           QStringLiteral("Por_cislo"), QStringLiteral("Sec")};

// Only ASCII letters change, so the variant compares equal under any notion of letter case.
QString asciiCase(const QString& s, int how) {
    QString out = s;
    for (QChar& c : out) {
        if (c.unicode() < 128 && c.isLetter())
            c = how == 1 ? c.toLower() : how == 2 ? c.toUpper() : c;
    }
    return out;
}

// Lines without their ends. Every CR at the end goes: a line that ended in CR CR LF is written back as CR LF and
// so reads one CR shorter afterwards, which changes no key, section or comment.
// A UTF-8 byte-order mark at the start belongs to no line; the file keeps it in front of whatever its first line
// becomes.
QList<QByteArray> linesOf(const QByteArray& data) {
    QList<QByteArray> lines = (data.startsWith("\xEF\xBB\xBF") ? data.mid(3) : data).split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray& l : lines) {
        while (l.endsWith('\r'))
            l.chop(1);
    }
    return lines;
}

// The text's bytes as they stand: a write of nothing re-encodes it.
QByteArray bytesOf(IniText& text) {
    QString problem;
    const std::optional<QByteArray> bytes = text.write(kSection, {}, problem);
    FUZZ_CHECK(bytes && problem.isEmpty());
    return *bytes;
}

// Integers as the reader documents them, matched by pattern rather than scanned.
std::optional<qint32> referenceInteger(const QString& text) {
    static const QRegularExpression pattern(
        QStringLiteral("^[ \\t]*([+-]?)(?:(\\$|[xX]|0[xX])([0-9A-Fa-f]+)|([0-9]+))$"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const bool hex = m.capturedLength(2) > 0;
    QString digits = hex ? m.captured(3) : m.captured(4);
    while (digits.size() > 1 && digits.startsWith(u'0'))
        digits.remove(0, 1);
    if (digits.size() > 10)
        return std::nullopt;
    qint64 v = digits.toLongLong(nullptr, hex ? 16 : 10);
    if (m.captured(1) == QLatin1String("-"))
        v = -v;
    if (v < std::numeric_limits<qint32>::min() || v > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return qint32(v);
}

// Valid UTF-8 without NUL bytes: a file whose lines can be compared as UTF-8 bytes and that every write accepts.
bool plainUtf8(const QByteArray& data) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    const QString text = decoder.decode(data);
    return !decoder.hasError() && !data.contains('\0') && text.toUtf8() == data;
}

// What a write puts after the "=": the value in double quotes when its ends would otherwise be lost when read.
QByteArray storedForm(const QString& value) {
    const bool quote = (!value.isEmpty() && (value.front().isSpace() || value.back().isSpace())) ||
                       (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'));
    return quote ? '"' + value.toUtf8() + '"' : value.toUtf8();
}

// fileText: the file as UTF-8 text, or null when it is in another encoding.
void checkReads(const IniText& ini, const QString& section, const QString& key, const QString* fileText) {
    const QString value = ini.readString(section, key, QStringLiteral("a"));
    const bool present = value == ini.readString(section, key, QStringLiteral("b"));
    for (int how = 1; how <= 2; ++how)
        FUZZ_CHECK(ini.readString(asciiCase(section, 3 - how), asciiCase(key, how), QStringLiteral("a")) == value);
    if (!present)
        return;
    FUZZ_CHECK(value.size() <= 2047 && !value.contains(u'\n'));
    // A cut value may end anywhere, blanks included; otherwise blanks at the ends come only from double quotes.
    if (value.size() < 2047 && value != value.trimmed() && fileText)
        FUZZ_CHECK(fileText->contains(u'"' + value + u'"'));
    const std::optional<qint32> n = referenceInteger(value);
    FUZZ_CHECK(ini.readInteger(section, key, 7) == n.value_or(7));
    FUZZ_CHECK(ini.readInteger(section, key, -3) == n.value_or(-3));
    FUZZ_CHECK(ini.readBool(section, key, true) == (n ? *n != 0 : true));
    FUZZ_CHECK(ini.readBool(section, key, false) == (n ? *n != 0 : false));
}

// The first section header and the first key line of the text, so the writes also hit names the input made up.
void scrapeNames(const QList<QByteArray>& lines, QString& section, QString& key) {
    for (const QByteArray& raw : lines) {
        const QString text = QString::fromUtf8(raw).trimmed();
        if (section.isNull() && text.startsWith(u'[')) {
            const qsizetype close = text.indexOf(u']');
            section = text.mid(1, close < 0 ? -1 : close - 1).trimmed();
        }
        const qsizetype eq = text.indexOf(u'=');
        // A name that starts with U+FEFF is left out: the UTF-8 decoder drops a byte-order mark at the start of any
        // line, so "\uFEFF[x=1" written as a key line reads back as a section. The program's keys are plain ASCII.
        if (key.isNull() && eq > 0 && !text.startsWith(u'[') && !text.startsWith(u';') && !text.startsWith(u'#') &&
            !text.startsWith(QChar(0xFEFF)) && !text.left(eq).trimmed().isEmpty())
            key = text.left(eq).trimmed();
    }
}

// What one write may do to the file: replace one line by the key line, insert the key line, or append the section.
void checkOneWrite(const QList<QByteArray>& before, const QList<QByteArray>& after, const QString& key,
                   const QByteArray& keyLine, const QString& section) {
    qsizetype i = 0;
    while (i < before.size() && i < after.size() && before[i] == after[i])
        ++i;
    if (after.size() == before.size()) {
        FUZZ_CHECK(i < after.size() ? after[i] == keyLine : after.contains(keyLine));
        if (i < after.size()) { // only the key's own line may be replaced
            const QString replaced = QString::fromUtf8(before[i]).trimmed();
            const qsizetype eq = replaced.indexOf(u'=');
            FUZZ_CHECK(eq > 0 && replaced.left(eq).trimmed().compare(key, Qt::CaseInsensitive) == 0);
        }
        for (qsizetype j = i + 1; j < after.size(); ++j)
            FUZZ_CHECK(after[j] == before[j]);
    } else if (after.size() == before.size() + 1) {
        FUZZ_CHECK(i > 0 && after[i] == keyLine);
        for (qsizetype j = i; j < before.size(); ++j)
            FUZZ_CHECK(after[j + 1] == before[j]);
    } else {
        FUZZ_CHECK(i == before.size());
        // Blank as the reader trims names and values: a line of no-break spaces is blank too, one that holds a
        // byte-order mark is not (the decoder keeps it as a character).
        QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
        const bool separated = !before.isEmpty() && !QString(decoder.decode(before.last())).trimmed().isEmpty();
        FUZZ_CHECK(after.size() == before.size() + (separated ? 3 : 2));
        if (separated)
            FUZZ_CHECK(after[i].isEmpty());
        FUZZ_CHECK(after[after.size() - 2] == '[' + section.trimmed().toUtf8() + ']');
        FUZZ_CHECK(after.last() == keyLine);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray original(reinterpret_cast<const char*>(data), qsizetype(size));

    QString scrapedSection;
    QString scrapedKey;
    scrapeNames(linesOf(original), scrapedSection, scrapedKey);

    const bool utf8 = plainUtf8(original);
    QString fileText = utf8 ? QString::fromUtf8(original) : QString();
    IniText ini(original);
    FUZZ_CHECK(ini.problem().isEmpty() == ini.detail().isEmpty());
    FUZZ_CHECK(!utf8 || ini.problem().isEmpty());
    // Two of the program's keys per input: every key takes the same path through the reader, and reading all of
    // them would spend the time on repeats.
    checkReads(ini, kSection, kKeys[qsizetype(size % kKeys.size())], utf8 ? &fileText : nullptr);
    if (size > 0)
        checkReads(ini, kSection, kKeys[data[0] % kKeys.size()], utf8 ? &fileText : nullptr);
    if (!scrapedSection.isNull() && !scrapedKey.isNull())
        checkReads(ini, scrapedSection, scrapedKey, utf8 ? &fileText : nullptr);
    if (!ini.problem().isEmpty()) {
        // Not text: every read gives its default and every write is refused with the reason.
        FUZZ_CHECK(ini.readString(kSection, kKeys.first(), QStringLiteral("d")) == QStringLiteral("d"));
        QString problem;
        FUZZ_CHECK(!ini.write(kSection, {{kKeys.first(), QStringLiteral("1")}}, problem));
        FUZZ_CHECK(problem == ini.problem());
        return 0;
    }
    // Every line comes back byte for byte, whatever its encoding and ends.
    QByteArray current = bytesOf(ini);
    FUZZ_CHECK(current == original);

    FuzzedDataProvider fdp(data, size);
    const int writes = fdp.ConsumeIntegralInRange(1, 4);
    for (int w = 0; w < writes; ++w) {
        QString section = kSection;
        switch (fdp.ConsumeIntegralInRange(0, 3)) {
        case 1:
            section = QStringLiteral("Jiny");
            break;
        case 2:
            if (!scrapedSection.isNull())
                section = scrapedSection;
            break;
        default:
            break;
        }
        section = asciiCase(section, fdp.ConsumeIntegralInRange(0, 2));
        QString key = kKeys[fdp.ConsumeIntegralInRange<qsizetype>(0, kKeys.size() - 1)];
        if (fdp.ConsumeBool() && !scrapedKey.isNull())
            key = scrapedKey;
        key = asciiCase(key, fdp.ConsumeIntegralInRange(0, 2));

        const QList<QByteArray> before = linesOf(current);
        QString value;
        QString written;
        const int kind = fdp.ConsumeIntegralInRange(0, 2);
        if (kind == 0) {
            const std::string raw = fdp.ConsumeRandomLengthString(300);
            value = QString::fromUtf8(raw.data(), qsizetype(raw.size()));
            written = QString(value).replace(u'\r', u' ').replace(u'\n', u' ').replace(QChar(0), u' ');
        } else if (kind == 1) {
            value = written = QString::number(fdp.ConsumeIntegral<qint32>());
        } else {
            value = written = fdp.ConsumeBool() ? QStringLiteral("1") : QStringLiteral("0");
        }
        QString problem;
        const std::optional<QByteArray> after = ini.write(section, {{key, value}}, problem);
        if (!after) {
            FUZZ_CHECK(!utf8 && !problem.isEmpty());
            FUZZ_CHECK(bytesOf(ini) == current);
            continue;
        }
        FUZZ_CHECK(problem.isEmpty());
        const IniText reread(*after);
        FUZZ_CHECK(ini.readString(section, key, {}) == written);
        FUZZ_CHECK(reread.readString(section, key, {}) == written);
        if (kind == 1) {
            const qint32 n = written.toInt();
            FUZZ_CHECK(ini.readInteger(section, key, n ^ 1) == n);
            FUZZ_CHECK(reread.readInteger(section, key, n ^ 1) == n);
        } else if (kind == 2) {
            const bool b = written == u"1";
            FUZZ_CHECK(ini.readBool(section, key, !b) == b);
            FUZZ_CHECK(reread.readBool(section, key, !b) == b);
        }
        current = *after;
        if (!utf8) {
            checkReads(ini, section, key, nullptr);
            continue;
        }
        checkOneWrite(before, linesOf(current), key.trimmed(), key.trimmed().toUtf8() + '=' + storedForm(written),
                      section);
        fileText = QString::fromUtf8(current);
        checkReads(ini, section, key, &fileText);
    }
    return 0;
}
