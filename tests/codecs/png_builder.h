// Builds PNG files byte by byte for the codec and tool tests, with the test's
// own CRC and Adler code so that the codec is not checked against itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pngtest {

using Bytes = std::vector<uint8_t>;

inline uint32_t slow_crc32(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

inline uint32_t slow_adler32(const Bytes& data) {
    uint32_t a = 1, b = 0;
    for (uint8_t v : data) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

inline void put32(Bytes& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
}

inline Bytes bytes_of(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline void append(Bytes& out, const Bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

struct Chunk {
    std::string type;
    Bytes data;
};

inline Bytes chunk_bytes(const Chunk& c) {
    Bytes out, typed = bytes_of(c.type);
    append(typed, c.data);
    put32(out, uint32_t(c.data.size()));
    append(out, typed);
    put32(out, slow_crc32(typed.data(), typed.size()));
    return out;
}

inline Bytes png_file(const std::vector<Chunk>& chunks) {
    Bytes out = {137, 80, 78, 71, 13, 10, 26, 10};
    for (const Chunk& c : chunks) append(out, chunk_bytes(c));
    return out;
}

inline Chunk ihdr(uint32_t width, uint32_t height, uint8_t depth, uint8_t colour, uint8_t interlace = 0) {
    Bytes d;
    put32(d, width);
    put32(d, height);
    d.insert(d.end(), {depth, colour, 0, 0, interlace});
    return {"IHDR", d};
}
inline Chunk iend() {
    return {"IEND", {}};
}

// zlib stream made of stored blocks of at most `blockSize` bytes.
inline Bytes zlib_stored(const Bytes& raw, size_t blockSize = 65535) {
    Bytes out = {0x78, 0x01};
    size_t offset = 0;
    do {
        const size_t n = std::min(blockSize, raw.size() - offset);
        out.push_back(offset + n == raw.size() ? 1 : 0);
        out.insert(out.end(), {uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
        out.insert(out.end(), raw.begin() + long(offset), raw.begin() + long(offset + n));
        offset += n;
    } while (offset < raw.size());
    put32(out, slow_adler32(raw));
    return out;
}

} // namespace pngtest
