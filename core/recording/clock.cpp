#include "core/recording/clock.h"

QDateTime Clock::now() const {
    return QDateTime::currentDateTime();
}

std::shared_ptr<const Clock> Clock::system() {
    static const std::shared_ptr<const Clock> real = std::make_shared<const Clock>();
    return real;
}
