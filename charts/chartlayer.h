#pragma once

// One drawing layer over the chart: the depth below the bars, or the marks, legend and border above them. Kept as a
// picture between its changes: the view repaints the whole chart whenever any part of it changes (a display repaints
// it once for the window and once for the chart's own items), and the faces and marks of a month of eight inputs
// take milliseconds to draw. The chart draws the picture ahead, in an event loop turn of its own, so a fill does not
// draw the layers and paint the chart in one go.

#include <QGraphicsObject>
#include <QImage>

class BarChart;

class ChartLayer : public QGraphicsObject {
public:
    enum Kind { Depth, Front };

    ChartLayer(BarChart* owner, Kind kind, QGraphicsItem* parent);

    QRectF boundingRect() const override;
    void paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) override;

    // Draws the picture now unless it is up to date; false when there is nothing to draw it on.
    bool render(qreal ratio);
    bool isCurrent(qreal ratio) const;
    void invalidate();
    int renders() const { return m_renders; }
    // The chart's size changed: the layer takes the new bounds and draws its picture again.
    void geometryFollows();

private:
    void draw(QPainter* painter);

    BarChart* m_owner;
    Kind m_kind;
    QImage m_image;
    bool m_valid = false;
    int m_renders = 0;
};
