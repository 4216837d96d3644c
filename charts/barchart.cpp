#include "charts/barchart.h"

#include <QAbstractBarSeries>

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QFontMetricsF>
#include <QGraphicsLayout>
#include <QGraphicsObject>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QToolTip>
#include <QLegend>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygonF>
#include <QScopedValueRollback>
#include <QSet>
#include <QStackedBarSeries>
#include <QTimer>
#include <QValueAxis>
#include <QVariantAnimation>
#include <QWheelEvent>
#include <QtMath>

#include <algorithm>
#include <cmath>
#include <limits>

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

// Up to this many positions (a month of days, a day of hours) Qt Charts draws the bars. Beyond it Qt's category
// axis lays out a label per position, hidden or not, at every range change, and every bar is a graphics item of its
// own: tens of milliseconds per hundred positions. The depth layer draws them instead, in the same look.
constexpr int kQtPositionLimit = 32;

// Below this width a bar gets no faces and no mark: they would only smear. The bars are then drawn as pixel columns,
// each in its series' exact colour.
constexpr double kMinFacedBarWidth = 2;
// Below this width an antialiased outline would tint the whole bar: narrower bars are filled only, unless their
// colour is too close to the background to be seen without one.
constexpr double kMinOutlinedBarWidth = 4;
// Outlines are darker by this factor (Qt's darker()), as Qt Charts draws its bar borders here.
constexpr int kOutlineDarker = 170;
// Slot boundaries closer than this get no ticks on the bottom axis; the length matches Qt's axis ticks.
constexpr double kMinTickedSlot = 4;
constexpr double kTickLength = 4;

constexpr int kZoomAnimationMs = 250;

// A chart filled while hidden is built this long after it is shown, and each layer is drawn this long after the change
// that called for it. A timer rather than a posted call: posted calls run in the same turn as the work that posted
// them, the repaint of a page switch or the layout of a rebuild.
constexpr int kStepDelayMs = 1;

// Space between the bottom axis and its labels, and the least space between two labels.
constexpr int kLabelGap = 6;
constexpr double kLabelSpacing = 8;

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

// One drawing layer over the chart: the depth below the bars, or the marks, legend and border above them. Kept as a
// picture between its changes: the view repaints the whole chart whenever any part of it changes (a display repaints
// it once for the window and once for the chart's own items), and the faces and marks of a month of eight inputs
// take milliseconds to draw. The chart draws the picture ahead, in an event loop turn of its own, so a fill does not
// draw the layers and paint the chart in one go.
class ChartLayer : public QGraphicsObject {
public:
    enum Kind { Depth, Front };

    ChartLayer(BarChart* owner, Kind kind, QGraphicsItem* parent)
        : QGraphicsObject(parent), m_owner(owner), m_kind(kind) {
        setAcceptedMouseButtons(Qt::NoButton);
    }

    QRectF boundingRect() const override { return parentItem() ? parentItem()->boundingRect() : QRectF(); }

    void paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) override {
        // The picture serves a plain move of the view; anything else is drawn as it is asked for.
        if (painter->worldTransform().type() <= QTransform::TxTranslate &&
            render(painter->device()->devicePixelRatioF())) {
            painter->drawImage(boundingRect().topLeft(), m_image);
            return;
        }
        draw(painter);
    }

    // Draws the picture now unless it is up to date; false when there is nothing to draw it on.
    bool render(qreal ratio) {
        const QRectF bounds = boundingRect();
        const QSize size(qCeil(bounds.width() * ratio), qCeil(bounds.height() * ratio));
        if (size.isEmpty())
            return false;
        if (m_valid && m_image.size() == size && m_image.devicePixelRatio() == ratio)
            return true;
        m_image = QImage(size, QImage::Format_ARGB32_Premultiplied);
        m_image.setDevicePixelRatio(ratio);
        m_image.fill(Qt::transparent);
        QPainter painter(&m_image);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
        painter.translate(-bounds.topLeft());
        draw(&painter);
        m_valid = true;
        ++m_renders;
        return true;
    }

    bool isCurrent(qreal ratio) const {
        const QRectF bounds = boundingRect();
        return m_valid && m_image.size() == QSize(qCeil(bounds.width() * ratio), qCeil(bounds.height() * ratio)) &&
               m_image.devicePixelRatio() == ratio;
    }
    void invalidate() {
        m_valid = false;
        update();
    }
    int renders() const { return m_renders; }

    void geometryFollows() {
        prepareGeometryChange();
        invalidate();
    }

