// The chart's arithmetic: value axis steps, which slots a pixel column meets and what it shows of them, how the dense
// columns stack into pixel runs, which bottom axis labels and value marks fit, and when a fill needs an outline.

#include "charts/chartmath.h"

#include <QColor>

#include <algorithm>
#include <cmath>
#include <limits>

namespace chartmath {

double tickStep(double span, bool integral, bool zoomed) {
    double step = 1;
    const double raw = span / 5;
    if (raw > 0 && std::isfinite(raw)) {
        const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
        const double fraction = raw / magnitude;
        step = (fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10) * magnitude;
    }
    if (integral && (span >= 2 || !zoomed))
        step = std::max(step, 1.0);
    return step;
}

SlotRange slotsInColumn(double left, double origin, double unit, double width, int count) {
    SlotRange range;
    if (!(unit > 0) || count <= 0)
        return range;
    const double from = (left - origin) / unit;
    const double to = (left + 1 - origin) / unit;
    const double half = width / 2;
    // Slot x meets the column when x - half < to and x + half > from.
    const double first = std::floor(from - half) + 1;
    const double last = std::ceil(to + half) - 1;
    if (last < 0 || first > count - 1)
        return range;
    range.first = static_cast<int>(std::max(first, 0.0));
    range.last = static_cast<int>(std::min(last, count - 1.0));
    return range;
}

std::vector<ColumnExtent> columnExtents(const std::vector<double>& values, double left, int columns, double origin,
                                        double unit, double width) {
    std::vector<ColumnExtent> extents(static_cast<size_t>(std::max(columns, 0)));
    const int count = static_cast<int>(values.size());
    for (int column = 0; column < columns; ++column) {
        const SlotRange range = slotsInColumn(left + column, origin, unit, width, count);
        ColumnExtent& e = extents[column];
        for (int x = range.first; x <= range.last; ++x) {
            if (values[x] > e.high) {
                e.high = values[x];
                e.highSlot = x;
            }
            if (values[x] < e.low) {
                e.low = values[x];
                e.lowSlot = x;
            }
        }
    }
    return extents;
}

std::vector<DenseColumn> stackColumns(const std::vector<DenseCell>& cells, int series, int zeroRow,
                                      const std::function<int(double)>& row) {
    if (series <= 0)
        return {};
    const size_t count = cells.size() / static_cast<size_t>(series);
    std::vector<DenseColumn> columns(count);
    std::vector<const DenseCell*> order;
    order.reserve(static_cast<size_t>(series));
    for (size_t column = 0; column < count; ++column) {
        const DenseCell* cellsHere = &cells[column * static_cast<size_t>(series)];
        DenseColumn& stacked = columns[column];
        order.clear();
        for (int i = 0; i < series; ++i) {
            if (cellsHere[i].high > 0)
                order.push_back(&cellsHere[i]);
        }
        std::stable_sort(order.begin(), order.end(),
                         [](const DenseCell* a, const DenseCell* b) { return a->high < b->high; });
        int below = zeroRow;
        for (const DenseCell* cell : order) {
            const int top = row(cell->high);
            if (top < below)
                stacked.pieces.push_back({top, below, cell});
            below = std::min(below, top);
        }
        stacked.top = below;
        order.clear();
        for (int i = 0; i < series; ++i) {
            if (cellsHere[i].low < 0)
                order.push_back(&cellsHere[i]);
        }
        std::stable_sort(order.begin(), order.end(),
                         [](const DenseCell* a, const DenseCell* b) { return a->low > b->low; });
        int above = zeroRow;
        for (const DenseCell* cell : order) {
            const int bottom = row(cell->low);
            if (bottom > above)
                stacked.pieces.push_back({above, bottom, cell});
            above = std::max(above, bottom);
        }
        stacked.bottom = above;
    }
    return columns;
}

std::vector<ColourRects> columnRects(const std::vector<DenseColumn>& columns, int left, int zeroRow,
                                     int outlineDarker) {
    // The pieces do not overlap, so they can be drawn a colour at a time.
    std::vector<ColourRects> byColour;
    auto add = [&](QRgb color, int x, int top, int bottom) {
        if (bottom <= top)
            return;
        auto it = std::find_if(byColour.begin(), byColour.end(), [color](const auto& c) { return c.color == color; });
        if (it == byColour.end()) {
            byColour.push_back({color, {}});
            it = byColour.end() - 1;
        }
        // Columns go left to right: a piece level with the one before it in its colour widens that one.
        QList<QRectF>& rects = it->rects;
        const QRectF rect(x, top, 1, bottom - top);
        if (!rects.isEmpty() && rects.last().right() == rect.left() && rects.last().top() == rect.top() &&
            rects.last().bottom() == rect.bottom())
            rects.last().setRight(rect.right());
        else
            rects.append(rect);
    };
    const int count = static_cast<int>(columns.size());
    // Outside the drawn columns nothing is filled.
    DenseColumn none;
    none.top = zeroRow;
    none.bottom = zeroRow;
    for (int column = 0; column < count; ++column) {
        const DenseColumn& here = columns[column];
        const int x = left + column;
        // Rows where the columns on both sides are filled too: the background touches a piece only outside them.
        const DenseColumn& l = column > 0 ? columns[column - 1] : none;
        const DenseColumn& r = column + 1 < count ? columns[column + 1] : none;
        const int coveredTop = std::max(l.top, r.top);
        const int coveredBottom = std::min(l.bottom, r.bottom);
        for (const DensePiece& p : here.pieces) {
            if (!p.cell->outlined) {
                add(p.cell->color, x, p.top, p.bottom);
                continue;
            }
            const QRgb dark = QColor(p.cell->color).darker(outlineDarker).rgb();
            int innerTop = std::max(p.top, std::min(coveredTop, p.bottom));
            int innerBottom = std::min(p.bottom, std::max(coveredBottom, innerTop));
            if (p.top == here.top)
                innerTop = std::max(innerTop, p.top + 1);
            if (p.bottom == here.bottom)
                innerBottom = std::min(innerBottom, p.bottom - 1);
            innerBottom = std::max(innerBottom, innerTop);
            add(dark, x, p.top, std::min(innerTop, p.bottom));
            add(p.cell->color, x, innerTop, innerBottom);
            add(dark, x, std::max(innerBottom, p.top), p.bottom);
        }
    }
    return byColour;
}

LabelPlan labelPlan(int first, int last, double slot, double gap, double width,
                    const std::function<double(int)>& measure) {
    LabelPlan plan;
    plan.width = std::max(width, 0.0);
    first = std::max(first, 0);
    if (!(slot > 0) || last < first)
        return plan;
    // Only the labels of the step being tried are measured; a wider one among them widens the step, which draws
    // another set. The width only grows, over the widths of a few sets, so this ends after a few rounds.
    int measuredStep = 0;
    for (;;) {
        const double step = std::ceil((plan.width + std::max(gap, 1.0)) / slot);
        plan.step = static_cast<int>(std::min(step, double(std::numeric_limits<int>::max() / 2)));
        if (plan.step == measuredStep)
            return plan;
        measuredStep = plan.step;
        double widest = plan.width;
        for (qint64 x = (qint64(first) + plan.step - 1) / plan.step * plan.step; x <= last; x += plan.step)
            widest = std::max(widest, measure(static_cast<int>(x)));
        if (widest <= plan.width)
            return plan;
        plan.width = widest;
    }
}

std::vector<bool> keepMarks(const std::vector<QRectF>& marks, const std::vector<QRectF>& bars) {
    const size_t n = std::min(marks.size(), bars.size());
    std::vector<bool> kept(marks.size(), false);
    std::vector<size_t> drawn;
    for (size_t i = 0; i < n; ++i) {
        const QRectF& box = marks[i];
        bool clear = true;
        for (size_t k = 0; k < n && clear; ++k)
            clear = k == i || !box.intersects(bars[k]);
        for (size_t k : drawn) {
            if (!clear)
                break;
            clear = !box.intersects(marks[k]);
        }
        if (clear) {
            kept[i] = true;
            drawn.push_back(i);
        }
    }
    return kept;
}

double distanceFromGradient(const QColor& colour, const QColor& from, const QColor& to) {
    // The nearest point of the straight line between the two colours, in RGB.
    const double d[3] = {double(to.red() - from.red()), double(to.green() - from.green()),
                         double(to.blue() - from.blue())};
    const double c[3] = {double(colour.red() - from.red()), double(colour.green() - from.green()),
                         double(colour.blue() - from.blue())};
    const double length = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    const double t = length > 0 ? std::clamp((c[0] * d[0] + c[1] * d[1] + c[2] * d[2]) / length, 0.0, 1.0) : 0.0;
    double sum = 0;
    for (int k = 0; k < 3; ++k)
        sum += (c[k] - t * d[k]) * (c[k] - t * d[k]);
    return std::sqrt(sum);
}

bool needsOutline(const QColor& fill, const QColor& backgroundFrom, const QColor& backgroundTo) {
    return distanceFromGradient(fill, backgroundFrom, backgroundTo) < kOutlineDistance;
}

} // namespace chartmath
