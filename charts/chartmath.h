#pragma once

// The chart's arithmetic, apart from any drawing so it can be checked as plain functions: the value axis steps, which
// slots a pixel column meets and what it shows of them, how dense columns stack into pixel runs, which bottom axis
// labels and value marks fit, and when a fill needs an outline.

#include <QColor>
#include <QList>
#include <QRectF>

#include <functional>
#include <vector>

namespace chartmath {

// About five steps of 1, 2 or 5 times a power of ten over the span; counts keep whole steps unless a zoom has
// narrowed the span below two.
double tickStep(double span, bool integral, bool zoomed);

// Slots first..last (none when last < first) whose bars a pixel column [left, left + 1) meets. Slot x holds its bars
// in [x - width / 2, x + width / 2] in slot units; pixel = origin + x * unit. A column narrower than the slots
// never falls between the bars of one slot, so no series drops to the floor where its neighbours stand.
struct SlotRange {
    int first = 0;
    int last = -1;
};
SlotRange slotsInColumn(double left, double origin, double unit, double width, int count);

// What one series shows in a pixel column: its highest and lowest value over the slots the column meets (0 when
// none reaches above or below zero) and the slots they come from (-1 for none).
struct ColumnExtent {
    double high = 0;
    double low = 0;
    int highSlot = -1;
    int lowSlot = -1;
};
// One extent per pixel column, the first column's left edge at left.
std::vector<ColumnExtent> columnExtents(const std::vector<double>& values, double left, int columns, double origin,
                                        double unit, double width);

// Dense columns, where several slots share each pixel column. A cell is what one series shows in one column: its
// highest and lowest value there and the colour it shows them in, outlined when that colour is close to the
// background.
struct DenseCell {
    double high = 0;
    double low = 0;
    QRgb color = 0;
    bool outlined = false;
};
// Whole pixel rows [top, bottom) of a column that show one cell's colour.
struct DensePiece {
    int top = 0;
    int bottom = 0;
    const DenseCell* cell = nullptr;
};
// A column's pieces and the rows they fill together, [top, bottom) around the zero row.
struct DenseColumn {
    std::vector<DensePiece> pieces;
    int top = 0;
    int bottom = 0;
};
// Stacks each column's cells (cells[column * series + i] for series i) behind one another by height, above and below
// the zero row: a cell keeps its colour where it reaches beyond the lower ones, so every series shows in a column where
// it stands above the others, and a column costs the same however many slots it holds. row(value) is the pixel row of
// a value; the pieces point into cells.
std::vector<DenseColumn> stackColumns(const std::vector<DenseCell>& cells, int series, int zeroRow,
                                      const std::function<int(double)>& row);
// The rectangles that draw stacked columns, the first at pixel left, grouped by colour in the order the colours first
// occur. Pieces of an outlined cell get a pixel darker by the factor outlineDarker (as QColor::darker()) wherever the
// background meets them: at the top and bottom of their column and beside it, where a neighbour column is lower.
// Pieces level with the one left of them in their colour widen it.
struct ColourRects {
    QRgb color = 0;
    QList<QRectF> rects;
};
std::vector<ColourRects> columnRects(const std::vector<DenseColumn>& columns, int left, int zeroRow, int outlineDarker);

// Which positions first..last the bottom axis labels: every step-th one counted from position 0, with the least step
// that keeps the labels drawn gap pixels apart at slot pixels per position. measure(x) gives the width of position
// x's label; width starts as the widest label known so far and comes back as the widest one drawn.
struct LabelPlan {
    int step = 1;
    double width = 0;
};
LabelPlan labelPlan(int first, int last, double slot, double gap, double width,
                    const std::function<double(int)>& measure);

// Which value marks are drawn: marks[i] is the box of bar i's mark (its text and arrow) and bars[i] the box of bar i
// with its faces, both in the order of drawing. A mark is kept when it meets no mark kept before it and no bar but its
// own; the others are left out, never drawn over each other or over a neighbour's top.
std::vector<bool> keepMarks(const std::vector<QRectF>& marks, const std::vector<QRectF>& bars);

// Straight-line distance in RGB (0 to about 441) of a colour from the nearest colour of a gradient running from one
// colour to another.
double distanceFromGradient(const QColor& colour, const QColor& from, const QColor& to);
// Below this distance a fill is hard to tell from the background behind it and gets a darker outline.
constexpr double kOutlineDistance = 80;
bool needsOutline(const QColor& fill, const QColor& backgroundFrom, const QColor& backgroundTo);

} // namespace chartmath
