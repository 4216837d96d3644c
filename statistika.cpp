#include "statistika.h"

#include "charts/barchart.h"
#include "components/controls.h"
#include "components/fixeddialog.h"
#include "components/messagebox.h"
#include "core/archive/archiveindex.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QLabel>
#include <QShowEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QTabWidget>
#include <QTimeEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <utility>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {
// A timer rather than a posted call: posted calls run in the same turn as the repaint posted before them.
constexpr int kFillDelayMs = 1;

const QColor kSeriesColors[8] = {QColor(0xFF, 0x00, 0x00), QColor(0xFF, 0xFF, 0x80), QColor(0x80, 0xFF, 0x80),
                                 QColor(0x00, 0xFF, 0xFF), QColor(0x80, 0x00, 0x00), QColor(0x00, 0x00, 0xFF),
                                 QColor(0x00, 0x80, 0x40), QColor(0xFF, 0x80, 0x00)};

QWidget* chartPage(BarChart* chart, const char* name) {
    auto* page = new QWidget;
    page->setObjectName(QLatin1String(name));
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(chart);
    return page;
}
} // namespace

TfrmStatistika::TfrmStatistika(const Settings& settings, QWidget* parent)
    : FixedDialog("frmStatistika", QStringLiteral("Statistika"),
                  Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint, 793, 370, parent),
      m_settings(settings), m_tables(std::make_unique<archive::Tables>()) {
    m_scanPool.setMaxThreadCount(1);

    GroupBox1 = new QGroupBox(QStringLiteral(" Vyberte bit a časový úsek "), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(8, 3, 465, 81);
    newLabel(GroupBox1, QStringLiteral("Od"), 160, 19);
    newLabel(GroupBox1, QStringLiteral("Do"), 160, 43);
    DateTimePicker1 = newDatePicker(GroupBox1, "DateTimePicker1", QDate::currentDate(), 184, 14, 89, 21);
    DateTimePicker2 = newTimePicker(GroupBox1, "DateTimePicker2", QTime(0, 0, 0), 280, 14, 73, 21);
    DateTimePicker3 = newDatePicker(GroupBox1, "DateTimePicker3", QDate::currentDate(), 184, 38, 89, 21);
    DateTimePicker4 = newTimePicker(GroupBox1, "DateTimePicker4", QTime(23, 59, 59), 280, 38, 73, 21);

    btnDnes = new QPushButton(QStringLiteral("&Dnešní datum"), GroupBox1);
    btnDnes->setObjectName(QStringLiteral("btnDnes"));
    btnDnes->setGeometry(370, 14, 79, 25);
    btnNacti = new QPushButton(QStringLiteral("&Zobraz graf"), GroupBox1);
    btnNacti->setObjectName(QStringLiteral("btnNacti"));
    btnNacti->setGeometry(370, 44, 79, 25);

    CheckListBox1 = new QListWidget(GroupBox1);
    CheckListBox1->setObjectName(QStringLiteral("CheckListBox1"));
    CheckListBox1->setGeometry(8, 15, 137, 60);
    // Two columns of four: items flow top to bottom and wrap into the next column.
    CheckListBox1->setFlow(QListView::TopToBottom);
    CheckListBox1->setWrapping(true);
    CheckListBox1->setResizeMode(QListView::Adjust);
    CheckListBox1->setGridSize(QSize(64, 13));
    CheckListBox1->setUniformItemSizes(true);
    CheckListBox1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    for (int b = 0; b < 8; ++b) {
        auto* item = new QListWidgetItem(QStringLiteral("Bit%1").arg(b), CheckListBox1);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
        item->setSizeHint(QSize(64, 13));
    }

    cbNeNula = new QCheckBox(QStringLiteral("Nezobrazuj nulové hodnoty"), GroupBox1);
    cbNeNula->setObjectName(QStringLiteral("cbNeNula"));
    cbNeNula->setGeometry(160, 62, 153, 16);
    cbNeNula->setChecked(true);

    btnZavri = new QPushButton(QStringLiteral("&Zavři statistiku"), this);
    btnZavri->setObjectName(QStringLiteral("btnZavri"));
    btnZavri->setGeometry(698, 14, 85, 26);
    btnTisk = new QPushButton(QStringLiteral("&Tiskni"), this);
    btnTisk->setObjectName(QStringLiteral("btnTisk"));
    btnTisk->setGeometry(482, 14, 85, 26);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setGeometry(4, 88, 785, 281);
    Chart1 = new BarChart;
    Chart1->setObjectName(QStringLiteral("Chart1"));
    for (int b = 0; b < 8; ++b)
        Chart1->addSeries(QStringLiteral("Bit%1").arg(b), kSeriesColors[b], 20);
    Chart2 = new BarChart;
    Chart2->setObjectName(QStringLiteral("Chart2"));
    Chart2->addSeries(QStringLiteral("Bit0"), kSeriesColors[0], 15, true);
    PageControl1->addTab(chartPage(Chart1, "TabSheet1"), QStringLiteral("Denní "));
    PageControl1->addTab(chartPage(Chart2, "TabSheet2"), QStringLiteral("Hodinová"));

    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(247, 213, 297, 41);
    Panel1->setAutoFillBackground(true);
    QPalette panelPalette = Panel1->palette();
    panelPalette.setColor(QPalette::Window, QColor(0xC0, 0xDC, 0xC0));
    panelPalette.setColor(QPalette::WindowText, QColor(0x00, 0x00, 0x80));
    Panel1->setPalette(panelPalette);
    auto* notice = new QLabel(QStringLiteral("Čekejte prosím! Načítam data."), Panel1);
    QFont noticeFont(QStringLiteral("MS Sans Serif"));
    noticeFont.setPixelSize(16);
    noticeFont.setBold(true);
    noticeFont.setItalic(true);
    notice->setFont(noticeFont);
    notice->setAlignment(Qt::AlignCenter);
    notice->setGeometry(0, 2, 297, 22);
    Panel1Count = new QLabel(Panel1);
    Panel1Count->setObjectName(QStringLiteral("Panel1Count"));
    Panel1Count->setAlignment(Qt::AlignCenter);
    Panel1Count->setGeometry(0, 24, 297, 15);
    Panel1->hide();

    for (auto* b : findChildren<QPushButton*>())
        b->setAutoDefault(false);

    m_progressTimer = new QTimer(this);
    m_progressTimer->setInterval(100);
    connect(m_progressTimer, &QTimer::timeout, this, [this] {
        if (m_progress)
            // Files taken from the archive index count as done: they were checked, not opened.
            Panel1Count->setText(QStringLiteral("Přečteno souborů: %1")
                                     .arg(m_progress->filesRead.load() + m_progress->filesFromIndex.load()));
    });

    connect(btnDnes, &QPushButton::clicked, this, &TfrmStatistika::btnDnesClick);
    connect(btnNacti, &QPushButton::clicked, this, &TfrmStatistika::btnNactiClick);
    connect(btnTisk, &QPushButton::clicked, this, &TfrmStatistika::btnTiskClick);
    connect(btnZavri, &QPushButton::clicked, this, &QDialog::accept);
    connect(PageControl1, &QTabWidget::currentChanged, this, &TfrmStatistika::PageControl1Change);
    connect(CheckListBox1, &QListWidget::itemChanged, this, &TfrmStatistika::CheckListBox1ClickCheck);
    // The item view leaves the current row where it was when a click lands on an item's box; the operator's last
    // click decides the hourly page's one input, so it is made current here, on either page.
    connect(CheckListBox1, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
        const QSignalBlocker blocker(CheckListBox1);
        CheckListBox1->setCurrentItem(item);
    });
    connect(DateTimePicker1, &QDateEdit::dateChanged, this, &TfrmStatistika::DateTimePicker1Change);
    connect(&m_watcher, &QFutureWatcher<ScanOutcome>::finished, this, &TfrmStatistika::finishDisplay);
}

