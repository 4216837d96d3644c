// The chart as a widget: the points of its series, the rebuild of the Qt Charts objects, the axes' ranges and ticks,
// zoom by rubber band and wheel, and the event loop turns over which a fill or a page switch builds and draws it.

#include "charts/barchart.h"

#include "charts/chartlayer.h"
#include "charts/chartlook.h"

#include <QAbstractBarSeries>
#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QFontMetricsF>
#include <QGraphicsLayout>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QLegend>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QScopedValueRollback>
#include <QSet>
#include <QStackedBarSeries>
#include <QTimer>
#include <QToolTip>
#include <QValueAxis>
#include <QVariantAnimation>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

using namespace chartlook;

namespace {

// Up to this many positions (a month of days, a day of hours) Qt Charts draws the bars. Beyond it Qt's category
// axis lays out a label per position, hidden or not, at every range change, and every bar is a graphics item of its
// own: tens of milliseconds per hundred positions. The depth layer draws them instead, in the same look.
constexpr int kQtPositionLimit = 32;

constexpr int kZoomAnimationMs = 250;

// A chart filled while hidden is built this long after it is shown, and each layer is drawn this long after the change
// that called for it. A timer rather than a posted call: posted calls run in the same turn as the work that posted
// them, the repaint of a page switch or the layout of a rebuild.
constexpr int kStepDelayMs = 1;

bool animationsWanted() {
    // Offscreen rendering is for tests and screenshots, which need the final picture at once.
    return QGuiApplication::platformName() != QLatin1String("offscreen");
}

} // namespace

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
    // Hidden, it would still be laid out with a marker per bar set at every layout of the chart.
    c->legend()->detachFromChart();

    m_axisX = new QBarCategoryAxis(this);
    m_positionAxis = new QValueAxis(this);
    m_axisY = new QValueAxis(this);
    for (QAbstractAxis* axis : {static_cast<QAbstractAxis*>(m_axisX), static_cast<QAbstractAxis*>(m_positionAxis),
                                static_cast<QAbstractAxis*>(m_axisY)}) {
        axis->setGridLineVisible(false);
        axis->setLabelsColor(Qt::black);
        axis->setLinePenColor(kWallColor);
    }
    m_axisX->setLabelsVisible(false);
    // Qt lays out a label item per category at every layout, visible or not: for a month of days several
    // milliseconds each time, and a display lays the chart out several times. Hidden, the axis still carries the
    // categories, ranges and zoom; the depth layer draws its line and the ticks between the slots.
    m_axisX->setVisible(false);
    m_positionAxis->setLabelsVisible(false);
    m_positionAxis->setTickType(QValueAxis::TicksFixed);
    m_positionAxis->setTickCount(2);
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

    // The headroom above the highest bar depends on the plot's height, so a new plot area may want another range.
    // Setting it lays the chart out again at once: a range that moves the plot by a pixel can ask for the range
    // before, so the plot area that reports from inside a range change is left alone.
    connect(c, &QChart::plotAreaChanged, this, [this] {
        if (!m_zoomed && !m_applyingRange)
            applyFullRange();
        refreshLayers();
    });
    connect(m_axisY, &QValueAxis::rangeChanged, this, [this] {
        updateTicks();
        refreshLayers();
    });
    connect(m_axisX, &QBarCategoryAxis::rangeChanged, this, &BarChart::refreshLayers);
    connect(m_positionAxis, &QValueAxis::rangeChanged, this, &BarChart::refreshLayers);

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

int BarChart::labelLines(int index) const {
    // Counted without joining the texts: a long period asks this of every position. Series filled from one list of
    // day labels share each day's text, so most comparisons end at the pointer.
    const QString* distinct[16];
    int count = 0;
    int lines = 0;
    for (const Series& s : m_series) {
        if (index >= s.labels.size())
            continue;
        const QString& label = s.labels[index];
        if (label.isEmpty())
            continue;
        bool seen = false;
        for (int k = 0; k < count && !seen; ++k)
            seen = (distinct[k]->constData() == label.constData() && distinct[k]->size() == label.size()) ||
                   *distinct[k] == label;
        if (seen)
            continue;
        if (count < 16)
            distinct[count++] = &label;
        lines += 1 + static_cast<int>(label.count(QLatin1Char('\n')));
    }
    return std::max(lines, 1);
}

