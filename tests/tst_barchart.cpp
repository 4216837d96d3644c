#include "charts/barchart.h"
#include "components/controls.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QDate>
#include <QDir>
#include <QImage>
#include <QLocale>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QStackedBarSeries>
#include <QTabWidget>
#include <QValueAxis>
#include <QWheelEvent>
#include <QtTest>

namespace {

const QColor kDailyColors[8] = {QColor(0xFF, 0x00, 0x00), QColor(0xFF, 0xFF, 0x80), QColor(0x80, 0xFF, 0x80),
                                QColor(0x00, 0xFF, 0xFF), QColor(0x80, 0x00, 0x00), QColor(0x00, 0x00, 0xFF),
                                QColor(0x00, 0x80, 0x40), QColor(0xFF, 0x80, 0x00)};

QBarCategoryAxis* categoryAxis(BarChart& chart) {
    const auto axes = chart.chart()->axes(Qt::Horizontal);
    return axes.isEmpty() ? nullptr : qobject_cast<QBarCategoryAxis*>(axes.first());
}

QValueAxis* valueAxis(BarChart& chart) {
    const auto axes = chart.chart()->axes(Qt::Vertical);
    return axes.isEmpty() ? nullptr : qobject_cast<QValueAxis*>(axes.first());
}

template <typename T> T* onlySeries(BarChart& chart) {
    const auto all = chart.chart()->series();
    return all.size() == 1 ? qobject_cast<T*>(all.first()) : nullptr;
}

bool near(QRgb pixel, const QColor& colour, int tolerance) {
    return std::abs(qRed(pixel) - colour.red()) <= tolerance && std::abs(qGreen(pixel) - colour.green()) <= tolerance &&
           std::abs(qBlue(pixel) - colour.blue()) <= tolerance;
}

// A bar front in this colour on the row, followed to its right by its darker side face: a few pixels wide, so the
// bar's outline alone does not pass for it.
bool frontWithSideFace(const QImage& image, int row, const QColor& colour) {
    const QColor shade = colour.darker(140);
    for (int x = 0; x < image.width(); ++x) {
        if (!near(image.pixel(x, row), colour, 0) ||
            (x + 1 < image.width() && near(image.pixel(x + 1, row), colour, 0)))
            continue;
        int run = 0;
        for (int side = x + 1; side < std::min(image.width(), x + 30) && run < 5; ++side)
            run = near(image.pixel(side, row - 6), shade, 12) ? run + 1 : 0;
        if (run >= 5)
            return true;
    }
    return false;
}

void sendMouse(QWidget* target, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons, QPoint at) {
    QMouseEvent event(type, at, target->mapToGlobal(at), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

void sendWheel(QWidget* target, QPoint at, int delta) {
    QWheelEvent event(at, target->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &event);
}

// The eight daily series as the statistics window sets them up.
void addDailySeries(BarChart& chart) {
    for (int b = 0; b < 8; ++b)
        chart.addSeries(QStringLiteral("Bit%1").arg(b), kDailyColors[b], 20);
}

void fillWeek(BarChart& chart) {
    const QDate first(2026, 3, 1);
    chart.beginUpdate();
    for (int b = 0; b < 8; ++b) {
        for (int day = 0; day < 7; ++day) {
            const int value = (day * 5 + b * 3) % 11 + (b == 0 ? 4 : 0);
            chart.appendPoint(b, value, first.addDays(day).toString(QStringLiteral("dd.MM.yyyy")));
        }
    }
    chart.endUpdate();
}

void fillHours(BarChart& chart) {
    const int counts[24] = {0, 0, 1, 0, 0, 2, 6, 14, 12, 9, 11, 7, 3, 8, 13, 10, 6, 2, 1, 0, 1, 0, 0, 0};
    chart.beginUpdate();
    for (int h = 0; h < 24; ++h)
        chart.appendPoint(0, counts[h], QString::number(h));
    chart.endUpdate();
}

// The hourly chart as the statistics window fills it: 25 slots, the given one the highest.
void fillHoursUpTo(BarChart& chart, double highest, int at = 14) {
    chart.beginUpdate();
    chart.clearSeries(0);
    for (int h = 0; h < 25; ++h)
        chart.appendPoint(0, h == at ? highest : std::floor(highest * ((h * 7) % 11) / 13.0),
                          h < 24 ? QString::number(h) : QString());
    chart.endUpdate();
}

// The most ticks the value axis has had at any moment: Qt lays out one tick item per step of the interval at every
// range or interval change, so a moment with a wide range and a small step is a long stall. The axis announces a new
// minimum or maximum before it lays out its ticks; a step found too small then is noted and widened, so a failing
// chart fails at once instead of laying out tens of thousands of ticks.
class TickWatch {
public:
    static constexpr double kSane = 40;

    explicit TickWatch(QValueAxis* axis) : m_axis(axis) {
        for (auto signal : {&QValueAxis::minChanged, &QValueAxis::maxChanged})
            QObject::connect(axis, signal, &m_context, [this] { look(); });
        QObject::connect(axis, &QValueAxis::rangeChanged, &m_context, [this] { look(); });
        QObject::connect(axis, &QValueAxis::tickIntervalChanged, &m_context, [this] { look(); });
    }
    double most() const { return m_most; }

private:
    void look() {
        const double span = m_axis->max() - m_axis->min();
        if (!(m_axis->tickInterval() > 0))
            return;
        m_most = std::max(m_most, span / m_axis->tickInterval());
        if (span / m_axis->tickInterval() > kSane)
            m_axis->setTickInterval(span / kSane);
    }
    QValueAxis* m_axis;
    QObject m_context;
    double m_most = 0;
};

} // namespace

class TestBarChart : public QObject {
    Q_OBJECT

private slots:
    void pointsTakeConsecutivePositionsAndClearEmpties();
    void changesReachTheChartByThemselvesOnceShown();
    void bottomAxisJoinsTheDistinctLabelsOfAPosition_data();
    void bottomAxisJoinsTheDistinctLabelsOfAPosition();
    void colourPerPointSeriesHoldsEachValueAtItsOwnIndex();
    void imageShowsGradientBarsAndTheirSideFaces();
    void rightClickUndoesRubberBandZoom();
    void wheelZoomFollowsTheCursorAndStopsAtTheWholeChart();
    void largeBatchIsBufferedUntilEndUpdate();
    void largeChartDrawsEverySeriesWithFacesAndZooms();
    void largeValuesNeverLayOutThousandsOfTicks();
    void hourlyChartRebuiltHiddenSettlesWhenShown();
    void pageShownAfterAFillLooksAsOneFilledInFront();
    void layersAreDrawnOnceAheadOfThePaints();
    void denseColumnsKeepExactColoursAndOutlines();
    void lightBarsAreOutlinedInEveryView();
    void tooltipSaysWhatABarHolds();
    void demoScreenshots();
};

void TestBarChart::pointsTakeConsecutivePositionsAndClearEmpties() {
    BarChart chart;
    addDailySeries(chart);
    chart.appendPoint(0, 3, QStringLiteral("a"));
    chart.appendPoint(0, 0, QStringLiteral("b"));
    chart.appendPoint(0, 7, QStringLiteral("c"));
    chart.appendPoint(2, 5, QStringLiteral("a"));
    chart.flush();

    auto* bars = onlySeries<QBarSeries>(chart);
    QVERIFY(bars);
    // Only series with points take a place in the slot.
    QCOMPARE(bars->count(), 2);
    QCOMPARE(bars->barSets().at(0)->label(), QStringLiteral("Bit0"));
    QCOMPARE(bars->barSets().at(0)->color(), kDailyColors[0]);
    QCOMPARE(bars->barSets().at(0)->count(), 3);
    QCOMPARE(bars->barSets().at(0)->at(0), 3.0);
    QCOMPARE(bars->barSets().at(0)->at(1), 0.0);
    QCOMPARE(bars->barSets().at(0)->at(2), 7.0);
    QCOMPARE(bars->barSets().at(1)->label(), QStringLiteral("Bit2"));
    QCOMPARE(bars->barSets().at(1)->at(0), 5.0);
    QCOMPARE(categoryAxis(chart)->count(), 3);

    chart.clearSeries(0);
    QCOMPARE(chart.pointCount(0), 0);
    chart.appendPoint(0, 9, QStringLiteral("z"));
    chart.flush();
    bars = onlySeries<QBarSeries>(chart);
    QVERIFY(bars);
    QCOMPARE(bars->barSets().at(0)->count(), 1);
    QCOMPARE(bars->barSets().at(0)->at(0), 9.0);
    QCOMPARE(chart.pointLabel(0, 0), QStringLiteral("z"));
    QCOMPARE(categoryAxis(chart)->count(), 1);

    chart.clearSeries(0);
    chart.clearSeries(2);
    chart.flush();
    QVERIFY(chart.chart()->series().isEmpty());
    QCOMPARE(categoryAxis(chart)->count(), 0);

    // Indices out of range are ignored rather than trusted.
    chart.appendPoint(8, 1, QStringLiteral("x"));
    chart.clearSeries(-1);
    QCOMPARE(chart.pointValue(8, 0), 0.0);
}

void TestBarChart::changesReachTheChartByThemselvesOnceShown() {
    // As in the statistics window: the chart sits on a page behind another one.
    QTabWidget tabs;
    tabs.resize(785, 281);
    tabs.addTab(new QWidget, QStringLiteral("front"));
    auto* chartPtr = new BarChart;
    tabs.addTab(chartPtr, QStringLiteral("behind"));
    BarChart& chart = *chartPtr;
    tabs.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tabs));

