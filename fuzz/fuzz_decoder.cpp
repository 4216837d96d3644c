// Feeds the controller stream decoder arbitrary bytes, cut into chunks the way the socket might deliver them, and
// compares it with a byte-at-a-time model of the Telnet transition table.
//
// Input: byte 0 holds the number of chunk lengths (low 4 bits) and the report at which the handler throws (high 4
// bits, 0 = never); the chunk lengths follow, one byte each, used in turn; the rest is the stream.

#include "core/link/streamdecoder.h"

#include "check.h"

#include <QByteArrayView>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

struct Recorded {
    quint8 subcommand;
    quint8 value;
    qsizetype streamPos; // position of the value byte in the whole stream
    bool operator==(const Recorded&) const = default;
};

struct Outcome {
    QString plain; // plain text of all chunks, concatenated
    std::vector<Recorded> reports;
    std::vector<int> stateAfterChunk;
    bool operator==(const Outcome&) const = default;
};

struct Chunk {
    qsizetype start;
    qsizetype size;
};

struct Thrown {};

std::vector<Chunk> cut(qsizetype streamSize, const std::vector<quint8>& lengths) {
    bool anyLength = false;
    for (quint8 l : lengths)
        anyLength = anyLength || l != 0;
    if (!anyLength || streamSize == 0)
        return {{0, streamSize}};
    std::vector<Chunk> chunks;
    qsizetype pos = 0;
    for (std::size_t j = 0; pos < streamSize; ++j) {
        const qsizetype len = std::min<qsizetype>(lengths[j % lengths.size()], streamSize - pos);
        chunks.push_back({pos, len}); // a zero length is an empty read and must change nothing
        pos += len;
    }
    return chunks;
}

// The transition table, one byte at a time, written without any of the decoder's shortcuts.
Outcome model(QByteArrayView stream, const std::vector<Chunk>& chunks, std::size_t throwAt) {
    Outcome out;
    out.plain.reserve(stream.size());
    out.stateAfterChunk.reserve(chunks.size());
    int state = 0;
    for (const Chunk& c : chunks) {
        const qsizetype plainBefore = out.plain.size(); // a throw takes back what this chunk added
        bool thrown = false;
        for (qsizetype i = c.start; i < c.start + c.size && !thrown; ++i) {
            const auto b = quint8(stream[i]);
            switch (state) {
            case 0:
                if (b == 255)
                    state = 1;
                else
                    out.plain += QChar(char16_t(b));
                break;
            case 1:
                if (b == 240)
                    state = 0;
                else if (b == 250)
                    state = 2;
                else if (b == 255)
                    out.plain += QChar(char16_t(255));
                else
                    state = 0;
                break;
            case 2:
                if (b == 44)
                    state = 3;
                else if (b == 255)
                    state = 1;
                break;
            case 3:
                if (b == 52)
                    state = 4;
                else if (b == 150)
                    state = 5;
                else if (b == 255)
                    state = 1;
                break;
            case 4:
            case 5:
                out.reports.push_back({quint8(state == 4 ? 52 : 150), b, i});
                state = 2;
                thrown = out.reports.size() == throwAt;
                break;
            }
        }
        if (thrown)
            out.plain.truncate(plainBefore);
        out.stateAfterChunk.push_back(state);
    }
    return out;
}

Outcome decode(QByteArrayView stream, const std::vector<Chunk>& chunks, std::size_t throwAt) {
    Outcome out;
    out.plain.reserve(stream.size());
    out.stateAfterChunk.reserve(chunks.size());
    StreamDecoder decoder;
    // One handler for every chunk (a handler per feed() would cost an allocation per chunk); it sees the chunk
    // being fed through these two.
    QByteArrayView chunk;
    qsizetype chunkStart = 0;
    const StreamDecoder::ReportHandler onReport = [&](const StreamDecoder::Report& r) {
        FUZZ_CHECK(r.subcommand == 52 || r.subcommand == 150);
        FUZZ_CHECK(decoder.state() == StreamDecoder::InSubnegotiation);
        // The window shows chunkSoFar as the hex line: it must be a prefix of this very chunk.
        FUZZ_CHECK(r.chunkSoFar.data() == chunk.data());
        FUZZ_CHECK(r.chunkSoFar.size() >= 1 && r.chunkSoFar.size() <= chunk.size());
        FUZZ_CHECK(quint8(r.chunkSoFar.back()) == r.value);
        out.reports.push_back({r.subcommand, r.value, chunkStart + r.chunkSoFar.size() - 1});
        if (out.reports.size() == throwAt)
            throw Thrown{};
    };
    for (const Chunk& c : chunks) {
        chunk = stream.sliced(c.start, c.size);
        chunkStart = c.start;
        const int before = decoder.state();
        bool thrown = false;
        try {
            out.plain += decoder.feed(chunk, onReport);
        } catch (const Thrown&) {
            thrown = true;
        }
        FUZZ_CHECK(decoder.state() <= StreamDecoder::Sub150);
        if (thrown)
            FUZZ_CHECK(decoder.state() == StreamDecoder::InSubnegotiation);
        if (c.size == 0)
            FUZZ_CHECK(decoder.state() == before);
        out.stateAfterChunk.push_back(decoder.state());
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::size_t lengthCount = data[0] & 0x0F;
    const std::size_t throwAt = data[0] >> 4;
    if (size < 1 + lengthCount)
        return 0;
    const std::vector<quint8> lengths(data + 1, data + 1 + lengthCount);
    const QByteArrayView stream(reinterpret_cast<const char*>(data + 1 + lengthCount),
                                qsizetype(size - 1 - lengthCount));

    const std::vector<Chunk> whole = cut(stream.size(), {});
    const std::vector<Chunk> chunks = cut(stream.size(), lengths);

    const Outcome wholeRun = decode(stream, whole, 0);
    FUZZ_CHECK(wholeRun == model(stream, whole, 0));

    // Where the socket happens to cut the stream must not change what is decoded.
    const Outcome chunkedRun = decode(stream, chunks, 0);
    FUZZ_CHECK(chunkedRun.plain == wholeRun.plain);
    FUZZ_CHECK(chunkedRun.reports == wholeRun.reports);
    FUZZ_CHECK(chunkedRun.stateAfterChunk.back() == wholeRun.stateAfterChunk.back());
    FUZZ_CHECK(chunkedRun == model(stream, chunks, 0));

    // A recorder failure drops the rest of its chunk, and decoding goes on from the next chunk.
    if (throwAt != 0)
        FUZZ_CHECK(decode(stream, chunks, throwAt) == model(stream, chunks, throwAt));

    // Without a handler the stream decodes the same, reports are only not delivered.
    StreamDecoder silent;
    QString silentPlain;
    silentPlain.reserve(stream.size());
    for (const Chunk& c : chunks)
        silentPlain += silent.feed(stream.sliced(c.start, c.size), nullptr);
    FUZZ_CHECK(silentPlain == wholeRun.plain);
    FUZZ_CHECK(int(silent.state()) == wholeRun.stateAfterChunk.back());
    return 0;
}