void BarChart::setPoints(int series, std::vector<double> values, QStringList labels) {
    if (series < 0 || series >= seriesCount())
        return;
    for (double& v : values) {
        if (!std::isfinite(v))
            v = 0;
    }
    // Resized only when it must be: a list shared with other series would be copied by the resize.
    if (labels.size() != static_cast<qsizetype>(values.size()))
        labels.resize(static_cast<qsizetype>(values.size()));
    m_series[series].values = std::move(values);
    m_series[series].labels = std::move(labels);
    scheduleRebuild();
}

double BarChart::labelWidth(int index) {
    auto it = m_labelWidths.constFind(index);
    if (it != m_labelWidths.constEnd())
        return *it;
    const QFontMetricsF metrics(font());
    double width = 0;
    for (const QString& line : categoryLabel(index).split(QLatin1Char('\n')))
        width = std::max(width, metrics.horizontalAdvance(line));
    m_labelWidths.insert(index, width);
    return width;
}

void BarChart::beginUpdate() {
    ++m_updateDepth;
}

void BarChart::endUpdate() {
    if (m_updateDepth > 0)
        --m_updateDepth;
    if (m_updateDepth == 0)
        rebuildIfShown();
}

void BarChart::rebuildIfShown() {
    // A chart on a page not shown waits for its show event: the statistics window fills both of its charts
    // whichever page is in front.
    if (m_dirty && isVisible())
        rebuild();
}

void BarChart::flush() {
    if (m_dirty)
        rebuild();
    // Whoever asks for the chart now gets all of it at once.
    if (m_holdingPaints) {
        const qreal ratio = viewport()->devicePixelRatioF();
        m_depthLayer->render(ratio);
        m_frontLayer->render(ratio);
        releasePaints();
    }
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
                rebuildIfShown();
        },
        Qt::QueuedConnection);
}

QAbstractSeries* BarChart::anySeries() const {
    const QList<QAbstractSeries*> all = chart()->series();
    return all.isEmpty() ? nullptr : all.first();
}

void BarChart::rebuild() {
    // The chart's items, its layers and its paint each take milliseconds for a month of eight inputs: the paint
    // waits until the layers are drawn, in turns of their own.
    holdPaints();
    m_dirty = false;
    m_zoomAnimation->stop();
    resetQtZoom();
    m_zoomed = false;
    QChart* c = chart();
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

    m_drawsBars = m_categoryCount > kQtPositionLimit;
    QAbstractAxis* bottom = m_drawsBars ? static_cast<QAbstractAxis*>(m_positionAxis) : m_axisX;
    QAbstractAxis* unused = m_drawsBars ? static_cast<QAbstractAxis*>(m_axisX) : m_positionAxis;
    if (c->axes(Qt::Horizontal).contains(unused)) {
        c->removeAxis(unused);
        unused->setParent(this);
    }
    if (!c->axes(Qt::Horizontal).contains(bottom))
        c->addAxis(bottom, Qt::AlignBottom);

    // The front layer draws the labels, thinned out when they do not fit their slots and over as many lines as a
    // position needs; it measures only those it draws, so a long period costs no more than a short one. The category
    // axis keeps one category per position for ranges and zoom, and insists on unique texts: positions with equal or
    // empty labels get their position appended.
    QStringList categories;
    QSet<QString> used;
    m_labelWidths.clear();
    m_labelWidth = 0;
    m_labelLines = 1;
    for (int x = 0; x < m_categoryCount; ++x)
        m_labelLines = std::max(m_labelLines, labelLines(x));
    for (int x = 0; x < m_categoryCount && !m_drawsBars; ++x) {
        const QString label = categoryLabel(x);
        QString key = label;
        for (int n = x; key.isEmpty() || used.contains(key); n += m_categoryCount)
            key = QStringLiteral("%1 #%2").arg(label).arg(n);
        used.insert(key);
        categories.append(key);
    }
    m_axisX->clear();
    m_axisX->append(categories);
    m_axisY->setLabelsFont(font());
    // Series attached to the value axis may stretch it to their data at once.
    widenTicksFor(fullRange().height());

    if (m_drawsBars) {
        // An empty series keeps Qt's domain, which maps values to the plot and carries the zoom.
        auto* anchor = new QBarSeries;
        c->addSeries(anchor);
        anchor->attachAxis(m_positionAxis);
        anchor->attachAxis(m_axisY);
    } else {
        addQtSeries();
    }

    // Value marks are drawn by the front layer with the depth and arrow they need; Qt's own labels sit on the
    // front edge and leave out zero values.
    for (QAbstractSeries* series : c->series())
        static_cast<QAbstractBarSeries*>(series)->setLabelsVisible(false);

    m_legendEntries = legendEntries();
    updateMargins();
    applyFullRange();
    refreshLayers();
    if (m_measureLabelsAfterBuild && isVisible()) {
        m_measureLabelsAfterBuild = false;
        measureValueLabels();
    }
}

