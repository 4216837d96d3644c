// The chart's drawing: where the bars in view go, the depth layer (walls, grid, the bars' faces and, for many
// positions, the bars themselves, as faced bars or as dense pixel columns), the front layer (outlines, value marks,
// bottom axis labels, legend and border) and what the bar under a point holds.

#include "charts/barchart.h"

#include "charts/chartlook.h"

#include <QAbstractSeries>
#include <QBarCategoryAxis>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QPainter>
#include <QPolygonF>
#include <QValueAxis>
#include <QtMath>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace chartlook;

double BarChart::depth() const {
    // The depth follows the bars' width, so zooming in deepens them as it widens them.
    QAbstractSeries* series = anySeries();
    if (!series)
        return 6;
    int sideBySide = 0;
    for (const Series& s : m_series)
        sideBySide += (!s.colorEachPoint && !s.values.empty()) ? 1 : 0;
    const double slot =
        std::abs(chart()->mapToPosition(QPointF(1, 0), series).x() - chart()->mapToPosition(QPointF(0, 0), series).x());
    const double bar = slot * kBarWidth / std::max(1, sideBySide);
    return std::clamp(bar * 0.8, 4.0, 16.0) * kZoom / 100;
}

QPointF BarChart::depthShift(double d) {
    // Depth climbs to the right; with the low elevation it climbs less steeply than a diagonal.
    const double tilt = qDegreesToRadians(360 - kElevation);
    return QPointF(d + kHorizOffset * d / 16, -d * (0.5 + std::sin(tilt)));
}

QPointF BarChart::backPoint(const QPointF& front, const QRectF& plot, double d) const {
    // The perspective draws the back plane a little smaller, towards the middle of the plot.
    const double shrink = 1 - kPerspective / 2000;
    const QPointF centre = plot.center();
    return centre + (front + depthShift(d) - centre) * shrink;
}

QRectF BarChart::barOutline(const Bar& bar, const QRectF& plot, double d) const {
    // The front and the top and side faces, which lean back from it.
    const QRectF& r = bar.front;
    double left = r.left(), right = r.right(), top = r.top(), bottom = r.bottom();
    for (const QPointF& corner : {r.topLeft(), r.topRight(), r.bottomRight()}) {
        const QPointF b = backPoint(corner, plot, d);
        left = std::min(left, b.x());
        right = std::max(right, b.x());
        top = std::min(top, b.y());
        bottom = std::max(bottom, b.y());
    }
    return QRectF(QPointF(left, top), QPointF(right, bottom));
}

QString BarChart::barText(const QPoint& at) const {
    const BarGeometry g = barGeometry();
    if (!g.plot.isValid() || g.last < g.first)
        return QString();
    const QPointF p = chart()->mapFromScene(mapToScene(at));
    if (!g.plot.adjusted(-1, -1, 1, 1).contains(p) && !g.plot.contains(p.x(), g.plot.bottom()))
        return QString();
    int series = -1;
    int index = -1;
    if (g.barWidth() >= kMinFacedBarWidth) {
        // A front first; the faces lie behind the fronts of the bars to their right.
        const std::vector<Bar> bars = visibleBars(g, 0);
        for (const Bar& bar : bars) {
            if (bar.front.adjusted(-0.5, -0.5, 0.5, 0.5).contains(p)) {
                series = bar.series;
                index = bar.index;
                break;
            }
        }
        const double d = depth();
        for (auto it = bars.rbegin(); series < 0 && it != bars.rend(); ++it) {
            if (barOutline(*it, g.plot, d).contains(p)) {
                series = it->series;
                index = it->index;
            }
        }
    } else {
        // Dense columns: the series whose piece of the column is under the point, as they are painted.
        const double value = (p.y() - g.origin.y()) / g.unit.y();
        double nearest = std::numeric_limits<double>::infinity();
        for (int i = 0; i < seriesCount(); ++i) {
            const chartmath::ColumnExtent e = chartmath::columnExtents(m_series[i].values, std::floor(p.x()), 1,
                                                                       g.origin.x(), g.unit.x(), kBarWidth)[0];
            const double reach = value >= 0 ? e.high : -e.low;
            const int slot = value >= 0 ? e.highSlot : e.lowSlot;
            if (slot >= 0 && reach >= std::abs(value) && reach < nearest) {
                nearest = reach;
                series = i;
                index = slot;
            }
        }
    }
    if (series < 0)
        return QString();
    const Series& s = m_series[series];
    const QString value = valueText(s.values[index]);
    const QString& label = s.labels[index];
    if (s.colorEachPoint)
        return label.isEmpty() ? value : label + QStringLiteral(": ") + value;
    return s.title + (label.isEmpty() ? QString() : QStringLiteral(", ") + label) + QStringLiteral(": ") + value;
}

