// Builds WAV file images in memory for the decoder and tool tests.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace wavtest {

using Bytes = std::vector<std::uint8_t>;

inline void append16(Bytes& b, std::uint16_t v) {
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
}
inline void append32(Bytes& b, std::uint32_t v) {
    append16(b, std::uint16_t(v));
    append16(b, std::uint16_t(v >> 16));
}
inline void appendId(Bytes& b, const char* id) {
    b.insert(b.end(), id, id + 4);
}

// Sample payloads in the file's little-endian layouts: integers of 1 to 4
// bytes (8-bit values are unsigned), and floats by their bit patterns.
inline Bytes littleEndian(std::initializer_list<std::int64_t> values, int width) {
    Bytes b;
    for (std::int64_t v : values)
        for (int i = 0; i < width; ++i) b.push_back(std::uint8_t(std::uint64_t(v) >> (8 * i)));
    return b;
}
inline const auto pcm8 = [](std::initializer_list<std::int64_t> v) { return littleEndian(v, 1); };
inline const auto pcm16 = [](std::initializer_list<std::int64_t> v) { return littleEndian(v, 2); };
inline const auto pcm24 = [](std::initializer_list<std::int64_t> v) { return littleEndian(v, 3); };
inline const auto pcm32 = [](std::initializer_list<std::int64_t> v) { return littleEndian(v, 4); };
template <class Bits, class Float> Bytes floats(std::initializer_list<Float> values) {
    Bytes b;
    for (Float v : values)
        for (std::size_t i = 0; i < sizeof(Bits); ++i)
            b.push_back(std::uint8_t(std::bit_cast<Bits>(v) >> (8 * i)));
    return b;
}
inline const auto float32 = [](std::initializer_list<float> v) { return floats<std::uint32_t>(v); };
inline const auto float64 = [](std::initializer_list<double> v) { return floats<std::uint64_t>(v); };

// Builds a RIFF/WAVE file image chunk by chunk.
class WavBuilder {
  public:
    // Appends a chunk; an odd body gets its pad byte unless `pad` is false.
    WavBuilder& chunk(const char* id, const Bytes& body, bool pad = true) {
        appendId(body_, id);
        append32(body_, std::uint32_t(body.size()));
        body_.insert(body_.end(), body.begin(), body.end());
        if (pad && body.size() % 2) body_.push_back(0);
        return *this;
    }
    WavBuilder& fmt(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                    std::size_t bodySize = 16) {
        return chunk("fmt ", formatBody(tag, channels, rate, bits, bodySize));
    }
    WavBuilder& extensibleFmt(std::uint16_t subTag, std::uint16_t channels, std::uint32_t rate,
                              std::uint16_t bits, std::uint16_t extensionSize = 22,
                              std::size_t bodySize = 40) {
        Bytes body = formatBody(0xFFFE, channels, rate, bits, 16);
        append16(body, extensionSize);
        append16(body, bits); // valid bits
        append32(body, 0);    // channel mask
        append16(body, subTag);
        const std::uint8_t guidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                           0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        body.insert(body.end(), guidTail, guidTail + 14);
        body.resize(bodySize, 0);
        return chunk("fmt ", body);
    }
    WavBuilder& data(const Bytes& samples) { return chunk("data", samples); }
    WavBuilder& raw(const Bytes& bytes) {
        body_.insert(body_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    Bytes bytes() const {
        Bytes file{'R', 'I', 'F', 'F'};
        append32(file, std::uint32_t(body_.size() + 4));
        appendId(file, "WAVE");
        file.insert(file.end(), body_.begin(), body_.end());
        return file;
    }

  private:
    static Bytes formatBody(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                            std::size_t size) {
        Bytes body;
        append16(body, tag);
        append16(body, channels);
        append32(body, rate);
        append32(body, rate * channels * (bits / 8)); // byte rate
        append16(body, std::uint16_t(channels * (bits / 8)));
        append16(body, bits);
        body.resize(size, 0);
        return body;
    }
    Bytes body_;
};

} // namespace wavtest