TfrmStatistika::~TfrmStatistika() {
    // The worker counts into the tables; it must be gone before they are.
    if (m_progress)
        m_progress->cancel = true;
    m_watcher.waitForFinished();
}

void TfrmStatistika::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormActivate();
}

void TfrmStatistika::FormActivate() {
    // Selecting the daily page this way runs no page rule; the To date is unlocked all the same, so it is never
    // left locked on the daily page.
    {
        const QSignalBlocker blocker(PageControl1);
        PageControl1->setCurrentIndex(0);
    }
    DateTimePicker3->setEnabled(true);
}

void TfrmStatistika::done(int result) {
    // Closing the window while a display runs cancels it: the charts keep what they showed before.
    if (m_running && m_progress)
        m_progress->cancel = true;
    QDialog::done(result);
}

void TfrmStatistika::btnDnesClick() {
    const QDate today = m_settings.clock().now().date();
    DateTimePicker1->setDate(today);
    DateTimePicker3->setDate(today);
    DateTimePicker2->setTime(QTime(0, 0, 0));
    DateTimePicker4->setTime(QTime(23, 59, 59));
}

void TfrmStatistika::PageControl1Change(int index) {
    // A display takes the inputs it shows when it starts, and the single-choice rule must not uncheck them
    // under it: the page rules wait for the display to end.
    if (m_running) {
        m_pageRulesPending = true;
        return;
    }
    if (index == 0) {
        DateTimePicker3->setEnabled(true);
    } else if (index == 1) {
        DateTimePicker3->setDate(DateTimePicker1->date());
        DateTimePicker3->setEnabled(false);
        applySingleChoice(CheckListBox1->currentRow());
    }
}

