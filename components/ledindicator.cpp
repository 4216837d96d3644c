#include "components/ledindicator.h"

#include <QImage>
#include <QPainter>
#include <QPixmapCache>
#include <QtDebug>

// The resources live in a static library; nothing else references their object file, so the linker would
// leave it out unless they are registered by name from code that is linked in.
static void registerLedResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(registered);
}

LedIndicator::LedIndicator(QWidget* parent)
    : QWidget(parent), m_size(lzNormal), m_state(lsOFF), m_color(lcRed),
      m_about(QStringLiteral("LedIndicator 1.0: a round LED in four colours and three sizes")) {
    registerLedResources();
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    // Whatever the bitmap leaves out shows the parent through.
    setAttribute(Qt::WA_NoSystemBackground);
    reloadBitmap();
}

void LedIndicator::setSize(TLEDSize size) {
    m_size = size;
    reloadBitmap();
}

void LedIndicator::setState(TLEDState state) {
    m_state = state;
    reloadBitmap();
}

void LedIndicator::setColor(TLEDColor color) {
    m_color = color;
    reloadBitmap();
}

void LedIndicator::setAbout(const QString& about) {
    Q_UNUSED(about);
}

void LedIndicator::setAutoSize(bool on) {
    m_autoSize = on;
    reloadBitmap();
}

void LedIndicator::setTransparent(bool on) {
    m_transparent = on;
    reloadBitmap();
}

QString LedIndicator::resourceNameFor(TLEDSize size, TLEDColor color, TLEDState state) {
    static const char* const letters[] = {"Y", "R", "G", "B"};
    static const char* const suffixes[] = {"S", "", "B"};
    const int c = (color >= lcYellow && color <= lcBlue) ? int(color) : int(lcRed);
    const int s = (size >= lzSmall && size <= lzBig) ? int(size) : int(lzNormal);
    return QLatin1String(letters[c]) + (state == lsON ? QLatin1String("ON") : QLatin1String("OFF")) +
           QLatin1String(suffixes[s]);
}

QSize LedIndicator::sizeHint() const {
    return m_pixmap.isNull() ? QSize(0, 0) : m_pixmap.deviceIndependentSize().toSize();
}

void LedIndicator::paintEvent(QPaintEvent* event) {
    Q_UNUSED(event);
    if (m_pixmap.isNull())
        return;
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_pixmap);
}

// The decoder writes State on all eight LEDs for every report, so a decoded bitmap is kept in the pixmap cache
// and a reload is a look-up, a hand-over and a repaint.
void LedIndicator::reloadBitmap() {
    m_resourceName = resourceNameFor(m_size, m_color, m_state);
    const QString key = QStringLiteral("ledindicator:%1:%2").arg(m_resourceName).arg(m_transparent ? 't' : 'o');
    QPixmap pixmap;
    if (!QPixmapCache::find(key, &pixmap)) {
        QImage image(resourcePathFor(m_resourceName));
        if (image.isNull()) {
            qWarning("LedIndicator: bitmap %s is missing from the resources", qPrintable(m_resourceName));
        } else {
            if (m_transparent) {
                // As with any image control: the bottom-left pixel's colour is the one left out.
                image = image.convertToFormat(QImage::Format_ARGB32);
                const QRgb clear = image.pixel(0, image.height() - 1);
                for (int y = 0; y < image.height(); ++y) {
                    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
                    for (int x = 0; x < image.width(); ++x)
                        if (line[x] == clear)
                            line[x] = 0;
                }
            }
            pixmap = QPixmap::fromImage(image);
            QPixmapCache::insert(key, pixmap);
        }
    }
    m_pixmap = pixmap;
    ++m_reloadCount;
    if (m_autoSize && !m_pixmap.isNull()) {
        resize(sizeHint());
        updateGeometry();
    }
    update();
}
