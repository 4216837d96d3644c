#include "components/spinedit.h"

SpinEdit::SpinEdit(int minimum, int maximum, int initial, QWidget* parent) : QSpinBox(parent) {
    setRange(minimum, maximum);
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    setKeyboardTracking(true);
    setValue(initial);
}

int SpinEdit::Value() const {
    bool ok = false;
    const int v = cleanText().toInt(&ok);
    return ok ? v : minimum();
}

void SpinEdit::setValueClamped(int value) {
    // QSpinBox::setValue clamps too; an empty text counts as a different value, so the text is put back.
    const int clamped = std::clamp(value, minimum(), maximum());
    if (clamped == QSpinBox::value() && cleanText() != QString::number(clamped))
        lineEdit()->setText(textFromValue(clamped));
    setValue(clamped);
}

QValidator::State SpinEdit::validate(QString& input, int& pos) const {
    // Any integer may be typed; leaving the field brings it into range.
    Q_UNUSED(pos);
    if (input.isEmpty() || input == QLatin1String("-") || input == QLatin1String("+"))
        return QValidator::Intermediate;
    bool ok = false;
    const int v = input.toInt(&ok);
    if (!ok)
        return QValidator::Invalid;
    return (v >= minimum() && v <= maximum()) ? QValidator::Acceptable : QValidator::Intermediate;
}

void SpinEdit::fixup(QString& input) const {
    bool ok = false;
    const int v = input.toInt(&ok);
    input = textFromValue(ok ? std::clamp(v, minimum(), maximum()) : minimum());
}