    const int s = chart.addSeries(QStringLiteral("Bit0"), Qt::red, 20);
    chart.appendPoint(s, 4, QStringLiteral("01.03.2026"));
    chart.beginUpdate();
    chart.appendPoint(s, 6, QStringLiteral("02.03.2026"));
    chart.endUpdate();
    QCoreApplication::processEvents();
    // Hidden, the chart keeps the points to itself; showing the page builds it in the turns after the switch, and
    // its paints wait until it is built.
    QCOMPARE(chart.pointCount(s), 2);
    QVERIFY(chart.chart()->series().isEmpty());
    tabs.setCurrentIndex(1);
    QVERIFY(!chart.viewport()->updatesEnabled());
    QTRY_VERIFY(chart.viewport()->updatesEnabled());
    QVERIFY(onlySeries<QBarSeries>(chart) && onlySeries<QBarSeries>(chart)->barSets().at(0)->count() == 2);
    QCOMPARE(categoryAxis(chart)->count(), 2);

    // Shown, a change outside a batch arrives with the next event loop pass.
    chart.appendPoint(s, 5, QStringLiteral("03.03.2026"));
    QTRY_VERIFY(onlySeries<QBarSeries>(chart)->barSets().at(0)->count() == 3);
    // The value axis starts at zero and leaves room above the highest bar.
    QCOMPARE(valueAxis(chart)->min(), 0.0);
    QVERIFY(valueAxis(chart)->max() > 6);
}

