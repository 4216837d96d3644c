// The chart's arithmetic as plain functions: which slots a pixel column meets, how dense columns stack and where they
// get outline pixels, which bottom axis labels are measured and drawn, which fills are outlined and which value marks
// are kept.

#include "charts/barchart.h"
#include "charts/chartmath.h"

#include <QtTest>

#include <algorithm>
#include <vector>

namespace {

const QColor kDailyColors[8] = {QColor(0xFF, 0x00, 0x00), QColor(0xFF, 0xFF, 0x80), QColor(0x80, 0xFF, 0x80),
                                QColor(0x00, 0xFF, 0xFF), QColor(0x80, 0x00, 0x00), QColor(0x00, 0x00, 0xFF),
                                QColor(0x00, 0x80, 0x40), QColor(0xFF, 0x80, 0x00)};

// The colour drawn at pixel (x, y) by rectangles grouped by colour; 0 where none is. A pixel drawn twice is a fault.
QRgb colourAt(const std::vector<chartmath::ColourRects>& runs, int x, int y) {
    QRgb found = 0;
    int hits = 0;
    for (const chartmath::ColourRects& run : runs) {
        for (const QRectF& r : run.rects) {
            if (r.contains(x + 0.5, y + 0.5)) {
                found = run.color;
                ++hits;
            }
        }
    }
    return hits > 1 ? QRgb(1) : found;
}

} // namespace

class TestChartMath : public QObject {
    Q_OBJECT

private slots:
    void columnsMeetEverySlotTheyCover_data();
    void columnsMeetEverySlotTheyCover();
    void denseColumnsStackByHeightAndOutlineWhereTheBackgroundMeetsThem();
    void axisLabelsAreMeasuredOnlyWhereDrawn();
    void outlineOnlyWhereTheFillMeetsItsBackground();
    void marksNeverOverlapMarksOrOtherBars();
};

void TestChartMath::columnsMeetEverySlotTheyCover_data() {
    QTest::addColumn<double>("left");
    QTest::addColumn<double>("origin");
    QTest::addColumn<double>("unit");
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<int>>("expected");

    // Bars take 70 % of a slot, centred on it.
    QTest::newRow("inside one slot's bars") << 100.0 << 100.0 << 10.0 << 5 << QList<int>{0};
    QTest::newRow("in the gap between wide slots") << 104.5 << 100.0 << 10.0 << 5 << QList<int>{};
    QTest::newRow("over the gap between narrow slots") << 100.5 << 100.0 << 1.9 << 5 << QList<int>{0, 1};
    QTest::newRow("many slots in one column") << 10.0 << 0.5 << 0.19 << 365 << QList<int>{50, 51, 52, 53, 54, 55};
    QTest::newRow("left of the first slot") << 98.0 << 100.0 << 1.9 << 5 << QList<int>{};
    QTest::newRow("touching the first slot") << 99.0 << 100.0 << 1.9 << 5 << QList<int>{0};
    QTest::newRow("last slot") << 4.0 << 0.0 << 1.9 << 3 << QList<int>{2};
    QTest::newRow("right of the last slot") << 5.0 << 0.0 << 1.9 << 3 << QList<int>{};
}

void TestChartMath::columnsMeetEverySlotTheyCover() {
    QFETCH(double, left);
    QFETCH(double, origin);
    QFETCH(double, unit);
    QFETCH(int, count);
    QFETCH(QList<int>, expected);

    const chartmath::SlotRange range = chartmath::slotsInColumn(left, origin, unit, 0.7, count);
    QList<int> met;
    for (int x = range.first; x <= range.last; ++x)
        met << x;
    QCOMPARE(met, expected);

    // A year of ones with one peak, a slot per 1.93 pixels: every column over the bars stands, the peak's
    // columns take its height and only those.
    std::vector<double> year(365, 1.0);
    year[200] = 50;
    const double yearOrigin = 40.3;
    const double yearUnit = 1.93;
    const int columns = 720;
    const auto extents = chartmath::columnExtents(year, 0, columns, yearOrigin, yearUnit, 0.7);
    for (int c = 0; c < columns; ++c) {
        const bool overBars = c + 1 > yearOrigin - 0.35 * yearUnit && c < yearOrigin + 364.35 * yearUnit;
        const bool overPeak = c + 1 > yearOrigin + 199.65 * yearUnit && c < yearOrigin + 200.35 * yearUnit;
        QCOMPARE(extents[c].high, overPeak ? 50.0 : overBars ? 1.0 : 0.0);
        QCOMPARE(extents[c].highSlot >= 0, overBars);
    }
}