void BarChart::paintOutlines(QPainter* painter, const BarGeometry& g) {
    // Bars whose fill is close to the background get a darker outline on whole pixels, as the dense columns do, in
    // every view: Qt's own border and the antialiased one of wider bars fade into the light yellow. A zero bar keeps
    // one row above the axis.
    painter->save();
    painter->setClipRect(g.plot.adjusted(0, 0, 0, 1));
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->setPen(Qt::NoPen);
    for (const Bar& bar : visibleBars(g, kMinFacedBarWidth)) {
        if (!chartmath::needsOutline(bar.color, kBackgroundTop, kBackgroundBottom))
            continue;
        const QRectF& r = bar.front;
        const int left = qRound(r.left());
        const int right = std::max(qRound(r.right()), left + 1);
        const int top = qRound(r.top());
        const int bottom = qRound(r.bottom());
        painter->setBrush(bar.color.darker(kOutlineDarker));
        if (bottom - top < 2) {
            painter->drawRect(QRect(left, std::min(top, bottom - 1), right - left, std::max(1, bottom - top)));
            continue;
        }
        painter->drawRect(QRect(left, top, right - left, 1));
        painter->drawRect(QRect(left, bottom - 1, right - left, 1));
        painter->drawRect(QRect(left, top, 1, bottom - top));
        painter->drawRect(QRect(right - 1, top, 1, bottom - top));
    }
    painter->restore();
}

double BarChart::BarGeometry::barWidth() const {
    return std::abs(unit.x()) * share;
}

BarChart::BarGeometry BarChart::barGeometry() const {
    BarGeometry g;
    QAbstractSeries* series = anySeries();
    QChart* c = chart();
    g.plot = c->plotArea();
    if (!series || !g.plot.isValid())
        return g;
    g.origin = c->mapToPosition(QPointF(0, 0), series);
    g.unit = c->mapToPosition(QPointF(1, 1), series) - g.origin;
    const QRectF range = currentRange();
    g.first = std::max(0, static_cast<int>(std::floor(range.left() - 0.5)));
    g.last = std::min(m_categoryCount - 1, static_cast<int>(std::ceil(range.right() + 0.5)));
    for (int i = 0; i < seriesCount(); ++i) {
        if (!m_series[i].colorEachPoint && !m_series[i].values.empty())
            g.sideBySide.push_back(i);
    }
    g.share = kBarWidth / std::max<std::size_t>(1, g.sideBySide.size());
    return g;
}

bool BarChart::placeBar(const BarGeometry& g, double x0, double x1, double value, Bar& bar) const {
    const QPointF a(g.origin.x() + x0 * g.unit.x(), g.origin.y() + std::max(value, 0.0) * g.unit.y());
    const QPointF b(g.origin.x() + x1 * g.unit.x(), g.origin.y() + std::min(value, 0.0) * g.unit.y());
    const QRectF whole = QRectF(a, b).normalized();
    const QRectF& plot = g.plot;
    // Bars are cut to the plot: a face that a zoom pushed out of it is left out, not drawn at the edge.
    if (whole.right() < plot.left() || whole.left() > plot.right() || whole.top() > plot.bottom() + 0.5 ||
        whole.bottom() < plot.top())
        return false;
    // Spelled out rather than intersected(): a zero value is a bar of no height, which must survive.
    bar.front = QRectF(QPointF(std::max(whole.left(), plot.left()), std::max(whole.top(), plot.top())),
                       QPointF(std::min(whole.right(), plot.right()), std::min(whole.bottom(), plot.bottom())));
    bar.whole = whole;
    bar.value = value;
    bar.showTop = whole.top() >= plot.top() - 0.5;
    bar.showSide = whole.right() <= plot.right() + 0.5;
    return true;
}

