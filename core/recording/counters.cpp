#include "core/recording/counters.h"

#include <algorithm>

Counters::Counters(QObject* parent) : QObject(parent) {
    const QDateTime now = QDateTime::currentDateTime();
    m_from = now;
    m_to = now;
}

int Counters::count(int input) const {
    QMutexLocker lock(&m_mutex);
    return m_counts.at(size_t(input));
}

int Counters::periodSum() const {
    QMutexLocker lock(&m_mutex);
    return m_sum;
}

QDateTime Counters::periodFrom() const {
    QMutexLocker lock(&m_mutex);
    return m_from;
}

QDateTime Counters::periodTo() const {
    QMutexLocker lock(&m_mutex);
    return m_to;
}

int Counters::periodInput() const {
    QMutexLocker lock(&m_mutex);
    return m_periodInput;
}

bool Counters::inPeriod(const QDateTime& now) const {
    QMutexLocker lock(&m_mutex);
    return now >= m_from && now <= m_to;
}

void Counters::countEvent(int input, bool inPeriod) {
    countEvents({{input, inPeriod}});
}

void Counters::countEvents(const QList<std::pair<int, bool>>& events) {
    {
        QMutexLocker lock(&m_mutex);
        for (const auto& [input, inPeriod] : events) {
            ++m_counts.at(size_t(input));
            if (inPeriod && m_periodInput == input)
                ++m_sum;
        }
    }
    emit changed();
}

void Counters::reset(int input) {
    {
        QMutexLocker lock(&m_mutex);
        m_counts.at(size_t(input)) = 0;
    }
    emit changed();
}

void Counters::resetPeriodSum() {
    {
        QMutexLocker lock(&m_mutex);
        m_sum = 0;
    }
    emit changed();
}

void Counters::setPeriod(const QDateTime& from, const QDateTime& to) {
    QMutexLocker lock(&m_mutex);
    m_from = from;
    m_to = to;
}

void Counters::setPeriodInput(int input) {
    QMutexLocker lock(&m_mutex);
    m_periodInput = std::clamp(input, 0, Inputs - 1);
}

int Counters::failedWrites(int input) const {
    QMutexLocker lock(&m_mutex);
    return m_failed.at(size_t(input));
}

QString Counters::lastFailure(int input) const {
    QMutexLocker lock(&m_mutex);
    return m_lastFailure.at(size_t(input));
}

void Counters::countFailure(int input, const QString& reason) {
    {
        QMutexLocker lock(&m_mutex);
        ++m_failed.at(size_t(input));
        m_lastFailure.at(size_t(input)) = reason;
    }
    emit changed();
}

QVariantList Counters::state() const {
    QMutexLocker lock(&m_mutex);
    QVariantList s;
    for (int n = 0; n < Inputs; ++n)
        s << m_counts[n] << m_failed[n] << m_lastFailure[n];
    s << m_sum << m_periodInput << m_from << m_to;
    return s;
}

void Counters::setState(const QVariantList& s) {
    if (s.size() != Inputs * 3 + 4)
        return;
    {
        QMutexLocker lock(&m_mutex);
        for (int n = 0; n < Inputs; ++n) {
            m_counts[n] = s[n * 3].toInt();
            m_failed[n] = s[n * 3 + 1].toInt();
            m_lastFailure[n] = s[n * 3 + 2].toString();
        }
        m_sum = s[Inputs * 3].toInt();
        m_periodInput = s[Inputs * 3 + 1].toInt();
        m_from = s[Inputs * 3 + 2].toDateTime();
        m_to = s[Inputs * 3 + 3].toDateTime();
    }
    emit changed();
}
