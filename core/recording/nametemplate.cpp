#include "core/recording/nametemplate.h"

#include "core/recording/clock.h"

#include <limits>

namespace {

constexpr qsizetype kTemplateLimit = 255;
constexpr qint32 kWrapAt = 99999;

QString issueSequenceNumber(qint32& sequenceNumber, bool dialogShowing) {
    const QString text = QString::asprintf("%.5d", sequenceNumber);
    if (!dialogShowing) {
        // Past the 32-bit maximum the next number would be negative; start over instead.
        sequenceNumber = sequenceNumber == std::numeric_limits<qint32>::max() ? 0 : sequenceNumber + 1;
    }
    if (sequenceNumber == kWrapAt)
        sequenceNumber = 0;
    return text;
}

} // namespace

QString expandNameTemplate(const QString& templ, int lineNumber, int bit, qint32& sequenceNumber, bool dialogShowing,
                           const Clock& clock) {
    // One reading of the clock for the whole name: two would let a name taken at midnight carry the next day's
    // date with the time 235959.
    const QDateTime now = clock.now();
    const QString time = now.time().toString(QStringLiteral("hhmmss"));
    const QString date = now.date().toString(QStringLiteral("ddMMyy"));

    QStringView rest(templ);
    if (rest.size() > kTemplateLimit) {
        rest = rest.first(kTemplateLimit);
        if (rest.back().isHighSurrogate())
            rest.chop(1); // half a character would make the name unencodable
    }

    QString result;
    while (!rest.isEmpty()) {
        const qsizetype percent = rest.indexOf(u'%');
        if (percent < 0) {
            result += rest;
            break;
        }
        if (percent > 0) {
            result += rest.first(percent);
            rest = rest.sliced(percent);
            continue;
        }
        rest = rest.sliced(1);
        const qsizetype close = rest.indexOf(u'%');
        if (close < 0)
            continue; // a lone percent sign: what follows is plain text
        const QStringView keyword = rest.first(close);
        rest = rest.sliced(close + 1);
        if (keyword == u"numl")
            result += QString::asprintf("%.2d", lineNumber);
        else if (keyword == u"date")
            result += date;
        else if (keyword == u"time")
            result += time;
        else if (keyword == u"nbit")
            result += QString::number(bit);
        else if (keyword == u"numco")
            result += issueSequenceNumber(sequenceNumber, dialogShowing);
    }
    return result;
}
