#pragma once

#include "charts/chartmath.h"

#include <QBrush>
#include <QChartView>
#include <QColor>
#include <QHash>
#include <QList>
#include <QRectF>
#include <QString>
#include <QStringList>

#include <vector>

class ChartLayer;
class QAbstractSeries;
class QBarCategoryAxis;
class QPainter;
class QValueAxis;
class QVariantAnimation;

// A bar chart with a 3-D look for the statistics window: eight daily series side by side, or one hourly series
// whose points each take their own colour. Points are buffered here and the Qt Charts objects are rebuilt in one go.
// Qt Charts draws the bars of a chart with few positions; with more, only the axes stay in Qt Charts and the chart
// draws its bars itself, cut to the zoomed range, so filling, zooming and painting thousands of points stay cheap.
// The widget (points, rebuild, axes, zoom, events) is in barchart.cpp, its drawing in barchartpaint.cpp, the layers
// that keep that drawing as pictures in chartlayer.h and the arithmetic in chartmath.h.
class BarChart : public QChartView {
    Q_OBJECT
public:
    explicit BarChart(QWidget* parent = nullptr);
    ~BarChart() override;

    // Adds a bar series; returns its index. colorEachPoint: every point takes its own colour from the palette and
    // the legend lists the points ("label  value") instead of the series.
    int addSeries(const QString& title, const QColor& color, int markArrowLength, bool colorEachPoint = false);
    void clearSeries(int series);
    // Appends a point at X = number of points the series held before; value mark above the bar; label on the
    // bottom axis. A value that is not a finite number is drawn as 0.
    void appendPoint(int series, double value, const QString& label);
    // Replaces a series' points with these, at X = 0, 1, 2, ...: a fill prepared elsewhere (on a worker thread, say)
    // is handed over without copying. Labels missing at the end are empty; values not finite are drawn as 0.
    void setPoints(int series, std::vector<double> values, QStringList labels);

    int seriesCount() const;
    int pointCount(int series) const;
    double pointValue(int series, int index) const;
    QString pointLabel(int series, int index) const;

    // Bottom axis text at one X position: the distinct labels the series hold there, one per line.
    QString categoryLabel(int index) const;

    void resetZoom();

    // Appends between these two only touch the buffer; endUpdate rebuilds the chart once. Without them every
    // change schedules one rebuild for the next event loop pass. A chart not shown is rebuilt a turn after it is
    // shown, its paints held until it is drawn.
    void beginUpdate();
    void endUpdate();

    // What the bar under a point of the widget holds, "Bit2, 14.02.2026: 5" or, for a colour-per-point series,
    // "14: 20127"; empty where there is no bar. The bar's tooltip, for bars whose mark is left out.
    QString barText(const QPoint& at) const;

    // Colours given to the points of a colour-per-point series, in turn.
    static const QList<QColor>& pointPalette();

    // Applies a pending rebuild now, shown or not (tests and grabs call it; the event loop and the show event do it
    // otherwise).
    void flush();

    // How often the layers over Qt's items (depth and faces, marks, labels and legend) have been drawn: once per
    // change, however often the chart is repainted.
    int layerRenders() const;

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    friend class ChartLayer;

    struct Series {
        QString title;
        QColor color;
        int arrowLength = 0;
        bool colorEachPoint = false;
        std::vector<double> values;
        QStringList labels;
    };
    // One drawn bar: its front face in chart coordinates, cut to the plot, and as a whole.
    struct Bar {
        QRectF front;
        QRectF whole;
        QColor color;
        double value = 0;
        int arrowLength = 0;
        int series = 0;
        int index = 0;
        bool colorEachPoint = false;
        bool showTop = true;
        bool showSide = true;
    };
    // Where the bars in view go: category 0 at value 0, the step of one category and one value, and the
    // categories the zoomed range shows.
    struct BarGeometry {
        QRectF plot;
        QPointF origin;
        QPointF unit;
        int first = 0;
        int last = -1;
        std::vector<int> sideBySide;
        double share = 0;
        double barWidth() const;
    };
    struct LegendEntry {
        QBrush brush;
        QString text;
        QString value;
    };
    struct LegendLayout {
        int boxWidth = 0;
        int entryWidth = 0;
        int rowHeight = 0;
        int perRow = 1;
        int rows = 0;
        int textWidth = 0;
    };

