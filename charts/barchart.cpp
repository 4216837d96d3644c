#include "charts/barchart.h"

#include <QAbstractBarSeries>
#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QFontMetricsF>
#include <QGraphicsLayout>
#include <QGraphicsObject>
#include <QGuiApplication>
#include <QLegend>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygonF>
#include <QSet>
#include <QStackedBarSeries>
#include <QValueAxis>
#include <QVariantAnimation>
#include <QWheelEvent>
#include <QtMath>

#include <algorithm>
#include <cmath>

namespace {

// Bars of one slot together take 70 % of it.
constexpr double kBarWidth = 0.7;

constexpr int kBorderWidth = 4;
const QColor kBorderColor(0x80, 0x80, 0x80);
const QColor kBackgroundTop(0xFF, 0xFF, 0xFF);
const QColor kBackgroundBottom(0xFF, 0xFF, 0x80);
const QColor kWallColor(0x80, 0x80, 0x80);
const QColor kGridColor(0xB0, 0xB0, 0xB0);

// Margins in per cent of the chart.
constexpr double kMarginTop = 5;
constexpr double kMarginRight = 5;

// Legend: distance from the top in per cent of the chart, gap around each entry, colour box width.
constexpr double kLegendTop = 3;
constexpr int kLegendHorizMargin = 7;
constexpr int kLegendBoxWidth = 45;
constexpr int kLegendMinBoxWidth = 12;
constexpr int kLegendMaxRows = 3;

// The view: looked at from 13 degrees above (elevation 347), shifted 4 px sideways, with a slight perspective
// (20) that narrows the depth towards the back, at 99 % zoom.
constexpr double kElevation = 347;
constexpr double kHorizOffset = 4;
constexpr double kPerspective = 20;
constexpr double kZoom = 99;

// A colour-per-point series with more points than this shares one bar set per palette colour: one set per point
// costs points squared bar items.
constexpr int kPointSetLimit = 64;

// Below this width a bar gets no faces and no mark: they would only smear.
constexpr double kMinFacedBarWidth = 2;

constexpr int kZoomAnimationMs = 250;

// Space between the bottom axis and its labels.
constexpr int kLabelGap = 6;

double niceStep(double raw) {
    if (!(raw > 0))
        return 1;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double fraction = raw / magnitude;
    const double nice = fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10;
    return nice * magnitude;
}

QString valueText(double value) {
    return QString::number(value, 'g', 12);
}

// Bars coloured per point are filled with a gradient that lightens towards the top.
QBrush pointBrush(const QColor& color) {
    QLinearGradient fill(0, 0, 0, 1);
    fill.setCoordinateMode(QGradient::ObjectBoundingMode);
    fill.setColorAt(0, color.lighter(160));
    fill.setColorAt(1, color);
    return fill;
}

bool animationsWanted() {
    // Offscreen rendering is for tests and screenshots, which need the final picture at once.
    return QGuiApplication::platformName() != QLatin1String("offscreen");
}

} // namespace

// One drawing layer over the chart: the depth below the bars, or the marks, legend and border above them.
class ChartLayer : public QGraphicsObject {
public:
    enum Kind { Depth, Front };

    ChartLayer(BarChart* owner, Kind kind, QGraphicsItem* parent)
        : QGraphicsObject(parent), m_owner(owner), m_kind(kind) {
        setAcceptedMouseButtons(Qt::NoButton);
    }

    QRectF boundingRect() const override { return parentItem() ? parentItem()->boundingRect() : QRectF(); }

    void paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) override {
        painter->save();
        if (m_kind == Depth)
            m_owner->paintDepth(painter);
        else
            m_owner->paintFront(painter);
        painter->restore();
    }

    void geometryFollows() { prepareGeometryChange(); }

private:
    BarChart* m_owner;
    Kind m_kind;
};