void TestChartMath::axisLabelsAreMeasuredOnlyWhereDrawn() {
    // 65,536 days in 700 pixels: only the labels that can be drawn are measured, at most one per pixel column, and
    // the ones drawn stand at least the gap apart, a wider one among them included.
    const int days = 65536;
    const double slot = 700.0 / days;
    int measured = 0;
    auto width = [&](int x) {
        ++measured;
        return x % 7 == 3 ? 71.0 : 60.0;
    };
    chartmath::LabelPlan plan = chartmath::labelPlan(0, days - 1, slot, 8, 0, width);
    QVERIFY2(measured <= 700, qPrintable(QString::number(measured)));
    QVERIFY(plan.step * slot >= plan.width + 8);
    for (int x = 0; x < days; x += plan.step)
        QVERIFY2(width(x) <= plan.width, qPrintable(QString::number(x)));

    // A zoomed range counts its labels from position 0, so they stay in place while it scrolls; a known width is
    // kept.
    measured = 0;
    plan = chartmath::labelPlan(1000, 1100, 7, 8, 60, width);
    QCOMPARE(plan.step, 12);
    QCOMPARE(plan.width, 71.0);
    QVERIFY(measured <= 30);
    // A week with room for every label measures each once and labels each.
    measured = 0;
    plan = chartmath::labelPlan(0, 6, 100, 8, 0, [&](int) { return ++measured, 60.0; });
    QCOMPARE(plan.step, 1);
    QCOMPARE(measured, 7);
}

void TestChartMath::outlineOnlyWhereTheFillMeetsItsBackground() {
    const QColor top(0xFF, 0xFF, 0xFF);
    const QColor bottom(0xFF, 0xFF, 0x80);
    // Of the daily colours only Bit1's light yellow is the background's own; no palette colour comes close.
    for (int b = 0; b < 8; ++b)
        QCOMPARE(chartmath::needsOutline(kDailyColors[b], top, bottom), b == 1);
    for (const QColor& colour : BarChart::pointPalette())
        QVERIFY2(!chartmath::needsOutline(colour, top, bottom), qPrintable(colour.name()));
    // Anywhere along the gradient counts, not only its ends.
    QVERIFY(chartmath::needsOutline(QColor(0xFF, 0xFF, 0xC0), top, bottom));
    QVERIFY(chartmath::needsOutline(QColor(0xF0, 0xF8, 0xF0), top, bottom));
}

void TestChartMath::marksNeverOverlapMarksOrOtherBars() {
    // Six-digit hourly values: marks 44 pixels wide over bars 20 pixels apart, every other bar tall. A kept mark
    // meets no other kept mark and no bar but its own, and where there is room marks are kept.
    std::vector<QRectF> marks, bars;
    for (int h = 0; h < 25; ++h) {
        const double top = h % 2 ? 40 : 120;
        bars.push_back(QRectF(h * 20 + 3, top - 8, 22, 200 - top + 8)); // front and faces leaning back
        marks.push_back(QRectF(h * 20 + 3 + 7 - 22, top - 8 - 20 - 14, 44, 34));
    }
    const std::vector<bool> kept = chartmath::keepMarks(marks, bars);
    int count = 0;
    for (size_t i = 0; i < marks.size(); ++i) {
        if (!kept[i])
            continue;
        ++count;
        for (size_t k = 0; k < marks.size(); ++k) {
            if (k != i)
                QVERIFY2(!marks[i].intersects(bars[k]), qPrintable(QStringLiteral("%1 over bar %2").arg(i).arg(k)));
            if (k != i && kept[k])
                QVERIFY2(!marks[i].intersects(marks[k]), qPrintable(QStringLiteral("%1 over %2").arg(i).arg(k)));
        }
    }
    // The tall bars' marks stand clear of their lower neighbours: one in three of those at least.
    QVERIFY2(count >= 4, qPrintable(QString::number(count)));
    // A low bar between tall ones keeps no mark: it would run into their tops.
    QVERIFY(!kept[2]);
}

