#include "components/controls.h"

#include <QDateEdit>
#include <QLabel>
#include <QTimeEdit>

QLabel* newLabel(QWidget* parent, const QString& text, int x, int y) {
    auto* l = new QLabel(text, parent);
    l->move(x, y);
    l->adjustSize();
    return l;
}

QDateEdit* newDatePicker(QWidget* parent, const char* name, const QDate& date, int x, int y, int w, int h) {
    auto* picker = new QDateEdit(date, parent);
    picker->setObjectName(QLatin1String(name));
    picker->setGeometry(x, y, w, h);
    picker->setCalendarPopup(true);
    picker->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    return picker;
}

QTimeEdit* newTimePicker(QWidget* parent, const char* name, const QTime& time, int x, int y, int w, int h) {
    auto* picker = new QTimeEdit(time, parent);
    picker->setObjectName(QLatin1String(name));
    picker->setGeometry(x, y, w, h);
    picker->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    return picker;
}
