#pragma once

#include <QObject>
#include <QString>

#include <vector>

class QSocketNotifier;
class QTimer;

// A listening local socket for windows, shared by the recorder's two sockets. Any process of this user can connect
// as often as it likes, so accepting is kept from ever costing the recording: a connection that would leave fewer
// than Reserve descriptors free is closed at once, and when the system has no descriptor (or memory) for one more,
// accepting rests for a moment instead of being woken again at once by the connection still waiting.
class LocalListener : public QObject {
    Q_OBJECT
public:
    // Descriptors left for the event files, the controller's link and the broker, whatever windows do.
    static constexpr int Reserve = 128;
    // How long accepting rests after the system refused a descriptor.
    static constexpr int PauseMs = 250;

    explicit LocalListener(QObject* parent = nullptr);
    ~LocalListener() override; // stops listening and removes the socket

    // Listens at path (mode 0600) in a folder that exists; a socket left there by a recorder that no longer runs is
    // replaced. False with the reason in error otherwise.
    bool listen(const QString& path, QString* error);

signals:
    // A new connection, non-blocking; the receiver owns the descriptor.
    void accepted(int fd);

private:
    void acceptPending();

    int m_fd = -1;
    QString m_path;
    QSocketNotifier* m_notifier = nullptr;
    QTimer* m_resume = nullptr;
};

// The levels of every report, for the LEDs of windows in other processes, one byte per report over a local socket
// of their own. Everything else a window shows goes through the recorder's service; the LEDs take this shorter way
// because they follow the controller as it reports: a byte written straight from the core's thread, read by the
// window's thread as it arrives, with nothing to encode or decode on either side.

// The recorder's side, on the core's thread. A window that reads too slowly is never waited for: the byte that did
// not fit is kept (only the latest levels matter) and sent when the window has read.
class LevelsServer : public QObject {
    Q_OBJECT
public:
    // Windows served at once; a connection beyond them is closed.
    static constexpr int MaxWindows = 32;

    explicit LevelsServer(QObject* parent = nullptr);
    ~LevelsServer() override;

    // Listens at path in a folder that exists; a socket left there by a recorder that no longer runs is replaced.
    // False with the reason in error otherwise.
    bool listen(const QString& path, QString* error);
    // Sends the levels to every window connected.
    void send(quint8 levels);
    int windowCount() const { return int(m_windows.size()); }

private:
    struct Window {
        int fd = -1;
        QSocketNotifier* writable = nullptr; // on while a byte waits for room
        int pending = -1;
    };
    void take(int fd);
    void sendTo(Window& w, quint8 levels);
    void drop(int fd);

    LocalListener m_listener;
    std::vector<Window> m_windows;
};

// The window's side, on the window's thread: levels(value) for every byte, in the order the recorder sent them.
class LevelsReader : public QObject {
    Q_OBJECT
public:
    explicit LevelsReader(QObject* parent = nullptr);
    ~LevelsReader() override;

    // Connects to the recorder's levels at path, believing only a recorder of this user. Bytes sent from now on are
    // kept until start() is called.
    bool connectTo(const QString& path, QString* error);
    void start();
    // Reads what has come once started, without waiting for this thread's turn at the socket's notifier.
    void readPending();

signals:
    void levels(quint8 value);
    void closed();

private:
    void read();

    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
};

// The path of the levels beside the service's socket at servicePath.
QString levelsSocketPath(const QString& servicePath);