BarChart::BarChart(QWidget* parent) : QChartView(parent) {
    setFrameShape(QFrame::NoFrame);
    setRenderHint(QPainter::Antialiasing);
    setRubberBand(QChartView::RectangleRubberBand);
    // The layers span the whole chart; partial repaints would leave stale faces behind.
    setViewportUpdateMode(QGraphicsView::FullViewportUpdate);

    QChart* c = chart();
    c->setTitle(QString());
    c->setBackgroundRoundness(0);
    c->layout()->setContentsMargins(0, 0, 0, 0);
    QLinearGradient background(0, 0, 0, 1);
    background.setCoordinateMode(QGradient::ObjectBoundingMode);
    background.setColorAt(0, kBackgroundTop);
    background.setColorAt(1, kBackgroundBottom);
    c->setBackgroundBrush(background);
    c->setBackgroundPen(Qt::NoPen);
    c->setPlotAreaBackgroundVisible(false);
    // The legend is drawn by the front layer: Qt's cannot wrap rows nor widen its colour boxes.
    c->legend()->setVisible(false);

    m_axisX = new QBarCategoryAxis(this);
    m_axisY = new QValueAxis(this);
    for (QAbstractAxis* axis : {static_cast<QAbstractAxis*>(m_axisX), static_cast<QAbstractAxis*>(m_axisY)}) {
        axis->setGridLineVisible(false);
        axis->setLabelsColor(Qt::black);
        axis->setLinePenColor(kWallColor);
    }
    m_axisX->setLabelsVisible(false);
    m_axisY->setTickType(QValueAxis::TicksDynamic);
    m_axisY->setTickAnchor(0);
    c->addAxis(m_axisX, Qt::AlignBottom);
    c->addAxis(m_axisY, Qt::AlignLeft);

    m_depthLayer = new ChartLayer(this, ChartLayer::Depth, c);
    m_frontLayer = new ChartLayer(this, ChartLayer::Front, c);
    // Qt stacks grid (2) and axes (3) below the series (4) and the legend (5) above them.
    m_depthLayer->setZValue(3.5);
    m_frontLayer->setZValue(6);

    m_zoomAnimation = new QVariantAnimation(this);
    m_zoomAnimation->setDuration(kZoomAnimationMs);
    m_zoomAnimation->setEasingCurve(QEasingCurve::OutCubic);
    connect(m_zoomAnimation, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) { showRange(value.toRectF()); });
    connect(m_zoomAnimation, &QVariantAnimation::finished, this, &BarChart::finishZoom);

    connect(c, &QChart::plotAreaChanged, this, [this] {
        if (!m_zoomed) {
            const QRectF full = fullRange();
            if (!qFuzzyCompare(full.bottom(), m_axisY->max()))
                applyFullRange();
        }
        refreshLayers();
    });
    connect(m_axisY, &QValueAxis::rangeChanged, this, [this] {
        updateTicks();
        refreshLayers();
    });
    connect(m_axisX, &QBarCategoryAxis::rangeChanged, this, &BarChart::refreshLayers);

    rebuild();
}

BarChart::~BarChart() = default;

const QList<QColor>& BarChart::pointPalette() {
    // A classic sixteen-colour chart palette, without white and black, which vanish on the background or
    // under the marks.
    static const QList<QColor> palette{
        QColor(0xFF, 0x00, 0x00), QColor(0x00, 0x80, 0x00), QColor(0xFF, 0xFF, 0x00), QColor(0x00, 0x00, 0xFF),
        QColor(0xFF, 0x00, 0xFF), QColor(0x00, 0x80, 0x80), QColor(0xFF, 0x80, 0x00), QColor(0x80, 0x00, 0x80),
        QColor(0x00, 0xFF, 0xFF), QColor(0x80, 0x00, 0x00), QColor(0x00, 0xFF, 0x00), QColor(0x80, 0x80, 0x00),
        QColor(0x00, 0x00, 0x80), QColor(0xC0, 0xC0, 0xC0), QColor(0x80, 0x80, 0x80), QColor(0xFF, 0x80, 0xC0),
    };
    return palette;
}

int BarChart::addSeries(const QString& title, const QColor& color, int markArrowLength, bool colorEachPoint) {
    Series series;
    series.title = title;
    series.color = color;
    series.arrowLength = std::max(0, markArrowLength);
    series.colorEachPoint = colorEachPoint;
    m_series.push_back(std::move(series));
    scheduleRebuild();
    return static_cast<int>(m_series.size()) - 1;
}

