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

TEST(RowBands, CeilingBandsHaveCeilingLengthAndAShortOrEmptyTail) {
    for (int32_t rows = 1; rows <= 40; ++rows)
        for (int32_t count = 1; count <= 8; ++count) expectCoverage(bands(ceilingBand, rows, count), rows);
    std::vector<RowBand> ten = bands(ceilingBand, 10, 4); // length 3: 3, 3, 3, 1
    EXPECT_EQ(ten[0].end, 3);
    EXPECT_EQ(ten[3].begin, 9);
    EXPECT_EQ(ten[3].end, 10);
    std::vector<RowBand> five = bands(ceilingBand, 5, 4); // length 2: 2, 2, 1, empty
    EXPECT_EQ(five[2].end, 5);
    EXPECT_EQ(five[3].begin, five[3].end);
}

TEST(RowBands, EvenBandsDifferByAtMostOneRowWithTheLongerFirst) {
    for (int32_t rows = 1; rows <= 40; ++rows)
        for (int32_t count = 1; count <= 8; ++count) expectCoverage(bands(evenBand, rows, count), rows);
    std::vector<RowBand> ten = bands(evenBand, 10, 4); // 3, 3, 2, 2
    EXPECT_EQ(ten[1].end, 6);
    EXPECT_EQ(ten[2].end, 8);
}

TEST(RowBands, CeilingBandCountFollowsTheThreadLimit) {
    const int32_t saved = AllowedThreads;
    AllowedThreads = 6;
    EXPECT_EQ(ceilingBandCount(100), 6);
    EXPECT_EQ(ceilingBandCount(3), 3);
    EXPECT_EQ(ceilingBandCount(1), 1);
    AllowedThreads = 1;
    EXPECT_EQ(ceilingBandCount(100), 1);
    AllowedThreads = 0;
    EXPECT_EQ(ceilingBandCount(100), 1);
    AllowedThreads = -3;
    EXPECT_EQ(ceilingBandCount(100), 1);
    AllowedThreads = saved;
}
