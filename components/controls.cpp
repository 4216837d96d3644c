#include "components/controls.h"

#include <QDateEdit>
#include <QFont>
#include <QLabel>
#include <QTimeEdit>

QFont windowFont() {
    // Substitutes are registered once; the fixed pixel layouts were made for the narrow face.
    static const bool substituted = [] {
        QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                                   {QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Liberation Sans"),
                                    QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
        return true;
    }();
    Q_UNUSED(substituted);
    return QFont(QStringLiteral("MS Sans Serif"), 8);
}

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