void TestChartMath::denseColumnsStackByHeightAndOutlineWhereTheBackgroundMeetsThem() {
    // Ten pixels per unit, the zero row at 100. Two series over four columns: the lower one in front where both stand,
    // one below zero, the last column empty.
    const auto row = [](double value) { return static_cast<int>(std::round(100 - 10 * value)); };
    const QRgb red = qRgb(0xFF, 0, 0);
    const QRgb blue = qRgb(0, 0, 0xFF);
    const QRgb light = qRgb(0xFF, 0xFF, 0x80);
    using chartmath::DenseCell;
    const std::vector<DenseCell> cells{
        {5, 0, red, false},  {3, 0, blue, false},  // column 0: both up, blue the lower
        {5, 0, red, false},  {3, 0, blue, false},  // column 1: the same, level with column 0
        {2, 0, light, true}, {0, -4, blue, false}, // column 2: light up and outlined, blue down
        {0, 0, red, false},  {0, 0, blue, false},  // column 3: nothing
    };
    const std::vector<chartmath::DenseColumn> stacked = chartmath::stackColumns(cells, 2, row(0), row);
    QCOMPARE(stacked.size(), size_t(4));
    QCOMPARE(stacked[0].top, 50);
    QCOMPARE(stacked[0].bottom, 100);
    QCOMPARE(stacked[0].pieces.size(), size_t(2));
    QCOMPARE(stacked[0].pieces[0].top, 70); // blue from its top down to zero, red only above it
    QCOMPARE(stacked[0].pieces[1].top, 50);
    QCOMPARE(stacked[0].pieces[1].bottom, 70);
    QCOMPARE(stacked[2].top, 80);
    QCOMPARE(stacked[2].bottom, 140);
    QVERIFY(stacked[3].pieces.empty());
    QCOMPARE(stacked[3].top, 100);

    const QRgb dark = QColor(light).darker(170).rgb();
    const std::vector<chartmath::ColourRects> runs = chartmath::columnRects(stacked, 10, row(0), 170);
    // Level pieces of neighbouring columns are one rectangle: red and blue each one wide one above zero.
    QCOMPARE(runs.front().color, blue);
    QCOMPARE(runs.front().rects.first(), QRectF(10, 70, 2, 30));
    for (int y = 49; y <= 100; ++y) {
        const QRgb expected = y < 50 ? 0 : y < 70 ? red : y < 100 ? blue : 0;
        QCOMPARE(colourAt(runs, 10, y), expected);
        QCOMPARE(colourAt(runs, 11, y), expected);
    }
    // The outlined column stands beside the empty one: the background meets all of it, so it is dark throughout.
    for (int y = 80; y < 100; ++y)
        QCOMPARE(colourAt(runs, 12, y), dark);
    QCOMPARE(colourAt(runs, 12, 79), QRgb(0));
    QCOMPARE(colourAt(runs, 12, 120), blue);
    QCOMPARE(colourAt(runs, 13, 99), QRgb(0));

    // Between two columns as tall, an outlined piece is dark only at its top and bottom rows.
    const std::vector<DenseCell> wall{{5, 0, light, true}, {5, 0, light, true}, {5, 0, light, true}};
    const auto wallRuns = chartmath::columnRects(chartmath::stackColumns(wall, 1, row(0), row), 0, row(0), 170);
    QCOMPARE(colourAt(wallRuns, 1, 50), dark);
    QCOMPARE(colourAt(wallRuns, 1, 51), light);
    QCOMPARE(colourAt(wallRuns, 1, 98), light);
    QCOMPARE(colourAt(wallRuns, 1, 99), dark);
    QCOMPARE(colourAt(wallRuns, 0, 75), dark); // the outer columns meet the background beside them
    QCOMPARE(colourAt(wallRuns, 2, 75), dark);
}

QTEST_MAIN(TestChartMath)
#include "tst_chartmath.moc"
