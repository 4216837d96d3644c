#include "core/link/streamdecoder.h"

#include <QRandomGenerator>
#include <QTest>

#include <stdexcept>

namespace {

// One report as seen from outside, with its chunkSoFar as the stream positions [start, end) it covers.
struct Seen {
    int subcommand = 0;
    int value = 0;
    qsizetype start = 0;
    qsizetype end = 0;
    bool operator==(const Seen&) const = default;
};

QString describe(const QList<Seen>& reports) {
    QStringList parts;
    for (const Seen& r : reports)
        parts << QStringLiteral("%1:%2@%3-%4").arg(r.subcommand).arg(r.value).arg(r.start).arg(r.end);
    return parts.join(u' ');
}

struct Outcome {
    QList<Seen> reports;
    QString plain;
    StreamDecoder::State state = StreamDecoder::Data;
};

// Feeds the stream cut at the given offsets, on one decoder, as the socket would deliver it.
Outcome feedCut(const QByteArray& stream, QList<qsizetype> cuts) {
    cuts.append(stream.size());
    StreamDecoder decoder;
    Outcome out;
    qsizetype from = 0;
    for (const qsizetype to : cuts) {
        const QByteArrayView chunk = QByteArrayView(stream).sliced(from, to - from);
        out.plain += decoder.feed(chunk, [&](const StreamDecoder::Report& r) {
            // The view must point into the chunk being fed and end at the value byte; a mismatch is recorded as
            // an impossible position so the list comparison shows it.
            const bool intoChunk = r.chunkSoFar.data() == chunk.data() && !r.chunkSoFar.empty() &&
                                   quint8(r.chunkSoFar.back()) == r.value && decoder.state() == 2;
            out.reports.append({r.subcommand, r.value, intoChunk ? from : -1, from + r.chunkSoFar.size()});
        });
        from = to;
    }
    out.state = decoder.state();
    return out;
}

// Where each report's chunkSoFar starts once the stream is cut: at the start of the chunk holding its value byte.
QList<Seen> startingAt(QList<Seen> reports, const QList<qsizetype>& cuts) {
    for (Seen& r : reports) {
        r.start = 0;
        for (const qsizetype cut : cuts)
            if (cut < r.end)
                r.start = cut;
    }
    return reports;
}

} // namespace

Q_DECLARE_METATYPE(QList<Seen>)

class TestStreamDecoder : public QObject {
    Q_OBJECT

private slots:
    void vectors_data();
    void vectors();
    void hexText_data();
    void hexText();
    void logText_data();
    void logText();
    void stateCarriesAcrossChunks();
    void throwingHandlerLeavesStateAfterReport();
    void randomStreamsSplitAnywhere();
};

