#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>

// Ordinals are fixed: stored layouts and the decoder use them as numbers.
enum TLEDColor { lcYellow = 0, lcRed = 1, lcGreen = 2, lcBlue = 3 };
enum TLEDState { lsON = 0, lsOFF = 1 };
enum TLEDSize { lzSmall = 0, lzNormal = 1, lzBig = 2 };

// One round LED shown from one of 24 bitmaps in the program's resources (":/leds/<name>.bmp").
// The widget draws nothing of its own: every property write picks a bitmap and shows it. A new LED is red,
// dark and of normal size ("ROFF", 23 x 23).
class LedIndicator : public QWidget {
    Q_OBJECT

public:
    explicit LedIndicator(QWidget* parent = nullptr);

    TLEDSize size() const { return m_size; }
    TLEDState state() const { return m_state; }
    TLEDColor color() const { return m_color; }
    QString about() const { return m_about; }

    // Every write reloads the bitmap and repaints, also when the value does not change.
    void setSize(TLEDSize size);
    void setState(TLEDState state);
    void setColor(TLEDColor color);
    // The information text is fixed at construction; the value is ignored.
    void setAbout(const QString& about);

    // Auto-size (on by default) makes the widget as large as its bitmap.
    bool autoSize() const { return m_autoSize; }
    void setAutoSize(bool on);
    // Transparent (on by default) leaves out the colour of the bitmap's bottom-left pixel.
    bool transparent() const { return m_transparent; }
    void setTransparent(bool on);

    // Bitmap name for a combination, e.g. "RON", "YOFFB", "BONS".
    static QString resourceNameFor(TLEDSize size, TLEDColor color, TLEDState state);
    static QString resourcePathFor(const QString& name) { return QStringLiteral(":/leds/%1.bmp").arg(name); }

    // The bitmap shown now and how many times one has been loaded since construction.
    QString resourceName() const { return m_resourceName; }
    int reloadCount() const { return m_reloadCount; }
    QPixmap pixmap() const { return m_pixmap; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void reloadBitmap();

    TLEDSize m_size;
    TLEDState m_state;
    TLEDColor m_color;
    QString m_about;
    bool m_autoSize = true;
    bool m_transparent = true;
    QString m_resourceName;
    QPixmap m_pixmap;
    int m_reloadCount = 0;
};
