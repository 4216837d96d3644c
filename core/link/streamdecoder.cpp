#include "core/link/streamdecoder.h"

#include <cstring>

namespace {

// The plain text is allocated only when the first data byte arrives, so a chunk of nothing but reports costs no
// allocation; it is sized for the rest of the chunk at once, so no data byte ever reallocates.
class PlainText {
public:
    // Appends a run of data bytes; remaining is how many bytes the chunk still holds from the run's start on.
    void append(const quint8* run, qsizetype count, qsizetype remaining) {
        if (!m_out) {
            m_text = QString(remaining, Qt::Uninitialized);
            m_out = m_text.data();
            m_begin = m_out;
        }
        for (qsizetype k = 0; k < count; ++k)
            m_out[k] = QChar(char16_t(run[k]));
        m_out += count;
    }

    QString take() {
        if (m_out)
            m_text.truncate(m_out - m_begin);
        return std::move(m_text);
    }

private:
    QString m_text;
    QChar* m_begin = nullptr;
    QChar* m_out = nullptr;
};

} // namespace

QString StreamDecoder::feed(QByteArrayView chunk, const ReportHandler& onReport) {
    PlainText plain;
    const auto* bytes = reinterpret_cast<const quint8*>(chunk.data());
    const qsizetype size = chunk.size();
    State state = m_state;

    for (qsizetype i = 0; i < size; ++i) {
        const quint8 b = bytes[i];
        switch (state) {
        case Data: {
            if (b == Iac) {
                state = AfterIac;
                break;
            }
            // Plain text comes in runs; taking a run up to the next IAC at once keeps text as cheap as a copy.
            const auto* iac = static_cast<const quint8*>(std::memchr(bytes + i, Iac, size_t(size - i)));
            const qsizetype runEnd = iac ? iac - bytes : size;
            plain.append(bytes + i, runEnd - i, size - i);
            if (iac)
                state = AfterIac;
            i = runEnd; // on the IAC (or past the end); the loop steps over it
            break;
        }
        case AfterIac:
            if (b == Se)
                state = Data;
            else if (b == Sb)
                state = InSubnegotiation;
            else if (b == Iac)
                plain.append(&b, 1, size - i); // an escaped 255; the monitor has always stayed in AfterIac after it
            else
                state = Data; // NOP, WILL, WONT, DO, DONT and anything else: the command is dropped
            break;
        case InSubnegotiation:
            if (b == ComPortOptionCode)
                state = ComPortOption;
            else if (b == Iac)
                state = AfterIac;
            break;
        case ComPortOption:
            // Subcommand 50, the one our greeting uses, carries no input levels; it and unknown codes are stepped over.
            if (b == RecordedSubcommand)
                state = Sub52;
            else if (b == ShownSubcommand)
                state = Sub150;
            else if (b == Iac)
                state = AfterIac;
            break;
        case Sub52:
        case Sub150: {
            const quint8 subcommand = state == Sub52 ? RecordedSubcommand : ShownSubcommand;
            // The state is stored before the handler runs: a handler that throws leaves the decoder ready for
            // the next triple, not stuck waiting for a value byte that already came.
            state = InSubnegotiation;
            m_state = state;
            if (onReport)
                onReport(Report{subcommand, b, chunk.first(i + 1)});
            break;
        }
        }
    }
    m_state = state;
    return plain.take();
}

QString StreamDecoder::hexText(QByteArrayView bytes) {
    static constexpr char16_t digits[] = u"0123456789ABCDEF";
    QString text(bytes.size() * 3, Qt::Uninitialized);
    QChar* out = text.data();
    for (const char c : bytes) {
        const auto b = quint8(c);
        *out++ = QChar(digits[b >> 4]);
        *out++ = QChar(digits[b & 0x0F]);
        *out++ = QChar(u' ');
    }
    return text;
}

QString StreamDecoder::log1Text(quint8 value) {
    QString text = QStringLiteral("LOG1 Bit: ");
    for (int bit = 0; bit < 8; ++bit) {
        if (isLog1(value, bit)) {
            text += QChar(char16_t(u'0' + bit));
            text += QChar(u',');
        }
    }
    text.chop(1);
    return text;
}

QString StreamDecoder::reportLine(quint8 value, const QDateTime& t) {
    return log1Text(value) + QStringLiteral(" - ") + t.toString(QStringLiteral("dd.MM.yy hh:mm:ss"));
}
