// Draws the 24 LED bitmaps and the program icon pixel by pixel in the 16-colour VGA palette and writes them
// as uncompressed 4-bit BMP files, a two-image .ico and PNG copies for the desktop's icon theme. The program
// icon's shapes are defined once, below, and give both its pixels at every size and its SVG form.
// The output depends on nothing but this file, so running it again gives the same bytes.
//
//   ledgen <output folder>           writes <out>/leds/*.bmp, <out>/impulz-16.bmp, <out>/impulz-32.bmp,
//                                    <out>/impulz.ico and <out>/icons/impulz-16.png, <out>/icons/impulz-32.png
//   ledgen --theme <output folder>   writes the desktop's icon theme: <out>/hicolor/<n>x<n>/apps/impulz.png for
//                                    n = 16, 32, 48, 64, 128, 256 and <out>/hicolor/scalable/apps/impulz.svg

#include <QImage>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// The standard 16-colour palette in the order Windows uses for 4-bit bitmaps.
enum Pal : std::uint8_t {
    Black,
    Maroon,
    DarkGreen,
    Olive,
    Navy,
    Purple,
    Teal,
    Silver,
    Grey,
    Red,
    Lime,
    Yellow,
    Blue,
    Fuchsia,
    Aqua,
    White,
};

constexpr std::uint32_t kPalette[16] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

// Palette indices, top row first. `transparent` marks pixels an icon leaves out (ignored for LED bitmaps).
struct Canvas {
    int width;
    int height;
    std::vector<std::uint8_t> pixels;
    std::vector<bool> transparent;

    Canvas(int w, int h, Pal fill)
        : width(w), height(h), pixels(std::size_t(w * h), fill), transparent(std::size_t(w * h), false) {}
    void set(int x, int y, Pal p) {
        if (x >= 0 && y >= 0 && x < width && y < height)
            pixels[std::size_t(y * width + x)] = p;
    }
    std::uint8_t at(int x, int y) const { return pixels[std::size_t(y * width + x)]; }
};

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, std::uint32_t v) {
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
}
void put32(Bytes& b, std::uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

int xorRowBytes(int width) {
    return ((width * 4 + 31) / 32) * 4;
}
int andRowBytes(int width) {
    return ((width + 31) / 32) * 4;
}

// BITMAPINFOHEADER + 16 palette entries. Icons store twice the height (colour rows, then the mask rows).
void putInfoHeaderAndPalette(Bytes& b, const Canvas& c, bool forIcon) {
    const std::uint32_t xorSize = std::uint32_t(xorRowBytes(c.width) * c.height);
    const std::uint32_t andSize = forIcon ? std::uint32_t(andRowBytes(c.width) * c.height) : 0;
    put32(b, 40);
    put32(b, std::uint32_t(c.width));
    put32(b, std::uint32_t(forIcon ? c.height * 2 : c.height));
    put16(b, 1); // planes
    put16(b, 4); // bits per pixel
    put32(b, 0); // BI_RGB: no compression
    put32(b, xorSize + andSize);
    put32(b, forIcon ? 0 : 2835); // 72 dpi
    put32(b, forIcon ? 0 : 2835);
    put32(b, 16); // colours used
    put32(b, 0);  // all important
    for (std::uint32_t rgb : kPalette) {
        b.push_back(std::uint8_t(rgb));       // blue
        b.push_back(std::uint8_t(rgb >> 8));  // green
        b.push_back(std::uint8_t(rgb >> 16)); // red
        b.push_back(0);
    }
}

// Colour rows bottom-up, two pixels a byte (high nibble first), each row padded to four bytes.
void putPixelRows(Bytes& b, const Canvas& c, bool blankTransparent) {
    const int rowBytes = xorRowBytes(c.width);
    for (int y = c.height - 1; y >= 0; --y) {
        Bytes row(std::size_t(rowBytes), 0);
        for (int x = 0; x < c.width; ++x) {
            std::uint8_t idx = c.at(x, y);
            if (blankTransparent && c.transparent[std::size_t(y * c.width + x)])
                idx = Black;
            row[std::size_t(x / 2)] |= (x % 2 == 0) ? std::uint8_t(idx << 4) : idx;
        }
        b.insert(b.end(), row.begin(), row.end());
    }
}

Bytes bmpFile(const Canvas& c) {
    Bytes info;
    putInfoHeaderAndPalette(info, c, false);
    putPixelRows(info, c, false);
    Bytes file;
    file.push_back('B');
    file.push_back('M');
    put32(file, std::uint32_t(14 + info.size()));
    put32(file, 0);
    put32(file, 14 + 40 + 16 * 4);
    file.insert(file.end(), info.begin(), info.end());
    return file;
}

Bytes iconImage(const Canvas& c) {
    Bytes b;
    putInfoHeaderAndPalette(b, c, true);
    putPixelRows(b, c, true);
    const int rowBytes = andRowBytes(c.width);
    for (int y = c.height - 1; y >= 0; --y) {
        Bytes row(std::size_t(rowBytes), 0);
        for (int x = 0; x < c.width; ++x)
            if (c.transparent[std::size_t(y * c.width + x)])
                row[std::size_t(x / 8)] |= std::uint8_t(0x80 >> (x % 8));
        b.insert(b.end(), row.begin(), row.end());
    }
    return b;
}

Bytes icoFile(const std::vector<Canvas>& images) {
    std::vector<Bytes> bodies;
    for (const Canvas& c : images)
        bodies.push_back(iconImage(c));
    Bytes file;
    put16(file, 0);
    put16(file, 1); // icon
    put16(file, std::uint32_t(images.size()));
    std::uint32_t offset = std::uint32_t(6 + 16 * images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        file.push_back(std::uint8_t(images[i].width));
        file.push_back(std::uint8_t(images[i].height));
        file.push_back(16); // colours
        file.push_back(0);
        put16(file, 1); // planes
        put16(file, 4); // bits per pixel
        put32(file, std::uint32_t(bodies[i].size()));
        put32(file, offset);
        offset += std::uint32_t(bodies[i].size());
    }
    for (const Bytes& body : bodies)
        file.insert(file.end(), body.begin(), body.end());
    return file;
}

QImage toImage(const Canvas& c) {
    QImage img(c.width, c.height, QImage::Format_ARGB32);
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) {
            const bool clear = c.transparent[std::size_t(y * c.width + x)];
            img.setPixel(x, y, clear ? 0u : (0xFF000000u | kPalette[c.at(x, y)]));
        }
    return img;
}