std::vector<BarChart::Bar> BarChart::visibleBars(const BarGeometry& g, double minWidth) const {
    std::vector<Bar> bars;
    if (g.last < g.first || g.barWidth() < minWidth)
        return bars;
    const QList<QColor>& palette = pointPalette();
    Bar bar;
    for (int x = g.first; x <= g.last; ++x) {
        for (size_t k = 0; k < g.sideBySide.size(); ++k) {
            const Series& s = m_series[g.sideBySide[k]];
            if (x >= static_cast<int>(s.values.size()))
                continue;
            const double x0 = x - kBarWidth / 2 + k * g.share;
            if (placeBar(g, x0, x0 + g.share, s.values[x], bar)) {
                bar.color = s.color;
                bar.arrowLength = s.arrowLength;
                bar.series = g.sideBySide[k];
                bar.index = x;
                bar.colorEachPoint = false;
                bars.push_back(bar);
            }
        }
        for (int i = 0; i < seriesCount(); ++i) {
            const Series& s = m_series[i];
            if (!s.colorEachPoint || x >= static_cast<int>(s.values.size()))
                continue;
            if (placeBar(g, x - kBarWidth / 2, x + kBarWidth / 2, s.values[x], bar)) {
                bar.color = palette[x % palette.size()];
                bar.arrowLength = s.arrowLength;
                bar.series = i;
                bar.index = x;
                bar.colorEachPoint = true;
                bars.push_back(bar);
            }
        }
    }
    return bars;
}

void BarChart::paintDepth(QPainter* painter) {
    const BarGeometry g = barGeometry();
    const QRectF& plot = g.plot;
    if (!plot.isValid())
        return;
    const double d = depth();
    auto back = [&](const QPointF& p) { return backPoint(p, plot, d); };
    painter->setRenderHint(QPainter::Antialiasing, false);

    // The back wall and floor are outlines only; the grid runs along the back wall and the left wall.
    painter->setBrush(Qt::NoBrush);
    painter->setPen(QPen(kGridColor, 1));
    if (m_axisY->tickInterval() > 0) {
        const double step = m_axisY->tickInterval();
        for (double v = std::ceil(m_axisY->min() / step - 1e-9) * step; v <= m_axisY->max() + 1e-9; v += step) {
            const double y = plot.bottom() - (v - m_axisY->min()) / (m_axisY->max() - m_axisY->min()) * plot.height();
            const QPointF left(plot.left(), y);
            const QPointF right(plot.right(), y);
            painter->drawLine(back(left), back(right));
            painter->drawLine(left, back(left));
        }
    }
    painter->setPen(QPen(kWallColor, 1));
    painter->drawPolygon(
        QPolygonF{back(plot.topLeft()), back(plot.topRight()), back(plot.bottomRight()), back(plot.bottomLeft())});
    painter->drawLine(plot.topLeft(), back(plot.topLeft()));
    painter->drawLine(plot.bottomLeft(), back(plot.bottomLeft()));
    painter->drawLine(plot.bottomRight(), back(plot.bottomRight()));
    if (!m_drawsBars && anySeries()) {
        painter->setPen(m_axisX->linePen());
        painter->drawLine(plot.bottomLeft(), plot.bottomRight());
    }
    paintSlotTicks(painter, g);

    // Faces of the bars, left to right, so each bar's front (drawn above all faces) and faces hide the side of its
    // left neighbour.
    QRectF box = plot.united(QRectF(back(plot.topLeft()), back(plot.bottomRight())));
    painter->setClipRect(box);
    painter->setRenderHint(QPainter::Antialiasing, true);
    for (const Bar& bar : visibleBars(g, kMinFacedBarWidth)) {
        const QRectF& r = bar.front;
        // A fill close to the background gets its outline whole, on whole pixels, as the dense columns have it: a
        // zero bar of such a colour is then still seen as its flat top face.
        const bool outlined = chartmath::needsOutline(bar.color, kBackgroundTop, kBackgroundBottom);
        painter->setRenderHint(QPainter::Antialiasing, !outlined);
        painter->setPen(QPen(bar.color.darker(kOutlineDarker), outlined ? 1 : 0.8));
        if (bar.showSide) {
            painter->setBrush(bar.color.darker(140));
            painter->drawPolygon(QPolygonF{r.topRight(), back(r.topRight()), back(r.bottomRight()), r.bottomRight()});
        }
        if (bar.showTop) {
            painter->setBrush(bar.color.lighter(115));
            painter->drawPolygon(QPolygonF{r.topLeft(), r.topRight(), back(r.topRight()), back(r.topLeft())});
        }
    }
    if (m_drawsBars)
        paintBars(painter, g);
}

