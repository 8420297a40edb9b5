// Letterbox geometry, blending and channel packing of the frame composition.
#include "frame_compose.h"

#include <gtest/gtest.h>

#include <array>
#include <tuple>
#include <vector>

namespace {

const PixelPacker rgb888(channelFormat(0xFF0000), channelFormat(0xFF00), channelFormat(0xFF));

using Rgba = std::vector<uint8_t>;

struct Composed {
    int width, height;
    std::vector<uint8_t> back;
    std::vector<uint32_t> device;
    Rgba at(int x, int y) const {
        const auto p = back.begin() + long(size_t(y) * width + x) * 4;
        return {p, p + 4};
    }
};

// A frame whose pixel (x, y) is (x, y, 7, alpha).
std::vector<uint8_t> gradient(int w, int h, uint8_t alpha = 255) {
    std::vector<uint8_t> pixels;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) pixels.insert(pixels.end(), {uint8_t(x), uint8_t(y), 7, alpha});
    return pixels;
}

// With any depth but 32 bits per pixel the device pixels arrive one by one.
Composed compose(const std::vector<uint8_t>& frame, int fw, int fh, int w, int h,
                 std::array<uint8_t, 3> clear, const PixelPacker& packer = rgb888, int bitsPerPixel = 32) {
    Composed c{w, h, std::vector<uint8_t>(size_t(w) * h * 4), std::vector<uint32_t>(size_t(w) * h)};
    DeviceTarget device{reinterpret_cast<uint8_t*>(c.device.data()), w * 4, bitsPerPixel};
    if (bitsPerPixel != 32) {
        device.data = nullptr, device.context = &c;
        device.putPixel = [](void* context, int x, int y, uint64_t pixel) {
            auto* c = static_cast<Composed*>(context);
            c->device[size_t(y) * c->width + x] = uint32_t(pixel);
        };
    }
    std::vector<int> columns;
    composeFrame({frame.empty() ? nullptr : frame.data(), fw, fh}, clear.data(), w, h, c.back.data(), packer,
                 device, columns);
    return c;
}

} // namespace

// Window and frame sizes, then the rectangle: one pixel at the least, centred in
// tall and wide windows, shrunk for a window smaller than the frame.
TEST(Compose, LetterboxFitsTheFrameAndCentresIt) {
    const int cases[][8] = {{640, 480, 320, 200, 0, 40, 640, 400},
                            {1, 1, 1, 1, 0, 0, 1, 1},
                            {1, 1, 960, 544, 0, 0, 1, 1},
                            {3, 1000, 2, 2, 0, 498, 3, 3},
                            {1000, 3, 2, 2, 498, 0, 3, 3},
                            {100, 50, 400, 400, 25, 0, 50, 50},
                            {7, 5, 1, 1000, 3, 0, 1, 5}};
    for (const auto& c : cases) {
        const LetterboxRect r = letterboxRect(c[0], c[1], c[2], c[3]);
        EXPECT_EQ(std::tie(r.x, r.y, r.width, r.height), std::tie(c[4], c[5], c[6], c[7]))
            << c[0] << "x" << c[1] << " window, " << c[2] << "x" << c[3] << " frame";
    }
}

TEST(Compose, BarsShowTheClearColourAndTheFrameIsSampledByIntegerSteps) {
    const Composed c = compose(gradient(320, 200), 320, 200, 640, 480, {10, 20, 30});
    for (int x : {0, 639}) {
        for (int y : {0, 39, 440, 479}) {
            EXPECT_EQ(c.at(x, y), (Rgba{10, 20, 30, 255}));
            EXPECT_EQ(c.device[size_t(y) * 640 + x], 0x0A141Eu);
        }
    }
    EXPECT_EQ(c.at(0, 40), (Rgba{0, 0, 7, 255}));               // first frame row
    EXPECT_EQ(c.at(639, 439), (Rgba{319 & 0xFF, 199, 7, 255})); // last frame row
    EXPECT_EQ(c.at(301, 241), (Rgba{150, 100, 7, 255}));        // (301 * 320) / 640, (200 * 201) / 400
    EXPECT_EQ(c.device[size_t(241) * 640 + 301], 0x966407u);
}

TEST(Compose, AlphaBlendsOverTheClearColour) {
    const std::array<uint8_t, 3> clear = {200, 100, 0};
    EXPECT_EQ(compose(gradient(1, 1, 0), 1, 1, 2, 2, clear).at(1, 1), (Rgba{200, 100, 0, 255}));
    EXPECT_EQ(compose({255, 255, 255, 128}, 1, 1, 1, 1, clear).at(0, 0),
              (Rgba{(200 * 127 + 255 * 128) / 255, (100 * 127 + 255 * 128) / 255, 128, 255}));
    EXPECT_EQ(compose({1, 2, 3, 255}, 1, 1, 1, 1, clear).device[0], 0x010203u);
    EXPECT_EQ(compose({}, 0, 0, 3, 2, clear).at(2, 1), (Rgba{200, 100, 0, 255})); // no frame: all clear
}

TEST(Compose, OddFramesInSmallWindows) {
    EXPECT_EQ(compose(gradient(5, 3), 5, 3, 1, 1, {0, 0, 0}).at(0, 0), (Rgba{0, 0, 7, 255}));
    const Composed tall = compose(gradient(2, 9), 2, 9, 4, 9, {0, 0, 0}); // drawn 2 x 9 at x = 1
    EXPECT_EQ(tall.at(0, 4), (Rgba{0, 0, 0, 255}));
    EXPECT_EQ(tall.at(2, 8), (Rgba{1, 8, 7, 255}));
    EXPECT_EQ(tall.at(3, 0), (Rgba{0, 0, 0, 255}));
}

// The 565 packing's shifts and bit counts show in the packed pixels; an empty
// mask packs nothing and its shift stops at 32.
TEST(Compose, PackingRescalesToTheChannelBitsAndMasks) {
    EXPECT_EQ(channelFormat(0).shift, 32);
    const PixelPacker rgb565(channelFormat(0xF800), channelFormat(0x7E0), channelFormat(0x1F));
    EXPECT_EQ(rgb565.pack(255, 255, 255), 0xFFFFu);
    EXPECT_EQ(rgb565.pack(128, 0, 0), uint64_t((128 * 31 + 127) / 255) << 11);
    EXPECT_EQ(packChannel(200, channelFormat(0)), 0u);
    EXPECT_EQ(packChannel(255, channelFormat(0xFFFFFFFF00000000ull)), 0x7FFFFFFFull << 32);
    // A 1 x 1 red frame fills a 2 x 2 window at 16 bits per pixel.
    EXPECT_EQ(compose({255, 0, 0, 255}, 1, 1, 2, 2, {0, 0, 255}, rgb565, 16).device,
              (std::vector<uint32_t>(4, 0xF800)));
}
