#pragma once

#include <QObject>
#include <QString>

// What a window sees of the recorder and what it may ask of it. The same view code serves a recorder in this
// process (its core on a thread of its own) and one in another process that the window attached to; the signals
// arrive on the window's thread in the order the recorder sent them.
class RecorderPort : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The connect and disconnect toggle.
    virtual void toggleConnection() = 0;
    virtual void setHexDump(bool on) = 0;
    // True when this window is a view of a recorder that runs in another process.
    virtual bool attached() const { return false; }
    // False once an attached window's recorder has ended: the window then offers nothing that would record.
    virtual bool available() const { return true; }

signals:
    void reportDecoded(quint8 value); // the eight levels of a report, for the LEDs
    void logLine(const QString& line);
    void dataEvent();                        // a data event, before any of its log lines: the log limit
    void connectionChanged(bool connecting); // the toggle took its connect (true) or disconnect (false) branch
    // The recorder is in its start-up wait or in a reconnect cycle: the settings must not be edited meanwhile.
    void busyChanged(bool busy);
    void reconnected(int count); // the watchdog fired for the count-th time
    void warning(const QString& text);
    void writeFailed(int input, const QString& path, const QString& reason);
    void notice(const QString& title, const QString& text); // a tray message
    void ended();                                           // an attached window's recorder is gone
};