void TfrmStatistika::CheckListBox1ClickCheck(QListWidgetItem* item) {
    // A click on an item's box does not move the current row, so the item that changed is the one chosen.
    if (PageControl1->currentIndex() != 1 || !item)
        return;
    {
        const QSignalBlocker blocker(CheckListBox1);
        CheckListBox1->setCurrentItem(item);
    }
    applySingleChoice(CheckListBox1->row(item));
}

void TfrmStatistika::applySingleChoice(int chosen) {
    if (PageControl1->currentIndex() != 1)
        return;
    const QSignalBlocker blocker(CheckListBox1);
    for (int b = 0; b < CheckListBox1->count(); ++b)
        CheckListBox1->item(b)->setCheckState(b == chosen ? Qt::Checked : Qt::Unchecked);
    CheckListBox1->viewport()->update();
}

void TfrmStatistika::DateTimePicker1Change() {
    if (PageControl1->currentIndex() == 1)
        DateTimePicker3->setDate(DateTimePicker1->date());
}

void TfrmStatistika::btnNactiClick() {
    if (m_running)
        return;
    GroupBox1->setEnabled(false);
    // The inputs, their folders and the period are taken now; the charts show these whatever happens to the
    // controls until the display ends.
    QList<archive::ScanJob> jobs;
    unsigned bits = 0;
    for (int b = 0; b < 8; ++b) {
        if (CheckListBox1->item(b)->checkState() == Qt::Checked) {
            jobs.append({m_settings.outputDirectory(b), b});
            bits |= 1u << b;
        }
    }
    if (jobs.isEmpty()) {
        GroupBox1->setEnabled(true);
        return;
    }

    m_period = {DateTimePicker1->date(), DateTimePicker3->date(), DateTimePicker2->time(), DateTimePicker4->time()};
    switch (archive::checkPeriod(m_period)) {
    case archive::PeriodProblem::None:
        break;
    case archive::PeriodProblem::ToBeforeFrom:
        MessageBox::warning(this, QStringLiteral("Datum \"Do\" je před datem \"Od\". Graf nelze zobrazit."));
        GroupBox1->setEnabled(true);
        return;
    case archive::PeriodProblem::TooLong:
        MessageBox::warning(this,
                            QStringLiteral("Období je delší než %1 dní. Graf nelze zobrazit.").arg(archive::MaxDays));
        GroupBox1->setEnabled(true);
        return;
    }

    // The boxes for missing directories come first, in input order, while the scan has not started; the
    // event loop keeps running under them as under every box.
    for (const auto& job : archive::missingDirectories(jobs)) {
        MessageBox::ok(this, MessageBox::Plain, QString(),
                       QStringLiteral("Složka ") + job.directory + QStringLiteral(" nenalezena"));
    }

    m_running = true;
    m_shownInputs = bits;
    m_skipZero = cbNeNula->isChecked();
    Panel1Count->setText(QStringLiteral("Přečteno souborů: 0"));
    Panel1->show();
    Panel1->raise();
    m_days = int(m_period.fromDate.daysTo(m_period.toDate)) + 1;
    m_progress = std::make_unique<archive::ScanProgress>();
    m_progressTimer->start();

    archive::Tables* tables = m_tables.get();
    archive::ScanProgress* progress = m_progress.get();
    const archive::Period period = m_period;
    const int year = m_settings.clock().now().date().year();
    const QLocale locale = QLocale::system();
    const bool skipZero = m_skipZero;
    archive::ScanOptions options;
    options.indexDirectory = archive::defaultIndexDirectory();
    m_watcher.setFuture(QtConcurrent::run(
        &m_scanPool, [tables, progress, period, jobs, bits, skipZero, year, options, locale]() -> ScanOutcome {
#ifdef Q_OS_LINUX
            // The counting threads yield to the GUI thread, so the monitor stays quick while they use the cores.
            // Threads the scan starts inherit this; the pool's one thread only ever runs scans.
            ::setpriority(PRIO_PROCESS, ::gettid(), 10);
#endif
            ScanOutcome outcome;
            try {
                // Clearing the tables and making the charts' points is work the GUI thread need not wait for: the
                // window reads the outcome only once it has arrived, and a long period has half a million points.
                const int days = archive::preparePeriodTables(*tables, period);
                outcome.completed = archive::scanInputs(*tables, period, jobs, QLatin1String(archive::EventFileMask),
                                                        year, *progress, options, &outcome.unreadable);
                if (outcome.completed) {
                    outcome.points = std::make_shared<ChartPoints>();
                    makeChartPoints(*tables, days, bits, skipZero, locale, *outcome.points);
                }
            } catch (const archive::ArchiveError& e) {
                outcome.error = e.path + QStringLiteral(": ") + e.reason;
            } catch (const std::exception& e) {
                outcome.error = QString::fromUtf8(e.what());
            }
            return outcome;
        }));
}

