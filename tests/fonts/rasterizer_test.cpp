// The rasteriser on outlines whose coverage can be counted by hand.
#include "ttf.h"

#include <gtest/gtest.h>

#include <initializer_list>

using namespace bv::fonts;

namespace {

void addPolygon(OutlineBuilder& builder, std::initializer_list<Point> points) {
    builder.move_to(*points.begin());
    for (auto p = points.begin() + 1; p != points.end(); ++p) builder.line_to(*p);
    builder.close_contour();
}

int at(const GlyphBitmap& g, int column, int row) {
    return g.coverage[size_t(row) * g.width + column];
}

// Coverage from the 16 sample points of each pixel against `inside`.
template <typename Inside> void expectSampled(const GlyphBitmap& g, Inside inside) {
    for (int r = 0; r < g.height; ++r) {
        for (int c = 0; c < g.width; ++c) {
            int count = 0;
            for (int j = 0; j < 4; ++j)
                for (int i = 0; i < 4; ++i)
                    count += inside(g.left + c + 0.125 + 0.25 * i, g.top - r - 0.125 - 0.25 * j);
            EXPECT_EQ(at(g, c, r), count * 255 / 16) << "column " << c << " row " << r;
        }
    }
}

TEST(Rasterizer, SquaresOnWholeAndHalfPixelEdges) {
    OutlineBuilder b;
    addPolygon(b, {{1, 1}, {3, 1}, {3, 3}, {1, 3}});
    GlyphBitmap g = rasterize_outline(b, 7.5);
    EXPECT_EQ(g.left, 0);
    EXPECT_EQ(g.top, 4);
    EXPECT_EQ(g.width, 4);
    EXPECT_EQ(g.height, 4);
    EXPECT_EQ(g.advance, 7.5);
    // Solid inside a clear border.
    expectSampled(g, [](double x, double y) { return x > 1 && x < 3 && y > 1 && y < 3; });

    OutlineBuilder half;
    addPolygon(half, {{0.5, 0.5}, {2.5, 0.5}, {2.5, 2.5}, {0.5, 2.5}});
    g = rasterize_outline(half, 0);
    ASSERT_EQ(g.width, 5);
    ASSERT_EQ(g.height, 5);
    // Half-covered edge pixels are 127, the corners a quarter: 63.
    expectSampled(g, [](double x, double y) { return x > 0.5 && x < 2.5 && y > 0.5 && y < 2.5; });
}

TEST(Rasterizer, TriangleCoversTheSamplesBelowItsHypotenuse) {
    OutlineBuilder b;
    addPolygon(b, {{0, 0}, {8, 0}, {0, 8}});
    GlyphBitmap g = rasterize_outline(b, 0);
    // Samples on the hypotenuse itself are outside: its crossing is not right of them.
    expectSampled(g, [](double x, double y) { return x > 0 && y > 0 && x + y < 8; });
}

TEST(Rasterizer, NonZeroWindingFillsOverlapsAndLeavesReversedHoles) {
    OutlineBuilder hole;
    addPolygon(hole, {{0, 0}, {8, 0}, {8, 8}, {0, 8}});
    addPolygon(hole, {{2, 2}, {2, 6}, {6, 6}, {6, 2}}); // the other way round
    GlyphBitmap g = rasterize_outline(hole, 0);
    expectSampled(g, [](double x, double y) {
        bool outer = x > 0 && x < 8 && y > 0 && y<8, inner = x> 2 && x < 6 && y > 2 && y < 6;
        return outer && !inner;
    });

    OutlineBuilder overlap;
    addPolygon(overlap, {{0, 0}, {6, 0}, {6, 6}, {0, 6}});
    addPolygon(overlap, {{2, 2}, {8, 2}, {8, 8}, {2, 8}}); // the same way round: winding 2 inside both
    GlyphBitmap u = rasterize_outline(overlap, 0);
    expectSampled(u, [](double x, double y) {
        return (x > 0 && x < 6 && y > 0 && y < 6) || (x > 2 && x < 8 && y > 2 && y < 8);
    });
}

TEST(Rasterizer, NothingToDrawKeepsTheAdvanceAndOutlinesTooLargeRenderEmpty) {
    OutlineBuilder b;
    b.move_to({1, 1});
    GlyphBitmap g = rasterize_outline(b, 3);
    EXPECT_EQ(g.width, 0);
    EXPECT_TRUE(g.coverage.empty());
    EXPECT_EQ(g.advance, 3);
    OutlineBuilder huge;
    addPolygon(huge, {{0, 0}, {1e7, 0}, {1e7, 1e7}});
    EXPECT_EQ(rasterize_outline(huge, 1).width, 0);
}

TEST(Rasterizer, QuadraticCurvesFlattenWithinTheirTolerance) {
    OutlineBuilder b;
    b.move_to({0, 0});
    b.quadratic_to({50, 100}, {100, 0});
    // Every flattened point lies on the curve y = 2x - x^2 / 50.
    for (const LineSegment& s : b.segments()) EXPECT_NEAR(s.y1, 2 * s.x1 - s.x1 * s.x1 / 50, 1e-9);
    EXPECT_GT(b.segments().size(), 8u);
    EXPECT_NEAR(b.max_y(), 50, 0.2); // the apex, within the 0.35 control tolerance
}

} // namespace