void TestBarChart::bottomAxisJoinsTheDistinctLabelsOfAPosition_data() {
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QStringList>("second");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("same days") << QStringList{"01.03.2026", "02.03.2026"} << QStringList{"01.03.2026", "02.03.2026"}
                               << QStringList{"01.03.2026", "02.03.2026"};
    QTest::newRow("zero days skipped differently")
        << QStringList{"01.03.2026", "03.03.2026"} << QStringList{"02.03.2026"}
        << QStringList{"01.03.2026\n02.03.2026", "03.03.2026"};
    QTest::newRow("empty and repeated labels")
        << QStringList{"", "", "x", "x"} << QStringList{} << QStringList{"", "", "x", "x"};
}

void TestBarChart::bottomAxisJoinsTheDistinctLabelsOfAPosition() {
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);
    QFETCH(QStringList, expected);

    BarChart chart;
    addDailySeries(chart);
    chart.beginUpdate();
    for (const QString& label : first)
        chart.appendPoint(0, 1, label);
    for (const QString& label : second)
        chart.appendPoint(3, 2, label);
    chart.endUpdate();
    chart.flush();

    QStringList labels;
    for (int x = 0; x < expected.size(); ++x)
        labels << chart.categoryLabel(x);
    QCOMPARE(labels, expected);
    // Every position keeps its own category even when texts repeat or are empty.
    QCOMPARE(categoryAxis(chart)->count(), expected.size());
}

void TestBarChart::colourPerPointSeriesHoldsEachValueAtItsOwnIndex() {
    BarChart chart;
    const int s = chart.addSeries(QStringLiteral("Bit0"), Qt::red, 15, true);
    chart.beginUpdate();
    chart.appendPoint(s, 12, QStringLiteral("8"));
    chart.appendPoint(s, 0, QStringLiteral("9"));
    chart.appendPoint(s, 5, QString());
    chart.endUpdate();
    chart.flush();

    auto* bars = onlySeries<QStackedBarSeries>(chart);
    QVERIFY(bars);
    const QList<QBarSet*> sets = bars->barSets();
    QCOMPARE(sets.size(), 3);
    const double values[] = {12, 0, 5};
    for (int k = 0; k < 3; ++k) {
        for (int x = 0; x < 3; ++x)
            QCOMPARE(sets[k]->at(x), x == k ? values[k] : 0.0);
    }
    QCOMPARE(sets[0]->label(), QStringLiteral("8  12"));
    QCOMPARE(sets[1]->label(), QStringLiteral("9  0"));
    QCOMPARE(sets[2]->label(), QStringLiteral("5"));
    // Each point its own colour, taken from the palette in turn.
    QCOMPARE(sets[0]->brush().gradient()->stops().last().second, BarChart::pointPalette().at(0));
    QCOMPARE(sets[1]->brush().gradient()->stops().last().second, BarChart::pointPalette().at(1));
    QVERIFY(BarChart::pointPalette().at(0) != BarChart::pointPalette().at(1));
}

void TestBarChart::imageShowsGradientBarsAndTheirSideFaces() {
    BarChart chart;
    chart.resize(785, 253);
    const QColor blue(0x00, 0x00, 0xFF);
    const int s = chart.addSeries(QStringLiteral("Bit5"), blue, 20);
    chart.beginUpdate();
    for (int day = 0; day < 5; ++day)
        chart.appendPoint(s, 2 + day, QString::number(day));
    chart.endUpdate();
    chart.flush();
    const QImage image = chart.grab().toImage();
    QCOMPARE(image.size(), QSize(785, 253));

    // White at the top and light yellow at the bottom, inside the border and away from the plot.
    const int border = 4;
    QVERIFY(near(image.pixel(border + 2, border + 1), Qt::white, 8));
    QVERIFY(near(image.pixel(border + 2, image.height() - border - 2), QColor(0xFF, 0xFF, 0x80), 8));

    // The bar's front in the series colour, and the darker side face right of it.
    QVERIFY(frontWithSideFace(image, image.height() - 60, blue));
}