void BarChart::clearSeries(int series) {
    if (series < 0 || series >= seriesCount())
        return;
    m_series[series].values.clear();
    m_series[series].labels.clear();
    scheduleRebuild();
}

void BarChart::appendPoint(int series, double value, const QString& label) {
    if (series < 0 || series >= seriesCount())
        return;
    m_series[series].values.push_back(std::isfinite(value) ? value : 0.0);
    m_series[series].labels.append(label);
    scheduleRebuild();
}

int BarChart::seriesCount() const {
    return static_cast<int>(m_series.size());
}

int BarChart::pointCount(int series) const {
    if (series < 0 || series >= seriesCount())
        return 0;
    return static_cast<int>(m_series[series].values.size());
}

double BarChart::pointValue(int series, int index) const {
    if (index < 0 || index >= pointCount(series))
        return 0;
    return m_series[series].values[index];
}

QString BarChart::pointLabel(int series, int index) const {
    if (index < 0 || index >= pointCount(series))
        return QString();
    return m_series[series].labels[index];
}

QString BarChart::categoryLabel(int index) const {
    QStringList distinct;
    for (const Series& s : m_series) {
        if (index < 0 || index >= s.labels.size())
            continue;
        const QString& label = s.labels[index];
        if (!label.isEmpty() && !distinct.contains(label))
            distinct.append(label);
    }
    return distinct.join(QLatin1Char('\n'));
}

void BarChart::beginUpdate() {
    ++m_updateDepth;
}

void BarChart::endUpdate() {
    if (m_updateDepth > 0)
        --m_updateDepth;
    if (m_updateDepth == 0 && m_dirty)
        rebuild();
}

void BarChart::flush() {
    if (m_dirty)
        rebuild();
}

void BarChart::scheduleRebuild() {
    m_dirty = true;
    if (m_updateDepth > 0 || m_rebuildQueued)
        return;
    m_rebuildQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_rebuildQueued = false;
            if (m_updateDepth == 0)
                flush();
        },
        Qt::QueuedConnection);
}

QAbstractSeries* BarChart::anySeries() const {
    const QList<QAbstractSeries*> all = chart()->series();
    return all.isEmpty() ? nullptr : all.first();
}

