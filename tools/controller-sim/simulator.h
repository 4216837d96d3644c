#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <array>

struct SimOptions {
    quint16 port = 0;
    // Load mode: random pulses at about rate transitions into LOG1 per second, for the given seconds.
    int rate = 0;
    int seconds = 0;
    quint8 bits = 0xFF;
    quint32 seed = 0;
    bool seeded = false;
    bool demo = false;
    // Faults on the wire.
    bool split = false;
    bool drip = false;
    bool burst = false;
    bool iacText = false;
    int closeEvery = 0;  // every Kth report is cut in half and the connection closed
    int gap = -1;        // ms between pieces; -1 picks a default per fault
    int keepalive = 0;   // ms between unsolicited status reports (subcommand 150); 0 = none
    bool answer = false; // report the current state after a good greeting
};

// Plays the controller: one client at a time, greeting check, an 8-bit input state and its reports.
class ControllerSim : public QObject {
    Q_OBJECT
public:
    explicit ControllerSim(const SimOptions& options, QObject* parent = nullptr);

    bool listen(QString* error);
    quint16 port() const { return m_server.serverPort(); }

    // One command line from stdin or a script; they run in order, `sleep` holding back the rest.
    void addCommand(const QByteArray& line);
    // stdin ended: quits once the commands before it have run, unless load or demo mode keeps running.
    void inputEnded();
    // SIGTERM or SIGINT.
    void terminate();

    bool loadMode() const { return m_options.rate > 0 && m_options.seconds > 0; }

private:
    struct Item {
        enum Kind { Bytes, Close, Reset } kind = Bytes;
        QByteArray bytes;
        int delayBefore = 0;
        QList<int> entered; // inputs whose move into LOG1 this piece completes
    };

    void acceptClients();
    void clientReadyRead();
    void clientDisconnected();
    void dropClient();

    void runCommands();
    bool execute(const QByteArray& line, QString* error);

    void setState(quint8 value, quint8 subcommand);
    void pulse(int bit, int msecs);
    void release(int bit);
    void sendReport(quint8 subcommand, const QList<int>& entered);
    void sendText(const QByteArray& bytes);
    void shape(const QByteArray& bytes, const QList<int>& entered, bool isReport);
    void enqueue(const Item& item);
    void pump();
    void deliver(const Item& item);
    void flushBurst();

    void startLoad();
    void loadTick();
    void demoTick();
    void silence();

    void requestQuit();
    void tryQuit();
    void finish();

    static void say(const QByteArray& line);

    SimOptions m_options;
    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    QByteArray m_greeting;
    bool m_greeted = false;

    quint8 m_state = 0xFF; // bit n = raw level of input n; 0 is LOG1
    std::array<QTimer*, 8> m_releaseTimers{};
    int m_reportCount = 0;
    qint64 m_transitions = 0;

    QList<QByteArray> m_commands;
    QTimer m_sleepTimer;
    bool m_inputEnded = false;

    QList<Item> m_queue;
    QTimer m_pumpTimer;
    QByteArray m_burstBytes;
    QList<int> m_burstEntered;
    QTimer m_burstTimer;

    QRandomGenerator m_random;
    QTimer m_loadTimer;
    QElapsedTimer m_loadClock;
    double m_nextPulseAt = 0;
    bool m_loadStarted = false;
    bool m_loadDone = false;
    QTimer m_demoTimer;
    QTimer m_keepaliveTimer;

    bool m_quitting = false;
    bool m_finished = false;
};