void BarChart::paintSlotTicks(QPainter* painter, const BarGeometry& g) {
    // The slot boundaries get the ticks a category axis would give them, once the slots stand far enough apart to
    // tell them. The position axis marks its ends itself; the hidden category axis marks nothing.
    const double slot = std::abs(g.unit.x());
    if (slot < kMinTickedSlot || g.last < g.first)
        return;
    const QRectF& plot = g.plot;
    const double inset = m_drawsBars ? 0.5 : -0.5;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(m_positionAxis->linePen());
    for (int x = g.first; x <= g.last + 1; ++x) {
        const double at = g.origin.x() + (x - 0.5) * g.unit.x();
        if (at > plot.left() + inset && at < plot.right() - inset)
            painter->drawLine(QPointF(at, plot.bottom()), QPointF(at, plot.bottom() + kTickLength));
    }
    painter->restore();
}

void BarChart::paintBars(QPainter* painter, const BarGeometry& g) {
    if (g.barWidth() < kMinFacedBarWidth) {
        paintDenseBars(painter, g);
        return;
    }
    // The same fill and outline as Qt's bar items, one call per colour where the colour is the series'. Like
    // those, a bar a zoom cuts keeps its gradient and loses its outline at the cut. Narrow bars keep their exact
    // colour: filled only and on whole pixels, outlined only where the fill would vanish into the background.
    const bool narrow = g.barWidth() < kMinOutlinedBarWidth;
    auto outline = [&](const QColor& color) {
        if (narrow && !chartmath::needsOutline(color, kBackgroundTop, kBackgroundBottom))
            return QPen(Qt::NoPen);
        return QPen(color.darker(kOutlineDarker), 1);
    };
    std::vector<QList<QRectF>> fronts(m_series.size());
    std::vector<const Bar*> ownColour;
    const std::vector<Bar> bars = visibleBars(g, 0);
    for (const Bar& bar : bars) {
        if (bar.colorEachPoint)
            ownColour.push_back(&bar);
        else
            fronts[bar.series].append(bar.whole);
    }
    painter->setClipRect(g.plot);
    painter->setRenderHint(QPainter::Antialiasing, !narrow);
    for (size_t i = 0; i < fronts.size(); ++i) {
        if (fronts[i].isEmpty())
            continue;
        const QColor& color = m_series[i].color;
        painter->setPen(outline(color));
        painter->setBrush(color);
        painter->drawRects(fronts[i]);
    }
    for (const Bar* bar : ownColour) {
        painter->setPen(outline(bar->color));
        painter->setBrush(pointBrush(bar->color));
        painter->drawRect(bar->whole);
    }
}