// A round LED in a sunken bezel: grey upper-left and white lower-right edge, a black ring, the body and a
// highlight towards the upper left. Silver fills the corners; the widget treats that colour as transparent,
// so silver must not appear inside the LED.
Canvas drawLed(int n, Pal body, bool lit) {
    Canvas c(n, n, Silver);
    const double centre = (n - 1) / 2.0;
    const double outer = n / 2.0 - 0.15;
    const double bezel = n >= 30 ? 2.0 : 1.0;
    const double ring = n >= 30 ? 1.5 : 1.0;
    const double bodyRadius = outer - bezel - ring;
    const double hlCentre = centre - bodyRadius * 0.38;
    const double hlRadius = std::max(0.9, bodyRadius * 0.28);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const double dx = x - centre;
            const double dy = y - centre;
            const double d = std::hypot(dx, dy);
            if (d > outer)
                continue;
            if (d > outer - bezel)
                c.set(x, y, dx + dy < 0 ? Grey : White);
            else if (d > bodyRadius)
                c.set(x, y, Black);
            else if (std::hypot(x - hlCentre, y - hlCentre) <= hlRadius)
                c.set(x, y, lit ? White : Grey);
            else
                c.set(x, y, body);
        }
    return c;
}

// The program icon: a lit green LED above a train of square input pulses, on a dark tile with a grey rim and cut
// corners. Everything is measured on a 16-unit grid; an image of n pixels gives every unit n / 16 pixels.
namespace icon {
constexpr double LedX = 11.5;
constexpr double LedY = 4.5;
constexpr double LedRadius = 3.2;
constexpr double HighlightOffset = 1.0; // up and to the left of the LED's centre
constexpr double HighlightRadius = 0.8;
struct Cell {
    int x;
    int y;
};
// The pulse train runs through these grid cells, one unit wide.
constexpr Cell Trace[] = {{2, 13}, {3, 13}, {3, 9}, {6, 9}, {6, 13}, {8, 13}, {8, 9}, {11, 9}, {11, 13}, {13, 13}};
} // namespace icon

Canvas drawIcon(int n) {
    Canvas c(n, n, Navy);
    const int s = n / 16;
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const int cx = std::min(x, n - 1 - x);
            const int cy = std::min(y, n - 1 - y);
            if (cx + cy < s)
                c.transparent[std::size_t(y * n + x)] = true;
            else if (cx < s || cy < s || cx + cy < 2 * s)
                c.set(x, y, Grey);
        }

    // The LED: a lit disc with a highlight, without the bezel, which would eat a 16-pixel image. Pixel x covers
    // the units from x / s to (x + 1) / s, so its centre sits half a pixel further.
    const double ledCentreX = icon::LedX * s - 0.5;
    const double ledCentreY = icon::LedY * s - 0.5;
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const double d = std::hypot(x - ledCentreX, y - ledCentreY);
            if (d <= icon::LedRadius * s) {
                const double h = std::hypot(x - (ledCentreX - icon::HighlightOffset * s),
                                            y - (ledCentreY - icon::HighlightOffset * s));
                c.set(x, y, h <= icon::HighlightRadius * s ? White : Lime);
            }
        }

    for (std::size_t i = 0; i + 1 < std::size(icon::Trace); ++i) {
        const int x0 = std::min(icon::Trace[i].x, icon::Trace[i + 1].x) * s;
        const int x1 = std::max(icon::Trace[i].x, icon::Trace[i + 1].x) * s + s - 1;
        const int y0 = std::min(icon::Trace[i].y, icon::Trace[i + 1].y) * s;
        const int y1 = std::max(icon::Trace[i].y, icon::Trace[i + 1].y) * s + s - 1;
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                c.set(x, y, Lime);
    }
    return c;
}

