#pragma once

#include <QDate>
#include <QString>
#include <QTime>

class QDateEdit;
class QFont;
class QLabel;
class QTimeEdit;
class QWidget;

// The fixed layouts place their controls by pixel; these make the common ones.

// The font every window asks for; where "MS Sans Serif" is missing a face with its narrow metrics stands in.
QFont windowFont();

// A label at (x, y), as large as its text.
QLabel* newLabel(QWidget* parent, const QString& text, int x, int y);

// A date picker with a calendar popup ("dd.MM.yyyy") and a time picker ("HH:mm:ss"), at left, top, width, height.
QDateEdit* newDatePicker(QWidget* parent, const char* name, const QDate& date, int x, int y, int w, int h);
QTimeEdit* newTimePicker(QWidget* parent, const char* name, const QTime& time, int x, int y, int w, int h);
