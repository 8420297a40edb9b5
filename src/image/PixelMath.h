// The arithmetic rules that several image operations share: rounding and the
// alpha blend. Each is written once here and every path calls it.
#pragma once

#include <cstdint>
#include <cstring>

// Rounds half away from zero, exactly (no float addition of 0.5).
inline int64_t roundHalfAway(double value) {
    int64_t whole = int64_t(value);
    double fraction = value - double(whole);
    if (fraction >= 0.5) return whole + 1;
    if (fraction <= -0.5) return whole - 1;
    return whole;
}

// The blend rule, written over any unsigned integer type or vector of them
// with at least 16 bits per lane, so that the scalar and the vector paths are
// one formula. a is the source alpha.
//   colour: floor((d (255 - a) + s a) / 255)
//   alpha:  d + a - floor(d a / 255)
// At a = 0 this leaves d as it was and at a = 255 it copies s, so the rule
// needs no special cases.
template <class Lanes> Lanes divideBy255(Lanes value) {
    // floor(value / 255) for value in [0, 65025], the largest product of two
    // channels; every step stays within 16 bits there.
    return (value + 1 + (value >> 8)) >> 8;
}
template <class Lanes> Lanes blendColour(Lanes d, Lanes s, Lanes a) {
    return divideBy255(Lanes(d * (255 - a) + s * a));
}
template <class Lanes> Lanes blendAlpha(Lanes d, Lanes a) {
    return Lanes(d + a - divideBy255(Lanes(d * a)));
}

// Source pixel s over destination pixel d (RGBA8).
inline void blendPixel(uint8_t* d, const uint8_t* s) {
    const uint32_t a = s[3];
    for (int i = 0; i < 3; ++i) d[i] = uint8_t(blendColour<uint32_t>(d[i], s[i], a));
    d[3] = uint8_t(blendAlpha<uint32_t>(d[3], a));
}

// A run of source pixels over a run of destination pixels, four at a time in
// 16-bit lanes where the compiler offers vectors.
inline void blendSpan(uint8_t* d, const uint8_t* s, int32_t count) {
    int32_t i = 0;
#if defined(__GNUC__)
    typedef uint8_t Bytes __attribute__((vector_size(16)));
    typedef uint16_t Lanes __attribute__((vector_size(16)));
    const Bytes zero = {};
    const Lanes alphaLanes = {0, 0, 0, 0xFFFF, 0, 0, 0, 0xFFFF};
    auto low = [&](Bytes b) {
        return Lanes(
            __builtin_shufflevector(b, zero, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23));
    };
    auto high = [&](Bytes b) {
        return Lanes(
            __builtin_shufflevector(b, zero, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31));
    };
    auto blendTwo = [&](Lanes dl, Lanes sl) {
        const Lanes a = __builtin_shufflevector(sl, sl, 3, 3, 3, 3, 7, 7, 7, 7);
        return Lanes((blendColour(dl, sl, a) & ~alphaLanes) | (blendAlpha(dl, a) & alphaLanes));
    };
    for (; i + 4 <= count; i += 4) {
        Bytes db, sb;
        std::memcpy(&db, d + i * 4, 16);
        std::memcpy(&sb, s + i * 4, 16);
        const Bytes first = Bytes(blendTwo(low(db), low(sb))), second = Bytes(blendTwo(high(db), high(sb)));
        const Bytes out =
            __builtin_shufflevector(first, second, 0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
        std::memcpy(d + i * 4, &out, 16);
    }
#endif
    for (; i < count; ++i) blendPixel(d + i * 4, s + i * 4);
}
