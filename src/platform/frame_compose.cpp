#include "frame_compose.h"

#include <algorithm>
#include <bit>
#include <cmath>

LetterboxRect letterboxRect(int windowWidth, int windowHeight, int frameWidth, int frameHeight) {
    double scale = std::min(double(windowHeight) / frameHeight, double(windowWidth) / frameWidth);
    scale = std::max(scale, 0.0001);
    LetterboxRect rect;
    rect.width = std::clamp(int(std::lround(frameWidth * scale)), 1, std::max(windowWidth, 1));
    rect.height = std::clamp(int(std::lround(frameHeight * scale)), 1, std::max(windowHeight, 1));
    rect.x = (windowWidth - rect.width) / 2;
    rect.y = (windowHeight - rect.height) / 2;
    return rect;
}

ChannelFormat channelFormat(uint64_t mask) {
    return {mask, std::min(std::countr_zero(mask), 32), std::popcount(mask)};
}

uint64_t packChannel(uint8_t value, const ChannelFormat& channel) {
    if (channel.mask == 0 || channel.bits == 0) return 0;
    const uint64_t max = channel.bits < 31 ? (uint64_t(1) << channel.bits) - 1 : 0x7FFFFFFFu;
    return (((value * max + 127) / 255) << channel.shift) & channel.mask;
}

PixelPacker::PixelPacker(ChannelFormat r, ChannelFormat g, ChannelFormat b) {
    for (int v = 0; v < 256; ++v) {
        red[v] = packChannel(uint8_t(v), r);
        green[v] = packChannel(uint8_t(v), g);
        blue[v] = packChannel(uint8_t(v), b);
    }
}

namespace {

void fillClear(uint8_t* row, int from, int to, const uint8_t clear[3]) {
    for (int x = from; x < to; ++x) {
        uint8_t* p = row + size_t(x) * 4;
        p[0] = clear[0], p[1] = clear[1], p[2] = clear[2], p[3] = 255;
    }
}

// Converts one composed RGBA8 row to device pixels.
void packRow(const uint8_t* row, int width, int y, const PixelPacker& packer, const DeviceTarget& device) {
    if (device.data && device.bitsPerPixel == 32) {
        auto* out = reinterpret_cast<uint32_t*>(device.data + size_t(y) * device.bytesPerLine);
        for (int x = 0; x < width; ++x, row += 4)
            out[x] = static_cast<uint32_t>(packer.pack(row[0], row[1], row[2]));
    } else if (device.putPixel) {
        for (int x = 0; x < width; ++x, row += 4)
            device.putPixel(device.context, x, y, packer.pack(row[0], row[1], row[2]));
    }
}

} // namespace

void composeFrame(const FrameSource& frame, const uint8_t clear[3], int width, int height,
                  uint8_t* backbuffer, const PixelPacker& packer, const DeviceTarget& device,
                  std::vector<int>& columns) {
    const bool hasFrame = frame.pixels && frame.width > 0 && frame.height > 0;
    LetterboxRect rect;
    if (hasFrame) {
        rect = letterboxRect(width, height, frame.width, frame.height);
        columns.resize(size_t(rect.width));
        for (int i = 0; i < rect.width; ++i)
            columns[size_t(i)] = std::min(int(int64_t(i) * frame.width / rect.width), frame.width - 1) * 4;
    }
    for (int y = 0; y < height; ++y) {
        uint8_t* row = backbuffer + size_t(y) * width * 4;
        if (hasFrame && y >= rect.y && y < rect.y + rect.height) {
            const int64_t sy =
                std::min(int64_t(frame.height) * (y - rect.y) / rect.height, int64_t(frame.height) - 1);
            const uint8_t* source = frame.pixels + size_t(sy) * frame.width * 4;
            fillClear(row, 0, rect.x, clear);
            uint8_t* p = row + size_t(rect.x) * 4;
            for (int i = 0; i < rect.width; ++i, p += 4) {
                const uint8_t* s = source + columns[size_t(i)];
                p[0] = blendChannel(clear[0], s[0], s[3]);
                p[1] = blendChannel(clear[1], s[1], s[3]);
                p[2] = blendChannel(clear[2], s[2], s[3]);
                p[3] = 255;
            }
            fillClear(row, rect.x + rect.width, width, clear);
        } else {
            fillClear(row, 0, width, clear);
        }
        packRow(row, width, y, packer, device);
    }
}