void BarChart::addQtSeries() {
    QChart* c = chart();
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
        // One set per point costs points squared bar items, which the position limit keeps small.
        const int n = static_cast<int>(s.values.size());
        auto* stacked = new QStackedBarSeries;
        stacked->setBarWidth(kBarWidth);
        for (int k = 0; k < n; ++k) {
            const QColor color = palette[k % palette.size()];
            QString text = valueText(s.values[k]);
            if (!s.labels[k].isEmpty())
                text = s.labels[k] + QStringLiteral("  ") + text;
            auto* set = new QBarSet(text);
            set->setBrush(pointBrush(color));
            set->setBorderColor(color.darker(170));
            set->setLabelColor(Qt::black);
            QList<qreal> values(k + 1, 0.0);
            values[k] = s.values[k];
            set->append(values);
            stacked->append(set);
        }
        c->addSeries(stacked);
        stacked->attachAxis(m_axisX);
        stacked->attachAxis(m_axisY);
    }
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
    const double step = chartmath::tickStep(top, m_integral, false);
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
    widenTicksFor(range.height());
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
    resetQtZoom();
    applyFullRange();
    refreshLayers();
}

void BarChart::applyFullRange() {
    if (m_applyingRange)
        return;
    const QScopedValueRollback<bool> applying(m_applyingRange, true);
    // Only what differs is set: every range change lays the chart out again.
    const QRectF full = fullRange();
    if (m_drawsBars) {
        if (m_positionAxis->min() != full.left() || m_positionAxis->max() != full.right())
            m_positionAxis->setRange(full.left(), full.right());
    } else if (m_categoryCount > 0) {
        const QStringList categories = m_axisX->categories();
        if (m_axisX->min() != categories.first() || m_axisX->max() != categories.last())
            m_axisX->setRange(categories.first(), categories.last());
    }
    const QRectF values = fullRange();
    setValueRange(values.top(), values.bottom());
}

void BarChart::setValueRange(double min, double max) {
    if (min == m_axisY->min() && max == m_axisY->max()) {
        updateTicks();
        return;
    }
    // The new range's ticks are laid out inside setRange with the step the axis has then; the range changed handler
    // narrows the step afterwards when the range shrank.
    widenTicksFor(max - min);
    m_axisY->setRange(min, max);
}

void BarChart::widenTicksFor(double span) {
    // Qt lays out one tick per step at every range change, before any handler could set a step that suits the new
    // range: a range of 20,000 reached with a step of 1 takes it most of a minute. So before the range grows, the
    // step grows with it; neither the old range nor the new one then has more than its handful of ticks.
    const double step = chartmath::tickStep(span, m_integral, m_zoomed);
    if (step > m_axisY->tickInterval())
        m_axisY->setTickInterval(step);
}

void BarChart::resetQtZoom() {
    // Qt's zoom reset returns to the range of before the first zoom: the full range, at least as wide as any zoom.
    QChart* c = chart();
    if (!c->isZoomed())
        return;
    widenTicksFor(std::max(fullRange().height(), currentRange().height()));
    c->zoomReset();
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
    const double step = chartmath::tickStep(m_axisY->max() - m_axisY->min(), m_integral, m_zoomed);
    const int decimals = std::max(0, -static_cast<int>(std::floor(std::log10(step))));
    if (!qFuzzyCompare(m_axisY->tickInterval(), step))
        m_axisY->setTickInterval(step);
    const QString format = QStringLiteral("%.%1f").arg(decimals);
    if (m_axisY->labelFormat() != format)
        m_axisY->setLabelFormat(format);
}

