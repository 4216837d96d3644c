#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;

// The listening side of the local socket that serves the recorder to windows. Any process of this user can connect
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
