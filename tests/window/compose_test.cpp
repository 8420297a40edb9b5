// Letterbox geometry, blending and channel packing of the frame composition.
#include "frame_compose.h"

#include <gtest/gtest.h>

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

Composed compose(const std::vector<uint8_t>& frame, int fw, int fh, int w, int h, const uint8_t clear[3]) {
    Composed c{w, h, std::vector<uint8_t>(size_t(w) * h * 4), std::vector<uint32_t>(size_t(w) * h)};
    DeviceTarget device{reinterpret_cast<uint8_t*>(c.device.data()), w * 4, 32};
    std::vector<int> columns;
    composeFrame({frame.empty() ? nullptr : frame.data(), fw, fh}, clear, w, h, c.back.data(), rgb888, device,
                 columns);
    return c;
}

} // namespace

// Window and frame sizes, then the rectangle: one pixel at the least, centred in
// tall and wide windows, shrunk for a window smaller than the frame.
TEST(Letterbox, FitsTheFrameAndCentresIt) {
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
    const uint8_t clear[3] = {10, 20, 30};
    const Composed c = compose(gradient(320, 200), 320, 200, 640, 480, clear);
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
    const uint8_t clear[3] = {200, 100, 0};
    EXPECT_EQ(compose(gradient(1, 1, 0), 1, 1, 2, 2, clear).at(1, 1), (Rgba{200, 100, 0, 255}));
    EXPECT_EQ(compose({255, 255, 255, 128}, 1, 1, 1, 1, clear).at(0, 0),
              (Rgba{(200 * 127 + 255 * 128) / 255, (100 * 127 + 255 * 128) / 255, 128, 255}));
    EXPECT_EQ(compose({1, 2, 3, 255}, 1, 1, 1, 1, clear).device[0], 0x010203u);
    EXPECT_EQ(compose({}, 0, 0, 3, 2, clear).at(2, 1), (Rgba{200, 100, 0, 255})); // no frame: all clear
}

TEST(Compose, OddFramesInSmallWindows) {
    const uint8_t clear[3] = {0, 0, 0};
    EXPECT_EQ(compose(gradient(5, 3), 5, 3, 1, 1, clear).at(0, 0), (Rgba{0, 0, 7, 255}));
    const Composed tall = compose(gradient(2, 9), 2, 9, 4, 9, clear); // drawn 2 x 9 at x = 1
    EXPECT_EQ(tall.at(0, 4), (Rgba{0, 0, 0, 255}));
    EXPECT_EQ(tall.at(2, 8), (Rgba{1, 8, 7, 255}));
    EXPECT_EQ(tall.at(3, 0), (Rgba{0, 0, 0, 255}));
}

TEST(PixelPacking, RescalesToTheChannelBitsAndMasks) {
    EXPECT_EQ(channelFormat(0xF800).shift, 11);
    EXPECT_EQ(channelFormat(0xF800).bits, 5);
    EXPECT_EQ(channelFormat(0).shift, 32);
    const PixelPacker rgb565(channelFormat(0xF800), channelFormat(0x7E0), channelFormat(0x1F));
    EXPECT_EQ(rgb565.pack(255, 255, 255), 0xFFFFu);
    EXPECT_EQ(rgb565.pack(128, 0, 0), uint64_t((128 * 31 + 127) / 255) << 11);
    EXPECT_EQ(packChannel(200, channelFormat(0)), 0u);
    EXPECT_EQ(packChannel(255, channelFormat(0xFFFFFFFF00000000ull)), 0x7FFFFFFFull << 32);

    // A depth that is not 32 bits per pixel goes pixel by pixel.
    std::vector<uint64_t> written(4);
    DeviceTarget device;
    device.bitsPerPixel = 16;
    device.context = &written;
    device.putPixel = [](void* context, int x, int y, uint64_t pixel) {
        (*static_cast<std::vector<uint64_t>*>(context))[size_t(y) * 2 + x] = pixel;
    };
    std::vector<uint8_t> back(16), frame = {255, 0, 0, 255};
    std::vector<int> columns;
    const uint8_t clear[3] = {0, 0, 255};
    composeFrame({frame.data(), 1, 1}, clear, 2, 2, back.data(), rgb565, device, columns);
    EXPECT_EQ(written[0], 0xF800u);
    EXPECT_EQ(written[3], 0xF800u);
}
