#pragma once

#include <QByteArray>
#include <QString>

class RecorderHost;
class ServiceWatch;

// What the recorder tells a service manager that started it (systemd's notification protocol): one datagram of
// "KEY=value" lines to the AF_UNIX socket named in $NOTIFY_SOCKET (a path, or an abstract name written with a
// leading "@"). Without that variable nothing is sent and nothing fails: run by hand the recorder is the same.
namespace ServiceNotify {
// Sends one message; false when no manager listens or the send failed (the recorder goes on either way).
bool send(const QByteArray& message);
// The watchdog's period asked of this process ($WATCHDOG_USEC, for the process $WATCHDOG_PID names when set), in
// microseconds; 0 when none is asked.
qint64 watchdogUsec();
// While the recorder waits for another one that holds its settings file: says so and asks for more start-up time,
// so a long wait is not taken for a start that hangs.
void waiting(const QString& reason);
} // namespace ServiceNotify

// The running recorder's side: READY=1 when made (the lock is held and windows are served; the controller may
// come much later), STATUS= with the controller's and the broker's state and the backlog whenever that text
// changes, and WATCHDOG=1 at half the asked period from the core's thread, so a core thread that hangs stops the
// pings and the manager restarts the recorder, while a busy main thread does not.
class ServiceNotifier {
public:
    explicit ServiceNotifier(RecorderHost& host);
    ~ServiceNotifier(); // stops the pings; the host's core thread must still run
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // STOPPING=1: the exit has begun.
    void stopping();

    // The status text as it would be sent now; call it on the core's thread.
    static QString statusText(const RecorderHost& host);

private:
    RecorderHost& m_host;
    ServiceWatch* m_watch = nullptr; // lives on the core's thread
};