void BarChart::updateMargins() {
    const QRectF bounds = chart()->rect();
    m_legendLayout = legendLayout(m_legendEntries, bounds.width());
    const double legendTop = kBorderWidth + bounds.height() * kLegendTop / 100;
    const double top = legendTop + m_legendLayout.rows * m_legendLayout.rowHeight + bounds.height() * kMarginTop / 100;
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
    m_depthLayer->invalidate();
    m_frontLayer->invalidate();
    scheduleLayerRender();
}

void BarChart::scheduleLayerRender() {
    if (m_renderQueued)
        return;
    m_renderQueued = true;
    QTimer::singleShot(kStepDelayMs, Qt::PreciseTimer, this, [this] {
        m_renderQueued = false;
        renderLayersAhead();
    });
}

void BarChart::renderLayersAhead() {
    // One layer per event loop turn, each after the change that called for it; a rebuild holds the chart's paints
    // until both are drawn, so the paint that shows them only puts them on the screen. A rebuild still to come draws
    // them again after it: a resize before it must not draw the old points and let the paints through.
    if (m_dirty && isVisible())
        return;
    if (isVisible()) {
        const qreal ratio = viewport()->devicePixelRatioF();
        ChartLayer* stale = !m_depthLayer->isCurrent(ratio)   ? m_depthLayer
                            : !m_frontLayer->isCurrent(ratio) ? m_frontLayer
                                                              : nullptr;
        if (stale) {
            stale->render(ratio);
            if (!m_depthLayer->isCurrent(ratio) || !m_frontLayer->isCurrent(ratio)) {
                scheduleLayerRender();
                return;
            }
        }
    }
    releasePaints();
}

void BarChart::holdPaints() {
    // Released once the layers are drawn: the rebuild that holds them asks for the layers.
    if (m_holdingPaints || !isVisible())
        return;
    m_holdingPaints = true;
    viewport()->setUpdatesEnabled(false);
}

void BarChart::releasePaints() {
    if (!m_holdingPaints)
        return;
    m_holdingPaints = false;
    viewport()->setUpdatesEnabled(true);
}

int BarChart::layerRenders() const {
    return m_depthLayer->renders() + m_frontLayer->renders();
}

bool BarChart::viewportEvent(QEvent* event) {
    if (event->type() != QEvent::ToolTip)
        return QChartView::viewportEvent(event);
    const auto* help = static_cast<QHelpEvent*>(event);
    const QString text = barText(help->pos());
    if (text.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(help->globalPos(), text, viewport());
    return true;
}

void BarChart::showEvent(QShowEvent* event) {
    QChartView::showEvent(event);
    if (m_updateDepth == 0 && m_dirty) {
        // Filled while its page was hidden: the page switch, the chart's items, its layers and its paint each take
        // an event loop turn of their own, as a fill of a shown chart does. The paints wait, so the page never shows
        // the chart half built. Its value labels are measured again after that build, as after any show.
        m_measureLabelsAfterBuild = true;
        holdPaints();
        buildWhenShown();
    } else if (m_updateDepth == 0) {
        flush();
        measureValueLabels();
    }
}

void BarChart::buildWhenShown() {
    if (m_shownBuildQueued)
        return;
    m_shownBuildQueued = true;
    QTimer::singleShot(kStepDelayMs, Qt::PreciseTimer, this, [this] {
        m_shownBuildQueued = false;
        if (m_updateDepth > 0 || !m_dirty || !isVisible())
            return;
        rebuild();
    });
}

void BarChart::measureValueLabels() {
    // Labels measured while the chart had no size of its own keep that width, and wide values come out cut to "…":
    // a change of the label format makes the value axis measure them again.
    const QString format = m_axisY->labelFormat();
    m_axisY->setLabelFormat(format + QLatin1Char(' '));
    m_axisY->setLabelFormat(format);
    chart()->layout()->activate();
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
        resetQtZoom();
        m_zoomed = false;
        applyFullRange();
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
