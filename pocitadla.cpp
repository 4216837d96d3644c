#include "pocitadla.h"

#include "components/controls.h"
#include "components/fixeddialog.h"
#include "components/spinedit.h"

#include <QDateEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimeEdit>

namespace {
QLineEdit* counterEdit(QWidget* parent, int x, int y) {
    auto* edit = new QLineEdit(QStringLiteral("0"), parent);
    edit->setGeometry(x, y, 65, 21);
    edit->setEnabled(false);
    return edit;
}
} // namespace

TFrmPocitadla::TFrmPocitadla(Counters& counters, std::shared_ptr<const Clock> clock, QWidget* parent)
    // A tool window without caption buttons: no close box, no system menu.
    : FixedDialog("FrmPocitadla", QStringLiteral("Počítadla"), Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint,
                  395, 217, parent),
      m_counters(counters), m_clock(std::move(clock)) {
    for (int k = 0; k < 8; ++k) {
        const int column = k < 4 ? 0 : 200;
        const int row = 24 * (k % 4);
        Edit[k] = counterEdit(this, 40 + column, 8 + row);
        Edit[k]->setObjectName(QStringLiteral("Edit%1").arg(k + 1));
        newLabel(this, QStringLiteral("Bit%1").arg(k), 8 + column, 13 + row)
            ->setObjectName(QStringLiteral("Label%1").arg(k + 1));
        btnNuluj[k] = new QPushButton(QStringLiteral("Vynuluj"), this);
        btnNuluj[k]->setObjectName(QStringLiteral("btnNuluj%1").arg(k + 1));
        btnNuluj[k]->setGeometry(112 + column, 8 + row, 75, 22);
        connect(btnNuluj[k], &QPushButton::clicked, this, [this, k] { btnNulujClick(k); });
    }

    btnZavri = new QPushButton(QStringLiteral("Zavři sledování"), this);
    btnZavri->setObjectName(QStringLiteral("btnZavri"));
    btnZavri->setGeometry(296, 182, 94, 25);
    connect(btnZavri, &QPushButton::clicked, this, &QDialog::accept);

    GroupBox1 = new QGroupBox(QStringLiteral(" Časový úsek "), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(8, 112, 281, 97);
    newLabel(GroupBox1, QStringLiteral("Od"), 8, 21);
    newLabel(GroupBox1, QStringLiteral("Do"), 8, 45);
    DateTimePicker1 = newDatePicker(GroupBox1, "DateTimePicker1", QDate::currentDate(), 32, 16, 89, 21);
    DateTimePicker2 = newTimePicker(GroupBox1, "DateTimePicker2", QTime::currentTime(), 128, 16, 73, 21);
    DateTimePicker3 = newDatePicker(GroupBox1, "DateTimePicker3", QDate::currentDate(), 32, 40, 89, 21);
    DateTimePicker4 = newTimePicker(GroupBox1, "DateTimePicker4", QTime::currentTime(), 128, 40, 73, 21);

    newLabel(GroupBox1, QStringLiteral("Bit"), 8, 69);
    spBitUsek = new SpinEdit(0, 7, 0, GroupBox1);
    spBitUsek->setObjectName(QStringLiteral("spBitUsek"));
    spBitUsek->setGeometry(32, 64, 49, 22);
    newLabel(GroupBox1, QStringLiteral("Součet"), 96, 69);
    Edit9 = counterEdit(GroupBox1, 135, 64);
    Edit9->setObjectName(QStringLiteral("Edit9"));

    btnNulujUsek = new QPushButton(QStringLiteral("Vynuluj"), GroupBox1);
    btnNulujUsek->setObjectName(QStringLiteral("btnNulujUsek"));
    btnNulujUsek->setGeometry(210, 17, 63, 30);
    connect(btnNulujUsek, &QPushButton::clicked, this, &TFrmPocitadla::btnNulujUsekClick);
    btnDnes = new QPushButton(QStringLiteral("Dnes"), GroupBox1);
    btnDnes->setObjectName(QStringLiteral("btnDnes"));
    btnDnes->setGeometry(210, 55, 63, 30);
    connect(btnDnes, &QPushButton::clicked, this, &TFrmPocitadla::btnDnesClick);

    for (auto* b : findChildren<QPushButton*>())
        b->setAutoDefault(false);

    for (auto* picker : {DateTimePicker1, DateTimePicker3})
        connect(picker, &QDateEdit::dateChanged, this, &TFrmPocitadla::periodChanged);
    for (auto* picker : {DateTimePicker2, DateTimePicker4})
        connect(picker, &QTimeEdit::timeChanged, this, &TFrmPocitadla::periodChanged);
    const auto putInput = [this] { m_counters.setPeriodInput(spBitUsek->Value()); };
    connect(spBitUsek->lineEdit(), &QLineEdit::textChanged, this, putInput);
    connect(spBitUsek, &QSpinBox::valueChanged, this, putInput);
    connect(&m_counters, &Counters::changed, this, &TFrmPocitadla::showCounters);
    periodChanged();
    showCounters();
}

void TFrmPocitadla::periodChanged() {
    m_counters.setPeriod(QDateTime(DateTimePicker1->date(), DateTimePicker2->time()),
                         QDateTime(DateTimePicker3->date(), DateTimePicker4->time()));
}

void TFrmPocitadla::showCounters() {
    for (int k = 0; k < 8; ++k) {
        Edit[k]->setText(QString::number(m_counters.count(k)));
        // A failed write scrolls out of the log; the counter keeps it in sight without changing the layout.
        const int failed = m_counters.failedWrites(k);
        Edit[k]->setToolTip(failed == 0 ? QString()
                                        : QStringLiteral("Nezapsané události: %1\nPoslední chyba: %2")
                                              .arg(failed)
                                              .arg(m_counters.lastFailure(k)));
    }
    Edit9->setText(QString::number(m_counters.periodSum()));
}

void TFrmPocitadla::btnNulujClick(int input) {
    m_counters.reset(input);
}

void TFrmPocitadla::btnNulujUsekClick() {
    m_counters.resetPeriodSum();
}

void TFrmPocitadla::btnDnesClick() {
    // Four separate clock reads: both ends equal the moment of the click, so no later event counts in the sum
    // until the operator moves the end.
    DateTimePicker1->setDate(m_clock->now().date());
    DateTimePicker2->setTime(m_clock->now().time());
    DateTimePicker3->setDate(m_clock->now().date());
    DateTimePicker4->setTime(m_clock->now().time());
}