void TestStreamDecoder::vectors_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<Seen>>("reports");
    QTest::addColumn<QString>("plain");
    QTest::addColumn<int>("state");

    const QString ff(QChar(0xFF));
    QTest::newRow("empty") << QByteArray() << QList<Seen>{} << QString() << 0;
    QTest::newRow("report 52") << QByteArray::fromHex("FFFA2C34F6FFF0") << QList<Seen>{{52, 246, 0, 5}} << QString()
                               << 0;
    QTest::newRow("report 150") << QByteArray::fromHex("FFFA2C96F6FFF0") << QList<Seen>{{150, 246, 0, 5}} << QString()
                                << 0;
    QTest::newRow("IAC IAC alone") << QByteArray::fromHex("FFFF") << QList<Seen>{} << ff << 1;
    QTest::newRow("IAC IAC eats next byte") << QByteArray::fromHex("FFFF4142") << QList<Seen>{} << ff + u'B' << 0;
    QTest::newRow("IAC WILL 44") << QByteArray::fromHex("FFFB2C") << QList<Seen>{} << QStringLiteral(",") << 0;
    QTest::newRow("NOP and SE outside SB")
        << QByteArray::fromHex("61FFF162FFF063F1") << QList<Seen>{} << QStringLiteral("abc") + QChar(0xF1) << 0;
    QTest::newRow("Latin-1 and NUL data")
        << QByteArray::fromHex("41E900FE") << QList<Seen>{} << QStringLiteral("A\u00E9") + QChar(0) + QChar(0xFE) << 0;
    QTest::newRow("value 255, IAC IAC, IAC SE")
        << QByteArray::fromHex("FFFA2C34FFFFFFF0") << QList<Seen>{{52, 255, 0, 5}} << ff << 0;
    QTest::newRow("two reports in one chunk") << QByteArray::fromHex("FFFA2C34F6FFF0FFFA2C3400FFF0")
                                              << QList<Seen>{{52, 246, 0, 5}, {52, 0, 0, 12}} << QString() << 0;
    QTest::newRow("subcommand 50 skipped") << QByteArray::fromHex("FFFA2C3200FFF0") << QList<Seen>{} << QString() << 0;
    QTest::newRow("subcommand 50 then 52")
        << QByteArray::fromHex("FFFA2C3234F6FFF0") << QList<Seen>{{52, 246, 0, 6}} << QString() << 0;
    QTest::newRow("junk in states 2 and 3")
        << QByteArray::fromHex("FFFA0102962C0708F09634F6FFF0") << QList<Seen>{{150, 52, 0, 11}} << QString() << 0;
    QTest::newRow("triples after a report")
        << QByteArray::fromHex("FFFA2C34F62C960F2C3400FFF0")
        << QList<Seen>{{52, 246, 0, 5}, {150, 15, 0, 8}, {52, 0, 0, 11}} << QString() << 0;
    QTest::newRow("values that look like commands") << QByteArray::fromHex("FFFA2C342C2C96F0FFF0")
                                                    << QList<Seen>{{52, 44, 0, 5}, {150, 240, 0, 8}} << QString() << 0;
    QTest::newRow("text around a report")
        << QByteArray("ab\xFF\xFA\x2C\x34\xF6\xFF\xF0z") << QList<Seen>{{52, 246, 0, 7}} << QStringLiteral("abz") << 0;
    QTest::newRow("IAC SE before option")
        << QByteArray::fromHex("FFFAFFF061") << QList<Seen>{} << QStringLiteral("a") << 0;
    QTest::newRow("cut after SB") << QByteArray::fromHex("FFFA") << QList<Seen>{} << QString() << 2;
    QTest::newRow("cut after option") << QByteArray::fromHex("FFFA2C") << QList<Seen>{} << QString() << 3;
    QTest::newRow("cut after 52") << QByteArray::fromHex("FFFA2C34") << QList<Seen>{} << QString() << 4;
    QTest::newRow("cut after 150") << QByteArray::fromHex("FFFA2C96") << QList<Seen>{} << QString() << 5;
}

// Each vector whole, cut once at every offset, and byte by byte: the reports, the joined plain text and the end
// state must not depend on where the socket happened to cut the stream.
void TestStreamDecoder::vectors() {
    QFETCH(QByteArray, stream);
    QFETCH(QList<Seen>, reports);
    QFETCH(QString, plain);
    QFETCH(int, state);

    QList<QList<qsizetype>> cutSets{{}};
    QList<qsizetype> everyByte;
    for (qsizetype k = 0; k <= stream.size(); ++k) {
        cutSets.append(QList<qsizetype>{k});
        if (k > 0 && k < stream.size())
            everyByte.append(k);
    }
    cutSets.append(everyByte);

    for (const QList<qsizetype>& cuts : cutSets) {
        const Outcome out = feedCut(stream, cuts);
        const QByteArray where = "cuts " + QByteArray::number(cuts.size()) + " first at " +
                                 QByteArray::number(cuts.isEmpty() ? -1 : cuts.first());
        QVERIFY2(describe(out.reports) == describe(startingAt(reports, cuts)),
                 (where + ": " + describe(out.reports).toLatin1()).constData());
        QVERIFY2(out.plain == plain, (where + ": " + out.plain.toLatin1().toHex()).constData());
        QVERIFY2(out.state == state, where.constData());
    }
}

void TestStreamDecoder::hexText_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("hex");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("report prefix") << QByteArray::fromHex("FFFA2C34F6") << QStringLiteral("FF FA 2C 34 F6 ");
    QTest::newRow("padding and case") << QByteArray::fromHex("000AA0") << QStringLiteral("00 0A A0 ");
}

void TestStreamDecoder::hexText() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, hex);
    QCOMPARE(StreamDecoder::hexText(bytes), hex);
}

