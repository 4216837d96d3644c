// The GUI thread's longest stall while the statistics window's charts are shown: the longest gap between ticks of a
// 1 ms heartbeat on the GUI thread, from just before a step until its layouts and paints are done. The charts sit on
// the two pages of a tab widget of the statistics window's size, as there, and are filled as the window fills them:
// with points its worker made ready, handed over on the GUI thread.
//
// Cases: a switch to a page with an empty chart (lays out and paints a chart and nothing more); the first display of
// a daily chart and of an hourly chart whose largest bar is 20,000 (both charts are filled together, the one in front
// is built at once); the first switch to the page behind after such a display, which builds the other chart, and the
// same after a year of eight inputs read from a million files (an hourly chart of some 40,000 events per slot); a
// year of daily bars for eight inputs; with zero values shown, 27 years of one input and the longest period allowed
// (65,536 days) of one and of eight inputs. Mark, in the same run: the heartbeat's longest gap with the pages shown
// and nothing happening, plus 16 ms (a frame).
//
// Each case runs in fresh windows several times; the figure is the median of the rounds' longest gaps.
//
//   chart_stall [rounds [case]]     (default 5 rounds; case: run only the cases whose name holds this text)

#include "bench/heartbeat.h"
#include "charts/barchart.h"
#include "components/controls.h"

#include <QApplication>
#include <QDate>
#include <QLocale>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

const QColor kDailyColors[8] = {QColor(0xFF, 0x00, 0x00), QColor(0xFF, 0xFF, 0x80), QColor(0x80, 0xFF, 0x80),
                                QColor(0x00, 0xFF, 0xFF), QColor(0x80, 0x00, 0x00), QColor(0x00, 0x00, 0xFF),
                                QColor(0x00, 0x80, 0x40), QColor(0xFF, 0x80, 0x00)};

// The points of one display, made ready as the statistics window's worker makes them: a label per day formatted once
// and shared by the inputs.
struct Points {
    std::vector<double> daily[8];
    QStringList dailyLabels[8];
    std::vector<double> hourly;
    QStringList hourlyLabels;
};

// Days of the given inputs and 25 hour slots, the largest bars the given ones. With sparse, most days are 0 and every
// input shows every day, as with zero values shown over a long period of a quiet archive.
Points makePoints(int days, int inputs, double dailyTop, double hourlyTop, bool sparse = false) {
    Points p;
    const QDate first = QDate(2026, 1, 1).addDays(-days / 2);
    QStringList labels;
    labels.reserve(days);
    for (int day = 0; day < days; ++day)
        labels.append(QLocale().toString(first.addDays(day), QLocale::ShortFormat));
    for (int b = 0; b < inputs; ++b) {
        p.daily[b].reserve(size_t(days));
        for (int day = 0; day < days; ++day) {
            const double share = ((day * 7 + b * 13) % 17 + 3) / 20.0;
            double value = day == days / 2 && b == 2 ? dailyTop : std::floor(dailyTop * share * 0.8);
            if (sparse && (day * 7 + b) % 29 != 0)
                value = 0;
            p.daily[b].push_back(value);
        }
        p.dailyLabels[b] = labels;
    }
    for (int h = 0; h < 25; ++h) {
        const double share = ((h * 5) % 11) / 11.0;
        p.hourly.push_back(h == 14 ? hourlyTop : std::floor(hourlyTop * share * 0.9));
        p.hourlyLabels.append(h < 24 ? QString::number(h) : QString());
    }
    return p;
}

// The statistics window's two pages: the daily chart with eight inputs in front, the hourly one behind.
struct Pages {
    QTabWidget tabs;
    BarChart* daily = new BarChart;
    BarChart* hourly = new BarChart;
    Points points; // what the next fill hands over

    Pages() {
        tabs.setFont(windowFont());
        tabs.resize(785, 281);
        for (int b = 0; b < 8; ++b)
            daily->addSeries(QStringLiteral("Bit%1").arg(b), kDailyColors[b], 20);
        hourly->addSeries(QStringLiteral("Bit0"), kDailyColors[0], 15, true);
        tabs.addTab(daily, QStringLiteral("Denní "));
        tabs.addTab(hourly, QStringLiteral("Hodinová"));
    }

    // Both charts filled together, as a display does: the prepared points handed over.
    void fill() {
        daily->beginUpdate();
        hourly->beginUpdate();
        for (int b = 0; b < 8; ++b)
            daily->setPoints(b, std::move(points.daily[b]), std::move(points.dailyLabels[b]));
        hourly->setPoints(0, std::move(points.hourly), std::move(points.hourlyLabels));
        daily->endUpdate();
        hourly->endUpdate();
    }
};