void TestBarChart::rightClickUndoesRubberBandZoom() {
    BarChart chart;
    chart.resize(785, 253);
    addDailySeries(chart);
    fillWeek(chart);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    QValueAxis* y = valueAxis(chart);
    QBarCategoryAxis* x = categoryAxis(chart);
    const double fullMax = y->max();
    const QString firstDay = x->min();
    const QString lastDay = x->max();

    const QRectF plot = chart.chart()->plotArea();
    const QPoint from = chart.mapFromScene(plot.center() + QPointF(-plot.width() / 4, -plot.height() / 4));
    const QPoint to = chart.mapFromScene(plot.center() + QPointF(plot.width() / 4, plot.height() / 4));
    QWidget* viewport = chart.viewport();
    sendMouse(viewport, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, from);
    sendMouse(viewport, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, from + QPoint(10, 10));
    sendMouse(viewport, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, to);
    sendMouse(viewport, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, to);
    QVERIFY(y->max() < fullMax);
    QVERIFY(y->min() > 0);
    QVERIFY(x->min() != firstDay || x->max() != lastDay);

    sendMouse(viewport, QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, to);
    sendMouse(viewport, QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton, to);
    QTRY_COMPARE(y->max(), fullMax);
    QCOMPARE(y->min(), 0.0);
    QCOMPARE(x->min(), firstDay);
    QCOMPARE(x->max(), lastDay);
}

void TestBarChart::wheelZoomFollowsTheCursorAndStopsAtTheWholeChart() {
    BarChart chart;
    chart.resize(785, 253);
    addDailySeries(chart);
    fillWeek(chart);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    QValueAxis* y = valueAxis(chart);
    const double fullMax = y->max();
    const QRectF plot = chart.chart()->plotArea();
    QAbstractSeries* series = chart.chart()->series().first();

    // The value under the cursor stays under it.
    const QPointF spot = plot.topLeft() + QPointF(plot.width() * 0.8, plot.height() * 0.3);
    const QPointF before = chart.chart()->mapToValue(spot, series);
    sendWheel(chart.viewport(), chart.mapFromScene(spot), 240);
    QVERIFY(y->max() - y->min() < fullMax * 0.9);
    const QPointF after = chart.chart()->mapToValue(spot, series);
    QVERIFY(std::abs(after.x() - before.x()) < 0.05);
    QVERIFY(std::abs(after.y() - before.y()) < fullMax * 0.02);

    for (int i = 0; i < 10; ++i)
        sendWheel(chart.viewport(), chart.mapFromScene(spot), -240);
    QCOMPARE(y->min(), 0.0);
    QCOMPARE(y->max(), fullMax);
    QCOMPARE(categoryAxis(chart)->min(), categoryAxis(chart)->categories().first());
    QCOMPARE(categoryAxis(chart)->max(), categoryAxis(chart)->categories().last());
}

void TestBarChart::largeBatchIsBufferedUntilEndUpdate() {
    BarChart chart;
    chart.resize(785, 253);
    addDailySeries(chart);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    const double emptyMax = valueAxis(chart)->max();
    const QDate first(2018, 1, 1);
    chart.beginUpdate();
    for (int b = 0; b < 8; ++b) {
        for (int day = 0; day < 3000; ++day)
            chart.appendPoint(b, (day + b) % 9,
                              day % 3 ? first.addDays(day).toString(QStringLiteral("dd.MM.yyyy")) : QString());
    }
    QCoreApplication::processEvents();
    QCOMPARE(valueAxis(chart)->max(), emptyMax);
    chart.endUpdate();
    // The highest bar, 8, and room above it.
    QVERIFY(valueAxis(chart)->max() > 8);

    QCOMPARE(chart.pointCount(7), 3000);
    QCOMPARE(chart.pointValue(7, 2999), double((2999 + 7) % 9));
    QCOMPARE(chart.categoryLabel(2999), first.addDays(2999).toString(QStringLiteral("dd.MM.yyyy")));
    QCOMPARE(chart.categoryLabel(2997), QString());
    QVERIFY(!chart.grab().isNull());
}

