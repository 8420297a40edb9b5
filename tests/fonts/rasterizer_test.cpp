// The rasteriser on outlines whose coverage can be counted by hand.
#include "ttf.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>
#include <vector>

using namespace bv::fonts;

namespace {

void addPolygon(OutlineBuilder& builder, const std::vector<Point>& points) {
    builder.move_to(points[0]);
    for (size_t i = 1; i < points.size(); ++i) builder.line_to(points[i]);
    builder.close_contour();
}

// Coverage from the 16 sample points of each pixel against `inside`.
template <typename Inside> void expectSampled(const GlyphBitmap& g, Inside inside) {
    for (int r = 0; r < g.height; ++r) {
        for (int c = 0; c < g.width; ++c) {
            int count = 0;
            for (int j = 0; j < 4; ++j)
                for (int i = 0; i < 4; ++i)
                    count += inside(g.left + c + 0.125 + 0.25 * i, g.top - r - 0.125 - 0.25 * j);
            EXPECT_EQ(g.coverage[size_t(r) * g.width + c], count * 255 / 16)
                << "column " << c << " row " << r;
        }
    }
}

bool inBox(double x, double y, double low, double high) {
    return x > low && x < high && y > low && y < high;
}

// Squares on whole and half pixel edges (half-covered edge pixels are 127, the
// corners 63), a triangle whose samples on the hypotenuse are outside (its
// crossing is not right of them), a hole drawn the other way round, and an
// overlap drawn the same way round (winding 2 inside both).
TEST(Rasterizer, CoverageCountsTheSamplesInsideByNonZeroWinding) {
    using Contours = std::vector<std::vector<Point>>;
    const std::pair<Contours, std::function<bool(double, double)>> cases[] = {
        {{{{1, 1}, {3, 1}, {3, 3}, {1, 3}}}, [](double x, double y) { return inBox(x, y, 1, 3); }},
        {{{{0.5, 0.5}, {2.5, 0.5}, {2.5, 2.5}, {0.5, 2.5}}},
         [](double x, double y) { return inBox(x, y, 0.5, 2.5); }},
        {{{{0, 0}, {8, 0}, {0, 8}}}, [](double x, double y) { return x > 0 && y > 0 && x + y < 8; }},
        {{{{0, 0}, {8, 0}, {8, 8}, {0, 8}}, {{2, 2}, {2, 6}, {6, 6}, {6, 2}}},
         [](double x, double y) { return inBox(x, y, 0, 8) && !inBox(x, y, 2, 6); }},
        {{{{0, 0}, {6, 0}, {6, 6}, {0, 6}}, {{2, 2}, {8, 2}, {8, 8}, {2, 8}}},
         [](double x, double y) { return inBox(x, y, 0, 6) || inBox(x, y, 2, 8); }},
    };
    std::vector<GlyphBitmap> drawn;
    for (size_t i = 0; i < std::size(cases); ++i) {
        OutlineBuilder b;
        for (const auto& contour : cases[i].first) addPolygon(b, contour);
        drawn.push_back(rasterize_outline(b, i == 0 ? 7.5 : 0));
        SCOPED_TRACE(i);
        expectSampled(drawn.back(), cases[i].second);
    }
    // One pixel of border round the outline, and the advance as given.
    EXPECT_EQ(std::tie(drawn[0].left, drawn[0].top, drawn[0].width, drawn[0].height, drawn[0].advance),
              std::tuple(0, 4, 4, 4, 7.5));
    EXPECT_EQ(std::tie(drawn[1].width, drawn[1].height), std::tuple(5, 5));
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
