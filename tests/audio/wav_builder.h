// WAV file images for the decoder, player, sink and tool tests: built in memory
// chunk by chunk, kept on disk while a test needs them, and the bytes a device
// should receive for them.
#pragma once

#include "wav.h"

#include <unistd.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
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
        body_.insert(body_.end(), id, id + 4);
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
        body.insert(body.end(),
                    {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
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
        file.insert(file.end(), {'W', 'A', 'V', 'E'});
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

// `frames` frames of 16-bit PCM with `channels` channels, every sample different.
inline Bytes countingWav(std::uint16_t channels, std::uint32_t rate, std::size_t frames) {
    Bytes data;
    for (std::size_t i = 0; i < frames * channels; ++i) append16(data, std::uint16_t(i * 37 + 1));
    return WavBuilder().fmt(1, channels, rate, 16).data(data).bytes();
}

// The stereo 16-bit little-endian bytes a device receives for a whole file.
inline Bytes deviceBytes(const Bytes& file) {
    brume::wav::DecodedFile decoded;
    brume::wav::decode(file.data(), file.size(), &decoded, {2});
    Bytes bytes(decoded.samples.size() * 2);
    std::memcpy(bytes.data(), decoded.samples.data(), bytes.size());
    return bytes;
}

// A file on disk, removed when the test ends.
class TempFile {
  public:
    explicit TempFile(const std::string& name, const Bytes& bytes = {})
        : path_(std::filesystem::temp_directory_path() /
                ("bv_audio_" + std::to_string(::getpid()) + "_" + name)) {
        if (bytes.empty()) return;
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const char* path() const { return path_.c_str(); }

  private:
    std::filesystem::path path_;
};

} // namespace wavtest