void BarChart::rebuild() {
    m_dirty = false;
    m_zoomAnimation->stop();
    m_zoomed = false;
    QChart* c = chart();
    c->zoomReset();
    c->removeAllSeries();

    m_categoryCount = 0;
    m_maxValue = 0;
    m_integral = true;
    for (const Series& s : m_series) {
        m_categoryCount = std::max(m_categoryCount, static_cast<int>(s.values.size()));
        for (double v : s.values) {
            m_maxValue = std::max(m_maxValue, v);
            m_integral = m_integral && v == std::floor(v);
        }
    }

    // The axis keeps one category per position for ranges and zoom, and insists on unique texts: positions with
    // equal or empty labels get their position appended. The front layer draws the labels themselves, thinned out when
    // they do not fit their slots and over as many lines as a position needs.
    const QFontMetricsF metrics(font());
    QStringList categories;
    QSet<QString> used;
    m_categoryTexts.clear();
    m_labelWidth = 0;
    m_labelLines = 1;
    for (int x = 0; x < m_categoryCount; ++x) {
        const QString label = categoryLabel(x);
        const QStringList lines = label.split(QLatin1Char('\n'));
        m_labelLines = std::max(m_labelLines, static_cast<int>(lines.size()));
        for (const QString& line : lines)
            m_labelWidth = std::max(m_labelWidth, metrics.horizontalAdvance(line));
        m_categoryTexts.append(label);
        QString key = label;
        for (int n = x; key.isEmpty() || used.contains(key); n += m_categoryCount)
            key = QStringLiteral("%1 #%2").arg(label).arg(n);
        used.insert(key);
        categories.append(key);
    }
    m_axisX->clear();
    m_axisX->append(categories);
    m_axisY->setLabelsFont(font());

    // Series of one colour stand side by side in one bar series; only those with points take a place in the
    // slot, so a single chosen input gets the whole width.
    auto* sideBySide = new QBarSeries;
    sideBySide->setBarWidth(kBarWidth);
    for (const Series& s : m_series) {
        if (s.colorEachPoint || s.values.empty())
            continue;
        auto* set = new QBarSet(s.title);
        set->setColor(s.color);
        set->setBorderColor(s.color.darker(170));
        set->setLabelColor(Qt::black);
        QList<qreal> values(s.values.begin(), s.values.end());
        set->append(values);
        sideBySide->append(set);
    }
    if (sideBySide->count() > 0) {
        c->addSeries(sideBySide);
        sideBySide->attachAxis(m_axisX);
        sideBySide->attachAxis(m_axisY);
    } else {
        delete sideBySide;
    }

    // A series coloured per point becomes one set per point, its value at its own index and zero elsewhere, so
    // every bar has its own colour and its own legend entry.
    const QList<QColor>& palette = pointPalette();
    for (const Series& s : m_series) {
        if (!s.colorEachPoint || s.values.empty())
            continue;
        const int n = static_cast<int>(s.values.size());
        const bool shared = n > kPointSetLimit;
        const int setCount = shared ? std::min<int>(n, palette.size()) : n;
        auto* stacked = new QStackedBarSeries;
        stacked->setBarWidth(kBarWidth);
        for (int k = 0; k < setCount; ++k) {
            const QColor color = palette[k % palette.size()];
            QString text = valueText(s.values[k]);
            if (!s.labels[k].isEmpty())
                text = s.labels[k] + QStringLiteral("  ") + text;
            auto* set = new QBarSet(shared ? QString() : text);
            set->setBrush(pointBrush(color));
            set->setBorderColor(color.darker(170));
            set->setLabelColor(Qt::black);
            QList<qreal> values(shared ? n : k + 1, 0.0);
            for (int i = k; i < values.size(); i += setCount)
                values[i] = s.values[i];
            set->append(values);
            stacked->append(set);
        }
        c->addSeries(stacked);
        stacked->attachAxis(m_axisX);
        stacked->attachAxis(m_axisY);
    }

    // Value marks are drawn by the front layer with the depth and arrow they need; Qt's own labels sit on the
    // front edge and leave out zero values.
    for (QAbstractSeries* series : c->series())
        static_cast<QAbstractBarSeries*>(series)->setLabelsVisible(false);

    updateMargins();
    applyFullRange();
    refreshLayers();
}

QRectF BarChart::fullRange() const {
    // Leave room above the highest bar for its depth, arrow and mark.
    int arrow = 0;
    for (const Series& s : m_series)
        arrow = std::max(arrow, s.arrowLength);
    const double plotHeight = chart()->plotArea().height() > 40 ? chart()->plotArea().height() : 150;
    const double headroom = arrow + QFontMetricsF(font()).height() + depthShift(depth()).y() * -0.5 + 4;
    const double share = std::clamp(headroom / plotHeight, 0.0, 0.6);
    const double top = m_maxValue > 0 ? m_maxValue / (1 - share) : 1;
    double step = niceStep(top / 5);
    if (m_integral)
        step = std::max(step, 1.0);
    const double yMax = std::ceil(top / step - 1e-9) * step;
    const double xMax = std::max(m_categoryCount, 1) - 0.5;
    return QRectF(QPointF(-0.5, 0), QPointF(xMax, yMax));
}

QRectF BarChart::currentRange() const {
    QAbstractSeries* series = anySeries();
    if (!series)
        return fullRange();
    const QRectF plot = chart()->plotArea();
    const QPointF topLeft = chart()->mapToValue(plot.topLeft(), series);
    const QPointF bottomRight = chart()->mapToValue(plot.bottomRight(), series);
    return QRectF(QPointF(topLeft.x(), bottomRight.y()), QPointF(bottomRight.x(), topLeft.y()));
}

void BarChart::showRange(const QRectF& range) {
    QAbstractSeries* series = anySeries();
    if (!series || !range.isValid())
        return;
    QChart* c = chart();
    const QPointF topLeft = c->mapToPosition(QPointF(range.left(), range.bottom()), series);
    const QPointF bottomRight = c->mapToPosition(QPointF(range.right(), range.top()), series);
    c->zoomIn(QRectF(topLeft, bottomRight).normalized());
    refreshLayers();
}

