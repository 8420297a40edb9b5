// The outline builder, quadratic flattening and the supersampled rasteriser
// shared by every font format.
#include "ttf.h"

#include <algorithm>
#include <cmath>

namespace bv::fonts {

namespace {

// A glyph larger than this on either side renders empty rather than taking
// memory and time out of proportion to any text a game draws.
constexpr double maxGlyphSide = 2048;
// Bound on segment crossings examined per glyph, for the same reason.
constexpr double maxCrossingWork = double(1 << 24);

constexpr int samplesPerPixel = 4; // per axis
constexpr double sampleStep = 0.25;
constexpr double firstSampleOffset = 0.125;

struct Edge {
    double x0, y0, x1, y1;
    double lower, upper; // y range, lower inclusive
    int direction;       // +1 going up, -1 going down
    int firstRow, lastRow;
};

struct Crossing {
    double x;
    int direction;
};

// Working memory of the rasteriser, kept between glyphs.
struct RasterScratch {
    std::vector<Edge> edges;
    std::vector<size_t> active;
    std::vector<Crossing> crossings;
    std::vector<int> rowCounts;
};

thread_local RasterScratch scratch;

// The first sample index whose x is at or right of `x`: samples from there on
// no longer see the crossing at `x` on their right.
int firstSampleNotLeftOf(double x, double base, int sampleCount) {
    double estimate = std::ceil((x - base) * samplesPerPixel);
    int t = int(std::clamp(estimate, 0.0, double(sampleCount)));
    while (t > 0 && base + sampleStep * (t - 1) >= x) --t;
    while (t < sampleCount && base + sampleStep * t < x) ++t;
    return t;
}

// Adds the samples [from, to) of one sub-row to the per-pixel counts.
void addSampleSpan(std::vector<int>& counts, int from, int to) {
    if (from >= to) return;
    int firstPixel = from / samplesPerPixel;
    int lastPixel = (to - 1) / samplesPerPixel;
    if (firstPixel == lastPixel) {
        counts[firstPixel] += to - from;
        return;
    }
    counts[firstPixel] += samplesPerPixel - from % samplesPerPixel;
    for (int p = firstPixel + 1; p < lastPixel; ++p) counts[p] += samplesPerPixel;
    counts[lastPixel] += (to - 1) % samplesPerPixel + 1;
}

// Builds the edge list; false when the crossings to examine exceed the budget.
bool prepareEdges(const std::vector<LineSegment>& segments, double top, int subRows) {
    scratch.edges.clear();
    double work = 0;
    double rowBase = top - firstSampleOffset;
    for (const LineSegment& s : segments) {
        if (s.y0 == s.y1) continue;
        Edge e{s.x0, s.y0, s.x1, s.y1, std::min(s.y0, s.y1), std::max(s.y0, s.y1), s.y1 > s.y0 ? 1 : -1,
               0,    0};
        // Sub-row s samples y = rowBase - s / 4; one row of slack on each side,
        // the exact test happens per row.
        double first = std::floor((rowBase - e.upper) / sampleStep);
        double last = std::ceil((rowBase - e.lower) / sampleStep);
        e.firstRow = int(std::clamp(first, 0.0, double(subRows)));
        e.lastRow = int(std::clamp(last, -1.0, double(subRows - 1)));
        if (e.firstRow > e.lastRow) continue;
        work += e.lastRow - e.firstRow + 1;
        scratch.edges.push_back(e);
    }
    std::sort(scratch.edges.begin(), scratch.edges.end(),
              [](const Edge& a, const Edge& b) { return a.firstRow < b.firstRow; });
    return work <= maxCrossingWork;
}

// The crossings of the horizontal line at y, sorted by x.
void collectCrossings(double y) {
    scratch.crossings.clear();
    for (size_t index : scratch.active) {
        const Edge& e = scratch.edges[index];
        if (y < e.lower || y >= e.upper) continue;
        double x = e.x0 + (y - e.y0) * (e.x1 - e.x0) / (e.y1 - e.y0);
        scratch.crossings.push_back({x, e.direction});
    }
    // Rows of real glyphs have a handful of crossings, where insertion sort is
    // fastest; a hostile outline may have thousands.
    auto& crossings = scratch.crossings;
    auto byX = [](const Crossing& a, const Crossing& b) { return a.x < b.x; };
    if (crossings.size() > 32) {
        std::sort(crossings.begin(), crossings.end(), byX);
        return;
    }
    for (size_t i = 1; i < crossings.size(); ++i) {
        Crossing c = crossings[i];
        size_t j = i;
        for (; j > 0 && byX(c, crossings[j - 1]); --j) crossings[j] = crossings[j - 1];
        crossings[j] = c;
    }
}

// Counts the inside samples of one sub-row: a sample is inside when the
// crossings to its right sum to non-zero.
void countSubRow(double left, int sampleCount) {
    int winding = 0;
    for (const Crossing& c : scratch.crossings) winding += c.direction;
    double base = left + firstSampleOffset;
    int spanStart = 0;
    for (const Crossing& c : scratch.crossings) {
        int spanEnd = firstSampleNotLeftOf(c.x, base, sampleCount);
        if (winding != 0) addSampleSpan(scratch.rowCounts, spanStart, spanEnd);
        spanStart = std::max(spanStart, spanEnd);
        winding -= c.direction;
    }
    if (winding != 0) addSampleSpan(scratch.rowCounts, spanStart, sampleCount);
}

void updateActiveEdges(size_t& nextEdge, int subRow) {
    auto& active = scratch.active;
    active.erase(std::remove_if(active.begin(), active.end(),
                                [&](size_t i) { return scratch.edges[i].lastRow < subRow; }),
                 active.end());
    while (nextEdge < scratch.edges.size() && scratch.edges[nextEdge].firstRow <= subRow)
        active.push_back(nextEdge++);
}

} // namespace

AffineTransform AffineTransform::then(const AffineTransform& o) const {
    return {o.xx * xx + o.xy * yx, o.xx * xy + o.xy * yy,        o.yx * xx + o.yy * yx,
            o.yx * xy + o.yy * yy, o.xx * dx + o.xy * dy + o.dx, o.yx * dx + o.yy * dy + o.dy};
}

void OutlineBuilder::move_to(Point p) {
    close_contour();
    start_ = current_ = p;
    open_ = true;
}

void OutlineBuilder::line_to(Point p) {
    addSegment(current_, p);
    current_ = p;
}

void OutlineBuilder::quadratic_to(Point control, Point end) {
    flatten_quadratic_recursive(*this, current_, control, end, 0);
}

void OutlineBuilder::close_contour() {
    if (!open_) return;
    if (current_.x != start_.x || current_.y != start_.y) addSegment(current_, start_);
    current_ = start_;
    open_ = false;
}

void OutlineBuilder::addSegment(Point from, Point to) {
    if (segments_.size() >= maxSegments) {
        overflowed_ = true;
        return;
    }
    segments_.push_back({from.x, from.y, to.x, to.y});
    widen(from);
    widen(to);
}

void OutlineBuilder::widen(Point p) {
    if (!hasBounds_) {
        minX_ = maxX_ = p.x;
        minY_ = maxY_ = p.y;
        hasBounds_ = true;
        return;
    }
    minX_ = std::min(minX_, p.x);
    maxX_ = std::max(maxX_, p.x);
    minY_ = std::min(minY_, p.y);
    maxY_ = std::max(maxY_, p.y);
}

void flatten_quadratic_recursive(OutlineBuilder& builder, Point p0, Point p1, Point p2, int depth) {
    double mx = (p0.x + p2.x) / 2 - p1.x;
    double my = (p0.y + p2.y) / 2 - p1.y;
    if (depth > 9 || mx * mx + my * my <= 0.1225) {
        builder.line_to(p2);
        return;
    }
    Point a{(p0.x + p1.x) / 2, (p0.y + p1.y) / 2};
    Point b{(p1.x + p2.x) / 2, (p1.y + p2.y) / 2};
    Point middle{(a.x + b.x) / 2, (a.y + b.y) / 2};
    flatten_quadratic_recursive(builder, p0, a, middle, depth + 1);
    flatten_quadratic_recursive(builder, middle, b, p2, depth + 1);
}

GlyphBitmap rasterize_glyph(const OutlineBuilder& builder, double advance, double emPixels) {
    constexpr double emsAllowed = 8;
    double reach = emsAllowed * emPixels + 2;
    if (builder.has_bounds() && (builder.min_x() < -reach || builder.max_x() > reach ||
                                 builder.min_y() < -reach || builder.max_y() > reach)) {
        GlyphBitmap empty;
        empty.advance = advance;
        return empty;
    }
    return rasterize_outline(builder, advance);
}

GlyphBitmap rasterize_outline(const OutlineBuilder& builder, double advance) {
    GlyphBitmap glyph;
    glyph.advance = advance;
    if (builder.segments().empty() || !builder.has_bounds() || builder.overflowed()) return glyph;
    double floorX = std::floor(builder.min_x()), ceilX = std::ceil(builder.max_x());
    double floorY = std::floor(builder.min_y()), ceilY = std::ceil(builder.max_y());
    double widthInPixels = ceilX - floorX + 2, heightInPixels = ceilY - floorY + 2;
    if (!std::isfinite(floorX) || !std::isfinite(ceilX) || !std::isfinite(floorY) || !std::isfinite(ceilY) ||
        widthInPixels > maxGlyphSide || heightInPixels > maxGlyphSide)
        return glyph;
    int left = int(floorX) - 1, top = int(ceilY) + 1;
    int width = int(widthInPixels), height = int(heightInPixels);
    int subRows = height * samplesPerPixel, sampleCount = width * samplesPerPixel;
    if (!prepareEdges(builder.segments(), top, subRows)) return glyph;

    glyph.left = left;
    glyph.top = top;
    glyph.width = width;
    glyph.height = height;
    glyph.coverage.assign(size_t(width) * height, 0);
    scratch.active.clear();
    scratch.rowCounts.assign(width, 0);
    size_t nextEdge = 0;
    for (int row = 0; row < height; ++row) {
        std::fill(scratch.rowCounts.begin(), scratch.rowCounts.end(), 0);
        for (int j = 0; j < samplesPerPixel; ++j) {
            int subRow = row * samplesPerPixel + j;
            updateActiveEdges(nextEdge, subRow);
            collectCrossings(top - row - firstSampleOffset - sampleStep * j);
            countSubRow(left, sampleCount);
        }
        uint8_t* out = &glyph.coverage[size_t(row) * width];
        for (int c = 0; c < width; ++c) out[c] = uint8_t(scratch.rowCounts[c] * 255 / 16);
    }
    return glyph;
}

} // namespace bv::fonts
