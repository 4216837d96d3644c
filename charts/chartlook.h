#pragma once

// The chart's look: its colours, margins, legend, the angle it is seen from and the widths below which bars lose their
// faces and outlines. Shared by the widget, which lays the chart out, and its painting.

#include <QBrush>
#include <QColor>
#include <QLinearGradient>
#include <QString>

namespace chartlook {

// Bars of one slot together take 70 % of it.
inline constexpr double kBarWidth = 0.7;

inline constexpr int kBorderWidth = 4;
inline const QColor kBorderColor(0x80, 0x80, 0x80);
inline const QColor kBackgroundTop(0xFF, 0xFF, 0xFF);
inline const QColor kBackgroundBottom(0xFF, 0xFF, 0x80);
inline const QColor kWallColor(0x80, 0x80, 0x80);
inline const QColor kGridColor(0xB0, 0xB0, 0xB0);

// Margins in per cent of the chart.
inline constexpr double kMarginTop = 5;
inline constexpr double kMarginRight = 5;

// Legend: distance from the top in per cent of the chart, gap around each entry, colour box width.
inline constexpr double kLegendTop = 3;
inline constexpr int kLegendHorizMargin = 7;
inline constexpr int kLegendBoxWidth = 45;
inline constexpr int kLegendMinBoxWidth = 12;
inline constexpr int kLegendMaxRows = 3;

// The view: looked at from 13 degrees above (elevation 347), shifted 4 px sideways, with a slight perspective
// (20) that narrows the depth towards the back, at 99 % zoom.
inline constexpr double kElevation = 347;
inline constexpr double kHorizOffset = 4;
inline constexpr double kPerspective = 20;
inline constexpr double kZoom = 99;

// Below this width a bar gets no faces and no mark: they would only smear. The bars are then drawn as pixel columns,
// each in its series' exact colour.
inline constexpr double kMinFacedBarWidth = 2;
// Below this width an antialiased outline would tint the whole bar: narrower bars are filled only, unless their
// colour is too close to the background to be seen without one.
inline constexpr double kMinOutlinedBarWidth = 4;
// Outlines are darker by this factor (Qt's darker()), as Qt Charts draws its bar borders here.
inline constexpr int kOutlineDarker = 170;
// Slot boundaries closer than this get no ticks on the bottom axis; the length matches Qt's axis ticks.
inline constexpr double kMinTickedSlot = 4;
inline constexpr double kTickLength = 4;

// Space between the bottom axis and its labels, and the least space between two labels.
inline constexpr int kLabelGap = 6;
inline constexpr double kLabelSpacing = 8;

inline QString valueText(double value) {
    return QString::number(value, 'g', 12);
}

// Bars coloured per point are filled with a gradient that lightens towards the top.
inline QBrush pointBrush(const QColor& color) {
    QLinearGradient fill(0, 0, 0, 1);
    fill.setCoordinateMode(QGradient::ObjectBoundingMode);
    fill.setColorAt(0, color.lighter(160));
    fill.setColorAt(1, color);
    return fill;
}

} // namespace chartlook