void BarChart::zoomTo(const QRectF& range, bool animate, bool resetAfter) {
    m_zoomAnimation->stop();
    m_resetAfterZoom = resetAfter;
    if (animate && animationsWanted()) {
        m_zoomAnimation->setStartValue(currentRange());
        m_zoomAnimation->setEndValue(range);
        m_zoomAnimation->start();
        return;
    }
    showRange(range);
    finishZoom();
}

void BarChart::finishZoom() {
    if (!m_resetAfterZoom)
        return;
    // Back at the whole chart: let Qt forget its zoom and set the exact full range again.
    m_resetAfterZoom = false;
    chart()->zoomReset();
    applyFullRange();
    refreshLayers();
}

void BarChart::applyFullRange() {
    const QRectF full = fullRange();
    if (m_categoryCount > 0)
        m_axisX->setRange(m_axisX->categories().first(), m_axisX->categories().last());
    m_axisY->setRange(full.top(), full.bottom());
    updateTicks();
}

void BarChart::resetZoom() {
    flush();
    m_zoomed = false;
    if (anySeries())
        zoomTo(fullRange(), true, true);
    else
        applyFullRange();
}

void BarChart::updateTicks() {
    const double span = m_axisY->max() - m_axisY->min();
    double step = niceStep(span / 5);
    // Counts get whole-number ticks until a zoom narrows the range below one.
    if (m_integral && (span >= 2 || !m_zoomed))
        step = std::max(step, 1.0);
    const int decimals = std::max(0, -static_cast<int>(std::floor(std::log10(step))));
    if (!qFuzzyCompare(m_axisY->tickInterval(), step))
        m_axisY->setTickInterval(step);
    const QString format = QStringLiteral("%.%1f").arg(decimals);
    if (m_axisY->labelFormat() != format)
        m_axisY->setLabelFormat(format);
}

void BarChart::updateMargins() {
    const QRectF bounds = chart()->rect();
    const std::vector<LegendEntry> entries = legendEntries();
    const LegendLayout legend = legendLayout(entries, bounds.width());
    const double legendTop = kBorderWidth + bounds.height() * kLegendTop / 100;
    const double top = legendTop + legend.rows * legend.rowHeight + bounds.height() * kMarginTop / 100;
    const int labels = qRound(m_labelLines * QFontMetricsF(font()).lineSpacing()) + kLabelGap;
    const QMargins margins(kBorderWidth + 2, qRound(top), qRound(bounds.width() * kMarginRight / 100),
                           kBorderWidth + 2 + labels);
    if (chart()->margins() != margins) {
        chart()->setMargins(margins);
        // Lay out now, so a grab straight after a resize or a fill shows the final picture.
        chart()->layout()->activate();
    }
}

void BarChart::refreshLayers() {
    m_depthLayer->update();
    m_frontLayer->update();
}

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

std::vector<BarChart::Bar> BarChart::visibleBars() const {
    std::vector<Bar> bars;
    QAbstractSeries* series = anySeries();
    if (!series)
        return bars;
    QChart* c = chart();
    const QPointF origin = c->mapToPosition(QPointF(0, 0), series);
    const QPointF unit = c->mapToPosition(QPointF(1, 1), series) - origin;
    const QRectF range = currentRange();
    const int first = std::max(0, static_cast<int>(std::floor(range.left() - 0.5)));
    const int last = std::min(m_categoryCount - 1, static_cast<int>(std::ceil(range.right() + 0.5)));

    std::vector<const Series*> sideBySide;
    for (const Series& s : m_series) {
        if (!s.colorEachPoint && !s.values.empty())
            sideBySide.push_back(&s);
    }
    const double share = kBarWidth / std::max<size_t>(1, sideBySide.size());
    if (std::abs(unit.x()) * share < kMinFacedBarWidth)
        return bars;

    // Bars are cut to the plot: a face that a zoom pushed out of it is left out, not drawn at the edge.
    const QRectF plot = c->plotArea();
    const QList<QColor>& palette = pointPalette();
    auto add = [&](double x0, double x1, double value, const QColor& color, int arrowLength) {
        const QPointF a(origin.x() + x0 * unit.x(), origin.y() + std::max(value, 0.0) * unit.y());
        const QPointF b(origin.x() + x1 * unit.x(), origin.y() + std::min(value, 0.0) * unit.y());
        const QRectF whole = QRectF(a, b).normalized();
        if (whole.right() < plot.left() || whole.left() > plot.right() || whole.top() > plot.bottom() + 0.5 ||
            whole.bottom() < plot.top())
            return;
        // Spelled out rather than intersected(): a zero value is a bar of no height, which must survive.
        const QRectF front(QPointF(std::max(whole.left(), plot.left()), std::max(whole.top(), plot.top())),
                           QPointF(std::min(whole.right(), plot.right()), std::min(whole.bottom(), plot.bottom())));
        bars.push_back(
            {front, color, value, arrowLength, whole.top() >= plot.top() - 0.5, whole.right() <= plot.right() + 0.5});
    };
    for (int x = first; x <= last; ++x) {
        for (size_t k = 0; k < sideBySide.size(); ++k) {
            const Series& s = *sideBySide[k];
            if (x >= static_cast<int>(s.values.size()))
                continue;
            const double x0 = x - kBarWidth / 2 + k * share;
            add(x0, x0 + share, s.values[x], s.color, s.arrowLength);
        }
        for (const Series& s : m_series) {
            if (s.colorEachPoint && x < static_cast<int>(s.values.size()))
                add(x - kBarWidth / 2, x + kBarWidth / 2, s.values[x], palette[x % palette.size()], s.arrowLength);
        }
    }
    return bars;
}

