// Every banded operation gives the same pixels on one thread as on many.
#include "Compositing.h"
#include "PixelOps.h"
#include "RowBands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <vector>

namespace {

TesselImage* noiseImage(int32_t width, int32_t height, uint32_t seed) {
    TesselImage* image = createLiveImage(width, height);
    std::mt19937 random(seed);
    for (size_t i = 0; i < size_t(width) * height * 4; ++i) image->pixels[i] = uint8_t(random() >> 24);
    return image;
}

std::vector<uint8_t> pixelsOf(const TesselImage* image) {
    const uint8_t* p = image->pixels.get();
    return {p, p + size_t(image->width) * image->height * 4};
}

// Runs `operation` on a fresh noise image with `threads` allowed; the pixels and size.
std::vector<uint8_t> runWith(int32_t threads, const std::function<void(TesselImage*)>& operation) {
    const int32_t saved = AllowedThreads;
    AllowedThreads = threads;
    TesselImage* image = noiseImage(601, 400, 7);
    operation(image);
    std::vector<uint8_t> result = pixelsOf(image);
    result.push_back(uint8_t(image->width));
    result.push_back(uint8_t(image->height));
    destroyLiveImage(image);
    AllowedThreads = saved;
    return result;
}

void expectSameOnAnyThreadCount(const std::function<void(TesselImage*)>& operation) {
    const std::vector<uint8_t> single = runWith(1, operation);
    EXPECT_EQ(single, runWith(6, operation));
    EXPECT_EQ(single, runWith(5, operation));
}

} // namespace

TEST(OneThreadAndMany, PixelOperations) {
    expectSameOnAnyThreadCount([](TesselImage* image) { ditherImage(image, 9, false); });
    expectSameOnAnyThreadCount([](TesselImage* image) { ditherImage(image, 3, true); });
    for (int32_t processor = 1; processor <= 8; ++processor)
        expectSameOnAnyThreadCount([processor](TesselImage* image) {
            processTesselImagePixels(image, processor, 0.2f, 0.4f, 0.6f, 0);
        });
    expectSameOnAnyThreadCount([](TesselImage* image) { bilinearInPlace(image, 4); });
    expectSameOnAnyThreadCount([](TesselImage* image) { bilinearInPlace(image, 3); });
    expectSameOnAnyThreadCount([](TesselImage* image) { upscaleTesselImage(image, 1.7f); });
    expectSameOnAnyThreadCount([](TesselImage* image) { trimTesselImage(image, 333, 211); });
    expectSameOnAnyThreadCount([](TesselImage* image) {
        TesselImage* source = noiseImage(50, 40, 3);
        skewImage(30, 10, 550, 60, 5, 380, 590, 300, source, image);
        destroyLiveImage(source);
    });
}

TEST(OneThreadAndMany, BlitsOverTheThreadedArea) {
    for (bool blend : {false, true}) {
        expectSameOnAnyThreadCount([blend](TesselImage* image) {
            TesselImage* source = noiseImage(500, 400, 11); // 200000 pixels
            blitImage(image, source, -40, 13, blend, 1, 0);
            blitImage(image, source, 120, -90, blend, 1.3f, 0);
            blitImage(image, source, 50, 20, blend, 0.9f, 33);
            destroyLiveImage(source);
        });
    }
}

TEST(OneThreadAndMany, BandedBlitMatchesPixelByPixelPlacement) {
    TesselImage* target = noiseImage(700, 400, 5);
    TesselImage* source = noiseImage(600, 350, 6);
    std::vector<uint8_t> expected = pixelsOf(target);
    for (int32_t y = 0; y < 350; ++y)
        for (int32_t x = 0; x < 600; ++x)
            if (x + 150 < 700 && y - 20 >= 0)
                std::memcpy(&expected[(size_t(y - 20) * 700 + x + 150) * 4],
                            &source->pixels[(size_t(y) * 600 + x) * 4], 4);
    blitImage(target, source, 150, -20, false, 1, 0);
    EXPECT_EQ(pixelsOf(target), expected);
    destroyLiveImage(target);
    destroyLiveImage(source);
}
