// The chart's layers: each drawn into a picture of the chart's size once per change and put on the screen as it is by
// every repaint that only moves the view.

#include "charts/chartlayer.h"

#include "charts/barchart.h"

#include <QPaintDevice>
#include <QPainter>
#include <QtMath>

ChartLayer::ChartLayer(BarChart* owner, Kind kind, QGraphicsItem* parent)
    : QGraphicsObject(parent), m_owner(owner), m_kind(kind) {
    setAcceptedMouseButtons(Qt::NoButton);
}

QRectF ChartLayer::boundingRect() const {
    return parentItem() ? parentItem()->boundingRect() : QRectF();
}

void ChartLayer::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) {
    // The picture serves a plain move of the view; anything else is drawn as it is asked for.
    if (painter->worldTransform().type() <= QTransform::TxTranslate && render(painter->device()->devicePixelRatioF())) {
        painter->drawImage(boundingRect().topLeft(), m_image);
        return;
    }
    draw(painter);
}

bool ChartLayer::render(qreal ratio) {
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

bool ChartLayer::isCurrent(qreal ratio) const {
    const QRectF bounds = boundingRect();
    return m_valid && m_image.size() == QSize(qCeil(bounds.width() * ratio), qCeil(bounds.height() * ratio)) &&
           m_image.devicePixelRatio() == ratio;
}

void ChartLayer::invalidate() {
    m_valid = false;
    update();
}

void ChartLayer::geometryFollows() {
    prepareGeometryChange();
    invalidate();
}

void ChartLayer::draw(QPainter* painter) {
    painter->save();
    if (m_kind == Depth)
        m_owner->paintDepth(painter);
    else
        m_owner->paintFront(painter);
    painter->restore();
}