void TfrmStatistika::finishDisplay() {
    m_progressTimer->stop();
    const ScanOutcome outcome = m_watcher.result();
    if (!outcome.error.isEmpty()) {
        endDisplay();
        // The charts keep what they showed before; the operator learns which file stopped the display.
        MessageBox::error(this, QStringLiteral("Graf nelze zobrazit, chybný soubor:\r") + outcome.error);
        emit displayFinished();
        return;
    }
    if (!outcome.completed || !outcome.points) {
        endDisplay();
        emit displayFinished();
        return;
    }
    // The notice goes first and the window repaints what lay under it; the charts take their points a turn later,
    // so that repaint, the chart's rebuild, its layers and its paint each come in an event loop turn of their own
    // rather than holding the GUI thread together.
    Panel1->hide();
    QTimer::singleShot(kFillDelayMs, Qt::PreciseTimer, this, [this, outcome] {
        fillCharts(*outcome.points);
        endDisplay();
        // The charts show what could be read; the operator learns what was left out, without a box to wait on.
        if (!outcome.unreadable.isEmpty()) {
            QStringList lines;
            for (const archive::UnreadableFolder& folder : outcome.unreadable)
                lines << QStringLiteral("Nelze číst složku: %1 (%2)").arg(folder.path, folder.reason);
            MessageBox::open(this, MessageBox::Warning, QStringLiteral("Warning"), lines.join(QLatin1Char('\r')));
        }
        emit displayFinished();
    });
}