void BarChart::paintDenseBars(QPainter* painter, const BarGeometry& g) {
    // Several slots share each pixel column. Per column every series shows its highest (and lowest) bar among the
    // slots the column meets; the columns of the series are stacked behind one another by height, so each keeps its
    // colour where it reaches above the lower ones, and every column costs the same however many bars it holds.
    const int left = static_cast<int>(std::floor(g.plot.left()));
    const int columns = static_cast<int>(std::ceil(g.plot.right()) - left);
    if (columns <= 0 || m_series.empty() || g.last < g.first)
        return;
    const std::vector<chartmath::DenseCell> cells = denseCells(g, left, columns);

    // Pieces on whole pixel rows, so every pixel is exactly one series' colour. Row r covers [r, r + 1).
    const int plotTop = static_cast<int>(std::round(g.plot.top()));
    const int plotBottom = static_cast<int>(std::round(g.plot.bottom()));
    const auto row = [&](double value) {
        return std::clamp(static_cast<int>(std::round(g.origin.y() + value * g.unit.y())), plotTop, plotBottom);
    };
    const int zero = row(0);
    const std::vector<chartmath::DenseColumn> stacked = chartmath::stackColumns(cells, seriesCount(), zero, row);

    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->setPen(Qt::NoPen);
    for (const chartmath::ColourRects& run : chartmath::columnRects(stacked, left, zero, kOutlineDarker)) {
        painter->setBrush(QColor(run.color));
        painter->drawRects(run.rects);
    }
}

std::vector<chartmath::DenseCell> BarChart::denseCells(const BarGeometry& g, int left, int columns) const {
    // Column by column, the series in order: cells[column * series + i].
    const int n = seriesCount();
    std::vector<chartmath::DenseCell> cells(static_cast<size_t>(columns) * n);
    const QList<QColor>& palette = pointPalette();
    for (int i = 0; i < n; ++i) {
        const Series& s = m_series[i];
        if (s.values.empty())
            continue;
        const std::vector<chartmath::ColumnExtent> extents =
            chartmath::columnExtents(s.values, left, columns, g.origin.x(), g.unit.x(), kBarWidth);
        const bool outlined = chartmath::needsOutline(s.color, kBackgroundTop, kBackgroundBottom);
        for (int column = 0; column < columns; ++column) {
            const chartmath::ColumnExtent& e = extents[column];
            chartmath::DenseCell& cell = cells[static_cast<size_t>(column) * n + i];
            cell.high = e.high;
            cell.low = e.low;
            cell.color = s.color.rgb();
            cell.outlined = outlined;
            // A series coloured per point shows the colour of its tallest bar in the column.
            const int slot = e.highSlot >= 0 ? e.highSlot : e.lowSlot;
            if (s.colorEachPoint && slot >= 0) {
                const QColor& color = palette[slot % palette.size()];
                cell.color = color.rgb();
                cell.outlined = chartmath::needsOutline(color, kBackgroundTop, kBackgroundBottom);
            }
        }
    }
    return cells;
}

std::vector<BarChart::LegendEntry> BarChart::legendEntries() const {
    std::vector<LegendEntry> entries;
    const QList<QColor>& palette = pointPalette();
    for (const Series& s : m_series) {
        if (!s.colorEachPoint) {
            entries.push_back({QBrush(s.color), s.title, QString()});
            continue;
        }
        for (size_t i = 0; i < s.values.size(); ++i)
            entries.push_back({pointBrush(palette[i % palette.size()]), s.labels[i], valueText(s.values[i])});
    }
    return entries;
}