// Shows the pages and lets their first layout and paint pass.
void showAndSettle(Pages& pages, int page) {
    pages.tabs.setCurrentIndex(page);
    pages.tabs.show();
    runFor(150);
}

// The longest gap between heartbeat ticks from just before the step until 200 ms after it, in milliseconds.
double longestGap(const std::function<void()>& step) {
    qint64 longest = 0;
    Heartbeat heartbeat(1, [&](qint64 gap) { longest = std::max(longest, gap); });
    QTimer::singleShot(20, step);
    runFor(220);
    heartbeat.stop();
    return double(longest) / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs a case in fresh pages the given number of times: prepare sets them up and shows them, step is measured.
QString onlyCase;

double measure(const char* name, int rounds, const std::function<void(Pages&)>& prepare,
               const std::function<void(Pages&)>& step) {
    std::vector<double> gaps;
    // The idle gaps are the mark of every case: measured whatever the filter.
    if (!onlyCase.isEmpty() && !QString::fromLatin1(name).contains(onlyCase) && qstrcmp(name, "idle") != 0)
        return 0;
    for (int round = 0; round < rounds; ++round) {
        Pages pages;
        prepare(pages);
        gaps.push_back(longestGap([&] { step(pages); }));
        std::fprintf(stderr, "%s, round %d: longest GUI gap %.1f ms\n", name, round + 1, gaps.back());
    }
    return median(gaps);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    onlyCase = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();

    const auto showDaily = [](Pages& p) { showAndSettle(p, 0); };
    // Shows the daily page with the given points ready for the next fill.
    const auto ready = [](int days, int inputs, double dailyTop, double hourlyTop, bool sparse, int page) {
        return [=](Pages& p) {
            p.points = makePoints(days, inputs, dailyTop, hourlyTop, sparse);
            showAndSettle(p, page);
        };
    };
    // Shows the daily page and displays the given points on it; the hourly chart behind waits for its page.
    const auto displayed = [](int days, double dailyTop, double hourlyTop) {
        return [=](Pages& p) {
            showAndSettle(p, 0);
            p.points = makePoints(days, 8, dailyTop, hourlyTop);
            p.fill();
            runFor(100);
        };
    };
    const auto fill = [](Pages& p) { p.fill(); };
    const auto nothing = [](Pages&) {};
    const auto switchPage = [](Pages& p) { p.tabs.setCurrentIndex(1); };

    // The heartbeat's own gaps with the pages shown and nothing happening: the machine's share of every figure.
    const double idle = measure("idle", rounds, showDaily, nothing);
    struct Figure {
        const char* name;
        double ms;
    };
    const Figure figures[] = {
        {"switch to an empty chart", measure("empty chart shown", rounds, showDaily, switchPage)},
        {"first daily display, largest bar 20000",
         measure("first daily display", rounds, ready(31, 8, 20000, 20000, false, 0), fill)},
        {"first hourly display, largest bar 20000",
         measure("first hourly display", rounds, ready(31, 8, 20000, 20000, false, 1), fill)},
        {"first tab switch after such a display",
         measure("first tab switch", rounds, displayed(31, 20000, 20000), switchPage)},
        {"first switch to the hourly page after a year of eight inputs",
         measure("hourly page after a year", rounds, displayed(365, 400, 40000), switchPage)},
        {"year of daily bars, eight inputs",
         measure("year of daily bars", rounds, ready(365, 8, 60, 200, false, 0), fill)},
        {"27 years of one input, zero values shown",
         measure("27 years of one input", rounds, ready(9862, 1, 60, 200, true, 0), fill)},
        {"65536 days of one input, zero values shown",
         measure("65536 days of one input", rounds, ready(65536, 1, 60, 200, true, 0), fill)},
        {"65536 days of eight inputs, zero values shown",
         measure("65536 days of eight inputs", rounds, ready(65536, 8, 60, 200, true, 0), fill)},
    };
    // Target: no case holds the GUI thread more than 16 ms (a frame) longer than the heartbeat's idle gaps.
    const double mark = idle + 16;
    std::printf("gui stall chart pages idle: %.1f ms (floor: 16 ms, ratio %.2f)\n", idle, idle / 16);
    for (const Figure& f : figures) {
        if (f.ms <= 0)
            continue; // left out by the case filter
        std::printf("gui stall %s: %.1f ms (floor: %.1f ms, ratio %.2f)\n", f.name, f.ms, mark, f.ms / mark);
    }
    return 0;
}
