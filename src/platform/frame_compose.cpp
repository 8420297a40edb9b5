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

// Writes one composed pixel to both destinations of a row.
struct RowWriter {
    uint8_t* back;
    uint32_t* device; // the row of a 32-bit device image, else null
    const PixelPacker& packer;
    const DeviceTarget& target;
    int y;

    void put(int x, uint8_t r, uint8_t g, uint8_t b) const {
        uint8_t* p = back + size_t(x) * 4;
        p[0] = r, p[1] = g, p[2] = b, p[3] = 255;
        if (device)
            device[x] = static_cast<uint32_t>(packer.pack(r, g, b));
        else if (target.putPixel)
            target.putPixel(target.context, x, y, packer.pack(r, g, b));
    }
};

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
            columns[size_t(i)] = std::min(int(int64_t(i) * frame.width / rect.width), frame.width - 1);
    }
    const bool direct = device.data && device.bitsPerPixel == 32;
    for (int y = 0; y < height; ++y) {
        uint32_t* deviceRow =
            direct ? reinterpret_cast<uint32_t*>(device.data + size_t(y) * device.bytesPerLine) : nullptr;
        const RowWriter row{backbuffer + size_t(y) * width * 4, deviceRow, packer, device, y};
        const bool inside = hasFrame && y >= rect.y && y < rect.y + rect.height;
        const int drawStart = inside ? rect.x : width, drawEnd = inside ? rect.x + rect.width : width;
        for (int x = 0; x < drawStart; ++x) row.put(x, clear[0], clear[1], clear[2]);
        if (inside) {
            const int64_t sy =
                std::min(int64_t(frame.height) * (y - rect.y) / rect.height, int64_t(frame.height) - 1);
            const uint8_t* source = frame.pixels + size_t(sy) * frame.width * 4;
            for (int x = drawStart; x < drawEnd; ++x) {
                const uint8_t* s = source + size_t(columns[size_t(x - drawStart)]) * 4;
                row.put(x, blendChannel(clear[0], s[0], s[3]), blendChannel(clear[1], s[1], s[3]),
                        blendChannel(clear[2], s[2], s[3]));
            }
        }
        for (int x = drawEnd; x < width; ++x) row.put(x, clear[0], clear[1], clear[2]);
    }
}