BarChart::LegendLayout BarChart::legendLayout(const std::vector<LegendEntry>& entries, double width) const {
    LegendLayout layout;
    if (entries.empty())
        return layout;
    const QFontMetrics metrics(font());
    int valueWidth = 0;
    for (const LegendEntry& e : entries) {
        layout.textWidth = std::max(layout.textWidth, metrics.horizontalAdvance(e.text));
        valueWidth = std::max(valueWidth, metrics.horizontalAdvance(e.value));
    }
    // Entries share one column width so the values line up right-aligned; the boxes narrow before a row is added.
    const int textPart =
        layout.textWidth + (valueWidth > 0 ? metrics.horizontalAdvance(QStringLiteral("  ")) : 0) + valueWidth;
    const int available = std::max(1, static_cast<int>(width) - 2 * (kBorderWidth + kLegendHorizMargin));
    const int count = static_cast<int>(entries.size());
    layout.rowHeight = metrics.height() + 2;
    auto fit = [&](int box) {
        layout.boxWidth = box;
        layout.entryWidth = box + 4 + textPart + 2 * kLegendHorizMargin;
        layout.perRow = std::max(1, available / layout.entryWidth);
        layout.rows = (count + layout.perRow - 1) / layout.perRow;
        return layout.rows;
    };
    // The widest box that still needs no more rows than the narrowest one.
    const int fewestRows = fit(kLegendMinBoxWidth);
    for (int box = kLegendBoxWidth; box > kLegendMinBoxWidth; --box) {
        if (fit(box) == fewestRows)
            break;
    }
    if (layout.rows != fewestRows)
        fit(kLegendMinBoxWidth);
    layout.rows = std::min(layout.rows, kLegendMaxRows);
    return layout;
}

void BarChart::paintCategoryLabels(QPainter* painter, const QRectF& plot) {
    QAbstractSeries* series = anySeries();
    if (!series || m_categoryCount == 0)
        return;
    QChart* c = chart();
    const double origin = c->mapToPosition(QPointF(0, 0), series).x();
    const double slot = c->mapToPosition(QPointF(1, 0), series).x() - origin;
    if (!(slot > 0))
        return;
    // Labels too wide for their slots show every step-th one; counting from the first keeps them in place while the
    // chart scrolls, and the width kept from earlier paints only grows, so the step does not flicker either.
    const QRectF range = currentRange();
    const int first = std::max(0, static_cast<int>(std::floor(range.left())));
    const int last = std::min(m_categoryCount - 1, static_cast<int>(std::ceil(range.right())));
    const chartmath::LabelPlan plan =
        chartmath::labelPlan(first, last, slot, kLabelSpacing, m_labelWidth, [this](int x) { return labelWidth(x); });
    m_labelWidth = plan.width;
    const double width = std::max(slot * plan.step, m_labelWidth + kLabelSpacing);
    const double border = kBorderWidth + 1;
    const QRectF inner = c->rect().adjusted(border, border, -border, -border);
    painter->setPen(Qt::black);
    for (qint64 x = (qint64(first) + plan.step - 1) / plan.step * plan.step; x <= last; x += plan.step) {
        const double centre = origin + x * slot;
        if (centre < plot.left() - 0.5 || centre > plot.right() + 0.5)
            continue;
        // A label cut by the chart's edge is left out: shifted inwards it would run into its neighbour.
        const double half = labelWidth(static_cast<int>(x)) / 2;
        if (centre - half < inner.left() || centre + half > inner.right())
            continue;
        painter->drawText(QRectF(centre - width / 2, plot.bottom() + kLabelGap, width, plot.height()),
                          Qt::AlignHCenter | Qt::AlignTop, categoryLabel(static_cast<int>(x)));
    }
}