    int labelLines(int index) const;
    double labelWidth(int index);
    void scheduleRebuild();
    void rebuildIfShown();
    void buildWhenShown();
    void measureValueLabels();
    void rebuild();
    void addQtSeries();
    QAbstractSeries* anySeries() const;

    QRectF fullRange() const;
    QRectF currentRange() const;
    void showRange(const QRectF& range);
    void zoomTo(const QRectF& range, bool animate, bool resetAfter);
    void finishZoom();
    void applyFullRange();
    void setValueRange(double min, double max);
    void widenTicksFor(double span);
    void resetQtZoom();
    void updateTicks();
    void updateMargins();
    void refreshLayers();
    void scheduleLayerRender();
    void renderLayersAhead();
    void holdPaints();
    void releasePaints();

    BarGeometry barGeometry() const;
    bool placeBar(const BarGeometry& g, double x0, double x1, double value, Bar& bar) const;
    std::vector<Bar> visibleBars(const BarGeometry& g, double minWidth) const;
    double depth() const;
    static QPointF depthShift(double depth);
    QRectF barOutline(const Bar& bar, const QRectF& plot, double depth) const;
    QPointF backPoint(const QPointF& front, const QRectF& plot, double depth) const;
    std::vector<LegendEntry> legendEntries() const;
    LegendLayout legendLayout(const std::vector<LegendEntry>& entries, double width) const;
    void paintDepth(QPainter* painter);
    void paintOutlines(QPainter* painter, const BarGeometry& g);
    void paintBars(QPainter* painter, const BarGeometry& g);
    void paintDenseBars(QPainter* painter, const BarGeometry& g);
    std::vector<chartmath::DenseCell> denseCells(const BarGeometry& g, int left, int columns) const;
    void paintFront(QPainter* painter);
    void paintCategoryLabels(QPainter* painter, const QRectF& plot);
    void paintSlotTicks(QPainter* painter, const BarGeometry& g);

    std::vector<Series> m_series;
    std::vector<LegendEntry> m_legendEntries;
    LegendLayout m_legendLayout;
    QBarCategoryAxis* m_axisX = nullptr;
    // Bottom axis while the bars are drawn here: Qt lays out every category of a category axis, even unlabelled,
    // at each zoom step, so plain positions stand in for them.
    QValueAxis* m_positionAxis = nullptr;
    QValueAxis* m_axisY = nullptr;
    ChartLayer* m_depthLayer = nullptr;
    ChartLayer* m_frontLayer = nullptr;
    QVariantAnimation* m_zoomAnimation = nullptr;
    int m_categoryCount = 0;
    double m_maxValue = 0;
    bool m_integral = true;
    // Widths of the bottom axis labels measured so far, by position, and the widest of them.
    QHash<int, double> m_labelWidths;
    double m_labelWidth = 0;
    int m_labelLines = 1;
    bool m_zoomed = false;
    bool m_resetAfterZoom = false;
    // Set while the full range is being applied: the range change lays the chart out again, which reports a new
    // plot area, which must not apply the range once more from inside.
    bool m_applyingRange = false;
    // Many positions: Qt Charts only keeps the axes and an empty series for coordinates and zoom.
    bool m_drawsBars = false;
    int m_updateDepth = 0;
    bool m_dirty = false;
    bool m_rebuildQueued = false;
    bool m_shownBuildQueued = false;
    // Shown with a build still to come, which measures the value labels again once it has laid the chart out.
    bool m_measureLabelsAfterBuild = false;
    bool m_renderQueued = false;
    bool m_holdingPaints = false;
};