void TfrmStatistika::endDisplay() {
    Panel1->hide();
    GroupBox1->setEnabled(true);
    m_running = false;
    m_progress.reset();
    if (std::exchange(m_pageRulesPending, false))
        PageControl1Change(PageControl1->currentIndex());
}

void TfrmStatistika::makeChartPoints(const archive::Tables& t, int days, unsigned inputs, bool skipZero,
                                     const QLocale& locale, ChartPoints& points) {
    // Each day's label is formatted once and shared by the inputs that show the day.
    QStringList labels;
    labels.reserve(days);
    for (int i = 0; i < days; ++i)
        labels.append(locale.toString(QDate::fromJulianDay(t.periodDays[size_t(i)]), QLocale::ShortFormat));
    for (int b = 0; b < 8; ++b) {
        if (!(inputs & (1u << b)))
            continue;
        std::vector<double>& values = points.dayValues[b];
        QStringList& dayLabels = points.dayLabels[b];
        values.reserve(size_t(days));
        dayLabels.reserve(days);
        for (int i = 0; i < days; ++i) {
            const qint32 v = t.dayCounts[size_t(i)][b];
            if (skipZero && v == 0)
                continue;
            values.push_back(v);
            dayLabels.append(labels[i]);
        }
    }
    for (int h = 0; h < archive::HourSlots; ++h) {
        const qint32 v = t.hourCounts[h];
        if (skipZero && v == 0)
            continue;
        points.hourValues.push_back(v);
        points.hourLabels.append(t.HourLabels[h]);
    }
}

void TfrmStatistika::fillCharts(ChartPoints& points) {
    Chart1->beginUpdate();
    Chart2->beginUpdate();
    for (int b = 0; b < 8; ++b)
        Chart1->setPoints(b, std::move(points.dayValues[b]), std::move(points.dayLabels[b]));
    Chart2->setPoints(0, std::move(points.hourValues), std::move(points.hourLabels));
    Chart1->endUpdate();
    Chart2->endUpdate();
}

void TfrmStatistika::btnTiskClick() {
    QPrinter printer(QPrinter::HighResolution);
    if (printDialogHook) {
        if (!printDialogHook(printer))
            return;
    } else {
        QPrintDialog dialog(&printer, this);
        if (dialog.exec() != QDialog::Accepted)
            return;
    }
    // A display that has just ended may still be drawing its chart over the next event loop turns.
    Chart1->flush();
    Chart2->flush();
    // The window's client area as shown, at the top left of one page, at the same physical size as on screen
    // when the page is wide enough, else scaled down to the printable area with its proportions kept (an A4
    // portrait page is narrower than the window). The pixels go into the print as they are, never recompressed.
    // On a scaled screen the grab holds more device pixels than the window is wide and draws at the window's
    // own size, so the fit goes by that size.
    const QPixmap image = grab();
    const QSizeF size = image.deviceIndependentSize();
    QPainter painter(&printer);
    painter.setRenderHint(QPainter::LosslessImageRendering);
    const double sx = double(printer.logicalDpiX()) / logicalDpiX();
    const double sy = double(printer.logicalDpiY()) / logicalDpiY();
    const QRect printable = printer.pageLayout().paintRectPixels(printer.resolution());
    const double fit =
        std::min({1.0, printable.width() / (sx * size.width()), printable.height() / (sy * size.height())});
    painter.scale(sx * fit, sy * fit);
    painter.drawPixmap(QPoint(0, 0), image);
    painter.end();
}