void BarChart::paintFront(QPainter* painter) {
    QChart* c = chart();
    const QRectF bounds = c->rect();
    const QRectF plot = c->plotArea();
    const QFontMetricsF metrics(font());
    painter->setFont(font());
    painter->setRenderHint(QPainter::Antialiasing, true);

    // Value marks: transparent, each on an arrow above its bar's top face. A mark that would run into a mark drawn
    // before it or into another bar (its front, top or side) is left out; the bar's tooltip tells its value.
    if (plot.isValid()) {
        const double d = depth();
        const BarGeometry g = barGeometry();
        paintOutlines(painter, g);
        painter->setClipRect(bounds.adjusted(kBorderWidth, kBorderWidth, -kBorderWidth, -kBorderWidth));
        const std::vector<Bar> bars = visibleBars(g, kMinFacedBarWidth);
        struct Mark {
            const Bar* bar;
            QString text;
            QPointF anchor;
            QPointF tip;
            QRectF box;
        };
        std::vector<Mark> marks;
        std::vector<QRectF> markBoxes;
        std::vector<QRectF> barBoxes;
        marks.reserve(bars.size());
        for (const Bar& bar : bars) {
            const QPointF frontTop(bar.front.center().x(), bar.front.top());
            if (!bar.showTop || frontTop.x() < plot.left() || frontTop.x() > plot.right())
                continue;
            Mark m{&bar, valueText(bar.value), {}, {}, {}};
            const double w = metrics.horizontalAdvance(m.text);
            m.anchor = (frontTop + backPoint(frontTop, plot, d)) / 2;
            m.tip = m.anchor - QPointF(0, bar.arrowLength);
            m.box = QRectF(m.tip.x() - w / 2 - 2, m.tip.y() - metrics.height(), w + 4, metrics.height());
            marks.push_back(m);
            // The arrow belongs to the mark: it must not cross another bar either.
            markBoxes.push_back(m.box.united(QRectF(m.tip, m.anchor).normalized().adjusted(-0.5, 0, 0.5, -1)));
            barBoxes.push_back(barOutline(bar, plot, d));
        }
        const std::vector<bool> kept = chartmath::keepMarks(markBoxes, barBoxes);
        for (size_t i = 0; i < marks.size(); ++i) {
            if (!kept[i])
                continue;
            const Mark& m = marks[i];
            if (m.bar->arrowLength > 0) {
                painter->setPen(QPen(Qt::darkGray, 1));
                painter->drawLine(m.anchor, m.tip);
            }
            // At a point, not in a box: the box form lays the text out anew each time, a month of marks costs
            // milliseconds.
            painter->setPen(Qt::black);
            painter->drawText(QPointF(m.box.left() + 2, m.box.top() + metrics.ascent()), m.text);
        }
        paintCategoryLabels(painter, plot);
        painter->setClipping(false);
    }

    // Legend.
    const std::vector<LegendEntry>& entries = m_legendEntries;
    const LegendLayout& legend = m_legendLayout;
    if (legend.rows > 0) {
        const int count = std::min<int>(entries.size(), legend.rows * legend.perRow);
        const double rowWidth = std::min(count, legend.perRow) * legend.entryWidth;
        const double left = bounds.left() + (bounds.width() - rowWidth) / 2;
        const double top = bounds.top() + kBorderWidth + bounds.height() * kLegendTop / 100;
        for (int i = 0; i < count; ++i) {
            const LegendEntry& e = entries[i];
            const double x = left + (i % legend.perRow) * legend.entryWidth + kLegendHorizMargin;
            const double y = top + (i / legend.perRow) * legend.rowHeight;
            const QRectF box(x, y + 2, legend.boxWidth, legend.rowHeight - 5);
            painter->setPen(QPen(Qt::black, 1));
            painter->setBrush(e.brush);
            painter->drawRect(box);
            const QRectF text(box.right() + 4, y, legend.entryWidth - legend.boxWidth - 4 - 2 * kLegendHorizMargin,
                              legend.rowHeight);
            painter->drawText(text, Qt::AlignLeft | Qt::AlignVCenter, e.text);
            if (!e.value.isEmpty())
                painter->drawText(text, Qt::AlignRight | Qt::AlignVCenter, e.value);
        }
    }

    // Border.
    painter->setBrush(Qt::NoBrush);
    painter->setPen(QPen(kBorderColor, kBorderWidth, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->drawRect(
        bounds.adjusted(kBorderWidth / 2.0, kBorderWidth / 2.0, -kBorderWidth / 2.0, -kBorderWidth / 2.0));
}
