// Composition of a pushed RGBA8 frame into a window's pixels: the frame is
// scaled to fit with letterbox bars, blended over the clear colour by its
// alpha, and packed into the display's pixel format. Needs no display, so the
// window backend and the tests share it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

// Where the scaled frame lands in the window.
struct LetterboxRect {
    int x = 0, y = 0, width = 0, height = 0;
};
LetterboxRect letterboxRect(int windowWidth, int windowHeight, int frameWidth, int frameHeight);

// One colour channel of a device pixel, described by its mask.
struct ChannelFormat {
    uint64_t mask = 0;
    int shift = 0; // trailing zero bits of the mask, at most 32
    int bits = 0;  // set bits of the mask
};
ChannelFormat channelFormat(uint64_t mask);
// An 8-bit channel value rescaled to the channel's bits and put in place.
uint64_t packChannel(uint8_t value, const ChannelFormat& channel);

// The clear colour shows through by 255 - alpha.
inline uint8_t blendChannel(uint8_t clear, uint8_t frame, uint8_t alpha) {
    return static_cast<uint8_t>((clear * (255 - alpha) + frame * alpha) / 255);
}

// The device pixel of every 8-bit value of each channel, built once per format.
struct PixelPacker {
    PixelPacker(ChannelFormat red, ChannelFormat green, ChannelFormat blue);
    uint64_t pack(uint8_t r, uint8_t g, uint8_t b) const { return red[r] | green[g] | blue[b]; }
    std::array<uint64_t, 256> red, green, blue;
};

// The device image the composition fills: 32-bit pixels are stored straight
// into the rows; any other depth goes through putPixel. A null data pointer
// with no putPixel composes the RGBA8 back buffer alone.
struct DeviceTarget {
    uint8_t* data = nullptr;
    int bytesPerLine = 0;
    int bitsPerPixel = 32;
    void (*putPixel)(void* context, int x, int y, uint64_t pixel) = nullptr;
    void* context = nullptr;
};

struct FrameSource {
    const uint8_t* pixels = nullptr; // RGBA8 rows, none for "no frame"
    int width = 0, height = 0;
};

// Fills backbuffer (width x height RGBA8, alpha 255) and the device image.
// `columns` is scratch kept by the caller so that a stable size allocates nothing.
void composeFrame(const FrameSource& frame, const uint8_t clear[3], int width, int height,
                  uint8_t* backbuffer, const PixelPacker& packer, const DeviceTarget& device,
                  std::vector<int>& columns);
