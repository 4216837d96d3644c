#pragma once

#include <QDateTime>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QVariantList>

#include <array>

// What the counters window shows: events per input since the start or the operator's last reset, and the sum over
// a chosen period for one chosen input. The recorder counts on the core's thread while the window resets and
// moves the period on the GUI thread, so every value sits behind one mutex. Nothing here is stored.
class Counters : public QObject {
    Q_OBJECT
public:
    static constexpr int Inputs = 8;

    explicit Counters(QObject* parent = nullptr);

    int count(int input) const;
    int periodSum() const;
    QDateTime periodFrom() const;
    QDateTime periodTo() const;
    int periodInput() const; // 0..7

    // Both ends inclusive; the clock is read once per comparison, as the caller passes it.
    bool inPeriod(const QDateTime& now) const;

    // One recorded event of an input; inPeriod was computed once for the whole report.
    void countEvent(int input, bool inPeriod);
    // A chunk's recorded events, each as (input, inPeriod), with one change announced for all of them.
    void countEvents(const QList<std::pair<int, bool>>& events);

    // The operator's commands; a window attached to a recorder of another process passes them on to it.
    virtual void reset(int input);
    virtual void resetPeriodSum();
    virtual void setPeriod(const QDateTime& from, const QDateTime& to);
    virtual void setPeriodInput(int input); // clamped to 0..7

    // Every value, for a window of another process: counts, failed writes and their reasons, the period's sum,
    // input and ends. setState() puts such a list back and announces the change.
    QVariantList state() const;
    void setState(const QVariantList& state);

    // Event files that could not be written, per input, with the last reason, so the window can show a failure
    // that scrolled out of the log.
    int failedWrites(int input) const;
    QString lastFailure(int input) const;
    void countFailure(int input, const QString& reason);

signals:
    void changed();

private:
    mutable QMutex m_mutex;
    std::array<int, Inputs> m_counts{};
    std::array<int, Inputs> m_failed{};
    std::array<QString, Inputs> m_lastFailure;
    int m_sum = 0;
    int m_periodInput = 0;
    QDateTime m_from;
    QDateTime m_to;
};