private:
    void draw(QPainter* painter) {
        painter->save();
        if (m_kind == Depth)
            m_owner->paintDepth(painter);
        else
            m_owner->paintFront(painter);
        painter->restore();
    }

    BarChart* m_owner;
    Kind m_kind;
    QImage m_image;
    bool m_valid = false;
    int m_renders = 0;
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
    const double base = std::floor(g.plot.left());
    const int columns = static_cast<int>(std::ceil(g.plot.right()) - base);
    const int n = seriesCount();
    if (columns <= 0 || n == 0 || g.last < g.first)
        return;
    struct Cell {
        double high = 0;
        double low = 0;
        QRgb color = 0;
        bool outlined = false;
    };
    std::vector<Cell> cells(static_cast<size_t>(columns) * n);
    const QList<QColor>& palette = pointPalette();
    for (int i = 0; i < n; ++i) {
        const Series& s = m_series[i];
        if (s.values.empty())
            continue;
        const std::vector<chartmath::ColumnExtent> extents =
            chartmath::columnExtents(s.values, base, columns, g.origin.x(), g.unit.x(), kBarWidth);
        const bool outlined = chartmath::needsOutline(s.color, kBackgroundTop, kBackgroundBottom);
        for (int column = 0; column < columns; ++column) {
            const chartmath::ColumnExtent& e = extents[column];
            Cell& cell = cells[static_cast<size_t>(column) * n + i];
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

    // Pieces on whole pixel rows, so every pixel is exactly one series' colour. Row r covers [r, r + 1).
    const int plotTop = static_cast<int>(std::round(g.plot.top()));
    const int plotBottom = static_cast<int>(std::round(g.plot.bottom()));
    auto row = [&](double value) {
        return std::clamp(static_cast<int>(std::round(g.origin.y() + value * g.unit.y())), plotTop, plotBottom);
    };
    struct Piece {
        int top;
        int bottom;
        const Cell* cell;
    };
    // Per column its pieces and the rows they fill together, [top, bottom) around the zero row.
    std::vector<std::vector<Piece>> pieces(columns);
    const int zero = row(0);
    std::vector<std::pair<int, int>> filled(columns, {zero, zero});
    std::vector<const Cell*> order;
    order.reserve(n);
    for (int column = 0; column < columns; ++column) {
        const Cell* cellsHere = &cells[static_cast<size_t>(column) * n];
        order.clear();
        for (int i = 0; i < n; ++i) {
            if (cellsHere[i].high > 0)
                order.push_back(&cellsHere[i]);
        }
        std::stable_sort(order.begin(), order.end(), [](const Cell* a, const Cell* b) { return a->high < b->high; });
        int below = zero;
        for (const Cell* cell : order) {
            const int top = row(cell->high);
            if (top < below)
                pieces[column].push_back({top, below, cell});
            below = std::min(below, top);
        }
        filled[column].first = below;
        order.clear();
        for (int i = 0; i < n; ++i) {
            if (cellsHere[i].low < 0)
                order.push_back(&cellsHere[i]);
        }
        std::stable_sort(order.begin(), order.end(), [](const Cell* a, const Cell* b) { return a->low > b->low; });
        int above = zero;
        for (const Cell* cell : order) {
            const int bottom = row(cell->low);
            if (bottom > above)
                pieces[column].push_back({above, bottom, cell});
            above = std::max(above, bottom);
        }
        filled[column].second = above;
    }

    // The pieces do not overlap, so they can be drawn a colour at a time.
    std::vector<std::pair<QRgb, QList<QRectF>>> byColour;
    auto add = [&](QRgb color, int left, int top, int bottom) {
        if (bottom <= top)
            return;
        auto it = std::find_if(byColour.begin(), byColour.end(), [color](const auto& p) { return p.first == color; });
        if (it == byColour.end()) {
            byColour.push_back({color, {}});
            it = byColour.end() - 1;
        }
        // Columns go left to right: a piece level with the one before it in its colour widens that one.
        QList<QRectF>& rects = it->second;
        const QRectF rect(left, top, 1, bottom - top);
        if (!rects.isEmpty() && rects.last().right() == rect.left() && rects.last().top() == rect.top() &&
            rects.last().bottom() == rect.bottom())
            rects.last().setRight(rect.right());
        else
            rects.append(rect);
    };
    for (int column = 0; column < columns; ++column) {
        const int left = static_cast<int>(base) + column;
        // Rows where the columns on both sides are filled too (outside the plot none is): the background touches a
        // piece only outside them.
        const std::pair<int, int> none(zero, zero);
        const auto& l = column > 0 ? filled[column - 1] : none;
        const auto& r = column + 1 < columns ? filled[column + 1] : none;
        const int coveredTop = std::max(l.first, r.first);
        const int coveredBottom = std::min(l.second, r.second);
        for (const Piece& p : pieces[column]) {
            if (!p.cell->outlined) {
                add(p.cell->color, left, p.top, p.bottom);
                continue;
            }
            // A fill close to the background gets a darker pixel wherever the background touches it: at the top or
            // bottom of the whole column and beside it, where a neighbour column is lower.
            const QRgb dark = QColor(p.cell->color).darker(kOutlineDarker).rgb();
            int innerTop = std::max(p.top, std::min(coveredTop, p.bottom));
            int innerBottom = std::min(p.bottom, std::max(coveredBottom, innerTop));
            if (p.top == filled[column].first)
                innerTop = std::max(innerTop, p.top + 1);
            if (p.bottom == filled[column].second)
                innerBottom = std::min(innerBottom, p.bottom - 1);
            innerBottom = std::max(innerBottom, innerTop);
            add(dark, left, p.top, std::min(innerTop, p.bottom));
            add(p.cell->color, left, innerTop, innerBottom);
            add(dark, left, std::max(innerBottom, p.top), p.bottom);
        }
    }
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->setPen(Qt::NoPen);
    for (const auto& [color, rects] : byColour) {
        painter->setBrush(QColor(color));
        painter->drawRects(rects);
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

void BarChart::showEvent(QShowEvent* event) {
    QChartView::showEvent(event);
    if (m_updateDepth > 0)
        return;
    if (m_dirty) {
        // Filled while its page was hidden: the page switch, the chart's items, its layers and its paint each take
        // an event loop turn of their own, as a fill of a shown chart does. The paints wait, so the page never shows
        // the chart half built.
        holdPaints();
        buildWhenShown();
        return;
    }
    flush();
    measureValueLabels();
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
        measureValueLabels();
    });
}

void BarChart::measureValueLabels() {
    // Labels measured while the chart had no size of its own keep that width, and wide values come out cut to "…":
    // a change of the label format makes the value axis measure them again.
    const QString format = m_axisY->labelFormat();
    m_axisY->setLabelFormat(format + QLatin1Char(' '));
    m_axisY->setLabelFormat(format);
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
