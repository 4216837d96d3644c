#include "components/ledindicator.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTest>
#include <QtEndian>

namespace {

constexpr QRgb kSilver = 0xFFC0C0C0;

struct BmpHeader {
    QByteArray magic;
    qint32 width = 0;
    qint32 height = 0;
    quint16 bitCount = 0;
    quint32 compression = 0;
};

BmpHeader parseHeader(const QByteArray& bytes) {
    BmpHeader h;
    if (bytes.size() < 54)
        return h;
    const auto* p = reinterpret_cast<const uchar*>(bytes.constData());
    h.magic = bytes.left(2);
    h.width = qFromLittleEndian<qint32>(p + 18);
    h.height = qFromLittleEndian<qint32>(p + 22);
    h.bitCount = qFromLittleEndian<quint16>(p + 28);
    h.compression = qFromLittleEndian<quint32>(p + 30);
    return h;
}

bool imageHolds(const QImage& image, QRgb colour) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) == colour)
                return true;
    return false;
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

class TestLedIndicator : public QObject {
    Q_OBJECT

private slots:
    void bitmaps_data();
    void bitmaps();
    void writesReloadAndRepaintEvenWhenUnchanged();
    void sizeChangeResizesTheControl();
    void aboutIsFixed();
    void silverCornersAreLeftOut();
};

void TestLedIndicator::bitmaps_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("color");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("pixels");
    QTest::addColumn<QRgb>("shown");
    QTest::addColumn<QRgb>("absent");

    struct Colour {
        TLEDColor color;
        char letter;
        QRgb lit;
        QRgb dark;
    };
    const Colour colours[] = {{lcYellow, 'Y', 0xFFFFFF00, 0xFF808000},
                              {lcRed, 'R', 0xFFFF0000, 0xFF800000},
                              {lcGreen, 'G', 0xFF00FF00, 0xFF008000},
                              {lcBlue, 'B', 0xFF00FFFF, 0xFF008080}};
    struct Size {
        TLEDSize size;
        const char* suffix;
        int pixels;
    };
    const Size sizes[] = {{lzSmall, "S", 15}, {lzNormal, "", 23}, {lzBig, "B", 35}};
    for (const Colour& c : colours)
        for (const Size& s : sizes)
            for (TLEDState state : {lsON, lsOFF}) {
                const QByteArray name = QByteArray(1, c.letter) + (state == lsON ? "ON" : "OFF") + QByteArray(s.suffix);
                QTest::newRow(name.constData()) << int(s.size) << int(c.color) << int(state) << s.pixels
                                                << (state == lsON ? c.lit : c.dark) << (state == lsON ? c.dark : c.lit);
            }
}

// Each combination of properties shows its own resource, which is a real uncompressed 4-bit bitmap of the
// right size and colour, with silver in the corner that becomes transparent.
void TestLedIndicator::bitmaps() {
    QFETCH(int, size);
    QFETCH(int, color);
    QFETCH(int, state);
    QFETCH(int, pixels);
    QFETCH(QRgb, shown);
    QFETCH(QRgb, absent);
    const QString name = QString::fromLatin1(QTest::currentDataTag());

    LedIndicator led;
    led.setSize(TLEDSize(size));
    led.setColor(TLEDColor(color));
    led.setState(TLEDState(state));
    QCOMPARE(led.resourceName(), name);
    QCOMPARE(led.geometry().size(), QSize(pixels, pixels));

    QFile file(LedIndicator::resourcePathFor(name));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const QByteArray bytes = file.readAll();
    const BmpHeader header = parseHeader(bytes);
    QCOMPARE(header.magic, QByteArray("BM"));
    QCOMPARE(header.width, pixels);
    QCOMPARE(qAbs(header.height), pixels);
    QCOMPARE(header.bitCount, quint16(4));
    QCOMPARE(header.compression, quint32(0));

    const QImage image = QImage::fromData(bytes, "BMP");
    QCOMPARE(image.size(), QSize(pixels, pixels));
    QCOMPARE(image.pixel(0, pixels - 1), kSilver);
    QVERIFY(imageHolds(image, shown));
    QVERIFY(!imageHolds(image, absent));
    // Silver inside the LED would turn into a hole.
    QVERIFY(image.pixel(pixels / 2, pixels / 2) != kSilver);
}