void TestStreamDecoder::logText_data() {
    QTest::addColumn<int>("value");
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QString>("line");
    QTest::newRow("inputs 0 and 3") << 246 << QDateTime(QDate(2026, 12, 6), QTime(13, 45, 7))
                                    << QStringLiteral("LOG1 Bit: 0,3 - 06.12.26 13:45:07");
    QTest::newRow("all at LOG1") << 0 << QDateTime(QDate(2009, 1, 2), QTime(0, 0, 0))
                                 << QStringLiteral("LOG1 Bit: 0,1,2,3,4,5,6,7 - 02.01.09 00:00:00");
    QTest::newRow("none at LOG1") << 255 << QDateTime(QDate(2026, 7, 31), QTime(23, 59, 59))
                                  << QStringLiteral("LOG1 Bit: - 31.07.26 23:59:59");
    QTest::newRow("only input 7") << 0x7F << QDateTime(QDate(2030, 10, 11), QTime(9, 5, 1))
                                  << QStringLiteral("LOG1 Bit: 7 - 11.10.30 09:05:01");
}

void TestStreamDecoder::logText() {
    QFETCH(int, value);
    QFETCH(QDateTime, time);
    QFETCH(QString, line);
    QCOMPARE(StreamDecoder::reportLine(quint8(value), time), line);
    QCOMPARE(StreamDecoder::log1Text(quint8(value)), line.left(line.indexOf(QStringLiteral(" - "))));
}

// A subnegotiation cut by the socket (or by a reconnect) goes on in the next chunk, empty chunks in between
// included, and the hex line of the report covers only the chunk that held the value byte.
void TestStreamDecoder::stateCarriesAcrossChunks() {
    StreamDecoder decoder;
    QList<QString> hex;
    const auto onReport = [&](const StreamDecoder::Report& r) { hex << StreamDecoder::hexText(r.chunkSoFar); };
    QVERIFY(decoder.feed(QByteArray::fromHex("61FFFA2C34"), onReport) == QStringLiteral("a"));
    QVERIFY(decoder.feed({}, onReport).isEmpty());
    QCOMPARE(decoder.state(), StreamDecoder::Sub52);
    QVERIFY(decoder.feed(QByteArray::fromHex("F62C96"), onReport).isEmpty());
    QVERIFY(decoder.feed(QByteArray::fromHex("FEFFF062"), onReport) == QStringLiteral("b"));
    QCOMPARE(hex, (QList<QString>{QStringLiteral("F6 "), QStringLiteral("FE ")}));
}

// The recorder can fail and throw out of the handler; the window drops the rest of that chunk and must find the
// decoder ready for the next triple of the same subnegotiation.
void TestStreamDecoder::throwingHandlerLeavesStateAfterReport() {
    StreamDecoder decoder;
    QList<int> values;
    bool threw = false;
    try {
        decoder.feed(QByteArray::fromHex("FFFA2C34F62C3401FFF0"), [&](const StreamDecoder::Report& r) {
            values << r.value;
            throw std::runtime_error("cannot write");
        });
    } catch (const std::runtime_error&) {
        threw = true;
    }
    QVERIFY(threw);
    QCOMPARE(decoder.state(), StreamDecoder::InSubnegotiation);
    QVERIFY(decoder.feed(QByteArray::fromHex("2C3402FFF0"), [&](const StreamDecoder::Report& r) { values << r.value; })
                .isEmpty());
    QCOMPARE(values, (QList<int>{246, 2}));
    QCOMPARE(decoder.state(), StreamDecoder::Data);
}

// Streams biased towards the bytes that drive the state machine, cut at random places, against the same stream
// fed whole. Also runs feed() over arbitrary bytes, which must never misbehave.
void TestStreamDecoder::randomStreamsSplitAnywhere() {
    static constexpr char alphabet[] = {'\xFF', '\xFA', '\xF0', '\x2C', '\x34', '\x96', '\x32', '\xFB', 'x', '\0'};
    QRandomGenerator rng(20240611);
    for (int round = 0; round < 300; ++round) {
        QByteArray stream(rng.bounded(1, 120), Qt::Uninitialized);
        for (char& c : stream)
            c = rng.bounded(4) == 0 ? char(rng.bounded(256)) : alphabet[rng.bounded(int(sizeof alphabet))];
        QList<qsizetype> cuts;
        for (qsizetype at = rng.bounded(1, 20); at < stream.size(); at += rng.bounded(1, 20))
            cuts << at;

        const Outcome whole = feedCut(stream, {});
        const Outcome split = feedCut(stream, cuts);
        QVERIFY2(describe(split.reports) == describe(startingAt(whole.reports, cuts)), stream.toHex().constData());
        QCOMPARE(split.plain, whole.plain);
        QCOMPARE(split.state, whole.state);
    }
}

QTEST_GUILESS_MAIN(TestStreamDecoder)
#include "tst_streamdecoder.moc"