void TestBarChart::largeChartDrawsEverySeriesWithFacesAndZooms() {
    BarChart chart;
    chart.resize(785, 253);
    addDailySeries(chart);
    // Every series on a level of its own, the first the highest: however densely the days are packed, each must show
    // where it reaches above the others, not only the series painted last.
    chart.beginUpdate();
    for (int b = 0; b < 8; ++b) {
        for (int day = 0; day < 3000; ++day)
            chart.appendPoint(b, 2 * (8 - b) + day % 2, QString::number(day));
    }
    chart.endUpdate();
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    QTRY_VERIFY(!chart.chart()->series().isEmpty() && chart.viewport()->updatesEnabled());
    QAbstractSeries* series = chart.chart()->series().value(0);
    QVERIFY(series);
    const QRectF plot = chart.chart()->plotArea();
    const QRect inside =
        QRect(chart.mapFromScene(plot.topLeft()), chart.mapFromScene(plot.bottomRight())).adjusted(2, 2, -2, -2);

    QImage image = chart.grab().toImage();
    QSet<QRgb> seen;
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x)
            seen.insert(image.pixel(x, y) | 0xFF000000);
    }
    for (const QColor& colour : kDailyColors)
        QVERIFY2(seen.contains(colour.rgb()), qPrintable(colour.name()));

    // Wheel in at the floor until a few days fill the plot: the bars stand apart again, with their faces. The last
    // bar of a slot shows its side; the next bar's front covers the others'.
    const QPoint floor = chart.mapFromScene(QPointF(plot.left() + plot.width() * 0.3, plot.bottom()));
    for (int i = 0; i < 16; ++i)
        sendWheel(chart.viewport(), floor, 240);
    const double left = chart.chart()->mapToValue(plot.topLeft(), series).x();
    const double right = chart.chart()->mapToValue(plot.topRight(), series).x();
    QVERIFY2(right - left < 20 && left > 500, qPrintable(QStringLiteral("%1 .. %2").arg(left).arg(right)));
    image = chart.grab().toImage();
    QVERIFY(frontWithSideFace(image, inside.center().y(), kDailyColors[7]));

    sendMouse(chart.viewport(), QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, floor);
    sendMouse(chart.viewport(), QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton, floor);
    // The zoomed value axis had wider labels; the plot takes its width back once Qt has laid the chart out again.
    QTRY_COMPARE(chart.chart()->plotArea(), plot);
    QCOMPARE(chart.chart()->mapToValue(plot.bottomLeft(), series), QPointF(-0.5, 0));
    QCOMPARE(chart.chart()->mapToValue(plot.topRight(), series).x(), 2999.5);

    // The next display is a short one: back to categories and Qt's own bars, with nothing left of the long one.
    chart.beginUpdate();
    for (int b = 0; b < 8; ++b)
        chart.clearSeries(b);
    chart.endUpdate();
    fillWeek(chart);
    QVERIFY(onlySeries<QBarSeries>(chart));
    QCOMPARE(categoryAxis(chart)->count(), 7);
    QCOMPARE(categoryAxis(chart)->min(), QStringLiteral("01.03.2026"));
    QCOMPARE(categoryAxis(chart)->max(), QStringLiteral("07.03.2026"));
    QCOMPARE(chart.chart()->axes(Qt::Horizontal).size(), 1);
}

void TestBarChart::largeValuesNeverLayOutThousandsOfTicks() {
    // Both charts on the pages of one tab widget, as in the statistics window, filled while the daily page is in
    // front: the daily chart is built at once, the hourly one when its page is first shown.
    QTabWidget tabs;
    tabs.setFont(windowFont());
    tabs.resize(785, 281);
    auto* daily = new BarChart;
    auto* hourly = new BarChart;
    tabs.addTab(daily, QStringLiteral("Denní "));
    tabs.addTab(hourly, QStringLiteral("Hodinová"));
    addDailySeries(*daily);
    hourly->addSeries(QStringLiteral("Bit0"), Qt::red, 15, true);
    TickWatch dailyTicks(valueAxis(*daily));
    TickWatch hourlyTicks(valueAxis(*hourly));
    tabs.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tabs));

    daily->beginUpdate();
    for (int b = 0; b < 8; ++b) {
        for (int day = 0; day < 7; ++day)
            daily->appendPoint(b, b == 3 && day == 4 ? 20000 : 900 * (day + b), QString::number(day));
    }
    daily->endUpdate();
    fillHoursUpTo(*hourly, 20000);
    QVERIFY(valueAxis(*daily)->max() >= 20000);
    tabs.setCurrentIndex(1);
    QTRY_VERIFY(valueAxis(*hourly)->max() >= 20000);
    tabs.hide();
    tabs.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tabs));
    tabs.setCurrentIndex(0);

    // Deep into the daily chart and back: the whole range returns from a step made for a few values.
    const QRectF plot = daily->chart()->plotArea();
    const QPoint spot = daily->mapFromScene(plot.center());
    for (int i = 0; i < 16; ++i)
        sendWheel(daily->viewport(), spot, 240);
    QVERIFY(valueAxis(*daily)->max() - valueAxis(*daily)->min() < 2000);
    sendMouse(daily->viewport(), QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, spot);
    sendMouse(daily->viewport(), QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton, spot);
    QTRY_VERIFY(valueAxis(*daily)->max() >= 20000);

    // Small values after large ones on the page behind, then large ones again while it is in front.
    fillHoursUpTo(*hourly, 3);
    tabs.setCurrentIndex(1);
    QTRY_VERIFY(valueAxis(*hourly)->max() < 10);
    fillHoursUpTo(*hourly, 20000);
    QTRY_VERIFY(valueAxis(*hourly)->max() >= 20000);

    QVERIFY2(dailyTicks.most() <= TickWatch::kSane, qPrintable(QString::number(dailyTicks.most())));
    QVERIFY2(hourlyTicks.most() <= TickWatch::kSane, qPrintable(QString::number(hourlyTicks.most())));
}