void BarChart::paintDepth(QPainter* painter) {
    QChart* c = chart();
    const QRectF plot = c->plotArea();
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

    // Faces of the bars, left to right, so each bar's front (drawn by Qt above this layer) and faces hide the
    // side of its left neighbour.
    QRectF box = plot.united(QRectF(back(plot.topLeft()), back(plot.bottomRight())));
    painter->setClipRect(box);
    painter->setRenderHint(QPainter::Antialiasing, true);
    for (const Bar& bar : visibleBars()) {
        const QRectF& r = bar.front;
        painter->setPen(QPen(bar.color.darker(170), 0.8));
        if (bar.showSide) {
            painter->setBrush(bar.color.darker(140));
            painter->drawPolygon(QPolygonF{r.topRight(), back(r.topRight()), back(r.bottomRight()), r.bottomRight()});
        }
        if (bar.showTop) {
            painter->setBrush(bar.color.lighter(115));
            painter->drawPolygon(QPolygonF{r.topLeft(), r.topRight(), back(r.topRight()), back(r.topLeft())});
        }
    }
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
    if (!series || m_categoryTexts.isEmpty())
        return;
    QChart* c = chart();
    const double origin = c->mapToPosition(QPointF(0, 0), series).x();
    const double slot = c->mapToPosition(QPointF(1, 0), series).x() - origin;
    if (!(slot > 0))
        return;
    // Labels too wide for their slots show every step-th one; counting from the first keeps them in place
    // while the chart scrolls.
    const int step = std::max(1, static_cast<int>(std::ceil((m_labelWidth + 8) / slot)));
    const QRectF range = currentRange();
    const int first = std::max(0, static_cast<int>(std::floor(range.left())));
    const int last = std::min<int>(m_categoryTexts.size() - 1, static_cast<int>(std::ceil(range.right())));
    const double width = std::max(slot * step, m_labelWidth + 8);
    const double border = kBorderWidth + 1;
    const QRectF inner = c->rect().adjusted(border, border, -border, -border);
    painter->setPen(Qt::black);
    for (int x = (first + step - 1) / step * step; x <= last; x += step) {
        const double centre = origin + x * slot;
        if (centre < plot.left() - 0.5 || centre > plot.right() + 0.5)
            continue;
        // A label cut by the chart's edge is left out: shifted inwards it would run into its neighbour.
        if (centre - m_labelWidth / 2 < inner.left() || centre + m_labelWidth / 2 > inner.right())
            continue;
        painter->drawText(QRectF(centre - width / 2, plot.bottom() + kLabelGap, width, plot.height()),
                          Qt::AlignHCenter | Qt::AlignTop, m_categoryTexts[x]);
    }
}

