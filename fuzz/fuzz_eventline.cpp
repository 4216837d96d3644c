// Event lines: arbitrary bytes through the line parser and the file reader, checked against a reference parser
// built on QDate's own calendar; and event lines written for valid times read back to the same second.
//
// The whole input is the candidate file content; the values for the written line are drawn from the same bytes.

#include "core/archive/archive.h"
#include "core/recording/eventfile.h"

#include "check.h"
#include "tempfile.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QTime>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>

namespace {

bool digit(char c) {
    return c >= '0' && c <= '9';
}

int twoDigits(QByteArrayView s, qsizetype at) {
    return (s[at] - '0') * 10 + (s[at + 1] - '0');
}

bool hasShape(QByteArrayView s, char sep) {
    return s.size() >= 8 && digit(s[0]) && digit(s[1]) && s[2] == sep && digit(s[3]) && digit(s[4]) && s[5] == sep &&
           digit(s[6]) && digit(s[7]);
}

// The year within [currentYear - 50, currentYear + 49] that ends in the two digits yy.
int expectedYear(int yy, int currentYear) {
    const int low = currentYear - 50;
    return low + ((yy - low) % 100 + 100) % 100;
}

std::optional<archive::EventStamp> reference(QByteArrayView data, int currentYear) {
    QByteArrayView line = data;
    if (const qsizetype lf = line.indexOf('\n'); lf >= 0)
        line = line.first(lf);
    if (line.endsWith('\r'))
        line.chop(1);
    if (!hasShape(line, '.'))
        return std::nullopt;
    const QDate date(expectedYear(twoDigits(line, 6), currentYear), twoDigits(line, 3), twoDigits(line, 0));
    const qsizetype semicolon = line.indexOf(';');
    if (!date.isValid() || semicolon < 0)
        return std::nullopt;
    const QByteArrayView rest = line.sliced(semicolon + 1);
    if (!hasShape(rest, ':'))
        return std::nullopt;
    const QTime time(twoDigits(rest, 0), twoDigits(rest, 3), twoDigits(rest, 6));
    if (!time.isValid())
        return std::nullopt;
    return archive::EventStamp{date, time};
}

bool sameStamp(const std::optional<archive::EventStamp>& a, const std::optional<archive::EventStamp>& b) {
    if (a.has_value() != b.has_value())
        return false;
    return !a || (a->date == b->date && a->time == b->time);
}

std::optional<archive::EventStamp> readFile(const std::string& path, int currentYear) {
    try {
        return archive::readEventFile(QString::fromStdString(path), currentYear);
    } catch (const archive::ArchiveError& e) {
        FUZZ_CHECK(!e.reason.isEmpty());
        return std::nullopt;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = scratchDir() + "/event.csv";
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    FuzzedDataProvider fdp(data, size);
    const int someYear = fdp.ConsumeIntegralInRange(51, 9999);

    for (const int currentYear : {2026, someYear}) {
        QString reason;
        const auto parsed = archive::parseEventLine(bytes, currentYear, &reason);
        FUZZ_CHECK(sameStamp(parsed, reference(bytes, currentYear)));
        FUZZ_CHECK(parsed.has_value() == reason.isEmpty());
        FUZZ_CHECK(sameStamp(parsed, archive::parseEventLine(bytes, currentYear)));
        if (parsed)
            FUZZ_CHECK(parsed->time.msec() == 0);
    }

    // The file reader stops reading as soon as the line is decided; it must decide as the line parser does.
    writeBytes(path, data, size);
    FUZZ_CHECK(sameStamp(readFile(path, 2026), archive::parseEventLine(bytes, 2026)));

    // Written lines read back to the second, within the two-digit year window.
    for (const int currentYear : {2026, someYear}) {
        const int year = currentYear - 50 + fdp.ConsumeIntegralInRange(0, 99);
        const int month = fdp.ConsumeIntegralInRange(1, 12);
        const int day = fdp.ConsumeIntegralInRange(1, QDate(year, month, 1).daysInMonth());
        const QTime time(fdp.ConsumeIntegralInRange(0, 23), fdp.ConsumeIntegralInRange(0, 59),
                         fdp.ConsumeIntegralInRange(0, 59), fdp.ConsumeIntegralInRange(0, 999));
        const QDate date(year, month, day);
        const QByteArray line = eventLine(QDateTime(date, time, Qt::UTC));
        FUZZ_CHECK(line.size() == 19 && line.endsWith("\r\n"));
        const QByteArray withTail = line + QByteArray::fromStdString(fdp.ConsumeRandomLengthString(64));
        const auto back = archive::parseEventLine(withTail, currentYear);
        FUZZ_CHECK(back.has_value());
        FUZZ_CHECK(back->date == date);
        FUZZ_CHECK(back->time == QTime(time.hour(), time.minute(), time.second()));
    }

    // Any date the calendar holds gives a line of the fixed shape.
    const QDate anyDate = QDate::fromJulianDay(fdp.ConsumeIntegralInRange<qint64>(-1'000'000'000, 1'000'000'000));
    const QByteArray line = eventLine(QDateTime(anyDate, QTime(23, 59, 59), Qt::UTC));
    FUZZ_CHECK(line.size() == 19 && line.endsWith("\r\n"));
    FUZZ_CHECK(hasShape(line, '.') && hasShape(QByteArrayView(line).sliced(9), ':') && line[8] == ';');
    FUZZ_CHECK(twoDigits(line, 0) == anyDate.day() && twoDigits(line, 3) == anyDate.month());
    return 0;
}
