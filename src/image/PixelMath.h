// The arithmetic rules that several image operations share: rounding and the
// alpha blend. Each is written once here and every path calls it.
#pragma once

#include <cstdint>

// Rounds half away from zero, exactly (no float addition of 0.5).
inline int64_t roundHalfAway(double value) {
    int64_t whole = int64_t(value);
    double fraction = value - double(whole);
    if (fraction >= 0.5) return whole + 1;
    if (fraction <= -0.5) return whole - 1;
    return whole;
}

// floor(value / 255) for value in [0, 65535], without a division.
inline uint32_t divideBy255(uint32_t value) {
    return (value + 1 + (value >> 8)) >> 8;
}

// Source pixel s over destination pixel d (RGBA8): colour channels take
// floor((d (255 - a) + s a) / 255) and alpha d.A + a - floor(d.A a / 255),
// a being the source alpha. At a = 0 this leaves d as it was and at a = 255 it
// copies s, so the rule needs no special cases.
inline void blendPixel(uint8_t* d, const uint8_t* s) {
    const uint32_t a = s[3], keep = 255 - a;
    d[0] = uint8_t(divideBy255(d[0] * keep + s[0] * a));
    d[1] = uint8_t(divideBy255(d[1] * keep + s[1] * a));
    d[2] = uint8_t(divideBy255(d[2] * keep + s[2] * a));
    d[3] = uint8_t(d[3] + a - divideBy255(d[3] * a));
}
