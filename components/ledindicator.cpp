#include "components/ledindicator.h"

#include <QImage>
#include <QPainter>
#include <QPixmapCache>
#include <QtDebug>

#include <array>

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

namespace {

// The 24 combinations, each with its bitmap's name and its two pixmap cache keys (transparent or opaque), built once:
// the decoder writes State on all eight LEDs for every report, so a write is a look-up, not a string to build.
struct Bitmap {
    QString name;
    QString keys[2];
};

int indexOf(TLEDSize size, TLEDColor color, TLEDState state) {
    const int c = (color >= lcYellow && color <= lcBlue) ? int(color) : int(lcRed);
    const int s = (size >= lzSmall && size <= lzBig) ? int(size) : int(lzNormal);
    return (s * 4 + c) * 2 + (state == lsON ? 0 : 1);
}

const Bitmap& bitmapFor(TLEDSize size, TLEDColor color, TLEDState state) {
    static const std::array<Bitmap, 24> bitmaps = [] {
        static const char* const letters[] = {"Y", "R", "G", "B"};
        static const char* const suffixes[] = {"S", "", "B"};
        std::array<Bitmap, 24> all;
        for (int s = 0; s < 3; ++s)
            for (int c = 0; c < 4; ++c)
                for (int on = 0; on < 2; ++on) {
                    Bitmap& b = all[size_t((s * 4 + c) * 2 + on)];
                    b.name = QLatin1String(letters[c]) + (on == 0 ? QLatin1String("ON") : QLatin1String("OFF")) +
                             QLatin1String(suffixes[s]);
                    b.keys[0] = QStringLiteral("ledindicator:%1:o").arg(b.name);
                    b.keys[1] = QStringLiteral("ledindicator:%1:t").arg(b.name);
                }
        return all;
    }();
    return bitmaps[size_t(indexOf(size, color, state))];
}

} // namespace

QString LedIndicator::resourceNameFor(TLEDSize size, TLEDColor color, TLEDState state) {
    return bitmapFor(size, color, state).name;
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
    const Bitmap& bitmap = bitmapFor(m_size, m_color, m_state);
    m_resourceName = bitmap.name;
    const QString& key = bitmap.keys[m_transparent ? 1 : 0];
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
    const QSize oldHint = sizeHint();
    m_pixmap = pixmap;
    ++m_reloadCount;
    // A bitmap of the same size changes nothing in the layout: the window is not laid out again for every report.
    if (m_autoSize && !m_pixmap.isNull()) {
        if (QWidget::size() != sizeHint())
            resize(sizeHint());
        if (sizeHint() != oldHint)
            updateGeometry();
    }
    update();
}
