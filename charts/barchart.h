#pragma once

#include <QBrush>
#include <QChartView>
#include <QColor>
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
// whose points each take their own colour. Points are buffered here and the Qt Charts objects are rebuilt in one go,
// so filling thousands of points stays linear.
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

    int seriesCount() const;
    int pointCount(int series) const;
    double pointValue(int series, int index) const;
    QString pointLabel(int series, int index) const;

    // Bottom axis text at one X position: the distinct labels the series hold there, one per line.
    QString categoryLabel(int index) const;

    void resetZoom();

    // Appends between these two only touch the buffer; endUpdate rebuilds the chart once. Without them every
    // change schedules one rebuild for the next event loop pass.
    void beginUpdate();
    void endUpdate();

    // Colours given to the points of a colour-per-point series, in turn.
    static const QList<QColor>& pointPalette();

    // Applies a pending rebuild now (tests and grabs call it; the event loop does it otherwise).
    void flush();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

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
    // One drawn bar: its front face in chart coordinates.
    struct Bar {
        QRectF front;
        QColor color;
        double value = 0;
        int arrowLength = 0;
        bool showTop = true;
        bool showSide = true;
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

    void scheduleRebuild();
    void rebuild();
    QAbstractSeries* anySeries() const;

    QRectF fullRange() const;
    QRectF currentRange() const;
    void showRange(const QRectF& range);
    void zoomTo(const QRectF& range, bool animate, bool resetAfter);
    void finishZoom();
    void applyFullRange();
    void updateTicks();
    void updateMargins();
    void refreshLayers();

    std::vector<Bar> visibleBars() const;
    double depth() const;
    static QPointF depthShift(double depth);
    QPointF backPoint(const QPointF& front, const QRectF& plot, double depth) const;
    std::vector<LegendEntry> legendEntries() const;
    LegendLayout legendLayout(const std::vector<LegendEntry>& entries, double width) const;
    void paintDepth(QPainter* painter);
    void paintFront(QPainter* painter);
    void paintCategoryLabels(QPainter* painter, const QRectF& plot);

    std::vector<Series> m_series;
    QBarCategoryAxis* m_axisX = nullptr;
    QValueAxis* m_axisY = nullptr;
    ChartLayer* m_depthLayer = nullptr;
    ChartLayer* m_frontLayer = nullptr;
    QVariantAnimation* m_zoomAnimation = nullptr;
    int m_categoryCount = 0;
    double m_maxValue = 0;
    bool m_integral = true;
    QStringList m_categoryTexts;
    double m_labelWidth = 0;
    int m_labelLines = 1;
    bool m_zoomed = false;
    bool m_resetAfterZoom = false;
    int m_updateDepth = 0;
    bool m_dirty = false;
    bool m_rebuildQueued = false;
};