std::string colour(Pal p) {
    char text[8];
    std::snprintf(text, sizeof text, "#%06X", unsigned(kPalette[p]));
    return text;
}

// The same icon as shapes, for the theme's scalable size.
std::string iconSvg() {
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" "
                      "viewBox=\"0 0 16 16\">\n";
    svg += "  <path d=\"M1 0H15L16 1V15L15 16H1L0 15V1Z\" fill=\"" + colour(Grey) + "\"/>\n";
    svg += "  <rect x=\"1\" y=\"1\" width=\"14\" height=\"14\" fill=\"" + colour(Navy) + "\"/>\n";
    char shape[160];
    std::snprintf(shape, sizeof shape, "  <circle cx=\"%g\" cy=\"%g\" r=\"%g\" fill=\"%s\"/>\n", icon::LedX, icon::LedY,
                  icon::LedRadius, colour(Lime).c_str());
    svg += shape;
    std::snprintf(shape, sizeof shape, "  <circle cx=\"%g\" cy=\"%g\" r=\"%g\" fill=\"%s\"/>\n",
                  icon::LedX - icon::HighlightOffset, icon::LedY - icon::HighlightOffset, icon::HighlightRadius,
                  colour(White).c_str());
    svg += shape;
    for (std::size_t i = 0; i + 1 < std::size(icon::Trace); ++i) {
        const int x0 = std::min(icon::Trace[i].x, icon::Trace[i + 1].x);
        const int x1 = std::max(icon::Trace[i].x, icon::Trace[i + 1].x) + 1;
        const int y0 = std::min(icon::Trace[i].y, icon::Trace[i + 1].y);
        const int y1 = std::max(icon::Trace[i].y, icon::Trace[i + 1].y) + 1;
        std::snprintf(shape, sizeof shape, "  <rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\"/>\n", x0,
                      y0, x1 - x0, y1 - y0, colour(Lime).c_str());
        svg += shape;
    }
    return svg + "</svg>\n";
}

bool writeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

} // namespace

bool writeTheme(const std::filesystem::path& out) {
    bool ok = true;
    for (int n : {16, 32, 48, 64, 128, 256}) {
        const std::string size = std::to_string(n) + "x" + std::to_string(n);
        const std::filesystem::path dir = out / "hicolor" / size / "apps";
        std::filesystem::create_directories(dir);
        ok &= toImage(drawIcon(n)).save(QString::fromStdString((dir / "impulz.png").string()), "PNG");
    }
    const std::filesystem::path scalable = out / "hicolor" / "scalable" / "apps";
    std::filesystem::create_directories(scalable);
    const std::string svg = iconSvg();
    ok &= writeFile(scalable / "impulz.svg", Bytes(svg.begin(), svg.end()));
    return ok;
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--theme") {
        if (writeTheme(argv[2]))
            return 0;
        std::fprintf(stderr, "ledgen: could not write the icon theme to %s\n", argv[2]);
        return 1;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder> | --theme <output folder>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path out = argv[1];
    std::filesystem::create_directories(out / "leds");
    std::filesystem::create_directories(out / "icons");

    struct Colour {
        char letter;
        Pal lit;
        Pal dark;
    };
    const Colour colours[] = {{'Y', Yellow, Olive}, {'R', Red, Maroon}, {'G', Lime, DarkGreen}, {'B', Aqua, Teal}};
    struct Size {
        const char* suffix;
        int pixels;
    };
    const Size sizes[] = {{"S", 15}, {"", 23}, {"B", 35}};

    bool ok = true;
    for (const Colour& colour : colours)
        for (const Size& size : sizes)
            for (bool lit : {true, false}) {
                const std::string name = std::string(1, colour.letter) + (lit ? "ON" : "OFF") + size.suffix;
                ok &= writeFile(out / "leds" / (name + ".bmp"),
                                bmpFile(drawLed(size.pixels, lit ? colour.lit : colour.dark, lit)));
            }

    const Canvas icon32 = drawIcon(32);
    const Canvas icon16 = drawIcon(16);
    ok &= writeFile(out / "impulz-32.bmp", bmpFile(icon32));
    ok &= writeFile(out / "impulz-16.bmp", bmpFile(icon16));
    ok &= writeFile(out / "impulz.ico", icoFile({icon32, icon16}));
    ok &= toImage(icon32).save(QString::fromStdString((out / "icons" / "impulz-32.png").string()), "PNG");
    ok &= toImage(icon16).save(QString::fromStdString((out / "icons" / "impulz-16.png").string()), "PNG");

    if (!ok) {
        std::fprintf(stderr, "ledgen: could not write all files to %s\n", out.string().c_str());
        return 1;
    }
    return 0;
}
