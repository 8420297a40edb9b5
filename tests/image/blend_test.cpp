// The blend arithmetic against the rule written out with divisions, over every
// combination of channel values.
#include "PixelMath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

TEST(BlendArithmetic, DivisionBy255IsExactUpToTheLargestChannelProduct) {
    for (uint32_t value = 0; value <= 255 * 255; ++value) {
        ASSERT_EQ(divideBy255<uint32_t>(value), value / 255) << value;
        ASSERT_EQ(divideBy255<uint16_t>(uint16_t(value)), value / 255) << value;
    }
}

// Every (target, source, alpha) combination of a channel, as one long run of
// pixels: the vector path, its scalar tail and the one-pixel rule must all
// give the rule written out with divisions.
TEST(BlendArithmetic, EveryChannelAndAlphaCombinationFollowsTheRule) {
    std::vector<uint8_t> target, source, expected;
    for (uint32_t a = 0; a <= 255; ++a)
        for (uint32_t d = 0; d <= 255; ++d)
            for (uint32_t s = 0; s <= 255; s += (a % 15 == 0 ? 1 : 17)) {
                const uint8_t t[4] = {uint8_t(d), uint8_t(255 - d), uint8_t(d / 2), uint8_t(d)};
                const uint8_t p[4] = {uint8_t(s), uint8_t(s), uint8_t(255 - s), uint8_t(a)};
                target.insert(target.end(), t, t + 4);
                source.insert(source.end(), p, p + 4);
                for (int i = 0; i < 3; ++i)
                    expected.push_back(a == 0     ? t[i]
                                       : a == 255 ? p[i]
                                                  : uint8_t((t[i] * (255 - a) + p[i] * a) / 255));
                expected.push_back(a == 0 ? t[3]
                                          : uint8_t(std::min<uint32_t>(255, t[3] + a - t[3] * a / 255)));
            }
    // An odd count leaves a scalar tail after the vector steps.
    const int32_t count = int32_t(target.size() / 4) - 3;
    std::vector<uint8_t> spanned = target, single = target;
    blendSpan(spanned.data(), source.data(), count);
    for (int32_t i = 0; i < count; ++i) blendPixel(&single[size_t(i) * 4], &source[size_t(i) * 4]);
    for (size_t i = 0; i < size_t(count) * 4; ++i) {
        ASSERT_EQ(spanned[i], expected[i]) << "byte " << i;
        ASSERT_EQ(single[i], expected[i]) << "byte " << i;
    }
    for (size_t i = size_t(count) * 4; i < target.size(); ++i) ASSERT_EQ(spanned[i], target[i]);
}

TEST(Rounding, HalvesGoAwayFromZeroAndNothingElseMoves) {
    const std::pair<double, int> cases[] = {{0.5, 1},       {-0.5, -1},       {1.5, 2},
                                            {2.4999999, 2}, {-2.5000001, -3}, {-0.2, 0}};
    for (const auto& [value, rounded] : cases) EXPECT_EQ(roundHalfAway(value), rounded) << value;
    EXPECT_EQ(roundHalfAway(0.49999997f), 0); // float + 0.5 would give 1
}