void TestBarChart::hourlyChartRebuiltHiddenSettlesWhenShown() {
    // Near a maximum where the top of the value axis flips between two steps, a range that moves the plot by a
    // pixel can ask for the range before it; answered from inside the range change, that recursed until the stack
    // ran out. Which maximum does it depends on the fonts, so a band of maxima is tried at two heights.
    for (int height : {232, 281}) {
        for (int highest = 40; highest <= 80; ++highest) {
            QTabWidget tabs;
            tabs.setFont(windowFont());
            tabs.resize(785, height);
            tabs.addTab(new QWidget, QStringLiteral("Denní "));
            auto* chart = new BarChart;
            tabs.addTab(chart, QStringLiteral("Hodinová"));
            chart->addSeries(QStringLiteral("Bit0"), Qt::red, 15, true);
            fillHoursUpTo(*chart, highest);
            chart->flush();
            tabs.show();
            QVERIFY(QTest::qWaitForWindowExposed(&tabs));
            tabs.setCurrentIndex(1);
            QCoreApplication::processEvents();
            QSignalSpy layouts(chart->chart(), &QChart::plotAreaChanged);
            QCoreApplication::processEvents();
            QCoreApplication::processEvents();
            QCOMPARE(layouts.count(), 0);
            QVERIFY(valueAxis(*chart)->max() > highest);
        }
    }
}

void TestBarChart::pageShownAfterAFillLooksAsOneFilledInFront() {
    // The hourly page after a display made on the daily page, built over the turns after the switch: it must come out
    // as the chart filled while in front.
    QImage pictures[2];
    for (bool behind : {false, true}) {
        QTabWidget tabs;
        tabs.setFont(windowFont());
        tabs.resize(785, 281);
        tabs.addTab(new QWidget, QStringLiteral("Denní "));
        auto* hourly = new BarChart;
        tabs.addTab(hourly, QStringLiteral("Hodinová"));
        hourly->addSeries(QStringLiteral("Bit0"), Qt::red, 15, true);
        tabs.setCurrentIndex(behind ? 0 : 1);
        tabs.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tabs));
        QTRY_VERIFY(hourly->viewport()->updatesEnabled() || !hourly->isVisible());
        fillHoursUpTo(*hourly, 201270);
        tabs.setCurrentIndex(1);
        QTRY_VERIFY(hourly->pointCount(0) == 25 && !hourly->chart()->series().isEmpty() &&
                    hourly->viewport()->updatesEnabled());
        pictures[behind] = hourly->grab().toImage();
    }
    QCOMPARE(pictures[true], pictures[false]);

    // A chart built and grabbed before it was ever shown measured its value labels without a size of its own; shown
    // with new points and grabbed at once, it must not keep their widths and cut the new ones to "…". It must look
    // as the same chart filled while shown, once that has settled.
    QImage shown[2];
    for (bool builtHidden : {false, true}) {
        BarChart chart;
        chart.resize(785, 253);
        chart.addSeries(QStringLiteral("Bit0"), Qt::red, 15, true);
        if (builtHidden) {
            fillHours(chart);
            chart.flush();
            chart.grab();
            fillHoursUpTo(chart, 201270);
            chart.show();
            QVERIFY(QTest::qWaitForWindowExposed(&chart));
            chart.flush();
        } else {
            chart.show();
            QVERIFY(QTest::qWaitForWindowExposed(&chart));
            fillHoursUpTo(chart, 201270);
            QTRY_VERIFY(chart.viewport()->updatesEnabled());
        }
        shown[builtHidden] = chart.grab().toImage();
    }
    QCOMPARE(shown[true], shown[false]);
}

void TestBarChart::layersAreDrawnOnceAheadOfThePaints() {
    // A month of eight inputs filled into a shown chart: its faces, marks and legend are drawn once, in turns after
    // the rebuild, and the repaints that follow only put that picture on the screen; it is the picture drawn
    // directly.
    BarChart chart;
    chart.resize(785, 253);
    addDailySeries(chart);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    chart.beginUpdate();
    for (int b = 0; b < 8; ++b) {
        for (int day = 0; day < 31; ++day)
            chart.appendPoint(b, (day * 7 + b * 13) % 17 + 3, QString::number(day + 1));
    }
    const int before = chart.layerRenders();
    chart.endUpdate();
    QCOMPARE(chart.layerRenders(), before); // not in the rebuild's turn
    QTRY_VERIFY(chart.layerRenders() >= before + 2 && chart.viewport()->updatesEnabled());
    for (int turn = 0; turn < 5; ++turn)
        QCoreApplication::processEvents();
    const int drawn = chart.layerRenders();
    const QImage shown = chart.grab().toImage();
    chart.viewport()->repaint();
    chart.viewport()->repaint();
    QCOMPARE(chart.layerRenders(), drawn);

    // The same chart drawn without the picture: the view turned by a hair's breadth of nothing draws directly.
    chart.setTransform(QTransform::fromScale(1, 1).shear(0, 0).rotate(0.0001));
    const QImage direct = chart.grab().toImage();
    chart.resetTransform();
    int differing = 0;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x)
            differing += near(shown.pixel(x, y), QColor(direct.pixel(x, y)), 8) ? 0 : 1;
    }
    QVERIFY2(differing < shown.width() * shown.height() / 200, qPrintable(QString::number(differing)));
}

