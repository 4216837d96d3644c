#pragma once

#include "components/fixeddialog.h"
#include "core/recording/clock.h"
#include "core/recording/counters.h"

#include <array>
#include <memory>

class QDateEdit;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QTimeEdit;
class SpinEdit;

// The counters window: events per input since the start or the last reset, and a period sum for one input.
// A view over the counters model: it counts nothing itself, shows what the recorder counted, and hands the
// operator's resets, period and input choice to the model.
class TFrmPocitadla : public FixedDialog {
    Q_OBJECT
public:
    // clock: what "Dnes" sets the period to.
    explicit TFrmPocitadla(Counters& counters, std::shared_ptr<const Clock> clock = Clock::system(),
                           QWidget* parent = nullptr);

    std::array<QLineEdit*, 8> Edit{}; // Edit1 … Edit8: inputs 0 … 7
    QLineEdit* Edit9 = nullptr;       // the period sum
    std::array<QPushButton*, 8> btnNuluj{};
    QPushButton* btnNulujUsek = nullptr;
    QPushButton* btnDnes = nullptr;
    QPushButton* btnZavri = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QDateEdit* DateTimePicker1 = nullptr; // period start date
    QTimeEdit* DateTimePicker2 = nullptr; // period start time
    QDateEdit* DateTimePicker3 = nullptr; // period end date
    QTimeEdit* DateTimePicker4 = nullptr; // period end time
    SpinEdit* spBitUsek = nullptr;

public slots:
    void btnNulujClick(int input);
    void btnNulujUsekClick();
    void btnDnesClick();

private:
    void showCounters();
    void periodChanged();

    Counters& m_counters;
    const std::shared_ptr<const Clock> m_clock;
};