void BarChart::paintFront(QPainter* painter) {
    QChart* c = chart();
    const QRectF bounds = c->rect();
    const QRectF plot = c->plotArea();
    const QFontMetricsF metrics(font());
    painter->setFont(font());
    painter->setRenderHint(QPainter::Antialiasing, true);

    // Value marks: transparent, each on an arrow above its bar's top face.
    if (plot.isValid()) {
        const double d = depth();
        painter->setClipRect(bounds.adjusted(kBorderWidth, kBorderWidth, -kBorderWidth, -kBorderWidth));
        for (const Bar& bar : visibleBars()) {
            const QPointF frontTop(bar.front.center().x(), bar.front.top());
            if (!bar.showTop || frontTop.x() < plot.left() || frontTop.x() > plot.right())
                continue;
            const QPointF anchor = (frontTop + backPoint(frontTop, plot, d)) / 2;
            const QPointF tip = anchor - QPointF(0, bar.arrowLength);
            if (bar.arrowLength > 0) {
                painter->setPen(QPen(Qt::darkGray, 1));
                painter->drawLine(anchor, tip);
            }
            const QString text = valueText(bar.value);
            const double w = metrics.horizontalAdvance(text);
            painter->setPen(Qt::black);
            painter->drawText(QRectF(tip.x() - w / 2 - 2, tip.y() - metrics.height(), w + 4, metrics.height()),
                              Qt::AlignCenter, text);
        }
        paintCategoryLabels(painter, plot);
        painter->setClipping(false);
    }

    // Legend.
    const std::vector<LegendEntry> entries = legendEntries();
    const LegendLayout legend = legendLayout(entries, bounds.width());
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

void BarChart::resizeEvent(QResizeEvent* event) {
    QChartView::resizeEvent(event);
    m_depthLayer->geometryFollows();
    m_frontLayer->geometryFollows();
    updateMargins();
}

void BarChart::mousePressEvent(QMouseEvent* event) {
    // A right click resets the zoom on release; Qt's own handling would zoom out past the data.
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    QChartView::mousePressEvent(event);
}

void BarChart::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        event->accept();
        resetZoom();
        return;
    }
    if (event->button() != Qt::LeftButton || !anySeries()) {
        QChartView::mouseReleaseEvent(event);
        return;
    }
    const QRectF before = currentRange();
    const bool wasZoomed = m_zoomed;
    m_zoomed = true;
    QChartView::mouseReleaseEvent(event);
    const QRectF after = currentRange();
    if (after == before) {
        m_zoomed = wasZoomed;
        return;
    }
    if (animationsWanted()) {
        showRange(before);
        zoomTo(after, true, false);
    }
    refreshLayers();
}

void BarChart::wheelEvent(QWheelEvent* event) {
    QAbstractSeries* series = anySeries();
    const int delta = event->angleDelta().y();
    if (!series || delta == 0) {
        QChartView::wheelEvent(event);
        return;
    }
    event->accept();
    m_zoomAnimation->stop();
    const QRectF plot = chart()->plotArea();
    QPointF at = chart()->mapFromScene(mapToScene(event->position().toPoint()));
    if (!plot.contains(at))
        at = plot.center();
    const QPointF pivot = chart()->mapToValue(at, series);
    const double factor = std::pow(1.2, delta / 120.0);
    const QRectF current = currentRange();
    const QRectF full = fullRange();
    QRectF next(
        QPointF(pivot.x() + (current.left() - pivot.x()) / factor, pivot.y() + (current.top() - pivot.y()) / factor),
        QPointF(pivot.x() + (current.right() - pivot.x()) / factor,
                pivot.y() + (current.bottom() - pivot.y()) / factor));
    // Zooming out stops at the whole chart; a range wider than the data only ever shows empty space.
    if (next.width() >= full.width() && next.height() >= full.height()) {
        chart()->zoomReset();
        applyFullRange();
        m_zoomed = false;
        refreshLayers();
        return;
    }
    next.setWidth(std::min(next.width(), full.width()));
    next.setHeight(std::min(next.height(), full.height()));
    next.moveLeft(std::clamp(next.left(), full.left(), full.right() - next.width()));
    next.moveTop(std::clamp(next.top(), full.top(), full.bottom() - next.height()));
    m_zoomed = true;
    showRange(next);
}
