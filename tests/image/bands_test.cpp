// The two band schemes cover every row once, in order, with the specified sizes.
#include "RowBands.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<RowBand> bands(RowBand (*scheme)(int32_t, int32_t, int32_t), int32_t rows, int32_t count) {
    std::vector<RowBand> all;
    for (int32_t i = 0; i < count; ++i) all.push_back(scheme(rows, count, i));
    return all;
}

void expectCoverage(const std::vector<RowBand>& all, int32_t rows) {
    int32_t next = 0;
    for (const RowBand& band : all) {
        if (band.begin == band.end) continue;
        EXPECT_EQ(band.begin, next);
        EXPECT_LT(band.begin, band.end);
        next = band.end;
    }
    EXPECT_EQ(next, rows);
}

} // namespace

// Ceiling bands have the ceiling length and a short or empty tail; even bands
// differ by at most one row, the longer first.
TEST(RowBands, BothSchemesCoverEveryRowWithTheirLengths) {
    for (auto scheme : {ceilingBand, evenBand})
        for (int32_t rows = 1; rows <= 40; ++rows)
            for (int32_t count = 1; count <= 8; ++count) expectCoverage(bands(scheme, rows, count), rows);
    std::vector<RowBand> ten = bands(ceilingBand, 10, 4); // length 3: 3, 3, 3, 1
    EXPECT_EQ(ten[0].end, 3);
    EXPECT_EQ(ten[3].begin, 9);
    EXPECT_EQ(ten[3].end, 10);
    std::vector<RowBand> five = bands(ceilingBand, 5, 4); // length 2: 2, 2, 1, empty
    EXPECT_EQ(five[2].end, 5);
    EXPECT_EQ(five[3].begin, five[3].end);
    ten = bands(evenBand, 10, 4); // 3, 3, 2, 2
    EXPECT_EQ(ten[1].end, 6);
    EXPECT_EQ(ten[2].end, 8);
}

TEST(RowBands, CeilingBandCountFollowsTheThreadLimit) {
    const int32_t saved = AllowedThreads;
    // Allowed threads, rows, bands.
    const int32_t cases[][3] = {{6, 100, 6}, {6, 3, 3}, {6, 1, 1}, {1, 100, 1}, {0, 100, 1}, {-3, 100, 1}};
    for (const auto& [threads, rows, count] : cases) {
        AllowedThreads = threads;
        EXPECT_EQ(ceilingBandCount(rows), count) << threads << " threads, " << rows << " rows";
    }
    AllowedThreads = saved;
}
