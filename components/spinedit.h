#pragma once

#include <QLineEdit>
#include <QSpinBox>

// A spin edit as the monitor reads it: its value is the integer in its text, or its minimum when the text
// is not an integer (a field the operator has cleared reads as the minimum). Putting a value clamps it to the
// range, and leaving the field replaces a typed value outside the range by the nearer limit.
class SpinEdit : public QSpinBox {
    Q_OBJECT
public:
    SpinEdit(int minimum, int maximum, int initial, QWidget* parent = nullptr);

    using QAbstractSpinBox::lineEdit;

    int Value() const;
    void setValueClamped(int value);

protected:
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
};
