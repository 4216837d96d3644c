// Event-file name templates: arbitrary template text expanded with the clock pinned, compared with a reference
// expansion written from the placeholder rules, together with how the running number moves.
//
// The settings (line number, bit, running number, dialog state, clock) come from the end of the input, the template
// from the rest: UTF-8, or raw UTF-16 code units so that lone surrogates and a pair cut at the length limit occur.

#include "core/recording/clock.h"
#include "core/recording/nametemplate.h"

#include "check.h"

#include <QDateTime>
#include <QString>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

namespace {

constexpr qint32 kMax = std::numeric_limits<qint32>::max();

// The clock stopped at one moment: every reading gives it.
class FixedClock : public Clock {
public:
    explicit FixedClock(const QDateTime& at) : m_at(at) {}
    QDateTime now() const override { return m_at; }

private:
    QDateTime m_at;
};

QString printed(const char* format, int a, int b = 0, int c = 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return QString::fromLatin1(buf);
}

struct Expansion {
    QString name;
    qint32 sequenceNumber;
    int numcoCount;
};

Expansion reference(const QString& templ, int lineNumber, int bit, qint32 seq, bool dialogShowing,
                    const QDateTime& now) {
    qsizetype end = std::min<qsizetype>(templ.size(), 255);
    if (templ.size() > 255 && templ[end - 1].isHighSurrogate())
        --end; // the first 255 characters, but never half of one that goes on past them
    const QString date = printed("%02d%02d%02d", now.date().day(), now.date().month(), now.date().year() % 100);
    const QString time = printed("%02d%02d%02d", now.time().hour(), now.time().minute(), now.time().second());

    Expansion out{{}, seq, 0};
    qsizetype i = 0;
    while (i < end) {
        if (templ[i] != u'%') {
            out.name += templ[i++];
            continue;
        }
        qsizetype close = i + 1;
        while (close < end && templ[close] != u'%')
            ++close;
        if (close == end) { // no closing sign: only this one goes
            ++i;
            continue;
        }
        const QString keyword = templ.mid(i + 1, close - i - 1);
        i = close + 1;
        if (keyword == QLatin1String("numl")) {
            out.name += printed("%.2d", lineNumber);
        } else if (keyword == QLatin1String("date")) {
            out.name += date;
        } else if (keyword == QLatin1String("time")) {
            out.name += time;
        } else if (keyword == QLatin1String("nbit")) {
            out.name += printed("%d", bit);
        } else if (keyword == QLatin1String("numco")) {
            ++out.numcoCount;
            out.name += printed("%.5d", out.sequenceNumber);
            if (!dialogShowing)
                out.sequenceNumber = out.sequenceNumber == kMax ? 0 : out.sequenceNumber + 1;
            if (out.sequenceNumber == 99999)
                out.sequenceNumber = 0;
        }
    }
    return out;
}

qint32 pickSequenceNumber(FuzzedDataProvider& fdp) {
    // The interesting numbers are rare among 2^32; give the wrap points a fair share.
    static constexpr qint32 near[] = {0, 1, 99997, 99998, 99999, 100000, kMax - 1, kMax, -1};
    if (fdp.ConsumeBool())
        return near[fdp.ConsumeIntegralInRange<std::size_t>(0, std::size(near) - 1)];
    return fdp.ConsumeIntegral<qint32>();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    const int lineNumber = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange(1, 99) : fdp.ConsumeIntegral<int>();
    const int bit = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange(0, 7) : fdp.ConsumeIntegral<int>();
    const qint32 sequenceNumber = pickSequenceNumber(fdp);
    const bool dialogShowing = fdp.ConsumeBool();
    const QDate day =
        QDate(1, 1, 1).addDays(fdp.ConsumeIntegralInRange<qint64>(0, QDate(1, 1, 1).daysTo({9999, 12, 31})));
    const QDateTime now(day, QTime::fromMSecsSinceStartOfDay(fdp.ConsumeIntegralInRange(0, 86'399'999)), Qt::UTC);
    const bool utf16 = fdp.ConsumeBool();
    const std::string text = fdp.ConsumeRemainingBytesAsString();
    const QString templ = utf16 ? QString(reinterpret_cast<const QChar*>(text.data()), qsizetype(text.size() / 2))
                                : QString::fromUtf8(text.data(), qsizetype(text.size()));

    const FixedClock clock(now);
    qint32 seq = sequenceNumber;
    const QString name = expandNameTemplate(templ, lineNumber, bit, seq, dialogShowing, clock);
    const Expansion expected = reference(templ, lineNumber, bit, sequenceNumber, dialogShowing, now);

    FUZZ_CHECK(name == expected.name);
    FUZZ_CHECK(seq == expected.sequenceNumber);
    // Percent signs only ever delimit keywords: none can reach a file name.
    FUZZ_CHECK(!name.contains(u'%'));
    // The preview must not use numbers up: only the wrap of a loaded 99999 may move it.
    if (dialogShowing)
        FUZZ_CHECK(seq == sequenceNumber || (sequenceNumber == 99999 && seq == 0));
    if (!dialogShowing && expected.numcoCount > 0 && sequenceNumber >= 0 && sequenceNumber < 99999)
        FUZZ_CHECK(seq == (sequenceNumber + expected.numcoCount) % 99999);
    if (expected.numcoCount == 0)
        FUZZ_CHECK(seq == sequenceNumber);
    if (expected.numcoCount > 0)
        FUZZ_CHECK(seq != 99999);
    return 0;
}
