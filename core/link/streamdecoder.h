#pragma once

#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include <functional>

// The controller's byte stream, decoded just far enough to find its input reports. The controller wraps every
// report in a COM-PORT-OPTION (44) subnegotiation as a subcommand (52 or 150) and one InputState byte; the rest of
// Telnet is only stepped over. The state lives in the object, so a subnegotiation split over two chunks
// continues where it stopped; the owner resets it when a new connection starts.
//
// The decoder has no side effects of its own: reports go to a handler, plain text comes back from feed(), and the
// monitor core turns both into the LEDs' signal, log lines and recorded events.
class StreamDecoder {
public:
    enum State : quint8 {
        Data = 0,             // plain text
        AfterIac = 1,         // IAC seen
        InSubnegotiation = 2, // inside SB, waiting for an option code; also the state after a report
        ComPortOption = 3,    // option 44 seen, waiting for a subcommand
        Sub52 = 4,            // subcommand 52 seen, the next byte is its value (the report is recorded)
        Sub150 = 5            // subcommand 150 seen, the next byte is its value (the report is only shown)
    };

    static constexpr quint8 Iac = 255;
    static constexpr quint8 Sb = 250;
    static constexpr quint8 Se = 240;
    static constexpr quint8 ComPortOptionCode = 44;
    static constexpr quint8 RecordedSubcommand = 52;
    static constexpr quint8 ShownSubcommand = 150;

    struct Report {
        quint8 subcommand;         // 52 or 150
        quint8 value;              // the InputState byte; raw bit n is input n, raw 0 is LOG1
        QByteArrayView chunkSoFar; // the current chunk from its first byte up to and including the value byte
    };
    using ReportHandler = std::function<void(const Report&)>;

    // Runs one chunk through the state machine and returns its plain text: one character per data byte with the
    // byte value as its code (Latin-1), IAC IAC included as character 255; empty when the chunk held none.
    // onReport is called at each report, in order, after the state has already become InSubnegotiation. If the
    // handler throws, the exception leaves feed() at once: the rest of the chunk and its plain text are dropped,
    // and the state stays InSubnegotiation, so the next chunk is decoded from there. Any bytes are accepted.
    QString feed(QByteArrayView chunk, const ReportHandler& onReport);

    State state() const { return m_state; }

    // A new connection is a new Telnet stream: what an earlier one left half-way must not complete with its bytes.
    void reset() { m_state = Data; }

    // Two uppercase hex digits and one blank per byte: "FF FA 2C 34 F6 ".
    static QString hexText(QByteArrayView bytes);

    // "LOG1 Bit: " followed by the inputs at raw 0 in ascending order, comma-separated, e.g. "LOG1 Bit: 0,3".
    // The list is built with a trailing comma that is then cut, so with no input at LOG1 (255) the cut takes the
    // blank instead and the text is "LOG1 Bit:".
    static QString log1Text(quint8 value);

    // log1Text(value) + " - " + t as "dd.MM.yy hh:mm:ss" (24-hour).
    static QString reportLine(quint8 value, const QDateTime& t);

    // Whether LED bit+1 is lit for this InputState: an input is lit while it is at LOG1 (raw 0).
    static constexpr bool isLog1(quint8 value, int bit) { return ((value >> bit) & 1) == 0; }

private:
    State m_state = Data;
};
