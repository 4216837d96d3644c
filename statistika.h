#pragma once

#include "core/archive/archive.h"
#include "core/settings/settings.h"

#include "components/fixeddialog.h"
#include <QFutureWatcher>
#include <QThreadPool>

#include <functional>
#include <memory>
#include <vector>

class BarChart;
class QCheckBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QLocale;
class QPrinter;
class QPushButton;
class QTabWidget;
class QTimeEdit;
class QTimer;

// The statistics window: daily and hourly bar charts of the recorded events, and a print of the window.
// The archive is counted in a worker thread, so controller data, the recorder and the watchdog go on while a
// large archive is read.
class TfrmStatistika : public FixedDialog {
    Q_OBJECT
public:
    explicit TfrmStatistika(const Settings& settings, QWidget* parent = nullptr);
    ~TfrmStatistika() override;

    QGroupBox* GroupBox1 = nullptr;
    QDateEdit* DateTimePicker1 = nullptr; // From date
    QTimeEdit* DateTimePicker2 = nullptr; // From time
    QDateEdit* DateTimePicker3 = nullptr; // To date
    QTimeEdit* DateTimePicker4 = nullptr; // To time
    QPushButton* btnDnes = nullptr;
    QPushButton* btnZavri = nullptr;
    QPushButton* btnNacti = nullptr;
    QListWidget* CheckListBox1 = nullptr;
    QCheckBox* cbNeNula = nullptr;
    QPushButton* btnTisk = nullptr;
    QWidget* Panel1 = nullptr;
    QLabel* Panel1Count = nullptr;
    QTabWidget* PageControl1 = nullptr;
    BarChart* Chart1 = nullptr;
    BarChart* Chart2 = nullptr;

    // The statistics tables live for the whole run.
    bool displayRunning() const { return m_running; }
    int displayedDays() const { return m_days; }

    // Test seam for the printer dialog: when set, it is called instead of the dialog; false means cancelled.
    static inline std::function<bool(QPrinter&)> printDialogHook;

signals:
    void displayFinished();

public slots:
    void btnDnesClick();
    void btnNactiClick();
    void btnTiskClick();
    void PageControl1Change(int index);
    void CheckListBox1ClickCheck(QListWidgetItem* item);
    void DateTimePicker1Change();

protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

private:
    struct ChartPoints {
        std::vector<double> dayValues[8];
        QStringList dayLabels[8]; // in the system locale's short date format
        std::vector<double> hourValues;
        QStringList hourLabels;
    };
    struct ScanOutcome {
        bool completed = false;
        QString error;
        QList<archive::UnreadableFolder> unreadable;
        // The charts' points, made ready in the worker: the GUI thread only hands them over. Held by pointer, so the
        // outcome's copies do not copy a long period's megabytes.
        std::shared_ptr<ChartPoints> points;
    };
    void FormActivate();
    void applySingleChoice(int chosen);
    void finishDisplay();
    static void makeChartPoints(const archive::Tables& t, int days, unsigned inputs, bool skipZero,
                                const QLocale& locale, ChartPoints& points);
    void fillCharts(ChartPoints& points);
    void endDisplay();

    const Settings& m_settings;
    std::unique_ptr<archive::Tables> m_tables;
    std::unique_ptr<archive::ScanProgress> m_progress;
    QThreadPool m_scanPool;
    QFutureWatcher<ScanOutcome> m_watcher;
    QTimer* m_progressTimer = nullptr;
    bool m_running = false;
    bool m_pageRulesPending = false; // the page was switched while a display ran
    unsigned m_shownInputs = 0;      // the inputs of the running or last display, bit b for input b
    bool m_skipZero = true;
    int m_days = 0;
    archive::Period m_period;
};