void TestBarChart::denseColumnsKeepExactColoursAndOutlines() {
    BarChart chart;
    chart.resize(785, 253);
    addDailySeries(chart);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    // Fills a year of constant levels and returns the widget's image; pixel(slot, value) says where a value of a
    // slot lands.
    QImage image;
    auto fill = [&](const QList<int>& levels) {
        chart.beginUpdate();
        for (int b = 0; b < 8; ++b) {
            chart.clearSeries(b);
            for (int day = 0; b < levels.size() && levels[b] > 0 && day < 365; ++day)
                chart.appendPoint(b, levels[b], QString::number(day));
        }
        chart.endUpdate();
        // A grab takes what is on the screen: the chart finishes what it spreads over the next turns first.
        chart.flush();
        image = chart.grab().toImage();
    };
    auto colour = [&](int x, int y) { return QColor(image.pixel(x, y)); };
    auto at = [&](double slot, double value) {
        return chart.mapFromScene(chart.chart()->mapToPosition(QPointF(slot, value), chart.chart()->series().first()));
    };

    // All eight inputs, Bit0 the highest: between Bit1's level and its own, every column of the year is Bit0's
    // exact red.
    fill({16, 14, 12, 10, 8, 6, 4, 2});
    int firstColumn = at(-0.35, 0).x() + 1;
    int lastColumn = at(364.35, 0).x() - 1;
    for (int x = firstColumn; x <= lastColumn; ++x)
        QVERIFY2(colour(x, at(0, 15).y()) == kDailyColors[0], qPrintable(QString::number(x)));

    // One input alone: its bars stand apart by less than two pixels and are still drawn in its exact colour.
    fill({16});
    for (int x = firstColumn; x <= lastColumn; ++x)
        QVERIFY2(colour(x, at(0, 8).y()) == kDailyColors[0], qPrintable(QString::number(x)));

    // Bit1's light yellow gets a darker outline where it meets the background: on top and at the ends.
    fill({0, 9});
    const QColor outline(kDailyColors[1].darker(170).rgb());
    const QColor grid(0xB0, 0xB0, 0xB0);
    const int middle = (firstColumn + lastColumn) / 2;
    const int backgroundX = image.width() - 6;
    int y = at(182, 9).y() - 6;
    while (y < at(182, 9).y() + 3 && (colour(middle, y) == colour(backgroundX, y) || colour(middle, y) == grid))
        ++y;
    QCOMPARE(colour(middle, y), outline);
    QCOMPARE(colour(middle, y + 2), kDailyColors[1]);
    const int row = at(0, 5).y();
    // The first column of the year stands on the plot's left edge, over the value axis.
    int x = chart.mapFromScene(chart.chart()->plotArea().topLeft()).x();
    QCOMPARE(colour(x, row), outline);
    QCOMPARE(colour(x + 2, row), kDailyColors[1]);
    // The last one, left of the back wall's edge.
    x = lastColumn + 3;
    while (colour(x, row) == colour(backgroundX, row) || colour(x, row) == QColor(0x80, 0x80, 0x80))
        --x;
    QCOMPARE(colour(x, row), outline);
    QCOMPARE(colour(x - 2, row), kDailyColors[1]);
}

void TestBarChart::lightBarsAreOutlinedInEveryView() {
    // Bit1's light yellow is the background's own: its bars and its zero slabs get the darker outline on whole
    // pixels, in a week drawn by Qt and in two months drawn here, as in the dense columns.
    const QColor outline(kDailyColors[1].darker(170).rgb());
    for (int days : {7, 60}) {
        BarChart chart;
        chart.resize(785, 253);
        addDailySeries(chart);
        chart.beginUpdate();
        for (int day = 0; day < days; ++day)
            chart.appendPoint(1, day % 2 ? 9 : 0, QString::number(day));
        chart.endUpdate();
        chart.show();
        QVERIFY(QTest::qWaitForWindowExposed(&chart));
        chart.flush();
        const QImage image = chart.grab().toImage();
        QAbstractSeries* series = chart.chart()->series().first();
        const auto at = [&](double slot, double value) {
            return chart.mapFromScene(chart.chart()->mapToPosition(QPointF(slot, value), series));
        };
        // The zero slab of the first day: the row just above the axis.
        const QPoint slab = at(0, 0) - QPoint(0, 1);
        QVERIFY2(QColor(image.pixel(slab)) == outline,
                 qPrintable(QStringLiteral("%1 days: %2").arg(days).arg(QColor(image.pixel(slab)).name())));
        // A bar's left edge, halfway up, and the fill right of it.
        const QPoint middle = at(1, 4.5);
        int x = middle.x();
        while (x > 0 && QColor(image.pixel(x, middle.y())) != outline)
            --x;
        QVERIFY2(middle.x() - x < 60, qPrintable(QString::number(days)));
        QCOMPARE(QColor(image.pixel(x + 2, middle.y())), kDailyColors[1]);
    }
}