void TestLedIndicator::writesReloadAndRepaintEvenWhenUnchanged() {
    QWidget parent;
    auto* led = new LedIndicator(&parent);
    QCOMPARE(led->resourceName(), QStringLiteral("ROFF"));
    QCOMPARE(led->geometry().size(), QSize(23, 23));
    QCOMPARE(led->reloadCount(), 1);

    PaintCounter counter;
    led->installEventFilter(&counter);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    QTRY_VERIFY(counter.paints > 0);

    // The decoder writes lsOFF to dark LEDs on every report: each write is a reload and a repaint.
    for (int i = 1; i <= 3; ++i) {
        const int paintsBefore = counter.paints;
        led->setState(lsOFF);
        QCOMPARE(led->reloadCount(), 1 + i);
        QCOMPARE(led->resourceName(), QStringLiteral("ROFF"));
        QTRY_VERIFY(counter.paints > paintsBefore);
    }
    const int reloads = led->reloadCount();
    led->setColor(lcRed);
    led->setSize(lzNormal);
    QCOMPARE(led->reloadCount(), reloads + 2);
}

void TestLedIndicator::sizeChangeResizesTheControl() {
    QWidget parent;
    auto* led = new LedIndicator(&parent);
    led->move(9, 17);
    led->setState(lsON);
    led->setSize(lzBig);
    QCOMPARE(led->resourceName(), QStringLiteral("RONB"));
    QCOMPARE(led->geometry(), QRect(9, 17, 35, 35));
    QCOMPARE(led->pixmap().size(), QSize(35, 35));
    led->setSize(lzNormal);
    QCOMPARE(led->resourceName(), QStringLiteral("RON"));
    QCOMPARE(led->geometry(), QRect(9, 17, 23, 23));
    QCOMPARE(led->sizeHint(), QSize(23, 23));

    // Without auto-size the control keeps its size when the picture changes.
    led->setAutoSize(false);
    led->setSize(lzSmall);
    QCOMPARE(led->resourceName(), QStringLiteral("RONS"));
    QCOMPARE(led->geometry().size(), QSize(23, 23));
}

void TestLedIndicator::aboutIsFixed() {
    LedIndicator led;
    const QString about = led.about();
    QVERIFY(!about.isEmpty());
    led.setAbout(QStringLiteral("something else"));
    led.setAbout(QString());
    QCOMPARE(led.about(), about);
    QCOMPARE(LedIndicator().about(), about);
}

// The parent shows through where the bitmap is silver; the LED's own pixels are drawn.
void TestLedIndicator::silverCornersAreLeftOut() {
    const QColor backdrop(0x12, 0x34, 0x56);
    QWidget parent;
    parent.resize(60, 40);
    parent.setAutoFillBackground(true);
    QPalette palette = parent.palette();
    palette.setColor(QPalette::Window, backdrop);
    parent.setPalette(palette);
    auto* led = new LedIndicator(&parent);
    led->move(5, 5);
    led->setColor(lcGreen);
    led->setState(lsON);

    QImage shot = parent.grab().toImage();
    QCOMPARE(shot.pixelColor(5, 5 + 22), backdrop);
    QCOMPARE(shot.pixelColor(5 + 22, 5), backdrop);
    QCOMPARE(shot.pixelColor(5 + 15, 5 + 15), QColor(0x00, 0xFF, 0x00));

    led->setTransparent(false);
    shot = parent.grab().toImage();
    QCOMPARE(shot.pixelColor(5, 5 + 22), QColor(kSilver));
}

QTEST_MAIN(TestLedIndicator)
#include "tst_ledindicator.moc"
