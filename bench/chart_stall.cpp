// The GUI thread's longest stall while the statistics window's charts are shown: the longest gap between ticks of a
// 1 ms heartbeat on the GUI thread, from just before a step until its layouts and paints are done. The charts sit on
// the two pages of a tab widget of the statistics window's size, as there.
//
// Cases: the first display of a daily chart and of an hourly chart whose largest bar is 20,000 (both charts are
// filled together, the one in front is built at once); the first switch to the page behind after such a display,
// which builds the other chart; a year of daily bars for eight inputs. Floor, in the same run: the same probe over a
// switch to a page with an empty chart of the same size, which lays out and paints a chart and nothing more.
//
// Each case runs in fresh windows several times; the figure is the median of the rounds' longest gaps.
//
//   chart_stall [rounds [case]]     (default 5 rounds; case: run only the cases whose name holds this text)

#include "bench/heartbeat.h"
#include "charts/barchart.h"
#include "components/controls.h"

#include <QApplication>
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

// The statistics window's two pages: the daily chart with eight inputs in front, the hourly one behind.
struct Pages {
    QTabWidget tabs;
    BarChart* daily = new BarChart;
    BarChart* hourly = new BarChart;

    Pages() {
        tabs.setFont(windowFont());
        tabs.resize(785, 281);
        for (int b = 0; b < 8; ++b)
            daily->addSeries(QStringLiteral("Bit%1").arg(b), kDailyColors[b], 20);
        hourly->addSeries(QStringLiteral("Bit0"), kDailyColors[0], 15, true);
        tabs.addTab(daily, QStringLiteral("Denní "));
        tabs.addTab(hourly, QStringLiteral("Hodinová"));
    }

    // Both charts filled together, as a display does: days of eight inputs and 25 hour slots, the largest bars
    // the given ones.
    void fill(int days, double dailyTop, double hourlyTop) {
        daily->beginUpdate();
        hourly->beginUpdate();
        const QDate first(2026, 1, 1);
        for (int b = 0; b < 8; ++b) {
            daily->clearSeries(b);
            for (int day = 0; day < days; ++day) {
                const double share = ((day * 7 + b * 13) % 17 + 3) / 20.0;
                daily->appendPoint(b, day == days / 2 && b == 2 ? dailyTop : std::floor(dailyTop * share * 0.8),
                                   first.addDays(day).toString(QStringLiteral("dd.MM.yyyy")));
            }
        }
        hourly->clearSeries(0);
        for (int h = 0; h < 25; ++h) {
            const double share = ((h * 5) % 11) / 11.0;
            hourly->appendPoint(0, h == 14 ? hourlyTop : std::floor(hourlyTop * share * 0.9),
                                h < 24 ? QString::number(h) : QString());
        }
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
    if (!onlyCase.isEmpty() && !QString::fromLatin1(name).contains(onlyCase))
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
    const auto showHourly = [](Pages& p) { showAndSettle(p, 1); };
    const auto displayed = [](Pages& p) {
        showAndSettle(p, 0);
        p.fill(31, 20000, 20000);
        runFor(100);
    };
    const auto fillLarge = [](Pages& p) { p.fill(31, 20000, 20000); };
    const auto fillYear = [](Pages& p) { p.fill(365, 60, 200); };
    const auto switchPage = [](Pages& p) { p.tabs.setCurrentIndex(1); };

    const double floor = measure("empty chart shown", rounds, showDaily, switchPage);
    struct Figure {
        const char* name;
        double ms;
    };
    const Figure figures[] = {
        {"first daily display, largest bar 20000", measure("first daily display", rounds, showDaily, fillLarge)},
        {"first hourly display, largest bar 20000", measure("first hourly display", rounds, showHourly, fillLarge)},
        {"first tab switch after such a display", measure("first tab switch", rounds, displayed, switchPage)},
        {"year of daily bars, eight inputs", measure("year of daily bars", rounds, showDaily, fillYear)},
    };
    for (const Figure& f : figures) {
        if (f.ms <= 0)
            continue; // left out by the case filter
        std::printf("gui stall %s: %.1f ms (floor: %.1f ms, ratio %.2f)\n", f.name, f.ms, floor,
                    floor > 0 ? f.ms / floor : 0.0);
    }
    return 0;
}