void TestBarChart::tooltipSaysWhatABarHolds() {
    // A bar whose mark is left out still tells its value: in the hourly chart, the daily chart and dense columns.
    BarChart hourly;
    hourly.resize(785, 253);
    hourly.addSeries(QStringLiteral("Bit0"), Qt::red, 15, true);
    fillHoursUpTo(hourly, 201270);
    hourly.show();
    QVERIFY(QTest::qWaitForWindowExposed(&hourly));
    hourly.flush();
    QAbstractSeries* series = hourly.chart()->series().first();
    const auto point = [](BarChart& chart, QAbstractSeries* s, double slot, double value) {
        return chart.mapFromScene(chart.chart()->mapToPosition(QPointF(slot, value), s));
    };
    QCOMPARE(hourly.barText(point(hourly, series, 13, hourly.pointValue(0, 13) / 2)),
             QStringLiteral("13: %1").arg(hourly.pointValue(0, 13)));
    QCOMPARE(hourly.barText(point(hourly, series, 13, 250000)), QString());

    BarChart daily;
    daily.resize(785, 253);
    addDailySeries(daily);
    fillWeek(daily);
    daily.show();
    QVERIFY(QTest::qWaitForWindowExposed(&daily));
    daily.flush();
    series = daily.chart()->series().first();
    // Slot 2, the third of eight bars side by side: Bit2.
    const double bit2 = 2 - 0.35 + 0.7 / 8 * 2.5;
    QCOMPARE(daily.barText(point(daily, series, bit2, 0.5)),
             QStringLiteral("Bit2, 03.03.2026: %1").arg(daily.pointValue(2, 2)));

    BarChart year;
    year.resize(785, 253);
    addDailySeries(year);
    year.beginUpdate();
    for (int day = 0; day < 365; ++day) {
        year.appendPoint(0, 10, QString::number(day));
        year.appendPoint(3, day == 200 ? 30 : 5, QString::number(day));
    }
    year.endUpdate();
    year.show();
    QVERIFY(QTest::qWaitForWindowExposed(&year));
    year.flush();
    series = year.chart()->series().first();
    QCOMPARE(year.barText(point(year, series, 100, 3)), QStringLiteral("Bit3, 100: 5"));
    QCOMPARE(year.barText(point(year, series, 100, 8)), QStringLiteral("Bit0, 100: 10"));
    QCOMPARE(year.barText(point(year, series, 200, 20)), QStringLiteral("Bit3, 200: 30"));
}

void TestBarChart::demoScreenshots() {
    const QString dir = qEnvironmentVariable("IMPULZ_SCREENSHOT_DIR");
    if (dir.isEmpty())
        QSKIP("IMPULZ_SCREENSHOT_DIR is not set");
    QDir().mkpath(dir);

    BarChart daily;
    daily.resize(785, 253);
    addDailySeries(daily);
    fillWeek(daily);
    daily.flush();
    QVERIFY(daily.grab().save(QDir(dir).filePath(QStringLiteral("chart-daily-demo.png"))));

    BarChart hourly;
    hourly.resize(785, 253);
    hourly.addSeries(QStringLiteral("Bit0"), Qt::red, 15, true);
    fillHours(hourly);
    hourly.flush();
    QVERIFY(hourly.grab().save(QDir(dir).filePath(QStringLiteral("chart-hourly-demo.png"))));

    // A year of eight inputs, each with its weekly rhythm, and the hourly chart at large counts.
    BarChart year;
    year.resize(785, 253);
    addDailySeries(year);
    year.beginUpdate();
    const QDate first(2026, 1, 1);
    for (int b = 0; b < 8; ++b) {
        for (int day = 0; day < 365; ++day) {
            const int weekday = first.addDays(day).dayOfWeek();
            const int value = weekday > 5 ? (day + b) % 3 : 10 + 3 * ((day * (b + 3)) % 7) + 4 * (7 - b);
            year.appendPoint(b, value, QLocale().toString(first.addDays(day), QLocale::ShortFormat));
        }
    }
    year.endUpdate();
    // Shown, as in the window: the value axis takes the room its labels need once the chart has its size.
    year.show();
    QVERIFY(QTest::qWaitForWindowExposed(&year));
    year.flush();
    QVERIFY(year.grab().save(QDir(dir).filePath(QStringLiteral("chart-dense-year.png"))));

    fillHoursUpTo(hourly, 201270);
    hourly.show();
    QVERIFY(QTest::qWaitForWindowExposed(&hourly));
    hourly.flush();
    QVERIFY(hourly.grab().save(QDir(dir).filePath(QStringLiteral("chart-hourly-large.png"))));
}

QTEST_MAIN(TestBarChart)
#include "tst_barchart.moc"
